// Start-up: the launch order through the classes found by name and the push
// client, the prompt's answer, and the delegate's runtime class.
#include <gtest/gtest.h>

#include "app/strings.h"
#include "core/launch_selectors.h"
#include "platform/runtime/runtime.h"
#include "push/reraviror.h"
#include "tests/app/app_fixture.h"

namespace app::test {
namespace {

namespace rt = platform::rt;
namespace ui = platform::ui;

std::vector<std::string>& events() {
  static std::vector<std::string> log;
  return log;
}

class Recorder : public rt::Object {
 public:
  using rt::Object::Object;
};

void register_recording_classes(bool with_crash_kit) {
  rt::ClassBuilder<Recorder>("Divivi", "NSObject")
      .class_method(launch_sel::with,
                    [](rt::Class&, std::vector<rt::Class*> kits) -> rt::Id {
                      std::string names;
                      for (rt::Class* k : kits) names += (names.empty() ? "" : ",") + std::string(k->name());
                      events().push_back("with:[" + names + "]");
                      return nullptr;
                    })
      .define();
  if (with_crash_kit) rt::ClassBuilder<Recorder>("Divavozovid", "NSObject").define();
  rt::ClassBuilder<Recorder>("FIRApp", "NSObject")
      .class_method(launch_sel::configure, [](rt::Class&) { events().push_back("configure"); })
      .define();
}

const std::vector<std::string> kPushSteps{"init " + std::string(Strings::RerAviror::AppId), "in-focus 2", "prompt"};

TEST(Launch, KitHostThenCoreThenPushInOrder) {
  rt::Runtime::Scope scope;
  testing::Harness h;
  write_config(h, kConfig);
  register_recording_classes(true);
  auto record = record_push_calls(&events());
  h.boot_app(app::image());
  std::vector<std::string> expected{"with:[Divavozovid]", "configure"};
  expected.insert(expected.end(), kPushSteps.begin(), kPushSteps.end());
  EXPECT_EQ(events(), expected);
  EXPECT_EQ(record->settings, (platform::foundation::Dict{{"kOSSettingsKeyAutoPrompt", platform::foundation::Value(false)}}));
}

TEST(Launch, WithoutTheKitClassesTheKitListIsEmpty) {
  rt::Runtime::Scope scope;
  testing::Harness h;
  register_recording_classes(false);
  record_push_calls(&events());
  h.boot_app(app::image());
  ASSERT_FALSE(events().empty());
  EXPECT_EQ(events().front(), "with:[]");
}

// A launch of its own: the first launch's load hooks (the analytics
// connector's registration among them) run once per process.
TEST(Launch, WithoutAnyKitClassThePushStepsStillRun) {
  testing::Harness h;
  auto record = record_push_calls(&events());
  h.boot_app(app::image());
  EXPECT_EQ(events(), kPushSteps);
}

TEST(Launch, PromptAnswersAndReceivedNotificationsWriteTheirLines) {
  testing::Harness h;
  auto record = record_push_calls();
  h.boot_app(app::image());
  h.capture().clear();
  ASSERT_TRUE(record->prompt_response);
  record->prompt_response(true);
  record->prompt_response(false);
  record->received(nullptr);
  record->received(std::shared_ptr<push::OSNotification>(reinterpret_cast<push::OSNotification*>(8), [](auto*) {}));
  EXPECT_EQ(out_lines(h), (std::vector<std::string>{"User accepted notifications: true",
                                                     "User accepted notifications: false",
                                                     R"("New notification received")"}));
}

TEST(Launch, DelegateClassHasExactlyItsOwnSelectors) {
  rt::Runtime::Scope scope;
  ui::register_runtime_classes();
  app::register_runtime_classes();
  rt::Class* cls = rt::Runtime::shared().find("AppDelegate");
  ASSERT_TRUE(cls);
  EXPECT_EQ(cls->superclass()->name(), "UIResponder");
  for (const char* sel : {"window", "setWindow:", "init", "application:didFinishLaunchingWithOptions:",
                          "application:continueUserActivity:restorationHandler:", "applicationWillResignActive:",
                          "applicationDidEnterBackground:", "applicationWillEnterForeground:",
                          "applicationDidBecomeActive:", "applicationWillTerminate:"}) {
    EXPECT_TRUE(cls->resolve(rt::SelId(sel))) << sel;
  }
  // The push client adds these; the delegate has none of its own.
  for (const char* sel : {"application:didRegisterForRemoteNotificationsWithDeviceToken:",
                          "application:didFailToRegisterForRemoteNotificationsWithError:",
                          "application:didReceiveRemoteNotification:fetchCompletionHandler:",
                          "application:openURL:options:"}) {
    EXPECT_FALSE(cls->resolve(rt::SelId(sel))) << sel;
  }
}

TEST(Launch, FirstScreenSitsInANavigationControllerWithItsBarHidden) {
  testing::Harness h({.fakes = {::testing::Fake::intranet}});
  write_config(h, kConfig);
  record_push_calls();
  h.boot_app(app::image());
  ASSERT_TRUE(navigation());
  ASSERT_EQ(navigation()->view_controllers().size(), 1u);
  EXPECT_TRUE(navigation()->navigation_bar_hidden());
  EXPECT_TRUE(top_screen()->shouldHideNavBar);
  EXPECT_FALSE(ViewController::isFirstScreen());
  // It loads the compiled-in intranet address.
  ASSERT_TRUE(h.run_until([&] { return h.intranet().count("GET", "/") == 1; }));
}

TEST(Launch, TheFacadeGetsTheAppIdAndInFocusType) {
  testing::Harness h({.fakes = {::testing::Fake::push}});
  push_calls() = facade_push_calls();
  h.boot_app(app::image());
  EXPECT_EQ(push::RerAviror::app_id(), std::string(Strings::RerAviror::AppId));
  EXPECT_EQ(push::RerAviror::inFocusDisplayType(), 2);
}

}  // namespace
}  // namespace app::test
