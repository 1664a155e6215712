#pragma once
// Notification types of the profiles below 10, used through the application object.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/value.h"
#include "platform/notify/types.h"

namespace platform::notify {

// Registered user-notification settings: AuthorizationOption bits and categories.
struct LegacySettings {
  std::uint32_t types = 0;
  std::vector<Category> categories;
};

namespace sel {
// "UILocalNotification" answers it from 8.2 on (the alert_title field).
inline const rt::Sel<std::string()> alert_title{"alertTitle"};
}  // namespace sel

// Runtime class "UILocalNotification".
class LocalNotification : public rt::Object {
 public:
  explicit LocalNotification(rt::Class& cls) : rt::Object(cls) {}
  // An instance of "UILocalNotification" (of NSObject when that class is not registered).
  static std::shared_ptr<LocalNotification> make();

  std::string alert_title, alert_body;
  foundation::Dict user_info;
  std::optional<std::string> sound_name;
  std::int64_t application_icon_badge_number = 0;
  std::string category;
  std::optional<foundation::Date> fire_date;  // nullopt: at once
};

// The permission prompt of the legacy settings registration. It follows the
// profile's push.prompt_answer like the centre's: "allow" and "deny" decide at
// the first request; "ask" waits for system::answer_authorization(). Once
// decided, the answer stays.
namespace legacy {
// `answer` gets whether the user allowed: on the calling thread when the
// prompt is decided, otherwise on the thread that answers it.
void request_authorization(std::function<void(bool granted)> answer);
// nullopt while undecided.
std::optional<bool> authorization();
}  // namespace legacy

}  // namespace platform::notify
