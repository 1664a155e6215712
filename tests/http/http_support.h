#pragma once
// Shared fixture pieces for the HTTP client's request tests: a booted
// temporary device whose host map points at loopback fakes and whose trust
// anchors hold the test authority, and a way to read a request's outcome from
// an operation queued behind its completion.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "http/request.h"
#include "platform/os/profile.h"
#include "platform/testing/reset.h"
#include "platform/testing/temp_device.h"
#include "testing/fakes/fake_service.h"
#include "testing/fakes/tls_authority.h"

namespace http_test {

namespace foundation = platform::foundation;
namespace net = platform::net;

// What a request delivered to work queued behind its completion.
struct Outcome {
  std::optional<Duvarel::Error> error;
  std::optional<foundation::Bytes> data;
  std::shared_ptr<const net::Response> response;
  std::optional<double> endTime;
};

// Queues an operation on the request's task-delegate queue that captures the outcome.
inline std::future<Outcome> outcomeOf(const std::shared_ptr<Duvarel::Request>& request) {
  auto promise = std::make_shared<std::promise<Outcome>>();
  auto future = promise->get_future();
  auto delegate = request->taskDelegate();
  delegate->queue().add([promise, delegate, request] {
    promise->set_value(Outcome{delegate->error(), delegate->data(), request->response(), request->endTime()});
  });
  return future;
}

inline Outcome await(std::future<Outcome> future, std::chrono::seconds timeout = std::chrono::seconds(30)) {
  if (future.wait_for(timeout) != std::future_status::ready) {
    ADD_FAILURE() << "the request did not complete in time";
    return {};
  }
  return future.get();
}

inline std::int64_t urlErrorCode(const std::optional<Duvarel::Error>& error) {
  if (!error) return 0;
  return error->bridged().code;
}

// A device booted with the given fakes mapped to loopback and the authority as anchor.
class Device {
 public:
  explicit Device(const std::vector<const testing::fakes::FakeService*>& services,
                  const testing::fakes::TlsAuthority* authority, std::string system_version = "13.5",
                  std::vector<std::string> languages = {"en-US"}) {
    platform::os::DeviceProfile profile;
    profile.system_version = std::move(system_version);
    profile.preferred_languages = std::move(languages);
    for (const auto* service : services)
      for (const auto& [from, to] : service->host_map()) profile.hosts[from] = to;
    if (authority) {
      auto anchor = device_.root() / "ca.pem";
      authority->write_root_pem(anchor);
      profile.trust_anchors.push_back(anchor);
    }
    auto booted = device_.boot({.profile = profile});
    if (!booted) throw std::runtime_error(booted.error().description());
  }
  ~Device() { platform::testing::reset(); }

  const platform::testing::TempDevice& temp() const { return device_; }
  std::filesystem::path scratch(const std::string& name) const { return device_.root() / name; }

 private:
  platform::testing::TempDevice device_{"http-test"};
};

}  // namespace http_test
