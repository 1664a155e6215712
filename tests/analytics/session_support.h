#pragma once
// Shared set-up of the session and ad exposure reporter tests: a started
// engine on a ManualClock, a settable app-active flag, server settings, the
// main run loop pumped after each step of time, and the stored raw events.
#include <atomic>
#include <future>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "analytics/config/persisted_config.h"
#include "analytics/config/remote_config.h"
#include "analytics/engine/analytics_entry.h"
#include "analytics/engine/measurement.h"
#include "analytics/identity/environment.h"
#include "analytics/model/records.h"
#include "analytics/model/value.h"
#include "analytics/store/database.h"
#include "platform/dispatch/run_loop.h"
#include "platform/testing/manual_clock.h"
#include "tests/analytics/engine_support.h"
#include "wire/runtime/nano_runtime.h"

namespace analytics_test {

class SessionEngineTest : public AnalyticsEngineTest {
 protected:
  // 2020-09-13T12:26:40.75Z: clock seconds with a fraction.
  static constexpr double kSessionTestStart = 1600000000.75;

  // Boots, starts the engine and waits for the events of its first start.
  void startEngine() {
    clock_ = platform::testing::ManualClock::install(kSessionTestStart);
    boot();
    analytics::APMSetAppActiveSource([active = active_] { return active->load(); });
    {
      EventListenerRecorder startEvents;
      analytics::APMAnalytics::startWithAppID(std::string(kTestAppID), "fa", startOptions());
      ASSERT_TRUE(startEvents.waitFor(2));  // "_f" and its "_e"
    }
    engine_ = analytics::APMMeasurement::sharedInstance();
    ASSERT_TRUE(engine_);
    drainWorker(*engine_);
  }

  void TearDown() override {
    analytics::APMSetAppActiveSource({});
    AnalyticsEngineTest::TearDown();
  }

  void setActive(bool active) { active_->store(active); }

  // Accepts a server configuration with these settings as the engine's.
  void applySettings(const std::vector<std::pair<std::string, std::string>>& settings) {
    auto config = wire::RIDUZMeasurementConfig::make();
    wire::NANOSetString(config.get(), 1, std::string(kTestAppID));
    platform::foundation::Array values;
    for (const auto& [name, value] : settings) {
      auto setting = wire::RIDUZSetting::make();
      wire::NANOSetString(setting.get(), 0, name);
      wire::NANOSetString(setting.get(), 1, value);
      values.push_back(platform::foundation::Value::object(setting));
    }
    wire::NANOSetArray(config.get(), 3, values);
    bool accepted = false;
    engine_->scheduler()->dispatchSyncOnWorkerQueueBlockID("SessionEngineTest:1", [&] {
      accepted = engine_->instanceRemoteConfig()->updateMeasurementConfig(config);
    });
    ASSERT_TRUE(accepted);
  }

  // Moves the clock and turns the main run loop, where the reporters' alarms fire.
  void advance(double seconds) {
    clock_->advance(platform::dispatch::Duration(seconds));
    platform::dispatch::RunLoop::main().run_pending();
  }

  double now() const { return clock_->now_since_1970(); }

  // The stored user property of that name (nullptr when absent), after the
  // entry and the worker finished what was queued.
  analytics::APMUserAttributeRef storedProperty(const std::string& name) {
    EXPECT_TRUE(drainEntry());
    std::promise<analytics::APMUserAttributeRef> found;
    engine_->userAttributeWithName(name, [&](analytics::APMUserAttributeRef attribute) { found.set_value(attribute); });
    auto future = found.get_future();
    EXPECT_EQ(future.wait_for(kEngineHang), std::future_status::ready);
    return future.get();
  }

  // Every raw event stored so far, oldest first, once queued work has run.
  std::vector<SeenEvent> storedEvents() {
    EXPECT_TRUE(drainEntry());
    drainWorker(*engine_);
    std::vector<SeenEvent> out;
    engine_->scheduler()->dispatchSyncOnWorkerQueueBlockID("SessionEngineTest:2", [&] {
      auto& database = *engine_->database();
      const auto fingerprint = database.nextMetadataFingerprintToProcess(nullptr);
      if (!fingerprint) return;
      const auto rows = database.rawEventsWithMetadataFingerprint(*fingerprint, nullptr, {});
      if (!rows) return;
      for (const auto& row : *rows) {
        const auto& event = row->rawEvent();
        out.push_back({event->origin(), event->name(), event->timestamp(), event->parameters()});
      }
    });
    return out;
  }

  std::shared_ptr<platform::testing::ManualClock> clock_;
  std::shared_ptr<analytics::APMMeasurement> engine_;
  std::shared_ptr<std::atomic<bool>> active_ = std::make_shared<std::atomic<bool>>(false);
};

// The events of that name.
inline std::vector<SeenEvent> eventsNamed(const std::vector<SeenEvent>& events, const std::string& name) {
  std::vector<SeenEvent> out;
  for (const auto& event : events) {
    if (event.name == name) out.push_back(event);
  }
  return out;
}

}  // namespace analytics_test
