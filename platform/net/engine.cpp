// The transfer engine: workers with reused curl easy handles, redirects,
// challenges, cookies, downloads and uploads done by hand around curl.
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "platform/foundation/plist.h"
#include "platform/os/file_manager.h"
#include "platform/os/profile.h"
#include "platform/os/system.h"
#include "platform/net/session_internal.h"

namespace platform::net::detail {

namespace fs = std::filesystem;
using foundation::Error;
using foundation::Url;
namespace ue = foundation::url_error;

namespace {

constexpr int kMaxWorkers = 16;
constexpr int kMaxRedirects = 16;
// How long an idle worker looks for new work before it sleeps.
constexpr auto kIdleSpin = std::chrono::microseconds(200);
// How long a task started from a completion waits for the delivering worker
// before a looking worker takes it (a handler that runs on, or blocks).
constexpr auto kDeferGrace = std::chrono::microseconds(50);
// How many idle workers may look at once: one per processor, so a burst of
// requests finds its workers awake.
int max_spinners() {
  static const int n = std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 1, kMaxWorkers);
  return n;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r' || s.front() == '\n')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n')) s.remove_suffix(1);
  return s;
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (auto& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool is_redirect_status(int s) { return s == 301 || s == 302 || s == 303 || s == 307 || s == 308; }

const char* describe(std::int64_t code) {
  switch (code) {
    case ue::cancelled: return "cancelled";
    case ue::bad_url: return "unsupported URL";
    case ue::timed_out: return "The request timed out.";
    case ue::unsupported_url: return "unsupported URL";
    case ue::cannot_find_host: return "A server with the specified hostname could not be found.";
    case ue::cannot_connect_to_host: return "Could not connect to the server.";
    case ue::network_connection_lost: return "The network connection was lost.";
    case ue::http_too_many_redirects: return "too many HTTP redirects";
    case ue::not_connected_to_internet: return "The Internet connection appears to be offline.";
    case ue::cannot_decode_content_data: return "cannot decode raw data";
    case ue::request_body_stream_exhausted: return "request body stream exhausted";
    case ue::secure_connection_failed: return "An SSL error has occurred and a secure connection to the server cannot be made.";
    case ue::server_certificate_untrusted: return "The certificate for this server is invalid.";
    case ue::file_does_not_exist: return "The requested URL was not found on this server.";
    case ue::cannot_create_file: return "The file could not be created.";
    case ue::cannot_write_to_file: return "The file could not be written.";
    case ue::bad_server_response: return "The server returned a bad response.";
    default: return "An unknown error occurred.";
  }
}

std::int64_t map_curl(CURLcode c) {
  switch (c) {
    case CURLE_COULDNT_RESOLVE_HOST: return ue::cannot_find_host;
    case CURLE_COULDNT_CONNECT: return ue::cannot_connect_to_host;
    case CURLE_OPERATION_TIMEDOUT: return ue::timed_out;
    case CURLE_SSL_CONNECT_ERROR: return ue::secure_connection_failed;
    case CURLE_PEER_FAILED_VERIFICATION: return ue::server_certificate_untrusted;
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE: return ue::network_connection_lost;
    case CURLE_ABORTED_BY_CALLBACK: return ue::cancelled;
    case CURLE_UNSUPPORTED_PROTOCOL: return ue::unsupported_url;
    case CURLE_URL_MALFORMAT: return ue::bad_url;
    case CURLE_BAD_CONTENT_ENCODING: return ue::cannot_decode_content_data;
    case CURLE_TOO_MANY_REDIRECTS: return ue::http_too_many_redirects;
    case CURLE_WEIRD_SERVER_REPLY: return ue::bad_server_response;
    default: return ue::unknown;
  }
}

curl_slist* connect_to_list() {
  curl_slist* list = nullptr;
  for (const auto& [from, to] : os::profile().hosts) {
    std::string entry = from + ":" + to;  // HOST:PORT:CONNECT-TO-HOST:CONNECT-TO-PORT
    list = curl_slist_append(list, entry.c_str());
  }
  return list;
}

struct SlistFree {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
using Slist = std::unique_ptr<curl_slist, SlistFree>;

}  // namespace

std::optional<AuthOffer> parse_auth_offer(std::string_view value) {
  value = trim(value);
  auto sp = value.find(' ');
  auto scheme = lower(value.substr(0, sp));
  if (scheme != "basic" && scheme != "digest") return std::nullopt;
  AuthOffer offer{scheme, {}};
  auto pos = lower(value).find("realm=");
  if (pos != std::string::npos) {
    auto rest = value.substr(pos + 6);
    if (!rest.empty() && rest.front() == '"') {
      auto end = rest.find('"', 1);
      offer.realm = std::string(rest.substr(1, end == std::string_view::npos ? std::string_view::npos : end - 1));
    } else {
      auto end = rest.find_first_of(", ");
      offer.realm = std::string(rest.substr(0, end));
    }
  }
  return offer;
}

HeaderLine parse_header_line(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  HeaderLine out;
  if (line.substr(0, 5) == "HTTP/") {
    out.kind = HeaderLine::Kind::status;
    auto sp = line.find(' ');
    if (sp != std::string_view::npos) out.status = std::atoi(std::string(line.substr(sp + 1, 3)).c_str());
    return out;
  }
  if (line.empty()) {
    out.kind = HeaderLine::Kind::end;
    return out;
  }
  auto colon = line.find(':');
  if (colon == std::string_view::npos) return out;
  out.kind = HeaderLine::Kind::field;
  out.name = trim(line.substr(0, colon));
  out.value = trim(line.substr(colon + 1));
  return out;
}

Error url_error(std::int64_t code, std::string description, const std::optional<Url>& url) {
  foundation::Dict info;
  info.set(std::string(foundation::key_localized_description), description.empty() ? std::string(describe(code)) : description);
  if (url) {
    info.set(std::string(foundation::key_failing_url), url->absolute_string());
    info.set(std::string(foundation::key_failing_url_string), url->absolute_string());
  }
  return Error(std::string(ue::domain), code, std::move(info));
}

fs::path download_directory() {
  auto dir = os::FileManager::shared().url_for(os::Directory::temporary);
  if (dir.empty()) dir = fs::temp_directory_path();
  std::error_code ec;
  fs::create_directories(dir, ec);
  return dir;
}

// ---- one transfer -----------------------------------------------------------

enum class Abort { none, cancelled, timed_out, lost, trust_failed, write_failed, create_failed, body_stream };

struct Run {
  CURL* easy;
  std::shared_ptr<Task> task;    // the task callbacks go to (changes when a data task becomes a download)
  std::shared_ptr<Task> origin;  // the task the engine runs
  Transfer& tr;
  std::shared_ptr<SessionCore> core;
  bool completion_task;

  Request req;
  double idle = 60;
  Clock::time_point last_activity = Clock::now();
  Clock::time_point resource_deadline;
  Abort abort = Abort::none;

  // The current header block (one per response of a hop).
  int status = 0;
  Headers headers;
  std::vector<std::string> set_cookies;
  bool in_block = false;
  bool candidate = false;  // redirect or authentication: body buffered, decided after the hop
  bool delivered = false;  // a final response went to the task
  Bytes block_body;

  // Body of the request for the current hop.
  enum class BodyKind { none, data, file, stream } body_kind = BodyKind::none;
  const Bytes* body_bytes = nullptr;
  FILE* upload_file = nullptr;
  std::shared_ptr<foundation::InputStream> stream;
  std::int64_t body_size = -1;
  curl_off_t last_ul = 0;

  // Data.
  Bytes data;
  bool keep_data = false;

  // Download file.
  FILE* file = nullptr;
  fs::path file_path;
  std::int64_t file_written = 0;

  // Authentication.
  std::optional<std::pair<std::string, std::string>> credential;
  long auth_scheme = CURLAUTH_BASIC;
  int auth_rounds = 0;
  bool default_credential_tried = false;

  TaskMetrics metrics;

  Run(CURL* e, std::shared_ptr<Task> t, Transfer& transfer, std::shared_ptr<SessionCore> c)
      : easy(e), task(t), origin(std::move(t)), tr(transfer), core(std::move(c)), completion_task(transfer.has_completion()) {}
  ~Run() {
    if (upload_file) std::fclose(upload_file);
    if (file) std::fclose(file);
    if (stream) stream->close();
  }

  void touch() { last_activity = Clock::now(); }

  bool cancelled() {
    std::lock_guard lk(origin->m_);
    return origin->cancelled_;
  }
  // True when the transfer must stop; records why.
  bool should_stop() {
    if (abort != Abort::none) return true;
    if (cancelled()) abort = Abort::cancelled;
    else if (tr.network_lost.load()) abort = Abort::lost;
    return abort != Abort::none;
  }
  // Holds the transfer while its task is suspended.
  bool hold_while_suspended() {
    std::unique_lock lk(origin->m_);
    while (origin->state_ == TaskState::suspended && !origin->cancelled_ && !tr.network_lost.load()) {
      origin->cv_.wait_for(lk, std::chrono::milliseconds(50));
    }
    lk.unlock();
    touch();
    return !should_stop();
  }

  template <class T>
  std::optional<T> wait(Answer<T>& answer) {
    auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(idle));
    std::unique_lock lk(answer.m);
    while (!answer.value) {
      lk.unlock();
      bool stop = should_stop();
      lk.lock();
      if (answer.value) break;
      if (stop) return std::nullopt;
      if (Clock::now() >= deadline) {
        abort = Abort::timed_out;
        return std::nullopt;
      }
      answer.cv.wait_for(lk, std::chrono::milliseconds(20));
    }
    touch();
    return answer.value;
  }

  std::optional<std::pair<AuthDisposition, std::optional<Credential>>> ask_challenge(const Challenge& challenge,
                                                                                   bool session_level) {
    using Reply = std::pair<AuthDisposition, std::optional<Credential>>;
    auto answer = std::make_shared<Answer<Reply>>();
    auto t = task;
    core->post([t, challenge, answer, session_level](Session& s, SessionDelegate* d) {
      ChallengeHandler handler = [answer](AuthDisposition disp, std::optional<Credential> cred) {
        answer->set(Reply{disp, std::move(cred)});
      };
      if (!d) return handler(AuthDisposition::perform_default, std::nullopt);
      if (session_level) d->did_receive_challenge(s, challenge, handler);
      else d->task_did_receive_challenge(s, *t, challenge, handler);
    });
    return wait(*answer);
  }

  // ---- TLS --------------------------------------------------------------------
  bool verify_server(X509_STORE_CTX* x) {
    std::vector<std::shared_ptr<security::Certificate>> chain;
    auto add = [&](X509* cert) {
      unsigned char* der = nullptr;
      int len = i2d_X509(cert, &der);
      if (len <= 0) return;
      auto c = security::Certificate::from_der(std::span<const std::uint8_t>(der, static_cast<std::size_t>(len)));
      OPENSSL_free(der);
      if (c) chain.push_back(std::move(c));
    };
    X509* leaf = X509_STORE_CTX_get0_cert(x);
    if (leaf) add(leaf);
    if (STACK_OF(X509)* rest = X509_STORE_CTX_get0_untrusted(x)) {
      for (int i = 0; i < sk_X509_num(rest); ++i) {
        X509* c = sk_X509_value(rest, i);
        if (leaf && X509_cmp(c, leaf) == 0) continue;
        add(c);
      }
    }
    auto host = req.url->host().value_or("");
    std::shared_ptr<security::Trust> trust;
    if (chain.empty() || security::Trust::create(chain, {security::Policy::ssl(true, host)}, &trust) != 0 || !trust) {
      abort = Abort::trust_failed;
      return false;
    }
    Challenge challenge;
    challenge.space.host = host;
    challenge.space.port = req.url->port().value_or(443);
    challenge.space.protocol = "https";
    challenge.space.authentication_method = std::string(auth_method_server_trust);
    challenge.server_trust = trust;

    bool evaluate_default = true;
    bool session_level = core->implements(Callback::session_challenge);
    if (session_level || core->implements(Callback::task_challenge)) {
      auto reply = ask_challenge(challenge, session_level);
      if (!reply) return false;  // cancelled, lost or timed out
      switch (reply->first) {
        case AuthDisposition::use_credential:
          if (reply->second && reply->second->server_trust) evaluate_default = false;
          break;
        case AuthDisposition::perform_default: break;
        case AuthDisposition::cancel:
        case AuthDisposition::reject_protection_space: abort = Abort::cancelled; return false;
      }
    }
    if (evaluate_default) {
      security::TrustResult result = security::TrustResult::invalid;
      if (trust->evaluate(&result) != 0 ||
          (result != security::TrustResult::unspecified && result != security::TrustResult::proceed)) {
        abort = Abort::trust_failed;
        return false;
      }
    }
    X509_STORE_CTX_set_error(x, X509_V_OK);
    return true;
  }

  static int verify_cb(X509_STORE_CTX* x, void* arg) {
    auto* run = static_cast<Run*>(arg);
    if (run->verify_server(x)) return 1;
    X509_STORE_CTX_set_error(x, X509_V_ERR_APPLICATION_VERIFICATION);
    return 0;
  }
  static CURLcode ssl_ctx_cb(CURL*, void* ssl_ctx, void* arg) {
    SSL_CTX_set_cert_verify_callback(static_cast<SSL_CTX*>(ssl_ctx), &Run::verify_cb, arg);
    return CURLE_OK;
  }

  // ---- responses ----------------------------------------------------------------
  bool cookies_handled() const {
    return req.should_handle_cookies && core->config.should_set_cookies && core->config.cookie_storage != nullptr;
  }

  void store_cookies() {
    if (!cookies_handled() || set_cookies.empty()) return;
    std::vector<Cookie> parsed;
    for (const auto& line : set_cookies) {
      if (auto c = Cookie::from_set_cookie(line, *req.url)) parsed.push_back(std::move(*c));
    }
    if (!parsed.empty()) {
      core->config.cookie_storage->set_cookies(parsed, *req.url, req.main_document_url, core->config.cookie_accept_policy);
    }
  }

  Response current_response() const { return Response::http(*req.url, status, headers); }

  bool is_auth_challenge() const {
    if (status == 401) {
      auto v = headers.get("WWW-Authenticate");
      return v && parse_auth_offer(*v);
    }
    if (status == 407) {
      auto v = headers.get("Proxy-Authenticate");
      return v && parse_auth_offer(*v);
    }
    return false;
  }

  // End of a header block: store its cookies, then decide whether the block
  // is final. Returns false to stop the transfer.
  bool end_of_headers() {
    store_cookies();
    if ((is_redirect_status(status) && headers.contains("Location")) || is_auth_challenge() ||
        (credential && status == 401)) {
      candidate = true;
      return true;
    }
    return deliver_response(current_response());
  }

  bool open_download_file(const Response& response) {
    std::int64_t expected = response.expected_content_length;
    if (tr.resume) {
      if (status == 206) {
        file_path = tr.resume->file;
        file = std::fopen(file_path.c_str(), "ab");
        file_written = tr.resume->offset;
        auto offset = tr.resume->offset;
        auto total = expected >= 0 ? offset + expected : -1;
        post_download_resumed(offset, total);
      } else {
        file_path = tr.resume->file;
        file = std::fopen(file_path.c_str(), "wb");
        file_written = 0;
        post_download_resumed(0, expected);
      }
    } else {
      auto templ = (download_directory() / "CFNetworkDownload_XXXXXX.tmp").string();
      std::vector<char> buf(templ.begin(), templ.end());
      buf.push_back('\0');
      int fd = ::mkstemps(buf.data(), 4);
      if (fd >= 0) {
        file = ::fdopen(fd, "wb");
        if (!file) ::close(fd);
        file_path = buf.data();
      }
    }
    if (!file) {
      abort = Abort::create_failed;
      return false;
    }
    return true;
  }

  void post_download_resumed(std::int64_t offset, std::int64_t total) {
    if (completion_task || !core->implements(Callback::download_resumed)) return;
    auto t = task;
    core->post([t, offset, total](Session& s, SessionDelegate* d) {
      if (d && d->implements(Callback::download_resumed)) d->did_resume_at_offset(s, static_cast<DownloadTask&>(*t), offset, total);
    });
  }

  bool deliver_response(const Response& response) {
    delivered = true;
    auto shared = std::make_shared<const Response>(response);
    {
      std::lock_guard lk(task->m_);
      task->response_ = shared;
      task->expected_receive_ = response.expected_content_length;
    }
    if (task->kind() == Task::Kind::download) return open_download_file(response);
    keep_data = completion_task || (core->implements(Callback::data_will_cache) && cacheable(response));
    if (completion_task || !core->implements(Callback::data_response)) return true;
    auto answer = std::make_shared<Answer<ResponseDisposition>>();
    auto t = task;
    core->post([t, shared, answer](Session& s, SessionDelegate* d) {
      auto handler = [answer](ResponseDisposition disp) { answer->set(disp); };
      if (d && d->implements(Callback::data_response)) d->did_receive_response(s, static_cast<DataTask&>(*t), *shared, handler);
      else handler(ResponseDisposition::allow);
    });
    auto disp = wait(*answer);
    if (!disp) return false;
    switch (*disp) {
      case ResponseDisposition::cancel: abort = Abort::cancelled; return false;
      case ResponseDisposition::become_download: return become_download(response);
      case ResponseDisposition::allow:
      case ResponseDisposition::become_stream: return true;
    }
    return true;
  }

  bool become_download(const Response& response);

  bool cacheable(const Response& response) const {
    if (!core->config.has_url_cache || response.status != 200 || req.method != "GET") return false;
    auto cc = lower(response.header_fields.get("Cache-Control").value_or(""));
    return cc.find("no-store") == std::string::npos;
  }

  bool deliver_body(const char* p, std::size_t n) {
    if (n == 0) return true;
    {
      std::lock_guard lk(task->m_);
      task->received_ += static_cast<std::int64_t>(n);
    }
    if (task->kind() == Task::Kind::download) {
      if (std::fwrite(p, 1, n, file) != n) {
        abort = Abort::write_failed;
        return false;
      }
      file_written += static_cast<std::int64_t>(n);
      if (!completion_task && core->implements(Callback::download_wrote)) {
        auto t = task;
        std::int64_t written = static_cast<std::int64_t>(n), total = file_written, expected = task->bytes_expected_to_receive();
        if (expected >= 0 && tr.resume && status == 206) expected += tr.resume->offset;
        core->post([t, written, total, expected](Session& s, SessionDelegate* d) {
          if (d && d->implements(Callback::download_wrote)) d->did_write_data(s, static_cast<DownloadTask&>(*t), written, total, expected);
        });
      }
      return true;
    }
    if (keep_data) data.insert(data.end(), p, p + n);
    if (!completion_task && core->implements(Callback::data_received)) {
      auto t = task;
      auto chunk = std::make_shared<Bytes>(p, p + n);
      core->post([t, chunk](Session& s, SessionDelegate* d) {
        if (d && d->implements(Callback::data_received)) d->did_receive_data(s, static_cast<DataTask&>(*t), *chunk);
      });
    }
    return true;
  }

  // ---- curl callbacks ---------------------------------------------------------------
  static std::size_t header_cb(char* p, std::size_t size, std::size_t n, void* arg) {
    auto& r = *static_cast<Run*>(arg);
    std::size_t len = size * n;
    r.touch();
    const HeaderLine line = parse_header_line(std::string_view(p, len));
    if (line.kind == HeaderLine::Kind::status) {
      r.status = line.status;
      r.headers = Headers();
      r.set_cookies.clear();
      r.block_body.clear();
      r.candidate = false;
      r.in_block = true;
      return len;
    }
    if (line.kind == HeaderLine::Kind::end) {
      if (!r.in_block) return len;
      r.in_block = false;
      if (r.status / 100 == 1) return len;
      return r.end_of_headers() ? len : 0;
    }
    if (!r.in_block || line.kind != HeaderLine::Kind::field) return len;
    // Set-Cookie lines are kept one by one: their Expires dates hold commas.
    if (iequals(line.name, "Set-Cookie")) r.set_cookies.emplace_back(line.value);
    r.headers.add(line.name, line.value);
    return len;
  }

  static std::size_t write_cb(char* p, std::size_t size, std::size_t n, void* arg) {
    auto& r = *static_cast<Run*>(arg);
    std::size_t len = size * n;
    if (!r.hold_while_suspended()) return 0;
    if (r.candidate || !r.delivered) {
      r.block_body.insert(r.block_body.end(), p, p + len);
      return len;
    }
    return r.deliver_body(p, len) ? len : 0;
  }

  static std::size_t read_cb(char* p, std::size_t size, std::size_t n, void* arg) {
    auto& r = *static_cast<Run*>(arg);
    if (!r.hold_while_suspended()) return CURL_READFUNC_ABORT;
    std::size_t len = size * n;
    if (r.body_kind == BodyKind::file) return std::fread(p, 1, len, r.upload_file);
    if (r.body_kind == BodyKind::stream && r.stream) {
      auto got = r.stream->read(std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(p), len));
      if (got < 0) {
        r.abort = Abort::body_stream;
        return CURL_READFUNC_ABORT;
      }
      return static_cast<std::size_t>(got);
    }
    return 0;
  }

  static int seek_cb(void* arg, curl_off_t offset, int origin_) {
    auto& r = *static_cast<Run*>(arg);
    if (r.body_kind == BodyKind::file && r.upload_file && origin_ == SEEK_SET) {
      return std::fseek(r.upload_file, static_cast<long>(offset), SEEK_SET) == 0 ? CURL_SEEKFUNC_OK : CURL_SEEKFUNC_FAIL;
    }
    return CURL_SEEKFUNC_CANTSEEK;
  }

  static int progress_cb(void* arg, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow) {
    auto& r = *static_cast<Run*>(arg);
    if (r.should_stop()) return 1;
    auto now = Clock::now();
    if (ulnow != r.last_ul) {
      r.touch();
      std::int64_t sent = ulnow - r.last_ul;
      r.last_ul = ulnow;
      std::int64_t total = ulnow, expected = r.body_size;
      {
        std::lock_guard lk(r.origin->m_);
        r.origin->sent_ = total;
      }
      if (r.core->implements(Callback::task_sent_body)) {
        auto t = r.task;
        r.core->post([t, sent, total, expected](Session& s, SessionDelegate* d) {
          if (d && d->implements(Callback::task_sent_body)) d->did_send_body_data(s, *t, sent, total, expected);
        });
      }
    }
    (void)dlnow;
    if (now - r.last_activity > std::chrono::duration<double>(r.idle) || now >= r.resource_deadline) {
      r.abort = Abort::timed_out;
      return 1;
    }
    return 0;
  }

  // ---- one hop ----------------------------------------------------------------------
  bool prepare_body(std::optional<Error>& err) {
    body_kind = BodyKind::none;
    body_bytes = nullptr;
    body_size = -1;
    if (upload_file) {
      std::fclose(upload_file);
      upload_file = nullptr;
    }
    if (stream) {
      stream->close();
      stream = nullptr;
    }
    if (req.method == "HEAD") return true;
    switch (tr.body) {
      case Transfer::Body::data:
        body_kind = BodyKind::data;
        body_bytes = &tr.body_data;
        body_size = static_cast<std::int64_t>(tr.body_data.size());
        return true;
      case Transfer::Body::file: {
        upload_file = std::fopen(tr.body_file.c_str(), "rb");
        std::error_code ec;
        auto size = fs::file_size(tr.body_file, ec);
        if (!upload_file || ec) {
          err = url_error(ue::file_does_not_exist, {}, req.url);
          return false;
        }
        body_kind = BodyKind::file;
        body_size = static_cast<std::int64_t>(size);
        return true;
      }
      case Transfer::Body::stream_first:
        if (req.body_stream) {
          stream = req.body_stream;
          tr.body = Transfer::Body::stream_asked;  // a later hop asks for a new stream
          break;
        }
        [[fallthrough]];
      case Transfer::Body::stream_asked: {
        if (!core->implements(Callback::task_body_stream)) {
          err = url_error(ue::request_body_stream_exhausted, {}, req.url);
          return false;
        }
        auto answer = std::make_shared<Answer<std::shared_ptr<foundation::InputStream>>>();
        auto t = task;
        core->post([t, answer](Session& s, SessionDelegate* d) {
          auto handler = [answer](std::shared_ptr<foundation::InputStream> st) { answer->set(std::move(st)); };
          if (d && d->implements(Callback::task_body_stream)) d->need_new_body_stream(s, *t, handler);
          else handler(nullptr);
        });
        auto got = wait(*answer);
        if (!got) return false;
        if (!*got) {
          err = url_error(ue::request_body_stream_exhausted, {}, req.url);
          return false;
        }
        stream = *got;
        break;
      }
      case Transfer::Body::none:
        if (req.body) {
          body_kind = BodyKind::data;
          body_bytes = &*req.body;
          body_size = static_cast<std::int64_t>(req.body->size());
        } else if (req.body_stream) {
          tr.body = Transfer::Body::stream_first;
          return prepare_body(err);
        }
        return true;
    }
    // A stream body.
    if (stream->status() == foundation::StreamStatus::not_open) stream->open();
    if (stream->status() == foundation::StreamStatus::error) {
      err = url_error(ue::request_body_stream_exhausted, {}, req.url);
      return false;
    }
    body_kind = BodyKind::stream;
    if (auto len = req.headers.get("Content-Length")) body_size = std::atoll(len->c_str());
    return true;
  }

  Slist build_headers() {
    Headers h = req.headers;
    for (const auto& f : core->config.http_additional_headers) {
      if (!h.contains(f.name)) h.set(f.name, f.value);
    }
    if (!h.contains("Accept-Encoding")) h.set("Accept-Encoding", "gzip, deflate");
    if (cookies_handled() && !h.contains("Cookie")) {
      if (auto cookie = core->config.cookie_storage->cookie_header_for(*req.url)) h.set("Cookie", *cookie);
    }
    curl_slist* list = nullptr;
    auto append = [&](const std::string& line) { list = curl_slist_append(list, line.c_str()); };
    for (const auto& f : h) {
      if (f.value.empty()) append(f.name + ";");  // an empty value is sent as "Name:"
      else append(f.name + ": " + f.value);
    }
    append("Expect:");
    if (body_kind != BodyKind::none && !h.contains("Content-Type")) append("Content-Type:");
    if (body_kind == BodyKind::stream && body_size < 0 && !h.contains("Transfer-Encoding")) {
      append("Transfer-Encoding: chunked");
    }
    return Slist(list);
  }

  std::optional<Error> perform_hop() {
    std::optional<Error> err;
    if (!prepare_body(err)) {
      if (!err) err = abort_error(CURLE_OK);
      return err;
    }
    status = 0;
    headers = Headers();
    set_cookies.clear();
    block_body.clear();
    candidate = false;
    delivered = false;
    in_block = false;
    last_ul = 0;
    {
      std::lock_guard lk(origin->m_);
      origin->expected_send_ = body_size;
      origin->current_ = req;
    }

    auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(resource_deadline - Clock::now()).count();
    if (remaining <= 0) return url_error(ue::timed_out, {}, req.url);

    curl_easy_reset(easy);
    auto url = req.url->absolute_string();
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_SHARE, core->share);
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Run::header_cb);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Run::write_cb);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Run::progress_cb);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &Run::ssl_ctx_cb);
    curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, this);
    Slist connect_to(connect_to_list());
    if (connect_to) curl_easy_setopt(easy, CURLOPT_CONNECT_TO, connect_to.get());

    // Idle timeout: connect plus low speed (whole seconds), refined by the
    // progress callback; the resource timeout is the total.
    auto idle_ms = static_cast<long>(std::max(1.0, idle * 1000));
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, idle_ms);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, static_cast<long>(std::max(1.0, std::ceil(idle))));
    if (remaining < 0x7fffffff) curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(remaining));

    Slist header_list = build_headers();
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, header_list.get());

    if (req.method == "HEAD") {
      curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    } else if (body_kind != BodyKind::none) {
      curl_easy_setopt(easy, CURLOPT_POST, 1L);
      if (body_kind == BodyKind::data) {
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body_bytes->size()));
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body_bytes->empty() ? "" : reinterpret_cast<const char*>(body_bytes->data()));
      } else {
        curl_easy_setopt(easy, CURLOPT_READFUNCTION, &Run::read_cb);
        curl_easy_setopt(easy, CURLOPT_READDATA, this);
        curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, &Run::seek_cb);
        curl_easy_setopt(easy, CURLOPT_SEEKDATA, this);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body_size));
      }
      if (req.method != "POST") curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, req.method.c_str());
    } else if (req.method == "GET") {
      curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    } else if (req.method == "POST") {
      curl_easy_setopt(easy, CURLOPT_POST, 1L);
      curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(0));
      curl_easy_setopt(easy, CURLOPT_POSTFIELDS, "");
    } else {
      curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, req.method.c_str());
    }
    if (credential) {
      curl_easy_setopt(easy, CURLOPT_HTTPAUTH, auth_scheme);
      curl_easy_setopt(easy, CURLOPT_USERNAME, credential->first.c_str());
      curl_easy_setopt(easy, CURLOPT_PASSWORD, credential->second.c_str());
    }

    TaskMetrics::Transaction tx;
    tx.request = req;
    tx.fetch_start = foundation::Date::now();
    touch();
    CURLcode rc = curl_easy_perform(easy);
    curl_easy_setopt(easy, CURLOPT_SHARE, nullptr);  // the share outlives no handle

    record_metrics(std::move(tx));
    if (rc != CURLE_OK || abort != Abort::none) return abort_error(rc);
    if (status == 0 && !delivered) return url_error(ue::bad_server_response, {}, req.url);
    return std::nullopt;
  }

  void record_metrics(TaskMetrics::Transaction tx) {
    auto get = [&](CURLINFO info) -> std::optional<double> {
      curl_off_t v = 0;
      if (curl_easy_getinfo(easy, info, &v) != CURLE_OK || v <= 0) return std::nullopt;
      return static_cast<double>(v) / 1e6;
    };
    long connects = 0;
    curl_easy_getinfo(easy, CURLINFO_NUM_CONNECTS, &connects);
    tx.reused_connection = connects == 0;
    tx.domain_lookup_end = get(CURLINFO_NAMELOOKUP_TIME_T);
    tx.connect_end = get(CURLINFO_CONNECT_TIME_T);
    tx.secure_connection_end = get(CURLINFO_APPCONNECT_TIME_T);
    tx.request_start = get(CURLINFO_PRETRANSFER_TIME_T);
    tx.response_start = get(CURLINFO_STARTTRANSFER_TIME_T);
    tx.response_end = get(CURLINFO_TOTAL_TIME_T).value_or(0);
    if (tx.reused_connection) tx.domain_lookup_end = tx.connect_end = tx.secure_connection_end = std::nullopt;
    tx.network_protocol_name = "http/1.1";
    if (status != 0) tx.response = std::make_shared<const Response>(current_response());
    metrics.transactions.push_back(std::move(tx));
  }

  Error abort_error(CURLcode rc) {
    switch (abort) {
      case Abort::cancelled: return url_error(ue::cancelled, {}, req.url);
      case Abort::timed_out: return url_error(ue::timed_out, {}, req.url);
      case Abort::lost: return url_error(ue::network_connection_lost, {}, req.url);
      case Abort::trust_failed: return url_error(ue::server_certificate_untrusted, {}, req.url);
      case Abort::write_failed: return url_error(ue::cannot_write_to_file, {}, req.url);
      case Abort::create_failed: return url_error(ue::cannot_create_file, {}, req.url);
      case Abort::body_stream: return url_error(ue::request_body_stream_exhausted, {}, req.url);
      case Abort::none: break;
    }
    std::string desc = describe(map_curl(rc));
    return url_error(map_curl(rc), desc, req.url);
  }

  // ---- redirects and authentication ------------------------------------------------------
  std::optional<Request> redirected_request() {
    auto location = headers.get("Location");
    auto next_url = location ? Url::parse(trim(*location), *req.url) : std::nullopt;
    if (!next_url) return std::nullopt;
    Request next = req;
    next.url = next_url;
    bool to_get = ((status == 301 || status == 302) && req.method == "POST") || (status == 303 && req.method != "HEAD");
    if (to_get) {
      next.method = status == 303 && req.method == "HEAD" ? "HEAD" : "GET";
      next.body.reset();
      next.body_stream.reset();
      for (auto name : {"Content-Type", "Content-Length", "Content-Encoding", "Transfer-Encoding"}) next.headers.remove(name);
      tr.body = Transfer::Body::none;
    }
    auto old_host = lower(req.url->host().value_or(""));
    auto new_host = lower(next_url->host().value_or(""));
    if (old_host != new_host || req.url->scheme() != next_url->scheme()) {
      // Credentials set on the request stay with their host.
      next.headers.remove("Authorization");
      next.headers.remove("Proxy-Authorization");
      next.headers.remove("Cookie");
      credential.reset();
    }
    return next;
  }

  enum class AuthStep { retry, deliver, stop };
  AuthStep handle_auth(std::optional<Error>& err) {
    bool proxy = status == 407;
    auto offer = parse_auth_offer(headers.get(proxy ? "Proxy-Authenticate" : "WWW-Authenticate").value_or(""));
    if (!offer) return AuthStep::deliver;
    Challenge challenge;
    challenge.space.host = req.url->host().value_or("");
    challenge.space.port = req.url->port().value_or(req.url->scheme() == "https" ? 443 : 80);
    challenge.space.protocol = req.url->scheme().value_or("http");
    challenge.space.realm = offer->realm;
    challenge.space.authentication_method = std::string(offer->scheme == "digest" ? auth_method_digest : auth_method_basic);
    challenge.previous_failure_count = auth_rounds;
    challenge.failure_response = std::make_shared<const Response>(current_response());

    std::optional<std::pair<std::string, std::string>> use;
    bool default_handling = true;
    if (core->implements(Callback::task_challenge)) {
      auto reply = ask_challenge(challenge, false);
      if (!reply) {
        err = abort_error(CURLE_OK);
        return AuthStep::stop;
      }
      switch (reply->first) {
        case AuthDisposition::use_credential:
          default_handling = false;
          if (reply->second && reply->second->user_password) {
            use = reply->second->user_password;
            if (reply->second->persistence != Credential::none) {
              CredentialStorage::shared()->set(*reply->second, challenge.space, true);
            }
          }
          break;
        case AuthDisposition::perform_default: break;
        case AuthDisposition::cancel:
          err = url_error(ue::cancelled, {}, req.url);
          return AuthStep::stop;
        case AuthDisposition::reject_protection_space: return AuthStep::deliver;
      }
    }
    if (default_handling && !default_credential_tried) {
      default_credential_tried = true;
      if (auto stored = CredentialStorage::shared()->default_credential(challenge.space); stored && stored->user_password) {
        use = stored->user_password;
      }
    }
    if (!use) return AuthStep::deliver;
    credential = use;
    auth_scheme = offer->scheme == "digest" ? CURLAUTH_DIGEST : CURLAUTH_BASIC;
    ++auth_rounds;
    return AuthStep::retry;
  }

  // A buffered block becomes the task's final response.
  bool deliver_block() {
    Bytes body = std::move(block_body);
    block_body.clear();
    candidate = false;
    if (!deliver_response(current_response())) return false;
    return deliver_body(reinterpret_cast<const char*>(body.data()), body.size());
  }

  void execute();
  void finish(std::optional<Error> err);

  static void run(CURL* easy, const std::shared_ptr<Task>& task) {
    auto core = task->session_;
    Run r(easy, task, *task->transfer_, core);
    r.execute();
  }
};

namespace {
Bytes make_resume_data(const Url& url, std::int64_t received, const fs::path& file, const Headers& h);
}  // namespace

bool Run::become_download(const Response& response) {
  auto download = core->adopt_download(origin, response);
  if (!download) return true;
  auto data_task = task;
  task = download;
  core->post([data_task, download](Session& s, SessionDelegate* d) {
    if (d && d->implements(Callback::data_became_download)) {
      d->did_become_download_task(s, static_cast<DataTask&>(*data_task), static_cast<DownloadTask&>(*download));
    }
  });
  return open_download_file(response);
}

void Run::execute() {
  {
    std::lock_guard lk(origin->m_);
    req = *origin->current_;
  }
  metrics.start = foundation::Date::now();
  auto started = Clock::now();
  idle = req.timeout != 60 ? req.timeout : core->config.timeout_for_request;
  if (idle <= 0) idle = 60;
  if (const double limit = os::profile().request_timeout_limit_s; limit > 0) idle = std::min(idle, limit);
  resource_deadline = started + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(std::min(core->config.timeout_for_resource, 1e9)));
  if (tr.resume) {
    req.headers.set("Range", "bytes=" + std::to_string(tr.resume->offset) + "-");
    if (!tr.resume->etag.empty()) req.headers.set("If-Range", tr.resume->etag);
    else if (!tr.resume->last_modified.empty()) req.headers.set("If-Range", tr.resume->last_modified);
  }

  std::optional<Error> err;
  std::size_t redirects = 0;
  for (;;) {
    if (should_stop()) {
      err = abort_error(CURLE_OK);
      break;
    }
    err = perform_hop();
    if (err || !candidate) break;
    if (is_redirect_status(status) && headers.contains("Location")) {
      auto next = redirected_request();
      if (!next) {
        if (!deliver_block()) err = abort_error(CURLE_OK);
        break;
      }
      if (redirects >= kMaxRedirects) {
        err = url_error(ue::http_too_many_redirects, {}, req.url);
        break;
      }
      {
        if (core->implements(Callback::task_redirect)) {
          auto answer = std::make_shared<Answer<std::optional<Request>>>();
          auto t = task;
          auto response = std::make_shared<const Response>(current_response());
          auto proposed = *next;
          core->post([t, response, proposed, answer](Session& s, SessionDelegate* d) {
            auto handler = [answer](std::optional<Request> r) { answer->set(std::move(r)); };
            if (d && d->implements(Callback::task_redirect)) d->will_perform_redirection(s, *t, *response, proposed, handler);
            else handler(proposed);
          });
          auto decided = wait(*answer);
          if (!decided) {
            err = abort_error(CURLE_OK);
            break;
          }
          next = *decided;
        }
      }
      if (!next || !next->url) {
        if (!deliver_block()) err = abort_error(CURLE_OK);
        break;
      }
      ++redirects;
      metrics.redirect_count = redirects;
      req = std::move(*next);
      continue;
    }
    // Authentication (or a failed authenticated round).
    auto step = handle_auth(err);
    if (step == AuthStep::retry) continue;
    if (step == AuthStep::deliver && !deliver_block()) err = abort_error(CURLE_OK);
    break;
  }
  metrics.duration = std::chrono::duration<double>(Clock::now() - started).count();
  finish(std::move(err));
}

namespace {
Bytes make_resume_data(const Url& url, std::int64_t received, const fs::path& file, const Headers& h) {
  foundation::Dict d;
  d.set("NSURLSessionResumeInfoVersion", 2);
  d.set("NSURLSessionDownloadURL", url.absolute_string());
  d.set("NSURLSessionResumeBytesReceived", static_cast<long long>(received));
  d.set("NSURLSessionResumeInfoLocalPath", file.string());
  if (auto etag = h.get("ETag")) d.set("NSURLSessionResumeEntityTag", *etag);
  if (auto lm = h.get("Last-Modified")) d.set("NSURLSessionResumeServerDownloadDate", *lm);
  auto bytes = foundation::plist::serialize(foundation::Value(std::move(d)), foundation::plist::Format::binary);
  return bytes ? *bytes : Bytes{};
}
}  // namespace

void Run::finish(std::optional<Error> err) {
  if (file) {
    std::fflush(file);
    std::fclose(file);
    file = nullptr;
  }
  std::optional<Url> location;
  std::optional<Bytes> resume_data;
  bool is_download = task->kind() == Task::Kind::download;
  if (is_download && !file_path.empty()) {
    if (!err) {
      location = Url::file(file_path);
    } else {
      std::shared_ptr<const Response> response = task->response();
      bool resumable = response && file_written > 0 && req.method == "GET" &&
                       (response->header_fields.contains("ETag") || response->header_fields.contains("Last-Modified"));
      if (resumable) {
        resume_data = make_resume_data(*req.url, file_written, file_path, response->header_fields);
        err->user_info.set(std::string(foundation::key_resume_data), *resume_data);
      } else {
        std::error_code ec;
        fs::remove(file_path, ec);
      }
    }
  }
  std::function<void(std::optional<Bytes>)> resume_handler;
  {
    std::lock_guard lk(origin->m_);
    resume_handler = std::move(tr.resume_data_handler);
  }
  if (resume_handler) {
    core->post([resume_handler, resume_data](Session&, SessionDelegate*) { resume_handler(resume_data); });
  }
  // will-cache for a cacheable response. No cache is kept, so its answer is
  // ignored and the completion does not wait for it: the call goes into the
  // delegate's FIFO ahead of the completion, and this worker delivers both
  // (a wait here cost two thread hand-offs per request).
  if (!err && !completion_task && task->kind() != Task::Kind::download && core->implements(Callback::data_will_cache)) {
    auto response = task->response();
    if (response && cacheable(*response)) {
      auto t = task;
      CachedResponse proposed{response, data};
      core->post([t, proposed](Session& s, SessionDelegate* d) {
        if (d && d->implements(Callback::data_will_cache))
          d->will_cache_response(s, static_cast<DataTask&>(*t), proposed, [](std::optional<CachedResponse>) {});
      }, /*from_worker=*/true);
    }
  }
  std::optional<Bytes> body;
  if (!is_download) body = std::move(data);
  core->complete(task, std::move(err), std::move(body), location, std::move(metrics), /*from_worker=*/true);
  if (task != origin) core->complete_silently(origin);
}

void run_transfer(CURL* easy, const std::shared_ptr<Task>& task) { Run::run(easy, task); }

// ---- the worker pool ---------------------------------------------------------

Engine::Engine() { curl_global_init(CURL_GLOBAL_DEFAULT); }

Engine& Engine::shared() {
  static Engine* engine = new Engine();  // lives for the process; workers are joined by shutdown()
  return *engine;
}

namespace {
// Set on a worker while it delivers a completion on its own thread.
thread_local bool delivering_here = false;
// Set once that delivery has left a task for this worker (one at most).
thread_local bool deferred_here = false;
std::int64_t ticks(Clock::time_point t) { return t.time_since_epoch().count(); }
}  // namespace

void Engine::submit(std::shared_ptr<Task> task) {
  std::lock_guard lk(m_);
  pending_.push_back(std::move(task));
  // While shutting down the task only waits (and is dropped with the rest):
  // starting it, or clearing the flag, would keep workers from ending.
  if (stopping_) return;
  if (delivering_here && !deferred_here && spinners_ > 0) {
    // The first task started from the completion this worker is delivering:
    // the worker runs it once the handler returns (same thread, same
    // connection), a looking worker if the handler runs on.
    auto now = Clock::now();
    deferred_here = true;
    ++deferring_;
    if (deferred_since_.load(std::memory_order_relaxed) == 0) deferred_since_.store(ticks(now), std::memory_order_relaxed);
    watch_until_.store(ticks(now + kIdleSpin), std::memory_order_relaxed);
    return;
  }
  dispatch_locked();
  if (idle_.empty() && static_cast<int>(pending_.size()) > starting_ && static_cast<int>(threads_.size()) < kMaxWorkers) {
    ++starting_;
    threads_.emplace_back([this] { worker(); });
  }
}

void Engine::wake() {
  std::lock_guard lk(m_);
  dispatch_locked();
}

void Engine::dispatch_locked() {
  if (stopping_) return;
  while (!idle_.empty()) {
    auto task = take_locked();
    if (!task) return;
    // The most recently idle worker that is still looking, else the most
    // recently idle one.
    Worker* w = idle_.back();
    for (auto it = idle_.rbegin(); it != idle_.rend(); ++it) {
      if ((*it)->spinning) {
        w = *it;
        break;
      }
    }
    if (w->spinning) {
      w->spinning = false;
      --spinners_;
    }
    std::erase(idle_, w);
    w->task = std::move(task);
    w->handed.store(true, std::memory_order_release);
    w->cv.notify_one();  // under the lock: the worker cannot be gone yet
  }
}

std::shared_ptr<Task> Engine::take_locked() {
  for (auto it = pending_.begin(); it != pending_.end(); ++it) {
    auto& task = *it;
    bool cancelled, suspended;
    {
      std::lock_guard lk(task->m_);
      cancelled = task->cancelled_;
      suspended = task->state_ == TaskState::suspended;
    }
    auto& core = *task->session_;
    auto& running = core.running_per_host[task->transfer_->host_key];
    if (!cancelled && (suspended || running >= std::max(1, core.config.max_connections_per_host))) continue;
    ++running;
    auto taken = std::move(task);
    pending_.erase(it);
    return taken;
  }
  return nullptr;
}

void Engine::worker() {
  Worker self;
  std::unique_lock lk(m_);
  --starting_;
  std::shared_ptr<Task> task;
  const auto grace = std::chrono::duration_cast<Clock::duration>(kDeferGrace).count();
  for (;;) {
    if (!task && !stopping_) task = take_locked();
    if (!task) {
      if (stopping_) break;
      idle_.push_back(&self);
      if (spinners_ < max_spinners()) {
        // Back-to-back requests arrive within a few hops: look for them
        // before sleeping, yielding the processor meanwhile.
        self.spinning = true;
        ++spinners_;
        lk.unlock();
        auto until = ticks(Clock::now() + kIdleSpin);
        bool watching = false;  // this worker is the one that looks on while tasks are left
        while (!self.handed.load(std::memory_order_acquire)) {
          auto now = ticks(Clock::now());
          auto since = deferred_since_.load(std::memory_order_relaxed);
          if (since != 0 && now - since > grace) break;
          if (now >= until) {
            if (now >= watch_until_.load(std::memory_order_relaxed)) break;
            bool free = false;
            if (!watching && !watcher_.compare_exchange_strong(free, true)) break;
            watching = true;
          }
          std::this_thread::yield();
        }
        if (watching) watcher_.store(false);
        lk.lock();
        if (self.spinning) {
          self.spinning = false;
          --spinners_;
        }
      }
      while (!self.handed.load(std::memory_order_relaxed) && !stopping_) {
        auto since = deferred_since_.load(std::memory_order_relaxed);
        if (since == 0) {
          self.cv.wait(lk);
          continue;
        }
        auto due = Clock::time_point(Clock::duration(since + grace));
        if (Clock::now() < due) {
          // Someone must stay ready while a task waits for its worker's handler.
          self.cv.wait_until(lk, due);
          continue;
        }
        // The handler runs on: take the task left for its worker.
        deferred_since_.store(0, std::memory_order_relaxed);
        std::erase(idle_, &self);
        task = take_locked();
        if (task) {
          dispatch_locked();
          break;
        }
        idle_.push_back(&self);
      }
      if (!task) {
        if (!self.handed.load(std::memory_order_relaxed)) {
          std::erase(idle_, &self);
          break;
        }
        self.handed.store(false, std::memory_order_relaxed);
        task = std::move(self.task);
      }
    }
    lk.unlock();
    auto core = task->session_;
    CURL* easy = core->acquire_easy();
    DeferredDrain deferred;  // the task's completion, when this worker is to deliver it
    worker_deferred_drain() = &deferred;
    run_transfer(easy, task);
    worker_deferred_drain() = nullptr;
    core->release_easy(easy);
    auto key = task->transfer_->host_key;
    task.reset();
    lk.lock();
    --core->running_per_host[key];
    if (deferred.core) {
      // The handle and the host slot are back first, so a task the completion
      // starts reuses the connection.
      dispatch_locked();
      lk.unlock();
      delivering_here = true;
      deferred.core->drain_here_or_queue(deferred.session);
      delivering_here = false;
      deferred = {};
      lk.lock();
      if (deferred_here) {
        deferred_here = false;
        if (--deferring_ == 0) deferred_since_.store(0, std::memory_order_relaxed);
      }
    }
    // A task held back by the host limit may run now: this worker takes the
    // first, idle ones the rest.
    if (!stopping_) task = take_locked();
    if (task) dispatch_locked();
    lk.unlock();
    core.reset();
    lk.lock();
  }
  lk.unlock();
}

void Engine::shutdown() {
  std::vector<std::thread> threads;
  {
    std::lock_guard lk(m_);
    stopping_ = true;
    for (auto* w : idle_) w->cv.notify_one();
    threads.swap(threads_);
  }
  for (auto& t : threads) t.join();
  std::lock_guard lk(m_);
  pending_.clear();
  idle_.clear();
  spinners_ = 0;
  deferring_ = 0;
  deferred_since_.store(0);
  watch_until_.store(0);
  watcher_.store(false);
  stopping_ = false;
}

std::optional<Transfer::Resume> parse_resume_data(const Bytes& data, std::optional<Url>* url) {
  auto parsed = foundation::plist::parse(data);
  if (!parsed || !parsed->is_dict()) return std::nullopt;
  const auto& v = *parsed;
  auto u = v["NSURLSessionDownloadURL"].string();
  auto path = v["NSURLSessionResumeInfoLocalPath"].string();
  auto received = v["NSURLSessionResumeBytesReceived"].as_int();
  if (!u || !path || !received || *received < 0) return std::nullopt;
  auto parsed_url = Url::parse(*u);
  std::error_code ec;
  if (!parsed_url || !fs::is_regular_file(*path, ec)) return std::nullopt;
  Transfer::Resume r;
  r.offset = *received;
  r.file = *path;
  if (auto e = v["NSURLSessionResumeEntityTag"].string()) r.etag = *e;
  if (auto lm = v["NSURLSessionResumeServerDownloadDate"].string()) r.last_modified = *lm;
  *url = parsed_url;
  return r;
}

}  // namespace platform::net::detail
