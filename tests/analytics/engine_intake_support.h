#pragma once
// A started engine on a booted device under a manual clock with the midnight
// offset pinned, for the intake, user-property and reset tests: events handed
// to the worker one at a time, the stored rows read back from the database
// file, the daily counts seeded and read, remote settings applied.
#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/config/persisted_config.h"
#include "analytics/config/remote_config.h"
#include "analytics/config/scheduler.h"
#include "analytics/engine/analytics_entry.h"
#include "analytics/engine/measurement.h"
#include "analytics/store/database.h"
#include "analytics/support/files.h"
#include "platform/testing/manual_clock.h"
#include "tests/analytics/engine_support.h"
#include "tests/analytics/remote_config_support.h"
#include "tests/analytics/store_support.h"

namespace analytics_test {

// 2020-09-13T12:00:00Z.
inline constexpr double kIntakeNoon = 1599998400.0;

// One stored raw event, decoded.
struct StoredEvent {
  std::int64_t rowID = 0;
  bool realtime = false;
  analytics::APMEventRef event;
};

struct StoredCounts {
  std::int64_t day = 0, all = 0, publicEvents = 0, errors = 0, realtime = 0;
  bool operator==(const StoredCounts&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const StoredCounts& c) {
  return out << "{day " << c.day << ", all " << c.all << ", public " << c.publicEvents << ", errors " << c.errors
             << ", realtime " << c.realtime << "}";
}

class StartedEngineTest : public AnalyticsEngineTest {
 protected:
  // Boots, pins the midnight offset, starts analytics and waits until the
  // first-open events are stored.
  void startEngine(platform::foundation::Dict extraOptions = {}, double midnightOffset = 0) {
    clock_ = platform::testing::ManualClock::install(kIntakeNoon);
    boot();
    analytics::APMPersistedConfig::sharedInstance()->setDouble(midnightOffset,
                                                               analytics::APMPersistedConfig::kMidnightOffsetKey);
    listener_ = std::make_unique<EventListenerRecorder>();
    auto options = startOptions();
    for (const auto& [key, value] : extraOptions) options.set(key, value);
    analytics::APMAnalytics::startWithAppID(std::string(kTestAppID), "fa", options);
    ASSERT_TRUE(listener_->waitFor(2));
    engine_ = analytics::APMMeasurement::sharedInstance();
    ASSERT_TRUE(engine_);
    settle();
  }
  void TearDown() override {
    if (engine_) settle();
    listener_.reset();
    AnalyticsEngineTest::TearDown();
  }

  // Lets internal events raised on the worker ("_err") travel the entry and
  // reach the worker, and waits until the worker has handled them.
  void settle() {
    for (int round = 0; round < 2; ++round) {
      drainWorker(*engine_);
      ASSERT_TRUE(drainEntry());
    }
    drainWorker(*engine_);
  }
  void onWorker(const std::function<void()>& block) {
    engine_->scheduler()->dispatchSyncOnWorkerQueueBlockID("AnalyticsEngineTest:intake", block);
  }
  // Applies remote settings to the engine's configuration.
  void configure(ConfigSpec spec) {
    spec.appID = std::string(kTestAppID);
    bool accepted = false;
    onWorker([&] { accepted = engine_->instanceRemoteConfig()->updateMeasurementConfig(makeConfig(spec)); });
    ASSERT_TRUE(accepted);
  }
  // Hands one event to the worker's intake and returns once it was handled.
  void handle(const std::string& origin, const std::string& name, const platform::foundation::Dict& parameters = {}) {
    const bool isPublic = !name.empty() && name[0] != '_';
    auto event = analytics::APMEvent::initWithOrigin(origin, isPublic, name, clock_->now_since_1970(), 0, parameters);
    ASSERT_TRUE(event) << name;
    onWorker([&] {
      engine_->handleEventOnWorkerQueue(event);
      countsAfterHandle_ = readCounts();
    });
  }
  // The daily counts right after the last handle(), before any internal
  // event it raised came back to the worker.
  const StoredCounts& countsAfterHandle() const { return countsAfterHandle_; }

  static std::filesystem::path databaseFile() {
    return analytics::APMApplicationSupportPath(analytics::APMMeasurement::kDatabaseName);
  }
  // Every stored raw event, oldest first.
  std::vector<StoredEvent> stored() {
    std::vector<StoredEvent> result;
    onWorker([&] {
      RawSqlite file(databaseFile());
      for (const auto& row : file.rows("SELECT DISTINCT metadata_fingerprint FROM raw_events")) {
        const auto events = engine_->database()->rawEventsWithMetadataFingerprint(std::stoll(row[0]), nullptr, {});
        for (const auto& data : events.value_or(std::vector<std::shared_ptr<analytics::APMRawEventData>>{})) {
          const bool realtime =
              file.one("SELECT is_realtime FROM raw_events WHERE rowid = " + std::to_string(data->rowID())) == "1";
          result.push_back({data->rowID(), realtime, data->rawEvent()});
        }
      }
    });
    std::sort(result.begin(), result.end(), [](const auto& a, const auto& b) { return a.rowID < b.rowID; });
    return result;
  }
  std::vector<std::string> storedNames() {
    std::vector<std::string> names;
    for (const auto& event : stored()) names.push_back(event.event->name());
    return names;
  }
  std::int64_t storedCount(const std::string& name) {
    std::string count;
    onWorker([&] {
      RawSqlite file(databaseFile());
      count = file.one("SELECT COUNT(*) FROM raw_events WHERE name = '" + name + "'");
    });
    return std::stoll(count);
  }

  // The file is read on the worker, between the engine's own transactions.
  StoredCounts counts() {
    StoredCounts result;
    onWorker([&] { result = readCounts(); });
    return result;
  }
  static StoredCounts readCounts() {
    RawSqlite file(databaseFile());
    const auto rows = file.rows(
        "SELECT day, daily_events_count, daily_public_events_count, daily_error_events_count, "
        "daily_real_time_conversion_events_count FROM app_metadata");
    if (rows.empty()) return {};
    const auto number = [](const std::string& text) { return text == "NULL" ? 0 : std::stoll(text); };
    return {number(rows[0][0]), number(rows[0][1]), number(rows[0][2]), number(rows[0][3]), number(rows[0][4])};
  }
  void seedCounts(const StoredCounts& c) {
    onWorker([&] {
      RawSqlite file(databaseFile());
      file.exec("UPDATE app_metadata SET day = " + std::to_string(c.day) + ", daily_events_count = " +
              std::to_string(c.all) + ", daily_public_events_count = " + std::to_string(c.publicEvents) +
              ", daily_error_events_count = " + std::to_string(c.errors) +
                ", daily_real_time_conversion_events_count = " + std::to_string(c.realtime));
    });
  }
  std::int64_t today() const { return static_cast<std::int64_t>(clock_->now_since_1970() / 86400); }

  // The "_err" codes of the error events that reached the engine so far.
  std::vector<std::int64_t> errorCodes() const {
    std::vector<std::int64_t> codes;
    for (const auto& event : listener_->events()) {
      if (event.name == "_err") codes.push_back(event.parameter("_err").as_int().value_or(-1));
    }
    return codes;
  }

  std::shared_ptr<platform::testing::ManualClock> clock_;
  std::unique_ptr<EventListenerRecorder> listener_;
  std::shared_ptr<analytics::APMMeasurement> engine_;
  StoredCounts countsAfterHandle_;
};

}  // namespace analytics_test
