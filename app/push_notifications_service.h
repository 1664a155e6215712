#pragma once
#include <string>

namespace app {

// Sends a device token to the configured site as a form post. Nothing in the
// app calls it; it stands ready beside the player-id registration.
class ASPushNotificationsService {
 public:
  // Without a base address nothing is sent. Otherwise a POST to the base
  // address's text + "/intranet/rest/device/" with "content-type:
  // application/json" and the form body device_token=<token>&device_type=ios;
  // the reply prints "registerPushNotificationWithDeviceToken result: <value>"
  // (nothing after the blank on failure).
  static void registerPushNotificationWithDeviceToken(const std::string& deviceToken);
};

}  // namespace app
