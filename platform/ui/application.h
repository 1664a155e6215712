#pragma once
// The application object, the device, user activities, and the start-up and
// terminate sequences.
#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "platform/foundation/notification.h"
#include "platform/foundation/url.h"
#include "platform/foundation/uuid.h"
#include "platform/foundation/value.h"
#include "platform/notify/legacy.h"
#include "platform/runtime/runtime.h"
#include "platform/ui/selectors.h"
#include "platform/ui/view.h"

namespace platform::ui {

class AlertView;
void reset_for_testing();

// Registers the platform's ui classes in the current runtime registry:
// UIResponder, UIApplication, UIViewController, UINavigationController,
// UITabBarController, UIPageViewController, UIAlertController, UIWindow,
// UIAlertView, NSUserActivity, with the runtime methods sel::set_delegate,
// sel::set_badge and the appearance selectors, and the class method
// sel::shared_application. Classes already registered are left as they are.
void register_runtime_classes();

// Runtime class "NSUserActivity".
class UserActivity : public rt::Object {
 public:
  UserActivity();
  explicit UserActivity(std::string type);
  explicit UserActivity(rt::Class& cls) : rt::Object(cls) {}
  std::string activity_type;
  std::optional<foundation::Url> webpage_url;
  foundation::Dict user_info;
  std::string title;
};
inline constexpr std::string_view activity_type_browsing_web = "NSUserActivityTypeBrowsingWeb";

class Device {
 public:
  static Device& current();
  std::string system_name() const;     // "iOS"
  std::string system_version() const;  // the profile's
  std::string model() const;
  std::string name() const;
  foundation::Uuid identifier_for_vendor() const;
  int orientation() const { return orientation_; }  // 1 portrait
  bool multitasking_supported() const;
  // The OS side: changes the orientation and posts
  // "UIDeviceOrientationDidChangeNotification"; the status bar follows and
  // posts "UIApplicationDidChangeStatusBarOrientationNotification" (sender: the
  // application). Nothing is posted when the orientation stays the same.
  void set_orientation(int orientation);

 private:
  friend void reset_for_testing();
  int orientation_ = 1;
};

enum class ApplicationState { active = 0, inactive = 1, background = 2 };
using BackgroundTaskId = std::uint64_t;
inline constexpr BackgroundTaskId background_task_invalid = 0;

// Runtime class "UIApplication". UI calls belong on the main thread.
class Application : public Responder {
 public:
  explicit Application(rt::Class& cls);

  // nullptr before application_launch / application_main.
  static Application* shared();

  rt::Id delegate() const { return delegate_; }
  // Called after every delegate set (through sel::set_delegate) with the old
  // and the new delegate.
  foundation::ObserverToken observe_delegate(std::function<void(rt::Id old_value, rt::Id new_value)> observer);
  // The responds-to cache taken at the last delegate set: the platform sends
  // an optional delegate selector only when this answers true.
  bool delegate_responds(rt::SelId sel) const { return responds_cache_.count(sel) != 0; }
  // Sends an optional delegate message when the cache says the delegate
  // responds (rt::send): the result, or for void selectors whether it was sent.
  template <class R, class... A, class... Args>
  rt::IfRespondsResult<R> send_to_delegate(const rt::Sel<R(A...)>& sel, Args&&... args) {
    rt::Id target = delegate_;
    if (!target || !delegate_responds(sel.id)) return {};
    if constexpr (std::is_void_v<R>) {
      rt::send(*target, sel, std::forward<Args>(args)...);
      return true;
    } else {
      return rt::send(*target, sel, std::forward<Args>(args)...);
    }
  }

  ApplicationState state() const { return state_; }
  Window* key_window() const;
  std::vector<std::shared_ptr<Window>> windows() const { return windows_; }

  std::int64_t badge_number() const { return badge_; }

  bool can_open_url(const foundation::Url& url) const;
  // Legacy openURL: records the URL when it can be opened.
  bool open_url(const foundation::Url& url);
  // Records the URL; the completion gets whether it opened, on the next main-queue turn.
  void open_url(const foundation::Url& url, foundation::Dict options, std::function<void(bool)> completion);
  // Every URL opened, in order (printed by the simulator).
  const std::vector<std::string>& opened_urls() const { return opened_urls_; }

  // The expiration handler runs on the main queue when the task is still
  // running background_time_allowed (profile) after it began.
  BackgroundTaskId begin_background_task(std::optional<std::string> name, std::function<void()> expiration);
  void end_background_task(BackgroundTaskId id);
  // Seconds left in the background; the largest double while not in the background.
  double background_time_remaining() const;
  std::size_t active_background_tasks() const;
  // Whether the task of that identifier has begun and not ended yet.
  bool is_background_task_active(BackgroundTaskId id) const;
  // The OS side: runs, on the calling (main) thread, the expiration handler of
  // every background task still running; those tasks are then over and their
  // own expiry does not run the handler again (os_side.cpp).
  void expire_background_tasks();

  // Answers per the profile's push settings after token_delay_s on the clock:
  // "auto" (32 bytes: sha256 of the vendor identifier), hex digits, "none"
  // (nothing), or token_error_code (the failure selector).
  void register_for_remote_notifications();
  bool is_registered_for_remote_notifications() const { return registered_; }

  bool network_activity_indicator_visible = false;
  int status_bar_orientation() const;

  // The legacy notification roads of the profiles below 10.
  // Asks the permission prompt (push.prompt_answer, see notify/legacy.h); once
  // it is answered, the current settings become `settings` (with no types
  // when denied) and the delegate gets
  // application:didRegisterUserNotificationSettings: on the main queue.
  void register_user_notification_settings(notify::LegacySettings settings);
  // No types and no categories until a registration is answered.
  notify::LegacySettings current_user_notification_settings() const { return current_settings_; }
  // The oldest road: the prompt for `types` (the current settings' types once
  // answered, without a delegate message), and the device token as
  // register_for_remote_notifications().
  void register_for_remote_notification_types(std::uint32_t types);
  // Delivered at its fire date on the clock, or at once without one (or when
  // the date has passed).
  void schedule_local_notification(std::shared_ptr<notify::LocalNotification> notification);
  // Delivered at once: recorded, and when the application is active at
  // delivery, the delegate gets application:didReceiveLocalNotification: on
  // the next main-queue turn.
  void present_local_notification_now(std::shared_ptr<notify::LocalNotification> notification);
  // Scheduled and not delivered yet / delivered, in order (printed by the simulator).
  std::vector<std::shared_ptr<notify::LocalNotification>> scheduled_local_notifications() const {
    return scheduled_local_;
  }
  std::vector<std::shared_ptr<notify::LocalNotification>> delivered_local_notifications() const {
    return delivered_local_;
  }
  // The OS side: the user taps a local notification (no action: the delegate
  // gets application:didReceiveLocalNotification:) or one of its actions
  // (application:handleActionWithIdentifier:forLocalNotification:completionHandler:,
  // whose completion acts once and then runs `done`). Sent at once, on the main thread.
  void open_local_notification(std::shared_ptr<notify::LocalNotification> notification,
                               std::optional<std::string> action_identifier, std::function<void()> done = {});

  // Alert views shown and not yet dismissed.
  std::vector<std::shared_ptr<AlertView>> visible_alert_views() const { return alert_views_; }

  // State transitions driven by the OS side. Each sends the delegate's
  // lifecycle selector and posts its notification.
  void become_active();
  void resign_active();
  void enter_background();
  void enter_foreground();
  void receive_memory_warning();
  // applicationWillTerminate: and its notification, Preferences::flush_all(),
  // then stops the main run loop (application_main returns 0).
  void terminate();
  bool terminated() const { return terminated_; }

  // Implementations behind the runtime methods; reached through rt::send.
  void set_delegate_original(rt::Id delegate);
  void set_badge_original(std::int64_t badge) { badge_ = badge; }

  // Internal to the module.
  void add_window(std::shared_ptr<Window> window);
  void set_key_window(Window* window);
  void set_state(ApplicationState state) { state_ = state; }
  void add_alert_view(std::shared_ptr<AlertView> view);
  void remove_alert_view(const AlertView* view);
  rt::Id self_id() { return shared_from_this(); }

 private:
  struct DelegateObserver {
    std::uint64_t id;
    std::function<void(rt::Id, rt::Id)> fn;
  };
  struct Task {
    BackgroundTaskId id;
    std::function<void()> expiration;
  };
  rt::Id delegate_;
  std::unordered_set<rt::SelId> responds_cache_;
  std::vector<DelegateObserver> delegate_observers_;
  std::uint64_t next_observer_ = 1;
  // Read from any thread (state queries, background time).
  std::atomic<ApplicationState> state_{ApplicationState::inactive};
  std::vector<std::shared_ptr<Window>> windows_;
  Window* key_window_ = nullptr;
  std::int64_t badge_ = 0;
  std::vector<std::string> opened_urls_;
  mutable std::mutex tasks_mutex_;
  std::vector<Task> tasks_;
  BackgroundTaskId next_task_ = 1;
  std::atomic<double> background_since_s_{0};
  bool registered_ = false;
  bool terminated_ = false;
  notify::LegacySettings current_settings_;
  std::vector<std::shared_ptr<notify::LocalNotification>> scheduled_local_;
  std::vector<std::shared_ptr<notify::LocalNotification>> delivered_local_;
  std::vector<std::shared_ptr<AlertView>> alert_views_;
};

namespace launch_key {
inline constexpr std::string_view remote_notification = "UIApplicationLaunchOptionsRemoteNotificationKey";
inline constexpr std::string_view url = "UIApplicationLaunchOptionsURLKey";
inline constexpr std::string_view user_activity_dictionary = "UIApplicationLaunchOptionsUserActivityDictionaryKey";
inline constexpr std::string_view user_activity = "UIApplicationLaunchOptionsUserActivityKey";
inline constexpr std::string_view user_activity_type = "UIApplicationLaunchOptionsUserActivityTypeKey";
}  // namespace launch_key

namespace notification_name {
inline constexpr std::string_view did_finish_launching = "UIApplicationDidFinishLaunchingNotification";
inline constexpr std::string_view did_become_active = "UIApplicationDidBecomeActiveNotification";
inline constexpr std::string_view will_resign_active = "UIApplicationWillResignActiveNotification";
inline constexpr std::string_view did_enter_background = "UIApplicationDidEnterBackgroundNotification";
inline constexpr std::string_view will_enter_foreground = "UIApplicationWillEnterForegroundNotification";
inline constexpr std::string_view will_terminate = "UIApplicationWillTerminateNotification";
inline constexpr std::string_view did_receive_memory_warning = "UIApplicationDidReceiveMemoryWarningNotification";
inline constexpr std::string_view window_did_resign_key = "UIWindowDidResignKeyNotification";
inline constexpr std::string_view device_orientation_did_change = "UIDeviceOrientationDidChangeNotification";
inline constexpr std::string_view did_change_status_bar_orientation =
    "UIApplicationDidChangeStatusBarOrientationNotification";
}  // namespace notification_name

struct MainOptions {
  std::string_view principal_class = "UIApplication";
  std::string_view delegate_class;
  std::span<const rt::LoadHook> load_hooks;
  // Passed to will/did-finish and posted with the did-finish notification
  // (the OS side sets them when it launches for a notification, URL or activity).
  foundation::Dict launch_options;
};

// Steps 1-6 of start-up: load hooks, application and delegate (set through
// sel::set_delegate), window and the Info.plist storyboard, setWindow:,
// will/did-finish and the notification, key window and appearance,
// did-become-active and its notification. Returns the application.
Application& application_launch(int argc, char** argv, MainOptions options);
// application_launch, then the main run loop until terminate(); returns 0.
// A foundation::Exception escaping either goes to the uncaught exception
// handler, then std::terminate.
int application_main(int argc, char** argv, MainOptions options);

}  // namespace platform::ui
