#pragma once
// Shared set-up of the analytics engine tests: a listener that records the
// events reaching the engine, waits on the entry's queues, and seam doubles.
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analytics/config/scheduler.h"
#include "analytics/engine/analytics_entry.h"
#include "analytics/engine/measurement.h"
#include "analytics/engine_seams.h"
#include "analytics/model/event.h"
#include "analytics/model/value.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/value.h"
#include "tests/analytics/support.h"

namespace analytics_test {

inline constexpr std::chrono::seconds kEngineHang{30};
inline constexpr std::string_view kTestAppID = "1:123456789000:ios:0123456789abcdef";

// One event as a listener saw it.
struct SeenEvent {
  std::string origin;
  std::string name;
  double timestamp;
  platform::foundation::Dict parameters;

  // The parameter's typed value as a plain value (null when absent).
  platform::foundation::Value parameter(const std::string& key) const {
    const platform::foundation::Value* entry = parameters.find(key);
    if (!entry) return {};
    const auto value = analytics::APMValueFrom(*entry);
    return value ? value->value() : *entry;
  }
};

// Records every event the entry's listener road reports, from construction
// on. The listener keeps the records alive: calls may come after the test.
class EventListenerRecorder {
 public:
  EventListenerRecorder() : state_(std::make_shared<State>()) {
    token_ = analytics::APMAnalytics::addLogEventListener([state = state_](const analytics::APMEventRef& event) {
      std::lock_guard lock(state->mutex);
      state->events.push_back({event->origin(), event->name(), event->timestamp(), event->parameters()});
      state->changed.notify_all();
    });
  }
  ~EventListenerRecorder() { analytics::APMAnalytics::removeLogEventListener(token_); }
  EventListenerRecorder(const EventListenerRecorder&) = delete;
  EventListenerRecorder& operator=(const EventListenerRecorder&) = delete;

  std::vector<SeenEvent> events() const {
    std::lock_guard lock(state_->mutex);
    return state_->events;
  }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& event : events()) out.push_back(event.name);
    return out;
  }
  // Waits until `count` events were seen (a hang check, not a timing).
  bool waitFor(std::size_t count) {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, kEngineHang, [&] { return state_->events.size() >= count; });
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<SeenEvent> events;
  };
  std::shared_ptr<State> state_;
  analytics::APMLogEventListenerTokenRef token_;
};

// Returns once everything queued on the entry's operation and serial queues
// before the call has run.
inline bool drainEntry() {
  auto done = std::make_shared<std::promise<void>>();
  auto future = done->get_future();
  analytics::APMAnalytics::queueOperationWithBlock([done] { done->set_value(); });
  return future.wait_for(kEngineHang) == std::future_status::ready;
}

// Returns once everything queued on the engine's worker before the call has run.
inline void drainWorker(analytics::APMMeasurement& engine) {
  engine.scheduler()->dispatchSyncOnWorkerQueueBlockID("AnalyticsEngineTest:1", [] {});
}

// The start options of the facade.
inline platform::foundation::Dict startOptions(bool enabled = true, bool deactivated = false) {
  return platform::foundation::Dict{{"DAVIDIZE_ANALYTICS_COLLECTION_ENABLED", platform::foundation::Value(enabled)},
                                    {"DAVIDIZE_ANALYTICS_COLLECTION_DEACTIVATED", platform::foundation::Value(deactivated)},
                                    {"app_measurement_log_tag", platform::foundation::Value("[Davidize/Analytics]")}};
}

// A booted device; the work the test started on the pool ends before the
// process does.
class AnalyticsEngineTest : public AnalyticsDeviceTest {
 protected:
  void TearDown() override {
    analytics::APMAnalytics::setLogEventInterceptor({});
    if (entryStarts_) drainEntry();
    platform::dispatch::wait_until_idle();
  }

  // The entry's queue stays suspended until an engine starts; a test that
  // never starts one says so, and the end does not wait on that queue.
  bool entryStarts_ = true;
};

// A screen seam with fixed parameters.
class FixedScreens : public analytics::APMScreensSeam {
 public:
  explicit FixedScreens(platform::foundation::Dict parameters) : parameters_(std::move(parameters)) {}
  platform::foundation::Dict screenParameters() override { return parameters_; }
  void setScreenName(const std::optional<std::string>&, const std::optional<std::string>&) override {}

 private:
  platform::foundation::Dict parameters_;
};

}  // namespace analytics_test
