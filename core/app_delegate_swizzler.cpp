// GULAppDelegateSwizzler and GULAppDelegateObserver: the interceptor
// registry, the run-time subclass of the application delegate, the proxy
// methods it receives, and the observer that lets the proxied delegate go.
#include "core/app_delegate_swizzler.h"

#include <any>
#include <cstdio>
#include <mutex>
#include <type_traits>
#include <utility>

#include "core/environment_util.h"
#include "core/logger.h"
#include "platform/foundation/text.h"
#include "platform/foundation/value.h"
#include "platform/os/bundle.h"
#include "platform/ui/application.h"
#include "platform/ui/selectors.h"

namespace core {

namespace rt = platform::rt;
namespace ui = platform::ui;
namespace foundation = platform::foundation;

namespace {

constexpr std::string_view kAppDelegateProtocol = "UIApplicationDelegate";
constexpr std::string_view kRuntimeClassName = "GULAppDelegateSwizzler";
constexpr std::string_view kCoreClassName = "FIRCore";

// "I-SWZ" and six digits.
std::string messageCode(long code) {
  char text[24];
  std::snprintf(text, sizeof text, "I-SWZ%06ld", code);
  return text;
}

// The delegate object that was proxied; main thread only. Never destroyed:
// it lives for the process, as the delegate does.
rt::Id& proxiedDelegate() {
  static auto* delegate = new rt::Id();
  return *delegate;
}

// The implementation kept under `key` on the proxied object; empty when none.
rt::Imp keptImplementation(const rt::Object& self, const void* key) {
  const std::any value = self.associated(key);
  const rt::Imp* imp = std::any_cast<rt::Imp>(&value);
  return imp ? *imp : rt::Imp{};
}

// A proxy method: every interceptor answering the selector, then the kept own
// implementation, all with the same arguments. A bool result is the OR of
// every answer; nobody stops the delegate's own method from running.
template <class R, class... A>
rt::Imp proxyMethod(const rt::Sel<R(A...)>& selector, const void* key) {
  return rt::Imp::make(selector, [selector, key](rt::Object& self, A... args) -> R {
    if constexpr (std::is_same_v<R, bool>) {
      bool handled = false;
      GULAppDelegateSwizzler::notifyInterceptorsWithMethodSelector(selector, [&](const rt::Id& interceptor) {
        handled = rt::send(*interceptor, selector, args...) || handled;
      });
      if (rt::Imp own = keptImplementation(self, key)) handled = own.call(selector, self, args...) || handled;
      return handled;
    } else {
      static_assert(std::is_void_v<R>, "proxy methods answer bool or nothing");
      GULAppDelegateSwizzler::notifyInterceptorsWithMethodSelector(
          selector, [&](const rt::Id& interceptor) { rt::send(*interceptor, selector, args...); });
      if (rt::Imp own = keptImplementation(self, key)) own.call(selector, self, args...);
    }
  });
}

// "<%@: %p>" with the class before proxying, so the delegate still presents
// itself as its former class.
std::string fakeDescription(rt::Object& self) {
  const std::any value = self.associated(kGULRealClassKey);
  rt::Class* const* realClass = std::any_cast<rt::Class*>(&value);
  const std::string_view name = realClass && *realClass ? (*realClass)->name() : self.isa().name();
  return "<" + std::string(name) + ": " + foundation::text::pointer_text(dynamic_cast<const void*>(&self)) + ">";
}

// An Info.plist switch counts only when it is a number.
bool switchIsOn(std::string_view key) {
  const foundation::Value& value = platform::os::Bundle::main().object_for_info_key(key);
  return !value.is_number() || value.as_bool().value_or(true);
}

}  // namespace

// ---- the runtime class ---------------------------------------------------------

rt::Class& GULAppDelegateSwizzler::runtimeClass() {
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  rt::Runtime& runtime = rt::Runtime::shared();
  if (rt::Class* existing = runtime.find(kRuntimeClassName)) return *existing;
  rt::ClassDefinition definition;
  definition.name = std::string(kRuntimeClassName);
  definition.superclass = "NSProxy";
  definition.methods = {
      {ui::sel::open_url.id, proxyMethod(ui::sel::open_url, kGULOpenURLOptionsIMPKey)},
      {ui::sel::open_url_source_application.id,
       proxyMethod(ui::sel::open_url_source_application, kGULOpenURLOptionsSourceAnnotationsIMPKey)},
      {ui::sel::continue_user_activity.id, proxyMethod(ui::sel::continue_user_activity, kGULContinueUserActivityIMPKey)},
      {ui::sel::handle_events_for_background_session.id,
       proxyMethod(ui::sel::handle_events_for_background_session, kGULHandleBackgroundSessionIMPKey)},
      {swizzler_sel::fakeDescription.id, rt::Imp::make(swizzler_sel::fakeDescription, &fakeDescription)},
  };
  return runtime.define(std::move(definition));
}

// ---- switches and keys ---------------------------------------------------------

bool GULAppDelegateSwizzler::isAppDelegateProxyEnabled() {
  return switchIsOn(kGULDavidizeAppDelegateProxyEnabledPlistKey) &&
         switchIsOn(kGULDozadaUtilitiesAppDelegateProxyEnabledPlistKey);
}

std::string GULAppDelegateSwizzler::correctAppDelegateProxyKey() {
  return std::string(rt::Runtime::shared().find(kCoreClassName) ? kGULDavidizeAppDelegateProxyEnabledPlistKey
                                                                 : kGULDozadaUtilitiesAppDelegateProxyEnabledPlistKey);
}

std::string GULAppDelegateSwizzler::correctAlternativeWhenAppDelegateProxyNotCreated() {
  return rt::Runtime::shared().find(kCoreClassName)
             ? "To log deep link campaigns manually, call the methods in DAVIdovivove+AppDelegate.h."
             : "";
}

// ---- interceptors --------------------------------------------------------------

GULAppDelegateSwizzler::Interceptors& GULAppDelegateSwizzler::interceptors() {
  static auto* registry = new Interceptors();
  return *registry;
}

std::optional<GULAppDelegateInterceptorID> GULAppDelegateSwizzler::registerAppDelegateInterceptor(
    rt::Id interceptor) {
  if (!interceptor) {
    GULLogError(kGULLoggerSwizzler, false, messageCode(1000), "AppDelegateProxy cannot add nil interceptor.");
    return std::nullopt;
  }
  if (!interceptor->isa().conforms_to(kAppDelegateProtocol)) {
    GULLogError(kGULLoggerSwizzler, false, messageCode(1001),
                "AppDelegateProxy interceptor does not conform to UIApplicationDelegate");
    return std::nullopt;
  }
  GULAppDelegateInterceptorID interceptorID =
      "GUL_" + foundation::text::pointer_text(dynamic_cast<const void*>(interceptor.get()));
  if (interceptorID.empty()) {
    GULLogError(kGULLoggerSwizzler, false, messageCode(1002), "AppDelegateProxy cannot create Interceptor ID.");
    return std::nullopt;
  }
  interceptors().setObject(std::make_shared<GULZeroingWeakContainer>(GULZeroingWeakContainer{interceptor}),
                           interceptorID);
  return interceptorID;
}

void GULAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID(
    std::optional<GULAppDelegateInterceptorID> interceptorID) {
  if (!interceptorID || interceptorID->empty()) {
    GULLogError(kGULLoggerSwizzler, false, messageCode(1003), "AppDelegateProxy cannot unregister empty interceptor ID.");
    return;
  }
  auto container = interceptors().objectForKey(*interceptorID);
  if (!container || !*container || (*container)->object.expired()) {
    GULLogError(kGULLoggerSwizzler, false, messageCode(1004),
                "AppDelegateProxy cannot unregister interceptor that was not registered. Interceptor ID %s",
                interceptorID->c_str());
    return;
  }
  interceptors().removeObjectForKey(*interceptorID);
}

void GULAppDelegateSwizzler::notifyInterceptorsWithMethodSelector(
    rt::SelId methodSelector, const std::function<void(const rt::Id&)>& callback) {
  if (!callback) return;
  // A snapshot: interceptors may come and go while the callbacks run.
  for (const auto& [interceptorID, container] : interceptors().dictionary()) {
    rt::Id interceptor = container ? container->object.lock() : nullptr;
    if (!interceptor) {
      GULLogWarning(kGULLoggerSwizzler, false, messageCode(1010),
                    "AppDelegateProxy cannot find interceptor with ID %s. Removing the interceptor.",
                    interceptorID.c_str());
      interceptors().removeObjectForKey(interceptorID);
      continue;
    }
    if (interceptor->responds_to(methodSelector)) callback(interceptor);
  }
}

// ---- installation --------------------------------------------------------------

rt::Id GULAppDelegateSwizzler::sharedApplication() {
  if (GULAppEnvironmentUtil::isAppExtension()) return nullptr;
  rt::Class* applicationClass = rt::Runtime::shared().find("UIApplication");
  if (!applicationClass) return nullptr;
  auto application = rt::send_if_responds(*applicationClass, ui::sel::shared_application);
  return application ? *application : nullptr;
}

void GULAppDelegateSwizzler::proxyOriginalDelegate() {
  static std::once_flag once;
  std::call_once(once, [] {
    rt::Id application = sharedApplication();
    auto* app = dynamic_cast<ui::Application*>(application.get());
    proxyAppDelegate(app ? app->delegate() : nullptr);
  });
}

void GULAppDelegateSwizzler::proxyAppDelegate(rt::Id appDelegate) {
  if (!isAppDelegateProxyEnabled()) {
    GULLogNotice(kGULLoggerSwizzler, false, messageCode(1011), "App Delegate Proxy is disabled. %s",
                 correctAlternativeWhenAppDelegateProxyNotCreated().c_str());
    return;
  }
  if (!appDelegate) {
    GULLogError(kGULLoggerSwizzler, false, messageCode(1012),
                "Cannot create App Delegate Proxy because App Delegate instance is nil. %s",
                correctAlternativeWhenAppDelegateProxyNotCreated().c_str());
    return;
  }
  createSubclassWithObject(appDelegate);
}

void GULAppDelegateSwizzler::addInstanceMethodWithSelector(rt::SelId selector, rt::Class& fromClass,
                                                           rt::Class& toClass) {
  addInstanceMethodWithDestinationSelector(selector, selector, fromClass, toClass);
}

void GULAppDelegateSwizzler::addInstanceMethodWithDestinationSelector(rt::SelId destinationSelector,
                                                                      rt::SelId sourceSelector,
                                                                      rt::Class& fromClass, rt::Class& toClass) {
  if (!toClass.add_method(destinationSelector, fromClass.lookup(sourceSelector))) {
    GULLogWarning(kGULLoggerSwizzler, false, messageCode(1009),
                  "Cannot copy method to destination selector %s as it already exists",
                  std::string(destinationSelector.name()).c_str());
  }
}

rt::Imp GULAppDelegateSwizzler::implementationOfMethodSelector(rt::SelId selector, const rt::Class* fromClass) {
  return fromClass ? fromClass->lookup(selector) : rt::Imp{};
}

void GULAppDelegateSwizzler::createSubclassWithObject(const rt::Id& anObject) {
  if (!anObject) return;
  rt::Object& object = *anObject;
  rt::Class& realClass = object.isa();
  const std::string className(realClass.name());

  char millis[64];
  std::snprintf(millis, sizeof millis, "%0.0f", foundation::Date::now().since_1970 * 1000);
  const std::string subclassName = "GUL_" + className + "-" + millis;

  rt::Runtime& runtime = rt::Runtime::shared();
  if (runtime.find(subclassName)) {
    GULLogError(kGULLoggerSwizzler, false, messageCode(1005),
                "Cannot create a proxy for App Delegate. Subclass already exists. Original Class: %s, subclass: %s",
                className.c_str(), subclassName.c_str());
    return;
  }
  rt::Class* subclass = runtime.allocate_subclass(realClass, subclassName);
  if (!subclass) {
    GULLogError(kGULLoggerSwizzler, false, messageCode(1006),
                "Cannot create a proxy for App Delegate. Subclass already exists. Original Class: %s, subclass: Nil",
                className.c_str());
    return;
  }

  rt::Class& source = runtimeClass();
  rt::Imp openURLOptions;
  if (object.responds_to(ui::sel::open_url)) {
    addInstanceMethodWithSelector(ui::sel::open_url, source, *subclass);
    openURLOptions = implementationOfMethodSelector(ui::sel::open_url, &realClass);
  }
  const std::pair<rt::SelId, const char*> alwaysAdded[] = {
      {ui::sel::continue_user_activity, kGULContinueUserActivityIMPKey},
      {ui::sel::open_url_source_application, kGULOpenURLOptionsSourceAnnotationsIMPKey},
      {ui::sel::handle_events_for_background_session, kGULHandleBackgroundSessionIMPKey},
  };
  for (const auto& added : alwaysAdded) addInstanceMethodWithSelector(added.first, source, *subclass);
  addInstanceMethodWithDestinationSelector(rt::sel::description, swizzler_sel::fakeDescription, source, *subclass);

  if (openURLOptions) object.set_associated(kGULOpenURLOptionsIMPKey, openURLOptions);
  for (const auto& [selector, key] : alwaysAdded) {
    object.set_associated(key, implementationOfMethodSelector(selector, &realClass));
  }
  object.set_associated(kGULRealClassKey, &realClass);

  if (subclass->instance_size() != realClass.instance_size()) {
    GULLogError(kGULLoggerSwizzler, false, messageCode(1007),
                "Cannot create subclass of App Delegate, because the created subclass is not the same size. %s",
                className.c_str());
    return;
  }
  runtime.register_subclass(*subclass);
  object.set_isa(*subclass);
  GULLogDebug(kGULLoggerSwizzler, false, messageCode(1008),
              "Successfully created App Delegate Proxy automatically. To disable the proxy, set the flag %s to NO "
              "(Boolean) in the Info.plist",
              correctAppDelegateProxyKey().c_str());

  // Nil and back, so that the application takes its responds-to cache again.
  rt::Id application = sharedApplication();
  if (auto* app = dynamic_cast<ui::Application*>(application.get())) {
    rt::Id delegate = app->delegate();
    rt::send(*app, ui::sel::set_delegate, rt::Id{});
    rt::send(*app, ui::sel::set_delegate, delegate);
  }
  proxiedDelegate() = anObject;
  GULAppDelegateObserver::sharedInstance().observeUIApplication();
}

// ---- observer ------------------------------------------------------------------

GULAppDelegateObserver& GULAppDelegateObserver::sharedInstance() {
  static auto* observer = new GULAppDelegateObserver();
  return *observer;
}

void GULAppDelegateObserver::observeUIApplication() {
  if (isObserving_) return;
  rt::Id application = GULAppDelegateSwizzler::sharedApplication();
  auto* app = dynamic_cast<ui::Application*>(application.get());
  if (!app) return;
  token_ = app->observe_delegate([this](rt::Id oldValue, rt::Id newValue) { delegateChanged(oldValue, newValue); });
  isObserving_ = true;
}

void GULAppDelegateObserver::delegateChanged(const rt::Id& oldValue, const rt::Id& newValue) {
  if (oldValue == newValue) return;  // the same object keeps its proxy
  rt::Id& proxied = proxiedDelegate();
  if (!oldValue || oldValue != proxied) return;
  proxied.reset();
  token_.remove();
  isObserving_ = false;
}

}  // namespace core
