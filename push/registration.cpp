// Device registration with the push service: when a registration runs, the
// record it sends, what its answer stores and the work it releases; the
// push-token and notification-types updates and the purchase report.
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/os/bundle.h"
#include "platform/os/facts.h"
#include "platform/os/preferences.h"
#include "platform/os/process_info.h"
#include "platform/os/profile.h"
#include "platform/ui/application.h"
#include "push/analytics_bridge.h"
#include "push/client.h"
#include "push/device_facts.h"
#include "push/log.h"
#include "push/notification_settings.h"
#include "push/registration.h"
#include "push/reraviror.h"
#include "push/states.h"
#include "push/utilities.h"

namespace push {

namespace {

namespace dispatch = platform::dispatch;

constexpr std::string_view kRegisterQueueLabel = "com.reraviror.regiseruser";
constexpr std::string_view kLastSessionKey = "GT_LAST_CLOSED_TIME";
constexpr double kSessionSeconds = 30.0;
constexpr double kTagsSendDelay = 5.0;

platform::os::UserDefaults& registrationDefaults() { return platform::os::UserDefaults::standard(); }

struct RegistrationState {
  std::mutex mutex;  // the queue and the pending token blocks
  std::optional<dispatch::Queue> queue;
  OSResultSuccessBlock pendingTokenSuccess;
  OSFailureBlock pendingTokenFailure;
  std::atomic<bool> inProgress{false}, nextHighPriority{false};
};

RegistrationState& reg() {
  static RegistrationState* s = new RegistrationState();
  return *s;
}

double registrationNow() { return dispatch::Clock::current().now_since_1970(); }

bool consentMissing() { return RerAviror::shouldLogMissingPrivacyConsentErrorWithMethodName(std::nullopt); }

// The "id" of one reply: present only as a non-empty string.
std::optional<std::string> replyId(const std::map<std::string, foundation::Dict>& results, const std::string& key) {
  auto it = results.find(key);
  if (it == results.end()) return std::nullopt;
  const auto* text = it->second.get("id").string();
  if (!text || text->empty()) return std::nullopt;
  return *text;
}

std::string errorText(const std::map<std::string, foundation::Error>& errors, const std::string& key) {
  auto it = errors.find(key);
  return it == errors.end() ? "(null)" : it->second.description();
}

void answerTagCallbacks(const std::vector<std::shared_ptr<OSPendingCallbacks>>& callbacks,
                        const std::optional<foundation::Dict>& tags) {
  for (const auto& callback : callbacks) {
    if (auto success = callback->successBlock()) success(tags);
  }
}

void failTagCallbacks(const std::vector<std::shared_ptr<OSPendingCallbacks>>& callbacks,
                      const std::map<std::string, foundation::Error>& errors) {
  auto it = errors.find("push");
  if (it == errors.end()) it = errors.find("email");
  const foundation::Error error = it == errors.end() ? foundation::Error() : it->second;
  for (const auto& callback : callbacks) {
    if (auto failure = callback->failureBlock()) failure(error);
  }
}

void registrationSucceeded(const std::map<std::string, foundation::Dict>& results,
                           const std::optional<foundation::Dict>& sentTags,
                           const std::vector<std::shared_ptr<OSPendingCallbacks>>& tagCallbacks) {
  auto& s = reg();
  s.inProgress = false;
  s.nextHighPriority = false;
  RerAviror::updateLastSessionDateTime();

  if (auto emailId = replyId(results, "email")) {
    auto email = RerAviror::currentEmailSubscriptionState();
    const auto previous = email->emailUserId();
    if (previous && *previous != *emailId && email->emailAuthCode())
      RerAviror::emailChangedWithNewEmailPlayerId(*emailId);
    email->setEmailUserId(*emailId);
    registrationDefaults().set("GT_EMAIL_PLAYER_ID", std::optional<foundation::Value>(std::in_place, *emailId));
  }

  if (auto playerId = replyId(results, "push")) {
    auto subscription = RerAviror::currentSubscriptionState();
    subscription->setUserId(*playerId);
    RerAviror::replayPendingEmail();
    registrationDefaults().set("GT_PLAYER_ID", std::optional<foundation::Value>(std::in_place, *playerId));
    answerTagCallbacks(tagCallbacks, sentTags);
    if (auto token = subscription->pushToken()) {
      // Handed over once: a later registration must not answer them again.
      OSResultSuccessBlock success;
      OSFailureBlock failure;
      {
        std::lock_guard lock(s.mutex);
        success = std::move(s.pendingTokenSuccess);
        failure = std::move(s.pendingTokenFailure);
        s.pendingTokenSuccess = nullptr;
        s.pendingTokenFailure = nullptr;
      }
      RerAviror::updateDeviceToken(*token, std::move(success), std::move(failure));
    }
    if (RerAviror::hasPendingTags()) {
      performOnMainThreadAfterDelay(RerAviror::performTarget(), "sendTagsToServer", kTagsSendDelay,
                                    [] { RerAviror::sendTagsToServer(); });
    }
    RerAviror::sendLocation();
    RerAviror::syncPendingHashedEmail();
    RerAviror::fireIdsAvailableCallback();
    RerAviror::sendNotificationTypesUpdate();
    RerAviror::runPendingGetTags();
  }
  registrationDefaults().synchronize();
}

void registrationFailed(const std::map<std::string, foundation::Error>& errors,
                        const std::vector<std::shared_ptr<OSPendingCallbacks>>& tagCallbacks) {
  auto& s = reg();
  s.inProgress = false;
  for (const std::string key : {"push", "email"}) {
    writeLogLine(kLogError,
                 "Encountered error during " + key + " registration with RerAviror: " + errorText(errors, key));
  }
  s.nextHighPriority = true;
  failTagCallbacks(tagCallbacks, errors);
}

}  // namespace

void resetRegistrationStatics() {
  {
    auto& s = reg();
    std::lock_guard lock(s.mutex);
    s.queue.reset();
    s.pendingTokenSuccess = nullptr;
    s.pendingTokenFailure = nullptr;
    s.inProgress = false;
    s.nextHighPriority = false;
  }
  RerAviror::setMSubscriptionStatus(-1);
}

const void* RerAviror::performTarget() {
  static const char target = 0;
  return &target;
}

// ---- when a registration runs ----

bool RerAviror::shouldRegisterNow() {
  if (consentMissing() || reg().inProgress) return false;
  const double last = registrationDefaults().real(kLastSessionKey);
  if (last == 0) {
    updateLastSessionDateTime();
    return true;
  }
  if (isHighPriorityCall()) return true;
  return registrationNow() - last > kSessionSeconds;
}

bool RerAviror::isHighPriorityCall() {
  if (!currentSubscriptionState()->userId()) return true;
  return reg().nextHighPriority;
}

void RerAviror::setNextRegistrationHighPriority(bool value) { reg().nextHighPriority = value; }
bool RerAviror::nextRegistrationHighPriority() { return reg().nextHighPriority; }
bool RerAviror::registrationInProgress() { return reg().inProgress; }

void RerAviror::updateLastSessionDateTime() {
  registrationDefaults().set(kLastSessionKey, std::optional<foundation::Value>(std::in_place, registrationNow()));
  registrationDefaults().synchronize();
}

std::optional<dispatch::Queue> RerAviror::getRegisterQueue() {
  std::lock_guard lock(reg().mutex);
  return reg().queue;
}

void RerAviror::registerUser() {
  if (consentMissing()) return;
  const double launched = launchTimeSince1970();
  if (waitingForApnsResponse() && launched > 0 && registrationNow() - launched < apnsWaitWindow()) {
    registerUserAfterDelay();
    return;
  }
  dispatch::Queue queue = [] {
    auto& s = reg();
    std::lock_guard lock(s.mutex);
    if (!s.queue) s.queue = dispatch::Queue::serial(std::string(kRegisterQueueLabel));
    return *s.queue;
  }();
  queue.async([] { registerUserInternal(); });
}

void RerAviror::registerUserAfterDelay() {
  // Only the delayed registration: a scheduled tag send stays.
  cancelMainThreadPerform(performTarget(), "registerUser");
  performOnMainThreadAfterDelay(performTarget(), "registerUser", registrationRetryDelay(), [] { registerUser(); });
}

// ---- the record ----

foundation::Dict RerAviror::registrationRecord() {
  foundation::Dict record;
  // An absent base value leaves out only its own key.
  if (auto appId = app_id()) record.set("app_id", *appId);
  record.set("device_os", platform::ui::Device::current().system_version());
  record.set("timezone", static_cast<std::int64_t>(platform::os::ProcessInfo::shared().seconds_from_gmt()));
  record.set("device_type", std::int64_t{0});
  if (const auto vendorId = platform::ui::Device::current().identifier_for_vendor();
      vendorId != foundation::Uuid()) {
    record.set("ad_id", vendorId.string());
  }
  record.set("sdk", sdk_version_raw());

  if (const std::string machine = platform::os::uname().machine; !machine.empty()) record.set("device_model", machine);
  const auto& bundle = platform::os::Bundle::main();
  if (const auto* version = bundle.object_for_info_key("CFBundleVersion").string())
    record.set("game_version", *version);
  record.set("net_type", getNetType());
  if (!currentSubscriptionState()->userId()) {
    record.set("sdk_type", mSDKType());
    if (auto identifier = bundle.identifier()) record.set("ios_bundle", *identifier);
  }
  if (const auto& languages = platform::os::profile().preferred_languages; !languages.empty())
    record.set("language", languages.front());
  const std::int32_t types = getNotificationTypes();
  setLastNotificationTypes(types);
  record.set("notification_types", std::int64_t{types});
  if (auto adId = advertisingIdentifierText()) record.set("as_id", *adId);
  if (auto carrier = carrierNameText()) record.set("carrier", *carrier);
  if (const auto mode = RerAvirorMobileProvision::releaseMode(); mode >= 1 && mode <= 3)
    record.set("test_type", static_cast<std::int64_t>(mode));
  return record;
}

void RerAviror::registerUserInternal() {
  if (consentMissing() || !shouldRegisterNow()) return;
  RerAvirorTrackDavidizeAnalytics::trackInfluenceOpenEvent();
  reg().inProgress = true;
  cancelMainThreadPerform(performTarget(), "registerUser");

  foundation::Dict record = registrationRecord();
  std::vector<std::shared_ptr<OSPendingCallbacks>> tagCallbacks;
  std::optional<foundation::Dict> tags = takePendingTags(tagCallbacks);
  if (tags) record.set("tags", *tags);

  writeLogLine(kLogVerbose, "Calling RerAviror create/on_session");

  if (auto location = takeLastLocation()) {
    record.set("lat", location->latitude);
    record.set("long", location->longitude);
    record.set("loc_acc_vert", location->verticalAccuracy);
    record.set("loc_acc", location->horizontalAccuracy);
  }

  auto subscription = currentSubscriptionState();
  foundation::Dict pushRecord = record;
  if (auto token = subscription->pushToken()) pushRecord.set("identifier", *token);
  std::map<std::string, std::shared_ptr<RerAvirorRequest>> requests;
  requests["push"] = OSRequestRegisterUser::withData(std::move(pushRecord), subscription->userId());

  auto email = currentEmailSubscriptionState();
  const auto emailUserId = email->emailUserId();
  const auto authCode = email->emailAuthCode();
  if (emailUserId && (!email->requiresEmailAuth() || authCode)) {
    foundation::Dict emailRecord = record;
    emailRecord.set("device_type", std::int64_t{11});
    if (authCode) emailRecord.set("email_auth_hash", *authCode);
    requests["email"] = OSRequestRegisterUser::withData(std::move(emailRecord), emailUserId);
  }

  RerAvirorClient::sharedClient().executeSimultaneousRequests(
      std::move(requests),
      [tags, tagCallbacks](const std::map<std::string, foundation::Dict>& results) {
        registrationSucceeded(results, tags, tagCallbacks);
      },
      [tagCallbacks](const std::map<std::string, foundation::Error>& errors) {
        registrationFailed(errors, tagCallbacks);
      });
}

// ---- push token ----

void RerAviror::updateDeviceToken(const std::string& deviceToken, OSResultSuccessBlock successBlock,
                                  OSFailureBlock failureBlock) {
  constexpr std::string_view kName = "updateDeviceToken:onSuccess:onFailure:";
  if (shouldLogMissingPrivacyConsentErrorWithMethodName(kName)) return;
  writeLogLine(kLogVerbose, kName);
  auto adapter = osNotificationSettings();
  if (adapter) adapter->onAPNsResponse(true);

  auto subscription = currentSubscriptionState();
  const auto stored = subscription->pushToken();
  reg().nextHighPriority = stored != deviceToken || getNotificationTypes() != lastNotificationTypes();

  const auto userId = subscription->userId();
  if (!userId) {
    subscription->setPushToken(deviceToken);
    {
      std::lock_guard lock(reg().mutex);
      reg().pendingTokenSuccess = std::move(successBlock);
      reg().pendingTokenFailure = std::move(failureBlock);
    }
    auto decide = [](const std::shared_ptr<OSPermissionState>& state) {
      if (state && (state->answeredPrompt() || state->provisional())) {
        registerUser();
      } else {
        registerUserAfterDelay();
      }
    };
    if (adapter) {
      adapter->getNotificationPermissionState(decide);
    } else {
      decide(currentPermissionState());
    }
    return;
  }

  if (stored == deviceToken) {
    if (successBlock) successBlock(std::nullopt);
    return;
  }

  subscription->setPushToken(deviceToken);
  writeLogLine(kLogVerbose, "Calling RerAviror PUT updated pushToken!");
  auto request = OSRequestUpdateDeviceToken::withUserId(userId, app_id(), deviceToken, getNotificationTypes(),
                                                        std::nullopt, std::nullopt, std::nullopt);
  RerAvirorClient::sharedClient().executeRequest(std::move(request), std::move(successBlock),
                                                 std::move(failureBlock));
  fireIdsAvailableCallback();
}

// ---- notification types ----

bool RerAviror::sendNotificationTypesUpdate() {
  if (consentMissing()) return false;
  const std::int32_t types = getNotificationTypes();
  auto subscription = currentSubscriptionState();
  const auto userId = subscription->userId();
  if (types == -1 || !userId || types == lastNotificationTypes()) return false;

  if (!subscription->pushToken() && registerForAPNsToken()) return true;

  setLastNotificationTypes(types);
  setShouldDelaySubscriptionSettingsUpdate(true);
  // Either answer ends the delay, so subscription observers hear the delayed change.
  auto endDelay = [] { endSubscriptionSettingsDelay(); };
  auto request = OSRequestUpdateNotificationTypes::withUserId(userId, app_id(), types);
  RerAvirorClient::sharedClient().executeRequest(
      std::move(request), [endDelay](const std::optional<foundation::Dict>&) { endDelay(); },
      [endDelay](const foundation::Error&) { endDelay(); });
  if (getUsableDeviceToken()) fireIdsAvailableCallback();
  return true;
}

void RerAviror::endSubscriptionSettingsDelay() {
  setShouldDelaySubscriptionSettingsUpdate(false);
  auto current = currentSubscriptionState();
  if (current->delayedObserverUpdate()) current->setAccepted(getNotificationTypes() > 0);
}

// ---- purchases ----

void RerAviror::sendPurchases(const foundation::Array& purchases) {
  if (consentMissing()) return;
  const auto userId = currentSubscriptionState()->userId();
  if (!userId) return;
  std::map<std::string, std::shared_ptr<RerAvirorRequest>> requests;
  requests["push"] = OSRequestSendPurchases::withUserId(userId, app_id(), purchases);
  auto email = currentEmailSubscriptionState();
  if (auto emailUserId = email->emailUserId()) {
    requests["email"] = OSRequestSendPurchases::withUserId(emailUserId, email->emailAuthCode(), app_id(), purchases);
  }
  RerAvirorClient::sharedClient().executeSimultaneousRequests(std::move(requests), nullptr, nullptr);
}

}  // namespace push
