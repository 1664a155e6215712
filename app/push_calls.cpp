#include "app/push_calls.h"

#include "push/reraviror.h"
#include "push/states.h"

namespace app {

PushCalls facade_push_calls() {
  PushCalls calls;
  calls.initWithLaunchOptions = [](std::optional<platform::foundation::Dict> launchOptions, std::string appId,
                                   push::OSHandleNotificationReceivedBlock received,
                                   push::OSHandleNotificationActionBlock opened, platform::foundation::Dict settings) {
    push::RerAviror::initWithLaunchOptions(std::move(launchOptions), std::move(appId), std::move(received),
                                           std::move(opened), std::move(settings));
  };
  calls.setInFocusDisplayType = [](std::int64_t type) { push::RerAviror::setInFocusDisplayType(type); };
  calls.promptForPushNotificationsWithUserResponse = [](std::function<void(bool)> response) {
    push::RerAviror::promptForPushNotificationsWithUserResponse(std::move(response));
  };
  calls.subscriptionUserId = []() -> std::optional<std::string> {
    auto state = push::RerAviror::getPermissionSubscriptionState();
    if (!state) return std::nullopt;
    auto subscription = state->subscriptionStatus();
    if (!subscription) return std::nullopt;
    return subscription->userId();
  };
  return calls;
}

PushCalls& push_calls() {
  static PushCalls* const calls = new PushCalls(facade_push_calls());
  return *calls;
}

}  // namespace app
