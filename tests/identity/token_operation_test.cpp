// Token register and delete operations against the identity service fake
// over loopback: request shape, the reply table, missing credentials,
// cancellation and the PHONE_REGISTRATION_ERROR retries under a ManualClock.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "identity/checkin_preferences.h"
#include "identity/token_operation.h"
#include "platform/dispatch/operation.h"
#include "platform/foundation/notification.h"
#include "platform/testing/manual_clock.h"
#include "testing/harness/harness.h"

namespace {

namespace fnd = platform::foundation;
using identity::FIRInstanceIDTokenOperation;
using identity::FIRInstanceIDTokenOperationResult;
using testing::fakes::IdentityService;
using testing::fakes::ScriptedAnswer;

struct Outcome {
  int calls = 0;
  std::optional<FIRInstanceIDTokenOperationResult> result;
  std::optional<std::string> token;
  std::optional<fnd::Error> error;
};

class IdentityTokenOperationTest : public ::testing::Test {
 protected:
  IdentityTokenOperationTest() : harness_({.fakes = {testing::Fake::identity}}) {}

  static std::shared_ptr<identity::FIRInstanceIDCheckinPreferences> checkin(std::string id = "111",
                                                                            std::string secret = "222") {
    auto preferences = identity::FIRInstanceIDCheckinPreferences::initWithDeviceID(std::move(id), std::move(secret));
    preferences->setVersionInfo("vinfo-1");
    return preferences;
  }

  // The outcome the operation's completion handlers will record.
  static std::shared_ptr<Outcome> record(const std::shared_ptr<FIRInstanceIDTokenOperation>& operation) {
    auto outcome = std::make_shared<Outcome>();
    operation->addCompletionHandler([outcome](FIRInstanceIDTokenOperationResult result, std::optional<std::string> token,
                                              std::optional<fnd::Error> error) {
      ++outcome->calls;
      outcome->result = result;
      outcome->token = std::move(token);
      outcome->error = std::move(error);
    });
    return outcome;
  }

  // Runs the operation on a queue of its own and waits until it finished.
  std::shared_ptr<Outcome> run(const std::shared_ptr<FIRInstanceIDTokenOperation>& operation) {
    auto outcome = record(operation);
    queue_.add(operation);
    EXPECT_TRUE(harness_.run_until([&] { return operation->is_finished(); }));
    return outcome;
  }

  std::shared_ptr<Outcome> fetch(std::string entity = "1234", fnd::Dict options = {}) {
    return run(std::make_shared<identity::FIRInstanceIDTokenFetchOperation>(std::move(entity), "*", std::move(options),
                                                                           checkin(), nullptr));
  }

  testing::Harness harness_;
  platform::dispatch::OperationQueue queue_{"identity-test-operations"};
};

TEST_F(IdentityTokenOperationTest, FetchSendsTheCredentialsHeadersAndFormItemsInOrder) {
  fnd::Dict options;
  options.set("apns_token", fnd::Bytes{0x0a, 0xff});
  options.set("apns_sandbox", false);
  options.set("ruv_app_id", "1:42:ios:ab");
  auto outcome = fetch("12&34=5", options);
  ASSERT_EQ(outcome->calls, 1);
  EXPECT_EQ(outcome->result, identity::FIRInstanceIDTokenOperationSucceeded);
  EXPECT_EQ(outcome->token, IdentityService::token_for("12&34=5"));
  EXPECT_FALSE(outcome->error);

  auto requests = harness_.identity().requests("POST", IdentityService::kRegisterPath);
  ASSERT_EQ(requests.size(), 1u);
  const auto& request = requests[0];
  EXPECT_EQ(request.header("Authorization"), "AidLogin 111:222");
  EXPECT_EQ(request.header("app"), "org.example.intranet");
  EXPECT_EQ(request.header("info"), "vinfo-1");
  std::vector<std::string> names;
  for (const auto& [name, value] : IdentityService::form_fields(request.body)) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"X-osv", "device", "X-scope", "plat", "app", "app_ver", "X-cliv", "sender",
                                             "X-subtype", "apns_token", "ruv_app_id"}));
  EXPECT_EQ(IdentityService::form_field(request.body, "sender"), "12&34=5");
  EXPECT_EQ(IdentityService::form_field(request.body, "X-subtype"), "12&34=5");
  EXPECT_EQ(IdentityService::form_field(request.body, "device"), "111");
  EXPECT_EQ(IdentityService::form_field(request.body, "X-scope"), "*");
  EXPECT_EQ(IdentityService::form_field(request.body, "plat"), "2");
  EXPECT_EQ(IdentityService::form_field(request.body, "X-cliv"), "fiid-(null)");
  EXPECT_EQ(IdentityService::form_field(request.body, "apns_token"), "p_0aff");
  EXPECT_EQ(IdentityService::form_field(request.body, "ruv_app_id"), "1:42:ios:ab");
}

TEST_F(IdentityTokenOperationTest, ReplyTable) {
  struct Case {
    const char* what;
    ScriptedAnswer answer;
    FIRInstanceIDTokenOperationResult result;
    std::optional<std::string> token;
    std::optional<std::int64_t> code;
  };
  ScriptedAnswer dropped;
  dropped.action = ScriptedAnswer::Action::drop;
  const Case cases[] = {
      {"token with a second '='", {.body = "token=abc=def"}, identity::FIRInstanceIDTokenOperationSucceeded, "abc", {}},
      {"status is not read", {.status = 500, .body = "token=xyz"}, identity::FIRInstanceIDTokenOperationSucceeded, "xyz", {}},
      {"empty body", {.body = ""}, identity::FIRInstanceIDTokenOperationError, {}, 0},
      {"junk", {.body = "<html>oops</html>"}, identity::FIRInstanceIDTokenOperationError, {}, 0},
      {"other error", {.body = "Error=SERVICE_NOT_AVAILABLE"}, identity::FIRInstanceIDTokenOperationError, {}, 0},
  };
  for (const auto& c : cases) {
    harness_.identity().answer("POST", IdentityService::kRegisterPath, c.answer);
    auto outcome = fetch();
    EXPECT_EQ(outcome->calls, 1) << c.what;
    EXPECT_EQ(outcome->result, c.result) << c.what;
    EXPECT_EQ(outcome->token, c.token) << c.what;
    EXPECT_EQ(outcome->error ? std::optional(outcome->error->code) : std::nullopt, c.code) << c.what;
    if (outcome->error) {
      EXPECT_EQ(outcome->error->domain, "com.davidize.iid") << c.what;
    }
  }
  harness_.identity().answer("POST", IdentityService::kRegisterPath, dropped);
  auto transport = fetch();
  EXPECT_EQ(transport->result, identity::FIRInstanceIDTokenOperationError);
  ASSERT_TRUE(transport->error);
  EXPECT_EQ(transport->error->domain, "NSURLErrorDomain");
}

TEST_F(IdentityTokenOperationTest, ResetReplyPostsIdentityInvalidBeforeFinishingWith2006) {
  std::vector<std::string> order;
  auto token = fnd::NotificationCenter::default_center().add_observer(
      nullptr, "com.dozada.iid.identity-invalid", nullptr, nullptr,
      [&order](const fnd::Notification& n) { order.push_back(n.object ? "posted with object" : "posted"); });
  harness_.identity().answer("POST", IdentityService::kRegisterPath, {.body = "Error=SERVICE:RST"});
  auto operation = std::make_shared<identity::FIRInstanceIDTokenFetchOperation>("1234", "*", fnd::Dict{}, checkin(), nullptr);
  operation->addCompletionHandler([&order](FIRInstanceIDTokenOperationResult, std::optional<std::string>,
                                           std::optional<fnd::Error> error) {
    order.push_back("finished " + std::to_string(error ? error->code : -1));
  });
  auto outcome = run(operation);
  token.remove();
  EXPECT_EQ(order, (std::vector<std::string>{"posted", "finished 2006"}));
  EXPECT_EQ(outcome->result, identity::FIRInstanceIDTokenOperationError);
}

TEST_F(IdentityTokenOperationTest, WithoutCredentialsFinishesWithError6AndSendsNothing) {
  auto none = run(std::make_shared<identity::FIRInstanceIDTokenFetchOperation>("1234", "*", fnd::Dict{}, nullptr, nullptr));
  auto empty = run(std::make_shared<identity::FIRInstanceIDTokenFetchOperation>("1234", "*", fnd::Dict{},
                                                                               checkin("", "222"), nullptr));
  for (const auto& outcome : {none, empty}) {
    EXPECT_EQ(outcome->calls, 1);
    EXPECT_EQ(outcome->result, identity::FIRInstanceIDTokenOperationError);
    ASSERT_TRUE(outcome->error);
    EXPECT_EQ(outcome->error->code, 6);
  }
  EXPECT_EQ(harness_.identity().count(), 0u);
}

TEST_F(IdentityTokenOperationTest, CancelFinishesOnceWithResult2) {
  harness_.identity().on("POST", IdentityService::kRegisterPath,
                         harness_.identity().held(std::chrono::seconds(60)));
  auto operation = std::make_shared<identity::FIRInstanceIDTokenFetchOperation>("1234", "*", fnd::Dict{}, checkin(), nullptr);
  auto outcome = record(operation);
  queue_.add(operation);
  ASSERT_TRUE(harness_.identity().wait_for([&] { return harness_.identity().count() == 1; }, std::chrono::seconds(30)));
  operation->cancel();
  operation->finishWithResult(identity::FIRInstanceIDTokenOperationSucceeded, "late", std::nullopt);
  EXPECT_TRUE(operation->is_finished());
  EXPECT_EQ(outcome->calls, 1);
  EXPECT_EQ(outcome->result, identity::FIRInstanceIDTokenOperationCancelled);
  EXPECT_FALSE(outcome->token);
  EXPECT_FALSE(outcome->error);
  queue_.wait_until_all_finished();
}

TEST_F(IdentityTokenOperationTest, DeleteItemsAndReplies) {
  auto one = run(std::make_shared<identity::FIRInstanceIDTokenDeleteOperation>(
      "1234", "scope-a", checkin(), nullptr, identity::FIRInstanceIDTokenActionDelete));
  EXPECT_EQ(one->result, identity::FIRInstanceIDTokenOperationSucceeded);
  auto all = run(std::make_shared<identity::FIRInstanceIDTokenDeleteOperation>(
      "*", "*", checkin(), nullptr, identity::FIRInstanceIDTokenActionDeleteAll));
  EXPECT_EQ(all->result, identity::FIRInstanceIDTokenOperationSucceeded);
  auto requests = harness_.identity().requests("POST", IdentityService::kRegisterPath);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_FALSE(requests[0].has_header("info"));
  EXPECT_EQ(IdentityService::form_field(requests[0].body, "delete"), "true");
  EXPECT_EQ(IdentityService::form_field(requests[0].body, "sender"), "1234");
  EXPECT_EQ(IdentityService::form_field(requests[0].body, "X-scope"), "scope-a");
  EXPECT_EQ(IdentityService::form_field(requests[0].body, "iid-operation"), "");
  EXPECT_EQ(IdentityService::form_field(requests[1].body, "iid-operation"), "delete");
  EXPECT_EQ(IdentityService::form_field(requests[1].body, "sender"), "*");
  EXPECT_EQ(IdentityService::form_field(requests[1].body, "X-scope"), "*");

  for (const char* body : {"", "Error=RST"}) {
    harness_.identity().answer("POST", IdentityService::kRegisterPath, {.body = body});
    auto failed = run(std::make_shared<identity::FIRInstanceIDTokenDeleteOperation>(
        "1234", "*", checkin(), nullptr, identity::FIRInstanceIDTokenActionDelete));
    EXPECT_EQ(failed->result, identity::FIRInstanceIDTokenOperationError) << body;
    ASSERT_TRUE(failed->error) << body;
    EXPECT_EQ(failed->error->code, 0) << body;
  }
}

TEST_F(IdentityTokenOperationTest, PhoneRegistrationErrorIsRetriedAfterDoublingDelaysTenTimesThenFails) {
  auto clock = platform::testing::ManualClock::install();
  harness_.identity().answer("POST", IdentityService::kRegisterPath, {.body = "Error=PHONE_REGISTRATION_ERROR"});
  auto operation = std::make_shared<identity::FIRInstanceIDTokenFetchOperation>("1234", "*", fnd::Dict{}, checkin(), nullptr);
  auto outcome = std::make_shared<Outcome>();
  operation->addCompletionHandler([outcome](FIRInstanceIDTokenOperationResult result, std::optional<std::string>,
                                            std::optional<fnd::Error> error) {
    ++outcome->calls;
    outcome->result = result;
    outcome->error = std::move(error);
  });
  queue_.add(operation);
  for (int retry = 0; retry < 10; ++retry) {
    const std::size_t sent = static_cast<std::size_t>(retry) + 1;
    ASSERT_TRUE(harness_.run_until([&] {
      return harness_.identity().count() == sent &&
             identity::FIRInstanceIDTokenFetchOperation::phoneRegistrationRetryCount() == retry && !queue_.operations().empty();
    }));
    // Waiting for its retry, the operation stays executing.
    harness_.run_until([] { return false; }, std::chrono::milliseconds(50));
    EXPECT_TRUE(operation->is_executing());
    EXPECT_EQ(outcome->calls, 0);
    const auto delay = std::chrono::seconds(std::int64_t{1} << retry);
    clock->advance(delay - std::chrono::milliseconds(1));
    harness_.run_until([] { return false; }, std::chrono::milliseconds(20));
    EXPECT_EQ(harness_.identity().count(), sent) << "retry " << retry << " came early";
    clock->advance(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(harness_.run_until([&] { return operation->is_finished(); }));
  EXPECT_EQ(harness_.identity().count(), 11u);
  EXPECT_EQ(outcome->calls, 1);
  EXPECT_EQ(outcome->result, identity::FIRInstanceIDTokenOperationError);
  ASSERT_TRUE(outcome->error);
  EXPECT_EQ(outcome->error->code, 0);
}

}  // namespace
