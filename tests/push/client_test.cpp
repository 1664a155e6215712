#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/push/client_support.h"

namespace push_test {
namespace {

using namespace push;
using foundation::Dict;
using foundation::Value;

const std::string kPlayerPath = "/api/v1/players/p1";

std::shared_ptr<RerAvirorRequest> typesUpdate() { return OSRequestUpdateNotificationTypes::withUserId("p1", "app", 1); }

TEST_F(ClientTest, ReplyTable) {
  struct Case {
    std::string name;
    testing::fakes::Handler answer;
    bool success;
    std::optional<Dict> result;
    std::string domain;
    std::int64_t code;
    std::vector<std::string> userInfoKeys;
  };
  const std::vector<Case> cases = {
      {"200 empty", FakeService::empty(200), true, std::nullopt, "", 0, {}},
      {"200 {}", FakeService::json(200, nlohmann::json::object()), true, Dict{}, "", 0, {}},
      {"200 object", FakeService::json(200, {{"id", "x"}}), true, Dict{{"id", "x"}}, "", 0, {}},
      {"200 array has no fields", FakeService::json(200, nlohmann::json::array({1, 2})), true, Dict{}, "", 0, {}},
      {"201", FakeService::empty(201), false, std::nullopt, "RerAvirorError", 201, {}},
      {"204", FakeService::empty(204), false, std::nullopt, "RerAvirorError", 204, {}},
      {"404 JSON", FakeService::not_found_json(), false, std::nullopt, "RerAvirorError", 404, {"returned"}},
      {"503 HTML", FakeService::unavailable_html(), false, std::nullopt, "RerAviror Error", 503, {"returned"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake().clear_requests();
    fake().on("PUT", kPlayerPath, c.answer);
    Delivery delivery;
    client_.executeRequest(typesUpdate(), delivery.onSuccess(), delivery.onFailure());
    const Outcome outcome = delivery.await();
    EXPECT_EQ(outcome.success, c.success);
    if (c.success) {
      EXPECT_EQ(outcome.result, c.result);
    } else {
      EXPECT_EQ(outcome.error.domain, c.domain);
      EXPECT_EQ(outcome.error.code, c.code);
      EXPECT_EQ(outcome.error.user_info.keys(), c.userInfoKeys);
    }
    EXPECT_EQ(fake().count("PUT", kPlayerPath), 1u);
  }
}

TEST_F(ClientTest, ReturnedHoldsTheParsedReplyOrTheParserError) {
  fake().on("PUT", kPlayerPath, FakeService::not_found_json());
  Delivery notFound;
  client_.executeRequest(typesUpdate(), notFound.onSuccess(), notFound.onFailure());
  EXPECT_EQ(notFound.await().error.user_info.get("returned"), Value(Dict{{"error", "not found"}}));

  fake().on("PUT", kPlayerPath, FakeService::unavailable_html());
  Delivery html;
  client_.executeRequest(typesUpdate(), html.onSuccess(), html.onFailure());
  auto parserError = html.await().error.user_info.get("returned").object<foundation::Error>();
  ASSERT_TRUE(parserError);
  EXPECT_EQ(parserError->domain, "NSCocoaErrorDomain");
  EXPECT_EQ(parserError->code, 3840);
}

TEST_F(ClientTest, ServerErrorIsSentThreeTimesThirtySecondsApart) {
  RerAviror::setLogLevel(kLogVerbose, kLogNone);
  std::mutex m;
  std::vector<double> arrivals;
  fake().set_request_observer([&](const testing::fakes::RecordedRequest&, int) {
    std::lock_guard lock(m);
    arrivals.push_back(platform::dispatch::Clock::current().now_since_1970());
  });
  fake().on("PUT", kPlayerPath, FakeService::empty(503));
  const double start = platform::dispatch::Clock::current().now_since_1970();
  Delivery delivery;
  client_.executeRequest(typesUpdate(), delivery.onSuccess(), delivery.onFailure());

  for (std::size_t send = 1; send <= 2; ++send) {
    ASSERT_TRUE(waitFor([&] { return countLines("DEBUG: Re-scheduling request") == send; }));
    advance(29);
    EXPECT_EQ(fake().count("PUT", kPlayerPath), send);
    advance(1);
    ASSERT_TRUE(waitFor([&] { return fake().count("PUT", kPlayerPath) == send + 1; }));
  }
  const Outcome outcome = delivery.await();
  EXPECT_FALSE(outcome.success);
  EXPECT_EQ(outcome.error.domain, "RerAvirorError");
  EXPECT_EQ(outcome.error.code, 503);
  EXPECT_TRUE(outcome.error.user_info.empty());
  EXPECT_EQ(delivery.calls(), 1);
  EXPECT_EQ(countLines("DEBUG: Re-scheduling request"), 2u);
  EXPECT_EQ(countLines("DEBUG: Re-scheduling request (OSRequestUpdateNotificationTypes) to be re-attempted in "
                       "30.000 seconds due to failed HTTP request with status code 503"),
            2u);
  fake().set_request_observer(nullptr);
  EXPECT_EQ(arrivals, (std::vector<double>{start, start + 30, start + 60}));
}

TEST_F(ClientTest, ServerErrorWithJsonIsResentAndEachResendAsksForConsentAgain) {
  RerAviror::setLogLevel(kLogDebug, kLogNone);
  fake().on("PUT", kPlayerPath, FakeService::json(503, {{"errors", {"busy"}}}));
  Delivery delivery;
  client_.executeRequest(typesUpdate(), delivery.onSuccess(), delivery.onFailure());
  ASSERT_TRUE(waitFor([&] { return countLines("DEBUG: Re-scheduling request") == 1; }));
  // Consent withdrawn meanwhile: the re-send is refused, nothing more goes out.
  RerAviror::setRequiresUserPrivacyConsent(true);
  advance(30);
  const Outcome outcome = delivery.await();
  EXPECT_EQ(outcome.error.domain, "RerAviror Error");
  EXPECT_EQ(outcome.error.code, 0);
  EXPECT_EQ(fake().count("PUT", kPlayerPath), 1u);
  EXPECT_EQ(delivery.calls(), 1);
  RerAviror::setRequiresUserPrivacyConsent(false);
}

TEST_F(ClientTest, SynchronousFormHasNoConsentStep) {
  RerAviror::setRequiresUserPrivacyConsent(true);
  Delivery delivery;
  client_.executeSynchronousRequest(typesUpdate(), delivery.onSuccess(), delivery.onFailure());
  EXPECT_TRUE(delivery.await().success);
  EXPECT_EQ(fake().count("PUT", kPlayerPath), 1u);
  RerAviror::setRequiresUserPrivacyConsent(false);
}

TEST_F(ClientTest, DroppedConnectionEndsAsStatusZeroWithTheTransportError) {
  RerAviror::setLogLevel(kLogDebug, kLogNone);
  fake().on("PUT", kPlayerPath, FakeService::drop_connection());
  Delivery delivery;
  client_.executeRequest(typesUpdate(), delivery.onSuccess(), delivery.onFailure());
  for (std::size_t send = 1; send <= 2; ++send) {
    ASSERT_TRUE(waitFor([&] { return countLines("DEBUG: Re-scheduling request") == send; }));
    advance(30);
  }
  const Outcome outcome = delivery.await();
  EXPECT_EQ(fake().count("PUT", kPlayerPath), 3u);
  EXPECT_EQ(outcome.error.domain, "RerAvirorError");
  EXPECT_EQ(outcome.error.code, 0);
  ASSERT_EQ(outcome.error.user_info.keys(), std::vector<std::string>{"error"});
  EXPECT_TRUE(outcome.error.user_info.get("error").object<foundation::Error>());
}

TEST_F(ClientTest, ConsentBlocksAllButGet) {
  RerAviror::setRequiresUserPrivacyConsent(true);
  Delivery post;
  client_.executeRequest(OSRequestSendPurchases::withUserId("p1", "app", {}), post.onSuccess(), post.onFailure());
  const Outcome refused = post.await();
  EXPECT_EQ(refused.error.domain, "RerAviror Error");
  EXPECT_EQ(refused.error.code, 0);
  EXPECT_EQ(refused.error.user_info.get("error"),
            Value("Attempted to perform an HTTP request (OSRequestSendPurchases) before the user provided privacy "
                  "consent."));

  Delivery get;
  client_.executeRequest(OSRequestGetTags::withUserId("p1", "app"), get.onSuccess(), get.onFailure());
  EXPECT_TRUE(get.await().success);
  EXPECT_EQ(fake().count(), 1u);
  EXPECT_EQ(fake().count("GET", kPlayerPath), 1u);
}

TEST_F(ClientTest, MissingAppIdIsRefusedExceptForIosParams) {
  Delivery refused;
  client_.executeRequest(OSRequestGetTags::withUserId("p1", std::nullopt), refused.onSuccess(), refused.onFailure());
  const Outcome outcome = refused.await();
  EXPECT_EQ(outcome.error.domain, "RerAvirorError");
  EXPECT_EQ(outcome.error.code, -1);
  EXPECT_EQ(outcome.error.user_info.get("error"), Value("HTTP Request (OSRequestGetTags) must contain app_id parameter"));
  EXPECT_EQ(countLines("ERROR: HTTP Request (OSRequestGetTags) must contain app_id parameter"), 1u);

  Delivery synchronous;
  client_.executeSynchronousRequest(OSRequestGetTags::withUserId("p1", ""), synchronous.onSuccess(),
                                    synchronous.onFailure());
  EXPECT_EQ(synchronous.await().error.code, -1);

  Delivery params;
  client_.executeRequest(OSRequestGetIosParams::withUserId(std::nullopt, std::nullopt), params.onSuccess(),
                         params.onFailure());
  EXPECT_TRUE(params.await().success);
  EXPECT_EQ(fake().count(), 1u);
}

TEST_F(ClientTest, SessionsAndTheirCachePolicies) {
  EXPECT_EQ(client_.sharedSession()->configuration().request_cache_policy, net::CachePolicy::use_protocol);
  EXPECT_EQ(client_.noCacheSession()->configuration().request_cache_policy, net::CachePolicy::reload_ignoring_local);
  for (const auto& session : {client_.sharedSession(), client_.noCacheSession()}) {
    EXPECT_EQ(session->configuration().timeout_for_request, 120);
    EXPECT_EQ(session->configuration().timeout_for_resource, 120);
  }
  EXPECT_EQ(client_.sessionForRequest(*OSRequestGetIosParams::withUserId("p", "a")), client_.noCacheSession());
  EXPECT_EQ(client_.sessionForRequest(*OSRequestGetTags::withUserId("p", "a")), client_.sharedSession());
}

TEST_F(ClientTest, VerboseLinesNameTheRequestAndTheReply) {
  RerAviror::setLogLevel(kLogVerbose, kLogNone);
  Delivery delivery;
  client_.executeRequest(OSRequestGetTags::withUserId("p1", "app"), delivery.onSuccess(), delivery.onFailure());
  delivery.await();
  EXPECT_EQ(countLines("VERBOSE: HTTP Request (OSRequestGetTags) with URL: "
                       "https://push.example.net/api/v1/players/p1?app_id=app, with parameters: {\n  \"app_id\" : \"app\"\n}"),
            1u);
  EXPECT_EQ(countLines("VERBOSE: network response (OSRequestGetTags): {\n    tags = {\n    };\n}"), 1u)
      << testing::PrintToString(logLines());
}

// ---- batches ----

class BatchTest : public ClientTest {
 protected:
  struct Answer {
    bool success = false;
    bool onMain = false;
    std::map<std::string, Dict> results;
    std::map<std::string, foundation::Error> errors;
  };
  void run(std::map<std::string, std::shared_ptr<RerAvirorRequest>> requests) {
    client_.executeSimultaneousRequests(
        std::move(requests),
        [this](const std::map<std::string, Dict>& results) {
          answers_.push_back({true, platform::dispatch::is_main_thread(), results, {}});
        },
        [this](const std::map<std::string, foundation::Error>& errors) {
          answers_.push_back({false, platform::dispatch::is_main_thread(), {}, errors});
        });
  }
  bool answered() { return harness_->run_until([&] { return !answers_.empty(); }, std::chrono::seconds(30)); }

  std::vector<Answer> answers_;  // written on the main thread only
};

std::map<std::string, std::shared_ptr<RerAvirorRequest>> pushAndEmail() {
  return {{"push", OSRequestUpdateNotificationTypes::withUserId("p1", "app", 1)},
          {"email", OSRequestUpdateNotificationTypes::withUserId("e1", "app", 1)}};
}

TEST_F(BatchTest, SuccessOnMainLeavesOutRepliesWithoutBody) {
  fake().on("PUT", "/api/v1/players/e1", FakeService::empty(200));
  run(pushAndEmail());
  ASSERT_TRUE(answered());
  ASSERT_EQ(answers_.size(), 1u);
  EXPECT_TRUE(answers_[0].success);
  EXPECT_TRUE(answers_[0].onMain);
  EXPECT_EQ(answers_[0].results, (std::map<std::string, Dict>{{"push", Dict{{"success", true}}}}));
}

TEST_F(BatchTest, OneFailureGivesOnlyThatKey) {
  fake().on("PUT", "/api/v1/players/e1", FakeService::not_found_json());
  run(pushAndEmail());
  ASSERT_TRUE(answered());
  ASSERT_EQ(answers_.size(), 1u);
  EXPECT_FALSE(answers_[0].success);
  EXPECT_TRUE(answers_[0].onMain);
  ASSERT_EQ(answers_[0].errors.size(), 1u);
  EXPECT_EQ(answers_[0].errors.begin()->first, "email");
  EXPECT_EQ(answers_[0].errors.begin()->second.code, 404);
}

TEST_F(BatchTest, NoAnswerTimesOutUnderEveryKeyAndLateRepliesChangeNothing) {
  fake().on("PUT", "/api/v1/players/.*", fake().held_until_released());
  std::atomic<int> answered_after_release{0};
  fake().set_request_observer([&](const testing::fakes::RecordedRequest&, int) { ++answered_after_release; });
  run(pushAndEmail());
  ASSERT_TRUE(waitFor([&] { return fake().count() == 2; }));
  advance(449);
  EXPECT_TRUE(answers_.empty());
  advance(1);
  ASSERT_TRUE(answered());
  ASSERT_EQ(answers_.size(), 1u);
  EXPECT_FALSE(answers_[0].success);
  EXPECT_EQ(answers_[0].errors, (std::map<std::string, foundation::Error>{{"push", RerAvirorClient::genericTimedOutError()},
                                                                        {"email", RerAvirorClient::genericTimedOutError()}}));
  EXPECT_EQ(RerAvirorClient::genericTimedOutError(),
            foundation::Error("RerAviror Error", 0, {{"error", "The request timed out"}}));

  fake().release_held();
  ASSERT_TRUE(waitFor([&] { return answered_after_release.load() == 2; }));
  harness_->run_until([] { return false; }, std::chrono::milliseconds(300));
  EXPECT_EQ(answers_.size(), 1u);
  fake().set_request_observer(nullptr);
}

TEST_F(BatchTest, EmptyBatchNeverAnswers) {
  run({});
  advance(450);
  harness_->run_until([] { return false; }, std::chrono::milliseconds(100));
  EXPECT_TRUE(answers_.empty());
}

// ---- the synchronous form ----

TEST_F(ClientTest, SynchronousWaitEndsAfter120SecondsAndResendsAsynchronously) {
  fake().on("PUT", kPlayerPath, fake().held_until_released());
  Delivery delivery;
  std::atomic<bool> returned{false};
  platform::dispatch::Queue::global().async([&] {
    client_.executeSynchronousRequest(typesUpdate(), delivery.onSuccess(), delivery.onFailure());
    returned = true;
  });
  ASSERT_TRUE(waitFor([&] { return fake().count() == 1; }));
  clock_->advance(platform::dispatch::Duration(119));
  EXPECT_FALSE(returned.load());
  clock_->advance(platform::dispatch::Duration(1));
  // The wait ran out as status 0: the re-send goes out at once, and the call returns before it ends.
  ASSERT_TRUE(waitFor([&] { return fake().count() == 2 && returned.load(); }));
  EXPECT_EQ(delivery.calls(), 0);
  fake().release_held();
  const Outcome outcome = delivery.await();
  EXPECT_TRUE(outcome.success);
  EXPECT_EQ(outcome.result, std::nullopt);
  harness_->run_until([] { return false; }, std::chrono::milliseconds(200));
  EXPECT_EQ(delivery.calls(), 1);
}

TEST_F(ClientTest, SynchronousSuccessKeepsNoBody) {
  Delivery delivery;
  client_.executeSynchronousRequest(typesUpdate(), delivery.onSuccess(), delivery.onFailure());
  EXPECT_EQ(delivery.calls(), 1);
  const Outcome outcome = delivery.await();
  EXPECT_TRUE(outcome.success);
  EXPECT_EQ(outcome.result, std::nullopt);
}

}  // namespace
}  // namespace push_test
