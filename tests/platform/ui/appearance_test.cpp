// Appearance through the runtime: root replacement, push, pop, present, dismiss.
#include <gtest/gtest.h>

#include <functional>

#include "fixture.h"
#include "platform/testing/capture.h"

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

// Records layout passes next to the appearance callbacks.
class LayoutController : public RecordingController {
 public:
  using RecordingController::RecordingController;
  void view_did_layout_subviews() override { events().push_back(name + ".layout"); }
};

TEST_F(AppearanceSwizzleTest, LayoutFollowsLoadAppearAndDisappear) {
  auto a = std::make_shared<LayoutController>("a");
  auto b = std::make_shared<LayoutController>("b");
  auto nav = std::make_shared<NavigationController>(a);
  auto window = std::make_shared<Window>();
  window->set_root_view_controller(nav);
  window->make_key_and_visible();
  EXPECT_EQ(events(), (std::vector<std::string>{"a.didLoad", "a.layout", "a.willAppear", "a.didAppear", "a.layout"}));
  events().clear();
  nav->push(b, false);
  EXPECT_EQ(events(), (std::vector<std::string>{"b.didLoad", "b.layout", "b.willAppear", "a.willDisappear",
                                                "a.didDisappear", "a.layout", "b.didAppear", "b.layout"}));
}

TEST_F(AppearanceSwizzleTest, PresentWhilePresentingIsRefusedWithALogLine) {
  auto a = std::make_shared<RecordingController>("a");
  auto window = std::make_shared<Window>();
  window->set_root_view_controller(a);
  window->make_key_and_visible();
  auto b = std::make_shared<RecordingController>("b");
  a->present(b, false, nullptr);
  events().clear();
  platform::testing::CaptureSinks sinks;
  bool completed = false;
  auto c = std::make_shared<RecordingController>("c");
  a->present(c, false, [&] { completed = true; });
  dispatch::RunLoop::main().run_pending();
  EXPECT_TRUE(events().empty());
  EXPECT_FALSE(completed);
  EXPECT_EQ(a->presented(), b.get());
  EXPECT_EQ(c->presenting(), nullptr);
  // Nor can a presented controller be presented a second time.
  auto d = std::make_shared<RecordingController>("d");
  d->present(b, false, [&] { completed = true; });
  dispatch::RunLoop::main().run_pending();
  EXPECT_FALSE(completed);
  EXPECT_EQ(d->presented(), nullptr);
  EXPECT_EQ(b->presenting(), a.get());
  int refused = 0;
  for (const auto& line : sinks.system_log()) refused += line.find("[platform] present refused") != std::string::npos;
  EXPECT_EQ(refused, 2);

  // The presented controller may present in turn; dismissing from the middle
  // takes away what it presents.
  b->present(c, false, nullptr);
  EXPECT_EQ(events(), (std::vector<std::string>{"c.didLoad", "c.willAppear", "b.willDisappear", "b.didDisappear",
                                                "c.didAppear"}));
  events().clear();
  b->dismiss(false, nullptr);
  EXPECT_EQ(events(), (std::vector<std::string>{"c.willDisappear", "b.willAppear", "c.didDisappear", "b.didAppear"}));
  EXPECT_EQ(a->presented(), b.get());

  // Dismissing from the bottom of a chain takes the whole chain; only its top was on screen.
  b->present(c, false, nullptr);
  events().clear();
  a->dismiss(false, nullptr);
  EXPECT_EQ(events(), (std::vector<std::string>{"c.willDisappear", "a.willAppear", "c.didDisappear", "a.didAppear"}));
  EXPECT_EQ(a->presented(), nullptr);
  EXPECT_EQ(b->presented(), nullptr);
  EXPECT_EQ(c->presenting(), nullptr);
  EXPECT_FALSE(b->is_appeared());
}

class AlertRecorder : public AlertViewDelegate {
 public:
  void clicked_button(AlertView& v, int index) override { seen.push_back("clicked " + v.button_title(index)); }
  void did_dismiss(AlertView& v, int index) override {
    seen.push_back("dismissed " + std::to_string(index) + " visible=" +
                   std::to_string(Application::shared()->visible_alert_views().size()) + " " + v.title);
  }
  std::vector<std::string> seen;
};

TEST_F(AppearanceSwizzleTest, AlertViewButtonsAnswerOnTheNextTurn) {
  application_launch(0, nullptr, MainOptions{});
  auto recorder = std::make_shared<AlertRecorder>();
  auto alert = std::make_shared<AlertView>("Title", "Message", recorder, "Cancel", std::vector<std::string>{"Send"});
  EXPECT_EQ(alert->isa().name(), "UIAlertView");
  EXPECT_EQ(alert->add_button("Later"), 2);
  EXPECT_EQ(alert->number_of_buttons(), 3);
  EXPECT_EQ(alert->cancel_button_index(), 0);
  alert->show();
  EXPECT_EQ(Application::shared()->visible_alert_views().size(), 1u);
  alert->tap(1);
  alert->tap(2);  // already answered
  EXPECT_TRUE(recorder->seen.empty());
  dispatch::RunLoop::main().run_pending();
  EXPECT_EQ(recorder->seen, (std::vector<std::string>{"clicked Send", "dismissed 1 visible=0 Title"}));
  EXPECT_FALSE(alert->is_visible());
}

TEST_F(AppearanceSwizzleTest, AlertControllerActionsRunAfterTheDismissal) {
  auto a = std::make_shared<RecordingController>("a");
  auto window = std::make_shared<Window>();
  window->set_root_view_controller(a);
  window->make_key_and_visible();
  std::vector<std::string> ran;
  auto alert = AlertController::make("Title", std::nullopt, 1);
  EXPECT_EQ(alert->isa().name(), "UIAlertController");
  alert->add_action({"Cancel", 1, [&](const AlertAction& act) { ran.push_back(act.title); }});
  alert->add_action({"Delete", 2, [&](const AlertAction& act) {
                       ran.push_back(act.title + (a->presented() ? " presented" : " dismissed"));
                     }});
  alert->add_action({"Plain", 0, nullptr});
  a->present(alert, true, nullptr);
  dispatch::RunLoop::main().run_pending();
  events().clear();
  alert->tap(1);
  EXPECT_EQ(events(), (std::vector<std::string>{"a.willAppear", "a.didAppear"}));  // dismissed at once
  EXPECT_TRUE(ran.empty());
  dispatch::RunLoop::main().run_pending();
  EXPECT_EQ(ran, std::vector<std::string>{"Delete dismissed"});
  alert->tap(7);  // no such action
  a->present(alert, false, nullptr);
  alert->tap(2);  // no handler
  dispatch::RunLoop::main().run_pending();
  EXPECT_EQ(ran.size(), 1u);
  EXPECT_EQ(a->presented(), nullptr);
}

}  // namespace
}  // namespace platform::ui::test
