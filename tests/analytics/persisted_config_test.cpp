// The persisted analytics configuration on real preference files: absent
// values, typed reads of wrong kinds, the standard-store switch, the
// day-boundary offset across a reboot, the coalesced flush and clearing.
#include <cmath>
#include <filesystem>
#include <set>

#include "analytics/config/persisted_config.h"
#include "analytics/support/files.h"
#include "analytics/support/user_defaults.h"
#include "platform/dispatch/run_loop.h"
#include "platform/foundation/plist.h"
#include "platform/os/file_manager.h"
#include "platform/os/preferences.h"
#include "platform/testing/manual_clock.h"
#include "platform/testing/reset.h"
#include "tests/analytics/support.h"

namespace {

namespace fd = platform::foundation;
namespace os = platform::os;
using analytics::APMPersistedConfig;
using analytics::APMUserDefaults;
using platform::dispatch::RunLoop;
using platform::testing::ManualClock;
using namespace std::chrono_literals;

class AnalyticsPersistedConfigTest : public analytics_test::AnalyticsDeviceTest {
 protected:
  void SetUp() override {
    boot();
    config_ = APMPersistedConfig::initWithSuiteName(APMPersistedConfig::kSuiteName);
    ASSERT_TRUE(config_);
  }
  static std::filesystem::path suiteFile() { return analytics::APMPreferencesPlistPath(APMPersistedConfig::kSuiteName); }
  static fd::Dict fileContents() {
    auto bytes = os::FileManager::shared().read(suiteFile());
    if (!bytes) return {};
    auto value = fd::plist::parse(*bytes);
    return value && value->dict() ? *value->dict() : fd::Dict{};
  }
  void advance(platform::dispatch::Duration d) {
    clock_->advance(d);
    RunLoop::main().run_pending();
  }

  std::unique_ptr<APMPersistedConfig> config_;
  std::shared_ptr<ManualClock> clock_;
};

TEST_F(AnalyticsPersistedConfigTest, FreshInstallReadsZeroFalseOrNil) {
  EXPECT_EQ(APMPersistedConfig::initWithSuiteName(""), nullptr);
  EXPECT_EQ(APMPersistedConfig::initWithSuiteName(std::nullopt), nullptr);
  EXPECT_EQ(config_->name(), "com.dozada.ruv.measurement");
  const APMPersistedConfig& c = *config_;
  for (const auto& text : {c.appInstanceID(), c.appIDFromRUV(), c.appIDFromVeZaz(), c.hashedIDFA(), c.appVersion(),
                           c.osVersion(), c.configServerLastModifiedString()}) {
    EXPECT_EQ(text, std::nullopt);
  }
  for (const auto number : {c.firstOpenTimestampMilliseconds(), c.sessionNumber(), c.searchAdRetryCount(),
                            c.measurementEnabledState()}) {
    EXPECT_EQ(number, 0);
  }
  for (const double time : {c.lastSuccessfulUploadTimestamp(), c.lastFailedUploadTimestamp(), c.lastBackoffTimestamp(),
                            c.lastDeleteStaleBundlesTimestamp(), c.lastMonitorDataSampledTimestamp(),
                            c.lastSessionActivityClockTime(), c.engagementTimeBeforeSessionStart(),
                            c.lastSearchAdLookUpTimestamp()}) {
    EXPECT_EQ(time, 0.0);
  }
  EXPECT_FALSE(c.startNewSession());
  for (const auto& object : {c.deferredAnalyticsCollection(), c.loadTimestampValue(), c.searchAdCampaignValue()}) {
    EXPECT_EQ(object, std::nullopt);
  }
}

TEST_F(AnalyticsPersistedConfigTest, ValuesGoToTheirKeysAndWrongKindsReadAsAbsent) {
  config_->setAppInstanceID("instance");
  config_->setOSVersion("17.1");
  config_->setFirstOpenTimestampMilliseconds(1600000000123);
  config_->setLastBackoffTimestamp(1600000000.5);
  config_->setStartNewSession(true);
  config_->setDeferredAnalyticsCollection(fd::Value(1));
  config_->setSearchAdCampaignValue(fd::Value("yes"));  // not a number: nothing stored
  config_->setSearchAdCampaignValue(std::nullopt);
  EXPECT_EQ(config_->searchAdCampaignValue(), std::nullopt);
  config_->setSearchAdCampaignValue(fd::Value(true));
  config_->synchronizeToDisk();
  EXPECT_EQ(fileContents(), (fd::Dict{{"/dozada/measurement/app_instance_id", "instance"},
                                      {"/dozada/measurement/os_version", "17.1"},
                                      {"/dozada/measurement/first_open_timestamp_ms", 1600000000123LL},
                                      {"/dozada/measurement/last_backoff", 1600000000.5},
                                      {"/dozada/measurement/start_new_session", true},
                                      {"/dozada/measurement/deferred_analytics_collection", 1},
                                      {"/dozada/measurement/is_search_ad_campaign", true}}));
  EXPECT_EQ(config_->appInstanceID(), "instance");
  EXPECT_EQ(config_->firstOpenTimestampMilliseconds(), 1600000000123);
  EXPECT_TRUE(config_->startNewSession());
  EXPECT_EQ(config_->searchAdCampaignValue(), fd::Value(true));

  // Stored by someone else with the wrong kinds.
  APMUserDefaults store(APMPersistedConfig::kSuiteName);
  store.setObject(fd::Value("7"), APMPersistedConfig::kSessionNumberKey);
  store.setObject(fd::Value(5), APMPersistedConfig::kAppVersionKey);
  EXPECT_EQ(config_->sessionNumber(), 0);
  EXPECT_EQ(config_->appVersion(), std::nullopt);
  config_->setSessionNumber(8);
  EXPECT_EQ(config_->sessionNumber(), 8);

  config_->clearValues();
  config_->synchronizeToDisk();
  EXPECT_TRUE(os::Preferences::shared().copy_domain(std::string(APMPersistedConfig::kSuiteName)).empty());
  EXPECT_EQ(config_->appInstanceID(), std::nullopt);
  EXPECT_FALSE(config_->startNewSession());
}

TEST_F(AnalyticsPersistedConfigTest, MeasurementEnabledStateComesFromTheStandardStore) {
  EXPECT_EQ(config_->measurementEnabledState(), 0);
  for (const int state : {1, 2}) {
    APMUserDefaults::standardUserDefaults().setObject(fd::Value(state), APMPersistedConfig::kMeasurementEnabledStateKey);
    EXPECT_EQ(config_->measurementEnabledState(), state);
  }
  // The suite's key of the same name does not count.
  APMUserDefaults::standardUserDefaults().removeObjectForKey(APMPersistedConfig::kMeasurementEnabledStateKey);
  config_->setInt64(1, APMPersistedConfig::kMeasurementEnabledStateKey);
  EXPECT_EQ(config_->measurementEnabledState(), 0);
}

TEST_F(AnalyticsPersistedConfigTest, MidnightOffsetIsMadeOnceAndSurvivesAReboot) {
  const double offset = config_->midnightOffset();
  EXPECT_GE(offset, 0.0);
  EXPECT_LT(offset, 86400.0);
  const double millis = offset * 1000.0;
  EXPECT_NEAR(millis, std::round(millis), 1e-6);
  EXPECT_EQ(config_->midnightOffset(), offset);
  config_->synchronizeToDisk();
  config_.reset();

  platform::testing::reset();
  ASSERT_TRUE(device().boot());
  auto again = APMPersistedConfig::initWithSuiteName(APMPersistedConfig::kSuiteName);
  EXPECT_EQ(again->midnightOffset(), offset);

  // Other installs draw other offsets.
  std::set<double> drawn;
  for (int i = 0; i < 5; ++i) {
    again->clearValues();
    drawn.insert(again->midnightOffset());
  }
  EXPECT_GT(drawn.size(), 1u);
}

TEST_F(AnalyticsPersistedConfigTest, BurstOfMainThreadWritesGivesOneFlushASecondAfterTheLast) {
  clock_ = ManualClock::install();
  for (int i = 0; i < 10; ++i) {
    if (i) advance(50ms);
    config_->setSessionNumber(i);
  }
  advance(990ms);
  EXPECT_FALSE(std::filesystem::exists(suiteFile()));
  advance(20ms);
  EXPECT_EQ(fileContents(), (fd::Dict{{"/dozada/measurement/session_number", 9}}));

  // A write that asks for no flush of its own is still written by the
  // preferences store's coalesced synchronize: the queue's sync runs on the
  // writer's thread, so that request lands on the writer's run loop as well.
  config_->setStartNewSession(true);
  advance(1100ms);
  EXPECT_EQ(fileContents(), (fd::Dict{{"/dozada/measurement/session_number", 9},
                                      {"/dozada/measurement/start_new_session", true}}));
}

TEST_F(AnalyticsPersistedConfigTest, SharedInstanceIsMadeOnceOverTheSuite) {
  analytics_test::MonitorRecorder recorder;
  APMPersistedConfig* shared = APMPersistedConfig::sharedInstance();
  ASSERT_NE(shared, nullptr);
  EXPECT_EQ(APMPersistedConfig::sharedInstance(), shared);
  EXPECT_EQ(shared->name(), "com.dozada.ruv.measurement");
  EXPECT_TRUE(recorder.codes().empty());
}

}  // namespace
