#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "push/client.h"
#include "tests/push/feature_fixture.h"

namespace push_test {
namespace {

using push::RerAviror;
using testing::fakes::FakeService;

// What the blocks of one call saw.
struct TagsSeen {
  std::mutex mutex;
  std::vector<std::string> events;  // "ok", "fail:<code>"
  std::vector<bool> onMain;
  std::optional<foundation::Dict> result;
  std::size_t size() {
    std::lock_guard lock(mutex);
    return events.size();
  }
};

class TagsTest : public FeatureTest {
 protected:
  push::OSResultSuccessBlock success(TagsSeen& seen) {
    return [this, &seen](const std::optional<foundation::Dict>& result) {
      std::lock_guard lock(seen.mutex);
      seen.events.push_back("ok");
      seen.onMain.push_back(onMainThread());
      seen.result = result;
    };
  }
  push::OSFailureBlock failure(TagsSeen& seen) {
    return [this, &seen](const foundation::Error& error) {
      std::lock_guard lock(seen.mutex);
      seen.events.push_back("fail:" + std::to_string(error.code));
      seen.onMain.push_back(onMainThread());
    };
  }
  json tagsSent(const std::string& player, std::size_t index = 0) { return body("PUT", "players/" + player, index); }
};

TEST_F(TagsTest, ChangesLessThanFiveSecondsApartShareOneRequest) {
  start();
  setPlayer("p1");
  RerAviror::sendTag("a", std::string("1"));
  advance(2);
  RerAviror::sendTag("b", std::string("2"));
  advance(4.9);
  settle();
  EXPECT_EQ(count("PUT", "players/p1"), 0u);
  advance(0.2);
  ASSERT_TRUE(runUntil([&] { return count("PUT", "players/p1") == 1; }));
  const json sent = tagsSent("p1");
  EXPECT_EQ(sent, (json{{"app_id", kAppId}, {"tags", {{"a", "1"}, {"b", "2"}}}, {"net_type", sent["net_type"]}}));
  EXPECT_TRUE(sent["net_type"].is_number_integer());
  settle();
  EXPECT_EQ(count("PUT", "players/p1"), 1u);
}

TEST_F(TagsTest, DeletionsDropPendingChangesAndKeepOnePendingDeletion) {
  start();
  setPlayer("p1");
  RerAviror::sendTag("a", std::string("1"));
  RerAviror::sendTags(foundation::Dict{{"n", 5}});
  RerAviror::deleteTags({"a", "n"});
  RerAviror::deleteTag("x");
  RerAviror::deleteTag("x");
  advance(5);
  ASSERT_TRUE(runUntil([&] { return count("PUT", "players/p1") == 1; }));
  EXPECT_EQ(tagsSent("p1")["tags"], (json{{"x", ""}}));
}

TEST_F(TagsTest, BadTagsAreRefusedWholeWithoutCallingBlocks) {
  struct Case {
    const char* name;
    foundation::Dict tags;
    const char* line;
  };
  const Case cases[] = {
      {"nested object", foundation::Dict{{"a", "1"}, {"n", foundation::Dict{{"k", "v"}}}},
       "sendTags Tags JSON must not contain nested objects"},
      {"date value", foundation::Dict{{"a", "1"}, {"d", foundation::Date{1600000000}}},
       "sendTags JSON Invalid: The following key/value pairs you attempted to send as tags are not valid JSON"},
  };
  start();
  setPlayer("p1");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TagsSeen seen;
    RerAviror::sendTags(c.tags, success(seen), failure(seen));
    EXPECT_TRUE(logged(c.line));
    EXPECT_FALSE(RerAviror::hasPendingTags());
    advance(6);
    settle();
    EXPECT_EQ(seen.size(), 0u);
  }
  EXPECT_EQ(fake().count(), 0u);
}

TEST_F(TagsTest, EmailPlayerGetsTheBatchOnlyWithTheAuthItNeeds) {
  struct Case {
    const char* name;
    bool requiresAuth;
    std::optional<std::string> authCode;
    bool emailSent;
  };
  const Case cases[] = {
      {"no auth needed", false, std::nullopt, true},
      {"auth needed, code known", true, "hash-9", true},
      {"auth needed, no code", true, std::nullopt, false},
  };
  start();
  setPlayer("p1");
  auto email = RerAviror::currentEmailSubscriptionState();
  std::size_t pushSends = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake().clear_requests();
    email->setEmailUserId("e1");
    email->setRequiresEmailAuth(c.requiresAuth);
    email->setEmailAuthCode(c.authCode);
    TagsSeen seen;
    RerAviror::sendTag("a", std::string("1"), success(seen), nullptr);
    advance(5);
    ASSERT_TRUE(runUntil([&] { return seen.size() == 1; }));
    ++pushSends;
    EXPECT_EQ(count("PUT", "players/p1"), 1u);
    ASSERT_EQ(count("PUT", "players/e1"), c.emailSent ? 1u : 0u);
    if (c.emailSent && c.authCode) {
      EXPECT_EQ(body("PUT", "players/e1")["email_auth_hash"], *c.authCode);
    }
  }
  EXPECT_EQ(pushSends, 3u);
}

TEST_F(TagsTest, EveryBlockOfTheBatchGetsThePushOutcomeElseTheEmailOne) {
  struct Case {
    const char* name;
    int pushStatus, emailStatus;
    const char* expected;
  };
  const Case cases[] = {
      {"both succeed", 200, 200, "ok"},
      {"push fails", 400, 409, "fail:400"},
      {"only email fails", 200, 409, "fail:409"},
  };
  start();
  setPlayer("p1");
  RerAviror::currentEmailSubscriptionState()->setEmailUserId("e1");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake().on("PUT", "/api/v1/players/p1", FakeService::json(c.pushStatus, {{"from", "push"}}));
    fake().on("PUT", "/api/v1/players/e1", FakeService::json(c.emailStatus, {{"from", "email"}}));
    TagsSeen first, second;
    RerAviror::sendTag("a", std::string("1"), success(first), failure(first));
    RerAviror::sendTag("b", std::string("2"), success(second), failure(second));
    advance(5);
    ASSERT_TRUE(runUntil([&] { return first.size() == 1 && second.size() == 1; }));
    for (TagsSeen* seen : {&first, &second}) {
      EXPECT_EQ(seen->events[0], c.expected);
      EXPECT_TRUE(seen->onMain[0]);
    }
    if (std::string(c.expected) == "ok") {
      ASSERT_TRUE(first.result);
      EXPECT_EQ(first.result->get("from"), foundation::Value("push"));
    }
  }
}

TEST_F(TagsTest, EmptyChangesStillRestartTheClockAndJoinTheirBlocks) {
  start();
  setPlayer("p1");
  TagsSeen seen;
  RerAviror::sendTags(foundation::Dict{});
  advance(3);
  RerAviror::sendTag("b", std::nullopt, success(seen), nullptr);
  advance(3);
  settle();
  EXPECT_EQ(count("PUT", "players/p1"), 0u);
  advance(2.1);
  ASSERT_TRUE(runUntil([&] { return seen.size() == 1; }));
  ASSERT_EQ(count("PUT", "players/p1"), 1u);
  EXPECT_EQ(tagsSent("p1")["tags"], json::object());
}

TEST_F(TagsTest, BeforeRegistrationTheBatchWaitsForTheRegistrationRecord) {
  start();
  TagsSeen seen;
  RerAviror::sendTag("a", std::string("1"), success(seen), failure(seen));
  advance(10);
  settle();
  EXPECT_EQ(fake().count(), 0u);
  ASSERT_TRUE(RerAviror::hasPendingTags());
  std::vector<std::shared_ptr<push::OSPendingCallbacks>> callbacks;
  const auto tags = RerAviror::takePendingTags(callbacks);
  ASSERT_TRUE(tags);
  EXPECT_EQ(*tags, (foundation::Dict{{"a", "1"}}));
  ASSERT_EQ(callbacks.size(), 1u);
  callbacks[0]->successBlock()(foundation::Dict{{"success", true}});
  EXPECT_EQ(seen.events, std::vector<std::string>{"ok"});
  EXPECT_FALSE(RerAviror::hasPendingTags());
}

TEST_F(TagsTest, RegistrationCarriesTheBatchAndReleasesTheParkedCalls) {
  start();
  auto adapter = std::make_shared<ScriptedAdapter>();
  adapter->prompted = adapter->answered = adapter->accepted = true;
  adapter->types = 7;
  RerAviror::setOsNotificationSettings(adapter);
  TagsSeen tagsSeen, readSeen;
  RerAviror::sendTag("a", std::string("1"), success(tagsSeen), failure(tagsSeen));
  RerAviror::getTags(success(readSeen), failure(readSeen));
  RerAviror::syncHashedEmail(std::string(" A@B.com "));
  RerAviror::registerUser();
  if (auto queue = RerAviror::getRegisterQueue()) queue->sync([] {});
  ASSERT_TRUE(runUntil([&] { return tagsSeen.size() == 1 && readSeen.size() == 1; }));
  ASSERT_EQ(count("POST", "players"), 1u);
  EXPECT_EQ(body("POST", "players")["tags"], (json{{"a", "1"}}));
  EXPECT_EQ(tagsSeen.events[0], "ok");
  EXPECT_TRUE(tagsSeen.onMain[0]);
  EXPECT_EQ(readSeen.events[0], "ok");
  const std::string player = fake().player_id();
  EXPECT_EQ(count("GET", "players/" + player), 1u);
  ASSERT_TRUE(runUntil([&] { return count("PUT", "players/" + player) == 1; }));
  EXPECT_EQ(body("PUT", "players/" + player)["em_m"], "357a20e8c56e69d6f9734d23ef9517e8");
  advance(5);
  settle();
  EXPECT_EQ(count("PUT", "players/" + player), 1u);  // the batch rode in the record, no tag send follows
}

TEST_F(TagsTest, ParkedGetTagsRunsOnceAPlayerExists) {
  start();
  fake().on("GET", "/api/v1/players/p1", FakeService::json(200, {{"tags", {{"k", "v"}}}}));
  TagsSeen seen;
  RerAviror::getTags(success(seen), failure(seen));
  RerAviror::getTags(nullptr);  // no success block: replaces the parked call, and must be safe
  RerAviror::getTags(success(seen), failure(seen));
  settle();
  EXPECT_EQ(fake().count(), 0u);
  setPlayer("p1");
  RerAviror::runPendingGetTags();
  ASSERT_TRUE(runUntil([&] { return seen.size() == 1; }));
  EXPECT_EQ(seen.events[0], "ok");
  EXPECT_FALSE(seen.onMain[0]);  // the completion thread
  EXPECT_EQ(*seen.result, (foundation::Dict{{"k", "v"}}));
  const auto sent = fake().requests("GET", "/api/v1/players/p1");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].query, "app_id=" + std::string(kAppId));
  RerAviror::runPendingGetTags();
  RerAviror::getTags(nullptr, nullptr);
  ASSERT_TRUE(runUntil([&] { return count("GET", "players/p1") == 2; }));
  settle();
  EXPECT_EQ(seen.size(), 1u);
}

TEST_F(TagsTest, ATagsFieldThatIsNoObjectGivesNoTags) {
  start();
  setPlayer("p1");
  for (const json& tags : {json("x"), json::array({"k"})}) {
    SCOPED_TRACE(tags.dump());
    fake().on("GET", "/api/v1/players/p1", FakeService::json(200, {{"tags", tags}}));
    TagsSeen seen;
    RerAviror::getTags(success(seen), failure(seen));
    ASSERT_TRUE(runUntil([&] { return seen.size() == 1; }));
    EXPECT_EQ(seen.events[0], "ok");
    EXPECT_EQ(seen.result, std::nullopt);
  }
}

TEST_F(TagsTest, JsonTextForms) {
  start();
  setPlayer("p1");
  RerAviror::sendTagsWithJsonString(R"({"a":"1","b":2})");
  RerAviror::deleteTagsWithJsonString(R"(["b","c"])");
  RerAviror::sendTagsWithJsonString("{");
  RerAviror::deleteTagsWithJsonString("[1");
  EXPECT_TRUE(logged("sendTags JSON Parse Error: "));
  EXPECT_TRUE(logged("sendTags JSON Parse Error, JSON: {"));
  EXPECT_TRUE(logged("deleteTags JSON Parse Error: "));
  EXPECT_TRUE(logged("deleteTags JSON Parse Error, JSON: [1"));
  RerAviror::deleteTagsWithJsonString(R"({"not":"keys"})");
  advance(5);
  ASSERT_TRUE(runUntil([&] { return count("PUT", "players/p1") == 1; }));
  EXPECT_EQ(tagsSent("p1")["tags"], (json{{"a", "1"}, {"c", ""}}));
}

TEST_F(TagsTest, WithoutConsentEachFormNamesItselfAndChangesNothing) {
  struct Case {
    const char* name;
    std::function<void(TagsSeen&)> call;
  };
  const Case cases[] = {
      {"sendTag:value:", [](TagsSeen&) { RerAviror::sendTag("a", std::string("1")); }},
      {"sendTag:value:onSuccess:onFailure:",
       [this](TagsSeen& seen) { RerAviror::sendTag("a", std::string("1"), success(seen), failure(seen)); }},
      {"sendTags:", [](TagsSeen&) { RerAviror::sendTags(foundation::Dict{{"a", "1"}}); }},
      {"sendTagsWithJsonString:", [](TagsSeen&) { RerAviror::sendTagsWithJsonString(R"({"a":"1"})"); }},
      {"sendTags:onSuccess:onFailure:",
       [this](TagsSeen& seen) { RerAviror::sendTags(foundation::Dict{{"a", "1"}}, success(seen), failure(seen)); }},
      {"deleteTag:", [](TagsSeen&) { RerAviror::deleteTag("p"); }},
      {"deleteTag:onSuccess:onFailure:",
       [this](TagsSeen& seen) { RerAviror::deleteTag("p", success(seen), failure(seen)); }},
      {"deleteTags:", [](TagsSeen&) { RerAviror::deleteTags(std::vector<std::string>{"p"}); }},
      {"deleteTagsWithJsonString:", [](TagsSeen&) { RerAviror::deleteTagsWithJsonString(R"(["p"])"); }},
      {"getTags:onFailure:", [this](TagsSeen& seen) { RerAviror::getTags(success(seen), failure(seen)); }},
      {"postNotification:onSuccess:onFailure:",
       [this](TagsSeen& seen) { RerAviror::postNotification(foundation::Dict{{"contents", "x"}}, success(seen), failure(seen)); }},
  };
  start();
  setPlayer("p1");
  RerAviror::sendTag("p", std::string("pending"));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RerAviror::setRequiresUserPrivacyConsent(true);
    capture_->clear();
    TagsSeen seen;
    c.call(seen);
    settle();
    EXPECT_TRUE(logged("Your application has called " + std::string(c.name) + " before the user granted privacy"));
    EXPECT_EQ(seen.size(), 0u);
    EXPECT_EQ(fake().count(), 0u);
  }
  // The change made with consent is still pending, untouched by the refused calls.
  RerAviror::setRequiresUserPrivacyConsent(false);
  advance(5);
  ASSERT_TRUE(runUntil([&] { return count("PUT", "players/p1") == 1; }));
  EXPECT_EQ(tagsSent("p1")["tags"], (json{{"p", "pending"}}));
}

// ---- posting ----

class PostTest : public TagsTest {};

TEST_F(PostTest, AppIdIsAddedOnlyWhenAbsentAndAnswersComeOnMain) {
  start();
  push::setLogThresholds(push::kLogDebug, push::kLogNone);
  TagsSeen first, second;
  RerAviror::postNotification(foundation::Dict{{"contents", foundation::Dict{{"en", "hi"}}}}, success(first),
                              failure(first));
  ASSERT_TRUE(runUntil([&] { return first.size() == 1; }));
  EXPECT_EQ(first.events[0], "ok");
  EXPECT_TRUE(first.onMain[0]);
  EXPECT_TRUE(logged("HTTP create notification success {\"id\":"));
  EXPECT_EQ(body("POST", "notifications")["app_id"], kAppId);

  RerAviror::postNotification(foundation::Dict{{"app_id", "other"}}, success(second), failure(second));
  ASSERT_TRUE(runUntil([&] { return second.size() == 1; }));
  EXPECT_EQ(body("POST", "notifications", 1)["app_id"], "other");

  fake().on("POST", "/api/v1/notifications", FakeService::json(400, {{"errors", {"bad"}}}));
  TagsSeen failed;
  RerAviror::postNotification(foundation::Dict{{"contents", "x"}}, success(failed), failure(failed));
  ASSERT_TRUE(runUntil([&] { return failed.size() == 1; }));
  EXPECT_EQ(failed.events[0], "fail:400");
  EXPECT_TRUE(failed.onMain[0]);
  EXPECT_TRUE(logged("Create notification failed"));
}


TEST_F(PostTest, TopLevelDatesBecomeTextInTheDeviceZone) {
  struct Case {
    const char* zone;
    const char* text;
  };
  for (const Case c : {Case{"Europe/Berlin", "2020-09-13T14:26:40+02:00"}, Case{"UTC", "2020-09-13T12:26:40Z"}}) {
    SCOPED_TRACE(c.zone);
    start({.profile = {{"time_zone", c.zone}}, .launch = false});
    foundation::Dict notification{{"send_after", foundation::Date{1600000000}}, {"n", 1}};
    RerAviror::convertDatesToISO8061Strings(notification);
    EXPECT_EQ(notification, (foundation::Dict{{"send_after", c.text}, {"n", 1}}));
    TagsSeen seen;
    RerAviror::postNotification(foundation::Dict{{"send_after", foundation::Date{1600000000}}}, success(seen),
                                failure(seen));
    ASSERT_TRUE(runUntil([&] { return seen.size() == 1; }));
    EXPECT_EQ(body("POST", "notifications")["send_after"], c.text);
    TearDown();
  }
}

TEST_F(PostTest, NestedDatesAndMalformedTextSendNothing) {
  start();
  TagsSeen nested;
  RerAviror::postNotification(
      foundation::Dict{{"data", foundation::Dict{{"when", foundation::Date{1600000000}}}}}, success(nested),
      failure(nested));
  EXPECT_EQ(nested.size(), 0u);  // not on the caller's thread
  ASSERT_TRUE(runUntil([&] { return nested.size() == 1; }));
  EXPECT_EQ(nested.events[0], "fail:0");
  EXPECT_TRUE(nested.onMain[0]);

  TagsSeen malformed;
  RerAviror::postNotificationWithJsonString("{\"contents\":", success(malformed), failure(malformed));
  EXPECT_TRUE(logged("postNotification JSON Parse Error: "));
  EXPECT_TRUE(logged("postNotification JSON Parse Error, JSON: {\"contents\":"));
  settle();
  EXPECT_EQ(malformed.size(), 0u);
  EXPECT_EQ(fake().count(), 0u);
}

TEST_F(PostTest, ErrorAsJsonText) {
  struct Case {
    const char* name;
    foundation::Error error;
    std::string text;
  };
  const Case cases[] = {
      {"service reply", foundation::Error("RerAvirorError", 400, {{"returned", foundation::Dict{{"errors", "bad"}}}}),
       R"({"errors":"bad"})"},
      {"no reply", foundation::Error("RerAvirorError", 0, {{"error", "offline"}}),
       R"({"error": "HTTP no response error"})"},
      {"reply JSON cannot carry", foundation::Error("RerAviror Error", 200, {{"returned", foundation::Date{1}}}),
       R"({"error": "Unknown error parsing error response."})"},
  };
  start({.launch = false});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(RerAviror::parseNSErrorAsJsonString(c.error), c.text);
  }
}

}  // namespace
}  // namespace push_test
