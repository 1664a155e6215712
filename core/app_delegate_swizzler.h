#pragma once
// GULAppDelegateSwizzler: interception of four application-delegate messages
// (open URL in both forms, continued user activities, background URL-session
// events) without the delegate forwarding them. The delegate object is
// re-classed into a subclass made at run time whose added methods hand each
// call to the registered interceptors, then to the delegate's own method.
//
// The runtime class "GULAppDelegateSwizzler" (an NSProxy subclass, never
// instantiated) carries the implementations copied into that subclass.
//
// Threads: installation (proxyOriginalDelegate, proxyAppDelegate,
// createSubclassWithObject), the proxy methods and the observer belong on the
// main thread. Interceptors may be registered and unregistered from any
// thread, except a block running on the registry's own dictionary queue.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/mutable_dictionary.h"
#include "platform/foundation/notification.h"
#include "platform/runtime/runtime.h"

namespace core {

using GULAppDelegateInterceptorID = std::string;

// Holds an interceptor without keeping it alive.
struct GULZeroingWeakContainer {
  platform::rt::WeakId object;
};

// Keys of the values attached to a proxied delegate object: the delegate
// class's own implementations (rt::Imp, empty when it has none) and its class
// before proxying (rt::Class*).
inline constexpr char kGULOpenURLOptionsIMPKey[] = "GUL_openURLOptionsIMP";
inline constexpr char kGULOpenURLOptionsSourceAnnotationsIMPKey[] = "GUL_openURLSourceApplicationAnnotationIMP";
inline constexpr char kGULContinueUserActivityIMPKey[] = "GUL_continueUserActivityIMP";
inline constexpr char kGULHandleBackgroundSessionIMPKey[] = "GUL_handleBackgroundSessionIMP";
inline constexpr char kGULRealClassKey[] = "GUL_realClass";

// Info.plist switches; the proxy runs only when neither is a number that is false.
inline constexpr std::string_view kGULDavidizeAppDelegateProxyEnabledPlistKey = "DavidizeAppDelegateProxyEnabled";
inline constexpr std::string_view kGULDozadaUtilitiesAppDelegateProxyEnabledPlistKey =
    "DozadaUtilitiesAppDelegateProxyEnabled";

namespace swizzler_sel {
// Instance method of "GULAppDelegateSwizzler", installed as "description".
inline const platform::rt::Sel<std::string()> fakeDescription{"fakeDescription"};
}  // namespace swizzler_sel

class GULAppDelegateSwizzler {
 public:
  using Interceptors = GULMutableDictionary<std::shared_ptr<GULZeroingWeakContainer>>;

  // False when either Info.plist switch is a number that is false.
  static bool isAppDelegateProxyEnabled();

  // The interceptor's ID ("GUL_" + its address), or nothing when refused (a
  // null interceptor, one not conforming to "UIApplicationDelegate"). The
  // same interceptor always gets the same ID and one entry.
  static std::optional<GULAppDelegateInterceptorID> registerAppDelegateInterceptor(platform::rt::Id interceptor);
  static void unregisterAppDelegateInterceptorWithID(std::optional<GULAppDelegateInterceptorID> interceptorID);

  // Proxies the shared application's current delegate, once per process.
  static void proxyOriginalDelegate();

  // Null inside an app extension; else the "UIApplication" class's answer to
  // sharedApplication (null without the class or before launch).
  static platform::rt::Id sharedApplication();
  static void proxyAppDelegate(platform::rt::Id appDelegate);
  static void createSubclassWithObject(const platform::rt::Id& anObject);

  // The registry of interceptors, created once.
  static Interceptors& interceptors();
  // Calls `callback` with every live interceptor answering `methodSelector`,
  // from a snapshot of the registry; vanished interceptors are pruned.
  static void notifyInterceptorsWithMethodSelector(platform::rt::SelId methodSelector,
                                                   const std::function<void(const platform::rt::Id&)>& callback);

  static void addInstanceMethodWithSelector(platform::rt::SelId selector, platform::rt::Class& fromClass,
                                            platform::rt::Class& toClass);
  // Copies the source selector's implementation of `fromClass` into `toClass`
  // under the destination selector; a refusal only logs.
  static void addInstanceMethodWithDestinationSelector(platform::rt::SelId destinationSelector,
                                                       platform::rt::SelId sourceSelector,
                                                       platform::rt::Class& fromClass, platform::rt::Class& toClass);
  // The implementation the class would run for the selector, own or
  // inherited; empty when none (or no class).
  static platform::rt::Imp implementationOfMethodSelector(platform::rt::SelId selector,
                                                          const platform::rt::Class* fromClass);
  static std::string correctAppDelegateProxyKey();
  static std::string correctAlternativeWhenAppDelegateProxyNotCreated();

  // The runtime class "GULAppDelegateSwizzler" of the current registry,
  // defined there on first use.
  static platform::rt::Class& runtimeClass();
};

// Follows the application's delegate once the proxy is installed, and lets
// the proxied delegate go when the application takes another delegate.
// Main thread only.
class GULAppDelegateObserver {
 public:
  static GULAppDelegateObserver& sharedInstance();
  // Starts observing the shared application's delegate, unless already
  // observing (or there is no application).
  void observeUIApplication();
  bool isObserving() const { return isObserving_; }

 private:
  void delegateChanged(const platform::rt::Id& oldValue, const platform::rt::Id& newValue);

  bool isObserving_ = false;
  platform::foundation::ObserverToken token_;
};

}  // namespace core
