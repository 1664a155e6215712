#include <string>

#include "platform/location/manager.h"
#include "platform/sim/device.h"
#include "push/location.h"
#include "tests/push/feature_fixture.h"

namespace push_test {
namespace {

using push::RerAviror;
using push::RerAvirorLocation;
namespace location = platform::location;

const json kWithLocation = {{"frameworks", {"UserNotifications", "WebKit", "StoreKit", "CoreLocation"}}};
const foundation::Dict kAlwaysInfo{{"UIBackgroundModes", foundation::Array{"location"}},
                                   {"NSLocationAlwaysUsageDescription", "always"},
                                   {"NSLocationWhenInUseUsageDescription", "in use"}};
const foundation::Dict kWhenInUseInfo{{"NSLocationWhenInUseUsageDescription", "in use"}};

class LocationTest : public FeatureTest {
 protected:
  void fix(double latitude, double longitude, std::optional<double> horizontal = std::nullopt,
           std::optional<double> vertical = std::nullopt) {
    location::system::set_location(latitude, longitude, horizontal, vertical);
    runMain();
  }
  // Location started with a prompt, past the first-start delay.
  void started() {
    RerAviror::getLocation(true);
    advance(RerAvirorLocation::kFirstStartDelaySeconds);
  }
  std::size_t sends() { return count("PUT", "players/p1"); }
};

TEST_F(LocationTest, FirstStartWaitsTwoSeconds) {
  start({.info = kWhenInUseInfo, .profile = kWithLocation});
  RerAviror::getLocation(true);
  advance(1.9);
  fix(1, 2);
  EXPECT_FALSE(RerAvirorLocation::lastLocation());
  advance(0.1);
  fix(1, 2);
  ASSERT_TRUE(RerAvirorLocation::lastLocation());
  EXPECT_EQ(RerAvirorLocation::lastLocation()->latitude, 1);
  EXPECT_EQ(RerAvirorLocation::lastLocation()->longitude, 2);
}

TEST_F(LocationTest, WithoutPromptAnUndeterminedStatusStartsNothing) {
  start({.info = kWhenInUseInfo, .profile = kWithLocation});
  RerAviror::getLocation(false);
  advance(2);
  fix(1, 2);
  EXPECT_FALSE(RerAvirorLocation::lastLocation());
  // A later call after the delay starts at once.
  RerAviror::promptLocation();
  fix(3, 4);
  ASSERT_TRUE(RerAvirorLocation::lastLocation());
  EXPECT_EQ(RerAvirorLocation::lastLocation()->latitude, 3);
}

TEST_F(LocationTest, AuthorisationFollowsTheInfoPlist) {
  struct Case {
    const char* name;
    foundation::Dict info;
    location::AuthorizationStatus status;
    bool logsMissingDescription;
  };
  const Case cases[] = {
      {"always with background mode", kAlwaysInfo, location::AuthorizationStatus::authorized_always, false},
      {"background mode without always text",
       foundation::Dict{{"UIBackgroundModes", foundation::Array{"location"}},
                        {"NSLocationWhenInUseUsageDescription", "in use"}},
       location::AuthorizationStatus::authorized_when_in_use, false},
      {"always text without background mode", foundation::Dict{{"NSLocationAlwaysUsageDescription", "always"}},
       location::AuthorizationStatus::not_determined, true},
      {"when in use", kWhenInUseInfo, location::AuthorizationStatus::authorized_when_in_use, false},
      {"no description", foundation::Dict{}, location::AuthorizationStatus::not_determined, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    start({.info = c.info, .profile = kWithLocation, .launch = false});
    started();
    EXPECT_EQ(location::Manager::authorization_status(), c.status);
    EXPECT_EQ(logged("Include a privacy NSLocationAlwaysUsageDescription or NSLocationWhenInUseUsageDescription in "
                     "your info.plist to request location permissions."),
              c.logsMissingDescription);
    fix(5, 6);  // updates run in every case
    EXPECT_TRUE(RerAvirorLocation::lastLocation());
    TearDown();
  }
}

TEST_F(LocationTest, FirstFixIsSentAtOnceAndThenOnTheTimer) {
  start({.info = kWhenInUseInfo, .profile = kWithLocation});
  setPlayer("p1");
  started();
  fix(52.5, 13.4, 12.5, 30.0);
  ASSERT_TRUE(runUntil([&] { return sends() == 1; }));
  const json sent = body("PUT", "players/p1");
  EXPECT_EQ(sent, (json{{"app_id", kAppId},
                        {"lat", 52.5},
                        {"long", 13.4},
                        {"loc_acc_vert", 30.0},
                        {"loc_acc", 12.5},
                        {"net_type", sent["net_type"]},
                        {"loc_bg", false}}));
  EXPECT_EQ(RerAvirorLocation::sendTimerRemaining(), 300.0);
  fix(1, 1);  // one fix per process
  EXPECT_EQ(RerAvirorLocation::lastLocation()->latitude, 52.5);

  advance(299);
  settle();
  EXPECT_EQ(sends(), 1u);
  advance(1);
  ASSERT_TRUE(runUntil([&] { return sends() == 2; }));
  EXPECT_EQ(RerAvirorLocation::sendTimerRemaining(), 300.0);
}

TEST_F(LocationTest, FocusChangesReArmForTheRemainingTime) {
  start({.info = kAlwaysInfo, .profile = kWithLocation});
  setPlayer("p1");
  started();
  fix(52.5, 13.4);
  ASSERT_TRUE(runUntil([&] { return sends() == 1; }));
  advance(200);
  ASSERT_TRUE(platform::sim::device().background());
  RerAviror::onfocus("0");
  EXPECT_EQ(RerAvirorLocation::sendTimerRemaining(), 100.0);
  EXPECT_GE(app_->active_background_tasks(), 1u);
  advance(100);
  ASSERT_TRUE(runUntil([&] { return sends() == 2; }));
  EXPECT_EQ(body("PUT", "players/p1", 1)["loc_bg"], true);
  EXPECT_EQ(RerAvirorLocation::sendTimerRemaining(), 585.0);

  advance(85);
  ASSERT_TRUE(platform::sim::device().foreground());
  RerAviror::onfocus("1");
  EXPECT_EQ(RerAvirorLocation::sendTimerRemaining(), 500.0);
  advance(500);
  ASSERT_TRUE(runUntil([&] { return sends() == 3; }));
  EXPECT_EQ(body("PUT", "players/p1", 2)["loc_bg"], false);
  EXPECT_EQ(RerAvirorLocation::sendTimerRemaining(), 300.0);
}

TEST_F(LocationTest, InTheBackgroundWithoutAlwaysTheTimerIsOnlyForgotten) {
  start({.info = kWhenInUseInfo, .profile = kWithLocation});
  setPlayer("p1");
  started();
  fix(52.5, 13.4);
  ASSERT_TRUE(runUntil([&] { return sends() == 1; }));
  advance(200);
  ASSERT_TRUE(platform::sim::device().background());
  const auto tasks = app_->active_background_tasks();
  RerAviror::onfocus("0");
  EXPECT_FALSE(RerAvirorLocation::sendTimerRemaining());
  EXPECT_EQ(app_->active_background_tasks(), tasks);
  advance(100);  // the old timer still fires
  ASSERT_TRUE(runUntil([&] { return sends() == 2; }));
}

TEST_F(LocationTest, RegistrationTakesTheFixAndLeavesOneSendChain) {
  start({.info = kWhenInUseInfo, .profile = kWithLocation});
  started();
  fix(52.5, 13.4);  // no player yet: kept, not sent
  settle();
  EXPECT_EQ(fake().count(), 0u);
  ASSERT_TRUE(RerAvirorLocation::lastLocation());

  RerAviror::setLocationShared(false);
  EXPECT_FALSE(RerAviror::takeLastLocation());
  RerAviror::setLocationShared(true);

  setPlayer("p1");
  RerAviror::sendLocation();  // the first send, as registration makes it
  ASSERT_TRUE(runUntil([&] { return sends() == 1; }));
  advance(100);
  RerAviror::sendLocation();  // a second registration: the timer it replaces goes
  ASSERT_TRUE(runUntil([&] { return sends() == 2; }));
  advance(200);  // the replaced timer would fire here
  settle();
  EXPECT_EQ(sends(), 2u);
  advance(100);
  ASSERT_TRUE(runUntil([&] { return sends() == 3; }));

  const auto taken = RerAviror::takeLastLocation();
  ASSERT_TRUE(taken);
  EXPECT_EQ(taken->latitude, 52.5);
  EXPECT_FALSE(RerAvirorLocation::lastLocation());
  advance(300);  // a tick without a fix sends nothing and stops
  settle();
  EXPECT_EQ(sends(), 3u);
}

TEST_F(LocationTest, TheRegistrationRecordCarriesTheFix) {
  start({.info = kWhenInUseInfo, .profile = kWithLocation});
  auto adapter = std::make_shared<ScriptedAdapter>();
  adapter->prompted = adapter->answered = adapter->accepted = true;
  adapter->types = 7;
  RerAviror::setOsNotificationSettings(adapter);
  started();
  fix(52.5, 13.4, 12.5, 30.0);
  RerAviror::registerUser();
  if (auto queue = RerAviror::getRegisterQueue()) queue->sync([] {});
  ASSERT_TRUE(runUntil([&] { return count("POST", "players") == 1 && !RerAviror::registrationInProgress(); }));
  const json record = body("POST", "players");
  EXPECT_EQ(record["lat"], 52.5);
  EXPECT_EQ(record["long"], 13.4);
  EXPECT_EQ(record["loc_acc"], 12.5);
  EXPECT_EQ(record["loc_acc_vert"], 30.0);
  EXPECT_FALSE(RerAvirorLocation::lastLocation());
  advance(300);
  settle();
  EXPECT_EQ(count("PUT", "players/" + fake().player_id()), 0u);  // nothing left to send
}

TEST_F(LocationTest, AFixWithoutAccuraciesCarriesTheDeviceProfiles) {
  json profile = kWithLocation;
  profile["location"] = {{"horizontal_accuracy", 8.0}, {"vertical_accuracy", 4.5}};
  start({.info = kWhenInUseInfo, .profile = profile});
  setPlayer("p1");
  started();
  ASSERT_TRUE(platform::sim::device().location(52.5, 13.4));  // the simulator's fix, accuracies left out
  runMain();
  ASSERT_TRUE(RerAvirorLocation::lastLocation());
  EXPECT_EQ(RerAvirorLocation::lastLocation()->horizontalAccuracy, 8.0);
  EXPECT_EQ(RerAvirorLocation::lastLocation()->verticalAccuracy, 4.5);
  ASSERT_TRUE(runUntil([&] { return sends() == 1; }));
  EXPECT_EQ(body("PUT", "players/p1")["loc_acc"], 8.0);
  EXPECT_EQ(body("PUT", "players/p1")["loc_acc_vert"], 4.5);
}

TEST_F(LocationTest, WithoutTheLocationFrameworkNothingStarts) {
  start({.info = kAlwaysInfo});
  setPlayer("p1");
  started();
  RerAviror::onfocus("0");
  EXPECT_FALSE(platform::sim::device().location(1, 2));
  runMain();
  EXPECT_FALSE(RerAvirorLocation::lastLocation());
  EXPECT_FALSE(RerAvirorLocation::sendTimerRemaining());
  EXPECT_FALSE(logged("Include a privacy"));
  EXPECT_FALSE(logged("CLLocationManager"));
  settle();
  EXPECT_EQ(fake().count(), 0u);
}

}  // namespace
}  // namespace push_test
