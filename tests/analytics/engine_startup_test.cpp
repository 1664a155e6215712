// The engine's start-up and schedule: the wipe rule, the first-open hour,
// creation with an empty app ID, the first-open and app-update events of a
// start, and updateSchedule against an upload double.
#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <atomic>
#include <future>
#include <string>
#include <vector>

#include "analytics/config/persisted_config.h"
#include "analytics/config/remote_config.h"
#include "analytics/config/scheduler.h"
#include "analytics/identity/keychain.h"
#include "analytics/support/files.h"
#include "platform/dispatch/clock.h"
#include "platform/os/facts.h"
#include "platform/testing/file_faults.h"
#include "platform/testing/manual_clock.h"
#include "testing/harness/harness.h"
#include "tests/analytics/engine_support.h"
#include "tests/analytics/support.h"

namespace {

namespace fd = platform::foundation;
using analytics::APMAnalytics;
using analytics::APMMeasurement;
using analytics_test::EventListenerRecorder;
using analytics_test::MonitorRecorder;
using platform::testing::ManualClock;

std::ptrdiff_t startupCountOf(const std::vector<std::int64_t>& codes, std::int64_t code) {
  return std::count(codes.begin(), codes.end(), code);
}

TEST(AnalyticsEngineRules, WipeRuleTable) {
  struct Case {
    std::optional<std::string> app, g, a, pg, pa;
    bool wipe;
  };
  const std::optional<std::string> none;
  const std::vector<Case> cases{
      {"x", "G1", none, "G2", none, true},   // both Dozada IDs set and different
      {"x", "G1", none, "G1", none, false},  // the same
      {"x", "G1", "A1", "G1", "A2", false},  // the Dozada IDs decide
      {"x", "G1", none, none, "A1", true},   // (1)
      {"x", "G1", "A1", none, "A2", true},   // (2)
      {"x", "G1", "A1", none, "A1", false},  // (2) with equal VeZaz IDs
      {"x", none, "A1", "G1", none, true},   // (3)
      {"", none, "A1", "G1", none, false},   // (3) without an app ID
      {"x", none, none, none, "A1", true},   // (4)
      {"A1", none, none, none, "A1", false}, // (4) with the app ID equal to the stored VeZaz ID
      {"x", none, none, none, none, false},
      {"x", "", "", "", "", false},          // empty texts count as unset
  };
  for (const auto& c : cases) {
    EXPECT_EQ(APMMeasurement::shouldWipeDataWithAppID(c.app, c.g, c.a, c.pg, c.pa), c.wipe)
        << c.app.value_or("-") << " " << c.g.value_or("-") << " " << c.a.value_or("-") << " "
        << c.pg.value_or("-") << " " << c.pa.value_or("-");
  }
}

TEST(AnalyticsEngineRules, FirstOpenTimeMovesToTheNextFullHour) {
  constexpr std::int64_t ten = 1599991200000;  // 2020-09-13T10:00:00.000Z
  EXPECT_EQ(APMMeasurement::timestampMillisRoundedUpToNextHour(ten), ten + 3600000);
  EXPECT_EQ(APMMeasurement::timestampMillisRoundedUpToNextHour(ten + 3599000), ten + 3600000);
  EXPECT_EQ(APMMeasurement::timestampMillisRoundedUpToNextHour(ten + 1), ten + 3600000);
}

class AnalyticsEngineStartupTest : public analytics_test::AnalyticsEngineTest {};

TEST_F(AnalyticsEngineStartupTest, AnEmptyAppIDNeverMakesAnEngine) {
  entryStarts_ = false;
  boot();
  MonitorRecorder monitor;
  APMMeasurement::initializeSharedInstanceWithAppID("", true, false, std::nullopt);
  APMMeasurement::initializeSharedInstanceWithAppID(std::string(analytics_test::kTestAppID), true, false, std::nullopt);
  EXPECT_FALSE(APMMeasurement::hasSharedInstance());
  EXPECT_EQ(APMMeasurement::sharedInstance(), nullptr);
  EXPECT_EQ(startupCountOf(monitor.codes(), 23170), 1);
}

TEST_F(AnalyticsEngineStartupTest, AFirstStartReportsFirstOpenAtTheLoadTime) {
  auto clock = ManualClock::install(1599991200.0);  // 10:00:00.000
  boot();
  EventListenerRecorder listener;
  APMAnalytics::load();
  APMAnalytics::startWithAppID(std::string(analytics_test::kTestAppID), "fa", analytics_test::startOptions());
  ASSERT_TRUE(listener.waitFor(2));
  const auto events = listener.events();
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[0].name, "_f");
  EXPECT_EQ(events[1].name, "_e");
  EXPECT_EQ(events[0].timestamp, 1599991200.0);
  EXPECT_EQ(events[1].timestamp, 1599991200.0);
  EXPECT_EQ(events[0].parameter("_pfo"), fd::Value(0));
  EXPECT_EQ(events[1].parameter("_et"), fd::Value(1));

  auto engine = APMMeasurement::sharedInstance();
  ASSERT_TRUE(engine);
  std::promise<analytics::APMUserAttributeRef> firstOpenTime;
  engine->userAttributeWithName("_fot", [&](analytics::APMUserAttributeRef attribute) {
    firstOpenTime.set_value(attribute);
  });
  auto future = firstOpenTime.get_future();
  ASSERT_EQ(future.wait_for(analytics_test::kEngineHang), std::future_status::ready);
  const auto fot = future.get();
  ASSERT_TRUE(fot);
  EXPECT_EQ(fot->value()->int64Value(), 1599994800000);  // 11:00
  // The stored "_f" raised the keychain's count of first opens.
  EXPECT_EQ(analytics::APMKeychainWrapper::keychainValueWithIdentifier("_pfo", "org.example.intranet"), "1");
}

TEST_F(AnalyticsEngineStartupTest, AnAppVersionChangeLogsTheUpdateWithThePreviousVersion) {
  boot({}, fd::Dict{{"CFBundleShortVersionString", fd::Value("1.1")}});
  analytics::APMPersistedConfig::sharedInstance()->setAppVersion("1.0");
  EventListenerRecorder listener;
  APMAnalytics::startWithAppID(std::string(analytics_test::kTestAppID), "fa", analytics_test::startOptions());
  ASSERT_TRUE(listener.waitFor(3));
  const auto events = listener.events();
  const auto update = std::find_if(events.begin(), events.end(), [](const auto& e) { return e.name == "_au"; });
  ASSERT_NE(update, events.end());
  EXPECT_EQ(update->origin, "auto");
  EXPECT_EQ(update->parameter("_pv"), fd::Value("1.0"));
  EXPECT_EQ(analytics::APMPersistedConfig::sharedInstance()->appVersion(), "1.1");
}

TEST_F(AnalyticsEngineStartupTest, ADatabaseThatCannotOpenLeavesAnalyticsOffUntilTheNextEnabling) {
  boot();
  const std::filesystem::path folder =
      std::filesystem::path(analytics::APMApplicationSupportPath(APMMeasurement::kDatabaseName)).parent_path();
  // Both attempts of the component start fail to make the database's folder
  // (the store tries twice in each).
  for (int i = 0; i < 4; ++i) {
    platform::testing::fail_next(platform::testing::FileOp::create_directory, folder, EACCES);
  }
  MonitorRecorder monitor;
  EventListenerRecorder listener;
  APMAnalytics::startWithAppID(std::string(analytics_test::kTestAppID), "fa", analytics_test::startOptions());
  ASSERT_TRUE(analytics_test::drainEntry());
  auto engine = APMMeasurement::sharedInstance();
  ASSERT_TRUE(engine);
  for (int i = 0; i < 2; ++i) analytics_test::drainWorker(*engine);
  EXPECT_EQ(startupCountOf(monitor.codes(), 23011), 1);
  EXPECT_EQ(startupCountOf(monitor.codes(), 23012), 0);
  EXPECT_EQ(startupCountOf(monitor.codes(), 23016), 0);
  EXPECT_FALSE(engine->isEnabled());
  EXPECT_EQ(engine->database(), nullptr);

  APMAnalytics::setAnalyticsEnabled(true);
  ASSERT_TRUE(analytics_test::drainEntry());
  analytics_test::drainWorker(*engine);
  EXPECT_TRUE(engine->isEnabled());
  EXPECT_EQ(startupCountOf(monitor.codes(), 23016), 1);
  EXPECT_EQ(startupCountOf(monitor.codes(), 23012), 1);
  ASSERT_TRUE(engine->database());
  ASSERT_TRUE(listener.waitFor(2));
  EXPECT_EQ(listener.names()[0], "_f");
}

// An upload double with a settable answer.
class UploadDouble : public analytics::APMUploadSeam {
 public:
  std::atomic<bool> hasData{true};
  std::atomic<double> next{0};
  std::atomic<int> terminated{0};
  bool hasDataToUpload(APMMeasurement&) override { return hasData; }
  double nextUploadingTime(APMMeasurement&) override { return next; }
  void uploadData(APMMeasurement&) override {}
  void swapBackgroundTaskWithNewTaskID(APMMeasurement&, std::uint64_t) override {}
  void terminateBackgroundTask(APMMeasurement&) override { ++terminated; }
  void observeApplicationState(APMMeasurement&) override {}
  void handleAppDidFinishLaunching(const fd::Dict&) override {}
  void logNetworkMessage(std::int64_t, std::int64_t, const std::optional<std::string>&,
                         const std::vector<fd::Value>&) override {}
};

TEST(AnalyticsEngineSchedule, UpdateScheduleAgainstAnUploadDouble) {
  testing::Harness h;
  auto upload = std::make_shared<UploadDouble>();
  analytics::APMInstallUploadSeam(upload);
  // Deactivated: the engine never starts its components, only its schedule is driven.
  auto engine = APMMeasurement::initWithAppID(std::string(analytics_test::kTestAppID), true, true, std::nullopt);
  ASSERT_TRUE(engine);
  ASSERT_TRUE(engine->network());
  MonitorRecorder monitor;
  const auto schedule = [&] {
    monitor.clear();
    engine->scheduler()->dispatchSyncOnWorkerQueueBlockID("AnalyticsEngineTest:2", [&] { engine->updateSchedule(); });
    return monitor.calls();
  };
  const auto codeOf = [](const std::vector<analytics_test::MonitorCall>& calls, std::int64_t code) {
    return std::find_if(calls.begin(), calls.end(), [&](const auto& c) { return c.code == code; }) != calls.end();
  };
  const double now = platform::dispatch::Clock::current().now_since_1970();

  upload->hasData = false;
  EXPECT_TRUE(codeOf(schedule(), 23024));
  upload->hasData = true;
  upload->next = 0;
  EXPECT_TRUE(codeOf(schedule(), 23025));
  upload->next = now + 600;
  if (!engine->network()->isNetworkConnected()) {
    EXPECT_TRUE(codeOf(schedule(), 23026));
    EXPECT_EQ(engine->network()->reachabilityDelegate(), engine);
    ASSERT_TRUE(h.run_until([&] { return engine->network()->isNetworkConnected(); }));
  }
  // Due in 10 minutes: armed.
  EXPECT_TRUE(codeOf(schedule(), 23028));
  ASSERT_TRUE(engine->alarm().scheduledTimestamp());
  EXPECT_NEAR(*engine->alarm().scheduledTimestamp(), now + 600, 5);
  // An alarm due earlier than the next upload stays.
  upload->next = now + 1200;
  EXPECT_TRUE(codeOf(schedule(), 23027));
  EXPECT_NEAR(*engine->alarm().scheduledTimestamp(), now + 600, 5);
  // A sooner upload re-arms it.
  upload->next = now + 60;
  EXPECT_TRUE(codeOf(schedule(), 23028));
  EXPECT_NEAR(*engine->alarm().scheduledTimestamp(), now + 60, 5);

  // A back-off that started 10 s ago moves the earlier alarm to its end.
  const double interval = APMMeasurement::remoteConfig()->uploadingBackoffInterval();
  engine->persistedConfig()->setLastBackoffTimestamp(now - 10);
  upload->next = now + 120;
  EXPECT_TRUE(codeOf(schedule(), 23028));
  EXPECT_NEAR(*engine->alarm().scheduledTimestamp(), now - 10 + interval, 5);
  engine->persistedConfig()->setLastBackoffTimestamp(0);

  // Suspended 10 minutes ago: about 3000 s left, the alarm is cancelled.
  const auto boot = platform::os::sysctl_int("kern.boottime");
  ASSERT_TRUE(boot);
  engine->setSuspendedUploadTimestamp(now - static_cast<double>(*boot) - 600);
  const int terminatedBefore = upload->terminated;
  const auto calls = schedule();
  const auto suspended = std::find_if(calls.begin(), calls.end(), [](const auto& c) { return c.code == 23023; });
  ASSERT_NE(suspended, calls.end());
  ASSERT_EQ(suspended->contexts.size(), 1u);
  EXPECT_NEAR(suspended->contexts[0].as_double().value_or(0), 3000, 5);
  EXPECT_FALSE(engine->alarm().scheduledTimestamp());
  EXPECT_EQ(upload->terminated, terminatedBefore + 1);
  analytics::APMInstallUploadSeam(nullptr);
}

TEST(AnalyticsEngineSchedule, WithoutAnUploadSeamNothingIsArmed) {
  testing::Harness h;
  auto engine = APMMeasurement::initWithAppID(std::string(analytics_test::kTestAppID), true, true, std::nullopt);
  ASSERT_TRUE(engine);
  MonitorRecorder monitor;
  engine->scheduler()->dispatchSyncOnWorkerQueueBlockID("AnalyticsEngineTest:3", [&] { engine->updateSchedule(); });
  EXPECT_FALSE(engine->alarm().scheduledTimestamp());
  for (std::int64_t code : {23024, 23025, 23026, 23027, 23028}) EXPECT_EQ(startupCountOf(monitor.codes(), code), 0) << code;
}

}  // namespace
