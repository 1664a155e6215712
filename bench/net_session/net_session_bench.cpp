// Small GETs over loopback keep-alive: a Session against raw libcurl (a reused
// easy handle; a multi handle with 8 easy handles), same server, same
// connection limit.
//   sequential:   each GET starts from the completion handler of the one
//                 before, as asynchronous callers chain requests.
//   caller_waits: a thread starts one GET and blocks until it completes, so
//                 each request also pays for waking that thread.
//   concurrent8:  eight GETs at once, waited for together.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <httplib.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/net/session.h"
#include "platform/net/testing_reset.h"

namespace {

using platform::net::Configuration;
using platform::net::Request;
using platform::net::Session;

constexpr int kConcurrent = 8;

class Server {
 public:
  Server() {
    // A thread per keep-alive connection: room for every connection both
    // sides keep open, so none waits for a thread.
    server_.new_task_queue = [] { return new httplib::ThreadPool(8 * kConcurrent); };
    server_.set_keep_alive_max_count(1000000);
    server_.set_keep_alive_timeout(300);
    server_.set_tcp_nodelay(true);
    server_.Get("/small", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(std::string(64, 'x'), "application/octet-stream");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // stop() before the listener runs would be lost.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!server_.is_running() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  ~Server() {
    server_.stop();
    thread_.join();
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/small"; }

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
};

Server& server() {
  static Server s;
  return s;
}

std::size_t discard(char*, std::size_t size, std::size_t n, void*) { return size * n; }

// One client per side for the whole run: its keep-alive connections are
// opened once, in the first warm-up, and serve every repetition after it.
struct Clients {
  std::shared_ptr<Session> session;
  CURL* easy = nullptr;
  CURLM* multi = nullptr;
  std::vector<CURL*> easies;

  ~Clients() {
    for (auto* e : easies) curl_easy_cleanup(e);
    if (multi) curl_multi_cleanup(multi);
    if (easy) curl_easy_cleanup(easy);
    if (session) session->invalidate_and_cancel();
  }
};

std::unique_ptr<Clients>& clients() {
  static std::unique_ptr<Clients> c = std::make_unique<Clients>();
  return c;
}

Session& session() {
  auto& c = *clients();
  if (!c.session) {
    auto config = Configuration::ephemeral();
    config.max_connections_per_host = kConcurrent;
    c.session = Session::make(config);
  }
  return *c.session;
}

CURL* raw_easy() {
  auto& c = *clients();
  if (!c.easy) c.easy = curl_easy_init();
  return c.easy;
}

// Runs `count` GETs through the session at once and waits for all of them.
void session_gets(Session& session, const Request& request, int count, benchmark::State& state) {
  std::mutex m;
  std::condition_variable cv;
  int left = count;
  bool failed = false;
  for (int i = 0; i < count; ++i) {
    session.data_task(request, [&](std::optional<platform::net::Bytes> data, auto, std::optional<platform::foundation::Error> error) {
      std::lock_guard lk(m);
      failed |= error.has_value() || !data || data->size() != 64;
      if (--left == 0) cv.notify_all();
    })->resume();
  }
  std::unique_lock lk(m);
  if (!cv.wait_for(lk, std::chrono::seconds(10), [&] { return left == 0; }) || failed) state.SkipWithError("request failed");
}

// Runs `length` GETs one after another, each started from the completion
// handler of the one before, and waits for the last.
void session_chain(Session& session, const Request& request, int length, benchmark::State& state) {
  struct Chain {
    std::mutex m;
    std::condition_variable cv;
    int left = 0;
    bool done = false;
    bool failed = false;
    std::function<void()> next;
  };
  auto chain = std::make_shared<Chain>();
  chain->left = length;
  std::weak_ptr<Chain> weak = chain;
  chain->next = [&session, request, weak] {
    session.data_task(request, [weak](std::optional<platform::net::Bytes> data, auto, std::optional<platform::foundation::Error> error) {
      auto c = weak.lock();
      if (!c) return;
      bool ok = !error && data && data->size() == 64;
      if (ok && --c->left > 0) return c->next();
      std::lock_guard lk(c->m);
      c->failed = !ok;
      c->done = true;
      c->cv.notify_all();
    })->resume();
  };
  chain->next();
  std::unique_lock lk(chain->m);
  if (!chain->cv.wait_for(lk, std::chrono::seconds(10), [&] { return chain->done; }) || chain->failed) {
    state.SkipWithError("request failed");
  }
}

constexpr int kChain = 32;

void net_get_sequential_ours(benchmark::State& state) {
  Request request(*platform::foundation::Url::parse(server().url()));
  for (auto _ : state) session_chain(session(), request, kChain, state);
}

void raw_gets(CURL* easy, const std::string& url, int count, benchmark::State& state) {
  for (int i = 0; i < count; ++i) {
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &discard);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    if (curl_easy_perform(easy) != CURLE_OK) state.SkipWithError("request failed");
  }
}

void net_get_sequential_raw(benchmark::State& state) {
  auto url = server().url();
  for (auto _ : state) raw_gets(raw_easy(), url, kChain, state);
}

void net_get_caller_waits_ours(benchmark::State& state) {
  Request request(*platform::foundation::Url::parse(server().url()));
  for (auto _ : state) session_gets(session(), request, 1, state);
}

void net_get_caller_waits_raw(benchmark::State& state) {
  auto url = server().url();
  for (auto _ : state) raw_gets(raw_easy(), url, 1, state);
}

void net_get_concurrent8_ours(benchmark::State& state) {
  Request request(*platform::foundation::Url::parse(server().url()));
  for (auto _ : state) session_gets(session(), request, kConcurrent, state);
}

void net_get_concurrent8_raw(benchmark::State& state) {
  auto& c = *clients();
  if (!c.multi) {
    c.multi = curl_multi_init();
    curl_multi_setopt(c.multi, CURLMOPT_MAX_HOST_CONNECTIONS, static_cast<long>(kConcurrent));
    auto url = server().url();
    for (int i = 0; i < kConcurrent; ++i) {
      CURL* e = curl_easy_init();
      curl_easy_setopt(e, CURLOPT_URL, url.c_str());
      curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &discard);
      curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
      c.easies.push_back(e);
    }
  }
  for (auto _ : state) {
    for (auto* e : c.easies) curl_multi_add_handle(c.multi, e);
    int running = 0;
    do {
      curl_multi_perform(c.multi, &running);
      if (running) curl_multi_poll(c.multi, nullptr, 0, 10, nullptr);
    } while (running);
    int queued = 0;
    while (CURLMsg* msg = curl_multi_info_read(c.multi, &queued)) {
      if (msg->msg == CURLMSG_DONE && msg->data.result != CURLE_OK) state.SkipWithError("request failed");
    }
    for (auto* e : c.easies) curl_multi_remove_handle(c.multi, e);
  }
}

}  // namespace

// Connections are opened during the warm-up (the server's short listen
// backlog can delay a burst of connects by a SYN retry), so the timed part
// is keep-alive traffic only. Loopback timings drift with the host's load:
// each side runs three times, interleaved with the other, and reports the
// median.
constexpr double kWarmUp = 0.5;
constexpr double kMinTime = 1.0;
constexpr int kRepetitions = 3;

void add(const char* name, void (*fn)(benchmark::State&)) {
  benchmark::RegisterBenchmark(name, fn)
      ->UseRealTime()
      ->MinWarmUpTime(kWarmUp)
      ->MinTime(kMinTime)
      ->Repetitions(kRepetitions)
      ->ReportAggregatesOnly(true);
}

int main(int argc, char** argv) {
  add("net_get_sequential/ours", net_get_sequential_ours);
  add("net_get_sequential/raw", net_get_sequential_raw);
  add("net_get_caller_waits/ours", net_get_caller_waits_ours);
  add("net_get_caller_waits/raw", net_get_caller_waits_raw);
  add("net_get_concurrent8/ours", net_get_concurrent8_ours);
  add("net_get_concurrent8/raw", net_get_concurrent8_raw);
  std::vector<char*> args(argv, argv + argc);
  std::string interleave = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1, interleave.data());
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  clients().reset();
  // Sessions end on their delegate queues; let them finish before static destruction.
  platform::net::reset_for_testing();
  return 0;
}
