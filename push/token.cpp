// Token requests, the notification-types value, the plain prompt and the
// ids-available block.
#include <atomic>
#include <mutex>
#include <string>

#include "platform/foundation/value.h"
#include "platform/os/bundle.h"
#include "platform/os/preferences.h"
#include "platform/ui/application.h"
#include "push/log.h"
#include "push/notification_settings.h"
#include "push/reraviror.h"
#include "push/states.h"
#include "push/utilities.h"

namespace push {

namespace {

std::atomic<bool> g_remoteNotificationModeDeclared{false};

struct IdsState {
  std::mutex mutex;
  RerAviror::OSIdsAvailableBlock block;
};
IdsState& ids() {
  static IdsState* s = new IdsState();
  return *s;
}

// The permission state as the adapter reports it; the facade's current one without an adapter.
std::shared_ptr<OSPermissionState> permissionFromAdapter() {
  if (auto adapter = RerAviror::osNotificationSettings()) {
    if (auto state = adapter->getNotificationPermissionState()) return state;
  }
  return RerAviror::currentPermissionState();
}

bool remoteNotificationModeDeclared() {
  const auto& modes = platform::os::Bundle::main().object_for_info_key("UIBackgroundModes");
  if (const auto* list = modes.array()) {
    for (const auto& mode : *list)
      if (mode == foundation::Value("remote-notification")) return true;
  }
  return false;
}

}  // namespace

bool RerAviror::registerForAPNsToken() {
  if (!isIOSVersionGreaterOrEqual(8.0)) return false;
  if (waitingForApnsResponse()) return true;
  g_remoteNotificationModeDeclared = remoteNotificationModeDeclared();
  if (!permissionFromAdapter()->accepted() && !g_remoteNotificationModeDeclared) return false;
  if (mSubscriptionStatus() < -9) return false;
  writeLogLine(kLogVerbose, "Firing registerForRemoteNotifications");
  setWaitingForApnsResponse(true);
  if (auto* app = platform::ui::Application::shared()) app->register_for_remote_notifications();
  return true;
}

std::int32_t RerAviror::getNotificationTypes() {
  const std::int32_t status = mSubscriptionStatus();
  writeLogLine(kLogVerbose, "getNotificationTypes:mSubscriptionStatus: " + std::to_string(status));
  if (status < -9) return status;
  auto subscription = currentSubscriptionState();
  if (waitingForApnsResponse() && !subscription->pushToken()) return -14;
  auto permission = permissionFromAdapter();
  if (!permission->provisional() && !permission->hasPrompted()) return -18;
  if (!permission->provisional() && !permission->answeredPrompt()) return -19;
  if (!subscription->userSubscriptionSetting()) return -2;
  return permission->notificationTypes();
}

void RerAviror::setSubscriptionErrorStatus(std::int32_t errorType) {
  writeLogLine(kLogVerbose, "setSubscriptionErrorStatus: " + std::to_string(errorType));
  setMSubscriptionStatus(errorType);
  if (currentSubscriptionState()->userId()) {
    sendNotificationTypesUpdate();
  } else {
    registerUser();
  }
}

void RerAviror::updateNotificationTypes(std::int32_t notificationTypes) {
  writeLogLine(kLogVerbose, "updateNotificationTypes called: " + std::to_string(notificationTypes));
  if (!isIOSVersionGreaterOrEqual(10.0)) {
    auto& defaults = platform::os::UserDefaults::standard();
    defaults.set("OS_NOTIFICATION_PROMPT_ANSWERED", std::optional<foundation::Value>(std::in_place, true));
    defaults.synchronize();
  }
  const bool startedRegister = registerForAPNsToken();
  writeLogLine(kLogVerbose, std::string("startedRegister: ") + (startedRegister ? "1" : "0"));
  if (auto adapter = osNotificationSettings()) adapter->onNotificationPromptResponse(notificationTypes);
  if (mSubscriptionStatus() == -2) return;
  auto subscription = currentSubscriptionState();
  if (!subscription->userId() && !startedRegister) {
    registerUser();
  } else if (subscription->pushToken()) {
    sendNotificationTypesUpdate();
  }
  if (getUsableDeviceToken()) fireIdsAvailableCallback();
}

std::optional<std::string> RerAviror::getUsableDeviceToken() {
  if (mSubscriptionStatus() <= -2) return std::nullopt;
  if (!currentPermissionState()->accepted()) return std::nullopt;
  return currentSubscriptionState()->pushToken();
}

void RerAviror::promptForPushNotificationsWithUserResponse(std::function<void(bool accepted)> completion) {
  if (shouldLogMissingPrivacyConsentErrorWithMethodName("promptForPushNotificationsWithUserResponse:")) return;
  writeLogLine(kLogVerbose, std::string("registerForPushNotifications Called:waitingForApnsResponse: ") +
                                (waitingForApnsResponse() ? "1" : "0"));
  currentPermissionState()->setHasPrompted(true);
  if (auto adapter = osNotificationSettings()) adapter->promptForNotifications(std::move(completion));
}

void RerAviror::registerForPushNotifications() {
  if (shouldLogMissingPrivacyConsentErrorWithMethodName("registerForPushNotifications:")) return;
  promptForPushNotificationsWithUserResponse(nullptr);
}

void RerAviror::IdsAvailable(OSIdsAvailableBlock idsAvailableBlock) {
  if (shouldLogMissingPrivacyConsentErrorWithMethodName("IdsAvailable:")) return;
  {
    std::lock_guard lock(ids().mutex);
    ids().block = std::move(idsAvailableBlock);
  }
  fireIdsAvailableCallback();
}

void RerAviror::fireIdsAvailableCallback() {
  if (shouldLogMissingPrivacyConsentErrorWithMethodName(std::nullopt)) return;
  {
    std::lock_guard lock(ids().mutex);
    if (!ids().block) return;
  }
  if (!currentSubscriptionState()->userId()) return;
  dispatch_async_on_main_queue([] {
    const auto userId = currentSubscriptionState()->userId();
    const auto token = getUsableDeviceToken();
    OSIdsAvailableBlock block;
    {
      std::lock_guard lock(ids().mutex);
      block = ids().block;
      if (token) ids().block = nullptr;
    }
    if (block && userId) block(*userId, token);
  });
}

// ---- token arrival ----

void RerAviror::didRegisterForRemoteNotifications(platform::ui::Application*, const foundation::Bytes& deviceToken) {
  if (shouldLogMissingPrivacyConsentErrorWithMethodName(std::nullopt)) return;
  if (deviceToken.empty()) {
    writeLogLine(kLogError, "Device token from Apple is empty; it is ignored");
    return;
  }
  const std::string token = foundation::hex_lower(deviceToken);
  writeLogLine(kLogInfo, "Device Registered with Apple: " + token);
  setWaitingForApnsResponse(false);
  if (!app_id()) return;
  updateDeviceToken(
      token,
      [](const std::optional<foundation::Dict>&) {
        writeLogLine(kLogInfo,
                     "Device Registered with RerAviror: " + currentSubscriptionState()->userId().value_or("(null)"));
      },
      [](const foundation::Error& error) {
        writeLogLine(kLogError, "Error in RerAviror Registration: " + error.description());
      });
}

void RerAviror::handleDidFailRegisterForRemoteNotification(const foundation::Error& error) {
  setWaitingForApnsResponse(false);
  std::int32_t status;
  std::string message;
  if (error.code == 3000) {
    if (error.localized_description().find("no valid 'aps-environment'") != std::string::npos) {
      status = -13;
      message =
          "ERROR! 'Push Notification' capability not turned on! Enable it in Xcode under 'Project Target' -> "
          "Capability.";
    } else {
      status = -17;
      message = "ERROR! Unknown 3000 error returned from APNs when getting a push token: " + error.description();
    }
  } else if (error.code == 3010) {
    status = -15;
    message = "Error! iOS Simulator does not support push! Please test on a real iOS device. Error: " +
              error.description();
  } else {
    status = -16;
    message = "Error registering for Apple push notifications! Error: " + error.description();
  }
  setSubscriptionErrorStatus(status);
  writeLogLine(kLogError, message);
  if (auto adapter = osNotificationSettings()) adapter->onAPNsResponse(false);
}

}  // namespace push
