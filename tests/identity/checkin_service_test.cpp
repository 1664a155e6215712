// Device checkin exchange: the request body over TLS to the identity fake, and the reply table.
#include <future>
#include <limits>

#include "identity/checkin_service.h"
#include "identity/errors.h"
#include "identity/utilities.h"
#include "platform/foundation/json.h"
#include "platform/net/session.h"
#include "platform/testing/manual_clock.h"
#include "tests/identity/support.h"

namespace identity_test {
namespace {

using namespace identity;
namespace fd = platform::foundation;
using Result = std::pair<FIRInstanceIDCheckinPreferencesRef, std::optional<fd::Error>>;

Result checkin(FIRInstanceIDCheckinService& service, FIRInstanceIDCheckinPreferencesRef existing = nullptr) {
  auto promise = std::make_shared<std::promise<Result>>();
  auto future = promise->get_future();
  service.checkinWithExistingCheckin(std::move(existing), [promise](FIRInstanceIDCheckinPreferencesRef record,
                                                                    std::optional<fd::Error> error) {
    promise->set_value({std::move(record), std::move(error)});
  });
  EXPECT_EQ(future.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  return future.get();
}

class IdentityCheckinServiceTest : public IdentityHarnessTest {
 protected:
  void SetUp() override { boot({.fakes = {testing::Fake::identity}}); }
};

TEST_F(IdentityCheckinServiceTest, FirstCheckinSendsTheBodyTableAndStoresExactIds) {
  FIRInstanceIDCheckinService service;
  EXPECT_EQ(service.session()->session_description, "com.dozada.iid-checkin");
  EXPECT_EQ(service.session()->configuration().timeout_for_resource, 60);
  EXPECT_TRUE(service.session()->configuration().allows_cellular_access);
  auto [record, error] = checkin(service);
  ASSERT_FALSE(error) << error->description();
  ASSERT_TRUE(record);

  const auto requests = harness().identity().requests("POST", "/checkin");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].header("content-type"), "application/json");
  const auto body = requests[0].json_body();
  EXPECT_EQ(body["checkin"]["iosbuild"]["model"], "iPhone12,1");
  EXPECT_EQ(body["checkin"]["iosbuild"]["os_version"], "IOS_13.5");
  EXPECT_EQ(body["checkin"]["type"], 2);
  EXPECT_EQ(body["checkin"]["user_number"], 0);
  EXPECT_EQ(body["checkin"]["last_checkin_msec"], 0);
  EXPECT_EQ(body["fragment"], 0);
  EXPECT_EQ(body["locale"], "en-US");
  ASSERT_TRUE(body["logging_id"].is_number_integer());
  EXPECT_GE(body["logging_id"].get<std::int64_t>(), 0);
  EXPECT_LE(body["logging_id"].get<std::int64_t>(), std::int64_t{UINT32_MAX});
  EXPECT_EQ(body["timezone"], "Europe/Berlin");
  EXPECT_EQ(body["user_serial_number"], 0);
  EXPECT_EQ(body["version"], 2);
  EXPECT_EQ(body["digest"], "");
  EXPECT_EQ(body["id"], 0);
  EXPECT_EQ(body["security_token"], 0);
  EXPECT_EQ(body.size(), 10u);

  // The fake's ids lie above 2^53; the record holds their exact text.
  const std::int64_t deviceID = std::stoll(record->deviceID());
  EXPECT_GT(deviceID, std::int64_t{1} << 53);
  EXPECT_FALSE(record->digest().empty());
  EXPECT_EQ(record->versionInfo(), "version-info-1");
  EXPECT_EQ(record->deviceDataVersion(), "device-data-1");
  EXPECT_EQ(record->gServicesData().get("shuffle"), fd::Value("0"));

  // A repeat checkin sends the ids back as exact integers.
  record->setDeviceID("9223372036854775806");
  record->setSecretToken("9007199254740993");
  auto [again, againError] = checkin(service, record);
  ASSERT_FALSE(againError);
  const auto repeat = harness().identity().requests("POST", "/checkin").at(1).json_body();
  EXPECT_EQ(repeat["id"].get<std::int64_t>(), std::numeric_limits<std::int64_t>::max() - 1);
  EXPECT_EQ(repeat["security_token"].get<std::int64_t>(), 9007199254740993);
  EXPECT_EQ(repeat["digest"], record->digest());
  EXPECT_EQ(again->deviceID(), "9223372036854775806");
  EXPECT_EQ(again->secretToken(), "9007199254740993");
}

TEST_F(IdentityCheckinServiceTest, StatusIsIgnoredAndTransportErrorsPassThrough) {
  auto& fake = harness().identity();
  fake.on("POST", "/checkin",
          testing::fakes::FakeService::json(500, testing::fakes::IdentityService::checkin_reply(0, 0)));
  FIRInstanceIDCheckinService service;
  auto [record, error] = checkin(service);
  EXPECT_FALSE(error);
  EXPECT_TRUE(record);

  fake.on("POST", "/checkin", testing::fakes::FakeService::drop_connection());
  auto [dropped, dropError] = checkin(service);
  EXPECT_FALSE(dropped);
  ASSERT_TRUE(dropError);
  EXPECT_EQ(dropError->domain, fd::url_error::domain);
  EXPECT_TRUE(log_.has(7000));

  fake.stop();
  auto [none, stopError] = checkin(service);
  EXPECT_FALSE(none);
  ASSERT_TRUE(stopError);
  EXPECT_EQ(stopError->domain, fd::url_error::domain);
}

TEST_F(IdentityCheckinServiceTest, TestHookTakesRequestsAndStopFetchingEndsRequests) {
  {
    FIRInstanceIDCheckinService service;
    std::optional<platform::net::Request> seen;
    FIRInstanceIDCheckinService::setCheckinTestBlock(
        [&seen](const platform::net::Request& request, FIRInstanceIDCheckinService::DataCompletion done) {
          seen = request;
          done(fd::to_bytes(R"({"android_id": 42, "security_token": "77"})"), nullptr, std::nullopt);
        });
    auto [record, error] = checkin(service);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->deviceID(), "42");
    EXPECT_EQ(record->secretToken(), "77");
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->method, "POST");
    EXPECT_EQ(seen->url->absolute_string(), "https://checkin.example.net/checkin");
    EXPECT_TRUE(log_.has(7005));
  }
  // Releasing a service cleared the hook: this one reaches the fake.
  FIRInstanceIDCheckinService service;
  auto [record, error] = checkin(service);
  EXPECT_TRUE(record);
  EXPECT_EQ(harness().identity().count("POST", "/checkin"), 1u);
  service.stopFetching();
  auto [none, stopError] = checkin(service);
  EXPECT_FALSE(none);
  ASSERT_TRUE(stopError);
  EXPECT_EQ(stopError->code, fd::url_error::cancelled);
  EXPECT_EQ(harness().identity().count("POST", "/checkin"), 1u);
}

struct ReplyCase {
  const char* name;
  std::string body;
  std::optional<std::int64_t> errorCode;  // nullopt: a record
  std::string deviceID;
};

TEST_F(IdentityCheckinServiceTest, ReplyTable) {
  auto clock = platform::testing::ManualClock::install(1600000000.0);
  const std::vector<ReplyCase> cases = {
      {"exact ids", R"({"android_id": 9223372036854775807, "security_token": 9007199254740993, "time_msec": 1})",
       std::nullopt, "9223372036854775807"},
      {"digit text", R"({"android_id": "123", "security_token": "456"})", std::nullopt, "123"},
      {"missing id", R"({"security_token": 1})", 7, ""},
      {"real id", R"({"android_id": 1.5, "security_token": 1})", 7, ""},
      {"id out of range", R"({"android_id": 99999999999999999999, "security_token": 1})", 7, ""},
      {"non-digit id", R"({"android_id": "12a", "security_token": 1})", 7, ""},
      {"empty id", R"({"android_id": "", "security_token": 1})", 7, ""},
      {"object id", R"({"android_id": {}, "security_token": 1})", 7, ""},
      {"missing secret", R"({"android_id": 5})", 7, ""},
      {"array reply", R"([1, 2])", 7, ""},
      {"not json", "<html>", 3840, ""},
      {"empty body", "", 3840, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto result = FIRInstanceIDCheckinService::checkinPreferencesFromReply(fd::to_bytes(c.body), std::nullopt);
    if (c.errorCode) {
      ASSERT_FALSE(result);
      EXPECT_EQ(result.error().code, *c.errorCode);
      EXPECT_EQ(result.error().domain, *c.errorCode == 7 ? kFIRInstanceIDDomain : fd::cocoa_error::domain);
    } else {
      ASSERT_TRUE(result);
      EXPECT_EQ((*result)->deviceID(), c.deviceID);
    }
  }
  EXPECT_TRUE(log_.has(7001));

  // A future server time gives the local time; strings absent are empty.
  auto future = FIRInstanceIDCheckinService::checkinPreferencesFromReply(
      fd::to_bytes(R"({"android_id": 1, "security_token": 2, "time_msec": 4102444800000, "digest": 5})"), std::nullopt);
  ASSERT_TRUE(future);
  EXPECT_EQ((*future)->lastCheckinTimestampMillis(), 1600000000000);
  EXPECT_EQ((*future)->digest(), "");
  EXPECT_EQ((*future)->versionInfo(), "");
  EXPECT_TRUE(log_.has(7002));
  auto past = FIRInstanceIDCheckinService::checkinPreferencesFromReply(
      fd::to_bytes(R"({"android_id": 1, "security_token": 2, "time_msec": 1500000000000})"), std::nullopt);
  EXPECT_EQ((*past)->lastCheckinTimestampMillis(), 1500000000000);

  // Settings: a non-array is ignored, so are elements without a string name or a value.
  auto scalar = FIRInstanceIDCheckinService::checkinPreferencesFromReply(
      fd::to_bytes(R"({"android_id": 1, "security_token": 2, "setting": {"name": "a", "value": "b"}})"), std::nullopt);
  ASSERT_TRUE(scalar);
  EXPECT_TRUE((*scalar)->gServicesData().empty());
  auto mixed = FIRInstanceIDCheckinService::checkinPreferencesFromReply(
      fd::to_bytes(R"({"android_id": 1, "security_token": 2, "setting": [
        {"name": "a", "value": "1"}, {"name": 5, "value": "x"}, {"value": "y"}, {"name": "n"}, {"name": "z", "value": null},
        7, {"name": "b", "value": 2}]})"),
      std::nullopt);
  ASSERT_TRUE(mixed);
  EXPECT_EQ((*mixed)->gServicesData(), (fd::Dict{{"a", "1"}, {"b", 2}}));

  const fd::Error transport(std::string(fd::url_error::domain), fd::url_error::timed_out);
  auto failed = FIRInstanceIDCheckinService::checkinPreferencesFromReply(std::nullopt, transport);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error(), transport);
}

}  // namespace
}  // namespace identity_test
