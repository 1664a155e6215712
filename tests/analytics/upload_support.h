#pragma once
// Shared set-up of the upload tests: an engine started on a harness device
// whose collection host is the test's AnalyticsCollector, under a ManualClock,
// with the upload road installed; worker-queue helpers; configurations made
// with the wire layer.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "analytics/config/persisted_config.h"
#include "analytics/config/remote_config.h"
#include "analytics/config/scheduler.h"
#include "analytics/engine/analytics_entry.h"
#include "analytics/engine/measurement.h"
#include "analytics/engine_seams.h"
#include "analytics/store/database.h"
#include "analytics/upload/app_state.h"
#include "analytics/upload/upload.h"
#include "platform/sim/app_image.h"
#include "platform/testing/manual_clock.h"
#include "testing/harness/harness.h"
#include "tests/analytics/batch_support.h"
#include "tests/analytics/engine_support.h"
#include "wire/measurement/measurement.h"
#include "wire/runtime/nano_runtime.h"

namespace analytics_test {

inline constexpr double kUploadStart = 1599991200.0;  // 2020-09-13T10:00:00Z

// A MeasurementConfig for `appID` with a version and string settings, encoded.
inline std::string uploadConfigBytes(const std::string& appID, std::int64_t version,
                                     const std::vector<std::pair<std::string, std::string>>& settings = {},
                                     const platform::foundation::Array& audiences = {}) {
  auto config = wire::RIDUZMeasurementConfig::make();
  wire::NANOSetInt64(config.get(), 0, version);
  wire::NANOSetString(config.get(), 1, appID);
  platform::foundation::Array items;
  for (const auto& [name, value] : settings) {
    auto setting = wire::RIDUZSetting::make();
    wire::NANOSetString(setting.get(), 0, name);
    wire::NANOSetString(setting.get(), 1, value);
    items.push_back(platform::foundation::Value::object(setting));
  }
  if (!items.empty()) wire::NANOSetArray(config.get(), 3, items);
  if (!audiences.empty()) wire::NANOSetArray(config.get(), 5, audiences);
  const auto bytes = config->protoBuffer();
  return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
}

// A queued bundle for `appID` ending at `endSeconds`, with one event.
inline std::shared_ptr<wire::RIDUZMeasurementBundle> uploadBundle(const std::string& appID, double endSeconds,
                                                                  const std::string& eventName = "level_up") {
  auto bundle = wire::RIDUZMeasurementBundle::make();
  wire::NANOSetInt32(bundle.get(), 0, 1);
  wire::NANOSetString(bundle.get(), 14, appID);
  wire::NANOSetInt64(bundle.get(), 4, static_cast<std::int64_t>(endSeconds * 1000) - 1000);
  wire::NANOSetInt64(bundle.get(), 5, static_cast<std::int64_t>(endSeconds * 1000));
  auto event = wire::RIDUZEvent::make();
  wire::NANOSetString(event.get(), 1, eventName);
  wire::NANOSetInt64(event.get(), 2, static_cast<std::int64_t>(endSeconds * 1000));
  wire::NANOSetArray(bundle.get(), 1, platform::foundation::Array{platform::foundation::Value::object(event)});
  return bundle;
}

class UploadRoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clock_ = platform::testing::ManualClock::install(kUploadStart);
    harness_ = std::make_unique<testing::Harness>(testing::HarnessOptions{.fakes = {testing::Fake::analytics}, .service_plist = false});
    harness_->boot_app(platform::sim::AppImage{});
    analytics::APMInstallUploadSeam(std::make_shared<analytics::APMUploadRoad>());
    EventListenerRecorder listener;
    analytics::APMAnalytics::startWithAppID(std::string(kTestAppID), "fa", startOptions());
    ASSERT_TRUE(harness_->run_until([&] { return listener.events().size() >= 2; }));
    engine_ = analytics::APMMeasurement::sharedInstance();
    ASSERT_TRUE(engine_);
    ASSERT_TRUE(engine_->network());
    ASSERT_TRUE(harness_->run_until([&] { return engine_->network()->isNetworkConnected(); }));
    drainWorker(*engine_);
  }
  void TearDown() override {
    if (engine_) {
      harness_->run_until([&] { return !pending(); });
      drainWorker(*engine_);
    }
    analytics::APMInstallUploadSeam(nullptr);
    engine_.reset();
    drainEntry();
    platform::dispatch::wait_until_idle();
  }

  analytics::APMMeasurement& engine() { return *engine_; }
  testing::fakes::AnalyticsCollector& collector() { return harness_->analytics(); }
  testing::Harness& harness() { return *harness_; }
  analytics::APMPersistedConfig& persisted() { return *engine_->persistedConfig(); }

  void onWorker(const std::function<void()>& block) {
    engine_->scheduler()->dispatchSyncOnWorkerQueueBlockID("UploadRoadTest:1", block);
  }
  bool pending() {
    bool value = false;
    onWorker([&] { value = engine_->isNetworkRequestPending(); });
    return value;
  }
  // Runs an upload pass and pumps until the engine has no request out and
  // `requests` requests reached the collector.
  bool uploadPass(std::size_t requests) {
    onWorker([&] { analytics::APMUploadData(*engine_); });
    return settle(requests);
  }
  bool settle(std::size_t requests) {
    return harness_->run_until([&] { return collector().count() >= requests && !pending(); });
  }
  std::size_t queuedBundles() {
    std::size_t n = 0;
    onWorker([&] {
      std::optional<platform::foundation::Error> error;
      const auto rows = engine_->database()->queryBundlesWithCountLimit(1000, 1 << 30, &error);
      n = rows ? rows->size() : 0;
    });
    return n;
  }
  bool insertBundle(const std::shared_ptr<wire::RIDUZMeasurementBundle>& bundle) {
    bool ok = false;
    onWorker([&] {
      std::optional<platform::foundation::Error> error;
      ok = engine_->database()->insertBundle(*bundle, false, &error);
    });
    return ok;
  }
  // The first contact: configuration fetched (the collector's 404 unless a
  // test set one) and the launch's events uploaded; nothing left to send.
  void firstContact() {
    ASSERT_TRUE(uploadPass(2));
    ASSERT_TRUE(harness_->run_until([&] { return collector().upload_count() >= 1 && !pending(); }));
    ASSERT_EQ(queuedBundles(), 0u);
  }

  std::shared_ptr<platform::testing::ManualClock> clock_;
  std::unique_ptr<testing::Harness> harness_;
  std::shared_ptr<analytics::APMMeasurement> engine_;
};

}  // namespace analytics_test
