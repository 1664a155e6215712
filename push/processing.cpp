// Received and opened notification processing.
#include "push/reraviror.h"

namespace push {

void RerAviror::notificationBlocks(OSHandleNotificationReceivedBlock, OSHandleNotificationActionBlock) {}
void RerAviror::clearBadgeCount(bool) {}
void RerAviror::startAnalyticsBridge() {}

}  // namespace push
