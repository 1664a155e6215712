#include "push/app_delegate_injection.h"

#include <utility>

#include "platform/ui/application.h"
#include "push/bootstrap.h"
#include "push/log.h"
#include "push/reraviror.h"
#include "push/utilities.h"

namespace push {

namespace ui = platform::ui;
namespace notify = platform::notify;
using platform::foundation::Bytes;
using platform::foundation::Dict;
using platform::foundation::Error;

namespace {

// Written by the first injecting delegate set only (main thread).
rt::Class* g_delegateClass = nullptr;
std::vector<rt::Class*> g_delegateSubclasses;

void log(std::string_view text) { RerAviror::reraviror_Log(kLogVerbose, text); }
bool appIdSet() { return RerAviror::app_id().has_value(); }

// The carrier is registered at load; a registry without it installs nothing.
void install(rt::SelId replacement, rt::SelId platformSel) {
  const rt::Class* carrier = rt::Runtime::shared().find(kAppDelegateCarrier);
  if (!carrier) return;
  installOnOverridingSubclass(replacement, platformSel, g_delegateSubclasses, *carrier, g_delegateClass);
}

// Sends `replacement` (the implementation the class had before) when the object has it.
template <class... A, class... Args>
void previous(rt::Object& self, const rt::Sel<void(A...)>& replacement, Args&&... args) {
  rt::send_if_responds(self, replacement, std::forward<Args>(args)...);
}

bool applicationIsActive() {
  ui::Application* app = ui::Application::shared();
  return app && app->state() == ui::ApplicationState::active;
}

// ---- the injecting setter (self: the application) ----

void setRerAvirorDelegate(rt::Object& self, rt::Id delegate) {
  log("RERAVIROR setRerAvirorDelegate CALLED: " +
      (delegate ? rt::send(*delegate, rt::sel::description) : std::string("(null)")));
  auto platformSetter = [&] { previous(self, app_sel::setRerAvirorDelegate, delegate); };
  if (g_delegateClass || !delegate) {
    platformSetter();
    return;
  }
  g_delegateClass = classWithProtocolInHierarchy(&delegate->isa(), "UIApplicationDelegate");
  if (!g_delegateClass) {
    platformSetter();
    return;
  }
  g_delegateSubclasses = subclassesOfClass(g_delegateClass);

  install(app_sel::remoteSilentNotification, ui::sel::did_receive_remote_notification_fetch);
  RerAvirorAppDelegate::sizzlePreiOS10MethodsPhase1();
  install(app_sel::didFailRegisterForRemoteNotification, ui::sel::did_fail_to_register_for_remote_notifications);

  if (rt::Runtime::shared().find("CoronaAppDelegate")) {
    platformSetter();
    return;
  }
  install(app_sel::didRegisterForRemoteNotifications, ui::sel::did_register_for_remote_notifications);
  RerAvirorAppDelegate::sizzlePreiOS10MethodsPhase2();
  install(app_sel::applicationWillResignActive, ui::sel::will_resign_active);
  install(app_sel::applicationDidEnterBackground, ui::sel::did_enter_background);
  install(app_sel::applicationDidBecomeActive, ui::sel::did_become_active);
  install(app_sel::applicationWillTerminate, ui::sel::will_terminate);
  platformSetter();
}

// ---- the replacements (self: the delegate) ----

void didRegisterForRemoteNotifications(rt::Object& self, rt::Id app, Bytes token) {
  log("rerAvirorDidRegisterForRemoteNotifications:deviceToken:");
  injectionCalls().didRegisterForRemoteNotifications(app, token);
  previous(self, app_sel::didRegisterForRemoteNotifications, app, std::move(token));
}

void didFailRegisterForRemoteNotification(rt::Object& self, rt::Id app, Error error) {
  log("rerAvirorDidFailRegisterForRemoteNotification:error:");
  if (appIdSet()) injectionCalls().handleDidFailRegisterForRemoteNotification(error);
  previous(self, app_sel::didFailRegisterForRemoteNotification, app, std::move(error));
}

void didRegisterUserNotifications(rt::Object& self, rt::Id app, notify::LegacySettings settings) {
  log("rerAvirorDidRegisterUserNotifications:settings:");
  if (appIdSet()) injectionCalls().updateNotificationTypes(static_cast<std::int32_t>(settings.types));
  previous(self, app_sel::didRegisterUserNotifications, app, std::move(settings));
}

void receivedRemoteNotification(rt::Object& self, rt::Id app, Dict userInfo) {
  log("rerAvirorReceivedRemoteNotification:userInfo:");
  if (appIdSet()) injectionCalls().notificationReceived(userInfo, applicationIsActive(), true);
  previous(self, app_sel::receivedRemoteNotification, app, std::move(userInfo));
}

bool hasApsAlert(const Dict& userInfo) {
  const auto* aps = userInfo.find("aps");
  const Dict* apsDict = aps ? aps->dict() : nullptr;
  const auto* alert = apsDict ? apsDict->find("alert") : nullptr;
  return alert && !alert->is_null();
}

void remoteSilentNotification(rt::Object& self, rt::Id app, Dict userInfo,
                              std::function<void(ui::BackgroundFetchResult)> completion) {
  log("rerAvirorRemoteSilentNotification:UserInfo:fetchCompletionHandler:");
  const bool appHasFetchVariant = self.responds_to(app_sel::remoteSilentNotification.id);
  bool handledByClient = false;
  if (appIdSet()) {
    if (applicationIsActive() && hasApsAlert(userInfo)) {
      injectionCalls().notificationReceived(userInfo, true, false);
    } else {
      handledByClient =
          injectionCalls().remoteSilentNotification(app, userInfo, appHasFetchVariant ? std::function<void(ui::BackgroundFetchResult)>{} : completion);
    }
  }
  if (appHasFetchVariant) {
    rt::send(self, app_sel::remoteSilentNotification, app, std::move(userInfo), std::move(completion));
    return;
  }
  if (self.responds_to(app_sel::receivedRemoteNotification.id) && !RerAviror::coldStartFromTapOnNotification()) {
    rt::send(self, app_sel::receivedRemoteNotification, app, userInfo);
  }
  if (!handledByClient && completion) completion(ui::BackgroundFetchResult::new_data);
}

void localNotificationActionOpened(rt::Object& self, rt::Id app, std::string identifier,
                                   std::shared_ptr<notify::LocalNotification> notification,
                                   std::function<void()> completion) {
  log("rerAvirorLocalNotificationOpened:handleActionWithIdentifier:forLocalNotification:completionHandler:");
  if (appIdSet()) injectionCalls().processLocalActionBasedNotification(notification, identifier);
  previous(self, app_sel::localNotificationActionOpened, app, std::move(identifier), std::move(notification),
           completion);
  if (completion) completion();
}

void localNotificationOpened(rt::Object& self, rt::Id app, std::shared_ptr<notify::LocalNotification> notification) {
  log("rerAvirorLocalNotificationOpened:notification:");
  if (appIdSet()) injectionCalls().processLocalActionBasedNotification(notification, "__DEFAULT__");
  previous(self, app_sel::localNotificationOpened, app, std::move(notification));
}

void applicationWillResignActive(rt::Object& self, rt::Id app) {
  log("rerAvirorApplicationWillResignActive");
  if (appIdSet()) injectionCalls().trackerOnFocus(true);
  previous(self, app_sel::applicationWillResignActive, app);
}

void applicationDidEnterBackground(rt::Object& self, rt::Id app) {
  log("rerAvirorApplicationDidEnterBackground");
  if (appIdSet()) injectionCalls().locationOnFocus(false);
  previous(self, app_sel::applicationDidEnterBackground, app);
}

void applicationDidBecomeActive(rt::Object& self, rt::Id app) {
  log("rerAvirorApplicationDidBecomeActive");
  if (appIdSet()) {
    injectionCalls().trackerOnFocus(false);
    injectionCalls().locationOnFocus(true);
  }
  previous(self, app_sel::applicationDidBecomeActive, app);
}

void applicationWillTerminate(rt::Object& self, rt::Id app) {
  if (appIdSet()) injectionCalls().trackerOnFocus(true);
  previous(self, app_sel::applicationWillTerminate, app);
}

template <class R, class... A, class F>
std::pair<rt::SelId, rt::Imp> entry(const rt::Sel<R(A...)>& s, F f) {
  return {s.id, rt::Imp::make(s, f)};
}

}  // namespace

void RerAvirorAppDelegate::registerCarrierClass() {
  if (rt::Runtime::shared().find(kAppDelegateCarrier)) return;
  rt::ClassDefinition definition;
  definition.name = std::string(kAppDelegateCarrier);
  definition.superclass = "NSObject";
  definition.methods = {
      entry(app_sel::setRerAvirorDelegate, &setRerAvirorDelegate),
      entry(app_sel::remoteSilentNotification, &remoteSilentNotification),
      entry(app_sel::localNotificationActionOpened, &localNotificationActionOpened),
      entry(app_sel::didRegisterUserNotifications, &didRegisterUserNotifications),
      entry(app_sel::didFailRegisterForRemoteNotification, &didFailRegisterForRemoteNotification),
      entry(app_sel::didRegisterForRemoteNotifications, &didRegisterForRemoteNotifications),
      entry(app_sel::receivedRemoteNotification, &receivedRemoteNotification),
      entry(app_sel::localNotificationOpened, &localNotificationOpened),
      entry(app_sel::applicationWillResignActive, &applicationWillResignActive),
      entry(app_sel::applicationDidEnterBackground, &applicationDidEnterBackground),
      entry(app_sel::applicationDidBecomeActive, &applicationDidBecomeActive),
      entry(app_sel::applicationWillTerminate, &applicationWillTerminate),
  };
  const rt::ClassSel<void()> loadedTag{"rerAvirorLoadedTagSelector"};
  definition.class_methods = {{loadedTag.id, rt::Imp::make(loadedTag, [](rt::Class&) {})}};
  rt::Runtime::shared().define(std::move(definition));
}

rt::Class* RerAvirorAppDelegate::delegateClass() { return g_delegateClass; }

void RerAvirorAppDelegate::sizzlePreiOS10MethodsPhase1() {
  if (isIOSVersionGreaterOrEqual(10.0)) return;
  install(app_sel::localNotificationActionOpened, ui::sel::handle_action_for_local_notification);
  install(app_sel::didRegisterUserNotifications, ui::sel::did_register_user_notification_settings);
}

void RerAvirorAppDelegate::sizzlePreiOS10MethodsPhase2() {
  if (isIOSVersionGreaterOrEqual(10.0)) return;
  install(app_sel::receivedRemoteNotification, ui::sel::did_receive_remote_notification);
  install(app_sel::localNotificationOpened, ui::sel::did_receive_local_notification);
}

}  // namespace push
