#pragma once
// Shared set-up of the purchase, lifetime-value and conditional-property
// tests: an engine started on a booted device with the seams installed, and
// reads of its stored events and user properties on the worker.
#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "analytics/config/scheduler.h"
#include "analytics/engine/analytics_entry.h"
#include "analytics/engine/measurement.h"
#include "analytics/purchases/seams.h"
#include "analytics/store/database.h"
#include "platform/foundation/value.h"
#include "analytics/config/remote_config.h"
#include "tests/analytics/engine_support.h"
#include "tests/analytics/support.h"
#include "wire/runtime/nano_runtime.h"

namespace analytics_test {

// One raw event as the engine stored it.
using StoredEvent = SeenEvent;

// How often the monitor logged `code`.
inline std::ptrdiff_t monitorCount(const MonitorRecorder& monitor, std::int64_t code) {
  const auto codes = monitor.codes();
  return std::count(codes.begin(), codes.end(), code);
}

// Every raw event of the engine's database, in storage order.
inline std::vector<StoredEvent> storedEvents(analytics::APMMeasurement& engine) {
  std::vector<StoredEvent> events;
  engine.scheduler()->dispatchSyncOnWorkerQueueBlockID("PurchaseTest:1", [&] {
    auto& database = *engine.database();
    const auto rows = database.sqliteStore()->recordsForQuery("SELECT rowid, * FROM raw_events ORDER BY rowid ASC",
                                                              {}, nullptr);
    if (!rows) return;
    for (const auto& row : *rows) {
      const auto raw = database.rawEventDataFromDictionary(row, nullptr);
      if (!raw || !raw->rawEvent()) continue;
      const auto& event = raw->rawEvent();
      events.push_back({event->origin(), event->name(), event->timestamp(), event->parameters()});
    }
  });
  return events;
}

inline std::vector<std::string> storedNames(analytics::APMMeasurement& engine) {
  std::vector<std::string> names;
  for (const auto& event : storedEvents(engine)) names.push_back(event.name);
  return names;
}

// The stored events of one name.
inline std::vector<StoredEvent> storedEventsNamed(analytics::APMMeasurement& engine, const std::string& name) {
  std::vector<StoredEvent> events;
  for (auto& event : storedEvents(engine)) {
    if (event.name == name) events.push_back(std::move(event));
  }
  return events;
}

// A user property read on the worker; nullptr when absent.
inline analytics::APMUserAttributeRef storedUserAttribute(analytics::APMMeasurement& engine, const std::string& name) {
  analytics::APMUserAttributeRef attribute;
  engine.scheduler()->dispatchSyncOnWorkerQueueBlockID("PurchaseTest:2", [&] {
    attribute = engine.database()->userAttributeWithName(name, nullptr);
  });
  return attribute;
}

// Puts server settings (name, value) in force in the engine's configuration.
inline bool applySettings(analytics::APMMeasurement& engine,
                          const std::vector<std::pair<std::string, std::string>>& settings) {
  auto config = wire::RIDUZMeasurementConfig::make();
  wire::NANOSetString(config.get(), 1, std::string(kTestAppID));
  platform::foundation::Array entries;
  for (const auto& [name, value] : settings) {
    auto setting = wire::RIDUZSetting::make();
    wire::NANOSetString(setting.get(), 0, name);
    wire::NANOSetString(setting.get(), 1, value);
    entries.push_back(platform::foundation::Value::object(setting));
  }
  wire::NANOSetArray(config.get(), 3, entries);
  bool applied = false;
  engine.scheduler()->dispatchSyncOnWorkerQueueBlockID("PurchaseTest:7", [&] {
    applied = engine.instanceRemoteConfig() && engine.instanceRemoteConfig()->updateMeasurementConfig(config);
  });
  return applied;
}

// Polls `done` (a hang check, not a timing) until it holds.
inline bool eventually(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + kEngineHang;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// A booted device whose engine runs with this area's seams installed.
class PurchaseEngineTest : public AnalyticsEngineTest {
 protected:
  void TearDown() override {
    AnalyticsEngineTest::TearDown();
    analytics::APMInstallConditionalPropertiesSeam(nullptr);
    analytics::APMInstallLifetimeValueSeam(nullptr);
    analytics::APMInstallPurchasesSeam(nullptr);
    analytics::APMInstallSearchAdsSeam(nullptr);
  }
  // Starts the engine and returns once its component start has run.
  std::shared_ptr<analytics::APMMeasurement> startEngine(bool searchAds = true) {
    analytics::APMInstallPurchaseAndPropertySeams();
    if (!searchAds) analytics::APMInstallSearchAdsSeam(nullptr);
    analytics::APMAnalytics::load();
    analytics::APMAnalytics::startWithAppID(std::string(kTestAppID), "fa", startOptions());
    EXPECT_TRUE(drainEntry());
    auto engine = analytics::APMMeasurement::sharedInstance();
    if (engine) drainWorker(*engine);
    return engine;
  }
};

}  // namespace analytics_test
