// g++ 12 reports std::regex internals as maybe-uninitialized in sanitizer
// builds, a false positive inside the standard library.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "testing/fakes/fake_service.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <stdexcept>

namespace testing::fakes {

namespace {

// cpp-httplib decodes a compressed request body before any handler sees it;
// the pre-routing handler moves the header aside under this name (which
// cannot occur on the wire) so the raw bytes are kept and recorded.
constexpr const char* kHiddenEncoding = "fake original Content-Encoding";

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string trim(std::string_view s) {
  const auto first = s.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(" \t");
  return std::string(s.substr(first, last - first + 1));
}

// Gunzips `in`; false on a malformed stream or one that inflates past the limit.
bool gunzip(const std::string& in, std::string& out) {
  constexpr std::size_t limit = 256u << 20;
  z_stream z{};
  if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) return false;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  std::string result;
  char buffer[16384];
  int rc = Z_OK;
  while (rc == Z_OK) {
    z.next_out = reinterpret_cast<Bytef*>(buffer);
    z.avail_out = sizeof buffer;
    rc = inflate(&z, Z_NO_FLUSH);
    if (rc != Z_OK && rc != Z_STREAM_END) break;
    result.append(buffer, sizeof buffer - z.avail_out);
    if (result.size() > limit) break;
    if (rc == Z_OK && z.avail_in == 0 && z.avail_out != 0) break;  // truncated input
  }
  inflateEnd(&z);
  if (rc != Z_STREAM_END) return false;
  out = std::move(result);
  return true;
}

int local_port_of(int fd, std::uint32_t* address = nullptr) {
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0 || storage.ss_family != AF_INET) return -1;
  const auto* in = reinterpret_cast<const sockaddr_in*>(&storage);
  if (address) *address = ntohl(in->sin_addr.s_addr);
  return ntohs(in->sin_port);
}

int peer_port_of(int fd) {
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0 || storage.ss_family != AF_INET) return -1;
  return ntohs(reinterpret_cast<const sockaddr_in*>(&storage)->sin_port);
}

// Calls `f(fd)` for each open socket of this process.
template <typename F>
void for_each_socket(F f) {
  std::error_code ec;
  for (std::filesystem::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.empty() || !std::all_of(name.begin(), name.end(), ::isdigit)) continue;
    std::error_code link_ec;
    const auto target = std::filesystem::read_symlink(it->path(), link_ec).string();
    if (link_ec || target.rfind("socket:", 0) != 0) continue;
    f(std::stoi(name));
  }
}

// Shuts down the server side of the connection a request came on; with
// `reset` the peer reads ECONNRESET instead of an orderly end.
void fake_end_connection(const httplib::Request& req, bool reset) {
  auto end = [reset](int fd) {
    if (reset) {
      const linger hard{1, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    ::shutdown(fd, SHUT_RDWR);
  };
  if (req.ssl) {
    const int fd = SSL_get_fd(req.ssl);
    if (fd >= 0) end(fd);
    return;
  }
  for_each_socket([&](int fd) {
    if (local_port_of(fd) == req.local_port && peer_port_of(fd) == req.remote_port) end(fd);
  });
}

bool fake_connection_closed(const httplib::Request& req) {
  auto closed = [](int fd) {
    pollfd p{fd, POLLRDHUP, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
  };
  if (req.ssl) {
    const int fd = SSL_get_fd(req.ssl);
    return fd >= 0 && closed(fd);
  }
  bool any = false;
  for_each_socket([&](int fd) {
    if (local_port_of(fd) == req.local_port && peer_port_of(fd) == req.remote_port) any = any || closed(fd);
  });
  return any;
}

void ignore_sigpipe() {
  // A server thread writing to a connection the client already closed must
  // not end the process; OpenSSL writes through plain write().
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction current {};
    if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) ::signal(SIGPIPE, SIG_IGN);
  });
}

// What a project handler sees of `req` (without the server's own
// REMOTE_/LOCAL_ pseudo-headers).
HttpRequest fake_request_view(const httplib::Request& req) {
  HttpRequest view;
  view.method = req.method;
  view.path = req.path;
  view.target = req.target;
  for (const auto& [key, value] : req.headers)
    if (key != "REMOTE_ADDR" && key != "REMOTE_PORT" && key != "LOCAL_ADDR" && key != "LOCAL_PORT")
      view.headers.emplace(key, value);
  view.body = req.body;
  view.params.insert(req.params.begin(), req.params.end());
  for (const auto& [key, part] : req.files)
    view.files.emplace(key, FormPart{part.name, part.content, part.filename, part.content_type});
  for (const auto& match : req.matches) view.matches.push_back(match.str());
  view.remote_addr = req.remote_addr;
  view.remote_port = req.remote_port;
  view.end_connection = [&req](bool reset) { fake_end_connection(req, reset); };
  view.connection_closed = [&req] { return fake_connection_closed(req); };
  return view;
}

// Puts a project handler's answer into the server's response.
void fake_apply_answer(HttpResponse answer, httplib::Response& res) {
  res.status = answer.status;
  if (answer.provider) {
    std::string content_type;
    if (auto it = answer.headers.find("Content-Type"); it != answer.headers.end()) {
      content_type = it->second;
      answer.headers.erase(it);
    }
    for (auto& [key, value] : answer.headers) res.headers.emplace(key, value);
    res.set_content_provider(answer.content_length, content_type,
                             [provider = std::move(answer.provider)](std::size_t offset, std::size_t length,
                                                                     httplib::DataSink& sink) {
                               DataSink out{[&sink](const char* data, std::size_t n) { return sink.write(data, n); },
                                            [&sink] { return sink.is_writable(); }};
                               return provider(offset, length, out);
                             });
    return;
  }
  for (auto& [key, value] : answer.headers) res.headers.emplace(key, value);
  res.body = std::move(answer.body);
}

}  // namespace

// ---- HttpRequest, HttpResponse -----------------------------------------------

bool HeaderNameLess::operator()(const std::string& a, const std::string& b) const {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) < std::tolower(static_cast<unsigned char>(y));
  });
}

bool HttpRequest::has_header(std::string_view name) const { return headers.count(std::string(name)) > 0; }

namespace {
// The `index`th value under `name`; "" when there are fewer.
template <typename Map>
std::string fake_nth_value(const Map& map, std::string_view name, std::size_t index) {
  auto [first, last] = map.equal_range(std::string(name));
  for (; first != last; ++first, --index)
    if (index == 0) return first->second;
  return {};
}
}  // namespace

std::string HttpRequest::get_header_value(std::string_view name, std::size_t index) const {
  return fake_nth_value(headers, name, index);
}

bool HttpRequest::has_param(std::string_view name) const { return params.count(std::string(name)) > 0; }

std::string HttpRequest::get_param_value(std::string_view name, std::size_t index) const {
  return fake_nth_value(params, name, index);
}

void HttpResponse::set_header(std::string name, std::string value) { headers.emplace(std::move(name), std::move(value)); }

void HttpResponse::set_content(std::string content, std::string content_type) {
  body = std::move(content);
  headers.erase("Content-Type");
  headers.emplace("Content-Type", std::move(content_type));
  provider = nullptr;
}

void HttpResponse::set_content_provider(std::size_t length, std::string content_type, ContentProvider content) {
  headers.erase("Content-Type");
  headers.emplace("Content-Type", std::move(content_type));
  body.clear();
  content_length = length;
  provider = std::move(content);
}

// ---- RecordedRequest ---------------------------------------------------------

bool RecordedRequest::has_header(std::string_view name) const {
  return std::any_of(headers.begin(), headers.end(), [&](const auto& h) { return iequals(h.first, name); });
}

std::string RecordedRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers)
    if (iequals(key, name)) return value;
  return {};
}

std::vector<std::string> RecordedRequest::header_values(std::string_view name) const {
  std::vector<std::string> values;
  for (const auto& [key, value] : headers)
    if (iequals(key, name)) values.push_back(value);
  return values;
}

bool RecordedRequest::has_cookie(std::string_view name) const {
  return std::any_of(cookies.begin(), cookies.end(), [&](const auto& c) { return c.first == name; });
}

std::string RecordedRequest::cookie(std::string_view name) const {
  for (const auto& [key, value] : cookies)
    if (key == name) return value;
  return {};
}

std::string RecordedRequest::param(std::string_view name) const {
  auto it = params.find(std::string(name));
  return it == params.end() ? std::string() : it->second;
}

nlohmann::json RecordedRequest::json_body() const { return nlohmann::json::parse(body, nullptr, false); }

// ---- FakeService -------------------------------------------------------------

FakeService::FakeService(std::string name, std::vector<std::string> host_names, ServiceOptions options)
    : name_(std::move(name)), host_names_(std::move(host_names)) {
  ignore_sigpipe();
  if (options.authority) {
    tls_ = true;
    const TlsAuthority& ca = *options.authority;
    switch (options.certificate) {
      case Certificate::valid: leaf_ = std::make_unique<IssuedCertificate>(ca.issue_leaf(host_names_)); break;
      case Certificate::expired: leaf_ = std::make_unique<IssuedCertificate>(ca.expired_leaf(host_names_)); break;
      case Certificate::wrong_host: leaf_ = std::make_unique<IssuedCertificate>(ca.wrong_host_leaf()); break;
      case Certificate::self_signed: leaf_ = std::make_unique<IssuedCertificate>(ca.self_signed_leaf(host_names_)); break;
    }
    // issuers(): nearest first, the root last.
    const auto& issuers = leaf_->issuers();
    for (std::size_t i = 0; i + 1 < issuers.size(); ++i) extra_chain_.push_back(issuers[i]);
    if (options.send_root && !issuers.empty()) extra_chain_.push_back(issuers.back());
    if (extra_chain_.empty()) {
      server_ = std::make_unique<httplib::SSLServer>(leaf_->certificate(), leaf_->private_key());
    } else {
      server_ = std::make_unique<httplib::SSLServer>([this](SSL_CTX& ctx) {
        if (SSL_CTX_use_certificate(&ctx, leaf_->certificate()) != 1) return false;
        if (SSL_CTX_use_PrivateKey(&ctx, leaf_->private_key()) != 1) return false;
        for (X509* cert : extra_chain_)
          if (SSL_CTX_add1_chain_cert(&ctx, cert) != 1) return false;
        return true;
      });
    }
  } else {
    server_ = std::make_unique<httplib::Server>();
  }
  if (!server_->is_valid()) throw std::runtime_error("FakeService " + name_ + ": invalid TLS setup");

  const std::size_t threads = std::max<std::size_t>(options.threads, 2);
  server_->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  server_->set_keep_alive_max_count(100000);
  server_->set_tcp_nodelay(true);
  server_->set_read_timeout(30, 0);
  server_->set_write_timeout(30, 0);
  server_->set_pre_routing_handler([](const httplib::Request& req, httplib::Response&) {
    if (req.has_header("Content-Encoding")) {
      // The request object is the server's own mutable one, handed over as const.
      auto& mutable_req = const_cast<httplib::Request&>(req);
      const std::string encoding = req.get_header_value("Content-Encoding");
      mutable_req.headers.erase("Content-Encoding");
      mutable_req.headers.emplace(kHiddenEncoding, encoding);
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
  auto all = [this](const httplib::Request& req, httplib::Response& res) { dispatch(req, res); };
  server_->Get(".*", all);
  server_->Post(".*", httplib::Server::Handler(all));
  server_->Put(".*", httplib::Server::Handler(all));
  server_->Patch(".*", httplib::Server::Handler(all));
  server_->Delete(".*", httplib::Server::Handler(all));
  server_->Options(".*", all);

  port_ = server_->bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("FakeService " + name_ + ": cannot bind 127.0.0.1");
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!server_->is_running() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

FakeService::~FakeService() { stop(); }

void FakeService::stop() {
  std::lock_guard stop_lock(stop_mutex_);
  {
    std::lock_guard lock(hold_mutex_);
    stopping_ = true;
  }
  hold_cv_.notify_all();
  if (!thread_.joinable()) return;

  // The listener runs once is_running() holds; stop() before that would be
  // lost, so it is sent when the server runs. Then every open connection is
  // shut down, which ends the workers waiting on idle keep-alive connections.
  bool stop_sent = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    if (!stop_sent && server_->is_running()) {
      server_->stop();
      stop_sent = true;
    }
    if (stop_sent) {
      close_connections();
      if (!server_->is_running()) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (!stop_sent) std::fprintf(stderr, "FakeService %s: the listener never started\n", name_.c_str());
  thread_.join();
}

void FakeService::close_connections() {
  for_each_socket([&](int fd) {
    std::uint32_t address = 0;
    if (local_port_of(fd, &address) != port_ || address != INADDR_LOOPBACK) return;
    int listening = 0;
    socklen_t length = sizeof listening;
    if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) == 0 && listening) return;
    ::shutdown(fd, SHUT_RDWR);
  });
}

std::map<std::string, std::string> FakeService::host_map() const {
  std::map<std::string, std::string> map;
  const std::string to = "127.0.0.1:" + std::to_string(port_);
  for (const auto& host : host_names_) map[host + (tls_ ? ":443" : ":80")] = to;
  return map;
}

std::string FakeService::url(std::string_view path) const {
  return (tls_ ? "https://" : "http://") + (host_names_.empty() ? std::string("127.0.0.1") : host_names_.front()) +
         std::string(path);
}

// ---- record ------------------------------------------------------------------

RecordedRequest FakeService::record(const httplib::Request& req) {
  RecordedRequest r;
  r.method = req.method;
  r.path = req.path;
  const auto q = req.target.find('?');
  if (q != std::string::npos) {
    r.query = req.target.substr(q + 1);
    httplib::detail::parse_query_text(r.query, r.params);
  }
  std::string encoding;
  for (const auto& [key, value] : req.headers) {
    if (key == "REMOTE_ADDR" || key == "REMOTE_PORT" || key == "LOCAL_ADDR" || key == "LOCAL_PORT") continue;
    if (key == kHiddenEncoding) {
      r.headers.emplace_back("Content-Encoding", value);
      encoding = value;
      continue;
    }
    r.headers.emplace_back(key, value);
    if (iequals(key, "Cookie")) {
      std::string_view rest = value;
      while (!rest.empty()) {
        const auto semi = rest.find(';');
        const std::string pair = trim(rest.substr(0, semi));
        rest = semi == std::string_view::npos ? std::string_view() : rest.substr(semi + 1);
        if (pair.empty()) continue;
        const auto eq = pair.find('=');
        if (eq == std::string::npos) r.cookies.emplace_back("", pair);
        else r.cookies.emplace_back(trim(pair.substr(0, eq)), trim(pair.substr(eq + 1)));
      }
    }
  }
  r.raw_body = req.body;
  r.body = req.body;
  if (iequals(trim(encoding), "gzip") && gunzip(req.body, r.body)) r.body_decoded = true;
  r.client_address = req.remote_addr;
  r.client_port = req.remote_port;
  r.time = std::chrono::system_clock::now();
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(r);
    ++generation_;
  }
  recorded_.notify_all();
  return r;
}

void FakeService::set_request_observer(RequestObserver observer) {
  std::lock_guard lock(observer_mutex_);
  observer_ = std::move(observer);
}

void FakeService::notify_observer(const RecordedRequest& request, int status) {
  std::lock_guard lock(observer_mutex_);
  if (!observer_) return;
  try {
    // The server sends 200 for a handler that left the status unset.
    observer_(request, status == -1 ? 200 : status);
  } catch (...) {
    std::fprintf(stderr, "FakeService %s: the request observer threw\n", name_.c_str());
  }
}

std::vector<RecordedRequest> FakeService::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::vector<RecordedRequest> FakeService::requests(std::string_view method, std::string_view path) const {
  std::lock_guard lock(mutex_);
  std::vector<RecordedRequest> out;
  for (const auto& r : requests_)
    if (r.method == method && r.path == path) out.push_back(r);
  return out;
}

std::size_t FakeService::count(std::string_view method, std::string_view path) const {
  std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(std::count_if(requests_.begin(), requests_.end(),
                                                [&](const auto& r) { return r.method == method && r.path == path; }));
}

std::size_t FakeService::count() const {
  std::lock_guard lock(mutex_);
  return requests_.size();
}

void FakeService::clear_requests() {
  std::lock_guard lock(mutex_);
  requests_.clear();
}

bool FakeService::wait_for(const std::function<bool()>& pred, std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    std::uint64_t seen;
    {
      std::lock_guard lock(mutex_);
      seen = generation_;
    }
    if (pred()) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    std::unique_lock lock(mutex_);
    recorded_.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(20)),
                         [&] { return generation_ != seen; });
  }
}

// ---- answers -----------------------------------------------------------------

void FakeService::on(std::string method, const std::string& path_regex, Handler handler) {
  std::lock_guard lock(mutex_);
  overrides_.push_back({std::move(method), std::regex(path_regex), std::move(handler), nullptr, false});
}

void FakeService::on(std::string method, const std::string& path_regex, NativeHandler handler) {
  std::lock_guard lock(mutex_);
  overrides_.push_back({std::move(method), std::regex(path_regex), nullptr, std::move(handler), false});
}

void FakeService::answer(std::string method, const std::string& path_regex, ScriptedAnswer r) {
  Handler handler = play(std::move(r));
  std::lock_guard lock(mutex_);
  overrides_.push_back({std::move(method), std::regex(path_regex), std::move(handler), nullptr, true});
}

void FakeService::clear_overrides() {
  std::lock_guard lock(mutex_);
  overrides_.clear();
}

void FakeService::clear_scripted() {
  std::lock_guard lock(mutex_);
  std::erase_if(overrides_, [](const Route& route) { return route.scripted; });
}

void FakeService::route(std::string method, const std::string& path_regex, Handler handler) {
  std::lock_guard lock(mutex_);
  defaults_.push_back({std::move(method), std::regex(path_regex), std::move(handler), nullptr, false});
}

void FakeService::set_status_sequence(std::string path, std::vector<int> statuses) {
  std::lock_guard lock(mutex_);
  sequences_[std::move(path)] = {std::move(statuses), 0};
}

const FakeService::Route* FakeService::find(const std::vector<Route>& table, bool latest_first,
                                            httplib::Request& req) const {
  auto matches = [&](const Route& route) {
    const bool method_ok = route.method == req.method || (route.method == "GET" && req.method == "HEAD");
    return method_ok && std::regex_match(req.path, req.matches, route.pattern);
  };
  if (latest_first) {
    for (auto it = table.rbegin(); it != table.rend(); ++it)
      if (matches(*it)) return &*it;
  } else {
    for (const auto& route : table)
      if (matches(route)) return &route;
  }
  return nullptr;
}

void FakeService::dispatch(const httplib::Request& original, httplib::Response& res) {
  const RecordedRequest recorded = record(original);
  struct Notify {
    FakeService& service;
    const RecordedRequest& request;
    httplib::Response& response;
    ~Notify() { service.notify_observer(request, response.status); }
  } notify{*this, recorded, res};
  httplib::Request req = original;
  req.headers.erase(kHiddenEncoding);
  if (original.has_header(kHiddenEncoding))
    req.headers.emplace("Content-Encoding", original.get_header_value(kHiddenEncoding));

  Handler handler;
  NativeHandler native;
  {
    std::lock_guard lock(mutex_);
    auto seq = sequences_.find(req.path);
    if (seq != sequences_.end() && seq->second.second < seq->second.first.size()) {
      const int status = seq->second.first[seq->second.second++];
      if (status != 200) {
        res.status = status;
        return;
      }
    }
    const Route* route = find(overrides_, true, req);
    if (!route) route = find(defaults_, false, req);
    if (route) {
      handler = route->handler;
      native = route->native;
    }
  }
  if (native) return native(req, res);
  if (!handler) handler = not_found_json();
  HttpResponse answer;
  handler(fake_request_view(req), answer);
  fake_apply_answer(std::move(answer), res);
}

void FakeService::reply_json(HttpResponse& res, const nlohmann::json& body, int status) {
  res.status = status;
  res.set_content(body.dump(), "application/json");
}

Handler FakeService::empty(int status) {
  return [status](const HttpRequest&, HttpResponse& res) { res.status = status; };
}

Handler FakeService::json(int status, nlohmann::json body) {
  return [status, body = std::move(body)](const HttpRequest&, HttpResponse& res) {
    reply_json(res, body, status);
  };
}

Handler FakeService::not_found_json() { return json(404, {{"error", "not found"}}); }

Handler FakeService::unavailable_html() {
  return [](const HttpRequest&, HttpResponse& res) {
    res.status = 503;
    res.set_content(
        "<!DOCTYPE html>\n<html><head><title>503 Service Unavailable</title></head>"
        "<body><h1>Service Unavailable</h1><p>The server is temporarily unable to service your request.</p></body></html>\n",
        "text/html; charset=utf-8");
  };
}

Handler FakeService::drop_connection() {
  return [](const HttpRequest& req, HttpResponse& res) {
    if (req.end_connection) req.end_connection(false);
    res.status = 500;  // never reaches the client
  };
}

Handler FakeService::held(std::chrono::milliseconds max_hold, Handler then) {
  return [this, max_hold, then = std::move(then)](const HttpRequest& req, HttpResponse& res) {
    {
      std::unique_lock lock(hold_mutex_);
      hold_cv_.wait_for(lock, max_hold, [&] { return stopping_.load(); });
    }
    if (then) then(req, res);
    else res.status = 200;
  };
}

Handler FakeService::play(ScriptedAnswer r) {
  return [this, r = std::move(r)](const HttpRequest& req, HttpResponse& res) {
    if (r.delay.count() > 0) {
      // Held for the delay, until the service stops, or until the client gives
      // up (its request is then recorded when it gave up, not later).
      const auto until = std::chrono::steady_clock::now() + r.delay;
      std::unique_lock lock(hold_mutex_);
      while (!stopping_.load() && std::chrono::steady_clock::now() < until) {
        const auto slice = std::min<std::chrono::steady_clock::duration>(std::chrono::milliseconds(50),
                                                                         until - std::chrono::steady_clock::now());
        if (hold_cv_.wait_for(lock, slice, [&] { return stopping_.load(); })) break;
        lock.unlock();
        const bool gave_up = req.connection_closed && req.connection_closed();
        lock.lock();
        if (gave_up) break;
      }
    }
    switch (r.action) {
      case ScriptedAnswer::Action::drop:
      case ScriptedAnswer::Action::refuse:
        if (req.end_connection) req.end_connection(r.action == ScriptedAnswer::Action::refuse);
        res.status = 0;  // no answer; what the observer sees
        return;
      case ScriptedAnswer::Action::answer: break;
    }
    res.status = r.status;
    std::string content_type;
    for (const auto& [name, value] : r.headers) {
      if (iequals(name, "Content-Type")) content_type = value;
      else res.headers.emplace(name, value);
    }
    if (!r.body.empty()) res.set_content(r.body, content_type.empty() ? "text/plain" : content_type);
    else if (!content_type.empty()) res.set_header("Content-Type", content_type);
  };
}

}  // namespace testing::fakes
