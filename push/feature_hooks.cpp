// Facade features reached from start-up, registration and focus changes;
// each does nothing until its feature is built.
#include "push/reraviror.h"

namespace push {

void RerAviror::downloadIOSParamsWithAppId(const std::string&) {}
void RerAviror::getLocation(bool) {}
void RerAviror::startPurchaseTracker() {}
void RerAviror::onFocus(bool) {}
void RerAviror::onfocus(const std::string&) {}

}  // namespace push
