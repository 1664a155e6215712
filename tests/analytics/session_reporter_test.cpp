// The session reporter on a started engine and a ManualClock: when a session
// start is pending and when "_s" is logged, the session flags and
// properties, engagement ("_e", its timer and notification), resignation,
// screen changes, the interval setters, and the engine's background-session
// steps with the installed sessions seam.
#include <memory>
#include <string>
#include <vector>

#include "analytics/config/scheduler.h"
#include "analytics/facade/davidovivove.h"
#include "analytics/sessions/session_reporter.h"
#include "platform/foundation/notification.h"
#include "tests/analytics/session_support.h"
#include "tests/analytics/support.h"

namespace {

namespace fd = platform::foundation;
using analytics::APMPersistedConfig;
using analytics::APMSessionReporter;
using analytics_test::EventListenerRecorder;
using analytics_test::eventsNamed;
using analytics_test::MonitorRecorder;

constexpr double kSessionTimeout = 1800;

class SessionReporterTest : public analytics_test::SessionEngineTest {
 protected:
  void SetUp() override {
    startEngine();
    persisted_ = APMPersistedConfig::sharedInstance();
  }

  // A reporter with reporting on, made while the app is inactive.
  std::shared_ptr<APMSessionReporter> makeReporter() {
    auto reporter = APMSessionReporter::initWithPersistedConfig(persisted_);
    reporter->setReportingEnabled(true);
    return reporter;
  }

  // The last activity lies `seconds` of wall clock back.
  void lastActivityAgo(double seconds) { persisted_->setLastSessionActivityClockTime(now() - seconds); }

  std::vector<analytics_test::SeenEvent> seen(EventListenerRecorder& listener, const std::string& name) {
    EXPECT_TRUE(analytics_test::drainEntry());
    return eventsNamed(listener.events(), name);
  }

  APMPersistedConfig* persisted_ = nullptr;
};

TEST_F(SessionReporterTest, AnExpiredActivationArmsTheMinimumAndTenSecondsActiveLogTheStart) {
  auto reporter = makeReporter();
  EXPECT_FALSE(persisted_->startNewSession());  // made while inactive
  EventListenerRecorder listener;
  lastActivityAgo(kSessionTimeout + 1);
  setActive(true);
  reporter->handleAppDidBecomeActive();
  EXPECT_TRUE(persisted_->startNewSession());
  ASSERT_TRUE(reporter->sessionStartTimer().hasActiveTimer());
  EXPECT_DOUBLE_EQ(*reporter->sessionStartTimer().scheduledTimestamp(), now() + 10);

  advance(9.5);
  EXPECT_TRUE(seen(listener, "_s").empty());
  advance(0.5);
  const auto starts = seen(listener, "_s");
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].origin, "auto");
  EXPECT_FALSE(persisted_->startNewSession());
  EXPECT_DOUBLE_EQ(persisted_->lastSessionActivityClockTime(), now());
  EXPECT_FALSE(reporter->isSessionExpired());
}

TEST_F(SessionReporterTest, AResignCancelsTheStartAndAReactivationWithinTheTimeoutRearmsIt) {
  auto reporter = makeReporter();
  EventListenerRecorder listener;
  lastActivityAgo(kSessionTimeout + 1);
  setActive(true);
  reporter->handleAppDidBecomeActive();
  advance(4);
  reporter->handleAppWillResignActiveWithScreen(std::nullopt);
  setActive(false);
  EXPECT_FALSE(reporter->sessionStartTimer().hasActiveTimer());
  EXPECT_FALSE(reporter->userEngagementTimer().hasActiveTimer());
  EXPECT_TRUE(persisted_->startNewSession());
  // The engagement added is measured from the restart by the resign's own
  // engagement event, so almost nothing is carried over.
  EXPECT_NEAR(persisted_->engagementTimeBeforeSessionStart(), 0, 1e-6);
  const auto engagements = seen(listener, "_e");
  ASSERT_EQ(engagements.size(), 1u);
  EXPECT_EQ(engagements[0].parameter("_et"), fd::Value(4000));

  advance(100);
  EXPECT_FALSE(reporter->isSessionExpired());
  setActive(true);
  reporter->handleAppDidBecomeActive();
  ASSERT_TRUE(reporter->sessionStartTimer().hasActiveTimer());
  EXPECT_NEAR(*reporter->sessionStartTimer().scheduledTimestamp(), now() + 10, 1e-6);
  advance(10);
  EXPECT_EQ(seen(listener, "_s").size(), 1u);
}

TEST_F(SessionReporterTest, ExpiryIsStrictlyMoreThanTheTimeoutEitherWayOnTheWallClock) {
  auto reporter = makeReporter();
  const struct {
    double ago;
    bool expired;
  } cases[] = {{kSessionTimeout, false}, {kSessionTimeout + 0.001, true}, {0, false},
               {-kSessionTimeout - 1, true}};  // a clock set back
  for (const auto& c : cases) {
    lastActivityAgo(c.ago);
    EXPECT_EQ(reporter->isSessionExpired(), c.expired) << c.ago;
  }
  reporter->setTimeoutSessionInterval(60);
  lastActivityAgo(61);
  EXPECT_TRUE(reporter->isSessionExpired());
}

TEST_F(SessionReporterTest, SessionFlagsDecideTheStartParametersAndTheProperties) {
  const struct {
    bool idEnabled;
    bool numberEnabled;
  } cases[] = {{true, true}, {false, false}, {true, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.idEnabled) + std::to_string(c.numberEnabled));
    applySettings({{"measurement.sessions.session_id_enabled", c.idEnabled ? "1" : "0"},
                   {"measurement.sessions.session_number_enabled", c.numberEnabled ? "1" : "0"}});
    analytics::APMAnalytics::setInternalUserProperty(fd::Value(7), "_sid");
    analytics::APMAnalytics::setInternalUserProperty(fd::Value(7), "_sno");
    persisted_->setSessionNumber(4);
    auto reporter = makeReporter();
    EventListenerRecorder listener;
    lastActivityAgo(kSessionTimeout + 1);
    setActive(true);
    reporter->handleAppDidBecomeActive();
    advance(10);
    const auto starts = seen(listener, "_s");
    ASSERT_EQ(starts.size(), 1u);
    const std::int64_t clockSeconds = static_cast<std::int64_t>(now());
    EXPECT_EQ(starts[0].parameter("_sid"), c.idEnabled ? fd::Value(clockSeconds) : fd::Value());
    EXPECT_EQ(starts[0].parameter("_sno"), c.numberEnabled ? fd::Value(5) : fd::Value());
    const auto sid = storedProperty("_sid");
    const auto sno = storedProperty("_sno");
    if (c.idEnabled) {
      ASSERT_TRUE(sid);
      EXPECT_EQ(sid->value()->int64Value(), clockSeconds);
    } else {
      EXPECT_FALSE(sid);
    }
    if (c.numberEnabled) {
      ASSERT_TRUE(sno);
      EXPECT_EQ(sno->value()->int64Value(), 5);
    } else {
      EXPECT_FALSE(sno);
    }
    EXPECT_EQ(persisted_->sessionNumber(), c.numberEnabled ? 5 : 4);
    reporter->handleAppWillResignActiveWithScreen(std::nullopt);
    setActive(false);
    advance(kSessionTimeout + 1);
  }
}

TEST_F(SessionReporterTest, SessionNumbersCountUpFromSessionToSession) {
  applySettings({{"measurement.sessions.session_number_enabled", "1"}});
  auto reporter = makeReporter();
  EventListenerRecorder listener;
  for (int session = 1; session <= 3; ++session) {
    advance(kSessionTimeout + 1);
    setActive(true);
    reporter->handleAppDidBecomeActive();
    advance(10);
    reporter->handleAppWillResignActiveWithScreen(std::nullopt);
    setActive(false);
  }
  const auto starts = seen(listener, "_s");
  ASSERT_EQ(starts.size(), 3u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(starts[i].parameter("_sno"), fd::Value(i + 1));
}

TEST_F(SessionReporterTest, ImmediateStartLogsTheStartAtActivation) {
  applySettings({{"measurement.sessions.immediate_start_enabled", "1"}});
  auto reporter = makeReporter();
  EventListenerRecorder listener;
  lastActivityAgo(kSessionTimeout + 1);
  setActive(true);
  reporter->handleAppDidBecomeActive();
  EXPECT_FALSE(reporter->sessionStartTimer().hasActiveTimer());
  EXPECT_EQ(seen(listener, "_s").size(), 1u);
  EXPECT_FALSE(persisted_->startNewSession());
}

TEST_F(SessionReporterTest, ANegativeMinimumBecomesZeroAndStartsAtOnce) {
  auto reporter = makeReporter();
  MonitorRecorder monitor;
  reporter->setMinimumSessionInterval(-5);
  reporter->setTimeoutSessionInterval(-1);
  EXPECT_EQ(reporter->minimumSessionInterval(), 0);
  EXPECT_EQ(reporter->timeoutSessionInterval(), 0);
  const auto codes = monitor.codes();
  EXPECT_NE(std::find(codes.begin(), codes.end(), 33000), codes.end());
  EXPECT_NE(std::find(codes.begin(), codes.end(), 33001), codes.end());
  reporter->setTimeoutSessionInterval(kSessionTimeout);

  EventListenerRecorder listener;
  lastActivityAgo(kSessionTimeout + 1);
  setActive(true);
  reporter->handleAppDidBecomeActive();
  advance(0);
  EXPECT_EQ(seen(listener, "_s").size(), 1u);
}

TEST_F(SessionReporterTest, EngagementGatheredBeyondTheMinimumGivesANegativeDelayThatFiresAtOnce) {
  auto reporter = makeReporter();
  EventListenerRecorder listener;
  persisted_->setStartNewSession(true);
  persisted_->setEngagementTimeBeforeSessionStart(15);
  lastActivityAgo(60);  // not expired: the pending start stays as stored
  setActive(true);
  reporter->handleAppDidBecomeActive();
  advance(0);
  EXPECT_EQ(seen(listener, "_s").size(), 1u);
  EXPECT_FALSE(persisted_->startNewSession());
}

TEST_F(SessionReporterTest, ChangingTheMinimumRearmsAPendingStart) {
  auto reporter = makeReporter();
  lastActivityAgo(kSessionTimeout + 1);
  setActive(true);
  reporter->handleAppDidBecomeActive();
  reporter->setMinimumSessionInterval(30);
  EXPECT_NEAR(*reporter->sessionStartTimer().scheduledTimestamp(), now() + 30, 1e-6);
}

TEST_F(SessionReporterTest, EngagementTimeIsTruncatedToMilliseconds) {
  auto reporter = makeReporter();
  EventListenerRecorder listener;
  lastActivityAgo(60);
  setActive(true);
  reporter->handleAppDidBecomeActive();
  advance(2.9999);
  reporter->logUserEngagementEvent();
  const auto engagements = seen(listener, "_e");
  ASSERT_EQ(engagements.size(), 1u);
  EXPECT_EQ(engagements[0].origin, "auto");
  EXPECT_EQ(engagements[0].parameter("_et"), fd::Value(2999));
  EXPECT_NEAR(reporter->incurredEngagementTime(), 0, 1e-6);  // measuring restarted
}

TEST_F(SessionReporterTest, TheEngagementTickPostsItsNotificationBeforeTheEvent) {
  auto reporter = makeReporter();
  EventListenerRecorder listener;
  lastActivityAgo(60);
  const double lastActivity = persisted_->lastSessionActivityClockTime();
  setActive(true);
  reporter->handleAppDidBecomeActive();
  std::vector<double> activityAtTick;
  auto token = fd::NotificationCenter::default_center().add_observer(
      nullptr, std::string(analytics::kAPMSessionReporterEngagementTimerDidFire), nullptr, nullptr,
      [&](const fd::Notification& note) {
        EXPECT_EQ(note.object, nullptr);
        activityAtTick.push_back(persisted_->lastSessionActivityClockTime());
      });
  advance(3600);  // the default engagement interval
  token.remove();
  ASSERT_EQ(activityAtTick.size(), 1u);
  EXPECT_EQ(activityAtTick[0], lastActivity);  // the engagement event had not run yet
  const auto engagements = seen(listener, "_e");
  ASSERT_EQ(engagements.size(), 1u);
  EXPECT_EQ(engagements[0].parameter("_et"), fd::Value(3600000));
  EXPECT_TRUE(reporter->userEngagementTimer().hasActiveTimer());  // re-armed
}

TEST_F(SessionReporterTest, AScreenChangeChargesEngagementOfASecondOrMoreToTheLeftScreen) {
  auto reporter = makeReporter();
  EventListenerRecorder listener;
  lastActivityAgo(60);
  setActive(true);
  reporter->handleAppDidBecomeActive();
  const fd::Dict home{{"_sc", fd::Value("HomeController")}, {"_si", fd::Value(11)}};
  const fd::Dict cart{{"_sc", fd::Value("CartController")}, {"_si", fd::Value(12)}};
  advance(0.5);
  reporter->handleScreenDidChangeFromScreen(home, cart);
  EXPECT_TRUE(seen(listener, "_e").empty());
  advance(0.5);
  reporter->handleScreenDidChangeFromScreen(std::nullopt, cart);  // no screen left: nothing
  EXPECT_TRUE(seen(listener, "_e").empty());
  reporter->handleScreenDidChangeFromScreen(home, cart);
  const auto engagements = seen(listener, "_e");
  ASSERT_EQ(engagements.size(), 1u);
  EXPECT_EQ(engagements[0].parameter("_et"), fd::Value(1000));
  EXPECT_EQ(engagements[0].parameter("_sc"), fd::Value("HomeController"));
  EXPECT_EQ(engagements[0].parameter("_si"), fd::Value(11));
  EXPECT_NEAR(reporter->incurredEngagementTime(), 0, 1e-6);
}

TEST_F(SessionReporterTest, InactiveOrSilentReportingLogsNothingButKeepsTheRightState) {
  auto reporter = makeReporter();
  EventListenerRecorder listener;
  MonitorRecorder monitor;
  persisted_->setStartNewSession(true);
  reporter->logSessionStartEvent();
  reporter->logUserEngagementEvent();
  EXPECT_TRUE(persisted_->startNewSession());  // nothing happened while inactive
  const auto codes = monitor.codes();
  EXPECT_NE(std::find(codes.begin(), codes.end(), 33005), codes.end());
  EXPECT_NE(std::find(codes.begin(), codes.end(), 33006), codes.end());

  // Reporting off: the start still updates the stored session, without an event.
  reporter->setReportingEnabled(false);
  setActive(true);
  reporter->logSessionStartEvent();
  EXPECT_FALSE(persisted_->startNewSession());
  EXPECT_DOUBLE_EQ(persisted_->lastSessionActivityClockTime(), now());
  advance(5);
  reporter->logUserEngagementEvent();
  EXPECT_NEAR(reporter->incurredEngagementTime(), 0, 1e-6);
  EXPECT_TRUE(seen(listener, "_s").empty());
  EXPECT_TRUE(seen(listener, "_e").empty());

  // Switching reporting on arms the engagement timer of an active app.
  reporter->userEngagementTimer().cancel();
  reporter->setReportingEnabled(true);
  EXPECT_TRUE(reporter->userEngagementTimer().hasActiveTimer());
}

TEST(SessionStartEventBuilder, CarriesTheTruncatedTimestampAndTheGivenNumber) {
  const auto event = analytics::APMCreateSessionStartEvent(3, 1600000000.75);
  ASSERT_TRUE(event);
  EXPECT_EQ(event->name(), "_s");
  EXPECT_EQ(event->origin(), "auto");
  EXPECT_EQ(event->timestamp(), 1600000000.75);
  EXPECT_EQ(event->previousTimestamp(), 0);
  const auto* sno = event->parameters().find("_sno");
  ASSERT_TRUE(sno);
  EXPECT_EQ(analytics::APMValueFrom(*sno)->int64Value(), 3);
  EXPECT_FALSE(event->parameters().find("_sid"));  // session IDs are off by default
  EXPECT_FALSE(analytics::APMCreateSessionStartEvent(std::nullopt, 1)->parameters().find("_sno"));
}

// The engine after the analytics classes registered (which installs the
// sessions seam): its reporter is the session reporter, and the intake's
// background steps reach it.
class SessionSeamEngineTest : public analytics_test::SessionEngineTest {
 protected:
  void SetUp() override {
    ASSERT_FALSE(analytics::APMSessionsSeamInstalled());
    analytics::register_runtime_classes();
    ASSERT_TRUE(analytics::APMSessionsSeamInstalled());
    startEngine();
  }
  void TearDown() override {
    analytics::APMInstallSessionsSeam(nullptr);
    SessionEngineTest::TearDown();
  }
};

TEST_F(SessionSeamEngineTest, ExtendSessionInTheBackgroundKeepsOrStartsTheSession) {
  ASSERT_TRUE(std::dynamic_pointer_cast<APMSessionReporter>(engine_->sessionReporter()));
  EXPECT_EQ(APMSessionReporter::engineReporter(), engine_->sessionReporter());
  EXPECT_TRUE(APMSessionReporter::engineReporter()->isReportingEnabled());  // the enabled engine switched it on
  applySettings({{"measurement.sessions.background_sessions_enabled", "1"},
                 {"measurement.sessions.session_number_enabled", "1"}});
  auto* persisted = APMPersistedConfig::sharedInstance();
  EventListenerRecorder listener;
  const fd::Dict extend{{"extend_session", fd::Value(1)}};

  persisted->setLastSessionActivityClockTime(now() - 1000);
  const auto number = persisted->sessionNumber();
  analytics::APMAnalytics::logEventWithName("background_work", extend);
  storedEvents();
  EXPECT_DOUBLE_EQ(persisted->lastSessionActivityClockTime(), now());  // kept
  EXPECT_TRUE(eventsNamed(listener.events(), "_s").empty());

  persisted->setLastSessionActivityClockTime(now() - kSessionTimeout - 1);
  analytics::APMAnalytics::logEventWithName("background_work", extend);
  storedEvents();
  // The worker logs "_s" back through the entry, which tells the listener.
  EXPECT_TRUE(analytics_test::drainEntry());
  const auto starts = eventsNamed(listener.events(), "_s");
  ASSERT_EQ(starts.size(), 1u);  // started on the worker
  EXPECT_EQ(starts[0].parameter("_sno"), fd::Value(number + 1));
  EXPECT_FALSE(APMSessionReporter::engineReporter()->isSessionExpired());
}

}  // namespace
