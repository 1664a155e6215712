// Registration against the loopback push service: first run, later sessions,
// e-mail players, failures, token and types updates, the token entry points.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>


#include "platform/dispatch/dispatch.h"
#include "platform/os/preferences.h"
#include "platform/runtime/runtime.h"
#include "platform/sim/app_image.h"
#include "platform/testing/manual_clock.h"
#include "platform/ui/application.h"
#include "platform/ui/selectors.h"
#include "push/client.h"
#include "push/device_facts.h"
#include "push/log.h"
#include "push/notification_settings.h"
#include "push/registration.h"
#include "push/reraviror.h"
#include "push/states.h"
#include "push/utilities.h"
#include "testing/fakes/json.h"
#include "testing/fakes/push_service.h"
#include "testing/harness/harness.h"

namespace {

namespace ui = platform::ui;
namespace rt = platform::rt;
namespace foundation = platform::foundation;
using namespace push;
using foundation::Dict;
using foundation::Value;
using testing::fakes::FakeService;
using ordered = nlohmann::ordered_json;

const std::string kAppId = "1b6a4e2c-5f0d-4c8e-9a3b-7d2f1e0c9b8a";
const std::string kVendorId = "5E1D2C3B-4A59-4687-9A1B-2C3D4E5F6A7B";

class RegistrationTestDelegate : public ui::Responder {
 public:
  explicit RegistrationTestDelegate(rt::Class& cls) : ui::Responder(cls) {}
  bool did_finish(rt::Id, Dict) { return true; }
};

platform::sim::AppImage registration_image() {
  platform::sim::AppImage image;
  image.delegate_class = "PushRegistrationTestDelegate";
  image.register_classes = [] {
    rt::ClassBuilder<RegistrationTestDelegate>("PushRegistrationTestDelegate", "UIResponder")
        .method(ui::sel::did_finish_launching, &RegistrationTestDelegate::did_finish)
        .define();
  };
  return image;
}

// Writes the facade's current permission state, as the OS adapters do; a
// prompt answer reports the types to the facade as they do.
class RegistrationScriptedAdapter : public RerAvirorNotificationSettings {
 public:
  bool prompted = true, answered = true, accepted = true, provisional = false;
  std::int32_t types = 15;
  std::vector<bool> apnsResponses;
  std::int32_t getNotificationTypes() override { return types; }
  std::shared_ptr<OSPermissionState> getNotificationPermissionState() override {
    auto state = RerAviror::currentPermissionState();
    state->setNotificationTypes(types);
    state->setHasPrompted(prompted);
    state->setAnsweredPrompt(answered);
    state->setAccepted(accepted);
    state->setProvisional(provisional);
    return state;
  }
  void getNotificationPermissionState(std::function<void(std::shared_ptr<OSPermissionState>)> completion) override {
    completion(getNotificationPermissionState());
  }
  void promptForNotifications(std::function<void(bool)> completion) override {
    getNotificationPermissionState();
    RerAviror::updateNotificationTypes(types);
    if (completion) completion(accepted);
  }
  void registerForProvisionalAuthorization(std::function<void(bool)>) override {}
  void onNotificationPromptResponse(std::int32_t) override {}
  void onAPNsResponse(bool success) override { apnsResponses.push_back(success); }
};

class SubscriptionRecorder : public OSSubscriptionObserver {
 public:
  void onOSSubscriptionChanged(const std::shared_ptr<OSSubscriptionStateChanges>& changes) override {
    std::lock_guard lock(mutex);
    onMain.push_back(platform::dispatch::is_main_thread());
    from.push_back(changes->from()->userId());
    to.push_back(changes->to()->userId());
  }
  std::mutex mutex;
  std::vector<bool> onMain;
  std::vector<std::optional<std::string>> from, to;
};

// Counts the calls of a success and a failure block.
struct Calls {
  std::mutex mutex;
  int success = 0, failure = 0;
  std::optional<Dict> result;
  OSResultSuccessBlock onSuccess() {
    return [this](const std::optional<Dict>& r) {
      std::lock_guard lock(mutex);
      ++success;
      result = r;
    };
  }
  OSFailureBlock onFailure() {
    return [this](const foundation::Error&) {
      std::lock_guard lock(mutex);
      ++failure;
    };
  }
  std::pair<int, int> counts() {
    std::lock_guard lock(mutex);
    return {success, failure};
  }
};

class RegistrationTest : public ::testing::Test {
 protected:
  RegistrationTest()
      : clock_(platform::testing::ManualClock::install()),
        harness_(std::make_unique<testing::Harness>(testing::HarnessOptions{
            .fakes = {testing::Fake::push},
            .profile = {{"push", {{"device_token", "none"}}}, {"vendor_identifier", kVendorId}}})) {
    RerAviror::setOsNotificationSettings(adapter_);
    app_ = &harness_->boot_app(registration_image());
  }
  ~RegistrationTest() override {
    RerAviror::clearStatics();
    resetRegistrationStatics();
    setLogThresholds(kLogWarn, kLogNone);
  }

  testing::fakes::PushService& fake() { return harness_->push(); }
  platform::os::UserDefaults& defaults() { return platform::os::UserDefaults::standard(); }
  // Stores a value built in place (a moved temporary trips a false warning of sanitizer builds).
  template <class T>
  void put(std::string_view key, T value) {
    defaults().set(key, std::optional<Value>(std::in_place, std::move(value)));
  }
  double now() const { return platform::dispatch::Clock::current().now_since_1970(); }

  // A device registered earlier: app id, player id, a push token and the last session time.
  void registeredBefore(double secondsAgo, std::optional<std::string> token = "ab12") {
    put("GT_APP_ID", kAppId);
    put("GT_PLAYER_ID", std::string("p1"));
    if (token) put("GT_DEVICE_TOKEN", *token);
    put("GT_LAST_CLOSED_TIME", now() - secondsAgo);
    RerAviror::initAppId(kAppId, std::nullopt);
    adapter_->getNotificationPermissionState();
    auto subscription = RerAviror::currentSubscriptionState();
    subscription->setUserId("p1");
    if (token) subscription->setPushToken(*token);
    RerAviror::setLastNotificationTypes(adapter_->types);
  }
  // Runs registerUser and waits until the registration queue has decided.
  void registerNow() {
    RerAviror::registerUser();
    if (auto queue = RerAviror::getRegisterQueue()) queue->sync([] {});
  }
  // Waits until the registration's answer has been handled on the main thread.
  bool settle() {
    return harness_->run_until([] { return !RerAviror::registrationInProgress(); }, std::chrono::seconds(30));
  }
  bool waitForCount(std::string_view method, std::string_view path, std::size_t n) {
    return fake().wait_for([&] { return fake().count(method, path) >= n; }, std::chrono::seconds(30));
  }
  ordered body(const testing::fakes::RecordedRequest& request) { return ordered::parse(request.body); }
  void advance(double seconds) {
    clock_->advance(platform::dispatch::Duration(seconds));
    platform::dispatch::RunLoop::main().run_pending();
  }
  std::vector<std::string> logLines() { return harness_->capture().log_lines(); }
  // Waits for the answer of a types update, which touches the facade state.
  bool typesUpdateAnswered() {
    return fake().wait_for([] { return !RerAviror::shouldDelaySubscriptionSettingsUpdate(); }, std::chrono::seconds(30));
  }

  std::shared_ptr<platform::testing::ManualClock> clock_;
  std::unique_ptr<testing::Harness> harness_;
  ui::Application* app_ = nullptr;
  std::shared_ptr<RegistrationScriptedAdapter> adapter_ = std::make_shared<RegistrationScriptedAdapter>();
};

TEST_F(RegistrationTest, FirstRunCreatesThePlayerWithTheTokenAndAnnouncesIt) {
  auto observer = std::make_shared<SubscriptionRecorder>();
  RerAviror::addSubscriptionObserver(observer);
  std::vector<std::pair<std::string, std::optional<std::string>>> ids;
  RerAviror::IdsAvailable([&](const std::string& id, const std::optional<std::string>& token) {
    ids.emplace_back(id, token);
  });

  RerAviror::initWithLaunchOptions(std::nullopt, kAppId, nullptr, nullptr, Dict{{"kOSSettingsKeyAutoPrompt", false}});
  // The prompt answer started a token request, so registration waits for the token.
  EXPECT_TRUE(RerAviror::waitingForApnsResponse());
  advance(10);
  EXPECT_EQ(fake().count(), 0u);

  RerAviror::didRegisterForRemoteNotifications(app_, foundation::Bytes{0xAB, 0x01, 0xCD, 0xEF, 0x00, 0x7F, 0x10, 0xFF});
  ASSERT_TRUE(waitForCount("POST", "/api/v1/players", 1));
  ASSERT_TRUE(settle());
  advance(31);  // the delayed registration from start-up finds nothing to do
  advance(31);
  if (auto queue = RerAviror::getRegisterQueue()) queue->sync([] {});
  ASSERT_TRUE(settle());

  // Besides start-up's parameters download, exactly one request: the create.
  std::size_t others = 0;
  for (const auto& r : fake().requests()) others += r.path.find("/ios_params.js") == std::string::npos;
  ASSERT_EQ(others, 1u);
  const auto sent = fake().requests("POST", "/api/v1/players");
  ASSERT_EQ(sent.size(), 1u);
  const ordered record = body(sent[0]);
  std::vector<std::string> keys;
  for (const auto& item : record.items()) keys.push_back(item.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"app_id", "device_os", "timezone", "device_type", "ad_id", "sdk",
                                            "device_model", "game_version", "net_type", "sdk_type", "ios_bundle",
                                            "language", "notification_types", "identifier"}));
  EXPECT_EQ(record["app_id"], kAppId);
  EXPECT_EQ(record["device_os"], "13.5");
  EXPECT_TRUE(record["timezone"].is_number_integer());
  EXPECT_EQ(record["device_type"], 0);
  EXPECT_EQ(record["ad_id"], kVendorId);
  EXPECT_EQ(record["sdk"], "020809");
  EXPECT_EQ(record["device_model"], "iPhone12,1");
  EXPECT_EQ(record["game_version"], "1");
  EXPECT_TRUE(record["net_type"].is_number_integer());
  EXPECT_EQ(record["sdk_type"], "native");
  EXPECT_EQ(record["ios_bundle"], "org.example.intranet");
  EXPECT_EQ(record["language"], "en-US");
  EXPECT_EQ(record["notification_types"], 15);
  EXPECT_EQ(record["identifier"], "ab01cdef007f10ff");

  const std::string playerId = fake().player_id();
  EXPECT_EQ(RerAviror::getPermissionSubscriptionState()->subscriptionStatus()->userId(), playerId);
  EXPECT_EQ(defaults().string("GT_PLAYER_ID"), playerId);
  harness_->run_until([&] { return !ids.empty(); });
  ASSERT_EQ(ids.size(), 1u);
  EXPECT_EQ(ids[0], (std::pair<std::string, std::optional<std::string>>{playerId, "ab01cdef007f10ff"}));
  std::lock_guard lock(observer->mutex);
  ASSERT_FALSE(observer->to.empty());
  EXPECT_EQ(observer->to.back(), playerId);
  EXPECT_EQ(observer->from.back(), std::nullopt);
  for (bool onMain : observer->onMain) EXPECT_TRUE(onMain);
}

TEST_F(RegistrationTest, TokenRequestWithinTheWaitWindowDefersRegistration) {
  RerAviror::initWithLaunchOptions(std::nullopt, kAppId, nullptr, nullptr, Dict{{"kOSSettingsKeyAutoPrompt", false}});
  ASSERT_TRUE(RerAviror::waitingForApnsResponse());
  advance(31);  // 31 s after start-up the wait window is over: the create request goes without a token
  ASSERT_TRUE(waitForCount("POST", "/api/v1/players", 1));
  ASSERT_TRUE(settle());
  EXPECT_FALSE(body(fake().requests("POST", "/api/v1/players")[0]).contains("identifier"));
  EXPECT_EQ(body(fake().requests("POST", "/api/v1/players")[0])["notification_types"], -14);
}

TEST_F(RegistrationTest, SessionRule) {
  struct Case {
    std::string name;
    double secondsAgo;
    bool highPriority;
    bool sent;
  };
  const std::vector<Case> cases = {
      {"20 s away", 20, false, false},
      {"exactly 30 s away", 30, false, false},
      {"31 s away", 31, false, true},
      {"5 s away, high priority", 5, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake().clear_requests();
    registeredBefore(c.secondsAgo);
    RerAviror::setNextRegistrationHighPriority(c.highPriority);
    registerNow();
    ASSERT_TRUE(settle());
    EXPECT_EQ(fake().count("POST", "/api/v1/players/p1/on_session"), c.sent ? 1u : 0u);
    EXPECT_EQ(fake().count(), c.sent ? 1u : 0u);
    if (c.sent) {
      const ordered record = body(fake().requests()[0]);
      EXPECT_FALSE(record.contains("sdk_type"));
      EXPECT_FALSE(record.contains("ios_bundle"));
      EXPECT_EQ(record["identifier"], "ab12");
      EXPECT_FALSE(RerAviror::nextRegistrationHighPriority());
      EXPECT_DOUBLE_EQ(defaults().real("GT_LAST_CLOSED_TIME"), now());
    }
  }
}

TEST_F(RegistrationTest, FirstSessionEverStoresTheTimeAndRegisters) {
  registeredBefore(0);
  defaults().remove("GT_LAST_CLOSED_TIME");
  EXPECT_TRUE(RerAviror::shouldRegisterNow());
  EXPECT_DOUBLE_EQ(defaults().real("GT_LAST_CLOSED_TIME"), now());
  RerAviror::setRequiresUserPrivacyConsent(true);
  registerNow();
  EXPECT_FALSE(RerAviror::shouldRegisterNow());
  EXPECT_FALSE(RerAviror::getRegisterQueue().has_value());
  RerAviror::setRequiresUserPrivacyConsent(false);
}

TEST_F(RegistrationTest, RegistrationCancelsTheDelayedOneButNotTheTagSend) {
  registeredBefore(60);
  bool tagSend = false;
  performOnMainThreadAfterDelay(RerAviror::performTarget(), "sendTagsToServer", 5.0, [&] { tagSend = true; });
  RerAviror::registerUserAfterDelay();
  RerAviror::registerUserAfterDelay();  // replaces the first
  registerNow();                        // cancels from the registration queue
  ASSERT_TRUE(settle());
  EXPECT_EQ(fake().count("POST", "/api/v1/players/p1/on_session"), 1u);
  put("GT_LAST_CLOSED_TIME", now() - 60);
  advance(31);
  if (auto queue = RerAviror::getRegisterQueue()) queue->sync([] {});
  ASSERT_TRUE(settle());
  EXPECT_TRUE(tagSend);
  EXPECT_EQ(fake().count("POST", "/api/v1/players/p1/on_session"), 1u);
}

TEST_F(RegistrationTest, TagsWaitingBeforeThePlayerIdRideInTheCreateRecord) {
  RerAviror::initAppId(kAppId, std::nullopt);
  Calls tags;
  RerAviror::sendTags(Dict{{"team", "blue"}}, tags.onSuccess(), tags.onFailure());
  registerNow();
  ASSERT_TRUE(settle());
  ASSERT_EQ(fake().count("POST", "/api/v1/players"), 1u);
  EXPECT_EQ(nlohmann::json::parse(fake().requests("POST", "/api/v1/players")[0].body)["tags"],
            (nlohmann::json{{"team", "blue"}}));
  EXPECT_EQ(tags.counts(), (std::pair<int, int>{1, 0}));
  EXPECT_EQ(tags.result, (Dict{{"team", "blue"}}));
  EXPECT_FALSE(RerAviror::hasPendingTags());
}

TEST_F(RegistrationTest, TriggerWhileTheAnswerIsHeldIsDropped) {
  registeredBefore(60);
  fake().on("POST", "/api/v1/players/p1/on_session", fake().held_until_released());
  registerNow();
  ASSERT_TRUE(waitForCount("POST", "/api/v1/players/p1/on_session", 1));
  EXPECT_TRUE(RerAviror::registrationInProgress());
  RerAviror::setNextRegistrationHighPriority(true);
  registerNow();
  fake().release_held();
  ASSERT_TRUE(settle());
  EXPECT_EQ(fake().count("POST", "/api/v1/players/p1/on_session"), 1u);
}

TEST_F(RegistrationTest, EmailPlayerGetsItsOwnOnSession) {
  struct Case {
    std::string name;
    bool requiresAuth;
    std::optional<std::string> authCode;
    bool emailSent;
  };
  const std::vector<Case> cases = {
      {"auth code", true, "hash-1", true},
      {"no auth needed", false, std::nullopt, true},
      {"auth needed, no code", true, std::nullopt, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RerAviror::clearStatics();
    fake().clear_requests();
    put("GT_EMAIL_PLAYER_ID", std::string("e1"));
    put("GT_REQUIRE_EMAIL_AUTH", c.requiresAuth);
    if (c.authCode) {
      put("GT_EMAIL_AUTH_CODE", *c.authCode);
    } else {
      defaults().remove("GT_EMAIL_AUTH_CODE");
    }
    RerAviror::setOsNotificationSettings(adapter_);
    registeredBefore(60);
    registerNow();
    ASSERT_TRUE(settle());
    ASSERT_EQ(fake().count("POST", "/api/v1/players/p1/on_session"), 1u);
    const ordered pushRecord = body(fake().requests("POST", "/api/v1/players/p1/on_session")[0]);
    EXPECT_EQ(pushRecord["device_type"], 0);
    EXPECT_FALSE(pushRecord.contains("email_auth_hash"));
    ASSERT_EQ(fake().count("POST", "/api/v1/players/e1/on_session"), c.emailSent ? 1u : 0u);
    if (!c.emailSent) continue;
    const ordered emailRecord = body(fake().requests("POST", "/api/v1/players/e1/on_session")[0]);
    EXPECT_EQ(emailRecord["device_type"], 11);
    EXPECT_EQ(emailRecord.contains("email_auth_hash"), c.authCode.has_value());
    if (c.authCode) {
      EXPECT_EQ(emailRecord["email_auth_hash"], *c.authCode);
    }
    EXPECT_FALSE(emailRecord.contains("identifier"));
    // Same record otherwise, same key order.
    ordered expected = pushRecord;
    expected.erase("identifier");
    expected["device_type"] = 11;
    if (c.authCode) expected["email_auth_hash"] = *c.authCode;
    EXPECT_EQ(emailRecord.dump(), expected.dump());
    EXPECT_EQ(defaults().string("GT_EMAIL_PLAYER_ID"), "e1");
  }
}

TEST_F(RegistrationTest, BatchFailureLogsBothKeysAndTheNextCallIsHighPriority) {
  put("GT_EMAIL_PLAYER_ID", std::string("e1"));
  registeredBefore(60);
  fake().on("POST", "/api/v1/players/p1/on_session", FakeService::not_found_json());
  fake().on("POST", "/api/v1/players/e1/on_session", FakeService::empty(201));
  harness_->capture().clear();
  registerNow();
  ASSERT_TRUE(settle());
  std::vector<std::string> failures;
  for (const auto& line : logLines())
    if (line.find("Encountered error during") != std::string::npos) failures.push_back(line);
  ASSERT_EQ(failures.size(), 2u);
  EXPECT_EQ(failures[0].rfind("ERROR: Encountered error during push registration with RerAviror: Error Domain=RerAvirorError Code=404", 0), 0u);
  EXPECT_EQ(failures[1].rfind("ERROR: Encountered error during email registration with RerAviror: Error Domain=RerAvirorError Code=201", 0), 0u);
  EXPECT_TRUE(RerAviror::nextRegistrationHighPriority());

  fake().clear_overrides();
  registerNow();  // within 30 s of the last session, still sent
  ASSERT_TRUE(settle());
  EXPECT_EQ(fake().count("POST", "/api/v1/players/p1/on_session"), 2u);
  EXPECT_FALSE(RerAviror::nextRegistrationHighPriority());
}

TEST_F(RegistrationTest, RepliesWithoutAUsableIdStoreNothing) {
  struct Case {
    std::string name;
    testing::fakes::Handler answer;
  };
  const std::vector<Case> cases = {
      {"empty body", FakeService::empty(200)},
      {"array", FakeService::json(200, nlohmann::json::array({"id"}))},
      {"numeric id", FakeService::json(200, {{"id", 42}})},
      {"empty id", FakeService::json(200, {{"id", ""}})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RerAviror::clearStatics();
    resetRegistrationStatics();
    RerAviror::setOsNotificationSettings(adapter_);
    defaults().remove("GT_PLAYER_ID");
    RerAviror::initAppId(kAppId, std::nullopt);
    fake().on("POST", "/api/v1/players", c.answer);
    registerNow();
    ASSERT_TRUE(settle());
    EXPECT_FALSE(RerAviror::currentSubscriptionState()->userId().has_value());
    EXPECT_FALSE(defaults().string("GT_PLAYER_ID").has_value());
  }
}

TEST_F(RegistrationTest, TokenBeforeThePlayerIdIsAnsweredOnceByTheRegistration) {
  RerAviror::initAppId(kAppId, std::nullopt);
  adapter_->answered = false;  // the token alone must not register yet
  adapter_->prompted = false;
  adapter_->accepted = false;
  adapter_->getNotificationPermissionState();
  Calls calls;
  RerAviror::updateDeviceToken("aa11", calls.onSuccess(), calls.onFailure());
  EXPECT_EQ(calls.counts(), (std::pair<int, int>{0, 0}));
  if (auto queue = RerAviror::getRegisterQueue()) queue->sync([] {});
  EXPECT_EQ(fake().count(), 0u);
  EXPECT_EQ(adapter_->apnsResponses, std::vector<bool>{true});

  advance(30);  // the delayed registration
  ASSERT_TRUE(waitForCount("POST", "/api/v1/players", 1));
  ASSERT_TRUE(settle());
  EXPECT_EQ(body(fake().requests()[0])["identifier"], "aa11");
  harness_->run_until([&] { return calls.counts().first == 1; });
  EXPECT_EQ(calls.counts(), (std::pair<int, int>{1, 0}));
  EXPECT_EQ(calls.result, std::nullopt);  // the same token was stored: no PUT

  put("GT_LAST_CLOSED_TIME", now() - 60);
  registerNow();
  ASSERT_TRUE(settle());
  EXPECT_EQ(fake().count("POST", "/api/v1/players/" + fake().player_id() + "/on_session"), 1u);
  platform::dispatch::RunLoop::main().run_pending();
  EXPECT_EQ(calls.counts(), (std::pair<int, int>{1, 0}));
  EXPECT_EQ(fake().count("PUT", "/api/v1/players/" + fake().player_id()), 0u);
}

TEST_F(RegistrationTest, TokenUpdateWithAPlayerId) {
  registeredBefore(5);
  Calls same;
  RerAviror::updateDeviceToken("ab12", same.onSuccess(), same.onFailure());
  EXPECT_EQ(same.counts(), (std::pair<int, int>{1, 0}));
  EXPECT_EQ(same.result, std::nullopt);
  EXPECT_FALSE(RerAviror::nextRegistrationHighPriority());

  // The entry point's text is the bytes in lower-case hex.
  RerAviror::didRegisterForRemoteNotifications(app_, foundation::Bytes{0x0C, 0xD3});
  ASSERT_TRUE(waitForCount("PUT", "/api/v1/players/p1", 1));
  EXPECT_EQ(nlohmann::json::parse(fake().requests("PUT", "/api/v1/players/p1")[0].body),
            (nlohmann::json{{"app_id", kAppId}, {"notification_types", 15}, {"identifier", "0cd3"}}));
  EXPECT_TRUE(RerAviror::nextRegistrationHighPriority());

  Calls changed;
  RerAviror::updateDeviceToken("cd34", changed.onSuccess(), changed.onFailure());
  ASSERT_TRUE(waitForCount("PUT", "/api/v1/players/p1", 2));
  fake().wait_for([&] { return changed.counts().first == 1; }, std::chrono::seconds(30));
  EXPECT_EQ(changed.counts(), (std::pair<int, int>{1, 0}));
  EXPECT_EQ(nlohmann::json::parse(fake().requests("PUT", "/api/v1/players/p1")[1].body)["identifier"], "cd34");
  EXPECT_EQ(RerAviror::currentSubscriptionState()->pushToken(), "cd34");
  EXPECT_EQ(fake().count(), 2u);
}

TEST_F(RegistrationTest, EmptyTokenDataIsRejected) {
  registeredBefore(5);
  harness_->capture().clear();
  RerAviror::setWaitingForApnsResponse(true);
  RerAviror::didRegisterForRemoteNotifications(app_, foundation::Bytes{});
  EXPECT_EQ(RerAviror::currentSubscriptionState()->pushToken(), "ab12");
  EXPECT_TRUE(RerAviror::waitingForApnsResponse());
  ASSERT_EQ(logLines().size(), 1u);
  EXPECT_EQ(logLines()[0].rfind("ERROR: ", 0), 0u);
}

TEST_F(RegistrationTest, TokenRefusalTable) {
  struct Case {
    std::string name;
    std::int64_t code;
    std::string description;
    std::int32_t status;
    std::string message;  // the start of the logged line
  };
  const std::vector<Case> cases = {
      {"capability off", 3000, "no valid 'aps-environment' entitlement string found for application", -13,
       "ERROR: ERROR! 'Push Notification' capability not turned on! Enable it in Xcode under 'Project Target' -> "
       "Capability."},
      {"other 3000", 3000, "something else", -17,
       "ERROR: ERROR! Unknown 3000 error returned from APNs when getting a push token: Error Domain=NSCocoaErrorDomain "
       "Code=3000"},
      {"simulator", 3010, "remote notifications are not supported in the simulator", -15,
       "ERROR: Error! iOS Simulator does not support push! Please test on a real iOS device. Error: Error "
       "Domain=NSCocoaErrorDomain Code=3010"},
      {"anything else", 5, "other", -16,
       "ERROR: Error registering for Apple push notifications! Error: Error Domain=NSCocoaErrorDomain Code=5"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RerAviror::clearStatics();
    resetRegistrationStatics();
    RerAviror::setOsNotificationSettings(adapter_);
    adapter_->apnsResponses.clear();
    registeredBefore(5);
    RerAviror::setWaitingForApnsResponse(true);
    harness_->capture().clear();
    RerAviror::handleDidFailRegisterForRemoteNotification(
        foundation::Error("NSCocoaErrorDomain", c.code, {{"NSLocalizedDescription", c.description}}));
    EXPECT_FALSE(RerAviror::waitingForApnsResponse());
    EXPECT_EQ(RerAviror::mSubscriptionStatus(), c.status);
    EXPECT_EQ(RerAviror::getNotificationTypes(), c.status);
    EXPECT_FALSE(RerAviror::getUsableDeviceToken().has_value());
    EXPECT_EQ(adapter_->apnsResponses, std::vector<bool>{false});
    bool found = false;
    for (const auto& line : logLines()) found = found || line.rfind(c.message, 0) == 0;
    EXPECT_TRUE(found);
    // The status goes to the service as the types value.
    ASSERT_TRUE(waitForCount("PUT", "/api/v1/players/p1", 1));
    const auto puts = fake().requests("PUT", "/api/v1/players/p1");
    EXPECT_EQ(nlohmann::json::parse(puts.back().body)["notification_types"], c.status);
    ASSERT_TRUE(typesUpdateAnswered());
    fake().clear_requests();
  }
}

TEST_F(RegistrationTest, NotificationTypesUpdate) {
  EXPECT_FALSE(RerAviror::sendNotificationTypesUpdate());  // no player id
  registeredBefore(5);
  EXPECT_FALSE(RerAviror::sendNotificationTypesUpdate());  // unchanged
  adapter_->types = 7;
  adapter_->getNotificationPermissionState();
  EXPECT_TRUE(RerAviror::sendNotificationTypesUpdate());
  EXPECT_EQ(RerAviror::lastNotificationTypes(), 7);
  ASSERT_TRUE(waitForCount("PUT", "/api/v1/players/p1", 1));
  EXPECT_EQ(nlohmann::json::parse(fake().requests()[0].body),
            (nlohmann::json{{"app_id", kAppId}, {"notification_types", 7}}));
  EXPECT_FALSE(RerAviror::sendNotificationTypesUpdate());  // sent already
  ASSERT_TRUE(typesUpdateAnswered());

  RerAviror::setRequiresUserPrivacyConsent(true);
  adapter_->types = 3;
  EXPECT_FALSE(RerAviror::sendNotificationTypesUpdate());
  RerAviror::setRequiresUserPrivacyConsent(false);
}

TEST_F(RegistrationTest, FailedTypesUpdateStillDeliversTheDelayedSubscriptionChange) {
  adapter_->accepted = false;
  adapter_->types = 0;
  registeredBefore(5);
  auto subscription = RerAviror::currentSubscriptionState();
  ASSERT_FALSE(subscription->accpeted());
  fake().on("PUT", "/api/v1/players/p1", fake().held_until_released(FakeService::unavailable_html()));
  adapter_->types = 7;
  ASSERT_TRUE(RerAviror::sendNotificationTypesUpdate());
  ASSERT_TRUE(waitForCount("PUT", "/api/v1/players/p1", 1));
  // The OS reports the permission while the update is on the wire: held back.
  adapter_->accepted = true;
  adapter_->getNotificationPermissionState();
  EXPECT_TRUE(RerAviror::shouldDelaySubscriptionSettingsUpdate());
  EXPECT_FALSE(subscription->accpeted());
  fake().release_held();  // the update fails
  ASSERT_TRUE(fake().wait_for([&] { return subscription->accpeted(); }, std::chrono::seconds(30)));
  EXPECT_FALSE(RerAviror::shouldDelaySubscriptionSettingsUpdate());
  EXPECT_TRUE(subscription->subscribed());
}

TEST_F(RegistrationTest, TheTypesAnswerAppliesTheTypesOfItsMomentAndTheHeldBackMarkStays) {
  adapter_->accepted = false;
  adapter_->types = 0;
  registeredBefore(5);
  auto subscription = RerAviror::currentSubscriptionState();
  fake().on("PUT", "/api/v1/players/p1", fake().held_until_released(FakeService::json(200, {{"success", true}})));
  adapter_->types = 7;
  ASSERT_TRUE(RerAviror::sendNotificationTypesUpdate());
  ASSERT_TRUE(waitForCount("PUT", "/api/v1/players/p1", 1));
  adapter_->accepted = true;
  adapter_->getNotificationPermissionState();  // held back
  ASSERT_TRUE(subscription->delayedObserverUpdate());
  // The types fall to 0 before the answer: the answer applies 0, not the 7 it sent.
  adapter_->types = 0;
  fake().release_held();
  ASSERT_TRUE(typesUpdateAnswered());
  EXPECT_FALSE(subscription->accpeted());
  EXPECT_TRUE(subscription->delayedObserverUpdate());

  // The mark stays, so the next answer re-applies the types again.
  fake().on("PUT", "/api/v1/players/p1", FakeService::json(200, {{"success", true}}));
  adapter_->types = 3;
  ASSERT_TRUE(RerAviror::sendNotificationTypesUpdate());
  ASSERT_TRUE(fake().wait_for([&] { return subscription->accpeted(); }, std::chrono::seconds(20)));
  EXPECT_TRUE(subscription->delayedObserverUpdate());
}

TEST_F(RegistrationTest, PurchasesGoToThePushAndEmailPlayers) {
  const foundation::Array purchases{Dict{{"sku", "s1"}, {"amount", 1.5}, {"iso", "EUR"}}};
  RerAviror::sendPurchases(purchases);  // no player id: nothing
  put("GT_EMAIL_PLAYER_ID", std::string("e1"));
  put("GT_EMAIL_AUTH_CODE", std::string("h1"));
  registeredBefore(5);
  RerAviror::sendPurchases(purchases);
  ASSERT_TRUE(waitForCount("POST", "/api/v1/players/e1/on_purchase", 1));
  ASSERT_TRUE(waitForCount("POST", "/api/v1/players/p1/on_purchase", 1));
  EXPECT_EQ(fake().count(), 2u);
  const auto push = nlohmann::json::parse(fake().requests("POST", "/api/v1/players/p1/on_purchase")[0].body);
  EXPECT_EQ(push["purchases"][0]["sku"], "s1");
  const auto email = nlohmann::json::parse(fake().requests("POST", "/api/v1/players/e1/on_purchase")[0].body);
  EXPECT_EQ(email["email_auth_hash"], "h1");
}

// Classes the platform never registers, as a device would provide them.
class FakeAdManager : public rt::Object {
 public:
  explicit FakeAdManager(rt::Class& cls) : rt::Object(cls) {}
  bool tracking = false;
};
class FakeCarrier : public rt::Object {
 public:
  explicit FakeCarrier(rt::Class& cls) : rt::Object(cls) {}
};
class FakeNetworkInfo : public rt::Object {
 public:
  explicit FakeNetworkInfo(rt::Class& cls) : rt::Object(cls) {}
};

TEST_F(RegistrationTest, AdvertisingIdAndCarrierFromClassesFoundByName) {
  const std::string adId = "0A1B2C3D-4E5F-4061-8273-A4B5C6D7E8F9";
  struct Case {
    std::string name;
    bool adClass, tracking, carrierClass;
    std::optional<std::string> carrierName;
    std::optional<std::string> asId, carrier;
  };
  const std::vector<Case> cases = {
      {"no classes", false, false, false, std::nullopt, std::nullopt, std::nullopt},
      {"tracking off", true, false, false, std::nullopt, "OptedOut", std::nullopt},
      {"tracking on, carrier", true, true, true, "Carrier One", adId, "Carrier One"},
      {"carrier without a name", false, false, true, std::nullopt, std::nullopt, std::nullopt},
  };
  registeredBefore(5);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    rt::Runtime::Scope scope;
    if (c.adClass) {
      rt::ClassBuilder<FakeAdManager>("ASIdentifierManager", "NSObject")
          .method(device_sel::advertisingTrackingEnabled, [](FakeAdManager& m) { return m.tracking; })
          .method(device_sel::advertisingIdentifier, [adId](FakeAdManager&) { return *foundation::Uuid::parse(adId); })
          .class_method(device_sel::sharedManager,
                        [tracking = c.tracking](rt::Class& cls) -> rt::Id {
                          auto manager = std::make_shared<FakeAdManager>(cls);
                          manager->tracking = tracking;
                          return manager;
                        })
          .define();
    }
    if (c.carrierClass) {
      rt::Class& carrierCls =
          rt::ClassBuilder<FakeCarrier>("CTCarrier", "NSObject")
              .method(device_sel::carrierName, [name = c.carrierName](FakeCarrier&) { return name; })
              .define();
      rt::ClassBuilder<FakeNetworkInfo>("CTTelephonyNetworkInfo", "NSObject")
          .method(device_sel::subscriberCellularProvider,
                  [&carrierCls](FakeNetworkInfo&) -> rt::Id { return carrierCls.create(); })
          .define();
    }
    const Dict record = RerAviror::registrationRecord();
    const Value* asId = record.find("as_id");
    EXPECT_EQ(asId ? std::optional<std::string>(*asId->string()) : std::nullopt, c.asId);
    const Value* carrier = record.find("carrier");
    EXPECT_EQ(carrier ? std::optional<std::string>(*carrier->string()) : std::nullopt, c.carrier);
    if (c.asId && c.carrier) {
      // In table order: after the types value.
      const auto keys = record.keys();
      const auto at = [&](const std::string& k) { return std::find(keys.begin(), keys.end(), k) - keys.begin(); };
      EXPECT_LT(at("notification_types"), at("as_id"));
      EXPECT_LT(at("as_id"), at("carrier"));
    }
  }
}

TEST_F(RegistrationTest, TestTypeFollowsTheEmbeddedProfile) {
  struct Case {
    std::string name;
    std::optional<std::string> profile;
    std::optional<std::int64_t> testType;
  };
  const std::string devProfile =
      "\x30\x82signed<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>Entitlements</key>"
      "<dict><key>aps-environment</key><string>development</string></dict></dict></plist>\n\xff\xfe";
  const std::vector<Case> cases = {
      {"no profile", std::nullopt, std::nullopt},
      {"development", devProfile, 1},
      {"unreadable profile", std::string("no property list here"), std::nullopt},
  };
  registeredBefore(5);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RerAvirorMobileProvision::clearCache();
    const auto path = harness_->bundle_directory() / "embedded.mobileprovision";
    std::filesystem::remove(path);
    if (c.profile) std::ofstream(path, std::ios::binary) << *c.profile;
    const Dict record = RerAviror::registrationRecord();
    const Value* testType = record.find("test_type");
    EXPECT_EQ(testType ? testType->as_int() : std::nullopt, c.testType);
  }
  RerAvirorMobileProvision::clearCache();
}

TEST_F(RegistrationTest, AbsentAppIdLeavesOutOnlyItsOwnKey) {
  const Dict record = RerAviror::registrationRecord();
  EXPECT_FALSE(record.contains("app_id"));
  const auto keys = record.keys();
  ASSERT_GE(keys.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(keys.begin(), keys.begin() + 5),
            (std::vector<std::string>{"device_os", "timezone", "device_type", "ad_id", "sdk"}));
}

}  // namespace
