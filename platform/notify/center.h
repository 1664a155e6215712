#pragma once
// The user-notification centre (runtime class "UNUserNotificationCenter").
//
// * The class is registered by register_runtime_classes() only when the
//   profile lists "UserNotifications"; current() is nullptr otherwise.
// * The delegate setter and the authorisation and settings queries are runtime
//   methods (sel::center_set_delegate, sel::request_authorization,
//   sel::get_settings), so they can be exchanged; the C++ members below send them.
// * Every completion runs on the centre's own serial queue: never on the main
//   thread and never inline, so a caller may block its thread on the answer.
// * Authorisation follows the profile's push.prompt_answer: "allow" and "deny"
//   answer at once (asynchronously); "ask" waits for
//   system::answer_authorization(). Settings follow the answer.
// * Delegate messages (will-present, did-receive) are sent on the main thread
//   with rt::send after responds_to; see system.h.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/dispatch/queue.h"
#include "platform/foundation/error.h"
#include "platform/notify/types.h"

namespace platform::notify {

using AuthorizationCompletion = std::function<void(bool granted, std::optional<foundation::Error>)>;
using SettingsCompletion = std::function<void(Settings)>;
using PresentCompletion = std::function<void(std::uint32_t options)>;

namespace sel {
inline const rt::Sel<void(rt::Id)> center_set_delegate{"setDelegate:"};
inline const rt::Sel<void(std::uint32_t, AuthorizationCompletion)> request_authorization{
    "requestAuthorizationWithOptions:completionHandler:"};
inline const rt::Sel<void(SettingsCompletion)> get_settings{"getNotificationSettingsWithCompletionHandler:"};
// Sent to the centre's delegate.
inline const rt::Sel<void(rt::Id center, Notification, PresentCompletion)> will_present{
    "userNotificationCenter:willPresentNotification:withCompletionHandler:"};
inline const rt::Sel<void(rt::Id center, rt::Id response, std::function<void()>)> did_receive{
    "userNotificationCenter:didReceiveNotificationResponse:withCompletionHandler:"};
}  // namespace sel

void reset_for_testing();

class Center : public rt::Object {
 public:
  explicit Center(rt::Class& cls);

  // The process's centre; nullptr when the class is not registered.
  static std::shared_ptr<Center> current();

  rt::Id delegate() const;  // weak
  // Send the runtime methods (exchangeable).
  void set_delegate(rt::Id delegate);
  void request_authorization(std::uint32_t options, AuthorizationCompletion completion);
  void get_notification_settings(SettingsCompletion completion);

  // Keeps the last set handed over; the query always answers (empty when never set).
  void set_notification_categories(std::vector<Category> categories);
  void get_notification_categories(std::function<void(std::vector<Category>)> completion);

  // Delivered at once without a trigger or with a push trigger, otherwise once
  // the trigger interval has passed on the dispatch clock (repeating ones again
  // each interval). The completion reports the request as scheduled.
  void add(Request request, std::function<void(std::optional<foundation::Error>)> completion);
  void get_delivered(std::function<void(std::vector<Notification>)> completion);
  void remove_all_delivered();

  const dispatch::Queue& queue() const { return queue_; }

  // Original implementations of the runtime methods.
  void set_delegate_impl(rt::Id delegate);
  void request_authorization_impl(std::uint32_t options, AuthorizationCompletion completion);
  void get_settings_impl(SettingsCompletion completion);

  // OS side (system.h).
  void answer_authorization(bool granted);
  void record_delivery(Notification notification);

 private:
  friend void reset_for_testing();
  void schedule(Request request, std::uint64_t generation);
  Settings settings_locked() const;

  dispatch::Queue queue_;
  mutable std::mutex mutex_;
  rt::WeakId delegate_;
  AuthorizationStatus status_ = AuthorizationStatus::not_determined;
  std::vector<AuthorizationCompletion> pending_authorizations_;
  std::vector<Category> categories_;
  std::vector<Notification> delivered_;
  std::uint64_t generation_ = 0;  // bumped by remove_all_delivered: cancels repeats
};

// Registers the notification classes the profile provides: the centre and the
// response classes with "UserNotifications", and "UILocalNotification" always.
// Registering twice changes nothing.
void register_runtime_classes();

}  // namespace platform::notify
