#pragma once
// The permission adapters per OS generation: over the notification centre
// (10.0 and later), the application's user-notification settings (8.0 and
// later) and remote-notification registration (below 8.0).
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/dispatch/queue.h"
#include "push/notification_settings.h"

namespace push {

// The adapter for the device's OS version. The facade makes one and keeps it.
std::shared_ptr<RerAvirorNotificationSettings> makeNotificationSettingsAdapter();

class RerAvirorNotificationSettingsIOS10 : public RerAvirorNotificationSettings {
 public:
  // Makes the adapter queue afresh, replacing the one made before.
  RerAvirorNotificationSettingsIOS10();
  // The serial queue "com.reraviror.notification.settings.ios10".
  static platform::dispatch::Queue getQueue();

  std::int32_t getNotificationTypes() override;
  // Waits up to 100 ms for the centre; the answer is always the facade's
  // current permission state, filled in later when the centre answers late.
  std::shared_ptr<OSPermissionState> getNotificationPermissionState() override;
  void getNotificationPermissionState(std::function<void(std::shared_ptr<OSPermissionState>)> completion) override;
  void promptForNotifications(std::function<void(bool accepted)> completion) override;
  void registerForProvisionalAuthorization(std::function<void(bool accepted)> completion) override;
  void onNotificationPromptResponse(std::int32_t) override {}
  void onAPNsResponse(bool) override {}

  std::shared_ptr<OSPermissionState> defaultPermissionState();
  bool useCachedStatus() const { return *useCachedStatus_; }
  void setUseCachedStatus(bool value) { *useCachedStatus_ = value; }

 private:
  // Shared with answers still queued when the adapter goes away.
  std::shared_ptr<std::atomic<bool>> useCachedStatus_ = std::make_shared<std::atomic<bool>>(false);
};

// The pending prompt block of the two older adapters.
class PendingPromptCallback {
 public:
  void set(std::function<void(bool)> callback);
  // Calls the pending block, if any, and drops it.
  void answer(bool accepted);

 private:
  std::mutex mutex_;
  std::function<void(bool)> notificationPromptReponseCallback_;
};

class RerAvirorNotificationSettingsIOS8 : public RerAvirorNotificationSettings {
 public:
  std::int32_t getNotificationTypes() override;
  std::shared_ptr<OSPermissionState> getNotificationPermissionState() override;
  void getNotificationPermissionState(std::function<void(std::shared_ptr<OSPermissionState>)> completion) override;
  void promptForNotifications(std::function<void(bool accepted)> completion) override;
  void registerForProvisionalAuthorization(std::function<void(bool)>) override {}
  void onNotificationPromptResponse(std::int32_t notificationTypes) override;
  void onAPNsResponse(bool) override {}

 private:
  PendingPromptCallback pending_;
};

class RerAvirorNotificationSettingsIOS7 : public RerAvirorNotificationSettings {
 public:
  std::int32_t getNotificationTypes() override;
  std::shared_ptr<OSPermissionState> getNotificationPermissionState() override;
  void getNotificationPermissionState(std::function<void(std::shared_ptr<OSPermissionState>)> completion) override;
  void promptForNotifications(std::function<void(bool accepted)> completion) override;
  void registerForProvisionalAuthorization(std::function<void(bool)>) override {}
  void onNotificationPromptResponse(std::int32_t) override {}
  void onAPNsResponse(bool success) override;

 private:
  PendingPromptCallback pending_;
};

}  // namespace push
