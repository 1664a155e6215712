// The HTTP client against the layer beneath it.
// http_json_get: 1,000 small JSON GETs over loopback keep-alive through the
//   session manager and the JSON response handler (delivered to a serial
//   queue) against plain session data tasks (a bare delegate) plus a JSON parse, same server,
//   same connection limit, eight requests in flight; "connections" counts the
//   server's connections during the last 1,000.
// http_multipart_disk: a form with one large file part written to a new file
//   by the form against a plain 1024-byte chunked copy with the same
//   boundaries; "rss_growth_MB" is the peak resident growth during the write.
// http_multipart_memory: the same form encoded in memory (no pair: it shows
//   the growth the disk road avoids).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <httplib.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <map>
#include <set>
#include <string>
#include <thread>

#include "http/multipart_form_data.h"
#include "http/response_handlers.h"
#include "http/session_manager.h"
#include "platform/foundation/json.h"
#include "platform/net/testing_reset.h"
#include "platform/testing/reset.h"
#include "platform/testing/temp_device.h"

namespace {

namespace fs = std::filesystem;
namespace foundation = platform::foundation;
namespace net = platform::net;

constexpr int kRequests = 1000;
constexpr int kConnections = 8;

class Server {
 public:
  Server() {
    server_.new_task_queue = [] { return new httplib::ThreadPool(4 * kConnections); };
    server_.set_keep_alive_max_count(1000000);
    server_.set_keep_alive_timeout(300);
    server_.set_tcp_nodelay(true);
    server_.Get("/small.json", [this](const httplib::Request& req, httplib::Response& res) {
      {
        std::lock_guard lk(m_);
        connections_.insert(req.remote_port);
      }
      res.set_content(R"({"id":17,"name":"player","tags":["a","b"],"ok":true})", "application/json");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!server_.is_running() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~Server() {
    server_.stop();
    thread_.join();
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/small.json"; }
  void resetConnections() {
    std::lock_guard lk(m_);
    connections_.clear();
  }
  std::size_t connections() {
    std::lock_guard lk(m_);
    return connections_.size();
  }

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  std::mutex m_;
  std::set<int> connections_;
};

Server& server() {
  static Server s;
  return s;
}

platform::testing::TempDevice& device() {
  static platform::testing::TempDevice* d = [] {
    auto* made = new platform::testing::TempDevice("http-bench");
    if (!made->boot()) std::abort();
    return made;
  }();
  return *d;
}

net::Configuration configuration() {
  auto config = net::Configuration::ephemeral();
  config.max_connections_per_host = kConnections;
  return config;
}

class Countdown {
 public:
  explicit Countdown(int n) : left_(n) {}
  void done(bool ok) {
    std::lock_guard lk(m_);
    failed_ |= !ok;
    if (--left_ == 0) cv_.notify_all();
  }
  bool wait() {
    std::unique_lock lk(m_);
    return cv_.wait_for(lk, std::chrono::seconds(60), [&] { return left_ == 0; }) && !failed_;
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  int left_;
  bool failed_ = false;
};

// Hands out kRequests starts, so that kConnections requests are in flight at a time.
class Window {
 public:
  bool next() { return issued_.fetch_add(1) < kRequests; }

 private:
  std::atomic<int> issued_{0};
};

void http_json_get_ours(benchmark::State& state) {
  device();
  auto manager = Duvarel::SessionManager::init(configuration());
  const auto delivery = platform::dispatch::Queue::serial("http-bench.delivery");
  const std::string url = server().url();
  server().resetConnections();
  for (auto _ : state) {
    server().resetConnections();
    Countdown countdown(kRequests);
    Window window;
    std::function<void()> issue = [&] {
      Duvarel::addJSONResponseHandler(manager->makeDataRequest(url), delivery, 0,
                                      [&](Duvarel::DataResponse<Duvarel::JSONValue> r) {
                                        // Start the next one first: once the count is done the
                                        // iteration's locals may be gone.
                                        if (window.next()) issue();
                                        countdown.done(r.value() && (*r.value())["id"] == foundation::Value(17));
                                      });
    };
    for (int i = 0; i < kConnections; ++i)
      if (window.next()) issue();
    if (!countdown.wait()) state.SkipWithError("request failed");
  }
  state.counters["connections"] = static_cast<double>(server().connections());
  manager->session()->invalidate_and_cancel();
}

// A bare delegate: collects each task's body and parses it at completion.
class RawDelegate final : public net::SessionDelegate {
 public:
  std::function<void(bool)> onDone;
  bool implements(net::Callback cb) const override {
    return cb == net::Callback::data_received || cb == net::Callback::task_complete;
  }
  void did_receive_data(net::Session&, net::DataTask& task, const net::Bytes& data) override {
    auto& body = bodies_[task.identifier()];
    body.insert(body.end(), data.begin(), data.end());
  }
  void did_complete(net::Session&, net::Task& task, std::optional<foundation::Error> error) override {
    auto node = bodies_.extract(task.identifier());
    bool ok = false;
    if (!error && !node.empty()) {
      auto parsed = foundation::json::parse(std::span<const std::uint8_t>(node.mapped()));
      ok = parsed && (*parsed)["id"] == foundation::Value(17);
    }
    onDone(ok);
  }

 private:
  std::map<std::uint64_t, net::Bytes> bodies_;  // touched on the delegate queue only
};

void http_json_get_raw(benchmark::State& state) {
  device();
  auto delegate = std::make_shared<RawDelegate>();
  auto session = net::Session::make(configuration(), delegate);
  const auto delivery = platform::dispatch::Queue::serial("http-bench.raw");
  net::Request request(*foundation::Url::parse(server().url()));
  for (auto _ : state) {
    server().resetConnections();
    Countdown countdown(kRequests);
    Window window;
    std::function<void()> issue = [&] { session->data_task(request)->resume(); };
    delegate->onDone = [&](bool ok) {
      // As the handlers do: the next request starts on another queue. Nothing
      // of this iteration is touched once the count is done.
      if (window.next()) delivery.async(issue);
      countdown.done(ok);
    };
    for (int i = 0; i < kConnections; ++i)
      if (window.next()) issue();
    if (!countdown.wait()) state.SkipWithError("request failed");
  }
  state.counters["connections"] = static_cast<double>(server().connections());
  session->invalidate_and_cancel();
}

// ---- multipart ----

long residentKiB(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::string(field).size()));
  return 0;
}

// Resets the peak resident size to the current one.
void resetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

fs::path partFile(std::int64_t megabytes) {
  const fs::path path = device().root() / ("part-" + std::to_string(megabytes) + "MB.bin");
  if (!fs::exists(path) || fs::file_size(path) != static_cast<std::uintmax_t>(megabytes) << 20) {
    std::ofstream out(path, std::ios::binary);
    std::string block(1 << 20, 'p');
    for (std::int64_t i = 0; i < megabytes; ++i) out.write(block.data(), static_cast<std::streamsize>(block.size()));
  }
  return path;
}

template <class F>
void measurePeak(benchmark::State& state, F&& body) {
  double growth = 0;
  for (auto _ : state) {
    resetPeak();
    const long before = residentKiB("VmRSS:");
    body();
    growth = std::max(growth, static_cast<double>(residentKiB("VmHWM:") - before) / 1024.0);
  }
  state.counters["rss_growth_MB"] = growth;
}

void http_multipart_disk_ours(benchmark::State& state) {
  const fs::path part = partFile(state.range(0));
  const fs::path out = device().root() / "body-ours.out";
  measurePeak(state, [&] {
    fs::remove(out);
    Duvarel::MultipartFormData form;
    form.append(foundation::Url::file(part), "upload");
    if (!form.writeEncodedBody(foundation::Url::file(out))) state.SkipWithError("write failed");
  });
  fs::remove(out);
}

void http_multipart_disk_raw(benchmark::State& state) {
  const fs::path part = partFile(state.range(0));
  const fs::path out = device().root() / "body-raw.out";
  const std::string boundary = "duvarel.boundary.0123456789abcdef";
  const std::string head = "--" + boundary +
                           "\r\nContent-Disposition: form-data; name=\"upload\"; filename=\"" +
                           part.filename().string() + "\"\r\nContent-Type: application/octet-stream\r\n\r\n";
  const std::string tail = "\r\n--" + boundary + "--\r\n";
  measurePeak(state, [&] {
    fs::remove(out);
    int in = ::open(part.c_str(), O_RDONLY | O_CLOEXEC);
    int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    bool ok = in >= 0 && fd >= 0 && ::write(fd, head.data(), head.size()) == static_cast<ssize_t>(head.size());
    char buffer[1024];
    for (ssize_t n; ok && (n = ::read(in, buffer, sizeof buffer)) > 0;) ok = ::write(fd, buffer, n) == n;
    ok = ok && ::write(fd, tail.data(), tail.size()) == static_cast<ssize_t>(tail.size());
    if (in >= 0) ::close(in);
    if (fd >= 0) ::close(fd);
    if (!ok) state.SkipWithError("copy failed");
  });
  fs::remove(out);
}

void http_multipart_memory(benchmark::State& state) {
  const fs::path part = partFile(state.range(0));
  measurePeak(state, [&] {
    Duvarel::MultipartFormData form;
    form.append(foundation::Url::file(part), "upload");
    auto body = form.encode();
    if (!body) state.SkipWithError("encode failed");
    benchmark::DoNotOptimize(body);
  });
}

}  // namespace

BENCHMARK(http_json_get_ours)->Name("http_json_get/ours")->UseRealTime()->Unit(benchmark::kMillisecond)->MinWarmUpTime(0.5)->MinTime(2.0);
BENCHMARK(http_json_get_raw)->Name("http_json_get/raw")->UseRealTime()->Unit(benchmark::kMillisecond)->MinWarmUpTime(0.5)->MinTime(2.0);
BENCHMARK(http_multipart_disk_ours)->Name("http_multipart_disk/ours")->Arg(10)->Arg(50)->Arg(200)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(http_multipart_disk_raw)->Name("http_multipart_disk/raw")->Arg(10)->Arg(50)->Arg(200)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(http_multipart_memory)->Name("http_multipart_memory")->Arg(10)->Arg(50)->Arg(200)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  platform::net::reset_for_testing();
  return 0;
}
