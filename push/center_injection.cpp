#include "push/center_injection.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "platform/ui/application.h"
#include "platform/ui/selectors.h"
#include "push/bootstrap.h"
#include "push/log.h"
#include "push/reraviror.h"
#include "push/states.h"

namespace push {

namespace ui = platform::ui;
namespace notify = platform::notify;
using platform::foundation::Dict;

namespace {

constexpr std::uint32_t kAllPresentationOptions = 7;  // badge, sound, alert
constexpr std::uint32_t kProvisionalOnly = notify::provisional;

std::atomic<bool> g_useiOS10_2_workaround{true};
std::atomic<bool> g_authorizationRequestPending{false};

struct CenterStatics {
  std::mutex mutex;  // the cached settings are written on the centre's thread
  std::optional<notify::Settings> cachedNotificationSettings;
  // Main thread only from here on.
  rt::WeakId previousUNDelegate;
  rt::Class* delegateUNClass = nullptr;
  std::vector<rt::Class*> delegateUNSubclasses;
  std::set<std::pair<const rt::Class*, std::string_view>> injected;  // (class, platform selector)
};
CenterStatics& statics() {
  static auto* s = new CenterStatics();
  return *s;
}

void centerLog(std::string_view text) { RerAviror::reraviror_Log(kLogVerbose, text); }

// Registered before any injection; a registry without it injects nothing.
const rt::Class* carrier() { return rt::Runtime::shared().find(kCenterCarrier); }

// Calls the wrapped completion on the first call only.
template <class... A>
std::function<void(A...)> firstCallOnly(std::function<void(A...)> completion) {
  auto called = std::make_shared<std::atomic<bool>>(false);
  return [called, completion = std::move(completion)](A... args) {
    if (called->exchange(true) || !completion) return;
    completion(std::forward<A>(args)...);
  };
}

// Each class takes a delegate replacement once, whichever delegate object brings it.
void injectDelegateMethod(rt::SelId replacement, rt::SelId platformSel) {
  auto& s = statics();
  rt::Class* target = overridingCandidate(platformSel, s.delegateUNSubclasses, s.delegateUNClass);
  const rt::Class* source = carrier();
  if (!source || !target || !s.injected.emplace(target, platformSel.name()).second) return;
  addOrExchangeMethod(*source, replacement, target, platformSel);
}

std::shared_ptr<notify::Response> asResponse(const rt::Id& response) {
  return std::dynamic_pointer_cast<notify::Response>(response);
}

Dict userInfoOf(const rt::Id& response) {
  auto typed = asResponse(response);
  return typed ? typed->notification.request.content.user_info : Dict{};
}

bool isServicePayload(const Dict& userInfo) { return injectionCalls().isRerAvirorPayload(userInfo); }

// ---- replacements on the centre (self: the centre) ----

void setRerAvirorUNDelegate(rt::Object& self, rt::Id delegate) {
  auto& s = statics();
  if (delegate.get() == s.previousUNDelegate.lock().get()) {
    rt::send_if_responds(self, center_sel::setRerAvirorUNDelegate, delegate);
    return;
  }
  s.previousUNDelegate = delegate;
  centerLog("RerAvirorUNUserNotificationCenter setRerAvirorUNDelegate Fired!");
  s.delegateUNClass =
      classWithProtocolInHierarchy(delegate ? &delegate->isa() : nullptr, "UNUserNotificationCenterDelegate");
  s.delegateUNSubclasses = subclassesOfClass(s.delegateUNClass);
  injectDelegateMethod(center_sel::willPresent, notify::sel::will_present);
  injectDelegateMethod(center_sel::didReceive, notify::sel::did_receive);
  rt::send_if_responds(self, center_sel::setRerAvirorUNDelegate, delegate);
}

void requestAuthorization(rt::Object& self, std::uint32_t options, notify::AuthorizationCompletion completion) {
  const bool provisionalOnly = options == kProvisionalOnly;
  if (!provisionalOnly) RerAviror::currentPermissionState()->setHasPrompted(true);
  g_authorizationRequestPending = true;
  notify::AuthorizationCompletion answer = [provisionalOnly, completion = std::move(completion)](
                                               bool granted, std::optional<platform::foundation::Error> error) {
    g_authorizationRequestPending = false;
    if (!provisionalOnly) {
      auto state = RerAviror::currentPermissionState();
      state->setAccepted(granted);
      state->setAnsweredPrompt(true);
    }
    if (completion) completion(granted, std::move(error));
  };
  rt::send_if_responds(self, center_sel::requestAuthorization, options, std::move(answer));
}

void getNotificationSettings(rt::Object& self, notify::SettingsCompletion completion) {
  auto& s = statics();
  if (g_authorizationRequestPending && g_useiOS10_2_workaround) {
    std::optional<notify::Settings> cached;
    {
      std::lock_guard lock(s.mutex);
      cached = s.cachedNotificationSettings;
    }
    if (cached) {
      if (completion) completion(*cached);
      return;
    }
  }
  notify::SettingsCompletion store = [completion = std::move(completion)](notify::Settings settings) {
    {
      std::lock_guard lock(statics().mutex);
      statics().cachedNotificationSettings = settings;
    }
    if (completion) completion(settings);
  };
  rt::send_if_responds(self, center_sel::getNotificationSettings, std::move(store));
}

// ---- replacements on the delegate's class (self: the delegate) ----

std::uint32_t presentationOptions(std::int64_t displayType) {
  switch (displayType) {
    case 1: return 3;  // badge, sound
    case 2: return kAllPresentationOptions;
    default: return 0;
  }
}

void willPresent(rt::Object& self, rt::Id center, notify::Notification notification,
                 notify::PresentCompletion completion) {
  const Dict& userInfo = notification.request.content.user_info;
  if (RerAviror::shouldLogMissingPrivacyConsentErrorWithMethodName(std::nullopt) || !isServicePayload(userInfo)) {
    if (self.responds_to(center_sel::willPresent.id)) {
      rt::send(self, center_sel::willPresent, std::move(center), std::move(notification), std::move(completion));
    } else if (completion) {
      completion(kAllPresentationOptions);
    }
    return;
  }
  centerLog("reravirorUserNotificationCenter:willPresentNotification:withCompletionHandler: Fired!");
  const std::int64_t displayType = RerAviror::inFocusDisplayType();
  const std::uint32_t options = presentationOptions(displayType);
  const bool openedAtOnce = displayType == 0 && !notification.request.content.body.empty();
  if (RerAviror::app_id()) injectionCalls().notificationReceived(userInfo, true, openedAtOnce);

  // The app's own method usually answers too: the first answer counts.
  notify::PresentCompletion once = firstCallOnly(std::move(completion));
  if (self.responds_to(center_sel::willPresent.id)) {
    rt::send(self, center_sel::willPresent, std::move(center), notification, once);
  } else {
    RerAvirorUNUserNotificationCenter::callLegacyAppDeletegateSelector(notification, false, std::nullopt,
                                                                        std::nullopt, true, [] {});
  }
  once(options);
}

void didReceive(rt::Object& self, rt::Id center, rt::Id response, std::function<void()> completion) {
  const Dict userInfo = userInfoOf(response);
  if (RerAviror::shouldLogMissingPrivacyConsentErrorWithMethodName(std::nullopt) || !isServicePayload(userInfo)) {
    if (self.responds_to(center_sel::didReceive.id)) {
      rt::send(self, center_sel::didReceive, std::move(center), std::move(response), std::move(completion));
    } else if (completion) {
      completion();
    }
    return;
  }
  centerLog("reravirorUserNotificationCenter:didReceiveNotificationResponse:withCompletionHandler: Fired!");
  RerAvirorUNUserNotificationCenter::processiOS10Open(response);
  if (self.responds_to(center_sel::didReceive.id)) {
    rt::send(self, center_sel::didReceive, std::move(center), std::move(response), std::move(completion));
    return;
  }
  if (RerAvirorUNUserNotificationCenter::isDismissEvent(response)) {
    if (completion) completion();
    return;
  }
  auto typed = asResponse(response);
  auto text = std::dynamic_pointer_cast<notify::TextInputResponse>(response);
  const bool isTextReply = text && response->is_kind_of(notify::kTextInputResponseClass);
  RerAvirorUNUserNotificationCenter::callLegacyAppDeletegateSelector(
      typed->notification, isTextReply, typed->action_identifier,
      isTextReply ? std::optional<std::string>(text->user_text) : std::nullopt, false, std::move(completion));
}

template <class R, class... A, class F>
std::pair<rt::SelId, rt::Imp> centerEntry(const rt::Sel<R(A...)>& s, F f) {
  return {s.id, rt::Imp::make(s, f)};
}

}  // namespace

void RerAvirorUNUserNotificationCenter::registerCarrierClass() {
  if (rt::Runtime::shared().find(kCenterCarrier)) return;
  rt::ClassDefinition definition;
  definition.name = std::string(kCenterCarrier);
  definition.superclass = "NSObject";
  definition.methods = {
      centerEntry(center_sel::setRerAvirorUNDelegate, &setRerAvirorUNDelegate),
      centerEntry(center_sel::requestAuthorization, &requestAuthorization),
      centerEntry(center_sel::getNotificationSettings, &getNotificationSettings),
      centerEntry(center_sel::willPresent, &willPresent),
      centerEntry(center_sel::didReceive, &didReceive),
  };
  rt::Runtime::shared().define(std::move(definition));
}

void RerAvirorUNUserNotificationCenter::swizzleSelectors() {
  registerCarrierClass();
  rt::Class* center = rt::Runtime::shared().find(notify::kCenterClass);
  const rt::Class* source = carrier();
  if (!source || !center) return;
  installOnOverridingSubclass(center_sel::setRerAvirorUNDelegate, notify::sel::center_set_delegate, {}, *source,
                              center);
  installOnOverridingSubclass(center_sel::requestAuthorization, notify::sel::request_authorization, {}, *source,
                              center);
  installOnOverridingSubclass(center_sel::getNotificationSettings, notify::sel::get_settings, {}, *source, center);
}

void RerAvirorUNUserNotificationCenter::setUseiOS10_2_workaround(bool enable) { g_useiOS10_2_workaround = enable; }

bool RerAvirorUNUserNotificationCenter::isDismissEvent(const rt::Id& response) {
  auto typed = asResponse(response);
  return typed && typed->action_identifier == notify::dismiss_action;
}

void RerAvirorUNUserNotificationCenter::processiOS10Open(const rt::Id& response) {
  if (!RerAviror::app_id() || isDismissEvent(response)) return;
  auto typed = asResponse(response);
  if (!typed) return;
  const Dict& userInfo = typed->notification.request.content.user_info;
  if (!isServicePayload(userInfo)) return;
  ui::Application* app = ui::Application::shared();
  const bool isActive =
      app && app->state() == ui::ApplicationState::active && RerAviror::inFocusDisplayType() != 2;
  auto normalised = injectionCalls().formatApsPayloadIntoStandard(userInfo, typed->action_identifier);
  if (!normalised) return;
  injectionCalls().notificationReceived(std::move(*normalised), isActive, true);
}

void RerAvirorUNUserNotificationCenter::callLegacyAppDeletegateSelector(
    const notify::Notification& notification, bool isTextReply, std::optional<std::string> actionIdentifier,
    std::optional<std::string> userText, bool fromPresentNotification, std::function<void()> completionHandler) {
  centerLog("callLegacyAppDeletegateSelector:withCompletionHandler: Fired!");
  auto done = [completionHandler = std::move(completionHandler)] {
    if (completionHandler) completionHandler();
  };
  ui::Application* app = ui::Application::shared();
  rt::Id delegate = app ? app->delegate() : nullptr;
  const bool customAction = actionIdentifier && *actionIdentifier != notify::default_action;
  const auto& trigger = notification.request.trigger;
  if (!trigger || trigger->kind != notify::Trigger::push || !delegate) {
    done();
    return;
  }
  const Dict& userInfo = notification.request.content.user_info;
  const std::string action = actionIdentifier.value_or("");
  if (isTextReply && delegate->responds_to(ui::sel::handle_action_for_remote_notification_with_response.id)) {
    Dict responseInfo{{std::string(kTypedTextKey), userText.value_or("")}};
    rt::send(*delegate, ui::sel::handle_action_for_remote_notification_with_response, app->self_id(), action,
             userInfo, std::move(responseInfo), std::function<void()>(done));
  } else if (customAction && delegate->responds_to(ui::sel::handle_action_for_remote_notification.id)) {
    rt::send(*delegate, ui::sel::handle_action_for_remote_notification, app->self_id(), action, userInfo,
             std::function<void()>(done));
  } else if (delegate->responds_to(ui::sel::did_receive_remote_notification_fetch.id) &&
             (!fromPresentNotification || !trigger->content_available)) {
    rt::send(*delegate, ui::sel::did_receive_remote_notification_fetch, app->self_id(), userInfo,
             std::function<void(ui::BackgroundFetchResult)>([done](ui::BackgroundFetchResult) { done(); }));
  } else {
    done();
  }
}

}  // namespace push
