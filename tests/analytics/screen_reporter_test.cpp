// Screen tracking on the ui model: "_vs" at each screen change with the
// previous screen's parameters, the visible-controller walk through
// presentation, navigation, tab bar and page controllers, activation and
// resignation, manual naming, screen parameters on events, the class-name and
// switch rules, foreign associated objects and freed stack entries.
#include <algorithm>
#include <any>
#include <thread>

#include "analytics/sessions/screen.h"
#include "analytics/sessions/screen_reporter.h"
#include "analytics/identity/environment.h"
#include "tests/analytics/screen_support.h"
#include "tests/analytics/support.h"

namespace {

namespace fd = platform::foundation;
namespace rt = platform::rt;
namespace ui = platform::ui;
using analytics::APMScreenViewReporter;
using analytics_test::makeScreenController;
using analytics_test::MonitorRecorder;
using analytics_test::ScreenHarnessTest;

std::shared_ptr<ui::ViewController> screenRootNamed(const std::string& name) { return makeScreenController(name); }


class ScreenTrackingTest : public ScreenHarnessTest {};

TEST_F(ScreenTrackingTest, PresentingAndDismissingReturnsToTheFirstInstance) {
  launch({{"HomeScreen"}, {"DetailScreen"}}, [] { return screenRootNamed("HomeScreen"); });
  ASSERT_TRUE(waitForEvents("_vs", 1));
  auto home = keyWindow()->root_view_controller_shared();
  auto detail = makeScreenController("DetailScreen");
  home->present(detail, false, {});
  ASSERT_TRUE(waitForEvents("_vs", 2));
  detail->dismiss(false, {});
  ASSERT_TRUE(waitForEvents("_vs", 3));
  settle();

  const auto views = seen("_vs");
  ASSERT_EQ(views.size(), 3u);
  EXPECT_EQ(views[0].origin, "auto");
  EXPECT_EQ(text(views[0], "_sc"), "HomeScreen");
  EXPECT_TRUE(views[0].parameter("_pc").is_null());
  EXPECT_EQ(text(views[1], "_sc"), "DetailScreen");
  EXPECT_EQ(text(views[1], "_pc"), "HomeScreen");
  EXPECT_EQ(integer(views[1], "_pi"), integer(views[0], "_si"));
  EXPECT_NE(integer(views[1], "_si"), integer(views[0], "_si"));
  EXPECT_EQ(text(views[2], "_sc"), "HomeScreen");
  EXPECT_EQ(integer(views[2], "_si"), integer(views[0], "_si"));
  EXPECT_EQ(text(views[2], "_pc"), "DetailScreen");
  EXPECT_EQ(integer(views[2], "_pi"), integer(views[1], "_si"));
}

TEST_F(ScreenTrackingTest, NavigationPushAndPopFollowTheTopController) {
  launch({{"HomeScreen"}, {"PushedScreen"}},
         [] { return std::make_shared<ui::NavigationController>(screenRootNamed("HomeScreen")); });
  ASSERT_TRUE(waitForEvents("_vs", 1));
  auto* navigation = dynamic_cast<ui::NavigationController*>(keyWindow()->root_view_controller());
  ASSERT_NE(navigation, nullptr);
  navigation->push(makeScreenController("PushedScreen"), false);
  ASSERT_TRUE(waitForEvents("_vs", 2));
  navigation->pop(false);
  ASSERT_TRUE(waitForEvents("_vs", 3));
  settle();

  const auto views = seen("_vs");
  ASSERT_EQ(views.size(), 3u);
  EXPECT_EQ(text(views[0], "_sc"), "HomeScreen");
  EXPECT_EQ(text(views[1], "_sc"), "PushedScreen");
  EXPECT_EQ(text(views[2], "_sc"), "HomeScreen");
  EXPECT_EQ(integer(views[2], "_si"), integer(views[0], "_si"));
}

// Containers lead to the stated child: the tab bar to its selected
// controller, the page controller to its first page.
struct ScreenContainerCase {
  const char* label;
  std::function<std::shared_ptr<ui::ViewController>()> root;
  const char* expected;
};

class ScreenContainerTest : public ScreenHarnessTest, public ::testing::WithParamInterface<ScreenContainerCase> {};

TEST_P(ScreenContainerTest, TheContainerShowsTheStatedChild) {
  launch({{"FirstChild"}, {"SecondChild"}}, GetParam().root);
  ASSERT_TRUE(waitForEvents("_vs", 1));
  settle();
  const auto views = seen("_vs");
  ASSERT_EQ(views.size(), 1u);
  EXPECT_EQ(text(views[0], "_sc"), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Containers, ScreenContainerTest,
    ::testing::Values(ScreenContainerCase{"TabBarSelection",
                                          [] {
                                            auto tabs = std::make_shared<ui::TabBarController>();
                                            tabs->set_view_controllers(
                                                {screenRootNamed("FirstChild"), screenRootNamed("SecondChild")});
                                            tabs->set_selected_index(1);
                                            return tabs;
                                          },
                                          "SecondChild"},
                      ScreenContainerCase{"PageControllerFirstPage",
                                          [] {
                                            auto pages = std::make_shared<ui::PageViewController>();
                                            pages->set_view_controllers(
                                                {screenRootNamed("FirstChild"), screenRootNamed("SecondChild")});
                                            return pages;
                                          },
                                          "FirstChild"}),
    [](const ::testing::TestParamInfo<ScreenContainerCase>& param) { return std::string(param.param.label); });

TEST_F(ScreenTrackingTest, AChangeWhileInactiveIsLoggedAtTheNextActivation) {
  launch({{"HomeScreen"}, {"PushedScreen"}},
         [] { return std::make_shared<ui::NavigationController>(screenRootNamed("HomeScreen")); });
  ASSERT_TRUE(waitForEvents("_vs", 1));
  EXPECT_TRUE(analytics::APMIsAppActive());
  ASSERT_TRUE(h().device().background().ok);
  EXPECT_FALSE(analytics::APMIsAppActive());
  MonitorRecorder monitor;
  auto* navigation = dynamic_cast<ui::NavigationController*>(keyWindow()->root_view_controller());
  navigation->push(makeScreenController("PushedScreen"), false);
  settle();
  EXPECT_EQ(seen("_vs").size(), 1u);
  EXPECT_EQ(analytics_test::codeCount(monitor.codes(), 31013), 1u);
  EXPECT_TRUE(APMScreenViewReporter::sharedInstance()->screenParameters().empty());

  ASSERT_TRUE(h().device().foreground().ok);
  EXPECT_TRUE(analytics::APMIsAppActive());
  ASSERT_TRUE(waitForEvents("_vs", 2));
  settle();
  const auto views = seen("_vs");
  ASSERT_EQ(views.size(), 2u);
  EXPECT_EQ(text(views[1], "_sc"), "PushedScreen");
  EXPECT_EQ(text(views[1], "_pc"), "HomeScreen");
}

TEST_F(ScreenTrackingTest, EventsLoggedWhileActiveCarryTheScreen) {
  launch({{"HomeScreen"}}, [] { return screenRootNamed("HomeScreen"); });
  ASSERT_TRUE(waitForEvents("_vs", 1));
  analytics::APMAnalytics::logEventWithOrigin("app", "plain_event", fd::Dict());
  ASSERT_TRUE(waitForEvents("plain_event", 1));
  APMScreenViewReporter::sharedInstance()->setScreenName(std::string("Welcome"), std::nullopt);
  ASSERT_TRUE(waitForEvents("_vs", 2));
  analytics::APMAnalytics::logEventWithOrigin("app", "named_event", fd::Dict());
  ASSERT_TRUE(waitForEvents("named_event", 1));
  settle();

  const auto home = seen("_vs")[0];
  const auto plain = seen("plain_event")[0];
  EXPECT_EQ(text(plain, "_sc"), "HomeScreen");
  EXPECT_EQ(integer(plain, "_si"), integer(home, "_si"));
  EXPECT_TRUE(plain.parameter("_sn").is_null());
  const auto named = seen("named_event")[0];
  EXPECT_EQ(text(named, "_sn"), "Welcome");
  EXPECT_EQ(text(named, "_sc"), "HomeScreen");
  EXPECT_NE(integer(named, "_si"), integer(home, "_si"));
}

TEST_F(ScreenTrackingTest, ManualNamingRules) {
  launch({{"HomeScreen"}}, [] { return screenRootNamed("HomeScreen"); });
  ASSERT_TRUE(waitForEvents("_vs", 1));
  MonitorRecorder monitor;
  auto reporter = APMScreenViewReporter::sharedInstance();
  reporter->setScreenName(std::string("Checkout"), std::string("CartScreen"));
  reporter->setScreenName(std::string("Checkout"), std::string("CartScreen"));
  reporter->setScreenName(std::string(101, 'n'), std::nullopt);
  reporter->setScreenName(std::nullopt, std::string(""));
  // Off the main thread the entry refuses the call.
  std::thread([] { analytics::APMAnalytics::setScreenName(std::string("Elsewhere"), std::nullopt); }).join();
  ASSERT_TRUE(waitForEvents("_vs", 2));
  settle();

  const auto views = seen("_vs");
  ASSERT_EQ(views.size(), 2u);
  EXPECT_EQ(text(views[1], "_sn"), "Checkout");
  EXPECT_EQ(text(views[1], "_sc"), "CartScreen");
  EXPECT_EQ(text(views[1], "_pc"), "HomeScreen");
  const auto codes = monitor.codes();
  EXPECT_EQ(analytics_test::codeCount(codes, 31009), 1u);
  EXPECT_EQ(analytics_test::codeCount(codes, 31004), 1u);
  EXPECT_EQ(analytics_test::codeCount(codes, 31001), 1u);
  EXPECT_EQ(analytics_test::codeCount(codes, 31002), 1u);
  EXPECT_EQ(analytics_test::codeCount(codes, 25025), 1u);
  std::optional<std::string> name, screenClass;
  reporter->getScreenName(&name, &screenClass);
  EXPECT_EQ(name, "Checkout");
  EXPECT_EQ(screenClass, "CartScreen");
}

// Before anything appeared the stack is empty; a stack whose only entry was
// freed counts as empty too, and the freed controller is never named.
TEST_F(ScreenTrackingTest, NamingNeedsALiveControllerOnTheStack) {
  launch({{"HomeScreen"}, {"GoneScreen"}}, [] { return screenRootNamed("HomeScreen"); });
  ASSERT_TRUE(waitForEvents("_vs", 1));
  auto stack = std::make_shared<analytics::APMPointerArray>();
  {
    auto gone = makeScreenController("GoneScreen");
    stack->entries.push_back(gone);
  }
  analytics::APMSetWindowStack(*keyWindow(), stack);
  MonitorRecorder monitor;
  APMScreenViewReporter::sharedInstance()->setScreenName(std::string("Lost"), std::nullopt);
  settle();
  EXPECT_EQ(analytics_test::codeCount(monitor.codes(), 31003), 1u);
  EXPECT_EQ(seen("_vs").size(), 1u);
  EXPECT_TRUE(stack->entries.empty());
}

// The walk falls back to the bottom entry only when it is alive; a freed
// bottom entry is dropped and the next live one used, or nothing (31011).
TEST_F(ScreenTrackingTest, AFreedBottomEntryIsNeverUsed) {
  launch({{"HomeScreen"}, {"GoneScreen"}, {"OffScreen"}}, [] { return screenRootNamed("HomeScreen"); });
  ASSERT_TRUE(waitForEvents("_vs", 1));
  auto offScreen = makeScreenController("OffScreen");  // never shown: its view is not loaded
  analytics::APMPointerArray stack;
  {
    auto gone = makeScreenController("GoneScreen");
    stack.entries.push_back(gone);
  }
  stack.entries.push_back(offScreen);
  EXPECT_EQ(analytics::APMVisibleViewControllerInStack(stack), offScreen);
  EXPECT_EQ(stack.entries.size(), 1u);

  analytics::APMPointerArray freedOnly;
  {
    auto gone = makeScreenController("GoneScreen");
    freedOnly.entries.push_back(gone);
  }
  MonitorRecorder monitor;
  EXPECT_EQ(analytics::APMVisibleViewControllerInStack(freedOnly), nullptr);
  EXPECT_EQ(analytics_test::codeCount(monitor.codes(), 31011), 1u);
}

// Class names: module-qualified names lose their module, a trailing "." keeps
// the whole name; a 130-character class is cut to 100 (31007); a "_" class
// outside the main image is never tracked, one of the app's own is.
TEST_F(ScreenTrackingTest, ScreenClassNames) {
  const struct {
    std::string name, expected;
  } cases[] = {{"MyApp.HomeViewController", "HomeViewController"},
               {"HomeViewController", "HomeViewController"},
               {"Trailing.", "Trailing."},
               {"A.B.Inner", "Inner"},
               {".Leading", "Leading"}};
  for (const auto& c : cases) EXPECT_EQ(analytics::APMUnqualifiedClassName(c.name), c.expected) << c.name;

  const std::string longName(130, 'L');
  launch({{"HomeScreen"}, {longName}, {"_PlatformInternal", "UIKitCore"}, {"_OwnScreen"}},
         [] { return std::make_shared<ui::NavigationController>(screenRootNamed("HomeScreen")); });
  ASSERT_TRUE(waitForEvents("_vs", 1));
  MonitorRecorder monitor;
  auto* navigation = dynamic_cast<ui::NavigationController*>(keyWindow()->root_view_controller());
  navigation->push(makeScreenController(longName), false);
  ASSERT_TRUE(waitForEvents("_vs", 2));
  navigation->push(makeScreenController("_PlatformInternal"), false);
  navigation->push(makeScreenController("_OwnScreen"), false);
  ASSERT_TRUE(waitForEvents("_vs", 3));
  settle();

  const auto views = seen("_vs");
  ASSERT_EQ(views.size(), 3u);
  EXPECT_EQ(text(views[1], "_sc"), std::string(100, 'L'));
  EXPECT_EQ(analytics_test::codeCount(monitor.codes(), 31007), 1u);
  EXPECT_EQ(text(views[2], "_sc"), "_OwnScreen");
  EXPECT_EQ(text(views[2], "_pc"), std::string(100, 'L'));
  auto hidden = makeScreenController("_PlatformInternal");
  hidden->view();
  EXPECT_FALSE(analytics::APMIsTrackableViewController(*hidden));
}

TEST_F(ScreenTrackingTest, AForeignAssociatedObjectIsDropped) {
  launch({{"HomeScreen"}}, [] { return screenRootNamed("HomeScreen"); });
  ASSERT_TRUE(waitForEvents("_vs", 1));
  MonitorRecorder monitor;
  auto controller = makeScreenController("HomeScreen");
  controller->set_associated(&analytics::kAPMScreenAssociationKey, std::any(std::string("stray")));
  EXPECT_EQ(analytics::APMViewControllerScreen(*controller), nullptr);
  EXPECT_FALSE(controller->associated(&analytics::kAPMScreenAssociationKey).has_value());
  keyWindow()->set_associated(&analytics::kAPMStackAssociationKey, std::any(42));
  EXPECT_EQ(analytics::APMWindowStack(*keyWindow()), nullptr);
  EXPECT_NE(analytics::APMKeyWindowStack(), nullptr);
  const auto codes = monitor.codes();
  EXPECT_EQ(analytics_test::codeCount(codes, 36000), 1u);
  EXPECT_EQ(analytics_test::codeCount(codes, 38000), 1u);
}

TEST_F(ScreenTrackingTest, SwitchedOffNothingIsHookedOrNamed) {
  launch({{"HomeScreen"}}, [] { return screenRootNamed("HomeScreen"); },
         fd::Dict{{"DavidizeScreenReportingEnabled", fd::Value(false)}});
  MonitorRecorder monitor;
  analytics::APMAnalytics::logEventWithOrigin("app", "marker_event", fd::Dict());
  ASSERT_TRUE(waitForEvents("marker_event", 1));
  APMScreenViewReporter::sharedInstance()->setScreenName(std::string("Named"), std::nullopt);
  settle();
  EXPECT_TRUE(seen("_vs").empty());
  EXPECT_TRUE(seen("marker_event")[0].parameter("_si").is_null());
  EXPECT_TRUE(analytics::APMIsAppActive());
  EXPECT_TRUE(APMScreenViewReporter::sharedInstance()->screenParameters().empty());
  EXPECT_EQ(analytics_test::codeCount(monitor.codes(), 31000), 1u);
}

class ScreenSwitchTest : public analytics_test::AnalyticsDeviceTest {
 protected:
  void TearDown() override { platform::dispatch::wait_until_idle(); }
};

TEST_F(ScreenSwitchTest, OnlyANumberSwitchesScreenReportingOff) {
  const struct {
    fd::Dict info;
    bool enabled;
  } cases[] = {
      {{}, true},
      {{{"DavidizeScreenReportingEnabled", fd::Value(false)}}, false},
      {{{"DavidizeScreenReportingEnabled", fd::Value(0)}}, false},
      {{{"DavidizeAutomaticScreenReportingEnabled", fd::Value(false)}}, false},
      {{{"DavidizeScreenReportingEnabled", fd::Value(true)},
        {"DavidizeAutomaticScreenReportingEnabled", fd::Value(false)}},
       true},
      {{{"DavidizeScreenReportingEnabled", fd::Value("NO")}}, true},
      {{{"DavidizeScreenReportingEnabled", fd::Value("NO")},
        {"DavidizeAutomaticScreenReportingEnabled", fd::Value(false)}},
       true},
  };
  int index = 0;
  for (const auto& c : cases) {
    boot({}, c.info);
    EXPECT_EQ(analytics::APMIsAutomaticScreenReportingEnabled(), c.enabled) << "case " << index;
    ++index;
  }
}

TEST(ScreenParameterRules, ParametersOfAScreen) {
  MonitorRecorder monitor;
  const auto full = analytics::APMScreenParameters(
      std::make_shared<analytics::APMScreen>(std::string("Name"), "Cls", 7));
  EXPECT_EQ(full.size(), 3u);
  const auto noClass = analytics::APMScreenParameters(std::make_shared<analytics::APMScreen>(std::nullopt, "", 8));
  EXPECT_EQ(noClass.size(), 1u);
  EXPECT_TRUE(noClass.contains("_si"));
  const auto badName = analytics::APMScreenParameters(
      std::make_shared<analytics::APMScreen>(std::string(101, 'x'), "Cls", 9));
  EXPECT_FALSE(badName.contains("_sn"));
  EXPECT_TRUE(badName.contains("_sc"));
  EXPECT_TRUE(analytics::APMPreviousScreenParameters(std::make_shared<analytics::APMScreen>(std::nullopt, "", 1)).empty());
  const auto previous =
      analytics::APMPreviousScreenParameters(std::make_shared<analytics::APMScreen>(std::string("N"), "C", 2));
  EXPECT_TRUE(previous.contains("_pc") && previous.contains("_pi") && previous.contains("_pn"));
  EXPECT_EQ(analytics_test::codeCount(monitor.codes(), 31014), 1u);
  platform::dispatch::wait_until_idle();
}

}  // namespace
