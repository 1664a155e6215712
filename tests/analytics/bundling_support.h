#pragma once
// Shared set-up of the bundling and sampling tests: a started engine on a
// booted device with a pinned clock, its own start-up events cleared, a
// server configuration applied on the worker, raw events stored as the intake
// stores them, and the queued bundles read back with the wire layer.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "analytics/config/remote_config.h"
#include "analytics/config/scheduler.h"
#include "analytics/engine/engine_records.h"
#include "analytics/engine/measurement.h"
#include "analytics/model/event.h"
#include "analytics/model/value.h"
#include "analytics/store/database.h"
#include "analytics/support/digest.h"
#include "analytics/support/files.h"
#include "analytics/upload/bundling.h"
#include "platform/testing/manual_clock.h"
#include "tests/analytics/engine_support.h"
#include "tests/analytics/store_support.h"
#include "wire/measurement/measurement.h"

namespace analytics_test {

// One server event configuration.
struct BundlingEventConfig {
  std::string name;
  std::optional<bool> blacklisted = std::nullopt;
  std::optional<bool> conversion = std::nullopt;
  std::optional<std::int32_t> rate = std::nullopt;
};

using BundlingSettings = std::vector<std::pair<std::string, std::string>>;

// 2020-09-13T10:00:00Z.
inline constexpr double kBundlingTen = 1599991200.0;

// Public: the tests' case tables call it through a reference.
class BundlingEngineTest : public AnalyticsDeviceTest {
 public:
  void TearDown() override {
    engine_.reset();
    platform::dispatch::wait_until_idle();
  }

  // Starts the engine at `now` and applies the configuration.
  void start(double now, const BundlingSettings& settings = {}, const std::vector<BundlingEventConfig>& events = {},
             std::optional<std::int64_t> version = std::nullopt) {
    clock_ = platform::testing::ManualClock::install(now);
    boot();
    engine_ = analytics::APMMeasurement::initWithAppID(std::string(kTestAppID), true, false, std::nullopt);
    ASSERT_TRUE(engine_);
    bool started = false;
    worker([&] {
      started = engine_->startMeasurementOnWorkerQueue();
      if (!started) return;
      // The start's own events are not the test's.
      engine_->database()->deleteRawEventsWithMaxRowID(std::numeric_limits<std::int64_t>::max(), nullptr);
      engine_->database()->deleteUnusedRawEventsMetadata(nullptr);
    });
    ASSERT_TRUE(started);
    configure(settings, events, version);
  }

  void configure(const BundlingSettings& settings, const std::vector<BundlingEventConfig>& events,
                 std::optional<std::int64_t> version = std::nullopt) {
    namespace fd = platform::foundation;
    auto config = wire::RIDUZMeasurementConfig::make();
    wire::NANOSetString(config.get(), 1, std::string(kTestAppID));
    if (version) wire::NANOSetInt64(config.get(), 0, *version);
    fd::Array settingItems;
    for (const auto& [name, value] : settings) {
      auto setting = wire::RIDUZSetting::make();
      wire::NANOSetString(setting.get(), 0, name);
      wire::NANOSetString(setting.get(), 1, value);
      settingItems.push_back(fd::Value::object(setting));
    }
    wire::NANOSetArray(config.get(), 3, settingItems);
    fd::Array eventItems;
    for (const auto& row : events) {
      auto event = wire::RIDUZEventConfig::make();
      wire::NANOSetString(event.get(), 0, row.name);
      if (row.blacklisted) wire::NANOSetBool(event.get(), 1, *row.blacklisted);
      if (row.conversion) wire::NANOSetBool(event.get(), 2, *row.conversion);
      if (row.rate) wire::NANOSetInt32(event.get(), 3, *row.rate);
      eventItems.push_back(fd::Value::object(event));
    }
    if (!eventItems.empty()) wire::NANOSetArray(config.get(), 4, eventItems);
    bool applied = false;
    worker([&] { applied = engine_->instanceRemoteConfig()->updateMeasurementConfig(config); });
    ASSERT_TRUE(applied);
  }

  template <class F>
  void worker(F&& block) {
    engine_->scheduler()->dispatchSyncOnWorkerQueueBlockID("BundlingTest:1", std::forward<F>(block));
  }

  // Stores one raw event with the metadata of the current user attributes;
  // its row ID.
  std::int64_t store(std::string_view name, double timestamp, const platform::foundation::Dict& parameters = {},
                     std::string_view origin = "app") {
    std::int64_t rowID = -1;
    worker([&] {
      auto& db = *engine_->database();
      // Stored events are read back as non-public ones, as here.
      auto event = analytics::APMEvent::initWithOrigin(origin, false, name, timestamp, 0, parameters);
      if (!event) return;
      const auto attributes = db.userAttributesIncludingInternal(true, nullptr);
      const auto metadata = engine_->createRawEventMetadataWithUserAttributes(attributes.value_or(
          std::vector<analytics::APMUserAttributeRef>{}));
      if (!metadata || !db.insertIfNotExistsRawEventMetadata(*metadata, nullptr)) return;
      const auto bytes = metadata->protoBuffer().value_or(platform::foundation::Bytes());
      const auto fingerprint = analytics::apm_64LSBMD5(std::span<const std::uint8_t>(bytes.data(), bytes.size()));
      if (!db.insertRawEvent(event.get(), fingerprint, false, nullptr)) return;
      rowID = lastRowID();
    });
    EXPECT_GE(rowID, 0) << name;
    return rowID;
  }

  // Runs on the worker.
  std::int64_t lastRowID() { return std::stoll(sql().one("SELECT MAX(rowid) FROM raw_events")); }

  bool bundle() {
    bool made = false;
    worker([&] { made = analytics::bundleRawEvents(*engine_); });
    return made;
  }

  // Bundles until nothing more is made (at most `limit` calls).
  int bundleAll(int limit = 20) {
    int made = 0;
    while (made < limit && bundle()) ++made;
    return made;
  }

  std::vector<std::shared_ptr<wire::RIDUZMeasurementBundle>> queued() {
    std::vector<std::shared_ptr<wire::RIDUZMeasurementBundle>> bundles;
    worker([&] {
      const auto pairs = engine_->database()->queryBundlesWithCountLimit(1000, std::numeric_limits<std::int32_t>::max(),
                                                                          nullptr);
      for (const auto& pair : pairs.value_or(std::vector<analytics::APMBundlePair>{})) bundles.push_back(pair.first);
    });
    return bundles;
  }

  // A second connection to the engine's database file.
  RawSqlite& sql() {
    if (!sql_) sql_.emplace(analytics::APMApplicationSupportPath(analytics::APMDatabase::kDatabaseName));
    return *sql_;
  }

  std::shared_ptr<platform::testing::ManualClock> clock_;
  std::shared_ptr<analytics::APMMeasurement> engine_;
  std::optional<RawSqlite> sql_;
};

// ---- reading bundles -------------------------------------------------------------------

inline std::vector<std::shared_ptr<wire::RIDUZEvent>> bundleEvents(const wire::RIDUZMeasurementBundle& bundle) {
  std::vector<std::shared_ptr<wire::RIDUZEvent>> events;
  for (const auto& item : wire::NANOGetArray(&bundle, 1, &wire::RIDUZEvent::type()).value_or(platform::foundation::Array{})) {
    if (auto event = item.object<wire::RIDUZEvent>()) events.push_back(std::move(event));
  }
  return events;
}

inline std::string eventName(const wire::RIDUZEvent& event) { return wire::NANOGetString(&event, 1).value_or(""); }

inline std::vector<std::string> bundleEventNames(const wire::RIDUZMeasurementBundle& bundle) {
  std::vector<std::string> names;
  for (const auto& event : bundleEvents(bundle)) names.push_back(eventName(*event));
  return names;
}

// The integer parameter of an event message, nullopt when absent.
inline std::optional<std::int64_t> eventInt(const wire::RIDUZEvent& event, std::string_view name) {
  for (const auto& item : wire::NANOGetArray(&event, 0, &wire::RIDUZEventParam::type()).value_or(platform::foundation::Array{})) {
    const auto param = item.object<wire::RIDUZEventParam>();
    if (param && wire::NANOGetString(param.get(), 0) == name && wire::NANOHasField(param.get(), 2)) {
      return wire::NANOGetInt64(param.get(), 2);
    }
  }
  return std::nullopt;
}

// How often the monitor saw `code`.
inline std::ptrdiff_t codeCount(const std::vector<std::int64_t>& codes, std::int64_t code) {
  return std::count(codes.begin(), codes.end(), code);
}

inline platform::foundation::Dict intParameters(std::initializer_list<std::pair<const char*, std::int64_t>> items) {
  platform::foundation::Dict dict;
  for (const auto& [key, value] : items) dict.set(key, platform::foundation::Value(static_cast<long long>(value)));
  return dict;
}

}  // namespace analytics_test
