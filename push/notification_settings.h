#pragma once
// The permission adapter's protocol: how the facade asks the OS about push
// permission. Every adapter writes what it learns into the facade's current
// permission state and hands that object to its caller.
#include <cstdint>
#include <functional>
#include <memory>

namespace push {

class OSPermissionState;

class RerAvirorNotificationSettings {
 public:
  virtual ~RerAvirorNotificationSettings() = default;
  virtual std::int32_t getNotificationTypes() = 0;
  virtual std::shared_ptr<OSPermissionState> getNotificationPermissionState() = 0;
  virtual void getNotificationPermissionState(std::function<void(std::shared_ptr<OSPermissionState>)> completion) = 0;
  virtual void promptForNotifications(std::function<void(bool accepted)> completion) = 0;
  virtual void registerForProvisionalAuthorization(std::function<void(bool accepted)> completion) = 0;
  virtual void onNotificationPromptResponse(std::int32_t notificationTypes) = 0;
  virtual void onAPNsResponse(bool success) = 0;
};

}  // namespace push
