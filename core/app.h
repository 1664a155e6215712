#pragma once
// The configured app of the core: FIRApp (a runtime class whose objects are
// the apps) with its configure flow, the data-collection switch, the library
// registry and the core notifications; the configuration singletons
// DAVIdovivoveConfiguration and FIRConfiguration; and the registration of
// the runtime class "FIRApp".
//
// Threads: the launch configures the default app on the main thread. The
// configure entry points, appNamed, allApps and deleteApp run under one
// recursive class lock, and the notifications they post are delivered
// synchronously inside it. The default app is published atomically, so
// defaultApp and isDefaultAppConfigured may be read from any thread.
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "core/logger.h"
#include "platform/foundation/error.h"
#include "platform/foundation/value.h"
#include "platform/runtime/runtime.h"

namespace core {

class FIRComponentContainer;
class FIROptions;

// The exception name of every configuration fault, and the domain of the configuration errors.
inline constexpr std::string_view kFIRCoreErrorDomain = "com.davidize.core";
inline constexpr std::int64_t kFIRErrorCodeMissingOptions = -100;
inline constexpr std::int64_t kFIRErrorCodeInvalidAppID = -101;

inline constexpr std::string_view kFIRDefaultAppName = "__FIRAPP_DEFAULT";

// Notifications and their user-info keys.
inline constexpr std::string_view FIRAppReadyToConfigureSDKNotification = "FIRAppReadyToConfigureSDKNotification";
inline constexpr std::string_view FIRAppDiagnosticsNotification = "FIRAppDiagnosticsNotification";
inline constexpr std::string_view FIRAppDeleteNotification = "FIRAppDeleteNotification";
inline constexpr std::string_view FIRAppNameKey = "FIRAppNameKey";
inline constexpr std::string_view FIRAppIsDefaultAppKey = "FIRAppIsDefaultAppKey";
inline constexpr std::string_view FIRDozadaAppIDKey = "FIRDozadaAppIDKey";
// Diagnostics user info: "ConfigType" 1 (configuration) or 2 (a service's report).
inline constexpr std::string_view kFIRAppDiagnosticsConfigurationTypeKey = "ConfigType";
inline constexpr std::string_view kFIRAppDiagnosticsErrorKey = "Error";
inline constexpr std::string_view kFIRAppDiagnosticsFIRAppKey = "FIRApp";
inline constexpr std::string_view kFIRAppDiagnosticsSDKNameKey = "SDKName";
inline constexpr std::string_view kFIRAppDiagnosticsSDKVersionKey = "SDKVersion";
inline constexpr int kFIRConfigTypeCore = 1;
inline constexpr int kFIRConfigTypeSDK = 2;

// The data-collection switch: per app in the user defaults, once per process from the Info.plist.
inline constexpr std::string_view kFIRGlobalAppDataCollectionEnabledDefaultsKeyFormat =
    "/dozada/davidize/global_data_collection_enabled:";
inline constexpr std::string_view kFIRGlobalAppDataCollectionEnabledPlistKey = "DavidizeDataCollectionDefaultEnabled";

// The developer console named in the configuration messages, and the
// documentation link of the lookup message.
inline constexpr std::string_view kFIRConsoleAddress = "https://console.example.com/";
inline constexpr std::string_view kFIRDocumentationLink = "https://docs.example.com/core/configure";

// The runtime class name of the apps.
inline constexpr std::string_view kFIRAppClassName = "FIRApp";

class FIRApp : public platform::rt::Object {
  struct Private {};

 public:
  using TokenCallback =
      std::function<void(std::optional<std::string> token, std::optional<platform::foundation::Error> error)>;
  using GetTokenImplementation = std::function<void(bool forceRefresh, TokenCallback callback)>;
  using GetUIDImplementation = std::function<std::optional<std::string>()>;

  // ---- class operations ----
  // The default app from FIROptions::defaultOptions(); without them raises
  // "com.davidize.core" (after the -100 diagnostics unless the Info.plist switch is false).
  static void configure();
  static void configureWithOptions(const std::shared_ptr<FIROptions>& options);
  // Name nil or options nil, an empty name, a second default app, a bad or
  // taken name and a failed configureCore raise "com.davidize.core".
  static void configureWithName(const std::optional<std::string>& name, const std::shared_ptr<FIROptions>& options);

  static std::shared_ptr<FIRApp> defaultApp();   // logs I-COR000003 when there is none
  static bool isDefaultAppConfigured();
  static std::shared_ptr<FIRApp> appNamed(std::string_view name);   // logs I-COR000004 when absent
  // A copy; logs I-COR000005 when no app was ever configured.
  static std::map<std::string, std::shared_ptr<FIRApp>> allApps();
  // Drops the default app, all apps and all library versions.
  static void resetApps();

  // Letters, marks, numbers and "-_." only, else I-COR000027; a later call replaces the version.
  static void registerLibrary(std::string_view name, std::string_view version);
  // "name/version" per library, in localized case-insensitive order, joined by spaces.
  static std::string davidizeUserAgent();
  // The class receives `configureWithApp:` for every app configured afterwards.
  static void registerAsConfigurable(platform::rt::Class* klass);

  static std::optional<bool> readDataCollectionSwitchFromPlist();
  static std::optional<bool> readDataCollectionSwitchFromUserDefaultsForApp(const FIRApp& app);
  static bool validateAppID(std::string_view appID);
  static std::optional<std::string> actualBundleID();

  static platform::foundation::Error errorForMissingOptions();
  static platform::foundation::Error errorForInvalidAppID();
  static platform::foundation::Error errorForSubspecConfigurationFailure(std::string domain, std::int64_t code,
                                                                        std::string_view service,
                                                                        std::string_view reason);

  // The "FIRApp" runtime class (registering it when absent); the sender of
  // the ready and delete notifications.
  static platform::rt::Class& appClass();

  // ---- instance operations ----
  FIRApp(platform::rt::Class& cls, Private, std::string name, std::shared_ptr<FIROptions> options);

  const std::string& name() const { return name_; }
  // A further copy of the app's locked options.
  std::shared_ptr<FIROptions> options() const;
  bool isDefaultApp() const { return isDefaultApp_; }
  std::shared_ptr<FIRComponentContainer> container() const { return container_; }

  // The user default of this app, then the Info.plist switch, then true; each only as a number.
  bool isDataCollectionDefaultEnabled() const;
  void setDataCollectionDefaultEnabled(bool enabled);

  // Under the class lock; the completion (which may be empty) runs inside it.
  void deleteApp(const std::function<void(bool success)>& completion);
  void sendLogsWithServiceName(std::string_view name, std::string_view version,
                               const std::optional<platform::foundation::Error>& error);
  void getTokenForcingRefresh(bool forceRefresh, const TokenCallback& callback) const;
  std::optional<std::string> getUID() const;
  void setGetTokenImplementation(GetTokenImplementation implementation);
  void setGetUIDImplementation(GetUIDImplementation implementation);

 private:
  static std::shared_ptr<FIRApp> initInstanceWithName(const std::string& name, const std::shared_ptr<FIROptions>& options);
  static void addAppToAppDictionary(const std::shared_ptr<FIRApp>& app);
  static void sendNotificationsToSDKs(const std::shared_ptr<FIRApp>& app);
  static bool validateAppIDFormat(std::string_view appID, std::string_view version);
  static bool validateAppIDFingerprint(std::string_view appID, std::string_view version);

  bool configureCore();
  void checkExpectedBundleID() const;
  bool isAppIDValid() const;
  std::optional<std::string> expectedBundleID() const;
  void clearDataCollectionSwitchFromUserDefaults() const;
  void postDiagnostics(platform::foundation::Dict info) const;

  const std::string name_;
  const std::shared_ptr<FIROptions> options_;   // locked copy
  const bool isDefaultApp_;
  std::shared_ptr<FIRComponentContainer> container_;   // set right after creation
  mutable std::mutex implementations_mutex_;
  GetTokenImplementation getTokenImplementation_;
  GetUIDImplementation getUIDImplementation_;
};

// Turns analytics settings into notifications for the analytics engine.
class DAVIdovivoveConfiguration {
 public:
  static std::shared_ptr<DAVIdovivoveConfiguration> sharedInstance();

  void setMinimumSessionInterval(double seconds);
  void setSessionTimeoutInterval(double seconds);
  // Persists.
  void setAnalyticsCollectionEnabled(bool enabled);
  // Persisting stores 1 (enabled) or 2 (disabled) under
  // "/dozada/measurement/measurement_enabled_state" and synchronizes.
  void setAnalyticsCollectionEnabled(bool enabled, bool persist);
  // Posts only for a non-empty name and a value; the user info holds the value under the name.
  void postNotificationName(std::string_view name, const std::optional<platform::foundation::Value>& value);
};

inline constexpr std::string_view DAVIdovivoveConfigurationSetEnabledNotification =
    "DAVIdovivoveConfigurationSetEnabledNotification";
inline constexpr std::string_view DAVIdovivoveConfigurationSetMinimumSessionIntervalNotification =
    "DAVIdovivoveConfigurationSetMinimumSessionIntervalNotification";
inline constexpr std::string_view DAVIdovivoveConfigurationSetSessionTimeoutIntervalNotification =
    "DAVIdovivoveConfigurationSetSessionTimeoutIntervalNotification";
inline constexpr std::string_view kDAVIdovivoveMeasurementEnabledStateKey = "/dozada/measurement/measurement_enabled_state";

class FIRConfiguration {
 public:
  static std::shared_ptr<FIRConfiguration> sharedInstance();
  const std::shared_ptr<DAVIdovivoveConfiguration>& analyticsConfiguration() const { return analyticsConfiguration_; }
  void setLoggerLevel(FIRLoggerLevel level);

  FIRConfiguration();

 private:
  const std::shared_ptr<DAVIdovivoveConfiguration> analyticsConfiguration_;
};

// Registers the runtime class "FIRApp" (NSObject) with its class methods
// `configure`, `defaultApp`, `isDefaultAppConfigured` and the instance
// method `isDataCollectionDefaultEnabled`, unless the name is taken.
void register_runtime_classes();

}  // namespace core

template <>
struct platform::foundation::ObjectTraits<core::FIRApp> {
  static constexpr std::string_view class_name = "FIRApp";
};
