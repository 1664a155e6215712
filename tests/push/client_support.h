#pragma once
// Shared fixture of the REST client tests: a booted device with the push
// fake under a manual clock, and the outcome of one request.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <variant>

#include "platform/dispatch/dispatch.h"
#include "platform/foundation/error.h"
#include "platform/foundation/value.h"
#include "platform/testing/manual_clock.h"
#include "push/client.h"
#include "push/log.h"
#include "push/reraviror.h"
#include "testing/fakes/push_service.h"
#include "testing/harness/harness.h"

namespace push_test {

namespace foundation = platform::foundation;
using testing::fakes::FakeService;

// What one request delivered: the success result or the failure error.
struct Outcome {
  bool success = false;
  std::optional<foundation::Dict> result;
  foundation::Error error;
};

// The blocks share the record with the Delivery, so a block still finishing
// on a completion thread after the test moved on touches no freed memory.
class Delivery {
 public:
  push::OSResultSuccessBlock onSuccess() {
    return [r = record_](const std::optional<foundation::Dict>& result) { r->deliver({true, result, {}}); };
  }
  push::OSFailureBlock onFailure() {
    return [r = record_](const foundation::Error& error) { r->deliver({false, std::nullopt, error}); };
  }
  // Waits (real time) for the first delivery.
  Outcome await(std::chrono::seconds timeout = std::chrono::seconds(30)) {
    if (future_.wait_for(timeout) != std::future_status::ready) {
      ADD_FAILURE() << "no callback";
      return {};
    }
    return future_.get();
  }
  int calls() const {
    std::lock_guard lock(record_->mutex);
    return record_->calls;
  }

 private:
  struct Record {
    void deliver(Outcome outcome) {
      {
        std::lock_guard lock(mutex);
        if (calls++ != 0) return;
      }
      promise.set_value(std::move(outcome));
    }
    std::mutex mutex;
    int calls = 0;
    std::promise<Outcome> promise;
  };
  std::shared_ptr<Record> record_ = std::make_shared<Record>();
  std::future<Outcome> future_ = record_->promise.get_future();
};

class ClientTest : public ::testing::Test {
 protected:
  ClientTest()
      : clock_(platform::testing::ManualClock::install()),
        harness_(std::make_unique<testing::Harness>(testing::HarnessOptions{.fakes = {testing::Fake::push}})) {}
  ~ClientTest() override {
    push::RerAviror::clearStatics();
    push::setLogThresholds(push::kLogWarn, push::kLogNone);
  }

  testing::fakes::PushService& fake() { return harness_->push(); }
  std::vector<std::string> logLines() const { return harness_->capture().log_lines(); }
  std::size_t countLines(std::string_view start) const {
    std::size_t n = 0;
    for (const auto& line : logLines()) n += line.rfind(start, 0) == 0;
    return n;
  }
  // Moves the clock and runs what fell due on the main loop.
  void advance(double seconds) {
    clock_->advance(platform::dispatch::Duration(seconds));
    platform::dispatch::RunLoop::main().run_pending();
  }
  bool waitFor(const std::function<bool()>& pred) { return fake().wait_for(pred, std::chrono::seconds(30)); }

  std::shared_ptr<platform::testing::ManualClock> clock_;
  std::unique_ptr<testing::Harness> harness_;
  push::RerAvirorClient client_;
};

}  // namespace push_test
