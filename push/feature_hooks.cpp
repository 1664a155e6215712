// Facade features reached from start-up, registration and focus changes;
// each does nothing until its feature is built.
#include "push/reraviror.h"

namespace push {

void RerAviror::downloadIOSParamsWithAppId(const std::string&) {}
void RerAviror::getLocation(bool) {}
void RerAviror::startPurchaseTracker() {}
void RerAviror::onFocus(bool) {}
void RerAviror::onfocus(const std::string&) {}
std::optional<foundation::Dict> RerAviror::takePendingTags(std::vector<std::shared_ptr<OSPendingCallbacks>>&) {
  return std::nullopt;
}
bool RerAviror::hasPendingTags() { return false; }
void RerAviror::sendTagsToServer() {}
std::optional<OSLastLocation> RerAviror::takeLastLocation() { return std::nullopt; }
void RerAviror::sendLocation() {}
void RerAviror::replayPendingEmail() {}
void RerAviror::emailChangedWithNewEmailPlayerId(const std::string&) {}
void RerAviror::syncPendingHashedEmail() {}
void RerAviror::runPendingGetTags() {}

}  // namespace push
