#pragma once
// The notification centre's injected methods. RerAvirorUNUserNotificationCenter
// is a carrier class, never instantiated: its replacements go into
// UNUserNotificationCenter at load time and into the class of each object that
// becomes the centre's delegate.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/notify/center.h"
#include "platform/runtime/runtime.h"

namespace push {

namespace rt = platform::rt;

namespace center_sel {
using platform::notify::AuthorizationCompletion;
using platform::notify::Notification;
using platform::notify::PresentCompletion;
using platform::notify::SettingsCompletion;
using rt::Id;
using rt::Sel;

inline const Sel<void(Id)> setRerAvirorUNDelegate{"setRerAvirorUNDelegate:"};
inline const Sel<void(std::uint32_t, AuthorizationCompletion)> requestAuthorization{
    "reravirorRequestAuthorizationWithOptions:completionHandler:"};
inline const Sel<void(SettingsCompletion)> getNotificationSettings{
    "reravirorGetNotificationSettingsWithCompletionHandler:"};
inline const Sel<void(Id, Notification, PresentCompletion)> willPresent{
    "reravirorUserNotificationCenter:willPresentNotification:withCompletionHandler:"};
inline const Sel<void(Id, Id, std::function<void()>)> didReceive{
    "reravirorUserNotificationCenter:didReceiveNotificationResponse:withCompletionHandler:"};
}  // namespace center_sel

inline constexpr std::string_view kTypedTextKey = "UIUserNotificationActionResponseTypedTextKey";

class RerAvirorUNUserNotificationCenter {
 public:
  // Registers the carrier class; registering again changes nothing.
  static void registerCarrierClass();
  // The centre's three exchanges (load time).
  static void swizzleSelectors();
  static void setUseiOS10_2_workaround(bool enable);
  // The response's action is the platform's dismissal.
  static bool isDismissEvent(const rt::Id& response);
  // A tap on a push of the service: normalised and handed to the received road as opened.
  static void processiOS10Open(const rt::Id& response);
  // Forwards a centre callback to the application delegate's legacy selectors.
  static void callLegacyAppDeletegateSelector(const platform::notify::Notification& notification, bool isTextReply,
                                              std::optional<std::string> actionIdentifier,
                                              std::optional<std::string> userText, bool fromPresentNotification,
                                              std::function<void()> completionHandler);
};

}  // namespace push
