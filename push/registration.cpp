// Device registration with the push service.
#include "push/reraviror.h"

namespace push {

void RerAviror::registerUser() {}
void RerAviror::registerUserAfterDelay() {}
void RerAviror::sendNotificationTypesUpdate() {}

}  // namespace push
