// The engine's reset: refused while its setting is off, first open deferred
// to the next enabling while disabled, and afterwards a new app instance ID
// with nothing older left to upload.
#include <string>
#include <vector>

#include "analytics/identity/identity.h"
#include "analytics/model/value.h"
#include "tests/analytics/engine_intake_support.h"
#include "wire/runtime/nano_runtime.h"

namespace {

namespace fd = platform::foundation;
using analytics::APMMeasurement;
using analytics_test::MonitorRecorder;
using namespace std::chrono_literals;

std::ptrdiff_t resetCountOf(const std::vector<std::int64_t>& codes, std::int64_t code) {
  return std::count(codes.begin(), codes.end(), code);
}

class AnalyticsResetTest : public analytics_test::StartedEngineTest {
 protected:
  std::string instanceID() { return engine_->identity()->appInstanceID().value_or("<none>"); }
  // The app instance IDs of the stored metadata records.
  std::vector<std::string> metadataInstanceIDs() {
    std::vector<std::string> ids;
    onWorker([&] {
      analytics_test::RawSqlite file(databaseFile());
      for (const auto& row : file.rows("SELECT metadata_fingerprint FROM raw_events_metadata")) {
        const auto metadata = engine_->database()->queryRawEventsMetadataWithFingerprint(std::stoll(row[0]), nullptr);
        ids.push_back(metadata ? wire::NANOGetString(metadata.get(), 22).value_or("<none>") : "<unreadable>");
      }
    });
    return ids;
  }
  std::string count(const std::string& sql) {
    std::string result;
    onWorker([&] {
      analytics_test::RawSqlite file(databaseFile());
      result = file.one(sql);
    });
    return result;
  }
  void setProperty(const std::string& name) {
    engine_->setUserAttribute(analytics::APMUserAttribute::initWithOrigin(
        "app", name, analytics::APMValue::initWithString(fd::Value("v")), clock_->now_since_1970()));
  }
  // A bundle waiting for upload.
  void queueBundle() {
    onWorker([&] {
      analytics_test::RawSqlite file(databaseFile());
      file.exec("INSERT INTO queue (data, bundle_end_timestamp, is_realtime, retry_count) VALUES (x'0801', 1, 0, 0)");
    });
  }
};

TEST_F(AnalyticsResetTest, WithTheSettingOffNothingChanges) {
  startEngine();
  configure({.settings = {{"measurement.api.reset_analytics_data", "0"}}});
  setProperty("color");
  handle("app", "before_reset");
  queueBundle();
  settle();
  const auto id = instanceID();
  const auto names = storedNames();
  MonitorRecorder monitor;
  engine_->resetAnalyticsData();
  settle();
  EXPECT_EQ(resetCountOf(monitor.codes(), 23169), 1);
  EXPECT_EQ(resetCountOf(monitor.codes(), 23168), 0);
  EXPECT_EQ(instanceID(), id);
  EXPECT_EQ(storedNames(), names);
  EXPECT_EQ(count("SELECT COUNT(*) FROM queue"), "1");
  EXPECT_EQ(count("SELECT COUNT(*) FROM user_attributes WHERE name = 'color'"), "1");
}

TEST_F(AnalyticsResetTest, AfterwardsANewInstanceIDAndNothingOlderIsLeft) {
  startEngine();
  setProperty("color");
  handle("app", "before_reset");
  queueBundle();
  settle();
  const auto id = instanceID();
  const auto before = metadataInstanceIDs();
  ASSERT_FALSE(before.empty());
  for (const auto& stored : before) ASSERT_EQ(stored, id);
  clock_->advance(90s);
  engine_->resetAnalyticsData();
  settle();
  const auto renewed = instanceID();
  EXPECT_NE(renewed, id);
  // Only the first open the reset reported (at once: the engine is enabled).
  const auto names = storedNames();
  ASSERT_FALSE(names.empty());
  EXPECT_EQ(names.front(), "_f");
  EXPECT_EQ(std::count(names.begin(), names.end(), "before_reset"), 0);
  EXPECT_EQ(count("SELECT COUNT(*) FROM queue"), "0");
  EXPECT_EQ(count("SELECT COUNT(*) FROM user_attributes WHERE name = 'color'"), "0");
  handle("app", "after_reset");
  const auto after = metadataInstanceIDs();
  EXPECT_FALSE(after.empty());
  for (const auto& stored : after) EXPECT_EQ(stored, renewed);
}

TEST_F(AnalyticsResetTest, WhileDisabledFirstOpenWaitsForTheNextEnabling) {
  startEngine();
  analytics::APMAnalytics::setAnalyticsEnabled(false);
  ASSERT_TRUE(analytics_test::drainEntry());
  settle();
  ASSERT_FALSE(engine_->isEnabled());
  engine_->resetAnalyticsData();
  settle();
  EXPECT_TRUE(engine_->needFirstOpenAfterReset());
  EXPECT_EQ(storedCount("_f"), 0);

  analytics::APMAnalytics::setAnalyticsEnabled(true);
  ASSERT_TRUE(analytics_test::drainEntry());
  settle();
  ASSERT_TRUE(engine_->isEnabled());
  EXPECT_EQ(storedCount("_f"), 1);
  EXPECT_FALSE(engine_->needFirstOpenAfterReset());
}

}  // namespace
