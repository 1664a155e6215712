#pragma once
// The push environment read from an embedded provisioning profile: the
// plist between binary junk, its "Entitlements.aps-environment" and the
// report of every fallback. Pure function, any thread.
#include <optional>
#include <span>
#include <string>

#include "platform/foundation/error.h"

namespace identity {

struct PushEnvironmentDecision {
  bool production = true;
  // The configuration report (one of the fixed messages), when there is one.
  std::optional<std::string> report;
  // The profile lists "ProvisionedDevices" (debug log 3012).
  bool provisionedDevices = false;
  // The "%@" text of "Entitlements.aps-environment" when the plist parsed
  // as a dictionary (debug log 3013).
  std::optional<std::string> apsEnvironmentText;
};

// `profile` is the file's bytes, or nullopt when it could not be read
// (`readError` then says why).
PushEnvironmentDecision decidePushEnvironment(std::optional<std::span<const std::uint8_t>> profile,
                                              const std::optional<platform::foundation::Error>& readError);

}  // namespace identity
