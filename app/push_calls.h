#pragma once
// The push client as the shell calls it: start-up, in-focus type, prompt and
// the subscription's player id. The default forwards to the push facade;
// tests put recording calls in its place.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/foundation/value.h"
#include "push/startup.h"

namespace app {

struct PushCalls {
  std::function<void(std::optional<platform::foundation::Dict> launchOptions, std::string appId,
                     push::OSHandleNotificationReceivedBlock received, push::OSHandleNotificationActionBlock opened,
                     platform::foundation::Dict settings)>
      initWithLaunchOptions;
  std::function<void(std::int64_t displayType)> setInFocusDisplayType;
  std::function<void(std::function<void(bool accepted)> response)> promptForPushNotificationsWithUserResponse;
  // getPermissionSubscriptionState -> subscriptionStatus -> userId; none at any missing step.
  std::function<std::optional<std::string>()> subscriptionUserId;
};

// The calls in use (the facade's unless replaced).
PushCalls& push_calls();
PushCalls facade_push_calls();

}  // namespace app
