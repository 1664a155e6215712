// A PUT with a 1 KB JSON body to the loopback push service: the REST client's
// executeRequest (request building, reply parsing, callbacks) against a raw
// net::Session data task sending the same request bytes.
#include <benchmark/benchmark.h>

#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <string>

#include "platform/net/session.h"
#include "push/client.h"
#include "push/request.h"
#include "testing/harness/harness.h"

namespace {

namespace foundation = platform::foundation;
namespace net = platform::net;

// A booted device whose host map sends the push endpoint to the fake. Kept
// for the process: clients may still finish work at exit.
testing::Harness& harness() {
  static testing::Harness* h = new testing::Harness(testing::HarnessOptions{.fakes = {testing::Fake::push}});
  return *h;
}

std::shared_ptr<push::RerAvirorRequest> putRequest() {
  auto request = std::make_shared<push::RerAvirorRequest>();
  request->setMethod(push::PUT);
  request->setPath("players/5b2c9e4a-0f3d-4e1b-8a7c-6d5e4f3a2b1c");
  request->setParameters(foundation::Dict{{"app_id", "1b6a4e2c-5f0d-4c8e-9a3b-7d2f1e0c9b8a"},
                                          {"payload", std::string(960, 'p')}});
  return request;
}

bool await(std::future<bool>& done) {
  return done.wait_for(std::chrono::seconds(30)) == std::future_status::ready && done.get();
}

void push_rest_client_ours(benchmark::State& state) {
  harness();
  push::RerAvirorClient client;
  auto request = putRequest();
  state.counters["body_bytes"] = static_cast<double>(request->urlRequest().body.value_or(net::Bytes{}).size());
  for (auto _ : state) {
    auto done = std::make_shared<std::promise<bool>>();
    auto future = done->get_future();
    client.executeRequest(
        request, [done](const std::optional<foundation::Dict>& result) { done->set_value(result.has_value()); },
        [done](const foundation::Error&) { done->set_value(false); });
    if (!await(future)) {
      state.SkipWithError("request failed");
      break;
    }
  }
}

void push_rest_client_raw(benchmark::State& state) {
  harness();
  auto session = net::Session::make(push::RerAvirorClient::configurationWithCachingPolicy(net::CachePolicy::use_protocol));
  const net::Request request = putRequest()->urlRequest();
  for (auto _ : state) {
    auto done = std::make_shared<std::promise<bool>>();
    auto future = done->get_future();
    session
        ->data_task(request,
                    [done](std::optional<net::Bytes> data, auto response, std::optional<foundation::Error> error) {
                      done->set_value(!error && data && response && response->status == 200);
                    })
        ->resume();
    if (!await(future)) {
      state.SkipWithError("request failed");
      break;
    }
  }
  session->invalidate_and_cancel();
}

}  // namespace

BENCHMARK(push_rest_client_ours)->Name("push_rest_client/ours")->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(push_rest_client_raw)->Name("push_rest_client/raw")->Unit(benchmark::kMicrosecond)->UseRealTime();

BENCHMARK_MAIN();
