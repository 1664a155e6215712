// The ad exposure reporter on a started engine and a ManualClock: unit and
// total events as stored, the checks with their codes, open counts and the
// unit limit, and the cuts at screen changes, engagement ticks, activation
// and resignation.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "analytics/sessions/ad_exposure_reporter.h"
#include "analytics/sessions/session_reporter.h"
#include "platform/foundation/notification.h"
#include "tests/analytics/session_support.h"
#include "tests/analytics/support.h"

namespace {

namespace fd = platform::foundation;
using analytics::APMAdExposureReporter;
using analytics_test::eventsNamed;
using analytics_test::MonitorRecorder;
using analytics_test::SeenEvent;

std::int64_t adExposureMillis(const SeenEvent& event) { return event.parameter("_xt").as_int().value_or(-1); }

std::ptrdiff_t adExposureCount(const std::vector<std::int64_t>& codes, std::int64_t code) {
  return std::count(codes.begin(), codes.end(), code);
}

class AdExposureReporterTest : public analytics_test::SessionEngineTest {
 protected:
  void SetUp() override {
    startEngine();
    analytics::APMInstallScreensSeam(std::make_shared<analytics_test::FixedScreens>(cart_));
    setActive(true);
    reporter_ = APMAdExposureReporter::create();
  }
  void TearDown() override {
    reporter_.reset();
    analytics::APMInstallScreensSeam(nullptr);
    SessionEngineTest::TearDown();
  }

  // Ad events stored since the start, in order.
  std::vector<SeenEvent> adEvents() {
    reporter_->queue().sync([] {});
    std::vector<SeenEvent> out;
    for (const auto& event : storedEvents()) {
      if (event.name == "_xu" || event.name == "_xa") out.push_back(event);
    }
    return out;
  }

  const fd::Dict home_{{"_sc", fd::Value("HomeController")}, {"_si", fd::Value(21)}};
  const fd::Dict cart_{{"_sc", fd::Value("CartController")}, {"_si", fd::Value(22)}};
  std::shared_ptr<APMAdExposureReporter> reporter_;
};

TEST_F(AdExposureReporterTest, ThreeSecondsLogTheUnitThenTheTotalOnTheCurrentScreen) {
  reporter_->beginAdUnitExposure("banner-1");
  advance(3);
  reporter_->endAdUnitExposure("banner-1");
  const auto events = adEvents();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].name, "_xu");
  EXPECT_EQ(events[1].name, "_xa");
  for (const auto& event : events) {
    EXPECT_EQ(event.origin, "am");
    EXPECT_NEAR(adExposureMillis(event), 3000, 1);
    EXPECT_EQ(event.parameter("_sc"), fd::Value("CartController"));
    EXPECT_EQ(event.parameter("_si"), fd::Value(22));
  }
  EXPECT_EQ(events[0].parameter("_ai"), fd::Value("banner-1"));
  EXPECT_EQ(events[1].parameter("_ai"), fd::Value());
}

TEST_F(AdExposureReporterTest, ExposuresUnderASecondAreNotLogged) {
  MonitorRecorder monitor;
  reporter_->beginAdUnitExposure("banner-1");
  advance(0.5);
  reporter_->endAdUnitExposure("banner-1");
  EXPECT_TRUE(adEvents().empty());
  const auto codes = monitor.codes();
  EXPECT_EQ(adExposureCount(codes, 1009), 1);
  EXPECT_EQ(adExposureCount(codes, 1006), 1);
}

TEST_F(AdExposureReporterTest, AUnitBegunTwiceStaysOpenUntilItsSecondEnd) {
  reporter_->beginAdUnitExposure("banner-1");
  reporter_->beginAdUnitExposure("banner-1");
  advance(2);
  reporter_->endAdUnitExposure("banner-1");
  EXPECT_TRUE(adEvents().empty());
  advance(1);
  reporter_->endAdUnitExposure("banner-1");
  const auto events = adEvents();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_NEAR(adExposureMillis(events[0]), 3000, 1);
  MonitorRecorder monitor;
  reporter_->endAdUnitExposure("banner-1");  // closed now
  EXPECT_EQ(adExposureCount(monitor.codes(), 1004), 1);
}

TEST_F(AdExposureReporterTest, TheHundredAndFirstUnitIsRefusedUntilOneEnds) {
  MonitorRecorder monitor;
  for (int i = 0; i < 100; ++i) reporter_->beginAdUnitExposure("unit-" + std::to_string(i));
  reporter_->beginAdUnitExposure("unit-100");
  reporter_->beginAdUnitExposure("unit-0");  // open already, still over the limit
  reporter_->queue().sync([] {});
  EXPECT_EQ(adExposureCount(monitor.codes(), 1002), 2);
  reporter_->endAdUnitExposure("unit-100");
  EXPECT_EQ(adExposureCount(monitor.codes(), 1004), 1);  // it never opened

  reporter_->endAdUnitExposure("unit-0");
  reporter_->beginAdUnitExposure("unit-100");
  reporter_->queue().sync([] {});
  EXPECT_EQ(adExposureCount(monitor.codes(), 1002), 2);
  reporter_->endAdUnitExposure("unit-100");
  EXPECT_EQ(adExposureCount(monitor.codes(), 1004), 1);
}

TEST_F(AdExposureReporterTest, AScreenChangeChargesTheLeftScreenAndTheNextFlushMeasuresFromIt) {
  reporter_->beginAdUnitExposure("banner-1");
  advance(2);
  reporter_->handleScreenDidChangeFromScreen(home_, cart_);
  reporter_->handleScreenDidChangeFromScreen(std::nullopt, cart_);  // nothing left: no flush
  advance(1.5);
  reporter_->endAdUnitExposure("banner-1");
  const auto events = adEvents();
  ASSERT_EQ(events.size(), 4u);
  const std::vector<std::string> names{events[0].name, events[1].name, events[2].name, events[3].name};
  EXPECT_EQ(names, (std::vector<std::string>{"_xu", "_xa", "_xu", "_xa"}));
  for (int i : {0, 1}) {
    EXPECT_NEAR(adExposureMillis(events[i]), 2000, 1);
    EXPECT_EQ(events[i].parameter("_sc"), fd::Value("HomeController"));
  }
  for (int i : {2, 3}) {
    EXPECT_NEAR(adExposureMillis(events[i]), 1500, 1);
    EXPECT_EQ(events[i].parameter("_sc"), fd::Value("CartController"));
  }
}

TEST_F(AdExposureReporterTest, TheEngagementTickFlushesWithTheCurrentScreen) {
  reporter_->beginAdUnitExposure("banner-1");
  advance(2);
  fd::NotificationCenter::default_center().post(std::string(analytics::kAPMSessionReporterEngagementTimerDidFire));
  auto events = adEvents();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_NEAR(adExposureMillis(events[1]), 2000, 1);
  EXPECT_EQ(events[1].parameter("_sc"), fd::Value("CartController"));
  advance(0.5);
  reporter_->endAdUnitExposure("banner-1");
  EXPECT_EQ(adEvents().size(), 2u);  // half a second since the tick
}

TEST_F(AdExposureReporterTest, ResignationFlushesAndActivationDropsTheTimeAway) {
  reporter_->beginAdUnitExposure("banner-1");
  advance(2);
  reporter_->handleAppWillResignActiveWithScreen(fd::Dict());  // empty: the current screen's
  setActive(false);
  advance(100);
  setActive(true);
  reporter_->handleAppDidBecomeActive();
  advance(1.5);
  reporter_->endAdUnitExposure("banner-1");
  const auto events = adEvents();
  ASSERT_EQ(events.size(), 4u);
  EXPECT_NEAR(adExposureMillis(events[0]), 2000, 1);
  EXPECT_EQ(events[0].parameter("_sc"), fd::Value("CartController"));
  EXPECT_NEAR(adExposureMillis(events[2]), 1500, 1);
  EXPECT_NEAR(adExposureMillis(events[3]), 1500, 1);
}

TEST_F(AdExposureReporterTest, AFlushThatFailsItsChecksStillRestartsTheIntervals) {
  MonitorRecorder monitor;
  reporter_->beginAdUnitExposure("banner-1");
  advance(2);
  setActive(false);
  reporter_->logExposureEventsWithScreenParameters(home_);
  EXPECT_EQ(adExposureCount(monitor.codes(), 1011), 1);
  EXPECT_EQ(adExposureCount(monitor.codes(), 1010), 1);
  setActive(true);
  advance(1.5);
  reporter_->endAdUnitExposure("banner-1");
  const auto events = adEvents();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_NEAR(adExposureMillis(events[0]), 1500, 1);  // the inactive 2 s are dropped
}

TEST_F(AdExposureReporterTest, EmptyIDsUnknownUnitsAndDisabledReportingAreReported) {
  MonitorRecorder monitor;
  reporter_->beginAdUnitExposure("");
  reporter_->endAdUnitExposure("");
  reporter_->endAdUnitExposure("never-begun");
  reporter_->setReportingEnabled(false);
  reporter_->beginAdUnitExposure("banner-1");
  advance(2);
  reporter_->endAdUnitExposure("banner-1");
  EXPECT_TRUE(adEvents().empty());
  const auto codes = monitor.codes();
  for (std::int64_t code : {1000, 1003, 1004, 1007, 1005}) EXPECT_EQ(adExposureCount(codes, code), 1) << code;
}

TEST(AdExposureReporterShared, OneInstanceCountingFromBoot) {
  EXPECT_EQ(APMAdExposureReporter::sharedInstance(), APMAdExposureReporter::sharedInstance());
  EXPECT_TRUE(APMAdExposureReporter::sharedInstance()->isReportingEnabled());
  EXPECT_EQ(APMAdExposureReporter::sharedInstance()->queue().label(), "APMAdExposureReporter");
}

}  // namespace
