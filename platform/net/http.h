#pragma once
// HTTP values: headers, requests, responses and cache policies.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/foundation/stream.h"
#include "platform/foundation/url.h"
#include "platform/foundation/value.h"

namespace platform::net {

using foundation::Bytes;

// Header fields: names compare case-insensitively, insertion order and the
// first spelling of a name are kept for the wire.
class Headers {
 public:
  struct Field {
    std::string name, value;
  };

  Headers() = default;
  Headers(std::initializer_list<std::pair<std::string, std::string>> fields);

  // Replaces the value of an existing field (keeping its place), else appends.
  void set(std::string_view name, std::string value);
  // Appends ", value" to an existing field, else adds it.
  void add(std::string_view name, std::string_view value);
  std::optional<std::string> get(std::string_view name) const;
  bool contains(std::string_view name) const { return get(name).has_value(); }
  void remove(std::string_view name);

  std::size_t size() const { return fields_.size(); }
  bool empty() const { return fields_.empty(); }
  auto begin() const { return fields_.begin(); }
  auto end() const { return fields_.end(); }

  friend bool operator==(const Headers& a, const Headers& b);

 private:
  std::vector<Field> fields_;
};

bool iequals(std::string_view a, std::string_view b);

enum class CachePolicy { use_protocol = 0, reload_ignoring_local = 1, return_cache_else_load = 2, return_cache_dont_load = 3 };

// A URL request as a value: a copy is the mutable copy.
struct Request {
  Request() = default;
  explicit Request(foundation::Url u) : url(std::move(u)) {}

  std::optional<foundation::Url> url;
  std::string method = "GET";
  Headers headers;
  std::optional<Bytes> body;
  std::shared_ptr<foundation::InputStream> body_stream;
  CachePolicy cache_policy = CachePolicy::use_protocol;
  double timeout = 60;
  bool should_handle_cookies = true;
  std::optional<foundation::Url> main_document_url;
};

struct Response {
  foundation::Url url;
  std::optional<int> status;  // HTTP responses only
  Headers header_fields;
  std::int64_t expected_content_length = -1;
  std::optional<std::string> mime_type, text_encoding_name, suggested_filename;

  // An HTTP response from its status line parts and header fields (repeated
  // fields already joined with ", "). The length is -1 when Content-Length is
  // absent or the body is content-encoded.
  static Response http(foundation::Url url, int status, Headers fields);
};

// The base name a response suggests for saving its body: the Content-Disposition
// filename when present, else the URL's last path component, reduced to a safe
// single path component ("Unknown" when nothing usable is left).
std::string sanitized_filename(std::string_view name);

}  // namespace platform::net
