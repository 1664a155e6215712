#pragma once
// One HTTP exchange as a fake service's route handler sees it: the request it
// reads and the response it fills, as plain values, so tests need no HTTP
// library. Handlers run on the server thread serving their request.
#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace testing::fakes {

// Orders header names without regard to case.
struct HeaderNameLess {
  bool operator()(const std::string& a, const std::string& b) const;
};
using HeaderMap = std::multimap<std::string, std::string, HeaderNameLess>;

// One part of a multipart/form-data body.
struct FormPart {
  std::string name;
  std::string content;
  std::string filename;
  std::string content_type;
};

struct HttpRequest {
  std::string method;
  std::string path;    // without the query
  std::string target;  // as sent, with the query
  HeaderMap headers;
  // The body; one sent compressed stays compressed, with its Content-Encoding
  // among the headers.
  std::string body;
  std::multimap<std::string, std::string> params;  // the query (and a form body), decoded
  std::multimap<std::string, FormPart> files;      // the parts of a multipart/form-data body
  std::vector<std::string> matches;                // the route's captures; [0] is the whole path
  std::string remote_addr;
  int remote_port = 0;

  bool has_header(std::string_view name) const;
  // The value of the `index`th header of that name; "" when absent.
  std::string get_header_value(std::string_view name, std::size_t index = 0) const;
  bool has_param(std::string_view name) const;
  std::string get_param_value(std::string_view name, std::size_t index = 0) const;

  // Shuts the request's connection down without an answer; with `reset` the
  // client reads a reset (TCP RST) instead of an orderly end. Set by the server.
  std::function<void(bool reset)> end_connection;
  // True once the client closed its end of the request's connection (it gave
  // up waiting). Set by the server.
  std::function<bool()> connection_closed;
};

// Where a content provider writes a streamed body.
struct DataSink {
  std::function<bool(const char* data, std::size_t length)> write;
  std::function<bool()> is_writable;
};
// Writes the body from `offset` on; false ends the connection (a body left
// short stays short).
using ContentProvider = std::function<bool(std::size_t offset, std::size_t length, DataSink& sink)>;

struct HttpResponse {
  int status = -1;  // left at -1, the server answers 200
  HeaderMap headers;
  std::string body;

  void set_header(std::string name, std::string value);
  void set_content(std::string content, std::string content_type);
  // Streams a body of `length` bytes from `provider` instead of `body`.
  void set_content_provider(std::size_t length, std::string content_type, ContentProvider provider);

  std::size_t content_length = 0;  // of a streamed body
  ContentProvider provider;        // null: `body` is the body
};

}  // namespace testing::fakes
