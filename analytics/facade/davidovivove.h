#pragma once
// The public face of the analytics engine: the facade DAVIdovivove (class
// methods and three instance methods forwarding to the analytics entry), the
// start through the app core, the interop component DAVIdovivoveConnector
// with its filters FIRConnectorUtils, the registration of the runtime
// classes "DAVIdovivove" and "DAVIdovivoveConnector", and the analytics load
// hooks of the program's table.
//
// Threads: every method may be called from any thread (setScreenName on the
// main thread); the registration and the load hooks run at launch on the
// main thread.
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "analytics/engine/analytics_entry.h"
#include "analytics/selectors.h"
#include "platform/foundation/value.h"
#include "platform/runtime/runtime.h"

namespace core {
class DAVIdovivoveConfiguration;
class FIROptions;
}  // namespace core

namespace analytics {

class DAVIdovivove {
 public:
  static constexpr std::string_view kClassName = "DAVIdovivove";
  static constexpr std::string_view kExpectedLibraryVersion = "50300000";
  static constexpr std::string_view kVersionMismatchException = "DAVIdovivoveVersionMismatch";

  // On first use: the engine's library version against the expected one.
  static void initialize();
  // Raises "DAVIdovivoveVersionMismatch" when `engineVersion` differs.
  static void checkLibraryVersion(std::string_view engineVersion);

  static void startWithConfiguration(const std::shared_ptr<core::DAVIdovivoveConfiguration>& configuration,
                                     const std::shared_ptr<core::FIROptions>& options);
  // Public events and properties: dropped with 25018 / 25019 before the
  // default app is configured.
  static void logEventWithName(const std::string& name, const platform::foundation::Dict& parameters);
  static void logEventWithOrigin(const std::string& origin, const std::string& name,
                                 const platform::foundation::Dict& parameters);
  static void setUserPropertyString(const platform::foundation::Value& value, const std::string& name);
  // Forwarded as they are.
  static void setUserID(const platform::foundation::Value& userID);
  static void setScreenName(const std::optional<std::string>& screenName,
                            const std::optional<std::string>& screenClass);
  static std::optional<std::string> appInstanceID();
  static void resetAnalyticsData();
  static void setLogEventInterceptor(APMAnalytics::Interceptor interceptor);
  static APMLogEventListenerTokenRef addLogEventListener(APMLogEventListener listener);
  static void removeLogEventListener(const APMLogEventListenerTokenRef& token);
  static void notifyEventListeners(const APMEventRef& event);
  static void setOpenURLListener(APMAnalytics::OpenURLListener listener);
  static void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                         const platform::foundation::Dict& parameters);
  static void logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                 const platform::foundation::Dict& parameters, double timestamp, bool ignoreEnabled,
                                 bool ignoreInterceptor);
  static void setInternalUserProperty(const platform::foundation::Value& value, const std::string& name);
  static void userPropertiesIncludingInternal(bool includeInternal, std::optional<platform::dispatch::Queue> queue,
                                              APMAnalytics::UserPropertiesCallback callback);
  static void handleEventsForBackgroundURLSession(const std::string& sessionID, std::function<void()> completion);
  static void handleOpenURL(const platform::foundation::Url& url);
  static void handleUserActivity(const std::shared_ptr<platform::ui::UserActivity>& activity);
  static void dispatchAsyncOnSerialQueue(std::function<void()> block);
  static void queueOperationWithBlock(std::function<void()> block);
  static void unsuspendOperationQueue();
  static double loadTimestamp();

  static std::shared_ptr<DAVIdovivove> sharedInstance();
  // Instance methods, forwarded to the entry's shared instance.
  void logInternalEventWithOriginInstance(const std::string& origin, const std::string& name,
                                          const platform::foundation::Dict& parameters);
  void setInternalUserProperty(const platform::foundation::Value& value, const std::string& name,
                               const std::string& origin);
  void maxUserPropertiesForOrigin(const std::string& origin, std::optional<platform::dispatch::Queue> queue,
                                  APMAnalytics::MaxUserPropertiesCallback callback);
};

// The filters of the interop component.
struct FIRConnectorUtils {
  static const std::set<std::string, std::less<>>& blacklistedOrigins();
  static const std::set<std::string, std::less<>>& blacklistedEventNames();
  static const std::set<std::string, std::less<>>& blacklistedParameters();
  static const std::set<std::string, std::less<>>& blacklistedUserProperties();
  static const std::vector<std::string>& blacklistedUserPropertyPatterns();

  static bool isOriginAllowed(std::string_view origin);
  static bool shouldLogEventWithName(std::string_view name, const platform::foundation::Dict& parameters);
  // "_ln" only for "fcm" and "fiam"; patterns match anywhere in the name.
  static bool isUserPropertyAllowed(std::string_view name, std::string_view origin);
};

// The interop component's instances: runtime objects of "DAVIdovivoveConnector".
class DAVIdovivoveConnector : public platform::rt::Object {
 public:
  static constexpr std::string_view kClassName = "DAVIdovivoveConnector";
  using platform::rt::Object::Object;

  void logEventWithOrigin(const std::string& origin, const std::string& name,
                          const platform::foundation::Dict& parameters);
  void setUserPropertyWithOrigin(const std::string& origin, const std::string& name,
                                 const platform::foundation::Value& value);
  std::int64_t maxUserProperties(const std::string& origin) const { return (void)origin, -1; }
  // Conditional properties are not served through the connector.
  void setConditionalUserProperty(const platform::foundation::Dict&) {}
  void clearConditionalUserProperty(const std::string&, const std::string&, const platform::foundation::Dict&) {}
  std::optional<platform::foundation::Array> conditionalUserProperties(const std::string&, const std::string&) const {
    return std::nullopt;
  }
};

// Registers "DAVIdovivove" (NSObject; the class methods callers send by
// name) and "DAVIdovivoveConnector" (NSObject; "FIRComponentRegistrant",
// "DAVIdovivoveInterop") and "APMAppDelegateInterceptor", and fills the
// engine's seams: the upload road (unless one is installed), sessions,
// screens and campaigns, conditional properties, lifetime value, purchases
// and search ads. Classes already registered stay.
void register_runtime_classes();

// Load hooks of the program's table.
void connectorLoad();
void analyticsLoad();
void measurementLoad();
void screenClassNameLoad();
inline constexpr platform::rt::LoadHook kConnectorLoadHook{1, "DAVIdovivoveConnector", &connectorLoad};
inline constexpr platform::rt::LoadHook kAnalyticsLoadHook{5, "APMAnalytics", &analyticsLoad};
inline constexpr platform::rt::LoadHook kMeasurementLoadHook{6, "APMMeasurement", &measurementLoad};
inline constexpr platform::rt::LoadHook kScreenClassNameLoadHook{7, "UIViewController(APMScreenClassName)",
                                                                 &screenClassNameLoad};

}  // namespace analytics
