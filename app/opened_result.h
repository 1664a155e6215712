#pragma once
// The opened notification's additional data: result -> notification ->
// payload -> additionalData, none at any missing step.
#include <memory>
#include <optional>

#include "platform/foundation/value.h"
#include "push/startup.h"

namespace app {

std::optional<platform::foundation::Dict> additionalDataOf(const std::shared_ptr<push::OSNotificationOpenedResult>& result);

}  // namespace app
