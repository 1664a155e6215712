#include "app/opened_result.h"

#include "push/notification.h"
#include "push/payload.h"

namespace app {

std::optional<platform::foundation::Dict> additionalDataOf(const std::shared_ptr<push::OSNotificationOpenedResult>& result) {
  if (!result) return std::nullopt;
  const auto& notification = result->notification();
  if (!notification) return std::nullopt;
  const auto& payload = notification->payload();
  if (!payload) return std::nullopt;
  return payload->additionalData();
}

}  // namespace app
