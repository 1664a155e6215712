#pragma once
// A booted device whose host map sends the test hosts to loopback servers the
// test starts, a recording delegate, and bounded waits.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <optional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/plist.h"
#include "platform/net/session.h"
#include "platform/net/testing_reset.h"
#include "platform/os/system.h"
#include "platform/testing/reset.h"
#include "platform/testing/temp_device.h"
#include "testing/fakes/fake_service.h"
#include "testing/fakes/tls_authority.h"

namespace platform::net::test {

namespace fs = std::filesystem;
using foundation::Bytes;
using foundation::Error;
using foundation::Url;

inline constexpr const char* kHost = "intranet.example.org";
inline constexpr const char* kOtherHost = "push.example.net";

inline Bytes to_bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }
inline std::string to_string(const Bytes& b) { return std::string(b.begin(), b.end()); }

// Polls until pred holds or 10 s pass.
inline bool wait_until(const std::function<bool()>& pred, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

struct Recorded {
  std::string method, path, body;
  ::testing::fakes::HeaderMap headers;
  int remote_port = 0;
  std::optional<std::string> header(const std::string& name) const {
    auto it = headers.find(name);
    if (it == headers.end()) return std::nullopt;
    return it->second;
  }
};

// A fake server on 127.0.0.1 for one host (TLS unless plain), recording every
// request. Its routes are tried in the order added; a request no route takes
// gets a 404.
class TestServer : private ::testing::fakes::FakeService {
 public:
  using Handler = ::testing::fakes::Handler;
  TestServer(const std::string& host, ::testing::fakes::ServiceOptions options)
      : FakeService("net-test", {host}, options) {}
  ~TestServer() override { stop(); }

  void Get(const std::string& pattern, Handler handler) { route("GET", pattern, std::move(handler)); }
  void Post(const std::string& pattern, Handler handler) { route("POST", pattern, std::move(handler)); }
  void Put(const std::string& pattern, Handler handler) { route("PUT", pattern, std::move(handler)); }

  void stop() {
    release();
    FakeService::stop();
  }
  using FakeService::port;

  std::vector<Recorded> requests() const {
    std::vector<Recorded> out;
    for (const auto& r : FakeService::requests()) {
      Recorded copy{r.method, r.path, r.raw_body, {}, r.client_port};
      copy.headers.insert(r.headers.begin(), r.headers.end());
      out.push_back(std::move(copy));
    }
    return out;
  }
  std::size_t count(const std::string& path) const {
    std::size_t n = 0;
    for (const auto& r : FakeService::requests()) n += r.path == path;
    return n;
  }
  // The last request to `path`, with the body its handler kept when it kept one.
  Recorded last(const std::string& path) const {
    const auto all = requests();
    std::lock_guard lk(m_);
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
      if (it->path != path) continue;
      Recorded r = *it;
      if (auto b = bodies_.find(path); b != bodies_.end()) r.body = b->second;
      return r;
    }
    return {};
  }
  // Keeps the body of a request, for last().
  void keep_body(const ::testing::fakes::HttpRequest& req) {
    std::lock_guard lk(m_);
    bodies_[req.path] = req.body;
  }

  // A handler that holds its answer until release() or 10 s.
  void hold(const ::testing::fakes::HttpRequest&, ::testing::fakes::HttpResponse& res) {
    std::unique_lock lk(m_);
    ++holding_;
    held_cv_.wait_for(lk, std::chrono::seconds(10), [&] { return released_; });
    --holding_;
    res.set_content("late", "application/octet-stream");
  }
  int holding() const {
    std::lock_guard lk(m_);
    return holding_;
  }
  void release() {
    {
      std::lock_guard lk(m_);
      released_ = true;
    }
    held_cv_.notify_all();
  }

 private:
  mutable std::mutex m_;
  std::condition_variable held_cv_;
  std::map<std::string, std::string> bodies_;
  int holding_ = 0;
  bool released_ = false;
};

// Records delegate calls in order; each callback can be declined or answered by a hook.
class RecordingDelegate : public SessionDelegate {
 public:
  std::set<Callback> declined;
  std::function<void(const Challenge&, ChallengeHandler)> on_session_challenge, on_task_challenge;
  std::function<void(const Response&, Request, std::function<void(std::optional<Request>)>)> on_redirect;
  std::function<void(std::function<void(std::shared_ptr<foundation::InputStream>)>)> on_body_stream;
  std::function<void(const Response&, std::function<void(ResponseDisposition)>)> on_response;
  std::function<void(DownloadTask&, const Url&)> on_download_finished;

  bool implements(Callback cb) const override { return !declined.count(cb); }

  void did_become_invalid(Session&, std::optional<Error>) override { log("invalid"); }
  void did_receive_challenge(Session&, const Challenge& c, ChallengeHandler h) override {
    log("session-challenge");
    challenges.push_back(c);
    if (on_session_challenge) on_session_challenge(c, std::move(h));
    else h(AuthDisposition::perform_default, std::nullopt);
  }
  void did_finish_events_for_background_session(Session&) override { log("background-events"); }
  void will_perform_redirection(Session&, Task&, const Response& r, Request next,
                                std::function<void(std::optional<Request>)> h) override {
    log("redirect " + std::to_string(r.status.value_or(0)));
    if (on_redirect) on_redirect(r, std::move(next), std::move(h));
    else h(std::move(next));
  }
  void task_did_receive_challenge(Session&, Task&, const Challenge& c, ChallengeHandler h) override {
    log("task-challenge");
    challenges.push_back(c);
    if (on_task_challenge) on_task_challenge(c, std::move(h));
    else h(AuthDisposition::perform_default, std::nullopt);
  }
  void need_new_body_stream(Session&, Task&, std::function<void(std::shared_ptr<foundation::InputStream>)> h) override {
    log("body-stream");
    if (on_body_stream) on_body_stream(std::move(h));
    else h(nullptr);
  }
  void did_send_body_data(Session&, Task&, std::int64_t, std::int64_t total, std::int64_t) override {
    std::lock_guard lk(m_);
    sent_total = total;
  }
  void did_finish_collecting_metrics(Session&, Task&, const TaskMetrics& m) override {
    log("metrics");
    std::lock_guard lk(m_);
    metrics = m;
  }
  void did_complete(Session&, Task&, std::optional<Error> e) override {
    {
      std::lock_guard lk(m_);
      error = e;
    }
    log("complete");
  }
  void did_receive_response(Session&, DataTask&, const Response& r, std::function<void(ResponseDisposition)> h) override {
    {
      std::lock_guard lk(m_);
      response = r;
    }
    log("response");
    if (on_response) on_response(r, std::move(h));
    else h(ResponseDisposition::allow);
  }
  void did_receive_data(Session&, DataTask&, const Bytes& d) override {
    {
      std::lock_guard lk(m_);
      data.insert(data.end(), d.begin(), d.end());
    }
    log("data");
  }
  void will_cache_response(Session&, DataTask&, CachedResponse p, std::function<void(std::optional<CachedResponse>)> h) override {
    log("will-cache");
    h(std::move(p));
  }
  void did_finish_downloading(Session&, DownloadTask& t, const Url& location) override {
    log("download-finished");
    if (on_download_finished) on_download_finished(t, location);
  }
  void did_write_data(Session&, DownloadTask&, std::int64_t, std::int64_t, std::int64_t) override { log("wrote"); }
  void did_resume_at_offset(Session&, DownloadTask&, std::int64_t offset, std::int64_t expected) override {
    log("resumed " + std::to_string(offset) + " " + std::to_string(expected));
  }

  void log(const std::string& event) {
    std::lock_guard lk(m_);
    events.push_back(event);
  }
  std::vector<std::string> log_copy() const {
    std::lock_guard lk(m_);
    return events;
  }
  // Events with consecutive repeats of "data"/"wrote" collapsed, and without
  // the server-trust challenges of new connections.
  std::vector<std::string> collapsed() const {
    std::vector<std::string> out;
    for (const auto& e : log_copy()) {
      if (e == "session-challenge") continue;
      if (!out.empty() && out.back() == e && (e == "data" || e == "wrote")) continue;
      out.push_back(e);
    }
    return out;
  }
  bool has(const std::string& event) const {
    auto l = log_copy();
    return std::find(l.begin(), l.end(), event) != l.end();
  }
  bool completed() const { return has("complete"); }

  mutable std::mutex m_;
  std::vector<std::string> events;
  std::vector<Challenge> challenges;
  std::optional<Error> error;
  std::optional<Response> response;
  std::optional<TaskMetrics> metrics;
  Bytes data;
  std::int64_t sent_total = 0;
};

class NetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    temp_.emplace("net-test");
    root_ = temp_->root();
    device_ = temp_->device();
    bundle_ = temp_->bundle();
    ASSERT_TRUE(authority_.write_root_pem(device_ / "ca.pem"));
  }

  void TearDown() override {
    for (auto& s : servers_) s->release();
    platform::net::reset_for_testing();
    temp_.reset();  // resets the platform and removes the folder
    servers_.clear();
  }

  // Starts a server answering for `host` (TLS with a certificate of the test CA's making unless plain).
  TestServer& add_server(const std::string& host, std::function<void(TestServer&, TestServer&)> routes,
                         ::testing::fakes::Certificate certificate = ::testing::fakes::Certificate::valid,
                         bool tls = true) {
    servers_.push_back(std::make_unique<TestServer>(
        host, ::testing::fakes::ServiceOptions{.authority = tls ? &authority_ : nullptr, .certificate = certificate}));
    auto& s = *servers_.back();
    routes(s, s);
    hosts_[host + ":" + (tls ? "443" : "80")] = "127.0.0.1:" + std::to_string(s.port());
    return s;
  }

  void boot(std::function<void(os::DeviceProfile&)> adjust = {}) {
    os::DeviceProfile profile;
    profile.hosts = hosts_;
    profile.trust_anchors = {device_ / "ca.pem"};
    if (adjust) adjust(profile);
    os::BootOptions options;
    options.profile = std::move(profile);
    auto booted = temp_->boot(std::move(options));
    ASSERT_TRUE(booted.has_value()) << booted.error().description();
  }

  static Url url(const std::string& text) { return *Url::parse(text); }
  static Url https(const std::string& path, const std::string& host = kHost) { return url("https://" + host + path); }

  std::optional<platform::testing::TempDevice> temp_;
  fs::path root_, device_, bundle_;
  ::testing::fakes::TlsAuthority authority_;
  std::vector<std::unique_ptr<TestServer>> servers_;
  std::map<std::string, std::string> hosts_;
};

}  // namespace platform::net::test
