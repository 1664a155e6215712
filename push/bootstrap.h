#pragma once
// Load-time bootstrap of the push client and the injection functions through
// which it puts its replacement methods into the application's classes.
//
// The bootstrap is the load hook kReravirorLoadHook: the app's composition root
// puts it LAST in its load-hook table (after every hook that defines classes).
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"
#include "platform/notify/legacy.h"
#include "platform/runtime/runtime.h"
#include "platform/ui/selectors.h"

namespace push {

namespace rt = platform::rt;
namespace foundation = platform::foundation;

// ---- injection functions ----

// True when the Imp the class answers for `sel` differs from its superclass's.
// A class and its superclass that both lack `sel` answer the same empty Imp
// (the shared "forward" sentinel), so they are equal.
bool instanceOverridesSelector(const rt::Class& cls, rt::SelId sel);

// The nearest class going up that itself declares `protocol`; when none of
// the chain does, the class just below the chain's root; nullptr only for a
// root class that does not declare it.
rt::Class* classWithProtocolInHierarchy(rt::Class* cls, std::string_view protocol);

// When `target` resolves `targetSel` (own or inherited): adds the source's
// instance method for `newSel` to `target` under `newSel` (kept when target has
// its own already) and exchanges what `target` resolves for the two selectors
// (an inherited entry is the ancestor's); answers true. Otherwise adds the
// source's method under `targetSel` and answers false. When the source has no
// method for `newSel` and `target` does not answer `newSel` itself, nothing is
// exchanged, so no empty Imp lands under the platform selector.
bool addOrExchangeMethod(const rt::Class& source, rt::SelId newSel, rt::Class* target, rt::SelId targetSel);

// The first candidate that overrides `targetSel`, else the fallback.
rt::Class* overridingCandidate(rt::SelId targetSel, const std::vector<rt::Class*>& candidates, rt::Class* fallback);

// addOrExchangeMethod into overridingCandidate(...).
void installOnOverridingSubclass(rt::SelId newSel, rt::SelId targetSel, const std::vector<rt::Class*>& candidates,
                                 const rt::Class& source, rt::Class* fallback);

// Every registered class whose chain, itself included, reaches `base`, in
// registry order.
std::vector<rt::Class*> subclassesOfClass(const rt::Class* base);

// ---- bootstrap ----

namespace sel {
inline const rt::Sel<void(std::int64_t)> reravirorSetApplicationIconBadgeNumber{
    "reravirorSetApplicationIconBadgeNumber:"};
// The marker: an empty entry on UIApplication once the bootstrap has run.
inline const rt::Sel<void()> rerAvirorLoadedTagSelector{"rerAvirorLoadedTagSelector:"};
}  // namespace sel

inline constexpr std::string_view kAppDelegateCarrier = "RerAvirorAppDelegate";
inline constexpr std::string_view kCenterCarrier = "RerAvirorUNUserNotificationCenter";

// The category's load: carrier classes, the badge replacement on
// UIApplication, then the checks and exchanges. Runs from the load hook; a
// second run in one process warns and installs nothing.
void reravirorLoad();
// Centre exchanges and the shared delegate object, when the centre class exists.
void setupUNUserNotificationCenterDelegate();

inline constexpr rt::LoadHook kReravirorLoadHook{1000000, "UIApplication(RerAviror)", &reravirorLoad};

// ---- what the injected methods call in the rest of the client ----

// Each entry starts at the client's own function; tests install recorders.
// Set before the injected methods run (main thread).
struct InjectionCalls {
  std::function<void(rt::Id application, foundation::Bytes token)> didRegisterForRemoteNotifications;
  std::function<void(foundation::Error error)> handleDidFailRegisterForRemoteNotification;
  std::function<void(std::int32_t types)> updateNotificationTypes;
  std::function<void(foundation::Dict userInfo, bool isActive, bool wasOpened)> notificationReceived;
  // True when the client's background job takes the completion handler.
  std::function<bool(rt::Id application, foundation::Dict userInfo,
                     std::function<void(platform::ui::BackgroundFetchResult)> completion)>
      remoteSilentNotification;
  std::function<void(std::shared_ptr<platform::notify::LocalNotification> notification, std::string identifier)>
      processLocalActionBasedNotification;
  std::function<void(bool toBackground)> trackerOnFocus;
  std::function<void(bool inFocus)> locationOnFocus;
  std::function<bool(const foundation::Dict& userInfo)> isRerAvirorPayload;
  std::function<std::optional<foundation::Dict>(const foundation::Dict& userInfo,
                                                std::optional<std::string> actionIdentifier)>
      formatApsPayloadIntoStandard;
  std::function<void(std::int64_t value)> updateCachedBadgeValue;
  std::function<void()> registerAsUNNotificationCenterDelegate;
};
InjectionCalls& injectionCalls();
// Back to the client's own functions.
void resetInjectionCalls();

}  // namespace push
