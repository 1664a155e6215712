// The facade through the real app core on a harness device: configuration,
// token fetch and cache, deletion, validation, the identity reset and the
// identifier on a non-main thread.
#include <future>
#include <thread>

#include "core/instance_id_selectors.h"
#include "identity/checkin_preferences.h"
#include "identity/token_info.h"
#include "identity/token_manager.h"
#include "identity/token_operation.h"
#include "core/gul_user_defaults.h"
#include "identity/store.h"
#include "identity/utilities.h"
#include "platform/security/keychain.h"
#include "platform/testing/manual_clock.h"
#include "tests/identity/facade_fixture.h"

namespace identity_test {
namespace {

using testing::fakes::IdentityService;
using testing::fakes::ScriptedAnswer;

constexpr const char* kSender = "123456789012";  // the harness's GCM_SENDER_ID

TEST_F(IdentityFacadeTest, ReadyNotificationConfiguresTheFacadeWithoutStartingRequests) {
  boot();
  EXPECT_FALSE(IdentityFacadeDelegate::raised());
  EXPECT_EQ(iid()->fcmSenderID(), kSender);
  EXPECT_EQ(iid()->davidizeAppID(),
            *testing::default_service_plist("org.example.intranet").get("DOZADA_APP_ID").string());
  // No messaging component: no default token, no checkin of its own.
  h().run_until([] { return false; }, std::chrono::milliseconds(200));
  EXPECT_EQ(service().count(), 0u);
  EXPECT_TRUE(iid()->isFCMAutoInitEnabled() == false);
}

TEST_F(IdentityFacadeTest, NonDefaultAppOnlyLogs1002) {
  boot();
  const auto before = iid()->fcmSenderID();
  fnd::Dict info{{"FIRAppNameKey", "other"}, {"FIRAppIsDefaultAppKey", false}, {"FIRDozadaAppIDKey", "x"}};
  fnd::NotificationCenter::default_center().post(std::string(core::FIRAppReadyToConfigureSDKNotification),
                                                 &core::FIRApp::appClass(), info);
  EXPECT_TRUE(logged(1002));
  EXPECT_EQ(iid()->fcmSenderID(), before);
  // Another sender is not the app core: nothing happens, not even the log.
  const auto count = logs(1002).size();
  fnd::NotificationCenter::default_center().post(std::string(core::FIRAppReadyToConfigureSDKNotification), &count, info);
  EXPECT_EQ(logs(1002).size(), count);
}

TEST_F(IdentityFacadeTest, EmptySenderIDReportsDiagnosticsAndRaisesOutOfConfigure) {
  auto plist = testing::default_service_plist("org.example.intranet");
  plist.set("GCM_SENDER_ID", "");
  std::vector<fnd::Dict> diagnostics;
  fnd::NotificationCenter::default_center().add_observer(
      &diagnostics, std::string(core::FIRAppDiagnosticsNotification), nullptr, nullptr,
      [&diagnostics](const fnd::Notification& n) { diagnostics.push_back(n.user_info); });
  boot(plist);
  fnd::NotificationCenter::default_center().remove_all(&diagnostics);
  ASSERT_TRUE(IdentityFacadeDelegate::raised());
  EXPECT_EQ(IdentityFacadeDelegate::raised()->name, "com.davidize.instanceid");
  EXPECT_EQ(IdentityFacadeDelegate::raised()->reason,
            "Could not configure Davidize InstanceID. GCM_SENDER_ID must not be nil or empty.");
  ASSERT_FALSE(logs(1000).empty());
  EXPECT_EQ(logs(1000)[0].level, 3);
  const fnd::Error* reported = nullptr;
  for (const auto& info : diagnostics) {
    if (info.get("SDKName").string() && *info.get("SDKName").string() == "InstanceID") {
      EXPECT_EQ(info.get("SDKVersion"), fnd::Value("3.3.0"));
      if (const auto* opaque = info.get("Error").opaque()) reported = static_cast<const fnd::Error*>(opaque->ptr.get());
    }
  }
  ASSERT_NE(reported, nullptr);
  EXPECT_EQ(reported->domain, "com.davidize.instanceid");
  EXPECT_EQ(reported->code, -121);
  EXPECT_EQ(reported->user_info.get("NSLocalizedFailureReason"), fnd::Value("GCM_SENDER_ID must not be nil or empty."));
}

TEST_F(IdentityFacadeTest, TokenFetchChecksInRegistersCachesAndServesFromTheCache) {
  boot();
  fnd::Dict options;
  options.set("apns_token", fnd::Bytes{0x01, 0xab});
  options.set("apns_sandbox", false);
  auto first = requestToken("1234", "scope-a", options);
  ASSERT_FALSE(first->error) << first->error->description();
  EXPECT_EQ(first->token, IdentityService::token_for("1234"));
  EXPECT_TRUE(first->onMain);
  EXPECT_EQ(service().count("POST", "/checkin"), 1u);
  auto registers = service().requests("POST", IdentityService::kRegisterPath);
  ASSERT_EQ(registers.size(), 1u);
  const auto checkin = iid()->cachedCheckinPreferences();
  ASSERT_TRUE(checkin);
  EXPECT_EQ(registers[0].header("Authorization"), "AidLogin " + checkin->deviceID() + ":" + checkin->secretToken());
  EXPECT_EQ(registers[0].header("app"), "org.example.intranet");
  EXPECT_TRUE(registers[0].has_header("info"));
  const auto identifier = iid()->appInstanceID();
  ASSERT_TRUE(identifier);
  std::vector<std::string> names;
  for (const auto& field : IdentityService::form_fields(registers[0].body)) names.push_back(field.first);
  EXPECT_EQ(names, (std::vector<std::string>{"X-osv", "device", "X-scope", "plat", "app", "app_ver", "X-cliv", "sender",
                                             "X-subtype", "appid", "apns_token", "ruv_app_id"}));
  EXPECT_EQ(IdentityService::form_field(registers[0].body, "appid"), *identifier);
  EXPECT_EQ(IdentityService::form_field(registers[0].body, "apns_token"), "p_01ab");

  // Cached in the keychain: generic "com.dozada.iid-tokens", service "entity:scope".
  fnd::Value item;
  ASSERT_EQ(platform::security::item_copy_matching({{"class", "genp"}, {"svce", "1234:scope-a"}, {"r_Attributes", true}},
                                                   &item),
            platform::security::status::ok);
  auto cached = iid()->tokenManager()->cachedTokenInfoWithAuthorizedEntity("1234", "scope-a");
  ASSERT_TRUE(cached);
  EXPECT_EQ(cached->token(), *first->token);

  // The same push information: served from the cache, no request.
  auto second = requestToken("1234", "scope-a", options);
  EXPECT_EQ(second->token, first->token);
  EXPECT_EQ(service().count("POST", IdentityService::kRegisterPath), 1u);
  // An entity holding "&" and "=" arrives as one field.
  auto odd = requestToken("12&34=5", "scope-a");
  ASSERT_FALSE(odd->error);
  auto all = service().requests("POST", IdentityService::kRegisterPath);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(IdentityService::form_field(all[1].body, "sender"), "12&34=5");
}

TEST_F(IdentityFacadeTest, ValidationOrderAndCodesOnMain) {
  boot();
  struct Case {
    std::string entity, scope;
    std::optional<fnd::Dict> options;
    std::int64_t code;
  };
  const Case cases[] = {
      {"1234", "FCM", std::nullopt, 1001},
      {"1234", "fcm", fnd::Dict{{"apns_token", "not data"}, {"apns_sandbox", true}}, 7},
      {"", "", std::nullopt, 1003},
      {"1234", "", std::nullopt, 1004},
  };
  for (const auto& c : cases) {
    auto answer = requestToken(c.entity, c.scope, c.options);
    ASSERT_TRUE(answer->error) << c.code;
    EXPECT_EQ(answer->error->domain, "com.davidize.iid");
    EXPECT_EQ(answer->error->code, c.code);
    EXPECT_TRUE(answer->onMain);
    EXPECT_FALSE(answer->token);
  }
  EXPECT_EQ(deleteToken("", "*")->code, 1003);
  EXPECT_EQ(deleteToken("1234", "")->code, 1004);
  EXPECT_EQ(service().count(), 0u);
}

TEST_F(IdentityFacadeTest, NotStartedFacadeAnswers1005) {
  boot();
  auto bare = std::make_shared<identity::FIRInstanceID>(*rt::Runtime::shared().find("FIRInstanceID"));
  bool done = false;
  std::optional<fnd::Error> error;
  bare->tokenWithAuthorizedEntity("1234", "*", std::nullopt, [&](std::optional<std::string>, std::optional<fnd::Error> e) {
    done = true;
    error = e;
  });
  ASSERT_TRUE(h().run_until([&] { return done; }));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, 1005);
  done = false;
  bare->getIDWithHandler([&](std::optional<std::string>, std::optional<fnd::Error> e) {
    done = true;
    error = e;
  });
  ASSERT_TRUE(h().run_until([&] { return done; }));
  EXPECT_EQ(error->code, 1005);
}

TEST_F(IdentityFacadeTest, FailedKeyLoadAnswers1006) {
  boot({}, {.profile = {{"keychain_entitlement", false}}});
  auto answer = requestToken("1234", "*");
  ASSERT_TRUE(answer->error);
  // Without the keychain the checkin cannot be kept, or the key pair cannot load.
  EXPECT_TRUE(answer->error->code == 1006 || answer->error->code == 6) << answer->error->description();
}

TEST_F(IdentityFacadeTest, DeleteRemovesTheLocalRecordBeforeTheServerAnswersEvenWhenItFails) {
  boot();
  ASSERT_FALSE(requestToken("1234", "scope-a")->error);
  ScriptedAnswer failing;
  failing.body = "junk";
  failing.delay = std::chrono::milliseconds(300);
  service().answer("POST", IdentityService::kRegisterPath, failing);
  bool done = false;
  std::optional<fnd::Error> error;
  iid()->deleteTokenWithAuthorizedEntity("1234", "scope-a", [&](std::optional<fnd::Error> e) {
    done = true;
    error = e;
  });
  ASSERT_TRUE(h().run_until([&] { return service().count("POST", IdentityService::kRegisterPath) == 2; }));
  EXPECT_FALSE(iid()->tokenManager()->cachedTokenInfoWithAuthorizedEntity("1234", "scope-a"));
  EXPECT_FALSE(done);
  ASSERT_TRUE(h().run_until([&] { return done; }));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, 0);
}

TEST_F(IdentityFacadeTest, DeletingTheDefaultTokenPostsFcmTokenWithNil) {
  boot();
  record("com.davidize.iid.notif.fcm-token");
  ASSERT_FALSE(requestToken(kSender, "*")->error);
  iid()->setDefaultFCMToken(std::string("tok-x"));
  ASSERT_TRUE(h().run_until([&] { return posted("com.davidize.iid.notif.fcm-token").size() == 1; }));
  EXPECT_FALSE(deleteToken(kSender, "*"));
  ASSERT_TRUE(h().run_until([&] { return posted("com.davidize.iid.notif.fcm-token").size() == 2; }));
  EXPECT_FALSE(posted("com.davidize.iid.notif.fcm-token")[1].object);
  EXPECT_FALSE(iid()->defaultFCMToken());
}

TEST_F(IdentityFacadeTest, DeleteAllCarriesTheDeleteOperationAndResetsTheIdentity) {
  boot();
  ASSERT_FALSE(requestToken("1234", "scope-a")->error);
  const auto before = iid()->appInstanceID();
  ASSERT_TRUE(before);
  bool done = false;
  std::optional<fnd::Error> error;
  iid()->deleteIDWithHandler([&](std::optional<fnd::Error> e) {
    done = true;
    error = e;
  });
  ASSERT_TRUE(h().run_until([&] { return done; }));
  EXPECT_FALSE(error);
  auto requests = service().requests("POST", IdentityService::kRegisterPath);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(IdentityService::form_field(requests[1].body, "iid-operation"), "delete");
  EXPECT_EQ(IdentityService::form_field(requests[1].body, "sender"), "*");
  EXPECT_EQ(IdentityService::form_field(requests[1].body, "X-scope"), "*");
  EXPECT_FALSE(iid()->tokenManager()->cachedTokenInfoWithAuthorizedEntity("1234", "scope-a"));
  EXPECT_FALSE(iid()->cachedCheckinPreferences());
  const auto after = iid()->appInstanceID();
  ASSERT_TRUE(after);
  EXPECT_NE(*after, *before);
}

TEST_F(IdentityFacadeTest, DeleteAllWithoutCheckinAnswersNoErrorAndSendsNothing) {
  boot();
  bool done = false;
  std::optional<fnd::Error> error{fnd::Error("x", 1)};
  iid()->tokenManager()->deleteAllTokensWithKeyPair(nullptr, [&](std::optional<fnd::Error> e) {
    done = true;
    error = e;
  });
  ASSERT_TRUE(h().run_until([&] { return done; }));
  EXPECT_FALSE(error);
  EXPECT_EQ(service().count(), 0u);
}

TEST_F(IdentityFacadeTest, ResetReplyResetsTheIdentity) {
  boot();
  const auto before = iid()->appInstanceID();
  ASSERT_TRUE(before);
  service().answer("POST", IdentityService::kRegisterPath, {.body = "Error=SERVICE:RST"});
  auto answer = requestToken("1234", "scope-a");
  ASSERT_TRUE(answer->error);
  EXPECT_EQ(answer->error->code, 2006);
  const auto after = iid()->appInstanceID();
  ASSERT_TRUE(after);
  EXPECT_NE(*after, *before);
}

TEST_F(IdentityFacadeTest, CancelledFetchCachesNothingAndAnswersCancelled) {
  boot();
  // A checkin first, so the fetch below goes straight to the register endpoint.
  ASSERT_FALSE(requestToken("warm-up", "scope-a")->error);
  service().on("POST", IdentityService::kRegisterPath, service().held(std::chrono::seconds(60)));
  auto answer = requestToken("1234", "scope-b", std::nullopt, false);
  ASSERT_TRUE(h().run_until([&] { return service().count("POST", IdentityService::kRegisterPath) == 2; }));
  iid()->stopAllRequests();
  ASSERT_TRUE(h().run_until([&] { return answer->done; }));
  ASSERT_TRUE(answer->error);
  EXPECT_EQ(answer->error->domain, "NSURLErrorDomain");
  EXPECT_EQ(answer->error->code, -999);
  EXPECT_FALSE(iid()->tokenManager()->cachedTokenInfoWithAuthorizedEntity("1234", "scope-b"));
}

TEST_F(IdentityFacadeTest, RefreshPolicyKeepsAStaleDefaultRecordAndRemovesOtherStaleOnes) {
  boot();
  auto clock = platform::testing::ManualClock::install();
  core::GULUserDefaults::standardUserDefaults().setObject(fnd::Value(identity::FIRInstanceIDPreferredLocale()),
                                                          identity::kFIRInstanceIDUserDefaultsKeyLocale);
  auto& store = *iid()->tokenManager()->instanceIDStore();
  for (const char* scope : {"*", "scope-a"}) {
    identity::FIRInstanceIDTokenInfo info(kSender, scope, std::string("tok-") + scope,
                                          identity::FIRInstanceIDBundleShortVersion(),
                                          identity::FIRInstanceIDDefaultDozadaAppID());
    ASSERT_TRUE(store.saveTokenInfo(info, nullptr));
  }
  EXPECT_FALSE(iid()->tokenManager()->checkForTokenRefreshPolicy());
  EXPECT_EQ(store.cachedTokenInfos().size(), 2u);
  clock->advance(std::chrono::seconds(604800));
  EXPECT_TRUE(iid()->tokenManager()->checkForTokenRefreshPolicy());
  EXPECT_TRUE(iid()->tokenManager()->cachedTokenInfoWithAuthorizedEntity(kSender, "*"));
  EXPECT_FALSE(iid()->tokenManager()->cachedTokenInfoWithAuthorizedEntity(kSender, "scope-a"));
  EXPECT_EQ(logs(14012).size(), 2u);
  // The same push token twice invalidates nothing the second time.
  EXPECT_EQ(iid()->tokenManager()->updateTokensToAPNSDeviceToken(fnd::Bytes{1, 2}, false).size(), 1u);
  EXPECT_TRUE(iid()->tokenManager()->updateTokensToAPNSDeviceToken(fnd::Bytes{1, 2}, false).empty());
}

TEST_F(IdentityFacadeTest, IdentifierAnswersOnAnotherThreadWhileMainIsBlocked) {
  boot();
  std::promise<std::optional<std::string>> result;
  auto future = result.get_future();
  // Main (this thread) blocks on the future: the lookup must not need it.
  std::thread analytics([&result] {
    rt::Class* cls = rt::Runtime::shared().find("FIRInstanceID");
    if (!cls) {
      result.set_value(std::nullopt);
      return;
    }
    auto instance = rt::send_if_responds(*cls, instance_id_sel::instanceID);
    if (!instance || !*instance) {
      result.set_value(std::nullopt);
      return;
    }
    auto identity = rt::send_if_responds(**instance, instance_id_sel::appInstanceID);
    result.set_value(identity && *identity ? std::optional(identity->value()) : std::nullopt);
  });
  ASSERT_EQ(future.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  analytics.join();
  const auto identifier = future.get();
  ASSERT_TRUE(identifier);
  EXPECT_EQ(identifier->size(), 11u);
  EXPECT_NE(std::string("cdef").find((*identifier)[0]), std::string::npos);
  EXPECT_EQ(iid()->appInstanceID().value(), *identifier);
}

}  // namespace
}  // namespace identity_test
