#include <atomic>
#include <string>

#include "platform/os/preferences.h"
#include "push/email.h"
#include "tests/push/feature_fixture.h"

namespace push_test {
namespace {

using push::RerAviror;
using testing::fakes::FakeService;

const std::string kParamsPath = "apps/" + kAppId + "/ios_params.js";

class IosParamsTest : public FeatureTest {
 protected:
  void answerWith(json params) { fake().on("GET", "/api/v1/" + kParamsPath, FakeService::json(200, std::move(params))); }
  bool received() {
    return runUntil([] { return RerAviror::iosParamsReceived(); });
  }
  platform::os::UserDefaults& defaults() { return platform::os::UserDefaults::standard(); }
};

TEST_F(IosParamsTest, OneDownloadForTwoStartUpsEvenWhileParkedForConsent) {
  start();
  RerAviror::setRequiresUserPrivacyConsent(true);
  RerAviror::initWithLaunchOptions(std::nullopt, kAppId);
  ASSERT_TRUE(RerAviror::initPendingConsent());
  ASSERT_TRUE(received());
  RerAviror::consentGranted(true);
  RerAviror::initWithLaunchOptions(std::nullopt, kAppId);
  settle();
  ASSERT_EQ(count("GET", kParamsPath), 1u);
  const auto request = fake().requests("GET", "/api/v1/" + kParamsPath)[0];
  EXPECT_EQ(request.query.find("player_id"), std::string::npos) << request.query;
}

TEST_F(IosParamsTest, PlayerIdGoesInTheQueryOnlyWhenKnown) {
  start();
  setPlayer("player-7");
  RerAviror::downloadIOSParamsWithAppId(kAppId);
  ASSERT_TRUE(received());
  ASSERT_EQ(count("GET", kParamsPath), 1u);
  EXPECT_EQ(fake().requests("GET", "/api/v1/" + kParamsPath)[0].param("player_id"), "player-7");
}

TEST_F(IosParamsTest, RequireEmailAuthReleasesAParkedSetEmail) {
  start();
  answerWith({{"require_email_auth", true}});
  setPlayer("player-1");
  std::atomic<int> successes{0};
  // With a hash and no parameters yet the call waits for them.
  RerAviror::setEmail("user@example.com", std::string("hash-1"), [&] { ++successes; }, nullptr);
  ASSERT_NE(push::pendingEmailParameters(), nullptr);
  EXPECT_EQ(count("POST", "players"), 0u);

  RerAviror::downloadIOSParamsWithAppId(kAppId);
  ASSERT_TRUE(runUntil([&] { return successes == 1; }));
  EXPECT_TRUE(RerAviror::currentEmailSubscriptionState()->requiresEmailAuth());
  EXPECT_EQ(push::pendingEmailParameters(), nullptr);
  ASSERT_EQ(count("POST", "players"), 1u);
  EXPECT_EQ(body("POST", "players")["email_auth_hash"], "hash-1");
}

TEST_F(IosParamsTest, RequireEmailAuthTakesTheValuesBooleanValue) {
  struct Case {
    json value;
    bool requiresAuth;
    bool replayed;  // present with a boolean value: the parked call is released
  };
  const Case cases[] = {
      {json(1), true, true},          {json(0), false, true},        {json("true"), true, true},
      {json("no"), false, true},      {json(nullptr), false, false}, {json::array({true}), false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value.dump());
    start();
    answerWith({{"require_email_auth", c.value}});
    setPlayer("player-1");
    RerAviror::setEmail("user@example.com", std::string("hash-1"), nullptr, nullptr);
    RerAviror::downloadIOSParamsWithAppId(kAppId);
    ASSERT_TRUE(received());
    if (c.replayed) {
      ASSERT_TRUE(runUntil([&] { return count("POST", "players") == 1; }));
    }
    settle();
    EXPECT_EQ(RerAviror::currentEmailSubscriptionState()->requiresEmailAuth(), c.requiresAuth);
    EXPECT_EQ(push::pendingEmailParameters() == nullptr, c.replayed);
    EXPECT_EQ(count("POST", "players"), c.replayed ? 1u : 0u);
    TearDown();
  }
}

TEST_F(IosParamsTest, RequireEmailAuthWithoutPlayerKeepsTheCallParked) {
  start();
  answerWith({{"require_email_auth", false}});
  RerAviror::setEmail("user@example.com");
  RerAviror::downloadIOSParamsWithAppId(kAppId);
  ASSERT_TRUE(received());
  EXPECT_NE(push::pendingEmailParameters(), nullptr);
  EXPECT_EQ(count("POST", "players"), 0u);
}

TEST_F(IosParamsTest, ProvisionalSwitchCountsOnlyAsATrueValueWithAutoPromptOff) {
  struct Case {
    const char* name;
    json params;
    bool autoPrompt;
    bool stored;
  };
  const Case cases[] = {
      {"true", {{"uses_provisional_auth", true}}, false, true},
      {"null", {{"uses_provisional_auth", nullptr}}, false, false},
      {"false", {{"uses_provisional_auth", false}}, false, false},
      {"number one", {{"uses_provisional_auth", 1}}, false, true},
      {"number zero", {{"uses_provisional_auth", 0}}, false, false},
      {"text true", {{"uses_provisional_auth", "true"}}, false, true},
      {"true with auto-prompt", {{"uses_provisional_auth", true}}, true, false},
  };
  start();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RerAviror::clearFeatureStatics();
    RerAviror::clearStatics();
    ASSERT_TRUE(RerAviror::initAppId(kAppId, std::nullopt));
    defaults().remove("RERAVIROR_USES_PROVISIONAL_PUSH_AUTHORIZATION");
    auto adapter = std::make_shared<ScriptedAdapter>();
    RerAviror::setOsNotificationSettings(adapter);
    if (c.autoPrompt) {
      // The answer waits until start-up has read the settings.
      fake().on("GET", "/api/v1/" + kParamsPath, fake().held_until_released(FakeService::json(200, c.params)));
      RerAviror::initWithLaunchOptions(std::nullopt, kAppId, nullptr, nullptr,
                                       foundation::Dict{{"kOSSettingsKeyAutoPrompt", true}});
      fake().release_held();
    } else {
      answerWith(c.params);
      RerAviror::downloadIOSParamsWithAppId(kAppId);
    }
    ASSERT_TRUE(received());
    EXPECT_EQ(defaults().object("RERAVIROR_USES_PROVISIONAL_PUSH_AUTHORIZATION").has_value(), c.stored);
    if (!c.autoPrompt) {
      EXPECT_EQ(adapter->provisionalCalls, c.stored ? 1 : 0);
    }
  }
}

TEST_F(IosParamsTest, StoredProvisionalSwitchIsNeverLowered) {
  start();
  defaults().set("RERAVIROR_USES_PROVISIONAL_PUSH_AUTHORIZATION", std::optional<foundation::Value>(std::in_place, 1));
  answerWith({{"uses_provisional_auth", false}});
  RerAviror::downloadIOSParamsWithAppId(kAppId);
  ASSERT_TRUE(received());
  EXPECT_TRUE(defaults().boolean("RERAVIROR_USES_PROVISIONAL_PUSH_AUTHORIZATION"));
}

TEST_F(IosParamsTest, FailedDownloadLeavesParametersNotReceived) {
  start();
  fake().set_status_sequence("/api/v1/" + kParamsPath, {503, 503, 503});
  RerAviror::downloadIOSParamsWithAppId(kAppId);
  for (std::size_t sent = 1; sent <= 3; ++sent) {
    ASSERT_TRUE(runUntil([&] { return count("GET", kParamsPath) == sent; })) << sent;
    settle();
    advance(30);
  }
  settle();
  EXPECT_EQ(count("GET", kParamsPath), 3u);
  EXPECT_FALSE(RerAviror::iosParamsReceived());
}

}  // namespace
}  // namespace push_test
