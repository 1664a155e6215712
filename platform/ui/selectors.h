#pragma once
// Typed selectors of every message the ui module sends. Receivers are the
// application delegate (an rt::Object), the application itself
// ("UIApplication") and view controllers ("UIViewController"). A replacement
// installed by a later subsystem is declared with the same signature, so a
// mismatch fails to compile at the injection site.
//
// Signatures:
//   application arguments are the application object as an rt::Id;
//   launch options and notification payloads are foundation::Dict (launch
//   options use the original key strings of ui::launch_key, with the URL and
//   the user activity as Value::objects: std::shared_ptr<foundation::Url>,
//   std::shared_ptr<UserActivity>);
//   device tokens are foundation::Bytes, failures foundation::Error;
//   legacy settings and local notifications are the notify types;
//   completion handlers are std::function (called at most once; see once.h).
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/error.h"
#include "platform/foundation/url.h"
#include "platform/foundation/value.h"
#include "platform/notify/legacy.h"
#include "platform/runtime/class.h"
#include "platform/runtime/selector.h"

namespace platform::ui {

class Window;
class UserActivity;

enum class BackgroundFetchResult { new_data = 0, no_data = 1, failed = 2 };

namespace sel {
using foundation::Array;
using foundation::Bytes;
using foundation::Dict;
using rt::Id;
using rt::Sel;

// Launch. bool(application, launch options).
inline const Sel<bool(Id, Dict)> will_finish_launching{"application:willFinishLaunchingWithOptions:"};
inline const Sel<bool(Id, Dict)> did_finish_launching{"application:didFinishLaunchingWithOptions:"};

// Lifecycle. void(application).
inline const Sel<void(Id)> did_become_active{"applicationDidBecomeActive:"};
inline const Sel<void(Id)> will_resign_active{"applicationWillResignActive:"};
inline const Sel<void(Id)> did_enter_background{"applicationDidEnterBackground:"};
inline const Sel<void(Id)> will_enter_foreground{"applicationWillEnterForeground:"};
inline const Sel<void(Id)> will_terminate{"applicationWillTerminate:"};
inline const Sel<void(Id)> did_receive_memory_warning{"applicationDidReceiveMemoryWarning:"};

// Remote notifications. Token: the raw bytes; failure: the error.
inline const Sel<void(Id, Bytes)> did_register_for_remote_notifications{
    "application:didRegisterForRemoteNotificationsWithDeviceToken:"};
inline const Sel<void(Id, foundation::Error)> did_fail_to_register_for_remote_notifications{
    "application:didFailToRegisterForRemoteNotificationsWithError:"};
// The payload.
inline const Sel<void(Id, Dict)> did_receive_remote_notification{"application:didReceiveRemoteNotification:"};
// The payload and the fetch completion.
inline const Sel<void(Id, Dict, std::function<void(BackgroundFetchResult)>)> did_receive_remote_notification_fetch{
    "application:didReceiveRemoteNotification:fetchCompletionHandler:"};

// Open URL: the URL and the options dictionary; returns whether it was handled.
inline const Sel<bool(Id, foundation::Url, Dict)> open_url{"application:openURL:options:"};
// The legacy form: the URL, the source application (none when unknown) and
// the annotation (null when none); returns whether it was handled.
inline const Sel<bool(Id, foundation::Url, std::optional<std::string>, foundation::Value)> open_url_source_application{
    "application:openURL:sourceApplication:annotation:"};
// Continue a user activity; the restoration handler takes the restorable objects.
inline const Sel<bool(Id, std::shared_ptr<UserActivity>, std::function<void(Array)>)> continue_user_activity{
    "application:continueUserActivity:restorationHandler:"};
// Background URL session events: the session identifier and the completion.
inline const Sel<void(Id, std::string, std::function<void()>)> handle_events_for_background_session{
    "application:handleEventsForBackgroundURLSession:completionHandler:"};

// Legacy (below 10) action selectors: action identifier, payload
// (+ response info), completion.
inline const Sel<void(Id, std::string, Dict, std::function<void()>)> handle_action_for_remote_notification{
    "application:handleActionWithIdentifier:forRemoteNotification:completionHandler:"};
inline const Sel<void(Id, std::string, Dict, Dict, std::function<void()>)>
    handle_action_for_remote_notification_with_response{
        "application:handleActionWithIdentifier:forRemoteNotification:withResponseInfo:completionHandler:"};

// Legacy (below 10) notification settings and local notifications: the
// settings granted; the local notification received in front or tapped; an
// action tapped on it (+ response info), with the completion.
inline const Sel<void(Id, notify::LegacySettings)> did_register_user_notification_settings{
    "application:didRegisterUserNotificationSettings:"};
inline const Sel<void(Id, std::shared_ptr<notify::LocalNotification>)> did_receive_local_notification{
    "application:didReceiveLocalNotification:"};
inline const Sel<void(Id, std::string, std::shared_ptr<notify::LocalNotification>, std::function<void()>)>
    handle_action_for_local_notification{"application:handleActionWithIdentifier:forLocalNotification:completionHandler:"};
inline const Sel<void(Id, std::string, std::shared_ptr<notify::LocalNotification>, Dict, std::function<void()>)>
    handle_action_for_local_notification_with_response{
        "application:handleActionWithIdentifier:forLocalNotification:withResponseInfo:completionHandler:"};

// The delegate's window property setter.
inline const Sel<void(std::shared_ptr<Window>)> set_window{"setWindow:"};

// Runtime methods of "UIApplication" (exchanged by load hooks).
inline const Sel<void(Id)> set_delegate{"setDelegate:"};
inline const Sel<void(std::int64_t)> set_badge{"setApplicationIconBadgeNumber:"};
// Class method of "UIApplication": the application object, null before launch.
inline const rt::ClassSel<Id()> shared_application{"sharedApplication"};

// Appearance, runtime methods of "UIViewController"; their original
// implementations call the C++ virtuals of ViewController.
inline const Sel<void()> view_did_load{"viewDidLoad"};
inline const Sel<void(bool)> view_will_appear{"viewWillAppear:"};
inline const Sel<void(bool)> view_did_appear{"viewDidAppear:"};
inline const Sel<void(bool)> view_will_disappear{"viewWillDisappear:"};
inline const Sel<void(bool)> view_did_disappear{"viewDidDisappear:"};

}  // namespace sel
}  // namespace platform::ui
