#pragma once
// The application delegate's injected methods. RerAvirorAppDelegate is a
// carrier class, never instantiated: its setRerAvirorDelegate: becomes
// UIApplication's setDelegate: at load time and, at the first delegate set,
// copies the replacements below into the delegate's class.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"
#include "platform/notify/legacy.h"
#include "platform/runtime/runtime.h"
#include "platform/ui/selectors.h"

namespace push {

namespace rt = platform::rt;

namespace app_sel {
using platform::foundation::Bytes;
using platform::foundation::Dict;
using platform::notify::LegacySettings;
using platform::notify::LocalNotification;
using rt::Id;
using rt::Sel;

inline const Sel<void(Id)> setRerAvirorDelegate{"setRerAvirorDelegate:"};

inline const Sel<void(Id, Dict, std::function<void(platform::ui::BackgroundFetchResult)>)> remoteSilentNotification{
    "rerAvirorRemoteSilentNotification:UserInfo:fetchCompletionHandler:"};
inline const Sel<void(Id, std::string, std::shared_ptr<LocalNotification>, std::function<void()>)>
    localNotificationActionOpened{
        "rerAvirorLocalNotificationOpened:handleActionWithIdentifier:forLocalNotification:completionHandler:"};
inline const Sel<void(Id, LegacySettings)> didRegisterUserNotifications{"rerAvirorDidRegisterUserNotifications:settings:"};
inline const Sel<void(Id, platform::foundation::Error)> didFailRegisterForRemoteNotification{
    "rerAvirorDidFailRegisterForRemoteNotification:error:"};
inline const Sel<void(Id, Bytes)> didRegisterForRemoteNotifications{
    "rerAvirorDidRegisterForRemoteNotifications:deviceToken:"};
inline const Sel<void(Id, Dict)> receivedRemoteNotification{"rerAvirorReceivedRemoteNotification:userInfo:"};
inline const Sel<void(Id, std::shared_ptr<LocalNotification>)> localNotificationOpened{
    "rerAvirorLocalNotificationOpened:notification:"};
inline const Sel<void(Id)> applicationWillResignActive{"rerAvirorApplicationWillResignActive:"};
inline const Sel<void(Id)> applicationDidEnterBackground{"rerAvirorApplicationDidEnterBackground:"};
inline const Sel<void(Id)> applicationDidBecomeActive{"rerAvirorApplicationDidBecomeActive:"};
inline const Sel<void(Id)> applicationWillTerminate{"rerAvirorApplicationWillTerminate:"};
}  // namespace app_sel

class RerAvirorAppDelegate {
 public:
  // Registers the carrier class (an NSObject subclass holding the
  // replacements); registering again changes nothing.
  static void registerCarrierClass();
  // The class chosen at the first injection; nullptr before.
  static rt::Class* delegateClass();
  // Below 10.0: the local-action and settings replacements.
  static void sizzlePreiOS10MethodsPhase1();
  // Below 10.0: the legacy receive and local-notification replacements.
  static void sizzlePreiOS10MethodsPhase2();
};

}  // namespace push
