#include <string>

#include "platform/os/preferences.h"
#include "platform/sim/device.h"
#include "push/focus_time.h"
#include "tests/push/feature_fixture.h"

namespace push_test {
namespace {

using push::RerAviror;
using push::RerAvirorTracker;

class FocusTimeTest : public FeatureTest {
 protected:
  platform::os::UserDefaults& defaults() { return platform::os::UserDefaults::standard(); }
  double now() { return platform::dispatch::Clock::current().now_since_1970(); }
  std::optional<double> stored(std::string_view key) {
    auto value = defaults().object(key);
    return value ? value->as_double() : std::nullopt;
  }
  std::size_t pings() { return count("POST", "players/p1/on_focus") + count("POST", "players/e1/on_focus"); }
};

TEST_F(FocusTimeTest, ShortVisitsAddUpWithoutBeingSent) {
  start();
  setPlayer("p1");
  RerAviror::onFocus(true);  // already "in the background": ignored
  EXPECT_FALSE(defaults().object("GT_LAST_CLOSED_TIME"));

  RerAviror::onFocus(false);
  advance(10);
  RerAviror::onFocus(true);
  EXPECT_EQ(stored("GT_UNSENT_ACTIVE_TIME"), 10.5);
  EXPECT_EQ(stored("GT_LAST_CLOSED_TIME"), now());

  defaults().set("GT_LAST_CLOSED_TIME", std::optional<foundation::Value>(std::in_place, 1.0));
  RerAviror::onFocus(true);  // a repeated move does nothing
  EXPECT_EQ(stored("GT_LAST_CLOSED_TIME"), 1.0);

  RerAviror::onFocus(false);
  advance(15);
  RerAviror::onFocus(true);
  EXPECT_EQ(stored("GT_UNSENT_ACTIVE_TIME"), 26.0);
  EXPECT_EQ(RerAvirorTracker::getUnsentActiveTime(), 26.0);
  settle();
  EXPECT_EQ(pings(), 0u);
}

TEST_F(FocusTimeTest, ThirtySecondsOrMoreGoOutAsPingsForBothRecords) {
  start();
  setPlayer("p1");
  auto email = RerAviror::currentEmailSubscriptionState();
  email->setEmailUserId("e1");
  email->setEmailAuthCode("h1");
  RerAviror::onFocus(false);
  advance(40);
  RerAviror::onFocus(true);
  EXPECT_EQ(stored("GT_UNSENT_ACTIVE_TIME"), 0.0);
  ASSERT_TRUE(runUntil([&] { return pings() == 2; }));
  const json push = body("POST", "players/p1/on_focus");
  EXPECT_EQ(push, (json{{"app_id", kAppId},
                        {"state", "ping"},
                        {"type", 1},
                        {"active_time", 40.5},
                        {"net_type", push["net_type"]}}));
  EXPECT_TRUE(push["net_type"].is_number_integer());
  const json mail = body("POST", "players/e1/on_focus");
  EXPECT_EQ(mail["active_time"], 40.5);
  EXPECT_EQ(mail["email_auth_hash"], "h1");
  // The background task the ping was built in is over.
  EXPECT_TRUE(runUntil([&] { return app_->active_background_tasks() == 0; }));
}

TEST_F(FocusTimeTest, ImplausibleElapsedTimeOnlyMovesTheClosedTime) {
  struct Case {
    const char* name;
    double openedAgo;
  };
  start();
  setPlayer("p1");
  for (const Case c : {Case{"more than a day", 86400.0 + 1}, Case{"clock moved back", -100.0}}) {
    SCOPED_TRACE(c.name);
    RerAvirorTracker::resetLocals();
    defaults().remove("GT_UNSENT_ACTIVE_TIME");
    RerAviror::onFocus(false);
    RerAvirorTracker::setLastOpenedTime(now() - c.openedAgo);
    RerAviror::onFocus(true);
    EXPECT_EQ(stored("GT_LAST_CLOSED_TIME"), now());
    EXPECT_FALSE(defaults().object("GT_UNSENT_ACTIVE_TIME"));
  }
  settle();
  EXPECT_EQ(pings(), 0u);
}

TEST_F(FocusTimeTest, WithoutPlayerALongVisitIsNeitherSentNorSaved) {
  start();
  RerAvirorTracker::saveUnsentActiveTime(5);
  RerAviror::onFocus(false);
  advance(40);
  RerAviror::onFocus(true);
  EXPECT_EQ(stored("GT_UNSENT_ACTIVE_TIME"), 5.0);
  settle();
  EXPECT_EQ(fake().count("POST", "/api/v1/players/(null)/on_focus"), 0u);
}

TEST_F(FocusTimeTest, UnsentTimeSurvivesARestart) {
  start();
  setPlayer("p1");
  defaults().set("GT_UNSENT_ACTIVE_TIME", std::optional<foundation::Value>(std::in_place, 25.0));
  RerAvirorTracker::resetLocals();
  RerAviror::onFocus(false);
  advance(5);
  RerAviror::onFocus(true);  // 25 + 5.5 reaches 30
  ASSERT_TRUE(runUntil([&] { return pings() == 1; }));
  EXPECT_EQ(body("POST", "players/p1/on_focus")["active_time"], 30.5);
}

TEST_F(FocusTimeTest, MissingConsentDoesNothingAtAll) {
  start();
  setPlayer("p1");
  RerAviror::setRequiresUserPrivacyConsent(true);
  RerAviror::onFocus(false);
  advance(40);
  RerAviror::onFocus(true);
  EXPECT_FALSE(defaults().object("GT_LAST_CLOSED_TIME"));
  EXPECT_FALSE(defaults().object("GT_UNSENT_ACTIVE_TIME"));
  RerAviror::setRequiresUserPrivacyConsent(false);
}

TEST_F(FocusTimeTest, ForegroundAfterTheBadgeWasClearedReportsBadgeZero) {
  start();
  setPlayer("p1");
  auto adapter = std::make_shared<ScriptedAdapter>();
  adapter->prompted = adapter->answered = adapter->accepted = true;
  adapter->types = 7;  // badges allowed
  RerAviror::setOsNotificationSettings(adapter);
  RerAviror::currentEmailSubscriptionState()->setEmailUserId("e1");
  app_->set_badge_original(3);
  RerAviror::onFocus(false);
  ASSERT_TRUE(runUntil([&] { return count("PUT", "players/p1") >= 1 && count("PUT", "players/e1") == 1; }));
  bool found = false;
  for (const auto& request : fake().requests("PUT", "/api/v1/players/p1"))
    found = found || request.json_body() == json{{"app_id", kAppId}, {"badgeCount", 0}};
  EXPECT_TRUE(found);
  EXPECT_EQ(body("PUT", "players/e1"), (json{{"app_id", kAppId}, {"badgeCount", 0}}));
  EXPECT_EQ(app_->badge_number(), 0);

  // Without a badge, coming to the front reports nothing.
  RerAviror::onFocus(true);
  fake().clear_requests();
  RerAviror::onFocus(false);
  settle();
  EXPECT_EQ(count("PUT", "players/e1"), 0u);
}

TEST_F(FocusTimeTest, BadgeClearingCanBeSwitchedOffAndNeedsEight) {
  struct Case {
    const char* name;
    foundation::Dict info;
    const char* version;
  };
  const Case cases[] = {
      {"switched off in Info.plist", foundation::Dict{{"RerAviror_disable_badge_clearing", true}}, "13.5"},
      {"before 8.0", foundation::Dict{}, "7.1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    start({.info = c.info, .profile = {{"system_version", c.version}}});
    auto adapter = std::make_shared<ScriptedAdapter>();
    adapter->types = 7;  // badges allowed
    RerAviror::setOsNotificationSettings(adapter);
    app_->set_badge_original(3);
    EXPECT_FALSE(RerAviror::clearBadgeCount(true));
    EXPECT_EQ(app_->badge_number(), 3);
    TearDown();
  }
}

TEST_F(FocusTimeTest, DrivenByTheApplicationsMoves) {
  start({.injection = true});
  setPlayer("p1");
  ASSERT_TRUE(platform::sim::device().background());
  ASSERT_TRUE(platform::sim::device().foreground());
  advance(12);
  ASSERT_TRUE(platform::sim::device().background());
  EXPECT_EQ(stored("GT_UNSENT_ACTIVE_TIME"), 12.5);
  ASSERT_TRUE(platform::sim::device().foreground());
  advance(20);
  ASSERT_TRUE(platform::sim::device().background());
  ASSERT_TRUE(runUntil([&] { return pings() == 1; }));
  EXPECT_EQ(body("POST", "players/p1/on_focus")["active_time"], 33.0);
  EXPECT_EQ(stored("GT_UNSENT_ACTIVE_TIME"), 0.0);
}

}  // namespace
}  // namespace push_test
