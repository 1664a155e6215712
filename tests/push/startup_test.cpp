#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "platform/os/preferences.h"
#include "platform/os/profile.h"
#include "platform/os/system.h"
#include "platform/testing/capture.h"
#include "platform/testing/reset.h"
#include "platform/testing/temp_device.h"
#include "push/log.h"
#include "push/reraviror.h"
#include "push/states.h"

namespace {

using namespace push;
using platform::foundation::Dict;
using platform::foundation::Value;

const std::string kId = "1b6a4e2c-5f0d-4c8e-9a3b-7d2f1e0c9b8a";
const std::string kOtherId = "2c7b5f3d-6a1e-4d9f-8b4c-8e3a2f1d0c9b";
const Dict kColdStart{{"UIApplicationLaunchOptionsRemoteNotificationKey", Dict{{"aps", Dict{}}}}};

class StartupTest : public ::testing::Test {
 protected:
  void boot(Dict info = {}, std::string systemVersion = "13.5") {
    device_.emplace("push-startup", std::move(info));
    platform::os::DeviceProfile profile;
    profile.system_version = std::move(systemVersion);
    auto booted = device_->boot({.profile = profile});
    ASSERT_TRUE(booted) << booted.error().description();
  }
  void TearDown() override {
    RerAviror::clearStatics();
    platform::testing::reset();
    device_.reset();
  }
  platform::os::UserDefaults& defaults() { return platform::os::UserDefaults::standard(); }
  static bool logged(const platform::testing::CaptureSinks& capture, std::string_view line) {
    for (const auto& l : capture.log_lines())
      if (l == line) return true;
    return false;
  }

  platform::testing::CaptureSinks capture_;
  std::optional<platform::testing::TempDevice> device_;
};

TEST_F(StartupTest, ShortcutsReadTheCurrentStatesAndTheVersionIsFixed) {
  boot();
  EXPECT_EQ(RerAviror::sdk_version_raw(), "020809");
  EXPECT_EQ(RerAviror::sdk_semantic_version(), "2.8.9");
  EXPECT_FALSE(RerAviror::mUserId());
  EXPECT_FALSE(RerAviror::mEmailUserId());
  EXPECT_FALSE(RerAviror::mEmailAuthToken());
  RerAviror::currentSubscriptionState()->setUserId("p1");
  auto email = RerAviror::currentEmailSubscriptionState();
  email->setEmailUserId("e1");
  email->setEmailAuthCode("h1");
  EXPECT_EQ(RerAviror::mUserId(), "p1");
  EXPECT_EQ(RerAviror::mEmailUserId(), "e1");
  EXPECT_EQ(RerAviror::mEmailAuthToken(), "h1");
}

TEST_F(StartupTest, AppIdResolution) {
  struct Case {
    std::string name;
    Dict info;
    std::optional<std::string> argument;
    std::optional<std::string> stored;
    bool started;
    std::optional<std::string> appId;
    bool playerIdKept;
  };
  const std::vector<Case> cases = {
      {"argument", {}, kId, std::nullopt, true, kId, false},
      {"first Info.plist key", Dict{{"RerAviror_APPID", kId}, {"RivoZuzovo_APPID", kOtherId}}, std::nullopt,
       std::nullopt, true, kId, false},
      {"second Info.plist key", Dict{{"RivoZuzovo_APPID", kOtherId}}, std::nullopt, std::nullopt, true, kOtherId, false},
      {"stored id", {}, std::nullopt, kId, true, kId, true},
      {"changed id", {}, kOtherId, kId, true, kOtherId, false},
      {"same id", {}, kId, kId, true, kId, true},
      {"malformed", {}, "not-a-uuid", kId, false, std::nullopt, true},
      {"nothing at all", {}, std::nullopt, std::nullopt, false, std::nullopt, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    boot(c.info);
    platform::testing::CaptureSinks capture;
    if (c.stored) defaults().set("GT_APP_ID", Value(*c.stored));
    defaults().set("GT_PLAYER_ID", Value("old-player"));
    RerAviror::initWithLaunchOptions(kColdStart, c.argument, nullptr, nullptr,
                                     Dict{{"kOSSettingsKeyAutoPrompt", false}, {"kOSSettingsKeyInAppAlerts", 0}});
    if (c.started) {
      EXPECT_EQ(RerAviror::app_id(), c.appId);
    }
    // Cold start and display settings come after the identifier step.
    EXPECT_EQ(RerAviror::coldStartFromTapOnNotification(), c.started);
    EXPECT_EQ(RerAviror::inFocusDisplayType(), c.started ? 0 : 1);
    EXPECT_EQ(defaults().string("GT_PLAYER_ID").has_value(), c.playerIdKept);
    if (c.started) {
      EXPECT_EQ(defaults().string("GT_APP_ID"), c.appId);
    }
    if (c.name == "malformed") {
      EXPECT_EQ(defaults().string("GT_APP_ID"), kId);  // nothing stored
      EXPECT_TRUE(logged(capture, "FATAL: RerAviror AppId format is invalid.\nExample: 'a7c3e5f1-9b2d-11e4-8f6a-c4d2e1b0a9f8'\n"));
    }
    if (c.name == "stored id" || c.name == "nothing at all") {
      EXPECT_TRUE(logged(capture, "FATAL: RerAviror AppId never set!"));
    }
    RerAviror::clearStatics();
    RerAviror::setInFocusDisplayType(1);
    platform::testing::reset();
    device_.reset();
  }
}

TEST_F(StartupTest, ExampleIdWarnsOnlyForTheArgument) {
  boot(Dict{{"RerAviror_APPID", std::string(kExampleAppId)}});
  RerAviror::initWithLaunchOptions(std::nullopt, std::nullopt);
  EXPECT_EQ(RerAviror::app_id(), std::string(kExampleAppId));
  RerAviror::initWithLaunchOptions(std::nullopt, std::string(kDemoAppId));
  std::size_t warnings = 0;
  for (const auto& l : capture_.log_lines())
    warnings += l.rfind("WARNING: RerAviror Example AppID detected, please update to your app's id found on ", 0) == 0;
  EXPECT_EQ(warnings, 1u);
}

TEST_F(StartupTest, OmitNoAppIdLoggingAcceptsAMissingId) {
  boot();
  RerAviror::initWithLaunchOptions(kColdStart, std::nullopt, nullptr, nullptr,
                                   Dict{{"kOSSettingsKeyInOmitNoAppIdLogging", "YES"}});
  EXPECT_TRUE(capture_.log_lines().empty());
  EXPECT_TRUE(RerAviror::coldStartFromTapOnNotification());
  EXPECT_FALSE(RerAviror::coldStartFromTapOnNotification());  // answered once
}

TEST_F(StartupTest, SettingsTable) {
  struct Case {
    std::string name;
    std::string version;
    Dict settings;
    std::int64_t display;
    bool autoPrompt, confirmURL, providesSettings;
    Value inAppLaunchURL;
  };
  const std::vector<Case> cases = {
      {"none", "13.5", {}, 1, true, false, false, true},
      {"option 2 on iOS 9 is stored as 1", "9.3", Dict{{"kOSSettingsKeyInFocusDisplayOption", 2}}, 1, true, false, false,
       true},
      {"option 2 on iOS 13", "13.5", Dict{{"kOSSettingsKeyInFocusDisplayOption", 2}}, 2, true, false, false, true},
      {"option out of range falls back to alerts", "13.5",
       Dict{{"kOSSettingsKeyInFocusDisplayOption", 5}, {"kOSSettingsKeyInAppAlerts", 0}}, 0, true, false, false, true},
      {"numeric text counts for the loose keys", "13.5", Dict{{"kOSSettingsKeyInFocusDisplayOption", "2"}}, 2, true,
       false, false, true},
      {"number-only keys ignore text", "13.5",
       Dict{{"kOSSettingsKeyAutoPrompt", "0"}, {"kOSSSettingsKeyPromptBeforeOpeningPushURL", "1"},
            {"kOSSettingsKeyInAppLaunchURL", "0"}},
       1, true, false, false, true},
      {"a value with no integer reading counts as absent", "13.5",
       Dict{{"kOSSettingsKeyInFocusDisplayOption", Dict{}}, {"kOSSettingsKeyInAppAlerts", Value()}}, 1, true, false,
       false, true},
      {"provides settings only from iOS 12", "11.4", Dict{{"kOSSettingsKeyProvidesAppNotificationSettings", true}}, 1,
       true, false, false, true},
      {"numbers and booleans", "13.5",
       Dict{{"kOSSettingsKeyAutoPrompt", false}, {"kOSSSettingsKeyPromptBeforeOpeningPushURL", 1},
            {"kOSSettingsKeyInAppLaunchURL", false}, {"kOSSettingsKeyProvidesAppNotificationSettings", true}},
       1, false, true, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    boot({}, c.version);
    RerAviror::initWithLaunchOptions(std::nullopt, kId, nullptr, nullptr, c.settings);
    EXPECT_EQ(RerAviror::inFocusDisplayType(), c.display);
    EXPECT_EQ(RerAviror::autoPromptEnabled(), c.autoPrompt);
    EXPECT_EQ(RerAviror::shouldPromptToShowURL(), c.confirmURL);
    EXPECT_EQ(RerAviror::providesAppNotificationSettings(), c.providesSettings);
    EXPECT_EQ(defaults().object("RERAVIROR_INAPP_LAUNCH_URL"), c.inAppLaunchURL);
    RerAviror::clearStatics();
    RerAviror::setInFocusDisplayType(1);
    platform::testing::reset();
    device_.reset();
  }
}

TEST_F(StartupTest, StoredSwitchesStayWhenTheSettingIsAbsent) {
  boot();
  defaults().set("RERAVIROR_INAPP_LAUNCH_URL", Value(false));
  defaults().set("PROMPT_BEFORE_OPENING_PUSH_URL", Value(true));
  RerAviror::initWithLaunchOptions(std::nullopt, kId, nullptr, nullptr, Dict{});
  EXPECT_EQ(defaults().object("RERAVIROR_INAPP_LAUNCH_URL"), Value(false));
  EXPECT_TRUE(RerAviror::shouldPromptToShowURL());
}

TEST_F(StartupTest, ConsentParksStartUpUntilGranted) {
  boot(Dict{{"RerAviror_require_privacy_consent", true}});
  RerAviror::initWithLaunchOptions(kColdStart, kId, nullptr, nullptr, Dict{});
  EXPECT_TRUE(RerAviror::initPendingConsent());
  EXPECT_EQ(RerAviror::app_id(), std::nullopt);
  EXPECT_EQ(defaults().object("GDPR_CONSENT_GRANTED"), Value(0));

  RerAviror::consentGranted(false);
  EXPECT_EQ(defaults().object("GDPR_CONSENT_GRANTED"), Value(false));
  EXPECT_EQ(RerAviror::app_id(), std::nullopt);
  EXPECT_TRUE(RerAviror::initPendingConsent());

  RerAviror::consentGranted(true);
  EXPECT_EQ(RerAviror::app_id(), kId);
  EXPECT_FALSE(RerAviror::initPendingConsent());
  EXPECT_TRUE(RerAviror::coldStartFromTapOnNotification());

  RerAviror::consentGranted(true);  // nothing parked any more
  EXPECT_FALSE(RerAviror::coldStartFromTapOnNotification());
}

}  // namespace
