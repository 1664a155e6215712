#include "push/bootstrap.h"

#include <utility>

#include "platform/foundation/text.h"
#include "platform/os/process_info.h"
#include "platform/ui/application.h"
#include "push/app_delegate_injection.h"
#include "push/center_injection.h"
#include "push/extension_handlers.h"
#include "push/log.h"
#include "push/notification_dispatch.h"
#include "push/notification_builder.h"
#include "push/reraviror.h"

namespace push {

namespace ui = platform::ui;

// ---- injection functions ----

bool instanceOverridesSelector(const rt::Class& cls, rt::SelId sel) {
  const rt::Class* super = cls.superclass();
  return cls.lookup(sel) != (super ? super->lookup(sel) : rt::Imp{});
}

rt::Class* classWithProtocolInHierarchy(rt::Class* cls, std::string_view protocol) {
  if (!cls) return nullptr;
  if (cls->declares_protocol(protocol)) return cls;
  rt::Class* super = cls->superclass();
  if (!super) return nullptr;
  rt::Class* found = classWithProtocolInHierarchy(super, protocol);
  return found ? found : cls;
}

bool addOrExchangeMethod(const rt::Class& source, rt::SelId newSel, rt::Class* target, rt::SelId targetSel) {
  if (!target) return false;
  // The source's own entry or an inherited one, as an instance-method lookup finds it.
  rt::Imp imp = source.lookup(newSel);
  if (target->resolve(targetSel)) {
    if (imp) target->add_method(newSel, imp);
    // Without an implementation to move in, exchanging would leave the
    // platform selector empty: only an entry the target already has moves.
    if (!target->lookup(newSel)) return true;
    auto original = target->resolve(targetSel);
    auto replacement = target->resolve(newSel);
    if (original && replacement) rt::exchange(*original, *replacement);
    return true;
  }
  target->add_method(targetSel, imp);
  return false;
}

rt::Class* overridingCandidate(rt::SelId targetSel, const std::vector<rt::Class*>& candidates, rt::Class* fallback) {
  for (rt::Class* candidate : candidates) {
    if (candidate && instanceOverridesSelector(*candidate, targetSel)) return candidate;
  }
  return fallback;
}

void installOnOverridingSubclass(rt::SelId newSel, rt::SelId targetSel, const std::vector<rt::Class*>& candidates,
                                 const rt::Class& source, rt::Class* fallback) {
  addOrExchangeMethod(source, newSel, overridingCandidate(targetSel, candidates, fallback), targetSel);
}

std::vector<rt::Class*> subclassesOfClass(const rt::Class* base) {
  std::vector<rt::Class*> result;
  if (!base) return result;
  for (rt::Class* cls : rt::Runtime::shared().classes()) {
    for (const rt::Class* walk = cls; walk; walk = walk->superclass()) {
      if (walk == base) {
        result.push_back(cls);
        break;
      }
    }
  }
  return result;
}

// ---- what the injected methods call ----

namespace {

InjectionCalls defaultCalls() {
  InjectionCalls calls;
  calls.didRegisterForRemoteNotifications = [](rt::Id app, foundation::Bytes token) {
    RerAviror::didRegisterForRemoteNotifications(dynamic_cast<ui::Application*>(app.get()), token);
  };
  calls.handleDidFailRegisterForRemoteNotification = [](foundation::Error error) {
    RerAviror::handleDidFailRegisterForRemoteNotification(error);
  };
  calls.updateNotificationTypes = [](std::int32_t types) { RerAviror::updateNotificationTypes(types); };
  calls.notificationReceived = [](foundation::Dict userInfo, bool isActive, bool wasOpened) {
    RerAviror::notificationReceived(userInfo, isActive, wasOpened);
  };
  calls.remoteSilentNotification = [](rt::Id app, foundation::Dict userInfo,
                                      std::function<void(ui::BackgroundFetchResult)> completion) {
    return RerAviror::remoteSilentNotification(dynamic_cast<ui::Application*>(app.get()), userInfo,
                                               std::move(completion));
  };
  calls.processLocalActionBasedNotification = [](std::shared_ptr<platform::notify::LocalNotification> notification,
                                                 std::string identifier) {
    RerAviror::processLocalActionBasedNotification(notification, std::optional<std::string>(std::move(identifier)));
  };
  calls.trackerOnFocus = [](bool toBackground) { RerAviror::onFocus(toBackground); };
  calls.locationOnFocus = [](bool inFocus) { RerAviror::onfocus(inFocus ? "1" : "0"); };
  calls.isRerAvirorPayload = [](const foundation::Dict& userInfo) { return isRerAvirorPayload(userInfo); };
  calls.formatApsPayloadIntoStandard = [](const foundation::Dict& userInfo, std::optional<std::string> identifier) {
    return formatApsPayloadIntoStandard(userInfo, identifier);
  };
  calls.updateCachedBadgeValue = [](std::int64_t value) { RerAvirorExtensionBadgeHandler::updateCachedBadgeValue(value); };
  calls.registerAsUNNotificationCenterDelegate = [] { RerAvirorHelper::registerAsUNNotificationCenterDelegate(); };
  return calls;
}

}  // namespace

InjectionCalls& injectionCalls() {
  static auto* calls = new InjectionCalls(defaultCalls());
  return *calls;
}

void resetInjectionCalls() { injectionCalls() = defaultCalls(); }

// ---- bootstrap ----

namespace {

// The category's badge setter: the cached count first, then (after the
// exchange) the platform's own setter.
void setApplicationIconBadgeNumber(rt::Object& self, std::int64_t badge) {
  injectionCalls().updateCachedBadgeValue(badge);
  if (self.responds_to(sel::reravirorSetApplicationIconBadgeNumber.id)) {
    rt::send(self, sel::reravirorSetApplicationIconBadgeNumber, badge);
  }
}

}  // namespace

void setupUNUserNotificationCenterDelegate() {
  if (!rt::Runtime::shared().find(platform::notify::kCenterClass)) return;
  RerAvirorUNUserNotificationCenter::swizzleSelectors();
  injectionCalls().registerAsUNNotificationCenterDelegate();
}

void reravirorLoad() {
  installPresentation();
  rt::Class* application = rt::Runtime::shared().find("UIApplication");
  if (!application) return;
  RerAvirorAppDelegate::registerCarrierClass();
  RerAvirorUNUserNotificationCenter::registerCarrierClass();
  application->add_method(sel::reravirorSetApplicationIconBadgeNumber.id,
                          rt::Imp::make(sel::reravirorSetApplicationIconBadgeNumber, &setApplicationIconBadgeNumber));

  RerAviror::reraviror_Log(kLogVerbose, "UIApplication(RerAviror) LOADED!");
  const std::string process = platform::os::ProcessInfo::shared().process_name();
  if (process == "IBDesignablesAgentCocoaTouch" || process == "IBDesignablesAgent-iOS") return;
  if (platform::foundation::text::compare_versions(ui::Device::current().system_version(), "7.0") <= 0) return;

  rt::Class* carrier = rt::Runtime::shared().find(kAppDelegateCarrier);
  if (!carrier) return;
  if (addOrExchangeMethod(*carrier, sel::rerAvirorLoadedTagSelector.id, application,
                          sel::rerAvirorLoadedTagSelector.id)) {
    RerAviror::reraviror_Log(kLogWarn,
                             "Already swizzled UIApplication.setDelegate. Make sure the RerAviror library wasn't "
                             "loaded into the runtime twice!");
    return;
  }
  installOnOverridingSubclass(app_sel::setRerAvirorDelegate.id, ui::sel::set_delegate.id, {}, *carrier, application);
  installOnOverridingSubclass(sel::reravirorSetApplicationIconBadgeNumber.id, ui::sel::set_badge.id, {}, *carrier,
                              application);
  setupUNUserNotificationCenterDelegate();
}

}  // namespace push
