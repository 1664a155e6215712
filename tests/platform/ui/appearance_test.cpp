// Appearance through the runtime: root replacement, push, pop, present, dismiss.
#include <gtest/gtest.h>

#include <functional>

#include "fixture.h"

namespace platform::ui::test {
namespace {

using Controllers = std::map<std::string, std::shared_ptr<RecordingController>>;

struct AppearanceCase {
  std::string name;
  // Builds the screen before the step: the window's initial root.
  std::function<std::shared_ptr<ViewController>(Controllers&)> initial;
  std::function<void(Window&, Controllers&)> step;
  std::vector<std::string> expected;
};

std::shared_ptr<RecordingController> rc(Controllers& c, const std::string& name) {
  auto& slot = c[name];
  if (!slot) slot = std::make_shared<RecordingController>(name);
  return slot;
}

class AppearanceTest : public UiTest, public ::testing::WithParamInterface<AppearanceCase> {};

TEST_P(AppearanceTest, Runs) {
  const AppearanceCase& c = GetParam();
  Controllers controllers;
  auto window = std::make_shared<Window>();
  window->set_root_view_controller(c.initial(controllers));
  window->make_key_and_visible();
  events().clear();
  c.step(*window, controllers);
  EXPECT_EQ(events(), c.expected);
}

NavigationController& nav_of(Window& w) { return dynamic_cast<NavigationController&>(*w.root_view_controller()); }

const AppearanceCase kCases[] = {
    {"SetRootReplacesTheVisibleRoot",
     [](Controllers& c) { return rc(c, "a"); },
     [](Window& w, Controllers& c) { w.set_root_view_controller(rc(c, "b")); },
     {"b.didLoad", "a.willDisappear", "b.willAppear", "a.didDisappear", "b.didAppear"}},
    {"SetRootOutsideANavigationControllerFromANavigation",
     [](Controllers& c) { return std::make_shared<NavigationController>(rc(c, "a")); },
     [](Window& w, Controllers& c) { w.set_root_view_controller(rc(c, "b")); },
     {"b.didLoad", "a.willDisappear", "b.willAppear", "a.didDisappear", "b.didAppear"}},
    {"Push",
     [](Controllers& c) { return std::make_shared<NavigationController>(rc(c, "a")); },
     [](Window& w, Controllers& c) { nav_of(w).push(rc(c, "b"), true); },
     {"b.didLoad", "b.willAppear", "a.willDisappear", "a.didDisappear", "b.didAppear"}},
    {"Pop",
     [](Controllers& c) {
       auto nav = std::make_shared<NavigationController>(rc(c, "a"));
       nav->push(rc(c, "b"), false);
       return nav;
     },
     [](Window& w, Controllers&) { EXPECT_NE(nav_of(w).pop(true), nullptr); },
     // a was never on screen: its view loads as it comes back.
     {"a.didLoad", "a.willAppear", "b.willDisappear", "b.didDisappear", "a.didAppear"}},
    {"PopOfTheRootDoesNothing",
     [](Controllers& c) { return std::make_shared<NavigationController>(rc(c, "a")); },
     [](Window& w, Controllers&) { EXPECT_EQ(nav_of(w).pop(true), nullptr); },
     {}},
    {"Present",
     [](Controllers& c) { return rc(c, "a"); },
     [](Window&, Controllers& c) { rc(c, "a")->present(rc(c, "b"), true, nullptr); },
     {"b.didLoad", "b.willAppear", "a.willDisappear", "a.didDisappear", "b.didAppear"}},
    {"Dismiss",
     [](Controllers& c) {
       auto a = rc(c, "a");
       return a;
     },
     [](Window&, Controllers& c) {
       rc(c, "a")->present(rc(c, "b"), false, nullptr);
       events().clear();
       rc(c, "b")->dismiss(true, nullptr);
     },
     {"b.willDisappear", "a.willAppear", "b.didDisappear", "a.didAppear"}},
};

INSTANTIATE_TEST_SUITE_P(Table, AppearanceTest, ::testing::ValuesIn(kCases),
                         [](const auto& param_info) { return param_info.param.name; });

class AppearanceSwizzleTest : public UiTest {};

TEST_F(AppearanceSwizzleTest, ReplaceOnTheBaseClassWrapsASubclassOverride) {
  rt::Class* base = rt::Runtime::shared().find("UIViewController");
  ASSERT_NE(base, nullptr);
  rt::Imp original = base->lookup(sel::view_did_appear);
  base->replace_method(sel::view_did_appear,
                       rt::Imp::make(sel::view_did_appear, [original](rt::Object& self, bool animated) {
                         events().push_back("swizzled " + dynamic_cast<RecordingController&>(self).name);
                         original.call(sel::view_did_appear, self, animated);
                       }));
  auto window = std::make_shared<Window>();
  window->set_root_view_controller(std::make_shared<RecordingController>("a"));
  window->make_key_and_visible();
  EXPECT_EQ(events(), (std::vector<std::string>{"a.didLoad", "a.willAppear", "swizzled a", "a.didAppear"}));
}

TEST_F(AppearanceSwizzleTest, CompletionsRunOnTheNextMainQueueTurn) {
  auto a = std::make_shared<RecordingController>("a");
  auto window = std::make_shared<Window>();
  window->set_root_view_controller(a);
  window->make_key_and_visible();
  std::vector<std::string> done;
  a->present(std::make_shared<RecordingController>("b"), true, [&] { done.push_back("presented"); });
  EXPECT_TRUE(done.empty());
  dispatch::RunLoop::main().run_pending();
  a->dismiss(true, [&] { done.push_back("dismissed"); });
  EXPECT_EQ(done, std::vector<std::string>{"presented"});
  dispatch::RunLoop::main().run_pending();
  EXPECT_EQ(done, (std::vector<std::string>{"presented", "dismissed"}));

  auto alert = AlertController::make("t", "m", 1);
  alert->add_action({"OK", 0, [&](const AlertAction& act) { done.push_back("action " + act.title); }});
  a->present(alert, true, nullptr);
  alert->tap(0);
  EXPECT_EQ(done.size(), 2u);
  EXPECT_EQ(a->presented(), nullptr);
  dispatch::RunLoop::main().run_pending();
  EXPECT_EQ(done.back(), "action OK");
}

}  // namespace
}  // namespace platform::ui::test
