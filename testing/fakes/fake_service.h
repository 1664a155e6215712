#pragma once
// Loopback fake services for tests: an HTTP server (TLS with a leaf from a
// TlsAuthority, or plain HTTP) bound to 127.0.0.1 on a free port and served
// on its own threads. Every request is recorded; tests wait on the record,
// override single routes and inject failures. A fake never touches the
// platform modules, so it shares no state with the app under test.
//
//   TlsAuthority ca;
//   IntranetSite site({.authority = &ca});
//   site.on("GET", "/slow", site.held(std::chrono::seconds(5)));
//   ... drive the client through site.host_map() ...
//   ASSERT_TRUE(site.wait_for([&] { return site.count("GET", "/slow") == 1; }, std::chrono::seconds(5)));
//   ScriptedAnswer oops;  oops.status = 500;  oops.body = "oops";
//   site.answer("POST", "/api/x", oops);           // scripted, until clear_scripted()
//   site.on("GET", "/n/([0-9]+)", [](const HttpRequest& req, HttpResponse& res) {
//     res.set_content("n" + req.matches[1], "text/plain");
//   });

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "testing/fakes/json.h"

#include "testing/fakes/http_exchange.h"
#include "testing/fakes/tls_authority.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace testing::fakes {

// One request as it arrived.
struct RecordedRequest {
  std::string method;
  std::string path;                                      // without the query
  std::string query;                                     // the text after '?', as sent
  std::multimap<std::string, std::string> params;        // the query, decoded
  std::vector<std::pair<std::string, std::string>> headers;
  std::string raw_body;                                  // the bytes on the wire
  std::string body;                                      // raw_body, gunzipped when "Content-Encoding: gzip"
  bool body_decoded = false;                             // body was gunzipped
  std::vector<std::pair<std::string, std::string>> cookies;  // from the Cookie header(s), in order
  std::string client_address;
  int client_port = 0;
  std::chrono::system_clock::time_point time;

  // Header lookup ignores case; header() gives the first value, "" when absent.
  bool has_header(std::string_view name) const;
  std::string header(std::string_view name) const;
  std::vector<std::string> header_values(std::string_view name) const;
  // The first cookie of that (case-sensitive) name; "" when absent.
  bool has_cookie(std::string_view name) const;
  std::string cookie(std::string_view name) const;
  // The query parameter's first value; "" when absent.
  std::string param(std::string_view name) const;
  // body parsed as JSON; a discarded value (is_discarded()) when it is not JSON.
  nlohmann::json json_body() const;
};

using Handler = std::function<void(const HttpRequest&, HttpResponse&)>;
// A handler on the HTTP library's own request and response, for code that
// includes that library itself.
using NativeHandler = std::function<void(const httplib::Request&, httplib::Response&)>;
// Sees every request once its answer is ready, just before it is sent, with
// its status (for a dropped connection, the status the handler left: 0 for a
// scripted drop or refusal). Runs on a server thread.
using RequestObserver = std::function<void(const RecordedRequest&, int status)>;

// A scripted answer for one route: what a test or a scenario step sets.
struct ScriptedAnswer {
  enum class Action {
    answer,  // status, headers and body
    drop,    // closes the connection without an answer
    refuse,  // resets the connection (TCP RST) without an answer
  };
  Action action = Action::answer;
  int status = 200;
  // A name may repeat (several Set-Cookie headers, sent in this order; the
  // server sorts the names). A Content-Type here replaces the default
  // "text/plain" of a body.
  std::vector<std::pair<std::string, std::string>> headers{};
  std::string body{};
  // Waited before the action (released early by stop()).
  std::chrono::milliseconds delay{0};
};

// What a FakeService presents for TLS.
enum class Certificate {
  valid,        // issued by the authority for host_names()
  expired,      // issued by the authority, expired yesterday
  wrong_host,   // issued by the authority for "wrong-host.invalid"
  self_signed,  // for host_names(), outside the authority
};

struct ServiceOptions {
  // nullptr: plain HTTP. Otherwise TLS with a leaf of this authority; with an
  // authority that has an intermediate CA the leaf's chain is sent too.
  const TlsAuthority* authority = nullptr;
  Certificate certificate = Certificate::valid;
  bool send_root = false;  // also send the root certificate after the chain
  std::size_t threads = 32;
};

class FakeService {
 public:
  // Starts serving at once. Throws std::runtime_error when it cannot listen.
  FakeService(std::string name, std::vector<std::string> host_names, ServiceOptions options = {});
  virtual ~FakeService();
  FakeService(const FakeService&) = delete;
  FakeService& operator=(const FakeService&) = delete;

  const std::string& name() const { return name_; }
  const std::vector<std::string>& host_names() const { return host_names_; }
  bool tls() const { return tls_; }
  int port() const { return port_; }
  // "name:443" (or "name:80" for plain HTTP) -> "127.0.0.1:<port>" for every host name.
  std::map<std::string, std::string> host_map() const;
  // "https://<first host name><path>" ("http://" for plain HTTP).
  std::string url(std::string_view path = "/") const;

  // Stops listening, releases held answers, closes open connections and joins
  // the server threads. Idempotent; the destructor calls it.
  void stop();
  bool stopped() const { return stopping_.load(); }

  // ---- the record ----
  std::vector<RecordedRequest> requests() const;
  std::vector<RecordedRequest> requests(std::string_view method, std::string_view path) const;
  std::size_t count(std::string_view method, std::string_view path) const;
  std::size_t count() const;
  void clear_requests();
  // Evaluates `pred` (without holding the record's lock) at each recorded
  // request and at least every 20 ms, until it holds or `timeout` passes.
  bool wait_for(const std::function<bool()>& pred, std::chrono::milliseconds timeout) const;
  // Replaces the observer (nullptr removes it). Once this returns, the old
  // observer is not called again.
  void set_request_observer(RequestObserver observer);

  // ---- answers ----
  // Routes `method` requests whose path matches `path_regex` (whole path) to
  // `handler`, before the default routes; the latest matching override wins.
  // A "GET" route also answers HEAD. The handler's request carries the regex
  // captures in `matches`, and the raw body with its Content-Encoding.
  void on(std::string method, const std::string& path_regex, Handler handler);
  void on(std::string method, const std::string& path_regex, NativeHandler handler);
  // on() with play(r), marked as scripted so clear_scripted() removes it
  // while the test's own overrides stay.
  void answer(std::string method, const std::string& path_regex, ScriptedAnswer r);
  void clear_overrides();
  void clear_scripted();
  // The next requests to `path` (any method) are answered with these statuses
  // in turn, with an empty body; a 200 entry lets that request through to its
  // route. After the sequence, every request goes to its route.
  void set_status_sequence(std::string path, std::vector<int> statuses);

  // Canned answers for on().
  static Handler empty(int status = 200);                   // no body: 200, 201, 204, 503 ...
  static Handler json(int status, nlohmann::json body);     // application/json
  static Handler not_found_json();                          // 404 {"error":"not found"}
  static Handler unavailable_html();                        // 503 with an HTML error page
  static Handler drop_connection();                         // closes the connection, no answer
  // Holds the answer until `max_hold` passes or stop(), then answers with
  // `then` (an empty 200 when null). The request is recorded on arrival.
  Handler held(std::chrono::milliseconds max_hold, Handler then = nullptr);
  // Plays `r` (its delay is released early by stop()).
  Handler play(ScriptedAnswer r);

 protected:
  // Default routes of a service, tried in the order added after the overrides;
  // unmatched requests get not_found_json().
  void route(std::string method, const std::string& path_regex, Handler handler);
  static void reply_json(HttpResponse& res, const nlohmann::json& body, int status = 200);

 private:
  struct Route {
    std::string method;
    std::regex pattern;
    Handler handler;
    NativeHandler native;  // instead of `handler`
    bool scripted = false;
  };

  void dispatch(const httplib::Request& req, httplib::Response& res);
  RecordedRequest record(const httplib::Request& req);
  void notify_observer(const RecordedRequest& request, int status);
  // The matching route (nullptr when none); fills req.matches.
  const Route* find(const std::vector<Route>& table, bool latest_first, httplib::Request& req) const;
  void close_connections();

  const std::string name_;
  const std::vector<std::string> host_names_;
  bool tls_ = false;
  int port_ = 0;
  std::unique_ptr<IssuedCertificate> leaf_;
  std::vector<X509*> extra_chain_;  // not owned
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::mutex stop_mutex_;

  mutable std::mutex mutex_;
  mutable std::condition_variable recorded_;
  std::vector<RecordedRequest> requests_;
  std::uint64_t generation_ = 0;  // bumped at each recorded request
  std::vector<Route> overrides_, defaults_;
  std::map<std::string, std::pair<std::vector<int>, std::size_t>> sequences_;

  // Held while an observer runs, so set_request_observer waits for it.
  std::mutex observer_mutex_;
  RequestObserver observer_;

  std::mutex hold_mutex_;
  std::condition_variable hold_cv_;
};

}  // namespace testing::fakes
