#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/notify/center.h"
#include "platform/os/preferences.h"
#include "platform/testing/manual_clock.h"
#include "platform/notify/system.h"
#include "platform/runtime/runtime.h"
#include "platform/sim/app_image.h"
#include "platform/ui/application.h"
#include "platform/ui/selectors.h"
#include "tests/push/passive_adapter.h"
#include "push/bootstrap.h"
#include "push/center_injection.h"
#include "push/notification.h"
#include "push/notification_settings_adapters.h"
#include "push/presentation.h"
#include "push/reraviror.h"
#include "push/states.h"
#include "testing/harness/harness.h"

namespace {

namespace rt = platform::rt;
namespace ui = platform::ui;
namespace notify = platform::notify;
using platform::foundation::Dict;
using namespace push;

constexpr const char* kCenterAppId = "b2f7f966-d8cc-11e4-bed1-df8f05be55ba";

std::vector<std::string>& center_events() {
  static auto* list = new std::vector<std::string>();
  return *list;
}

class AppDelegate : public ui::Responder {
 public:
  explicit AppDelegate(rt::Class& cls) : ui::Responder(cls) {}
  void withResponse(rt::Id, std::string action, Dict, Dict info, std::function<void()> done) {
    const auto* text = info.find("UIUserNotificationActionResponseTypedTextKey");
    center_events().push_back("app action " + action + " text " + (text && text->string() ? *text->string() : "-"));
    done();
  }
  void action(rt::Id, std::string action, Dict, std::function<void()> done) {
    center_events().push_back("app action " + action);
    done();
  }
  void fetch(rt::Id, Dict, std::function<void(ui::BackgroundFetchResult)> done) {
    center_events().push_back("app fetch");
    done(ui::BackgroundFetchResult::no_data);
  }
};

// The centre's delegate with its own methods.
class OwnCentreDelegate : public rt::Object {
 public:
  explicit OwnCentreDelegate(rt::Class& cls) : rt::Object(cls) {}
  void willPresent(rt::Id, notify::Notification, notify::PresentCompletion completion) {
    center_events().push_back("own will-present");
    completion(1);
  }
  void didReceive(rt::Id, rt::Id, std::function<void()> completion) {
    center_events().push_back("own did-receive");
    completion();
  }
};

Dict servicePayload(std::string id = "n-1") {
  return Dict{{"custom", Dict{{"i", std::move(id)}}}, {"aps", Dict{{"alert", "Hi"}}}};
}

notify::Notification notification(Dict userInfo, std::string body = "Hi",
                                   std::optional<notify::Trigger> trigger = notify::Trigger{}) {
  notify::Notification n;
  n.request.identifier = "req";
  n.request.content.body = std::move(body);
  n.request.content.user_info = std::move(userInfo);
  n.request.trigger = trigger;
  return n;
}

class CenterInjectionTest : public ::testing::Test {
 protected:
  void launch(std::string promptAnswer = "allow", bool appId = true) {
    harness_ = std::make_unique<testing::Harness>(
        testing::HarnessOptions{.profile = {{"push", {{"prompt_answer", promptAnswer}}}}});
    if (appId) {
      ASSERT_TRUE(RerAviror::initAppId(std::string(kCenterAppId), std::nullopt));
    }
    // The centre is driven by hand here; the facade's adapter asks it nothing.
    RerAviror::setOsNotificationSettings(std::make_shared<test::PassiveAdapter>());
    auto& calls = injectionCalls();
    calls.notificationReceived = [](Dict, bool isActive, bool wasOpened) {
      center_events().push_back(std::string("received active=") + (isActive ? "1" : "0") +
                         " opened=" + (wasOpened ? "1" : "0"));
    };
    calls.isRerAvirorPayload = [](const Dict& userInfo) {
      const auto* custom = userInfo.find("custom");
      return custom && custom->dict() && custom->dict()->contains("i");
    };
    calls.formatApsPayloadIntoStandard = [](const Dict& userInfo, std::optional<std::string> action) {
      center_events().push_back("normalised " + action.value_or("-"));
      return std::optional<Dict>(userInfo);
    };
    calls.remoteSilentNotification = [](rt::Id, Dict, std::function<void(ui::BackgroundFetchResult)>) {
      return false;
    };
    platform::sim::AppImage image;
    image.delegate_class = "NoneDelegate";
    image.register_classes = [] {
      rt::ClassBuilder<AppDelegate>("NoneDelegate", "UIResponder").protocols({"UIApplicationDelegate"}).define();
      rt::ClassBuilder<AppDelegate>("FetchDelegate", "UIResponder")
          .method(ui::sel::did_receive_remote_notification_fetch, &AppDelegate::fetch)
          .define();
      rt::ClassBuilder<AppDelegate>("ActionDelegate", "UIResponder")
          .method(ui::sel::handle_action_for_remote_notification, &AppDelegate::action)
          .method(ui::sel::did_receive_remote_notification_fetch, &AppDelegate::fetch)
          .define();
      rt::ClassBuilder<AppDelegate>("TextReplyDelegate", "UIResponder")
          .method(ui::sel::handle_action_for_remote_notification_with_response, &AppDelegate::withResponse)
          .method(ui::sel::did_receive_remote_notification_fetch, &AppDelegate::fetch)
          .define();
      rt::ClassBuilder<rt::Object>("CentreDelegate", "NSObject")
          .protocols({"UNUserNotificationCenterDelegate"})
          .factory([](rt::Class& cls) { return std::make_shared<rt::Object>(cls); })
          .define();
      rt::ClassBuilder<OwnCentreDelegate>("OwnCentreDelegate", "NSObject")
          .protocols({"UNUserNotificationCenterDelegate"})
          .method(notify::sel::will_present, &OwnCentreDelegate::willPresent)
          .method(notify::sel::did_receive, &OwnCentreDelegate::didReceive)
          .define();
    };
    image.load_hooks = {kReravirorLoadHook};
    app_ = &harness_->boot_app(image);
    center_ = notify::Center::current();
    ASSERT_NE(center_, nullptr);
  }

  void TearDown() override { resetInjectionCalls(); }

  // A new object of `name` as the centre's delegate (through the exchanged setter).
  rt::Id setCentreDelegate(std::string_view name) {
    rt::Id delegate = rt::Runtime::shared().find(name)->create();
    center_->set_delegate(delegate);
    return delegate;
  }
  void setAppDelegate(std::string_view name) {
    appDelegate_ = rt::Runtime::shared().find(name)->create();
    rt::send(*app_, ui::sel::set_delegate, appDelegate_);
  }

  std::vector<std::uint32_t> present(rt::Object& delegate, notify::Notification n) {
    std::vector<std::uint32_t> options;
    rt::send(delegate, notify::sel::will_present, rt::Id(center_), std::move(n),
             notify::PresentCompletion([&](std::uint32_t o) { options.push_back(o); }));
    return options;
  }
  int receive(rt::Object& delegate, rt::Id response) {
    int completions = 0;
    rt::send(delegate, notify::sel::did_receive, rt::Id(center_), std::move(response),
             std::function<void()>([&] { ++completions; }));
    return completions;
  }

  std::unique_ptr<testing::Harness> harness_;
  ui::Application* app_ = nullptr;
  std::shared_ptr<notify::Center> center_;
  rt::Id appDelegate_;
};

// The legacy forwarding reaches the app delegate's fetch selector, which is the
// client's own replacement there: with the app in front and an alert it hands
// the push to the received road again (the received road drops the repeat).
constexpr const char* kRefetched = "received active=1 opened=0";

TEST_F(CenterInjectionTest, WillPresentOptionsFollowTheDisplayModeAndForeignPushesGetAll) {
  launch();
  rt::Id delegate = setCentreDelegate("CentreDelegate");
  const struct Row {
    const char* name;
    bool service;
    std::int64_t mode;
    const char* body;
    std::uint32_t options;
    std::vector<std::string> calls;
  } rows[] = {
      {"foreign", false, 2, "Hi", 7, {}},
      {"mode 0 with a body", true, 0, "Hi", 0, {"received active=1 opened=1", kRefetched}},
      {"mode 0 without a body", true, 0, "", 0, {"received active=1 opened=0", kRefetched}},
      {"mode 1", true, 1, "Hi", 3, {"received active=1 opened=0", kRefetched}},
      {"mode 2", true, 2, "Hi", 7, {"received active=1 opened=0", kRefetched}},
      {"unknown mode", true, 5, "Hi", 0, {"received active=1 opened=0", kRefetched}},
  };
  for (const Row& row : rows) {
    center_events().clear();
    RerAviror::setInFocusDisplayType(row.mode);
    Dict userInfo = row.service ? servicePayload() : Dict{{"aps", Dict{{"alert", "Hi"}}}};
    EXPECT_EQ(present(*delegate, notification(userInfo, row.body)), std::vector<std::uint32_t>{row.options})
        << row.name;
    EXPECT_EQ(center_events(), row.calls) << row.name;
  }
}

TEST_F(CenterInjectionTest, WithoutConsentOrAnAppIdTheClientStaysOut) {
  launch("allow", false);
  RerAviror::setInFocusDisplayType(0);
  rt::Id delegate = setCentreDelegate("CentreDelegate");
  EXPECT_EQ(present(*delegate, notification(servicePayload())), std::vector<std::uint32_t>{0});
  EXPECT_EQ(receive(*delegate, notify::Response::make(notification(servicePayload()), "com.apple.UNNotificationDefaultActionIdentifier")), 1);
  EXPECT_TRUE(center_events().empty());  // no app id: nothing reaches the received road

  RerAviror::setRequiresUserPrivacyConsent(true);
  EXPECT_EQ(present(*delegate, notification(servicePayload())), std::vector<std::uint32_t>{7});
}

TEST_F(CenterInjectionTest, TheDelegatesOwnWillPresentRunsAndTheCompletionIsCalledOnce) {
  launch();
  RerAviror::setInFocusDisplayType(2);
  rt::Id delegate = setCentreDelegate("OwnCentreDelegate");
  // The app's own method answers 1 first; the client's later answer is dropped.
  EXPECT_EQ(present(*delegate, notification(servicePayload())), std::vector<std::uint32_t>{1});
  EXPECT_EQ(center_events(), (std::vector<std::string>{"received active=1 opened=0", "own will-present"}));
  center_events().clear();
  EXPECT_EQ(present(*delegate, notification(Dict{})), std::vector<std::uint32_t>{1});
  EXPECT_EQ(center_events(), std::vector<std::string>{"own will-present"});
}

TEST_F(CenterInjectionTest, EachDelegateClassIsInjectedOnce) {
  launch();
  rt::Class& cls = *rt::Runtime::shared().find("OwnCentreDelegate");
  rt::Class& carrier = *rt::Runtime::shared().find(kCenterCarrier);
  rt::Id first = setCentreDelegate("OwnCentreDelegate");
  rt::Id second = setCentreDelegate("OwnCentreDelegate");
  center_->set_delegate(first);
  EXPECT_EQ(center_->delegate(), first);
  EXPECT_EQ(cls.lookup(notify::sel::will_present.id), carrier.lookup(center_sel::willPresent.id));
  EXPECT_EQ(cls.lookup(notify::sel::did_receive.id), carrier.lookup(center_sel::didReceive.id));
  RerAviror::setInFocusDisplayType(2);
  EXPECT_EQ(present(*second, notification(servicePayload())), std::vector<std::uint32_t>{1});
  EXPECT_EQ(center_events(), (std::vector<std::string>{"received active=1 opened=0", "own will-present"}));
}

TEST_F(CenterInjectionTest, ATapIsNormalisedAndOpenedWithTheActiveFlagOfTheDisplayMode) {
  launch();
  rt::Id delegate = setCentreDelegate("CentreDelegate");
  const struct Row {
    std::int64_t mode;
    ui::ApplicationState state;
    std::vector<std::string> calls;
  } rows[] = {{1, ui::ApplicationState::active, {"normalised btn", "received active=1 opened=1", kRefetched}},
              {2, ui::ApplicationState::active, {"normalised btn", "received active=0 opened=1", kRefetched}},
              {1, ui::ApplicationState::background, {"normalised btn", "received active=0 opened=1"}}};
  for (const Row& row : rows) {
    center_events().clear();
    RerAviror::setInFocusDisplayType(row.mode);
    app_->set_state(row.state);
    EXPECT_EQ(receive(*delegate, notify::Response::make(notification(servicePayload()), "btn")), 1);
    EXPECT_EQ(center_events(), row.calls);
  }
}

TEST_F(CenterInjectionTest, ADismissalIsNotAnOpenAndCompletesAtOnce) {
  launch();
  rt::Id delegate = setCentreDelegate("CentreDelegate");
  EXPECT_EQ(receive(*delegate, notify::Response::make(notification(servicePayload()),
                                                      std::string(notify::dismiss_action))),
            1);
  EXPECT_TRUE(center_events().empty());
}

TEST_F(CenterInjectionTest, TapsAreForwardedToTheFirstLegacySelectorThatApplies) {
  launch();
  rt::Id delegate = setCentreDelegate("CentreDelegate");
  const std::string defaultAction(notify::default_action);
  const struct Row {
    const char* appDelegate;
    std::string action;
    std::optional<std::string> text;
    std::optional<notify::Trigger> trigger;
    const char* forwarded;  // "" for none
  } rows[] = {
      {"TextReplyDelegate", "reply", "hi", notify::Trigger{}, "app action reply text hi"},
      {"ActionDelegate", "reply", "hi", notify::Trigger{}, "app action reply"},
      {"TextReplyDelegate", "btn", std::nullopt, notify::Trigger{}, "app fetch"},
      {"ActionDelegate", "btn", std::nullopt, notify::Trigger{}, "app action btn"},
      {"ActionDelegate", defaultAction, std::nullopt, notify::Trigger{}, "app fetch"},
      {"NoneDelegate", "btn", std::nullopt, notify::Trigger{}, ""},
      {"ActionDelegate", "btn", std::nullopt, notify::Trigger{notify::Trigger::time_interval, 5}, ""},
      {"ActionDelegate", "btn", std::nullopt, std::nullopt, ""},
  };
  for (const Row& row : rows) {
    setAppDelegate(row.appDelegate);
    center_events().clear();
    auto n = notification(servicePayload(), "Hi", row.trigger);
    rt::Id response = row.text ? rt::Id(notify::TextInputResponse::make(n, row.action, *row.text))
                               : rt::Id(notify::Response::make(n, row.action));
    EXPECT_EQ(receive(*delegate, response), 1) << row.appDelegate << " " << row.action;
    std::vector<std::string> forwarded;
    for (const auto& e : center_events()) {
      if (e.rfind("app ", 0) == 0) forwarded.push_back(e);
    }
    EXPECT_EQ(forwarded, *row.forwarded ? std::vector<std::string>{row.forwarded} : std::vector<std::string>{})
        << row.appDelegate << " " << row.action;
  }
}

TEST_F(CenterInjectionTest, WillPresentForwardsToTheFetchSelectorOnlyWithoutContentAvailable) {
  launch();
  RerAviror::setInFocusDisplayType(2);
  rt::Id delegate = setCentreDelegate("CentreDelegate");
  setAppDelegate("FetchDelegate");
  for (bool contentAvailable : {false, true}) {
    center_events().clear();
    notify::Trigger trigger;
    trigger.content_available = contentAvailable;
    EXPECT_EQ(present(*delegate, notification(servicePayload(), "Hi", trigger)), std::vector<std::uint32_t>{7});
    const bool fetched = std::find(center_events().begin(), center_events().end(), "app fetch") != center_events().end();
    EXPECT_EQ(fetched, !contentAvailable);
  }
  // Tapped later, the content-available push does reach it.
  center_events().clear();
  notify::Trigger trigger;
  trigger.content_available = true;
  receive(*delegate, notify::Response::make(notification(servicePayload(), "Hi", trigger), "btn"));
  EXPECT_NE(std::find(center_events().begin(), center_events().end(), "app fetch"), center_events().end());
}

// Waits (real time) for the centre's answer on its own queue.
template <class T>
T await(std::shared_ptr<std::promise<T>> promise) {
  auto future = promise->get_future();
  EXPECT_EQ(future.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  return future.get();
}

TEST_F(CenterInjectionTest, AuthorisationMarksThePromptUnlessItIsProvisionalAlone) {
  launch();
  auto state = RerAviror::currentPermissionState();
  auto provisional = std::make_shared<std::promise<bool>>();
  center_->request_authorization(64, [provisional](bool granted, auto) { provisional->set_value(granted); });
  EXPECT_TRUE(await(provisional));
  EXPECT_FALSE(state->hasPrompted());
  EXPECT_FALSE(state->accepted());
  EXPECT_FALSE(state->answeredPrompt());

  auto full = std::make_shared<std::promise<bool>>();
  center_->request_authorization(7, [full](bool granted, auto) { full->set_value(granted); });
  EXPECT_TRUE(state->hasPrompted());  // at the request, before the answer
  EXPECT_TRUE(await(full));
  EXPECT_TRUE(state->accepted());
  EXPECT_TRUE(state->answeredPrompt());
}

TEST_F(CenterInjectionTest, SettingsComeFromTheCacheWhileThePromptIsOpen) {
  launch("ask");
  // The centre answers on its own queue; the cache answers at once on the caller's thread.
  // Returns whether the answer came on this thread, and the status.
  auto query = [this] {
    auto answered = std::make_shared<std::promise<std::pair<bool, notify::AuthorizationStatus>>>();
    const auto caller = std::this_thread::get_id();
    center_->get_notification_settings([caller, answered](notify::Settings settings) {
      answered->set_value({std::this_thread::get_id() == caller, settings.authorization_status});
    });
    return await(answered);
  };
  auto prompt = std::make_shared<std::promise<bool>>();
  center_->request_authorization(7, [prompt](bool granted, auto) { prompt->set_value(granted); });
  // Nothing cached yet: the centre is asked even while the prompt is open.
  EXPECT_EQ(query(), std::make_pair(false, notify::AuthorizationStatus::not_determined));
  // Now cached: answered at once from the cache, the centre is not asked.
  EXPECT_EQ(query(), std::make_pair(true, notify::AuthorizationStatus::not_determined));
  notify::system::answer_authorization(true);
  EXPECT_TRUE(await(prompt));
  EXPECT_EQ(query(), std::make_pair(false, notify::AuthorizationStatus::authorized));
}

}  // namespace

// ---- a tap end to end, against the push fake ----

namespace {

class Recording : public Presentation {
 public:
  std::vector<std::string> urls;
  void showInAppAlert(const Dict&) override {}
  void addNotificationRequest(const std::shared_ptr<OSNotificationPayload>&, FetchCompletion completion) override {
    if (completion) completion(ui::BackgroundFetchResult::no_data);
  }
  std::shared_ptr<notify::LocalNotification> prepareUILocalNotification(
      const std::shared_ptr<OSNotificationPayload>&) override {
    return nullptr;
  }
  void displayWebView(const platform::foundation::Url& url) override { urls.push_back(url.absolute_string()); }
  std::shared_ptr<ui::ViewController> webVC() override { return nullptr; }
  std::optional<notify::Content> didReceiveNotificationExtensionRequest(const notify::Request&,
                                                                        std::optional<notify::Content> c) override {
    return c;
  }
  std::optional<notify::Content> serviceExtensionTimeWillExpireRequest(const notify::Request&,
                                                                       std::optional<notify::Content> c) override {
    return c;
  }
};

class TapEndToEndTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    const std::string version = GetParam();
    nlohmann::json profile = {{"system_version", version}};
    if (std::stod(version) < 10.0) profile["frameworks"] = nlohmann::json::array({"WebKit"});
    harness_ = std::make_unique<testing::Harness>(
        testing::HarnessOptions{.fakes = {testing::Fake::push}, .profile = profile});
    ASSERT_TRUE(RerAviror::initAppId(std::string(kCenterAppId), std::nullopt));
    platform::sim::AppImage image;
    image.delegate_class = "TapTestDelegate";
    image.register_classes = [] {
      rt::ClassBuilder<AppDelegate>("TapTestDelegate", "UIResponder").protocols({"UIApplicationDelegate"}).define();
    };
    image.load_hooks = {kReravirorLoadHook};
    app_ = &harness_->boot_app(image);
    clock_ = platform::testing::ManualClock::install();

    RerAviror::currentSubscriptionState()->setUserId(harness_->push().player_id());
    RerAviror::setOsNotificationSettings(makeNotificationSettingsAdapter());
    RerAviror::setInFocusDisplayType(2);
    setPresentation(presentation_);
    RerAviror::notificationBlocks(nullptr, [this](const std::shared_ptr<OSNotificationOpenedResult>& result) {
      opened_.push_back(result->stringify());
    });
    auto real = injectionCalls().updateCachedBadgeValue;
    injectionCalls().updateCachedBadgeValue = [this, real](std::int64_t value) {
      badges_.push_back(value);
      real(value);
    };
    // Permission with the badge bit, as the user allowed it.
    if (auto centre = notify::Center::current()) {
      std::atomic<bool> answered{false};
      centre->request_authorization(7, [&](bool, auto) { answered = true; });
      ASSERT_TRUE(harness_->run_until([&] { return answered.load(); }));
    } else {
      app_->register_user_notification_settings({7, {}});
      ASSERT_TRUE(harness_->run_until([&] { return app_->current_user_notification_settings().types == 7; }));
    }
    rt::send(*app_, ui::sel::set_badge, std::int64_t{3});
    badges_.clear();
    harness_->device().background();
  }
  void TearDown() override {
    setPresentation(nullptr);
    resetInjectionCalls();
    // Requests still under way finish on the real clock before the platform goes.
    platform::dispatch::Clock::install(nullptr);
    harness_->run_until([] { return false; }, std::chrono::milliseconds(300));
  }

  void tap(const std::string& id) {
    harness_->device().tap_notification(Dict{{"aps", Dict{{"alert", "Hello"}, {"badge", 3}}},
                                             {"custom", Dict{{"i", id}, {"u", "https://example.org/page"}}}});
    harness_->run_until([&] { return opened_.size() > openedBefore_; }, std::chrono::seconds(30));
    openedBefore_ = opened_.size();
  }
  std::size_t puts() const {
    std::size_t n = 0;
    for (const auto& request : harness_->push().requests()) {
      if (request.method == "PUT" && request.path.rfind("/api/v1/notifications/", 0) == 0) ++n;
    }
    return n;
  }

  std::unique_ptr<testing::Harness> harness_;
  ui::Application* app_ = nullptr;
  std::shared_ptr<platform::testing::ManualClock> clock_;
  std::shared_ptr<Recording> presentation_ = std::make_shared<Recording>();
  std::vector<std::string> opened_;
  std::size_t openedBefore_ = 0;
  std::vector<std::int64_t> badges_;
};

TEST_P(TapEndToEndTest, ATapIsReportedOnceOpensTheBlockClearsTheBadgeAndLaunchesTheUrlLater) {
  const std::string id = "a/b?c";
  tap(id);
  ASSERT_TRUE(harness_->push().wait_for([&] { return puts() == 1; }, std::chrono::seconds(30)));
  // The id is one escaped path segment: the fake sees it decoded, with no query.
  const auto requests = harness_->push().requests("PUT", "/api/v1/notifications/a/b?c");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].query, "");
  const auto body = requests[0].json_body();
  EXPECT_EQ(body, (nlohmann::json{{"player_id", harness_->push().player_id()}, {"app_id", kCenterAppId}, {"opened", true}}));
  ASSERT_EQ(opened_.size(), 1u);
  const auto result = nlohmann::json::parse(opened_[0]);
  EXPECT_TRUE(result.contains("action"));
  ASSERT_TRUE(result.contains("notification"));
  EXPECT_EQ(result["notification"]["payload"]["notificationID"], id);
  EXPECT_EQ(result["notification"]["payload"]["launchURL"], "https://example.org/page");
  EXPECT_EQ(platform::os::UserDefaults::standard().string("GT_LAST_MESSAGE_OPENED_"), id);
  EXPECT_EQ(badges_, (std::vector<std::int64_t>{1, 0}));
  EXPECT_EQ(app_->badge_number(), 0);

  EXPECT_TRUE(presentation_->urls.empty());
  clock_->advance(std::chrono::milliseconds(400));
  platform::dispatch::RunLoop::main().run_pending();
  EXPECT_TRUE(presentation_->urls.empty());
  clock_->advance(std::chrono::milliseconds(100));
  platform::dispatch::RunLoop::main().run_pending();
  EXPECT_EQ(presentation_->urls, std::vector<std::string>{"https://example.org/page"});

  // The same notification tapped again is not reported again; another one is.
  harness_->device().background();
  tap("b");
  harness_->device().background();
  tap(id);
  ASSERT_TRUE(harness_->push().wait_for([&] { return puts() == 3; }, std::chrono::seconds(30)));
  EXPECT_EQ(opened_.size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(Roads, TapEndToEndTest, ::testing::Values("13.5", "9.3"));

}  // namespace
