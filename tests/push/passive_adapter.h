#pragma once
// A permission adapter that asks nothing of the OS and changes no state: the
// facade's own adapter in tests that drive a real adapter, or the centre,
// by hand.
#include <memory>

#include "push/notification_settings.h"
#include "push/reraviror.h"
#include "push/states.h"

namespace push::test {

class PassiveAdapter : public RerAvirorNotificationSettings {
 public:
  std::int32_t getNotificationTypes() override { return 0; }
  std::shared_ptr<OSPermissionState> getNotificationPermissionState() override {
    return RerAviror::currentPermissionState();
  }
  void getNotificationPermissionState(std::function<void(std::shared_ptr<OSPermissionState>)> completion) override {
    if (completion) completion(RerAviror::currentPermissionState());
  }
  void promptForNotifications(std::function<void(bool)> completion) override {
    if (completion) completion(false);
  }
  void registerForProvisionalAuthorization(std::function<void(bool)> completion) override {
    if (completion) completion(false);
  }
  void onNotificationPromptResponse(std::int32_t) override {}
  void onAPNsResponse(bool) override {}
};

}  // namespace push::test
