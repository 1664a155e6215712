// The analytics entry: calls made before the start wait in call order with
// their call times, invalid public names become "_err" events, the
// interceptor and the listeners, ad events, and enabling after a deactivated
// start.
#include <algorithm>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "analytics/engine/analytics_entry.h"
#include "analytics/model/event_parameters.h"
#include "platform/testing/manual_clock.h"
#include "tests/analytics/engine_support.h"
#include "tests/analytics/support.h"

namespace {

namespace fd = platform::foundation;
using analytics::APMAnalytics;
using analytics_test::EventListenerRecorder;
using analytics_test::MonitorRecorder;
using platform::testing::ManualClock;
using namespace std::chrono_literals;

class AnalyticsEntryTest : public analytics_test::AnalyticsEngineTest {
 protected:
  void start(bool enabled = true, bool deactivated = false) {
    APMAnalytics::startWithAppID(std::string(analytics_test::kTestAppID), "fa",
                                 analytics_test::startOptions(enabled, deactivated));
  }
};

std::ptrdiff_t countOf(const std::vector<std::int64_t>& codes, std::int64_t code) {
  return std::count(codes.begin(), codes.end(), code);
}

TEST_F(AnalyticsEntryTest, CallsBeforeTheStartRunAfterItInCallOrderWithTheirCallTimes) {
  auto clock = ManualClock::install();
  boot();
  EventListenerRecorder listener;
  const double t0 = clock->now_since_1970();
  APMAnalytics::logEventWithName("first_event", {{"step", fd::Value(1)}});
  clock->advance(5s);
  APMAnalytics::logInternalEventWithOrigin("auto", "_internal", {});
  clock->advance(5s);
  APMAnalytics::logEventWithName("second_event", {});
  APMAnalytics::setUserPropertyString(fd::Value("blue"), "color");
  APMAnalytics::resetAnalyticsData();
  // Nothing runs before the start.
  ASSERT_TRUE(listener.events().empty());
  start();
  ASSERT_TRUE(listener.waitFor(3));
  ASSERT_TRUE(analytics_test::drainEntry());
  // The start's own automatic events ("_f", "_e") aside.
  std::vector<analytics_test::SeenEvent> events;
  for (const auto& event : listener.events()) {
    if (event.name != "_f" && event.name != "_e") events.push_back(event);
  }
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].name, "first_event");
  EXPECT_EQ(events[0].origin, "app");
  EXPECT_EQ(events[0].timestamp, t0);
  EXPECT_EQ(events[0].parameter("step"), fd::Value(1));
  EXPECT_EQ(events[1].name, "_internal");
  EXPECT_EQ(events[1].origin, "auto");
  EXPECT_EQ(events[1].timestamp, t0 + 5);
  EXPECT_EQ(events[2].name, "second_event");
  EXPECT_EQ(events[2].timestamp, t0 + 10);
  // The reset moved the load time to its call.
  EXPECT_EQ(APMAnalytics::loadTimestamp(), t0 + 10);
}

TEST_F(AnalyticsEntryTest, AnInvalidPublicNameGivesOneErrorEventAndNoEventOfThatName) {
  boot();
  EventListenerRecorder listener;
  start();
  APMAnalytics::logEventWithName("1starts_with_digit", {});
  APMAnalytics::logEventWithName("ga_reserved", {});
  ASSERT_TRUE(listener.waitFor(2));
  ASSERT_TRUE(analytics_test::drainEntry());
  const auto events = listener.events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].name, "_err");
  EXPECT_EQ(events[0].origin, "auto");
  EXPECT_EQ(events[0].parameter("_err"), fd::Value(2));
  EXPECT_EQ(events[0].parameter("_ev"), fd::Value("1starts_with_digit"));
  EXPECT_EQ(events[1].name, "_err");
  EXPECT_EQ(events[1].parameter("_err"), fd::Value(13));
}

TEST_F(AnalyticsEntryTest, TheInterceptorGetsPublicEventsAndTheirResendReachesTheEngine) {
  boot();
  analytics::APMInstallScreensSeam(std::make_shared<analytics_test::FixedScreens>(
      fd::Dict{{"_sc", fd::Value("HomeController")}, {"_si", fd::Value(42)}}));
  EventListenerRecorder listener;
  struct Intercepted {
    std::string origin, name;
    fd::Dict parameters;
    double timestamp = 0;
  };
  std::promise<Intercepted> intercepted;
  bool once = false;
  APMAnalytics::setLogEventInterceptor(
      [&](const std::string& origin, const std::string& name, const fd::Dict& parameters, double timestamp) {
        if (once) return;
        once = true;
        intercepted.set_value({origin, name, parameters, timestamp});
      });
  start();
  // Internal events pass the interceptor.
  APMAnalytics::logInternalEventWithOrigin("auto", "_internal", {});
  APMAnalytics::logEventWithOrigin("app+gtm", "picked_item", {{"item", fd::Value("cup")}});
  auto future = intercepted.get_future();
  ASSERT_EQ(future.wait_for(analytics_test::kEngineHang), std::future_status::ready);
  const Intercepted seen = future.get();
  EXPECT_EQ(seen.origin, "app+gtm");
  EXPECT_EQ(seen.name, "picked_item");
  EXPECT_EQ(seen.parameters.get("item"), fd::Value("cup"));
  EXPECT_EQ(seen.parameters.get("_sc"), fd::Value("HomeController"));
  EXPECT_EQ(seen.parameters.get("_si"), fd::Value(42));
  ASSERT_TRUE(listener.waitFor(1));
  EXPECT_EQ(listener.names(), std::vector<std::string>{"_internal"});

  // Sent back with ignoreInterceptor: the screen entries become the added screen parameters again.
  APMAnalytics::logEventWithOrigin(seen.origin, true, seen.name, seen.parameters, seen.timestamp, false, true);
  ASSERT_TRUE(listener.waitFor(2));
  const auto events = listener.events();
  EXPECT_EQ(events[1].name, "picked_item");
  EXPECT_EQ(events[1].timestamp, seen.timestamp);
  EXPECT_EQ(events[1].parameter("item"), fd::Value("cup"));
  EXPECT_EQ(events[1].parameter("_sc"), fd::Value("HomeController"));
  EXPECT_EQ(events[1].parameter("_si"), fd::Value(42));
  analytics::APMInstallScreensSeam(nullptr);
}

TEST_F(AnalyticsEntryTest, AdEventsSkipTheInterceptorAndTheListeners) {
  boot();
  EventListenerRecorder listener;
  int interceptions = 0;
  APMAnalytics::setLogEventInterceptor(
      [&](const std::string&, const std::string&, const fd::Dict&, double) { ++interceptions; });
  start();
  APMAnalytics::logInternalEventWithOrigin("am", "_ad", {});
  APMAnalytics::logInternalEventWithOrigin("auto", "_xa", {});
  APMAnalytics::logInternalEventWithOrigin("auto", "_xu", {});
  APMAnalytics::logInternalEventWithOrigin("auto", "_marker", {});
  ASSERT_TRUE(listener.waitFor(1));
  ASSERT_TRUE(analytics_test::drainEntry());
  EXPECT_EQ(listener.names(), std::vector<std::string>{"_marker"});
  EXPECT_EQ(interceptions, 0);
}

TEST_F(AnalyticsEntryTest, ListenersAreRemovedByTokenAndAnUnknownTokenIsReported) {
  boot();
  MonitorRecorder monitor;
  start();
  EXPECT_EQ(APMAnalytics::addLogEventListener({}), nullptr);
  APMAnalytics::removeLogEventListener(nullptr);
  int calls = 0;
  auto token = APMAnalytics::addLogEventListener([&](const analytics::APMEventRef&) { ++calls; });
  ASSERT_NE(token, nullptr);
  APMAnalytics::removeLogEventListener(token);
  APMAnalytics::removeLogEventListener(token);
  EventListenerRecorder recorder;
  APMAnalytics::logInternalEventWithOrigin("auto", "_after_removal", {});
  ASSERT_TRUE(recorder.waitFor(1));
  EXPECT_EQ(calls, 0);
  const auto codes = monitor.codes();
  EXPECT_EQ(countOf(codes, 25012), 1);
  EXPECT_EQ(countOf(codes, 25013), 1);
  EXPECT_EQ(countOf(codes, 25015), 1);
}

TEST_F(AnalyticsEntryTest, EnablingAfterADeactivatedStartChangesNothing) {
  boot();
  MonitorRecorder monitor;
  EventListenerRecorder listener;
  start(true, true);
  APMAnalytics::setAnalyticsEnabled(true);
  APMAnalytics::logInternalEventWithOrigin("auto", "_while_deactivated", {});
  ASSERT_TRUE(analytics_test::drainEntry());
  auto engine = analytics::APMMeasurement::sharedInstance();
  ASSERT_TRUE(engine);
  analytics_test::drainWorker(*engine);
  EXPECT_FALSE(APMAnalytics::isAnalyticsEnabled());
  EXPECT_FALSE(engine->isEnabled());
  EXPECT_TRUE(listener.events().empty());
  const auto codes = monitor.codes();
  EXPECT_EQ(countOf(codes, 23012), 0);
  // Disabling still disables: the engine says so.
  EXPECT_EQ(countOf(codes, 23013), 1);
  // The event still reached the engine, which dropped it.
  EXPECT_GE(countOf(codes, 23049), 1);
}

TEST_F(AnalyticsEntryTest, UserIDAndPropertyValuesOfTheWrongTypeAreReported) {
  boot();
  MonitorRecorder monitor;
  start();
  APMAnalytics::setUserID(fd::Value(12));
  APMAnalytics::setUserPropertyString(fd::Value(3.5), "color");
  std::promise<void> offMain;
  std::thread([&] {
    APMAnalytics::setScreenName("Home", "HomeController");
    offMain.set_value();
  }).detach();
  offMain.get_future().wait();
  const auto codes = monitor.codes();
  EXPECT_EQ(countOf(codes, 25004), 1);
  EXPECT_EQ(countOf(codes, 25003), 1);
  EXPECT_EQ(countOf(codes, 25025), 1);
}

}  // namespace
