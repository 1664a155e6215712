// Device registration with the push service.
#include "platform/dispatch/dispatch.h"
#include "push/reraviror.h"

namespace push {

void RerAviror::registerUser() {}
void RerAviror::registerUserAfterDelay() {}
void RerAviror::registerUserInternal() {}
bool RerAviror::shouldRegisterNow() { return false; }
bool RerAviror::isHighPriorityCall() { return false; }
void RerAviror::setNextRegistrationHighPriority(bool) {}
bool RerAviror::nextRegistrationHighPriority() { return false; }
bool RerAviror::registrationInProgress() { return false; }
void RerAviror::updateLastSessionDateTime() {}
std::optional<platform::dispatch::Queue> RerAviror::getRegisterQueue() { return std::nullopt; }
foundation::Dict RerAviror::registrationRecord() { return {}; }
void RerAviror::updateDeviceToken(const std::string&, OSResultSuccessBlock, OSFailureBlock) {}
bool RerAviror::sendNotificationTypesUpdate() { return false; }
void RerAviror::sendPurchases(const foundation::Array&) {}
const void* RerAviror::performTarget() {
  static const char target = 0;
  return &target;
}
void RerAviror::didRegisterForRemoteNotifications(platform::ui::Application*, const foundation::Bytes&) {}
void RerAviror::handleDidFailRegisterForRemoteNotification(const foundation::Error&) {}

}  // namespace push
