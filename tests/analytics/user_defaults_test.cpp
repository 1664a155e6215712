// The analytics preferences store: key and value checks, the coalesced
// synchronisation on the main run loop, the backup flag of the suite's file,
// and the two modes chosen by Info.plist (read once per process, so each mode
// has its own test).
#include <cerrno>
#include <filesystem>
#include <future>

#include "analytics/support/files.h"
#include "analytics/support/user_defaults.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"
#include "platform/foundation/plist.h"
#include "platform/foundation/url.h"
#include "platform/os/file_manager.h"
#include "platform/os/preferences.h"
#include "platform/testing/file_faults.h"
#include "platform/testing/manual_clock.h"
#include "tests/analytics/support.h"

namespace {

namespace fd = platform::foundation;
namespace os = platform::os;
using analytics::APMUserDefaults;
using analytics_test::hasLine;
using analytics_test::loggedLines;
using platform::dispatch::RunLoop;
using platform::testing::ManualClock;
using namespace std::chrono_literals;

constexpr const char* kSuite = "com.dozada.ruv.measurement";

class AnalyticsUserDefaultsTest : public analytics_test::AnalyticsDeviceTest {
 protected:
  static std::filesystem::path suiteFile() { return analytics::APMPreferencesPlistPath(kSuite); }
  // The suite's keys as written to its file.
  static fd::Dict fileContents() {
    auto bytes = os::FileManager::shared().read(suiteFile());
    if (!bytes) return {};
    auto value = fd::plist::parse(*bytes);
    return value && value->dict() ? *value->dict() : fd::Dict{};
  }
  static bool excludedFromBackup() {
    return os::FileManager::shared().is_excluded_from_backup(suiteFile()).value_or(false);
  }
  // Moves the manual clock and lets the main run loop run what fell due.
  void advance(platform::dispatch::Duration d) {
    clock_->advance(d);
    RunLoop::main().run_pending();
  }
  std::shared_ptr<ManualClock> clock_;
};

TEST_F(AnalyticsUserDefaultsTest, InvalidKeysAndValuesWarnAndChangeNothing) {
  boot();
  APMUserDefaults store(kSuite);
  EXPECT_TRUE(store.useCFPreferencesLibrary());  // no Info.plist switch

  EXPECT_EQ(store.objectForKey(""), std::nullopt);
  store.setObject(fd::Value("v"), "");
  store.setObject(fd::Value::object(std::make_shared<fd::Url>(*fd::Url::parse("https://example.org/"))), "url");
  store.setObject(fd::Value(), "null");
  store.setObject(fd::Value(fd::Array{fd::Value("ok"), fd::Value()}), "nested");
  EXPECT_TRUE(os::Preferences::shared().copy_domain(kSuite).empty());

  const auto lines = loggedLines();
  EXPECT_TRUE(hasLine(lines, "<DurArudirovizo>[I-ACS041001] Cannot get object for invalid user default key."));
  EXPECT_TRUE(hasLine(lines, "<DurArudirovizo>[I-ACS041002] Cannot set object for invalid user default key."));
  EXPECT_TRUE(hasLine(lines, "<DurArudirovizo>[I-ACS041003] Cannot set invalid object to user defaults. Must be a "
                             "string or number or an array. Value <NSObject: 0x"));
  int refused = 0;
  for (const auto& line : lines) refused += line.find("[I-ACS041003]") != std::string::npos;
  EXPECT_EQ(refused, 3);
  for (const auto& record : core_test::system_log_records()) {
    if (record.message.find("I-ACS04100") != std::string::npos) {
      EXPECT_EQ(record.level, "Warning") << record.message;
    }
  }

  // Every property-list kind is accepted, a date among them.
  const fd::Value accepted[] = {fd::Value("text"), fd::Value(7), fd::Value(2.5), fd::Value(true),
                                fd::Value(fd::Date{1600000000}), fd::Value(fd::Bytes{1, 2}),
                                fd::Value(fd::Array{fd::Value(1)}), fd::Value(fd::Dict{{"a", 1}})};
  for (const auto& value : accepted) {
    store.setObject(value, "key");
    EXPECT_EQ(store.objectForKey("key"), value) << fd::describe(value);
  }
  store.setObject(std::nullopt, "key");
  EXPECT_EQ(store.objectForKey("key"), std::nullopt);
}

TEST_F(AnalyticsUserDefaultsTest, TypedAccessorsAndRemovalInCFPreferencesMode) {
  boot();
  APMUserDefaults store(kSuite);
  store.setInteger(-42, "i");
  store.setDouble(2.5, "d");
  store.setFloat(0.25f, "f");
  store.setBool(true, "b");
  store.setObject(fd::Value("17 apples"), "s");
  EXPECT_EQ(store.integerForKey("i"), -42);
  EXPECT_EQ(store.doubleForKey("d"), 2.5);
  EXPECT_EQ(store.floatForKey("f"), 0.25f);
  EXPECT_TRUE(store.boolForKey("b"));
  EXPECT_EQ(store.integerForKey("s"), 17);  // a text by its leading number
  EXPECT_EQ(store.integerForKey("missing"), 0);
  EXPECT_FALSE(store.boolForKey("missing"));
  EXPECT_EQ(store.doubleForKey("missing"), 0.0);
  // The container getters answer the value unchanged, whatever its kind.
  EXPECT_EQ(store.stringForKey("i"), fd::Value(-42));
  EXPECT_EQ(store.arrayForKey("s"), fd::Value("17 apples"));

  store.removeObjectForKey("i");
  EXPECT_EQ(store.objectForKey("i"), std::nullopt);

  // The application's own store is another domain.
  APMUserDefaults own;
  own.setInteger(1, "i");
  store.clearAllData();
  EXPECT_TRUE(os::Preferences::shared().copy_key_list(kSuite).empty());
  EXPECT_EQ(own.integerForKey("i"), 1);
  store.clearAllData();  // nothing left: nothing happens
  EXPECT_TRUE(APMUserDefaults::standardUserDefaults().isPreferenceFileExcluded());
}

TEST_F(AnalyticsUserDefaultsTest, BurstOfWritesGivesOneSynchronizeASecondAfterTheLast) {
  boot();
  clock_ = ManualClock::install();
  APMUserDefaults store(kSuite);
  for (int i = 0; i < 10; ++i) {
    if (i) advance(50ms);
    store.setInteger(i, "n");
  }
  // 1.0 s after the first write, 0.55 s after the last: nothing written yet.
  advance(550ms);
  EXPECT_FALSE(std::filesystem::exists(suiteFile()));
  advance(440ms);
  EXPECT_FALSE(std::filesystem::exists(suiteFile()));
  advance(20ms);
  EXPECT_EQ(fileContents(), (fd::Dict{{"n", 9}}));
  EXPECT_TRUE(excludedFromBackup());
  EXPECT_TRUE(store.isPreferenceFileExcluded());
  // The later rewrite by the platform keeps the flag.
  store.setInteger(10, "n");
  advance(1100ms);
  EXPECT_EQ(fileContents(), (fd::Dict{{"n", 10}}));
  EXPECT_TRUE(excludedFromBackup());
}

TEST_F(AnalyticsUserDefaultsTest, PendingSynchronizeOfADestroyedStoreDoesNothing) {
  boot();
  clock_ = ManualClock::install();
  {
    APMUserDefaults store(kSuite);
    store.setInteger(1, "n");
  }
  advance(1100ms);
  EXPECT_FALSE(std::filesystem::exists(suiteFile()));

  // A write from a queue schedules on a run loop that never turns; the
  // platform writes the domain by itself 5 s after the change.
  APMUserDefaults store(kSuite);
  std::promise<void> written;
  platform::dispatch::Queue::global().async([&] {
    store.setInteger(2, "n");
    written.set_value();
  });
  written.get_future().wait();
  advance(1100ms);
  EXPECT_FALSE(std::filesystem::exists(suiteFile()));
  advance(std::chrono::seconds(5));
  EXPECT_EQ(fileContents(), (fd::Dict{{"n", 2}}));
}

TEST_F(AnalyticsUserDefaultsTest, FailedBackupExclusionIsLoggedAndRetried) {
  boot();
  APMUserDefaults store(kSuite);
  store.setObject(fd::Value("v"), "k");
  platform::testing::fail_next(platform::testing::FileOp::set_attributes, suiteFile(), EIO);
  store.synchronize();
  EXPECT_EQ(fileContents(), (fd::Dict{{"k", "v"}}));
  EXPECT_FALSE(excludedFromBackup());
  EXPECT_FALSE(store.isPreferenceFileExcluded());
  EXPECT_TRUE(hasLine(loggedLines(), "<DurArudirovizo>[I-ACS041000] Failed to exclude preferences file from backup. "
                                     "Error code Error Domain=NSCocoaErrorDomain"));

  store.synchronize();
  EXPECT_TRUE(excludedFromBackup());
  EXPECT_TRUE(store.isPreferenceFileExcluded());
}

TEST_F(AnalyticsUserDefaultsTest, FailedWriteLogs41004) {
  boot();
  APMUserDefaults store(kSuite);
  store.setObject(fd::Value("v"), "k");
  platform::testing::fail_next(platform::testing::FileOp::write, suiteFile().parent_path(), EIO);
  store.synchronize();
  EXPECT_FALSE(std::filesystem::exists(suiteFile()));
  core::GULLoggerWaitForQueue();
  int logged = 0;
  for (const auto& record : core_test::system_log_records()) {
    if (record.message.find("<DurArudirovizo>[I-ACS041004] Cannot synchronize user defaults to disk") ==
        std::string::npos) {
      continue;
    }
    ++logged;
    EXPECT_EQ(record.level, "Error");
  }
  EXPECT_EQ(logged, 1);
  // Nothing was lost: the next synchronisation writes it.
  store.synchronize();
  EXPECT_EQ(fileContents(), (fd::Dict{{"k", "v"}}));
}

TEST_F(AnalyticsUserDefaultsTest, InfoPlistFalseSelectsTheDefaultsObject) {
  boot({}, {{"UseCFPreferencesLibrary", false}});
  APMUserDefaults store(kSuite);
  EXPECT_FALSE(store.useCFPreferencesLibrary());
  store.setObject(fd::Value("v"), "k");
  EXPECT_EQ(os::UserDefaults::suite(kSuite)->object("k"), fd::Value("v"));
  store.removeObjectForKey("k");
  EXPECT_EQ(store.objectForKey("k"), std::nullopt);

  store.setObject(fd::Value(1), "a");
  store.setObject(fd::Value(2), "b");
  store.clearAllData();
  EXPECT_TRUE(os::UserDefaults::suite(kSuite)->dictionary_representation().empty());

  // The application's own store works on the standard object and clears the bundle's domain.
  APMUserDefaults own;
  own.setObject(fd::Value(3), "c");
  EXPECT_EQ(os::UserDefaults::standard().object("c"), fd::Value(3));
  own.clearAllData();
  EXPECT_EQ(os::UserDefaults::standard().object("c"), std::nullopt);

  // The switch at run time, both ways.
  store.setUseCFPreferencesLibrary(true);
  EXPECT_TRUE(store.useCFPreferencesLibrary());
  store.setObject(fd::Value("cf"), "k");
  EXPECT_EQ(os::Preferences::shared().copy_app_value("k", kSuite), fd::Value("cf"));
  store.setUseCFPreferencesLibrary(false);
  EXPECT_FALSE(store.useCFPreferencesLibrary());
  EXPECT_EQ(store.objectForKey("k"), fd::Value("cf"));
}

TEST_F(AnalyticsUserDefaultsTest, InfoPlistSwitchCountsOnlyAsANumber) {
  boot({}, {{"UseCFPreferencesLibrary", "NO"}});
  EXPECT_TRUE(APMUserDefaults::userPreferenceEnabled());
  APMUserDefaults store(kSuite);
  EXPECT_TRUE(store.useCFPreferencesLibrary());
}

}  // namespace
