// Device and app facts on booted device profiles, the advertising-identifier
// manager's absence, the keychain items and the app-active source.
#include "analytics/identity/environment.h"
#include "analytics/identity/keychain.h"
#include "platform/foundation/plist.h"
#include "platform/os/bundle.h"
#include "platform/os/profile.h"
#include "platform/security/keychain.h"
#include "platform/testing/manual_clock.h"
#include "tests/analytics/support.h"

#ifndef ANALYTICS_TEST_DEVICES_DIR
#error "ANALYTICS_TEST_DEVICES_DIR names the folder of the sample device profiles"
#endif

namespace {

namespace fd = platform::foundation;
namespace os = platform::os;
namespace rt = platform::rt;
namespace sec = platform::security;
using analytics::APMAEU;
using analytics::APMEnvironmentInfo;
using analytics::APMKeychainWrapper;

class AnalyticsEnvironmentTest : public ::testing::Test {
 protected:
  void TearDown() override {
    platform::dispatch::wait_until_idle();
    device_.reset();
  }
  void start(os::DeviceProfile profile, fd::Dict info = {}) {
    device_.emplace("analytics-environment", std::move(info));
    platform::testing::ManualClock::install();
    ASSERT_TRUE(device_->boot({.profile = std::move(profile)}));
    APMAEU::resetForTesting();
    APMEnvironmentInfo::sharedInstance().resetForTesting();
  }
  std::optional<platform::testing::TempDevice> device_;
};

TEST_F(AnalyticsEnvironmentTest, FactsComeFromTheDeviceProfile) {
  auto ios9 = os::DeviceProfile::load(std::filesystem::path(ANALYTICS_TEST_DEVICES_DIR) / "ios9.json");
  ASSERT_TRUE(ios9);
  os::DeviceProfile simulator;
  simulator.machine = "x86_64";
  simulator.preferred_languages = {};
  struct Case {
    const char* name;
    os::DeviceProfile profile;
    std::optional<std::string> model;
    std::string osVersion;
    std::optional<std::string> language;
    bool simulator;
  };
  const std::vector<Case> cases = {
      {"default", os::DeviceProfile{}, "iPhone12,1", "13.5", "en-us", false},
      {"ios9.json", *ios9, "iPhone12,1", "9.3", "en-us", false},
      {"simulator without languages", simulator, "x86_64", "13.5", std::nullopt, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    start(c.profile);
    analytics_test::MonitorRecorder recorder;
    auto& info = APMEnvironmentInfo::sharedInstance();
    EXPECT_EQ(info.deviceModel(), c.model);
    EXPECT_EQ(info.deviceOSVersion(), c.osVersion);
    EXPECT_EQ(APMAEU::systemVersion(), c.osVersion);
    EXPECT_EQ(info.userDefaultLanguage(), c.language);
    EXPECT_EQ(recorder.codes(), c.language ? std::vector<std::int64_t>{} : std::vector<std::int64_t>{14001});
    // Berlin in September 2020 (the manual clock's date).
    EXPECT_EQ(info.timeZoneOffsetMinutes(), 120);
    EXPECT_EQ(APMAEU::isNOD(), c.simulator);
    EXPECT_TRUE(APMAEU::isOSSupported());
    EXPECT_FALSE(APMAEU::isAEX());
    TearDown();
  }
}

TEST_F(AnalyticsEnvironmentTest, ReceiptURLFollowsTheInfoSwitch) {
  struct Case {
    const char* name;
    std::optional<fd::Value> check;
    bool url;
  };
  const std::vector<Case> cases = {
      {"absent", std::nullopt, true},
      {"number 0", fd::Value(0), false},
      {"number 1", fd::Value(1), true},
      {"string", fd::Value("NO"), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fd::Dict info;
    if (c.check) info.set("DavidizeAppStoreReceiptURLCheckEnabled", *c.check);
    start({}, std::move(info));
    const auto url = APMAEU::appStoreRURL();
    EXPECT_EQ(url.has_value(), c.url);
    if (c.url) {
      EXPECT_EQ(url, os::Bundle::main().app_store_receipt_url());
    }
    // The development profile's receipt is a sandbox receipt.
    EXPECT_EQ(APMAEU::isASRS(), c.url);
    TearDown();
  }
}

TEST_F(AnalyticsEnvironmentTest, OldSystemHasNoReceiptAndAppExistsOnlyWithItsClass) {
  os::DeviceProfile old;
  old.system_version = "6.1";
  start(old);
  EXPECT_FALSE(APMAEU::isOSSupported());
  EXPECT_EQ(APMAEU::appStoreRURL(), std::nullopt);
  {
    rt::Runtime::Scope scope;
    EXPECT_EQ(APMAEU::sharedApplication(), nullptr) << "no UIApplication class";
  }
}

TEST_F(AnalyticsEnvironmentTest, MissingAdvertisingClassLogsAtDebugLevel) {
  rt::Runtime::Scope scope;
  start({});
  analytics::APMASIdentifierManager::resetSharedInstanceForTesting();
  analytics_test::MonitorRecorder recorder;
  const auto manager = analytics::APMASIdentifierManager::sharedInstance();
  EXPECT_FALSE(manager->hasLimitedAdTracking());
  EXPECT_FALSE(manager->limitedAdTracking());
  EXPECT_EQ(manager->advertisingIdentifierString(), std::nullopt);
  const auto calls = recorder.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].level, 7);
  EXPECT_EQ(calls[0].code, 5000);
  EXPECT_NE(calls[0].message->find("https://example.com/"), std::string::npos);
  analytics::APMASIdentifierManager::resetSharedInstanceForTesting();
}

TEST_F(AnalyticsEnvironmentTest, KeychainUpsertReadUpdateDelete) {
  start({});
  const std::string appID = "1:1234:ios:abc";
  EXPECT_EQ(APMKeychainWrapper::searchDirectoryForIdentifier("", appID), std::nullopt);
  EXPECT_EQ(APMKeychainWrapper::searchDirectoryForIdentifier("_pfo", ""), std::nullopt);
  EXPECT_EQ(APMKeychainWrapper::keychainValueWithIdentifier("_pfo", appID), std::nullopt);

  EXPECT_FALSE(APMKeychainWrapper::upsertKeychainValue("", "_pfo", appID));
  auto query = *APMKeychainWrapper::searchDirectoryForIdentifier("_pfo", appID);
  query.set(std::string(sec::kc::match_limit), fd::Value(sec::kc::match_limit_all));
  query.set(std::string(sec::kc::return_attributes), fd::Value(true));
  fd::Value items;
  EXPECT_EQ(sec::item_copy_matching(query, &items), sec::status::item_not_found) << "an empty value adds nothing";

  EXPECT_TRUE(APMKeychainWrapper::upsertKeychainValue("1", "_pfo", appID));
  EXPECT_EQ(APMKeychainWrapper::keychainValueWithIdentifier("_pfo", appID), "1");
  EXPECT_TRUE(APMKeychainWrapper::upsertKeychainValue("2", "_pfo", appID));
  EXPECT_EQ(APMKeychainWrapper::keychainValueWithIdentifier("_pfo", appID), "2");
  EXPECT_EQ(APMKeychainWrapper::keychainValueWithIdentifier("_pfo", "other-app"), std::nullopt);

  ASSERT_EQ(sec::item_copy_matching(query, &items), sec::status::ok);
  ASSERT_TRUE(items.array());
  ASSERT_EQ(items.array()->size(), 1u) << "the update changed the item in place";
  const fd::Dict& item = *(*items.array())[0].dict();
  EXPECT_EQ(*item.find(sec::kc::accessible), fd::Value(sec::kc::accessible_always_this_device_only));
  EXPECT_EQ(*item.find(sec::kc::account), fd::Value(fd::Bytes{'_', 'p', 'f', 'o'}));

  APMKeychainWrapper::deleteKeychainValueWithIdentifier("_pfo", appID);
  EXPECT_EQ(APMKeychainWrapper::keychainValueWithIdentifier("_pfo", appID), std::nullopt);
}

TEST(AnalyticsAppActiveTest, FollowsTheInstalledSource) {
  EXPECT_FALSE(analytics::APMIsAppActive());
  bool active = true;
  analytics::APMSetAppActiveSource([&active] { return active; });
  EXPECT_TRUE(analytics::APMIsAppActive());
  active = false;
  EXPECT_FALSE(analytics::APMIsAppActive());
  analytics::APMSetAppActiveSource({});
  EXPECT_FALSE(analytics::APMIsAppActive());
}

}  // namespace
