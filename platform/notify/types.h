#pragma once
// Value types of user notifications: options, settings, content, categories,
// triggers, requests, delivered notifications and the responses to them.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/url.h"
#include "platform/foundation/value.h"
#include "platform/runtime/runtime.h"

namespace platform::notify {

enum AuthorizationOption : std::uint32_t {
  badge = 1, sound = 2, alert = 4, car_play = 8, critical = 16, provides_app_settings = 32, provisional = 64
};
enum class AuthorizationStatus { not_determined = 0, denied = 1, authorized = 2, provisional = 3 };
enum class Setting { not_supported = 0, disabled = 1, enabled = 2 };

struct Settings {
  AuthorizationStatus authorization_status = AuthorizationStatus::not_determined;
  Setting badge = Setting::not_supported, sound = Setting::not_supported, alert = Setting::not_supported,
          lock_screen = Setting::not_supported, notification_center = Setting::not_supported;
};

struct Sound {
  std::optional<std::string> name;  // nullopt: the default sound
};

struct Attachment {
  std::string identifier;
  foundation::Url url;
  foundation::Dict options;
};

struct Content {
  std::string title, subtitle, body;
  std::optional<std::int64_t> badge;
  std::optional<Sound> sound;
  foundation::Dict user_info;
  std::string category_identifier;
  std::vector<Attachment> attachments;
};

struct Action {
  std::string identifier, title;
  std::uint32_t options = 0;
};

struct Category {
  std::string identifier;
  std::vector<Action> actions;
  std::vector<std::string> intent_identifiers;
  std::uint32_t options = 0;
  // Legacy settings (below 10): the actions of the minimal context; `actions`
  // are the default context's.
  std::vector<Action> minimal_actions{};
};

struct Trigger {
  enum Kind { push, time_interval } kind = push;
  double interval = 0;  // seconds, time_interval only
  bool repeats = false;
  bool content_available = false;  // push only
};

struct Request {
  std::string identifier;
  Content content;
  std::optional<Trigger> trigger;  // nullopt: deliver at once
};

struct Notification {
  foundation::Date date;
  Request request;
};

// Action identifiers of the two built-in responses.
inline constexpr std::string_view default_action = "com.apple.UNNotificationDefaultActionIdentifier";
inline constexpr std::string_view dismiss_action = "com.apple.UNNotificationDismissActionIdentifier";

// Runtime class "UNNotificationResponse" (registered with the centre).
class Response : public rt::Object {
 public:
  explicit Response(rt::Class& cls) : rt::Object(cls) {}
  // A response of the registered class; nullptr when it is not registered.
  static std::shared_ptr<Response> make(Notification notification, std::string action_identifier);

  Notification notification;
  std::string action_identifier;
};

// Runtime class "UNTextInputNotificationResponse".
class TextInputResponse : public Response {
 public:
  explicit TextInputResponse(rt::Class& cls) : Response(cls) {}
  static std::shared_ptr<TextInputResponse> make(Notification notification, std::string action_identifier,
                                                 std::string user_text);

  std::string user_text;
};

inline constexpr std::string_view kCenterClass = "UNUserNotificationCenter";
inline constexpr std::string_view kResponseClass = "UNNotificationResponse";
inline constexpr std::string_view kTextInputResponseClass = "UNTextInputNotificationResponse";
inline constexpr std::string_view kLocalNotificationClass = "UILocalNotification";

}  // namespace platform::notify
