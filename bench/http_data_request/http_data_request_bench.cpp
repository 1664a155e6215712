// A 64 MiB body over loopback: a DataRequest of a session manager (task
// delegate collecting the body, operation queued behind the completion)
// against a raw net::Session data task with a completion handler, same server.
#include <benchmark/benchmark.h>
#include <httplib.h>

#include <algorithm>
#include <condition_variable>
#include <fstream>
#include <future>
#include <mutex>
#include <string>
#include <thread>

#include "http/session_manager.h"
#include "platform/net/session.h"

namespace {

using platform::net::Configuration;
using platform::net::Request;
using platform::net::Session;

constexpr std::size_t kBody = 64u << 20;

// The same configuration on both sides; no response cache is offered.
Configuration configuration() {
  auto c = Configuration::ephemeral();
  c.has_url_cache = false;
  return c;
}

class Server {
 public:
  Server() : body_(kBody, 'b') {
    server_.Get("/body", [this](const httplib::Request&, httplib::Response& res) {
      res.set_content(body_, "application/octet-stream");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~Server() {
    server_.stop();
    thread_.join();
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/body"; }

 private:
  std::string body_;
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
};

Server& server() {
  static Server s;
  return s;
}

double residentMiB();
// Resident size once the server holds its body, before any request.
double baselineMiB() {
  static const double baseline = (server(), residentMiB());
  return baseline;
}

// Resident set size in MiB. The counter is its largest growth over the
// baseline while a received body is held (the server's copy of the body
// being sent is included).
double residentMiB() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

void http_data_request_ours(benchmark::State& state) {
  const std::string url = server().url();
  auto manager = Duvarel::SessionManager::init(configuration());
  const double baseline = baselineMiB();
  double growth = 0;
  for (auto _ : state) {
    auto request = manager->makeDataRequest(url);
    auto delegate = std::static_pointer_cast<Duvarel::DataTaskDelegate>(request->taskDelegate());
    std::promise<std::size_t> done;
    double held = 0;
    delegate->queue().add([&] {
      held = residentMiB();
      done.set_value(delegate->error() ? 0 : delegate->mutableData().size());
    });
    auto f = done.get_future();
    if (f.wait_for(std::chrono::seconds(60)) != std::future_status::ready || f.get() != kBody) {
      state.SkipWithError("request failed");
      break;
    }
    growth = std::max(growth, held - baseline);
  }
  state.counters["resident_growth_MiB"] = growth;
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBody));
}

void http_data_request_raw(benchmark::State& state) {
  Request request(*platform::foundation::Url::parse(server().url()));
  auto session = Session::make(configuration());
  const double baseline = baselineMiB();
  double growth = 0;
  for (auto _ : state) {
    std::promise<std::size_t> done;
    double held = 0;
    session
        ->data_task(request,
                    [&](std::optional<platform::net::Bytes> data, auto, std::optional<platform::foundation::Error> error) {
                      held = residentMiB();
                      done.set_value(error || !data ? 0 : data->size());
                    })
        ->resume();
    auto f = done.get_future();
    if (f.wait_for(std::chrono::seconds(60)) != std::future_status::ready || f.get() != kBody) {
      state.SkipWithError("request failed");
      break;
    }
    growth = std::max(growth, held - baseline);
  }
  state.counters["resident_growth_MiB"] = growth;
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBody));
  session->invalidate_and_cancel();
}

}  // namespace

BENCHMARK(http_data_request_ours)->Name("http_data_request/ours")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(http_data_request_raw)->Name("http_data_request/raw")->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
