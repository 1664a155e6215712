#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "platform/os/preferences.h"
#include "push/email.h"
#include "tests/push/feature_fixture.h"

namespace push_test {
namespace {

using push::RerAviror;
using testing::fakes::FakeService;

// What the blocks of one call saw, and on which thread.
struct EmailSeen {
  std::mutex mutex;
  std::vector<std::string> events;  // "ok" or "<domain>:<code>:<error text>"
  std::vector<bool> onMain;
  std::size_t size() {
    std::lock_guard lock(mutex);
    return events.size();
  }
};

class EmailCounter : public push::OSEmailSubscriptionObserver {
 public:
  std::atomic<int> changes{0};
  void onOSEmailSubscriptionChanged(const std::shared_ptr<push::OSEmailSubscriptionStateChanges>&) override {
    ++changes;
  }
};

class EmailTest : public FeatureTest {
 protected:
  std::function<void()> success(EmailSeen& seen) {
    return [this, &seen] {
      std::lock_guard lock(seen.mutex);
      seen.events.push_back("ok");
      seen.onMain.push_back(onMainThread());
    };
  }
  std::function<void(const foundation::Error&)> failure(EmailSeen& seen) {
    return [this, &seen](const foundation::Error& error) {
      std::lock_guard lock(seen.mutex);
      const auto* text = error.user_info.get("error").string();
      seen.events.push_back(error.domain + ":" + std::to_string(error.code) + ":" + (text ? *text : ""));
      seen.onMain.push_back(onMainThread());
    };
  }
  std::shared_ptr<push::OSEmailSubscriptionState> email() { return RerAviror::currentEmailSubscriptionState(); }
  platform::os::UserDefaults& defaults() { return platform::os::UserDefaults::standard(); }
};

TEST_F(EmailTest, CreateSendsTheRecordThenLinksThePushPlayer) {
  start();
  setPlayer("p1");
  EmailSeen seen;
  RerAviror::setEmail("user@example.com", success(seen), failure(seen));
  EXPECT_EQ(seen.size(), 0u);
  ASSERT_TRUE(runUntil([&] { return seen.size() == 1; }));
  EXPECT_EQ(seen.events[0], "ok");
  EXPECT_TRUE(seen.onMain[0]);

  ASSERT_EQ(count("POST", "players"), 1u);
  EXPECT_EQ(body("POST", "players"), (json{{"app_id", kAppId},
                                           {"device_type", 11},
                                           {"identifier", "user@example.com"},
                                           {"email_auth_hash", nullptr},
                                           {"device_player_id", "p1"}}));
  const auto emailPlayerId = email()->emailUserId();
  ASSERT_TRUE(emailPlayerId);
  EXPECT_NE(*emailPlayerId, "p1");
  EXPECT_EQ(defaults().string("GT_EMAIL_PLAYER_ID"), emailPlayerId);
  EXPECT_EQ(email()->emailAddress(), "user@example.com");
  ASSERT_EQ(count("PUT", "players/p1"), 1u);
  const json link = body("PUT", "players/p1");
  EXPECT_EQ(link["parent_player_id"], *emailPlayerId);
  EXPECT_EQ(link["email"], "user@example.com");
  EXPECT_TRUE(link["notification_types"].is_number_integer());
  EXPECT_FALSE(link.contains("identifier"));

  // The same address again, without a hash: nothing to do.
  EmailSeen again;
  RerAviror::setEmail("user@example.com", success(again), failure(again));
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again.events[0], "ok");
  EXPECT_TRUE(logged("Email already exists, there is no need to call setEmail again"));
  settle();
  EXPECT_EQ(fake().count(), 2u);
}

TEST_F(EmailTest, AnExistingRecordOnlyGetsTheNewAddress) {
  start();
  setPlayer("p1");
  email()->setEmailUserId("e1");
  email()->setEmailAddress("old@example.com");
  EmailSeen seen;
  RerAviror::setEmail("new@example.com", success(seen), failure(seen));
  ASSERT_TRUE(runUntil([&] { return seen.size() == 1; }));
  EXPECT_TRUE(seen.onMain[0]);
  ASSERT_EQ(count("PUT", "players/e1"), 1u);
  EXPECT_EQ(body("PUT", "players/e1"), (json{{"app_id", kAppId}, {"identifier", "new@example.com"}}));
  EXPECT_EQ(count("POST", "players"), 0u);
  // The stored address stays, so the same new address is sent again.
  EXPECT_EQ(email()->emailAddress(), "old@example.com");
  EmailSeen second;
  RerAviror::setEmail("new@example.com", success(second), failure(second));
  ASSERT_TRUE(runUntil([&] { return second.size() == 1; }));
  EXPECT_EQ(count("PUT", "players/e1"), 2u);
}

TEST_F(EmailTest, AlreadyExistsNeedsEqualAddressAndEqualHash) {
  struct Case {
    const char* name;
    std::optional<std::string> storedAddress, storedHash;
    std::string address;
    std::optional<std::string> hash;
    bool matches;
  };
  const Case cases[] = {
      {"same address, no hashes", "a@b.com", std::nullopt, "a@b.com", std::nullopt, true},
      {"same address and hash", "a@b.com", "h1", "a@b.com", "h1", true},
      {"other hash", "a@b.com", "h1", "a@b.com", "h2", false},
      {"hash only given", "a@b.com", std::nullopt, "a@b.com", "h1", false},
      {"hash only stored", "a@b.com", "h1", "a@b.com", std::nullopt, false},
      {"other address", "a@b.com", std::nullopt, "c@b.com", std::nullopt, false},
      {"no stored address", std::nullopt, std::nullopt, "a@b.com", std::nullopt, false},
  };
  start();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    email()->setEmailAddress(c.storedAddress);
    email()->setEmailAuthCode(c.storedHash);
    EmailSeen seen;
    // No player id: a call that does not match is parked, so only a match answers.
    RerAviror::setEmail(c.address, c.hash, success(seen), failure(seen));
    EXPECT_EQ(seen.size(), c.matches ? 1u : 0u);
    EXPECT_EQ(push::pendingEmailParameters() != nullptr, !c.matches);
    RerAviror::clearFeatureStatics();
  }
  settle();
  EXPECT_EQ(fake().count(), 0u);
}

TEST_F(EmailTest, LocalRefusalsAnswerAtOnceOnTheCallersThread) {
  struct Case {
    const char* name;
    std::string address;
    bool requiresAuth;
    std::optional<std::string> hash;
    std::string expected;
  };
  const std::string authText =
      "com.reraviror.email:0:Email authentication (auth token) is set to REQUIRED for this application. Please "
      "provide an auth token from your backend server or change the setting in the RerAviror dashboard.";
  const Case cases[] = {
      {"invalid address", "not-an-address", false, std::nullopt, "com.reraviror:0:Email is invalid"},
      {"empty address", "", false, std::nullopt, "com.reraviror:0:Email is invalid"},
      {"hash required, none given", "a@b.com", true, std::nullopt, authText},
      {"hash required, empty given", "a@b.com", true, "", authText},
  };
  start();
  setPlayer("p1");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    email()->setRequiresEmailAuth(c.requiresAuth);
    EmailSeen seen;
    std::thread caller([&] { RerAviror::setEmail(c.address, c.hash, success(seen), failure(seen)); });
    caller.join();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen.events[0], c.expected);
    EXPECT_FALSE(seen.onMain[0]);
  }
  EXPECT_TRUE(logged("Invalid email (not-an-address) passed to setEmail"));
  settle();
  EXPECT_EQ(fake().count(), 0u);
}

TEST_F(EmailTest, OfTwoCallsBeforeRegistrationOnlyTheSecondIsReplayed) {
  start();
  EmailSeen first, second;
  RerAviror::setEmail("first@example.com", success(first), failure(first));
  RerAviror::setEmail("second@example.com", success(second), failure(second));
  EXPECT_TRUE(logged("Delaying call to setEmail: until the parameters have been downloaded."));
  setPlayer("p1");
  RerAviror::replayPendingEmail();
  ASSERT_TRUE(runUntil([&] { return second.size() == 1; }));
  settle();
  EXPECT_EQ(first.size(), 0u);
  ASSERT_EQ(count("POST", "players"), 1u);
  EXPECT_EQ(body("POST", "players")["identifier"], "second@example.com");
  EXPECT_EQ(push::pendingEmailParameters(), nullptr);
}

TEST_F(EmailTest, ARegistrationReleasesTheParkedCall) {
  start();
  auto adapter = std::make_shared<ScriptedAdapter>();
  adapter->prompted = adapter->answered = adapter->accepted = true;
  adapter->types = 7;
  RerAviror::setOsNotificationSettings(adapter);
  EmailSeen seen;
  RerAviror::setEmail("user@example.com", success(seen), failure(seen));
  RerAviror::registerUser();
  if (auto queue = RerAviror::getRegisterQueue()) queue->sync([] {});
  ASSERT_TRUE(runUntil([&] { return seen.size() == 1; }));
  EXPECT_EQ(seen.events[0], "ok");
  ASSERT_EQ(count("POST", "players"), 2u);
  EXPECT_EQ(body("POST", "players", 1)["device_player_id"], fake().player_id());
  EXPECT_EQ(body("POST", "players", 1)["identifier"], "user@example.com");
}

TEST_F(EmailTest, LogoutSendsThreeKeysForgetsTheRecordAndTellsObservers) {
  start();
  setPlayer("p1");
  email()->setEmailUserId("e1");
  email()->setEmailAddress("user@example.com");
  email()->persist();
  auto observer = std::make_shared<EmailCounter>();
  RerAviror::addEmailSubscriptionObserver(observer);
  runMain();
  const int before = observer->changes;
  EmailSeen seen;
  RerAviror::logoutEmailWithSuccess(success(seen), failure(seen));
  ASSERT_TRUE(runUntil([&] { return seen.size() == 1 && observer->changes > before; }));
  EXPECT_EQ(seen.events[0], "ok");
  EXPECT_TRUE(seen.onMain[0]);
  ASSERT_EQ(count("POST", "players/p1/email_logout"), 1u);
  EXPECT_EQ(body("POST", "players/p1/email_logout"),
            (json{{"parent_player_id", "e1"}, {"email_auth_hash", nullptr}, {"app_id", kAppId}}));
  EXPECT_FALSE(defaults().object("GT_EMAIL_PLAYER_ID"));
  EXPECT_FALSE(email()->emailUserId());
  EXPECT_FALSE(email()->emailAddress());

  // Without a record: refused at once.
  EmailSeen again;
  RerAviror::logoutEmailWithSuccess(success(again), failure(again));
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again.events[0].rfind("com.reraviror:0:Attempted to log out of the user's email", 0), 0u);
  EXPECT_TRUE(logged("Email Player ID does not exist, cannot logout"));
  settle();
  EXPECT_EQ(fake().count(), 1u);
}

TEST_F(EmailTest, ServiceFailuresAndAnswersWithoutIdReachTheFailureBlockOnMain) {
  struct Case {
    const char* name;
    testing::fakes::Handler createAnswer;
    std::string expected;
  };
  const Case cases[] = {
      {"no id", FakeService::json(200, {{"success", true}}),
       "com.reraviror.email:0:Missing RerAviror Email Player ID"},
      {"id not text", FakeService::json(200, {{"success", true}, {"id", 7}}),
       "com.reraviror.email:0:Missing RerAviror Email Player ID"},
      {"refused", FakeService::json(400, {{"errors", {"bad"}}}), "RerAvirorError:400:"},
  };
  start();
  setPlayer("p1");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake().on("POST", "/api/v1/players", c.createAnswer);
    EmailSeen seen;
    RerAviror::setEmail("user@example.com", success(seen), failure(seen));
    ASSERT_TRUE(runUntil([&] { return seen.size() == 1; }));
    EXPECT_EQ(seen.events[0], c.expected);
    EXPECT_TRUE(seen.onMain[0]);
    EXPECT_FALSE(email()->emailUserId());
  }
  EXPECT_EQ(count("PUT", "players/p1"), 0u);
}

TEST_F(EmailTest, NewEmailPlayerIdFromRegistrationRelinksThePushPlayer) {
  start();
  setPlayer("p1");
  email()->setEmailUserId("e1");
  email()->setEmailAddress("user@example.com");
  email()->setEmailAuthCode("h1");
  RerAviror::emailChangedWithNewEmailPlayerId("e1");
  settle();
  EXPECT_EQ(fake().count(), 0u);
  fake().on("PUT", "/api/v1/players/p1", FakeService::json(400, {{"errors", {"bad"}}}));
  RerAviror::emailChangedWithNewEmailPlayerId("e2");
  EXPECT_EQ(email()->emailUserId(), "e2");
  EXPECT_EQ(defaults().string("GT_EMAIL_PLAYER_ID"), "e2");
  ASSERT_TRUE(runUntil([&] { return logged("Encountered an error updating this user's email player record: "); }));
  const json link = body("PUT", "players/p1");
  EXPECT_EQ(link["parent_player_id"], "e2");
  EXPECT_EQ(link["email_auth_hash"], "h1");
  EXPECT_EQ(link["email"], "user@example.com");
}

}  // namespace
}  // namespace push_test
