// application_launch order, the responds-to cache and terminate.
#include <gtest/gtest.h>

#include <cstdio>

#include "platform/foundation/exception.h"
#include "platform/foundation/notification.h"
#include "platform/os/preferences.h"
#include "fixture.h"

namespace platform::ui::test {
namespace {

class TestDelegate : public Responder {
 public:
  explicit TestDelegate(rt::Class& cls) : Responder(cls) {}
  bool will_finish(rt::Id, Dict options) {
    events().push_back("will-finish " + std::to_string(options.size()));
    return true;
  }
  bool did_finish(rt::Id app, Dict options) {
    events().push_back("did-finish " + std::to_string(options.size()));
    EXPECT_EQ(app.get(), Application::shared());
    EXPECT_EQ(Application::shared()->state(), ApplicationState::inactive);
    return true;
  }
  void did_become_active(rt::Id) { events().push_back("did-become-active"); }
  void will_terminate(rt::Id) { events().push_back("will-terminate"); }
  void set_window(std::shared_ptr<Window> w) {
    events().push_back(std::string("setWindow: root ") + (w && w->root_view_controller() ? "set" : "none"));
    window = std::move(w);
  }
  std::shared_ptr<Window> window;
};

void define_test_delegate() {
  rt::ClassBuilder<TestDelegate>("TestDelegate", "UIResponder")
      .protocols({"UIApplicationDelegate"})
      .method(sel::will_finish_launching, &TestDelegate::will_finish)
      .method(sel::did_finish_launching, &TestDelegate::did_finish)
      .method(sel::did_become_active, &TestDelegate::did_become_active)
      .method(sel::will_terminate, &TestDelegate::will_terminate)
      .method(sel::set_window, &TestDelegate::set_window)
      .define();
}

const rt::Sel<void(rt::Id)> exchanged_set_delegate{"test_setDelegate:"};

// A load hook exchanging the application's delegate setter, as the
// load-time bootstrap does.
void exchange_hook() {
  events().push_back("load hook");
  rt::Class* app = rt::Runtime::shared().find("UIApplication");
  ASSERT_NE(app, nullptr);
  ASSERT_TRUE(app->add_method(exchanged_set_delegate,
                              rt::Imp::make(exchanged_set_delegate, [](rt::Object& self, rt::Id d) {
                                events().push_back(std::string("exchanged setDelegate: ") +
                                                   std::string(d ? d->isa().name() : "nil"));
                                rt::send(self, exchanged_set_delegate, d);  // the original, after the exchange
                              })));
  ASSERT_TRUE(rt::exchange(*app->resolve(sel::set_delegate), *app->resolve(exchanged_set_delegate)));
}

const rt::LoadHook kHooks[] = {{1, "ui-test-exchange", &exchange_hook}};

class LaunchTest : public UiTest {
 protected:
  void SetUp() override {
    UiTest::SetUp();
    define_test_delegate();
    Storyboard::define("Main", {.initial = [](Storyboard&) {
                                  return std::make_shared<NavigationController>(
                                      std::make_shared<RecordingController>("root"));
                                },
                                .scenes = {}});
  }
  MainOptions options() {
    MainOptions o;
    o.delegate_class = "TestDelegate";
    o.load_hooks = kHooks;
    o.launch_options = Dict{{std::string(launch_key::url), Value::object(std::make_shared<foundation::Url>(
                                                               *foundation::Url::parse("intranet://open")))}};
    return o;
  }
};

TEST_F(LaunchTest, LaunchRunsTheStepsInOrderAndTerminateFlushes) {
  auto& center = foundation::NotificationCenter::default_center();
  auto t1 = center.add_observer(nullptr, std::string(notification_name::did_finish_launching), nullptr, nullptr,
                                [](const foundation::Notification& n) {
                                  bool has_url = n.user_info.contains(launch_key::url);
                                  events().push_back(std::string("did-finish notification url=") +
                                                     (has_url ? "yes" : "no"));
                                });
  auto t2 = center.add_observer(nullptr, std::string(notification_name::did_become_active), nullptr, nullptr,
                                [](const foundation::Notification&) {
                                  events().push_back("did-become-active notification");
                                });
  EXPECT_EQ(Application::shared(), nullptr);

  Application& app = application_launch(0, nullptr, options());

  const std::vector<std::string> expected{
      "load hook",
      "exchanged setDelegate: TestDelegate",
      "setWindow: root set",
      "will-finish 1",
      "did-finish 1",
      "did-finish notification url=yes",
      "root.didLoad",
      "root.willAppear",
      "root.didAppear",
      "did-become-active",
      "did-become-active notification",
  };
  EXPECT_EQ(events(), expected);
  EXPECT_EQ(&app, Application::shared());
  EXPECT_EQ(app.state(), ApplicationState::active);
  ASSERT_NE(app.key_window(), nullptr);
  EXPECT_TRUE(app.key_window()->is_key_window());
  EXPECT_EQ(app.windows().size(), 1u);
  EXPECT_TRUE(app.delegate_responds(sel::did_finish_launching));
  EXPECT_FALSE(app.delegate_responds(sel::open_url));

  // terminate: will-terminate, its notification, preferences written.
  events().clear();
  auto t3 = center.add_observer(nullptr, std::string(notification_name::will_terminate), nullptr, nullptr,
                                [](const foundation::Notification&) { events().push_back("will-terminate notification"); });
  auto& prefs = os::Preferences::shared();
  ASSERT_TRUE(prefs.set_app_value("k", Value("v"), os::Preferences::current_application));
  auto file = prefs.file_for_domain(os::Preferences::current_application);
  EXPECT_FALSE(fs::exists(file));
  app.terminate();
  EXPECT_EQ(events(), (std::vector<std::string>{"will-terminate", "will-terminate notification"}));
  EXPECT_TRUE(fs::exists(file));
  t1.remove();
  t2.remove();
  t3.remove();
}

TEST_F(LaunchTest, ApplicationMainReturnsZeroAfterTerminate) {
  dispatch::Queue::main().async([] { Application::shared()->terminate(); });
  EXPECT_EQ(application_main(0, nullptr, options()), 0);
  EXPECT_TRUE(Application::shared()->terminated());
}

// An escaping foundation::Exception reaches the uncaught handler, then the
// process terminates: during launch and from a block the main run loop runs.
class RaisingDelegate : public Responder {
 public:
  explicit RaisingDelegate(rt::Class& cls) : Responder(cls) {}
  bool did_finish(rt::Id, Dict) { foundation::Exception::raise("TestLaunchException", "raised at launch"); }
};

void report_uncaught(const foundation::Exception& e) {
  std::fprintf(stderr, "uncaught handler: %s %s\n", e.name.c_str(), e.reason.c_str());
  std::fflush(stderr);
}

TEST_F(LaunchTest, UncaughtExceptionGoesToTheHandlerThenTerminates) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  foundation::set_uncaught_exception_handler(&report_uncaught);
  rt::ClassBuilder<RaisingDelegate>("RaisingDelegate", "UIResponder")
      .method(sel::did_finish_launching, &RaisingDelegate::did_finish)
      .define();
  MainOptions raising = options();
  raising.delegate_class = "RaisingDelegate";
  EXPECT_DEATH(application_main(0, nullptr, raising), "uncaught handler: TestLaunchException raised at launch");

  EXPECT_DEATH(
      {
        dispatch::Queue::main().async([] { foundation::Exception::raise("TestRunException", "raised in the loop"); });
        application_main(0, nullptr, options());
      },
      "uncaught handler: TestRunException raised in the loop");
  foundation::set_uncaught_exception_handler(nullptr);
}

class PlainDelegate : public Responder {
 public:
  explicit PlainDelegate(rt::Class& cls) : Responder(cls) {}
};

TEST_F(LaunchTest, RespondsToCacheRefreshedAtEverySetEvenNilAndBack) {
  application_launch(0, nullptr, options());
  Application& app = *Application::shared();
  rt::Class& cls = rt::ClassBuilder<PlainDelegate>("PlainDelegate", "UIResponder").define();
  rt::Id delegate = cls.create();
  std::vector<std::pair<rt::Object*, rt::Object*>> seen;
  auto token = app.observe_delegate([&](rt::Id o, rt::Id n) { seen.emplace_back(o.get(), n.get()); });
  rt::Object* previous = app.delegate().get();

  rt::send(app, sel::set_delegate, delegate);
  int received = 0;
  ASSERT_TRUE(cls.add_method(sel::did_receive_remote_notification,
                             rt::Imp::make(sel::did_receive_remote_notification,
                                           [&](rt::Object&, rt::Id, Dict) { ++received; })));
  // Added after the set: the cache does not know yet.
  EXPECT_FALSE(app.delegate_responds(sel::did_receive_remote_notification));
  EXPECT_FALSE(app.send_to_delegate(sel::did_receive_remote_notification, app.self_id(), Dict{}));
  EXPECT_EQ(received, 0);

  rt::send(app, sel::set_delegate, rt::Id{});
  EXPECT_FALSE(app.delegate_responds(sel::did_receive_remote_notification));
  rt::send(app, sel::set_delegate, delegate);
  EXPECT_TRUE(app.delegate_responds(sel::did_receive_remote_notification));
  EXPECT_TRUE(app.send_to_delegate(sel::did_receive_remote_notification, app.self_id(), Dict{}));
  EXPECT_EQ(received, 1);

  const std::vector<std::pair<rt::Object*, rt::Object*>> expected{
      {previous, delegate.get()}, {delegate.get(), nullptr}, {nullptr, delegate.get()}};
  EXPECT_EQ(seen, expected);
  token.remove();
  rt::send(app, sel::set_delegate, rt::Id{});
  EXPECT_EQ(seen.size(), 3u);
}

TEST_F(LaunchTest, BadgeSetterIsARuntimeMethod) {
  Application& app = application_launch(0, nullptr, options());
  rt::Class* cls = rt::Runtime::shared().find("UIApplication");
  rt::Imp original = cls->lookup(sel::set_badge);
  std::vector<std::int64_t> seen;
  cls->replace_method(sel::set_badge, rt::Imp::make(sel::set_badge, [&](rt::Object& self, std::int64_t n) {
                        seen.push_back(n);
                        original.call(sel::set_badge, self, n);
                      }));
  rt::send(app, sel::set_badge, std::int64_t{7});
  EXPECT_EQ(seen, std::vector<std::int64_t>{7});
  EXPECT_EQ(app.badge_number(), 7);
}

}  // namespace
}  // namespace platform::ui::test

namespace platform::ui::test {
namespace {

// The legacy open-URL form is one of the cached optional selectors; the
// application class answers sharedApplication.
TEST_F(LaunchTest, LegacyOpenUrlJoinsTheCacheAtTheNextSetAndSharedApplicationAnswers) {
  rt::Class& app_class = *rt::Runtime::shared().find("UIApplication");
  EXPECT_EQ(rt::send(app_class, sel::shared_application), nullptr);  // before launch

  application_launch(0, nullptr, options());
  Application& app = *Application::shared();
  EXPECT_EQ(rt::send(app_class, sel::shared_application).get(), &app);

  rt::Class& cls = rt::ClassBuilder<PlainDelegate>("UrlLaterDelegate", "UIResponder").define();
  rt::Id delegate = cls.create();
  rt::send(app, sel::set_delegate, delegate);
  std::vector<std::string> seen;
  ASSERT_TRUE(cls.add_method(sel::open_url_source_application,
                             rt::Imp::make(sel::open_url_source_application,
                                           [&](rt::Object&, rt::Id, foundation::Url url,
                                               std::optional<std::string> source, Value annotation) {
                                             seen.push_back(url.absolute_string() + " " + source.value_or("-") +
                                                            " " + foundation::describe(annotation));
                                             return true;
                                           })));
  const auto url = *foundation::Url::parse("demo://x");
  EXPECT_FALSE(app.send_to_delegate(sel::open_url_source_application, app.self_id(), url, "src", Value(1)));

  rt::send(app, sel::set_delegate, delegate);  // the same object again
  EXPECT_TRUE(app.delegate_responds(sel::open_url_source_application));
  EXPECT_FALSE(app.delegate_responds(sel::open_url));
  EXPECT_EQ(app.send_to_delegate(sel::open_url_source_application, app.self_id(), url, "src", Value(1)), true);
  EXPECT_EQ(seen, std::vector<std::string>{"demo://x src 1"});
}

}  // namespace
}  // namespace platform::ui::test
