#include <atomic>
#include <string>
#include <vector>

#include "platform/os/preferences.h"
#include "push/prompt.h"
#include "tests/push/feature_fixture.h"

namespace push_test {
namespace {

using push::RerAviror;

class SubscriptionCounter : public push::OSSubscriptionObserver {
 public:
  std::atomic<int> changes{0};
  void onOSSubscriptionChanged(const std::shared_ptr<push::OSSubscriptionStateChanges>&) override { ++changes; }
};

class PromptTest : public FeatureTest {
 protected:
  // The user has refused push permission before.
  std::shared_ptr<ScriptedAdapter> refused() {
    auto adapter = std::make_shared<ScriptedAdapter>();
    adapter->prompted = adapter->answered = true;
    adapter->types = 0;
    RerAviror::setOsNotificationSettings(adapter);
    return adapter;
  }
  ui::AlertController* shown() {
    return dynamic_cast<ui::AlertController*>(app_->key_window()->root_view_controller()->presented());
  }
  std::vector<bool> answers_;
  std::function<void(bool)> record() {
    return [this](bool accepted) { answers_.push_back(accepted); };
  }
  platform::os::UserDefaults& defaults() { return platform::os::UserDefaults::standard(); }
};

TEST_F(PromptTest, RefusedBeforeTheBlockGetsNoAndOpenSettingsOpensTheSettings) {
  start({.info = foundation::Dict{{"Reraviror_settings_fallback_message", "Turn them on, please"}},
         .profile = {{"can_open_schemes", {"http", "https", "app-settings"}}}});
  auto adapter = refused();
  RerAviror::promptForPushNotificationsWithUserResponse(record(), true);
  EXPECT_EQ(answers_, std::vector<bool>{false});
  EXPECT_EQ(adapter->promptCalls, 0);
  runMain();
  ASSERT_NE(shown(), nullptr);
  EXPECT_EQ(shown()->title, "Open Settings");
  EXPECT_EQ(shown()->message, "Turn them on, please");
  ASSERT_EQ(shown()->actions().size(), 2u);
  EXPECT_EQ(shown()->actions()[0].title, "Cancel");
  EXPECT_EQ(shown()->actions()[1].title, "Open Settings");
  shown()->tap(1);
  runMain();
  advance(0.25);
  EXPECT_EQ(app_->opened_urls(), std::vector<std::string>{std::string(push::kOpenSettingsURLString)});
  EXPECT_EQ(answers_.size(), 1u);
}

TEST_F(PromptTest, DefaultMessageAndCancelDoesNothingFurther) {
  start({.profile = {{"can_open_schemes", {"app-settings"}}}});
  refused();
  RerAviror::promptForPushNotificationsWithUserResponse(record(), true);
  runMain();
  ASSERT_NE(shown(), nullptr);
  EXPECT_EQ(shown()->message, std::string(push::kSettingsFallbackDefaultMessage));
  shown()->tap(0);
  runMain();
  advance(0.25);
  EXPECT_TRUE(app_->opened_urls().empty());
  EXPECT_EQ(answers_, std::vector<bool>{false});
}

TEST_F(PromptTest, SettingsThatCannotBeOpenedAreLogged) {
  start();
  RerAviror::presentAppSettings();
  EXPECT_TRUE(app_->opened_urls().empty());
  EXPECT_TRUE(logged("Unable to open settings for this application"));
}

TEST_F(PromptTest, BelowTenOpenSettingsDoesNothing) {
  start({.profile = {{"system_version", "9.3"},
                     {"frameworks", {"WebKit", "StoreKit"}},
                     {"can_open_schemes", {"app-settings"}}}});
  refused();
  RerAviror::promptForPushNotificationsWithUserResponse(record(), true);
  runMain();
  ASSERT_NE(shown(), nullptr);
  shown()->tap(1);
  runMain();
  advance(0.25);
  EXPECT_TRUE(app_->opened_urls().empty());
  EXPECT_FALSE(logged("Unable to open settings"));
  EXPECT_EQ(answers_, std::vector<bool>{false});
}

TEST_F(PromptTest, WithoutTheFallbackThePlainPromptRuns) {
  struct Case {
    const char* name;
    bool prompted;
    std::int32_t types;
    bool fallback;
  };
  const Case cases[] = {
      {"fallback off", true, 0, false},
      {"never prompted", false, 0, true},
      {"accepted before", true, 7, true},
  };
  start();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RerAviror::clearStatics();
    auto adapter = std::make_shared<ScriptedAdapter>();
    adapter->prompted = adapter->answered = c.prompted;
    adapter->types = c.types;
    adapter->accepted = c.types != 0;
    RerAviror::setOsNotificationSettings(adapter);
    RerAviror::promptForPushNotificationsWithUserResponse(nullptr, c.fallback);
    runMain();
    EXPECT_EQ(adapter->promptCalls, 1);
    EXPECT_EQ(shown(), nullptr);
  }
}

TEST_F(PromptTest, SubscriptionSwitch) {
  start();
  auto adapter = std::make_shared<ScriptedAdapter>();
  adapter->prompted = adapter->answered = adapter->accepted = true;
  adapter->types = 7;
  RerAviror::setOsNotificationSettings(adapter);
  setPlayer("p1");
  RerAviror::currentSubscriptionState()->setPushToken("a1b2c3d4");
  auto observer = std::make_shared<SubscriptionCounter>();
  RerAviror::addSubscriptionObserver(observer);
  runMain();
  const int before = observer->changes;

  RerAviror::setSubscription(false);
  EXPECT_EQ(defaults().string("RERAVIROR_SUBSCRIPTION"), "no");
  EXPECT_TRUE(RerAviror::shouldDelaySubscriptionSettingsUpdate());
  EXPECT_FALSE(RerAviror::currentSubscriptionState()->userSubscriptionSetting());
  ASSERT_TRUE(runUntil([&] { return count("PUT", "players/p1") == 1; }));
  EXPECT_EQ(body("PUT", "players/p1")["notification_types"], -2);
  settle();
  EXPECT_EQ(observer->changes, before + 1);

  RerAviror::setSubscription(true);
  EXPECT_FALSE(defaults().object("RERAVIROR_SUBSCRIPTION"));
  EXPECT_TRUE(RerAviror::currentSubscriptionState()->userSubscriptionSetting());
}

TEST_F(PromptTest, ASwitchChangeWithNothingToSendDoesNotSilenceSubscriptionObservers) {
  start();
  auto observer = std::make_shared<SubscriptionCounter>();
  RerAviror::addSubscriptionObserver(observer);
  runMain();
  // No player id yet: no types update goes out, so none can end the delay.
  RerAviror::setSubscription(false);
  settle();
  EXPECT_EQ(fake().count(), 0u);
  EXPECT_FALSE(RerAviror::shouldDelaySubscriptionSettingsUpdate());
  const int before = observer->changes;
  RerAviror::setSubscription(true);
  RerAviror::currentSubscriptionState()->setAccepted(true);
  RerAviror::currentSubscriptionState()->setPushToken("a1b2c3d4");
  RerAviror::currentSubscriptionState()->setUserId(std::string("p1"));
  runMain();
  EXPECT_GT(observer->changes, before);
  EXPECT_TRUE(RerAviror::currentSubscriptionState()->subscribed());
}

TEST_F(PromptTest, HashedEmailIsParkedAsGivenAndSentAsDigestsOfTheTrimmedAddress) {
  start();
  RerAviror::syncHashedEmail(std::nullopt);
  EXPECT_TRUE(logged("RerAviror syncHashedEmail: The provided email is nil"));
  RerAviror::syncHashedEmail(std::string("  no-at-sign "));
  EXPECT_TRUE(logged("RerAviror syncHashedEmail: The provided email is invalid"));
  EXPECT_FALSE(RerAviror::hashedEmailToSync());

  RerAviror::syncHashedEmail(std::string(" A@B.com "));
  EXPECT_EQ(RerAviror::hashedEmailToSync(), " A@B.com ");
  settle();
  EXPECT_EQ(fake().count(), 0u);

  setPlayer("p1");
  RerAviror::syncPendingHashedEmail();
  EXPECT_FALSE(RerAviror::hashedEmailToSync());
  ASSERT_TRUE(runUntil([&] { return count("PUT", "players/p1") == 1; }));
  const json sent = body("PUT", "players/p1");
  EXPECT_EQ(sent, (json{{"app_id", kAppId},
                        {"em_m", "357a20e8c56e69d6f9734d23ef9517e8"},
                        {"em_s", "1022b0c3a1d9a6409ae0dd2364fdcfe41f63ae22"},
                        {"net_type", sent["net_type"]}}));
}

}  // namespace
}  // namespace push_test
