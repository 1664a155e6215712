#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/notify/legacy.h"
#include "platform/runtime/runtime.h"
#include "platform/sim/app_image.h"
#include "platform/ui/application.h"
#include "platform/ui/selectors.h"
#include "push/app_delegate_injection.h"
#include "push/bootstrap.h"
#include "push/reraviror.h"
#include "testing/harness/harness.h"

namespace {

namespace rt = platform::rt;
namespace ui = platform::ui;
namespace notify = platform::notify;
using platform::foundation::Dict;
using namespace push;

constexpr const char* kInjectionAppId = "b2f7f966-d8cc-11e4-bed1-df8f05be55ba";

std::vector<std::string>& events() {
  static auto* list = new std::vector<std::string>();
  return *list;
}

// A delegate that implements none of the eleven selectors.
class PlainDelegate : public ui::Responder {
 public:
  explicit PlainDelegate(rt::Class& cls) : ui::Responder(cls) {}
};

// A delegate with its own focus and fetch methods.
class OwnDelegate : public ui::Responder {
 public:
  explicit OwnDelegate(rt::Class& cls) : ui::Responder(cls) {}
  void didBecomeActive(rt::Id) { events().push_back("app didBecomeActive"); }
  void fetch(rt::Id, Dict, std::function<void(ui::BackgroundFetchResult)> completion) {
    events().push_back("app fetch");
    completion(ui::BackgroundFetchResult::no_data);
  }
};

// A delegate with only the legacy receive method.
class LegacyReceiveDelegate : public ui::Responder {
 public:
  explicit LegacyReceiveDelegate(rt::Class& cls) : ui::Responder(cls) {}
  void received(rt::Id, Dict) { events().push_back("app received"); }
};

struct Options {
  std::string version = "13.5";
  std::string delegateClass = "PlainDelegate";
  bool corona = false;
  bool appId = true;
};

class AppDelegateInjectionTest : public ::testing::Test {
 protected:
  void launch(Options options) {
    nlohmann::json profile = {{"system_version", options.version}};
    if (std::stod(options.version) < 10.0) profile["frameworks"] = nlohmann::json::array({"WebKit"});
    harness_ = std::make_unique<testing::Harness>(testing::HarnessOptions{.profile = profile});
    RerAviror::setLogLevel(6, 0);
    if (options.appId) {
      ASSERT_TRUE(RerAviror::initAppId(std::string(kInjectionAppId), std::nullopt));
    }
    record();
    platform::sim::AppImage image;
    image.delegate_class = options.delegateClass;
    image.register_classes = [corona = options.corona] {
      rt::ClassBuilder<PlainDelegate>("PlainDelegate", "UIResponder").protocols({"UIApplicationDelegate"}).define();
      rt::ClassBuilder<OwnDelegate>("OwnDelegate", "UIResponder")
          .protocols({"UIApplicationDelegate"})
          .method(ui::sel::did_become_active, &OwnDelegate::didBecomeActive)
          .method(ui::sel::did_receive_remote_notification_fetch, &OwnDelegate::fetch)
          .define();
      rt::ClassBuilder<OwnDelegate>("SecondDelegate", "UIResponder")
          .protocols({"UIApplicationDelegate"})
          .method(ui::sel::did_become_active, &OwnDelegate::didBecomeActive)
          .define();
      rt::ClassBuilder<LegacyReceiveDelegate>("LegacyReceiveDelegate", "UIResponder")
          .protocols({"UIApplicationDelegate"})
          .method(ui::sel::did_receive_remote_notification, &LegacyReceiveDelegate::received)
          .define();
      if (corona) rt::ClassBuilder<PlainDelegate>("CoronaAppDelegate", "UIResponder").define();
    };
    image.load_hooks = {kReravirorLoadHook};
    app_ = &harness_->boot_app(image);
    delegate_ = app_->delegate();
    events().clear();
  }

  void record() {
    auto& calls = injectionCalls();
    calls.didRegisterForRemoteNotifications = [](rt::Id, platform::foundation::Bytes token) {
      events().push_back("token " + std::to_string(token.size()));
    };
    calls.handleDidFailRegisterForRemoteNotification = [](platform::foundation::Error error) {
      events().push_back("fail " + std::to_string(error.code));
    };
    calls.updateNotificationTypes = [](std::int32_t types) { events().push_back("types " + std::to_string(types)); };
    calls.notificationReceived = [](Dict, bool isActive, bool wasOpened) {
      events().push_back(std::string("received active=") + (isActive ? "1" : "0") +
                         " opened=" + (wasOpened ? "1" : "0"));
    };
    calls.remoteSilentNotification = [this](rt::Id, Dict, std::function<void(ui::BackgroundFetchResult)> completion) {
      events().push_back(std::string("silent completion=") + (completion ? "1" : "0"));
      return clientTakesCompletion_;
    };
    calls.processLocalActionBasedNotification = [](std::shared_ptr<notify::LocalNotification>, std::string id) {
      events().push_back("local " + id);
    };
    calls.trackerOnFocus = [](bool toBackground) { events().push_back(toBackground ? "tracker YES" : "tracker NO"); };
    calls.locationOnFocus = [](bool inFocus) { events().push_back(inFocus ? "location YES" : "location NO"); };
  }

  void TearDown() override { resetInjectionCalls(); }

  rt::Class& delegateClass() { return delegate_->isa(); }
  rt::Class& carrier() { return *rt::Runtime::shared().find(kAppDelegateCarrier); }
  // The platform selector runs the carrier's replacement.
  bool replaced(rt::SelId platformSel, rt::SelId replacement) {
    return delegateClass().lookup(platformSel) && delegateClass().lookup(platformSel) == carrier().lookup(replacement);
  }

  std::vector<std::string> logLines(const std::string& needle) {
    std::vector<std::string> found;
    for (const auto& line : harness_->capture().log_lines()) {
      if (line.find(needle) != std::string::npos) found.push_back(line);
    }
    return found;
  }

  std::unique_ptr<testing::Harness> harness_;
  ui::Application* app_ = nullptr;
  rt::Id delegate_;
  bool clientTakesCompletion_ = false;
};

struct InjectionStep {
  const char* name;
  rt::SelId platformSel;
  rt::SelId replacement;
  bool preiOS10;  // made below 10.0 only
  bool corona;    // made when a "CoronaAppDelegate" class exists
};

const std::vector<InjectionStep>& steps() {
  static const std::vector<InjectionStep> table = {
      {"fetch", ui::sel::did_receive_remote_notification_fetch, app_sel::remoteSilentNotification, false, true},
      {"local action", ui::sel::handle_action_for_local_notification, app_sel::localNotificationActionOpened, true,
       true},
      {"settings", ui::sel::did_register_user_notification_settings, app_sel::didRegisterUserNotifications, true, true},
      {"fail", ui::sel::did_fail_to_register_for_remote_notifications, app_sel::didFailRegisterForRemoteNotification,
       false, true},
      {"token", ui::sel::did_register_for_remote_notifications, app_sel::didRegisterForRemoteNotifications, false,
       false},
      {"legacy receive", ui::sel::did_receive_remote_notification, app_sel::receivedRemoteNotification, true, false},
      {"local", ui::sel::did_receive_local_notification, app_sel::localNotificationOpened, true, false},
      {"resign", ui::sel::will_resign_active, app_sel::applicationWillResignActive, false, false},
      {"background", ui::sel::did_enter_background, app_sel::applicationDidEnterBackground, false, false},
      {"active", ui::sel::did_become_active, app_sel::applicationDidBecomeActive, false, false},
      {"terminate", ui::sel::will_terminate, app_sel::applicationWillTerminate, false, false},
  };
  return table;
}

TEST_F(AppDelegateInjectionTest, BelowTenEveryReplacementIsAddedUnderItsPlatformSelector) {
  launch({.version = "9.3"});
  EXPECT_EQ(RerAvirorAppDelegate::delegateClass(), &delegateClass());
  for (const InjectionStep& step : steps()) {
    EXPECT_TRUE(replaced(step.platformSel, step.replacement)) << step.name;
    EXPECT_FALSE(delegateClass().resolve(step.replacement)) << step.name;
  }
}

TEST_F(AppDelegateInjectionTest, FromTenOnTheLegacyPhasesAreNotMade) {
  launch({.version = "13.5"});
  for (const InjectionStep& step : steps()) {
    EXPECT_EQ(replaced(step.platformSel, step.replacement), !step.preiOS10) << step.name;
    if (step.preiOS10) {
      EXPECT_FALSE(delegateClass().resolve(step.platformSel)) << step.name;
    }
  }
}

TEST_F(AppDelegateInjectionTest, WithACoronaDelegateClassOnlyTheFirstFourStepsAreMade) {
  launch({.version = "9.3", .corona = true});
  for (const InjectionStep& step : steps()) EXPECT_EQ(replaced(step.platformSel, step.replacement), step.corona) << step.name;
}

TEST_F(AppDelegateInjectionTest, EachReplacementLogsAndCallsTheClientAsItsRowSays) {
  launch({.version = "9.3"});
  auto local = notify::LocalNotification::make();
  rt::Id app = app_->self_id();
  rt::Object& d = *delegate_;
  bool actionDone = false;
  const struct Row {
    const char* log;  // "" for none
    std::function<void()> send;
    std::vector<std::string> calls;
  } rows[] = {
      {"rerAvirorDidRegisterForRemoteNotifications:deviceToken:",
       [&] { rt::send(d, ui::sel::did_register_for_remote_notifications, app, platform::foundation::Bytes(32, 1)); },
       {"token 32"}},
      {"rerAvirorDidFailRegisterForRemoteNotification:error:",
       [&] {
         rt::send(d, ui::sel::did_fail_to_register_for_remote_notifications, app,
                  platform::foundation::Error("NSCocoaErrorDomain", 3010));
       },
       {"fail 3010"}},
      {"rerAvirorDidRegisterUserNotifications:settings:",
       [&] { rt::send(d, ui::sel::did_register_user_notification_settings, app, notify::LegacySettings{7, {}}); },
       {"types 7"}},
      {"rerAvirorReceivedRemoteNotification:userInfo:",
       [&] { rt::send(d, ui::sel::did_receive_remote_notification, app, Dict{}); },
       {"received active=1 opened=1"}},
      {"rerAvirorLocalNotificationOpened:handleActionWithIdentifier:forLocalNotification:completionHandler:",
       [&] {
         rt::send(d, ui::sel::handle_action_for_local_notification, app, std::string("reply"), local,
                  std::function<void()>([&] { actionDone = true; }));
       },
       {"local reply"}},
      {"rerAvirorLocalNotificationOpened:notification:",
       [&] { rt::send(d, ui::sel::did_receive_local_notification, app, local); }, {"local __DEFAULT__"}},
      {"rerAvirorApplicationWillResignActive", [&] { rt::send(d, ui::sel::will_resign_active, app); },
       {"tracker YES"}},
      {"rerAvirorApplicationDidEnterBackground", [&] { rt::send(d, ui::sel::did_enter_background, app); },
       {"location NO"}},
      {"rerAvirorApplicationDidBecomeActive", [&] { rt::send(d, ui::sel::did_become_active, app); },
       {"tracker NO", "location YES"}},
      {"", [&] { rt::send(d, ui::sel::will_terminate, app); }, {"tracker YES"}},
  };
  for (const Row& row : rows) {
    harness_->capture().clear();
    events().clear();
    row.send();
    EXPECT_EQ(events(), row.calls) << row.log;
    if (*row.log) {
      const auto lines = logLines(row.log);
      ASSERT_EQ(lines.size(), 1u) << row.log;
      // The lifecycle texts end without a colon.
      const std::string& line = lines[0];
      EXPECT_EQ(line.substr(line.size() - std::string(row.log).size()), row.log);
    } else {
      EXPECT_TRUE(logLines("rerAvirorApplicationWillTerminate").empty());
    }
  }
  EXPECT_TRUE(actionDone);
}

TEST_F(AppDelegateInjectionTest, WithoutAnAppIdOnlyTheTokenReachesTheClient) {
  launch({.version = "9.3", .appId = false});
  rt::Id app = app_->self_id();
  rt::Object& d = *delegate_;
  rt::send(d, ui::sel::did_register_for_remote_notifications, app, platform::foundation::Bytes(32, 1));
  rt::send(d, ui::sel::did_fail_to_register_for_remote_notifications, app, platform::foundation::Error("E", 1));
  rt::send(d, ui::sel::did_register_user_notification_settings, app, notify::LegacySettings{7, {}});
  rt::send(d, ui::sel::did_receive_remote_notification, app, Dict{});
  rt::send(d, ui::sel::did_receive_local_notification, app, notify::LocalNotification::make());
  rt::send(d, ui::sel::will_resign_active, app);
  rt::send(d, ui::sel::did_enter_background, app);
  rt::send(d, ui::sel::did_become_active, app);
  rt::send(d, ui::sel::will_terminate, app);
  std::optional<ui::BackgroundFetchResult> fetched;
  rt::send(d, ui::sel::did_receive_remote_notification_fetch, app, Dict{},
           std::function<void(ui::BackgroundFetchResult)>([&](ui::BackgroundFetchResult r) { fetched = r; }));
  EXPECT_EQ(events(), std::vector<std::string>{"token 32"});
  EXPECT_EQ(fetched, ui::BackgroundFetchResult::new_data);
}

TEST_F(AppDelegateInjectionTest, TheAppsOwnFocusMethodRunsAfterTheFocusHandling) {
  launch({.version = "13.5", .delegateClass = "OwnDelegate"});
  harness_->device().background();
  events().clear();
  harness_->device().foreground();
  ASSERT_TRUE(harness_->run_until([] { return events().size() >= 3; }));
  EXPECT_EQ(events(), (std::vector<std::string>{"tracker NO", "location YES", "app didBecomeActive"}));
}

TEST_F(AppDelegateInjectionTest, ASecondDelegateIsSetWithoutInjectingAgain) {
  launch({.version = "13.5"});
  rt::Class* first = RerAvirorAppDelegate::delegateClass();
  rt::Class& second = *rt::Runtime::shared().find("SecondDelegate");
  const rt::Imp ownActive = second.lookup(ui::sel::did_become_active.id);
  rt::Id another = second.create();
  rt::send(*app_, ui::sel::set_delegate, another);
  EXPECT_EQ(app_->delegate(), another);
  EXPECT_EQ(RerAvirorAppDelegate::delegateClass(), first);
  EXPECT_EQ(second.lookup(ui::sel::did_become_active.id), ownActive);
  EXPECT_FALSE(second.resolve(app_sel::applicationDidBecomeActive.id));
  // The first class keeps one injection: its platform selector still runs the client once.
  rt::send(*delegate_, ui::sel::did_become_active, app_->self_id());
  EXPECT_EQ(events(), (std::vector<std::string>{"tracker NO", "location YES"}));
}

std::vector<ui::BackgroundFetchResult> sendFetch(rt::Object& delegate, ui::Application& app, Dict payload) {
  std::vector<ui::BackgroundFetchResult> results;
  rt::send(delegate, ui::sel::did_receive_remote_notification_fetch, app.self_id(), std::move(payload),
           std::function<void(ui::BackgroundFetchResult)>([&](ui::BackgroundFetchResult r) { results.push_back(r); }));
  return results;
}

// Who calls the fetch completion, and with what, when the app has no fetch variant of its own.
TEST_F(AppDelegateInjectionTest, TheFetchCompletionGoesToExactlyOneTaker) {
  using R = ui::BackgroundFetchResult;
  launch({.version = "13.5"});
  const struct Row {
    const char* name;
    bool active;
    bool apsAlert;
    bool clientTakes;
    std::vector<std::string> calls;
    std::vector<R> results;  // what reached the completion
  } rows[] = {
      {"background, client declines", false, false, false, {"silent completion=1"}, {R::new_data}},
      {"background, client takes it", false, false, true, {"silent completion=1"}, {}},
      {"background with an alert", false, true, true, {"silent completion=1"}, {}},
      {"in front with an alert", true, true, true, {"received active=1 opened=0"}, {R::new_data}},
      {"in front without an alert", true, false, false, {"silent completion=1"}, {R::new_data}},
  };
  for (const Row& row : rows) {
    events().clear();
    clientTakesCompletion_ = row.clientTakes;
    app_->set_state(row.active ? ui::ApplicationState::active : ui::ApplicationState::background);
    Dict payload{{"custom", Dict{{"i", "id-1"}}}};
    if (row.apsAlert) payload.set("aps", Dict{{"alert", "Hello"}});
    EXPECT_EQ(sendFetch(*delegate_, *app_, payload), row.results) << row.name;
    EXPECT_EQ(events(), row.calls) << row.name;
  }
}

TEST_F(AppDelegateInjectionTest, WithoutAFetchVariantTheLegacyReceiveMethodStillHearsTheSilentPush) {
  launch({.version = "9.3", .delegateClass = "LegacyReceiveDelegate"});
  clientTakesCompletion_ = false;
  app_->set_state(ui::ApplicationState::background);
  EXPECT_EQ(sendFetch(*delegate_, *app_, Dict{{"custom", Dict{{"i", "id-legacy"}}}}),
            std::vector<ui::BackgroundFetchResult>{ui::BackgroundFetchResult::new_data});
  // The client's silent handling, then the app's own legacy method, reached
  // through the exchanged selector.
  EXPECT_EQ(events(), (std::vector<std::string>{"silent completion=1", "app received"}));
}

TEST_F(AppDelegateInjectionTest, TheAppsOwnFetchVariantTakesTheCompletion) {
  launch({.version = "13.5", .delegateClass = "OwnDelegate"});
  clientTakesCompletion_ = true;
  app_->set_state(ui::ApplicationState::background);
  EXPECT_EQ(sendFetch(*delegate_, *app_, Dict{{"custom", Dict{{"i", "id-1"}}}}),
            std::vector<ui::BackgroundFetchResult>{ui::BackgroundFetchResult::no_data});
  EXPECT_EQ(events(), (std::vector<std::string>{"silent completion=0", "app fetch"}));
}

TEST_F(AppDelegateInjectionTest, ATappedLocalNotificationBelowTenIsProcessedAsTheDefaultAction) {
  launch({.version = "9.3"});
  auto local = notify::LocalNotification::make();
  local->alert_body = "Hello";
  app_->open_local_notification(local, std::nullopt);
  EXPECT_EQ(events(), std::vector<std::string>{"local __DEFAULT__"});
}

}  // namespace
