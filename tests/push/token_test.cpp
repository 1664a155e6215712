#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/runtime/runtime.h"
#include "platform/sim/app_image.h"
#include "platform/ui/application.h"
#include "platform/ui/selectors.h"
#include "platform/ui/view_controller.h"
#include "push/notification_settings.h"
#include "push/reraviror.h"
#include "push/states.h"
#include "testing/harness/harness.h"

namespace {

namespace ui = platform::ui;
namespace rt = platform::rt;
using namespace push;

class TokenTestDelegate : public ui::Responder {
 public:
  explicit TokenTestDelegate(rt::Class& cls) : ui::Responder(cls) {}
  bool did_finish(rt::Id, platform::foundation::Dict) { return true; }
};

platform::sim::AppImage token_image() {
  platform::sim::AppImage image;
  image.delegate_class = "PushTokenTestDelegate";
  image.register_classes = [] {
    rt::ClassBuilder<TokenTestDelegate>("PushTokenTestDelegate", "UIResponder")
        .method(ui::sel::did_finish_launching, &TokenTestDelegate::did_finish)
        .define();
  };
  return image;
}

// Writes the facade's current permission state, as the OS adapters do.
class TokenScriptedAdapter : public RerAvirorNotificationSettings {
 public:
  bool prompted = false, answered = false, accepted = false, provisional = false;
  std::int32_t types = 0;
  std::vector<std::int32_t> promptResponses;
  std::int32_t getNotificationTypes() override { return types; }
  std::shared_ptr<OSPermissionState> getNotificationPermissionState() override {
    auto state = RerAviror::currentPermissionState();
    state->setNotificationTypes(types);
    state->setHasPrompted(prompted);
    state->setAnsweredPrompt(answered);
    state->setAccepted(accepted);
    state->setProvisional(provisional);
    return state;
  }
  void getNotificationPermissionState(std::function<void(std::shared_ptr<OSPermissionState>)> completion) override {
    completion(getNotificationPermissionState());
  }
  void promptForNotifications(std::function<void(bool)> completion) override {
    if (completion) completion(accepted);
  }
  void registerForProvisionalAuthorization(std::function<void(bool)>) override {}
  void onNotificationPromptResponse(std::int32_t t) override { promptResponses.push_back(t); }
  void onAPNsResponse(bool) override {}
};

class TokenTest : public ::testing::Test {
 protected:
  TokenTest()
      : harness_(std::make_unique<testing::Harness>(
            testing::HarnessOptions{.profile = {{"push", {{"device_token", "a1b2c3d4"}, {"token_delay_s", 0}}}}})) {
    RerAviror::setOsNotificationSettings(adapter_);
    app_ = &harness_->boot_app(token_image());
  }
  ~TokenTest() override { RerAviror::clearStatics(); }
  void runMain() { platform::dispatch::RunLoop::main().run_pending(); }

  std::unique_ptr<testing::Harness> harness_;
  ui::Application* app_ = nullptr;
  std::shared_ptr<TokenScriptedAdapter> adapter_ = std::make_shared<TokenScriptedAdapter>();
};

TEST_F(TokenTest, NotificationTypesValue) {
  EXPECT_EQ(RerAviror::getNotificationTypes(), -18);  // never prompted
  adapter_->prompted = true;
  EXPECT_EQ(RerAviror::getNotificationTypes(), -19);  // shown, not answered
  adapter_->answered = true;
  EXPECT_EQ(RerAviror::getNotificationTypes(), 0);  // refused: no bits
  adapter_->accepted = true;
  adapter_->types = 7;
  EXPECT_EQ(RerAviror::getNotificationTypes(), 7);
  RerAviror::currentSubscriptionState()->setUserSubscriptionSetting(false);
  EXPECT_EQ(RerAviror::getNotificationTypes(), -2);
  RerAviror::currentSubscriptionState()->setUserSubscriptionSetting(true);

  RerAviror::setWaitingForApnsResponse(true);
  EXPECT_EQ(RerAviror::getNotificationTypes(), -14);
  RerAviror::currentSubscriptionState()->setPushToken("ab12");
  EXPECT_EQ(RerAviror::getNotificationTypes(), 7);

  RerAviror::setSubscriptionErrorStatus(-13);
  EXPECT_EQ(RerAviror::getNotificationTypes(), -13);

  auto provisionalOnly = std::make_shared<TokenScriptedAdapter>();
  provisionalOnly->provisional = true;
  provisionalOnly->types = 64;
  RerAviror::setOsNotificationSettings(provisionalOnly);
  RerAviror::setMSubscriptionStatus(-1);
  EXPECT_EQ(RerAviror::getNotificationTypes(), 64);
}

TEST_F(TokenTest, TokenRequests) {
  EXPECT_FALSE(RerAviror::registerForAPNsToken());  // no permission, no background mode
  EXPECT_FALSE(app_->is_registered_for_remote_notifications());

  adapter_->accepted = true;
  RerAviror::setMSubscriptionStatus(-13);
  EXPECT_FALSE(RerAviror::registerForAPNsToken());
  EXPECT_FALSE(app_->is_registered_for_remote_notifications());

  RerAviror::setMSubscriptionStatus(-1);
  EXPECT_TRUE(RerAviror::registerForAPNsToken());
  harness_->run_until([&] { return app_->is_registered_for_remote_notifications(); });
  EXPECT_TRUE(app_->is_registered_for_remote_notifications());
  EXPECT_TRUE(RerAviror::waitingForApnsResponse());
  EXPECT_TRUE(RerAviror::registerForAPNsToken());  // outstanding: not asked again
}

TEST_F(TokenTest, IdsAvailableFiresWithoutTokenThenWithItOnce) {
  std::vector<std::pair<std::string, std::optional<std::string>>> calls;
  RerAviror::IdsAvailable([&](const std::string& userId, const std::optional<std::string>& token) {
    EXPECT_TRUE(platform::dispatch::is_main_thread());
    calls.emplace_back(userId, token);
  });
  runMain();
  EXPECT_TRUE(calls.empty());  // no player id yet

  RerAviror::currentSubscriptionState()->setUserId("p1");
  RerAviror::fireIdsAvailableCallback();
  runMain();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0], (std::pair<std::string, std::optional<std::string>>{"p1", std::nullopt}));

  adapter_->accepted = true;
  adapter_->answered = true;
  adapter_->prompted = true;
  adapter_->getNotificationPermissionState();
  RerAviror::currentSubscriptionState()->setPushToken("ab12");
  RerAviror::updateNotificationTypes(7);
  runMain();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1], (std::pair<std::string, std::optional<std::string>>{"p1", "ab12"}));
  EXPECT_EQ(adapter_->promptResponses, std::vector<std::int32_t>{7});

  RerAviror::fireIdsAvailableCallback();  // forgotten once the token was given
  runMain();
  EXPECT_EQ(calls.size(), 2u);
}

TEST_F(TokenTest, PromptMarksPromptedAndPassesTheAnswer) {
  adapter_->accepted = true;
  std::optional<bool> answer;
  RerAviror::promptForPushNotificationsWithUserResponse([&](bool accepted) { answer = accepted; });
  EXPECT_EQ(answer, true);
  EXPECT_TRUE(RerAviror::currentPermissionState()->hasPrompted());

  RerAviror::setRequiresUserPrivacyConsent(true);
  harness_->capture().clear();
  answer.reset();
  RerAviror::promptForPushNotificationsWithUserResponse([&](bool accepted) { answer = accepted; });
  EXPECT_FALSE(answer.has_value());
  EXPECT_EQ(harness_->capture().log_lines(),
            std::vector<std::string>{"WARNING: Your application has called promptForPushNotificationsWithUserResponse: "
                                     "before the user granted privacy permission. Please call `consentGranted(bool)` "
                                     "in order to provide user privacy consent"});
}

}  // namespace
