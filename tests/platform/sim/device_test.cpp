// Device operations against a test app delegate.
#include <cstdio>
#include <fstream>

#include "platform/foundation/exception.h"

#include "platform/net/reachability.h"
#include "platform/notify/system.h"
#include "platform/os/system.h"
#include "platform/store/store.h"
#include "fixture.h"

namespace platform::sim::test {
namespace {

using namespace std::chrono_literals;

TEST_F(SimTest, LaunchRunsStartUpInOrderWithTheOriginalOptionKeys) {
  start();
  LaunchOptions options;
  options.options = Dict{{"custom", 1}};
  options.url = "https://intranet.example.org/start";
  options.activity = "https://intranet.example.org/news/42";
  options.notification = Dict{{"aps", Dict{{"alert", "Menu"}}}, {"id", "n-1"}};
  ASSERT_TRUE(device().launch(options));
  EXPECT_TRUE(device().running());
  EXPECT_EQ(events(), (std::vector<std::string>{"did-finish", "did-become-active"}));
  EXPECT_EQ(ui::Application::shared()->state(), ui::ApplicationState::active);

  const Dict& got = TestAppDelegate::launch_options;
  EXPECT_EQ(got.get("custom"), Value(1));
  auto url = got.get(ui::launch_key::url).object<foundation::Url>();
  ASSERT_NE(url, nullptr);
  EXPECT_EQ(url->absolute_string(), "https://intranet.example.org/start");
  const Dict* activity_dict = got.get(ui::launch_key::user_activity_dictionary).dict();
  ASSERT_NE(activity_dict, nullptr);
  EXPECT_EQ(activity_dict->get(ui::launch_key::user_activity_type), Value(ui::activity_type_browsing_web));
  auto activity = activity_dict->get(ui::launch_key::user_activity).object<ui::UserActivity>();
  ASSERT_NE(activity, nullptr);
  EXPECT_EQ(activity->webpage_url->absolute_string(), "https://intranet.example.org/news/42");
  const Dict* payload = got.get(ui::launch_key::remote_notification).dict();
  ASSERT_NE(payload, nullptr);
  EXPECT_EQ(payload->get("id"), Value("n-1"));

  // A second launch while running is refused; the screen shows the storyboard's root.
  EXPECT_FALSE(device().launch());
  EXPECT_NE(dump_screen().find("ViewController \"Home\""), std::string::npos) << dump_screen();
}

TEST_F(SimTest, LaunchWithoutAnImageOrWithABadUrlFails) {
  start();
  LaunchOptions bad;
  bad.url = "::not a url";
  EXPECT_FALSE(device().launch(bad));
  EXPECT_FALSE(device().running());
}

TEST_F(SimTest, LifecycleSequences) {
  start();
  ASSERT_TRUE(device().launch());
  events().clear();
  ASSERT_TRUE(device().background());
  EXPECT_EQ(ui::Application::shared()->state(), ui::ApplicationState::background);
  EXPECT_FALSE(device().background());  // already there
  ASSERT_TRUE(device().foreground());
  EXPECT_EQ(ui::Application::shared()->state(), ui::ApplicationState::active);
  ASSERT_TRUE(device().terminate());
  EXPECT_EQ(events(), (std::vector<std::string>{"will-resign-active", "did-enter-background", "will-enter-foreground",
                                                "did-become-active", "will-terminate"}));
  EXPECT_FALSE(device().running());
  EXPECT_FALSE(device().foreground());
  EXPECT_FALSE(device().launch());  // a terminated app needs a new process
}

// The automatic token is sha256 of the vendor id: the same on every boot of one device.
TEST_F(SimTest, AutomaticTokenIsStableAcrossBootsAndArrivesAfterTheDelay) {
  std::vector<foundation::Bytes> per_boot;
  for (int boot = 0; boot < 2; ++boot) {
    start();
    ASSERT_TRUE(device().launch());
    ui::Application::shared()->register_for_remote_notifications();
    pump();
    EXPECT_TRUE(TestAppDelegate::tokens.empty()) << "delivered before token_delay_s";
    clock_->advance(std::chrono::duration_cast<dispatch::Duration>(std::chrono::duration<double>(
        os::profile().push.token_delay_s)));
    pump();
    ASSERT_EQ(TestAppDelegate::tokens.size(), 1u);
    // device-token without bytes hands over the same automatic token.
    ASSERT_TRUE(device().device_token());
    ASSERT_EQ(TestAppDelegate::tokens.size(), 2u);
    EXPECT_EQ(TestAppDelegate::tokens[0], TestAppDelegate::tokens[1]);
    EXPECT_EQ(TestAppDelegate::tokens[0].size(), 32u);
    per_boot.push_back(TestAppDelegate::tokens[0]);
    stop();
    TestAppDelegate::tokens.clear();
  }
  EXPECT_EQ(per_boot[0], per_boot[1]);
}

TEST_F(SimTest, ExplicitTokenAndTokenError) {
  start();
  ASSERT_TRUE(device().launch());
  events().clear();
  ASSERT_TRUE(device().device_token("00ff10"));
  EXPECT_FALSE(device().device_token("xyz"));
  ASSERT_TRUE(device().token_error(3010));
  EXPECT_EQ(events(), (std::vector<std::string>{"token 3", "token-error 3010"}));
  EXPECT_EQ(TestAppDelegate::tokens.at(0), (foundation::Bytes{0x00, 0xff, 0x10}));
  EXPECT_EQ(count_lines("token 00ff10 (3 bytes) delivered"), 1) << all_lines();
}

// A centre delegate whose will-present and did-receive record and call their completions twice.
class CentreDelegate : public rt::Object {
 public:
  explicit CentreDelegate(rt::Class& cls) : rt::Object(cls) {}
  void will_present(rt::Id, notify::Notification n, notify::PresentCompletion done) {
    events().push_back("will-present " + foundation::describe(n.request.content.user_info.get("id")) + " " +
                       n.request.content.body);
    done(notify::badge | notify::alert);
    done(0);
  }
  void did_receive(rt::Id, rt::Id response, std::function<void()> done) {
    auto* r = dynamic_cast<notify::Response*>(response.get());
    auto* text = dynamic_cast<notify::TextInputResponse*>(response.get());
    events().push_back("did-receive " + (r ? r->action_identifier : "?") + (text ? " " + text->user_text : "") + " " +
                       (r ? foundation::describe(r->notification.request.content.user_info.get("id")) : ""));
    done();
    done();
  }
};

std::shared_ptr<CentreDelegate> install_centre_delegate(std::vector<rt::Id>* seen_by_exchange) {
  rt::Class* center_class = rt::Runtime::shared().find(notify::kCenterClass);
  EXPECT_NE(center_class, nullptr);
  if (!center_class) return nullptr;
  static const rt::Sel<void(rt::Id)> injected{"simtest_setDelegate:"};
  EXPECT_TRUE(center_class->add_method(injected, rt::Imp::make(injected, [seen_by_exchange](rt::Object& self, rt::Id d) {
    seen_by_exchange->push_back(d);
    rt::send(self, injected, d);
  })));
  EXPECT_TRUE(rt::exchange(*center_class->resolve(notify::sel::center_set_delegate), *center_class->resolve(injected)));
  rt::ClassBuilder<CentreDelegate>("SimTestCentreDelegate", "NSObject")
      .method(notify::sel::will_present, &CentreDelegate::will_present)
      .method(notify::sel::did_receive, &CentreDelegate::did_receive)
      .define();
  auto delegate =
      std::dynamic_pointer_cast<CentreDelegate>(rt::Runtime::shared().find("SimTestCentreDelegate")->create());
  notify::Center::current()->set_delegate(delegate);
  return delegate;
}

int system_log_count(std::string_view needle) {
  std::ifstream log(os::system_log_file());
  int n = 0;
  for (std::string line; std::getline(log, line);) n += line.find(needle) != std::string::npos;
  return n;
}

TEST_F(SimTest, PushInFrontGoesToWillPresentThroughTheExchangedSetterAndActsOnce) {
  start();
  ASSERT_TRUE(device().launch());
  std::vector<rt::Id> seen;
  auto delegate = install_centre_delegate(&seen);
  ASSERT_NE(delegate, nullptr);
  ASSERT_EQ(seen.size(), 1u);
  events().clear();

  ASSERT_TRUE(device().push(Dict{{"aps", Dict{{"alert", "Hello"}}}, {"id", "p-1"}}));
  pump();
  EXPECT_EQ(events(), (std::vector<std::string>{"will-present p-1 Hello"}));
  EXPECT_EQ(count_lines("presentation options 5 (badge, alert)"), 1) << all_lines();
  EXPECT_EQ(count_lines("presentation options 0"), 0);
  EXPECT_GE(system_log_count("called more than once"), 1);
}

TEST_F(SimTest, TapWhenNotRunningLaunchesWithThePayloadThenDidReceive) {
  start();
  std::vector<rt::Id> seen;
  // The centre delegate is set by the app during launch; here by a load-hook-like step before it.
  auto delegate = install_centre_delegate(&seen);
  ASSERT_NE(delegate, nullptr);
  events().clear();

  Dict payload{{"aps", Dict{{"alert", "Menu"}}}, {"id", "n-1"}};
  ASSERT_TRUE(device().tap_notification(payload, std::string("reply"), std::string("on my way")));
  pump();
  EXPECT_EQ(events(), (std::vector<std::string>{"did-finish", "did-become-active", "did-receive reply on my way n-1"}));
  const Dict* launched_with = TestAppDelegate::launch_options.get(ui::launch_key::remote_notification).dict();
  ASSERT_NE(launched_with, nullptr);
  EXPECT_EQ(*launched_with, payload);
  EXPECT_EQ(count_lines("did-receive completion called"), 1) << all_lines();
}

TEST_F(SimTest, TapInTheBackgroundEntersTheForegroundThenResponds) {
  start();
  ASSERT_TRUE(device().launch());
  std::vector<rt::Id> seen;
  auto delegate = install_centre_delegate(&seen);
  ASSERT_TRUE(device().background());
  events().clear();
  ASSERT_TRUE(device().tap_notification(Dict{{"id", "n-2"}}));
  pump();
  EXPECT_EQ(events(), (std::vector<std::string>{"will-enter-foreground",
                                                "did-receive " + std::string(notify::default_action) + " n-2",
                                                "did-become-active"}));
  EXPECT_EQ(ui::Application::shared()->state(), ui::ApplicationState::active);
}

TEST_F(SimTest, DismissReachesTheCentreDelegateAndOpenedUrlsArePrinted) {
  start();
  ASSERT_TRUE(device().launch());
  std::vector<rt::Id> seen;
  auto delegate = install_centre_delegate(&seen);
  events().clear();
  ASSERT_TRUE(device().dismiss_notification(Dict{{"id", "x-1"}}));
  pump();
  EXPECT_EQ(events(), (std::vector<std::string>{"did-receive " + std::string(notify::dismiss_action) + " x-1"}));

  ui::Application::shared()->open_url(*foundation::Url::parse("mailto:someone@example.org"));
  ASSERT_TRUE(device().open_url("https://intranet.example.org/x"));  // the test delegate takes no URLs
  EXPECT_EQ(count_lines("os| opened URL mailto:someone@example.org"), 1) << all_lines();
  EXPECT_EQ(count_lines("open URL https://intranet.example.org/x: not taken by the delegate"), 1) << all_lines();
  device().report_opened_urls();
  EXPECT_EQ(count_lines("opened URL mailto:"), 1);
}

os::DeviceProfile ios9() {
  os::DeviceProfile p;
  p.system_version = "9.3";
  p.frameworks = {"WebKit", "StoreKit"};
  return p;
}

TEST_F(SimTest, Ios9ProfileHasNoCentreAndUsesTheLegacySelectors) {
  start(ios9());
  EXPECT_EQ(rt::Runtime::shared().find(notify::kCenterClass), nullptr);
  EXPECT_EQ(notify::Center::current(), nullptr);
  ASSERT_TRUE(device().launch());
  events().clear();

  ASSERT_TRUE(device().push(Dict{{"id", "p-9"}}));                         // in front
  ASSERT_TRUE(device().tap_notification(Dict{{"id", "t-9"}}, std::string("accept")));  // an action
  ASSERT_TRUE(device().tap_notification(Dict{{"id", "d-9"}}));             // the default action
  pump();
  EXPECT_EQ(events(), (std::vector<std::string>{"remote-fetch p-9", "action accept t-9", "remote-fetch d-9"}));
}

TEST_F(SimTest, ContentAvailablePushInTheBackgroundFetchesAndTheCompletionActsOnce) {
  start();
  ASSERT_TRUE(device().launch());
  ASSERT_TRUE(device().background());
  events().clear();
  TestAppDelegate::fetch_calls_per_message = 2;
  ASSERT_TRUE(device().push(Dict{{"id", "s-1"}}, /*content_available=*/true));
  ASSERT_TRUE(device().push(Dict{{"id", "s-2"}}));  // no content-available: the app is not woken
  EXPECT_EQ(events(), (std::vector<std::string>{"remote-fetch s-1"}));
  EXPECT_EQ(count_lines("fetch completion: result new data"), 1) << all_lines();
  EXPECT_GE(system_log_count("called more than once"), 1);
}

TEST_F(SimTest, UniversalLinkAndBackgroundSessionEventsCompleteOnce) {
  start();
  ASSERT_TRUE(device().launch());
  events().clear();
  ASSERT_TRUE(device().universal_link("https://intranet.example.org/news/42"));
  ASSERT_TRUE(device().background_session_events("bg-1"));
  EXPECT_FALSE(device().universal_link("not absolute"));
  // Activities the app must survive: no page address, an empty or another type.
  ASSERT_TRUE(device().universal_link(std::nullopt));
  ASSERT_TRUE(device().universal_link("https://intranet.example.org/", ""));
  ASSERT_TRUE(device().universal_link(std::nullopt, "org.example.handoff"));
  EXPECT_EQ(events(), (std::vector<std::string>{
                          "continue NSUserActivityTypeBrowsingWeb https://intranet.example.org/news/42",
                          "session-events bg-1", "continue NSUserActivityTypeBrowsingWeb -",
                          "continue  https://intranet.example.org/", "continue org.example.handoff -"}));
  EXPECT_EQ(count_lines("universal link (no page address): continueUserActivity handled"), 1) << all_lines();
  EXPECT_EQ(count_lines("universal link https://intranet.example.org/ (activity type \"\")"), 1) << all_lines();
  EXPECT_EQ(count_lines("restoration handler called"), 4) << all_lines();
  EXPECT_EQ(count_lines("background session completion handler called"), 1) << all_lines();
}

TEST_F(SimTest, NetworkOffReachesAScheduledReachabilityCallback) {
  start();
  auto target = net::Reachability::for_host("intranet.example.org");
  ASSERT_NE(target, nullptr);
  std::vector<std::uint32_t> flags;
  target->set_callback([&](std::uint32_t f) { flags.push_back(f); });
  ASSERT_TRUE(target->schedule(dispatch::RunLoop::main()));
  ASSERT_TRUE(device().network(NetworkSetting::off));
  pump();
  ASSERT_EQ(flags.size(), 1u);
  EXPECT_EQ(flags[0] & net::reach_flags::reachable, 0u);
  ASSERT_TRUE(device().network(NetworkSetting::wwan));
  pump();
  ASSERT_EQ(flags.size(), 2u);
  EXPECT_NE(flags[1] & net::reach_flags::is_wwan, 0u);
  target->unschedule(dispatch::RunLoop::main());
}

TEST_F(SimTest, ExpireBackgroundTasksRunsEachHandlerOnce) {
  start();
  ASSERT_TRUE(device().launch());
  ui::Application& app = *ui::Application::shared();
  int expired = 0;
  ui::BackgroundTaskId id = 0;
  id = app.begin_background_task("upload", [&] {
    ++expired;
    app.end_background_task(id);
  });
  app.begin_background_task("ended", [&] { expired += 100; });
  app.end_background_task(id + 1);
  ASSERT_TRUE(device().background());
  ASSERT_TRUE(device().expire_background_tasks());
  EXPECT_EQ(expired, 1);
  EXPECT_EQ(app.active_background_tasks(), 0u);
  // The task's own expiry later finds nothing left to run.
  clock_->advance(std::chrono::seconds(200));
  pump();
  EXPECT_EQ(expired, 1);
}

void report_uncaught(const foundation::Exception& e) { std::fprintf(stderr, "uncaught %s: %s\n", e.name.c_str(), e.reason.c_str()); }

TEST_F(SimTest, CrashesReallyEndTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  start();
  EXPECT_DEATH(device().crash(CrashKind::abort), "");
  EXPECT_DEATH(device().crash(CrashKind::segv), "");
  foundation::set_uncaught_exception_handler(&report_uncaught);
  EXPECT_DEATH(device().crash(CrashKind::exception),
               "uncaught NSInternalInconsistencyException: crash requested by the simulator");
  foundation::set_uncaught_exception_handler(nullptr);
}

TEST_F(SimTest, BackgroundTimeRunsOutForTasksBegunInTheBackgroundToo) {
  start();
  ASSERT_TRUE(device().launch());
  ui::Application& app = *ui::Application::shared();
  ASSERT_TRUE(device().background());
  clock_->advance(std::chrono::seconds(100));
  pump();
  int expired = 0;
  app.begin_background_task("late", [&] { ++expired; });
  clock_->advance(std::chrono::seconds(79));
  pump();
  EXPECT_EQ(expired, 0);
  clock_->advance(std::chrono::seconds(2));  // 181 s in the background
  pump();
  EXPECT_EQ(expired, 1);
  clock_->advance(std::chrono::seconds(200));  // the task's own expiry finds it over
  pump();
  EXPECT_EQ(expired, 1);

  // Back in front before the time is up: nothing expires.
  ASSERT_TRUE(device().foreground());
  ASSERT_TRUE(device().background());
  ASSERT_TRUE(device().foreground());
  int kept = 0;
  app.begin_background_task("front", [&] { ++kept; });
  clock_->advance(std::chrono::seconds(170));
  pump();
  EXPECT_EQ(kept, 0);
}

class Observer : public store::TransactionObserver {
 public:
  void updated_transactions(store::PaymentQueue&, const std::vector<std::shared_ptr<store::Transaction>>& ts) override {
    for (const auto& t : ts) {
      events().push_back(t->payment.product_identifier + " x" + std::to_string(t->payment.quantity) + " " +
                         std::to_string(static_cast<int>(t->state)));
    }
  }
};

TEST_F(SimTest, PurchaseDeliversPurchasingThenPurchased) {
  start();
  auto observer = std::make_shared<Observer>();
  store::PaymentQueue::default_queue().add_observer(observer);
  events().clear();
  ASSERT_TRUE(device().purchase("org.example.pro", 2));
  EXPECT_FALSE(device().purchase("org.example.pro", 0));
  pump();
  EXPECT_EQ(events(), (std::vector<std::string>{"org.example.pro x2 0", "org.example.pro x2 1"}));
}

TEST_F(SimTest, PurchaseAndLocationFailWithoutTheirFrameworks) {
  start(ios9());  // no CoreLocation
  EXPECT_FALSE(device().location(52.5, 13.4));
  os::DeviceProfile none;
  none.frameworks = {};
  stop();
  start(none);
  EXPECT_FALSE(device().purchase("org.example.pro"));
}

TEST_F(SimTest, ScreenShowsControllersAlertsAndTapsReachControls) {
  start();
  ASSERT_TRUE(device().launch());
  auto* nav = dynamic_cast<ui::NavigationController*>(ui::Application::shared()->key_window()->root_view_controller());
  ASSERT_NE(nav, nullptr);
  auto second = std::make_shared<ui::ViewController>();
  second->title = "Menu";
  auto button = std::make_shared<ui::Button>();
  button->accessibility_identifier = "reload";
  button->title = "Reload";
  int taps = 0;
  button->add_target(this, ui::ControlEvent::touch_up_inside, [&] { ++taps; });
  second->view().add_subview(button);
  nav->push(second, false);
  pump();

  std::string screen = dump_screen();
  EXPECT_NE(screen.find("UINavigationController (2 on the stack)"), std::string::npos) << screen;
  EXPECT_NE(screen.find("\nstatus-bar network-activity-indicator hidden"), std::string::npos) << screen;
  ui::Application::shared()->network_activity_indicator_visible = true;
  EXPECT_NE(dump_screen().find("\nstatus-bar network-activity-indicator visible"), std::string::npos);
  ui::Application::shared()->network_activity_indicator_visible = false;
  EXPECT_NE(screen.find("button id=reload \"Reload\""), std::string::npos) << screen;
  ASSERT_TRUE(device().tap("reload"));
  EXPECT_EQ(taps, 1);
  EXPECT_FALSE(device().tap("missing"));

  auto alert = ui::AlertController::make("Offline", "No connection", 1);
  std::vector<std::string> tapped;
  alert->add_action({"Retry", 0, [&](const ui::AlertAction& a) { tapped.push_back(a.title); }});
  second->present(alert, true, nullptr);
  pump();
  screen = dump_screen();
  EXPECT_NE(screen.find("presented alert \"Offline\" message \"No connection\" actions [\"Retry\"]"),
            std::string::npos)
      << screen;
  EXPECT_FALSE(device().tap_alert("Cancel"));
  ASSERT_TRUE(device().tap_alert("Retry"));
  pump();
  EXPECT_EQ(tapped, (std::vector<std::string>{"Retry"}));

  ASSERT_TRUE(device().tap_back());
  pump();
  EXPECT_EQ(nav->view_controllers().size(), 1u);
  EXPECT_FALSE(device().tap_back());
}

}  // namespace
}  // namespace platform::sim::test
