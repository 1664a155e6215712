// The prompt's fall-back to the system settings and the facade switches:
// subscription, location sharing, the hashed e-mail address, and the calls
// of an application's blocks on the main queue.
#include "push/prompt.h"

#include <atomic>
#include <mutex>

#include "platform/os/bundle.h"
#include "platform/os/preferences.h"
#include "platform/ui/application.h"
#include "push/client.h"
#include "push/device_facts.h"
#include "push/dialog.h"
#include "push/location.h"
#include "push/log.h"
#include "push/notification_settings.h"
#include "push/reraviror.h"
#include "push/states.h"
#include "push/utilities.h"

namespace push {

namespace {

std::atomic<bool> g_locationShared{true};
// Never destroyed, like the rest of the facade state.
std::mutex& g_hashedEmailMutex = *new std::mutex;
std::optional<std::string>& g_hashedEmailToSync = *new std::optional<std::string>;

// White space (spaces and tabs) off both ends; line breaks stay.
std::string trimBlanks(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t");
  return std::string(text.substr(first, last - first + 1));
}

std::string promptLocalized(std::string_view key) { return platform::os::Bundle::main().localized_string(key, ""); }

}  // namespace

void RerAviror::promptForPushNotificationsWithUserResponse(std::function<void(bool accepted)> completion,
                                                           bool fallbackToSettings) {
  auto adapter = osNotificationSettings();
  const bool fallback = fallbackToSettings && currentPermissionState()->hasPrompted() && adapter &&
                        adapter->getNotificationTypes() == 0;
  if (!fallback) {
    promptForPushNotificationsWithUserResponse(std::move(completion));
    return;
  }
  if (completion) completion(false);
  const auto& plistMessage = platform::os::Bundle::main().object_for_info_key(kSettingsFallbackMessageKey);
  std::string message =
      plistMessage.string() ? *plistMessage.string() : promptLocalized(kSettingsFallbackDefaultMessage);
  RerAvirorDialogController::sharedInstance()->presentDialogWithTitle(
      promptLocalized("Open Settings"), std::move(message), promptLocalized("Open Settings"), promptLocalized("Cancel"),
      [](bool accepted) {
        if (accepted) presentAppSettings();
      });
}

void RerAviror::presentAppSettings() {
  if (!isIOSVersionGreaterOrEqual(10.0)) return;
  const auto url = foundation::Url::parse(kOpenSettingsURLString);
  if (!url) return;
  auto* app = platform::ui::Application::shared();
  if (app && app->can_open_url(*url)) {
    app->open_url(*url, foundation::Dict{}, nullptr);
  } else {
    writeLogLine(kLogError, "Unable to open settings for this application");
  }
}

void RerAviror::setSubscription(bool enable) {
  if (shouldLogMissingPrivacyConsentErrorWithMethodName("setSubscription:")) return;
  auto& defaults = platform::os::UserDefaults::standard();
  defaults.set("RERAVIROR_SUBSCRIPTION",
               enable ? std::nullopt : std::optional<foundation::Value>(std::in_place, "no"));
  defaults.synchronize();
  setShouldDelaySubscriptionSettingsUpdate(true);
  currentSubscriptionState()->setUserSubscriptionSetting(enable);
  // Only an update sent records its types; without one (no player id yet, no
  // change, a token still to come) no answer would ever end the delay, and
  // subscription observers would stay silent for the rest of the process.
  const std::int32_t before = lastNotificationTypes();
  if (app_id()) sendNotificationTypesUpdate();
  if (lastNotificationTypes() == before) endSubscriptionSettingsDelay();
}

void RerAviror::setLocationShared(bool enable) { g_locationShared = enable; }
bool RerAviror::locationShared() { return g_locationShared; }

void RerAviror::promptLocation() {
  if (shouldLogMissingPrivacyConsentErrorWithMethodName("promptLocation")) return;
  RerAvirorLocation::getLocation(true);
}

void RerAviror::syncHashedEmail(const std::optional<std::string>& email) {
  if (shouldLogMissingPrivacyConsentErrorWithMethodName("syncHashedEmail:")) return;
  if (!email) {
    writeLogLine(kLogWarn, "RerAviror syncHashedEmail: The provided email is nil");
    return;
  }
  const std::string trimmed = trimBlanks(*email);
  if (!isValidEmail(trimmed)) {
    writeLogLine(kLogWarn, "RerAviror syncHashedEmail: The provided email is invalid");
    return;
  }
  const auto userId = currentSubscriptionState()->userId();
  if (!userId) {
    std::lock_guard lock(g_hashedEmailMutex);
    g_hashedEmailToSync = *email;
    return;
  }
  RerAvirorClient::sharedClient().executeRequest(
      OSRequestSyncHashedEmail::withUserId(userId, app_id(), trimmed, getNetType()), nullptr, nullptr);
}

void RerAviror::syncPendingHashedEmail() {
  std::optional<std::string> parked;
  {
    std::lock_guard lock(g_hashedEmailMutex);
    parked.swap(g_hashedEmailToSync);
  }
  if (parked) syncHashedEmail(parked);
}

std::optional<std::string> RerAviror::hashedEmailToSync() {
  std::lock_guard lock(g_hashedEmailMutex);
  return g_hashedEmailToSync;
}

void clearPromptStatics() {
  g_locationShared = true;
  std::lock_guard lock(g_hashedEmailMutex);
  g_hashedEmailToSync.reset();
}

void RerAviror::callSuccessBlockOnMainThread(std::function<void()> block) {
  if (!block) return;
  dispatch_async_on_main_queue(std::move(block));
}

void RerAviror::callFailureBlockOnMainThread(std::function<void(const foundation::Error&)> block,
                                             const foundation::Error& error) {
  if (!block) return;
  dispatch_async_on_main_queue([block = std::move(block), error] { block(error); });
}

}  // namespace push
