// The legacy notification roads of the profiles below 10: settings
// registration through the permission prompt, remote notification types, and
// local notifications scheduled, presented and opened.
#include <gtest/gtest.h>

#include "fixture.h"
#include "platform/foundation/console.h"
#include "platform/notify/center.h"
#include "platform/notify/legacy.h"
#include "platform/notify/system.h"
#include "platform/testing/capture.h"

namespace platform::ui::test {
namespace {

class LegacyDelegate : public Responder {
 public:
  explicit LegacyDelegate(rt::Class& cls) : Responder(cls) {}
  void settings(rt::Id, notify::LegacySettings s) {
    events().push_back("settings types=" + std::to_string(s.types) + " categories=" +
                       std::to_string(s.categories.size()) + (dispatch::is_main_thread() ? " main" : " other"));
  }
  void local(rt::Id, std::shared_ptr<notify::LocalNotification> n) { events().push_back("local " + n->alert_body); }
  void action(rt::Id, std::string id, std::shared_ptr<notify::LocalNotification> n, std::function<void()> done) {
    events().push_back("action " + id + " " + n->alert_body);
    done();
    done();
  }
  void token(rt::Id, foundation::Bytes t) { events().push_back("token " + std::to_string(t.size())); }
};

class LegacyTest : public UiTest {
 protected:
  Application& launch(std::string prompt_answer) {
    stop();
    os::DeviceProfile profile;
    profile.system_version = "9.3";
    profile.frameworks = {"WebKit", "StoreKit"};
    profile.push.prompt_answer = std::move(prompt_answer);
    profile.push.token_delay_s = 1;
    start(profile);
    notify::register_runtime_classes();
    rt::ClassBuilder<LegacyDelegate>("LegacyDelegate", "UIResponder")
        .method(sel::did_register_user_notification_settings, &LegacyDelegate::settings)
        .method(sel::did_receive_local_notification, &LegacyDelegate::local)
        .method(sel::handle_action_for_local_notification, &LegacyDelegate::action)
        .method(sel::did_register_for_remote_notifications, &LegacyDelegate::token)
        .define();
    MainOptions options;
    options.delegate_class = "LegacyDelegate";
    Application& app = application_launch(0, nullptr, options);
    events().clear();
    return app;
  }

  static std::shared_ptr<notify::LocalNotification> local(std::string body) {
    auto n = notify::LocalNotification::make();
    n->alert_body = std::move(body);
    return n;
  }
};

notify::LegacySettings requested() {
  return {notify::badge | notify::sound | notify::alert, {notify::Category{"reply", {}, {}, 0}}};
}

TEST_F(LegacyTest, SettingsRegistrationFollowsThePromptAnswer) {
  struct Case {
    const char* answer;
    std::uint32_t types;
  };
  for (const Case& c : {Case{"allow", notify::badge | notify::sound | notify::alert}, Case{"deny", 0}}) {
    SCOPED_TRACE(c.answer);
    Application& app = launch(c.answer);
    EXPECT_EQ(notify::Center::current(), nullptr);  // no centre below 10
    EXPECT_EQ(app.current_user_notification_settings().types, 0u);
    app.register_user_notification_settings(requested());
    EXPECT_TRUE(events().empty());  // answered on a later main-queue turn
    dispatch::RunLoop::main().run_pending();
    const std::string expected = "settings types=" + std::to_string(c.types) + " categories=1 main";
    EXPECT_EQ(events(), std::vector<std::string>{expected});
    EXPECT_EQ(app.current_user_notification_settings().types, c.types);
    EXPECT_EQ(app.current_user_notification_settings().categories.size(), 1u);
  }
}

TEST_F(LegacyTest, AskWaitsForTheAnswerAndKeepsIt) {
  Application& app = launch("ask");
  app.register_user_notification_settings(requested());
  advance(60);
  EXPECT_TRUE(events().empty());
  EXPECT_FALSE(notify::legacy::authorization().has_value());

  notify::system::answer_authorization(false);
  dispatch::RunLoop::main().run_pending();
  EXPECT_EQ(events(), std::vector<std::string>{"settings types=0 categories=1 main"});

  // Decided once: a second answer changes nothing, a new registration is answered at once.
  notify::system::answer_authorization(true);
  app.register_user_notification_settings(requested());
  dispatch::RunLoop::main().run_pending();
  EXPECT_EQ(events().back(), "settings types=0 categories=1 main");
  EXPECT_EQ(notify::legacy::authorization(), std::optional<bool>(false));
}

TEST_F(LegacyTest, RemoteNotificationTypesPromptAndRegisterForTheToken) {
  Application& app = launch("allow");
  app.register_for_remote_notification_types(notify::badge | notify::alert);
  dispatch::RunLoop::main().run_pending();
  EXPECT_EQ(app.current_user_notification_settings().types, notify::badge | notify::alert);
  EXPECT_TRUE(events().empty());  // no settings message on this road
  advance(1);
  EXPECT_EQ(events(), std::vector<std::string>{"token 32"});
}

TEST_F(LegacyTest, LocalNotificationsFireOnTheClockAndReachAnActiveApplication) {
  Application& app = launch("allow");
  auto later = local("later");
  later->fire_date = foundation::Date{foundation::Date::now().since_1970 + 30};
  auto past = local("past");
  past->fire_date = foundation::Date{foundation::Date::now().since_1970 - 5};
  app.schedule_local_notification(later);
  app.schedule_local_notification(past);
  app.present_local_notification_now(local("now"));
  EXPECT_EQ(app.scheduled_local_notifications().size(), 1u);
  EXPECT_EQ(app.delivered_local_notifications().size(), 2u);
  EXPECT_TRUE(events().empty());  // the delegate hears on the next turn
  dispatch::RunLoop::main().run_pending();
  EXPECT_EQ(events(), (std::vector<std::string>{"local past", "local now"}));

  events().clear();
  advance(29.9);
  EXPECT_TRUE(events().empty());
  advance(0.2);
  EXPECT_EQ(events(), std::vector<std::string>{"local later"});
  EXPECT_TRUE(app.scheduled_local_notifications().empty());
  ASSERT_EQ(app.delivered_local_notifications().size(), 3u);
  EXPECT_EQ(app.delivered_local_notifications().back(), later);

  // In the background a delivery is only recorded; a tap reaches the delegate.
  events().clear();
  app.resign_active();
  app.enter_background();
  auto quiet = local("quiet");
  app.present_local_notification_now(quiet);
  dispatch::RunLoop::main().run_pending();
  EXPECT_TRUE(events().empty());
  EXPECT_EQ(app.delivered_local_notifications().back(), quiet);
  app.open_local_notification(quiet, std::nullopt);
  EXPECT_EQ(events(), std::vector<std::string>{"local quiet"});
}

TEST_F(LegacyTest, ActionCompletionActsOnce) {
  Application& app = launch("allow");
  platform::testing::CaptureSinks sinks;
  int done = 0;
  app.open_local_notification(local("n"), "answer", [&] { ++done; });
  EXPECT_EQ(events(), std::vector<std::string>{"action answer n"});
  EXPECT_EQ(done, 1);
  int repeated = 0;
  for (const auto& line : sinks.system_log()) repeated += line.find("called more than once") != std::string::npos;
  EXPECT_EQ(repeated, 1);
}

}  // namespace
}  // namespace platform::ui::test
