// The default token under a ManualClock: the retry schedule and its
// announcements, dropped handlers while a request is in flight or
// scheduled, the push-token intake and the default-token notifications.
// The retry count and the sandbox answer are fixed per process: each test
// runs in its own.
#include "platform/testing/manual_clock.h"
#include "tests/identity/facade_fixture.h"

namespace identity_test {
namespace {

using testing::fakes::IdentityService;

constexpr const char* kDefaultTokenSender = "123456789012";
constexpr const char* kFcmToken = "com.davidize.iid.notif.fcm-token";
constexpr const char* kRefresh = "com.davidize.iid.notif.refresh-token";
constexpr const char* kFail = "com.davidize.iid.notif.fcm-token-fail";

void postPushToken(fnd::Value token, std::optional<std::int64_t> type) {
  fnd::Dict info;
  if (type) info.set("APNSTokenType", *type);
  fnd::NotificationCenter::default_center().post(
      fnd::Notification("com.davidize.iid.notif.apns-token", std::make_shared<const fnd::Value>(std::move(token)), info));
}

std::string provisioning_profile(const char* environment) {
  using namespace std::string_literals;
  return "\x30\x82\x10\xff junk "s +
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict><key>Entitlements</key><dict>"
         "<key>aps-environment</key><string>" +
         environment + "</string></dict></dict></plist>" + "\x00\xa0 tail"s;
}

TEST_F(IdentityFacadeTest, FiveFailuresRetryOnScheduleThenHandOverTheLastError) {
  boot();
  auto clock = platform::testing::ManualClock::install();
  record(kFail);
  service().answer("POST", IdentityService::kRegisterPath, {.body = "junk"});
  int calls = 0;
  std::optional<fnd::Error> last;
  iid()->defaultTokenWithHandler([&](std::optional<std::string>, std::optional<fnd::Error> error) {
    ++calls;
    last = error;
  });
  const std::int64_t intervals[] = {12, 24, 38, 56};
  for (std::size_t failure = 1; failure <= 4; ++failure) {
    ASSERT_TRUE(h().run_until([&] { return posted(kFail).size() == failure && iid()->isDefaultTokenFetchScheduled(); }));
    EXPECT_EQ(iid()->retryCountForDefaultToken(), static_cast<std::int64_t>(failure));
    // While a retry is scheduled, another request drops its handler.
    bool dropped_called = false;
    iid()->defaultTokenWithHandler([&](std::optional<std::string>, std::optional<fnd::Error>) { dropped_called = true; });
    const auto interval = std::chrono::seconds(intervals[failure - 1]);
    clock->advance(interval - std::chrono::milliseconds(1));
    h().run_until([] { return false; }, std::chrono::milliseconds(20));
    EXPECT_EQ(service().count("POST", IdentityService::kRegisterPath), failure) << "retry " << failure << " came early";
    clock->advance(std::chrono::milliseconds(1));
    ASSERT_TRUE(h().run_until([&] { return service().count("POST", IdentityService::kRegisterPath) == failure + 1; }));
    EXPECT_FALSE(dropped_called);
  }
  ASSERT_TRUE(h().run_until([&] { return calls == 1 && posted(kFail).size() == 5; }));
  ASSERT_TRUE(last);
  EXPECT_EQ(last->code, 0);
  EXPECT_FALSE(iid()->isDefaultTokenFetchScheduled());
  EXPECT_EQ(iid()->retryCountForDefaultToken(), 5);
  EXPECT_EQ(logs(3009).size(), 5u);

  // A sixth request fails at once: no retry.
  int sixth = 0;
  iid()->defaultTokenWithHandler([&](std::optional<std::string>, std::optional<fnd::Error>) { ++sixth; });
  ASSERT_TRUE(h().run_until([&] { return sixth == 1; }));
  EXPECT_FALSE(iid()->isDefaultTokenFetchScheduled());
  EXPECT_EQ(service().count("POST", IdentityService::kRegisterPath), 6u);
}

TEST_F(IdentityFacadeTest, InFlightRequestDropsASecondHandler) {
  boot();
  service().on("POST", IdentityService::kRegisterPath,
               service().held(std::chrono::milliseconds(500), [](const ::testing::fakes::HttpRequest&, ::testing::fakes::HttpResponse& res) {
                 res.set_content("token=held", "text/plain");
               }));
  int first = 0, second = 0;
  iid()->defaultTokenWithHandler([&](std::optional<std::string>, std::optional<fnd::Error>) { ++first; });
  EXPECT_TRUE(iid()->isFetchingDefaultToken());
  iid()->defaultTokenWithHandler([&](std::optional<std::string>, std::optional<fnd::Error>) { ++second; });
  ASSERT_TRUE(h().run_until([&] { return first == 1; }));
  h().run_until([] { return false; }, std::chrono::milliseconds(50));
  EXPECT_EQ(second, 0);
  EXPECT_EQ(service().count("POST", IdentityService::kRegisterPath), 1u);
}

TEST_F(IdentityFacadeTest, SuccessAnnouncesTheTokenAndItsRefresh) {
  boot();
  record(kFcmToken);
  record(kRefresh);
  iid()->fetchDefaultToken();
  const std::string token = IdentityService::token_for(kDefaultTokenSender);
  ASSERT_TRUE(h().run_until([&] { return !posted(kFcmToken).empty() && !posted(kRefresh).empty(); }));
  EXPECT_EQ(posted(kFcmToken).back().object, token);
  EXPECT_EQ(posted(kRefresh).back().object, token);
  EXPECT_EQ(iid()->defaultFCMToken(), token);
  EXPECT_EQ(iid()->token(), token);  // now cached
  EXPECT_TRUE(logged(3010));
}

TEST_F(IdentityFacadeTest, SetDefaultTokenCoalescesOnNameAndSenderAndSkipsRepeats) {
  boot();
  record(kFcmToken);
  // Two tokens are two senders: both are posted, in order, on a later turn.
  iid()->setDefaultFCMToken(std::string("a"));
  iid()->setDefaultFCMToken(std::string("b"));
  EXPECT_TRUE(posted(kFcmToken).empty());
  ASSERT_TRUE(h().run_until([&] { return posted(kFcmToken).size() == 2; }));
  EXPECT_EQ(posted(kFcmToken)[0].object, "a");
  EXPECT_EQ(posted(kFcmToken)[1].object, "b");
  // The same token again posts nothing.
  iid()->setDefaultFCMToken(std::string("b"));
  h().run_until([] { return false; }, std::chrono::milliseconds(50));
  EXPECT_EQ(posted(kFcmToken).size(), 2u);
  // Nil posts even when nil is stored; two quick ones (same name, no sender) coalesce into one.
  iid()->setDefaultFCMToken(std::nullopt);
  iid()->setDefaultFCMToken(std::nullopt);
  ASSERT_TRUE(h().run_until([&] { return posted(kFcmToken).size() == 3; }));
  h().run_until([] { return false; }, std::chrono::milliseconds(50));
  EXPECT_EQ(posted(kFcmToken).size(), 3u);
  EXPECT_FALSE(posted(kFcmToken)[2].object);
  iid()->setDefaultFCMToken(std::nullopt);
  ASSERT_TRUE(h().run_until([&] { return posted(kFcmToken).size() == 4; }));
}

TEST_F(IdentityFacadeTest, PushTokenTypesGiveTheirEnvironmentAndRepeatsAreIgnored) {
  boot();
  postPushToken(fnd::Bytes{0xab, 0x01}, 1);
  ASSERT_TRUE(h().run_until([&] { return iid()->APNSTupleString().has_value(); }));
  EXPECT_EQ(iid()->APNSTupleString(), "s_ab01");
  EXPECT_EQ(iid()->apnsTokenType(), 1);
  postPushToken(fnd::Bytes{0xab, 0x01}, 2);
  ASSERT_TRUE(h().run_until([&] { return logged(3011); }));
  EXPECT_EQ(iid()->APNSTupleString(), "s_ab01");
  postPushToken(fnd::Bytes{0xcd}, 2);
  ASSERT_TRUE(h().run_until([&] { return iid()->APNSTupleString() == std::optional<std::string>("p_cd"); }));
  // Not data: a coded log line, nothing taken.
  postPushToken(fnd::Value("abcd"), 1);
  ASSERT_TRUE(h().run_until([&] { return logged(2002); }));
  EXPECT_EQ(logs(2002)[0].message, "Invalid APNS token type NSString");
  EXPECT_EQ(iid()->apnsTokenData(), (fnd::Bytes{0xcd}));
}

TEST_F(IdentityFacadeTest, PushTokenWithoutTypeTakesTheDevelopmentProfileAsSandbox) {
  boot({}, {.bundle_files = {{"embedded.mobileprovision", provisioning_profile("development")}}});
  postPushToken(fnd::Bytes{0x0f}, std::nullopt);
  ASSERT_TRUE(h().run_until([&] { return iid()->APNSTupleString().has_value(); }));
  EXPECT_EQ(iid()->APNSTupleString(), "s_0f");
  EXPECT_TRUE(identity::FIRInstanceID::isSandboxApp());
}

TEST_F(IdentityFacadeTest, PushTokenWithoutTypeAndWithoutProfileIsProductionWithAReport) {
  boot();
  postPushToken(fnd::Bytes{0x0f}, 0);
  ASSERT_TRUE(h().run_until([&] { return iid()->APNSTupleString().has_value(); }));
  EXPECT_EQ(iid()->APNSTupleString(), "p_0f");
  ASSERT_TRUE(logged(3015));
  EXPECT_TRUE(logs(3015)[0].message.starts_with("Error while reading embedded mobileprovision ")) << logs(3015)[0].message;
}

TEST_F(IdentityFacadeTest, PushTokenRefetchesTokensBoundToAnotherOne) {
  boot();
  ASSERT_FALSE(requestToken("1234", "scope-a")->error);
  postPushToken(fnd::Bytes{0x01}, 2);
  // The record without push information is invalidated and fetched again with the new token.
  ASSERT_TRUE(h().run_until([&] { return service().count("POST", IdentityService::kRegisterPath) == 2; }));
  auto requests = service().requests("POST", IdentityService::kRegisterPath);
  EXPECT_EQ(IdentityService::form_field(requests[1].body, "apns_token"), "p_01");
  EXPECT_TRUE(logged(14011));
}

TEST_F(IdentityFacadeTest, IdentifierRequestStartsTheDefaultTokenFetchOnMain) {
  boot();
  bool done = false;
  std::optional<std::string> identifier;
  iid()->getIDWithHandler([&](std::optional<std::string> id, std::optional<fnd::Error>) {
    done = true;
    identifier = id;
  });
  ASSERT_TRUE(h().run_until([&] { return done; }));
  ASSERT_TRUE(identifier);
  ASSERT_TRUE(h().run_until([&] { return iid()->defaultFCMToken().has_value(); }));
  EXPECT_EQ(iid()->defaultFCMToken(), IdentityService::token_for(kDefaultTokenSender));
  auto requests = service().requests("POST", IdentityService::kRegisterPath);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(IdentityService::form_field(requests[0].body, "sender"), kDefaultTokenSender);
  EXPECT_EQ(IdentityService::form_field(requests[0].body, "X-scope"), "*");
}

}  // namespace
}  // namespace identity_test
