#include "app/opened_result.h"

namespace app {

std::optional<platform::foundation::Dict> additionalDataOf(const std::shared_ptr<push::OSNotificationOpenedResult>&) {
  return std::nullopt;
}

}  // namespace app
