#pragma once
// The measurement engine APMMeasurement: one shared instance per process that
// owns the analytics database, the persisted and remote configuration, the
// network client, the worker scheduler with its upload alarm and the session
// reporter. Its creation, enabling and component start, the automatic events
// of a start, the upload schedule, the event intake with its daily limits,
// user properties, and the reset and wipe of stored data. Also the
// process-wide monitor every analytics class logs through.
//
// Threads: class methods from any thread (the shared instance sits under one
// process-wide mutex). The engine is created on the analytics entry's serial
// queue; methods ending in OnWorkerQueue, the component start, the automatic
// events and updateSchedule run on the worker queue "com.dozada.fira.worker";
// the public setters and queries only schedule onto it. resetAnalyticsData
// waits for the worker (never call it there).
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "analytics/model/event.h"
#include "analytics/model/records.h"
#include "analytics/monitor/monitor.h"
#include "core/gul_network.h"
#include "wire/measurement/measurement.h"

namespace analytics {

class APMAlarm;
class APMAudience;
class APMDatabase;
class APMIdentity;
class APMPersistedConfig;
class APMRemoteConfig;
class APMScheduler;
class APMSearchAdReporting;
class APMSessionReporting;

class APMMeasurement : public core::GULNetworkReachabilityDelegate,
                       public core::GULNetworkLoggerDelegate,
                       public std::enable_shared_from_this<APMMeasurement> {
 public:
  static constexpr std::string_view kDatabaseName = "dozada-app-measurement.sql";
  static constexpr std::string_view kAlarmName = "Measurement timer";
  // Public user properties, and non-public ones per origin.
  static constexpr std::int64_t kMaxUserProperties = 25;
  // Distinct public event names with an aggregates row.
  static constexpr std::int64_t kMaxPublicEventNames = 500;

  // ---- class-level state ----
  // One monitor per process, made at first use with the library version.
  static APMMonitor& monitor();
  // Under the mutex, the first call only: sets the initialized flag and, for
  // a non-empty app ID, creates the engine (23170 for an empty one).
  static void initializeSharedInstanceWithAppID(const std::string& appID, bool isAnalyticsCollectionEnabled,
                                                bool isAnalyticsCollectionDeactivated,
                                                const std::optional<std::vector<std::string>>& safelistedEvents);
  // Under the mutex: initialized and an engine instance exists.
  static bool hasSharedInstance();
  // nullptr on an unsupported system and before the start (23147 through the
  // core logger while "DAVIdovivove" exists and nothing was initialized).
  static std::shared_ptr<APMMeasurement> sharedInstance();
  // The engine's remote configuration when the engine and it exist, else the
  // default instance.
  static std::shared_ptr<APMRemoteConfig> remoteConfig();
  // Load time: observes the platform's did-finish-launching notification.
  static void load();

  // ---- creation ----
  // nullptr (23170) for an empty app ID.
  static std::shared_ptr<APMMeasurement> initWithAppID(const std::string& appID, bool isAnalyticsCollectionEnabled,
                                                       bool isAnalyticsCollectionDeactivated,
                                                       const std::optional<std::vector<std::string>>& safelistedEvents);
  ~APMMeasurement() override;
  APMMeasurement(const APMMeasurement&) = delete;
  APMMeasurement& operator=(const APMMeasurement&) = delete;

  bool shouldEnableMeasurement() const;
  // Schedules setEnabledOnWorkerQueue ("APMMeasurement:687").
  void setEnabled(bool enabled);
  void setEnabledOnWorkerQueue(bool enabled);
  bool startMeasurementOnWorkerQueue();
  static bool shouldWipeDataWithAppID(const std::optional<std::string>& appID,
                                      const std::optional<std::string>& appIDFromRUV,
                                      const std::optional<std::string>& appIDFromVeZaz,
                                      const std::optional<std::string>& persistedAppIDFromRUV,
                                      const std::optional<std::string>& persistedAppIDFromVeZaz);

  // ---- automatic events (worker) ----
  void reportSessionStartOnWorkerQueueWithTimestamp(double timestamp);
  void reportFirstOpenOnWorkerQueue();
  void reportAppUpdateOnWorkerQueue();
  void reportOSUpdateOnWorkerQueue();
  void backfillSessionNumber();
  static std::int64_t timestampMillisRoundedUpToNextHour(std::int64_t milliseconds);
  // nullopt for an empty path or a failure (23022).
  static std::optional<platform::foundation::Dict> fileAttributesForPath(const std::string& path);
  bool isAppUpdateWithAnalytics() const;
  // Schedule onto the session reporter ("APMMeasurement:1408", "APMMeasurement:1416").
  void setMinimumSessionInterval(double seconds);
  void setSessionTimeoutInterval(double seconds);

  // ---- upload schedule (worker) ----
  void updateSchedule();
  // GULNetworkReachabilityDelegate: schedules updateSchedule ("APMMeasurement:972").
  void reachabilityDidChange() override;

  // ---- event intake ----
  // Any thread; nil logs 23048. Schedules handleEventOnWorkerQueue ("APMMeasurement:2097").
  void logEvent(const APMEventRef& event);
  void handleEventOnWorkerQueue(APMEventRef event);
  void writeEventOnWorkerQueue(APMEventRef event);
  void maybeAddDebugAndRealtimeParameters(APMEvent& event) const;
  // The metadata record of raw events: identity, environment and the user attributes.
  std::shared_ptr<wire::RIDUZMeasurementBundle> createRawEventMetadataWithUserAttributes(
      const std::vector<APMUserAttributeRef>& userAttributes) const;

  // ---- user properties ----
  using UserAttributeCallback = std::function<void(APMUserAttributeRef)>;
  using UserPropertiesCallback = std::function<void(platform::foundation::Dict)>;
  using MaxUserPropertiesCallback = std::function<void(std::int64_t)>;
  void setUserAttribute(const APMUserAttributeRef& attribute);
  void removeUserAttribute(const APMUserAttributeRef& attribute);
  void userAttributeWithName(const std::string& name, UserAttributeCallback callback);
  void userPropertiesIncludingInternal(bool includeInternal, UserPropertiesCallback callback);
  void maxUserPropertiesForOrigin(const std::string& origin, MaxUserPropertiesCallback callback);
  void setUserAttributeOnWorkerQueue(const APMUserAttributeRef& attribute);
  // No transaction of its own; callers run it inside one.
  bool setUserPropertyInDatabaseOnWorkerQueue(const APMUserAttributeRef& attribute);
  void removeUserAttributeOnWorkerQueue(const APMUserAttributeRef& attribute);

  // ---- reset and wipe ----
  // Off the worker; waits for the worker to finish the reset.
  void resetAnalyticsData();
  void wipeoutAnalyticsDataAndResetComponents();
  double firstOpenTimestamp();

  // ---- accessors ----
  APMIdentity* identity() const { return identity_; }
  // The engine's own remote configuration (nullptr until the component start).
  std::shared_ptr<APMRemoteConfig> instanceRemoteConfig() const;
  const std::shared_ptr<APMScheduler>& scheduler() const { return scheduler_; }
  APMAlarm& alarm() const { return *alarm_; }
  const std::shared_ptr<APMDatabase>& database() const { return database_; }
  // The audiences of the component start (nullptr before it); worker.
  const std::shared_ptr<APMAudience>& audience() const { return audience_; }
  APMPersistedConfig* persistedConfig() const { return persistedConfig_; }
  const std::shared_ptr<core::GULNetwork>& network() const { return network_; }
  const std::shared_ptr<APMSessionReporting>& sessionReporter() const { return sessionReporter_; }
  const std::string& appID() const { return appID_; }
  bool isEnabled() const { return enabled_.load(); }
  bool wasEnabledDuringInitialization() const { return wasEnabledDuringInitialization_; }
  bool isAnalyticsCollectionEnabled() const { return isAnalyticsCollectionEnabled_.load(); }
  void setIsAnalyticsCollectionEnabled(bool value) { isAnalyticsCollectionEnabled_ = value; }
  bool isAnalyticsCollectionDeactivated() const { return isAnalyticsCollectionDeactivated_.load(); }
  void setIsAnalyticsCollectionDeactivated(bool value) { isAnalyticsCollectionDeactivated_ = value; }
  double initTimestamp() const { return initTimestamp_; }
  // Seconds since device boot at which uploads were suspended; 0 when not (worker).
  double suspendedUploadTimestamp() const { return suspendedUploadTimestamp_; }
  void setSuspendedUploadTimestamp(double value) { suspendedUploadTimestamp_ = value; }
  std::uint64_t backgroundUpdateTask() const { return backgroundUpdateTask_.load(); }
  void setBackgroundUpdateTask(std::uint64_t task) { backgroundUpdateTask_ = task; }
  // Stores `task` and answers the one it replaces, in one atomic step.
  std::uint64_t exchangeBackgroundUpdateTask(std::uint64_t task) { return backgroundUpdateTask_.exchange(task); }
  // Queue rows of the upload in flight (worker).
  std::vector<std::int64_t>& uploadingBundleIDs() { return uploadingBundleIDs_; }
  // Set while an upload or a configuration fetch is out (worker).
  bool isNetworkRequestPending() const { return isNetworkRequestPending_; }
  void setIsNetworkRequestPending(bool pending) { isNetworkRequestPending_ = pending; }
  bool needFirstOpenAfterReset() const { return needFirstOpenAfterReset_; }
  const std::optional<std::string>& previousRUVAppID() const { return previousRUVAppID_; }

  // GULNetworkLoggerDelegate: handed to the upload seam's network log bridge.
  void GULNetwork_logWithLevel(core::GULNetworkLogLevel logLevel, core::GULNetworkMessageCode messageCode,
                               const std::optional<std::string>& message,
                               const std::vector<platform::foundation::Value>& contexts) override;
  void GULNetwork_logWithLevel(core::GULNetworkLogLevel logLevel, core::GULNetworkMessageCode messageCode,
                               const std::optional<std::string>& message,
                               const platform::foundation::Value& context) override;
  void GULNetwork_logWithLevel(core::GULNetworkLogLevel logLevel, core::GULNetworkMessageCode messageCode,
                               const std::optional<std::string>& message) override;

  struct Passkey {
   private:
    Passkey() = default;
    friend class APMMeasurement;
  };
  explicit APMMeasurement(Passkey) {}

 private:
  friend class APMIdentifiers;  // reads the engine's identity

  // The engine instance read under the mutex, whether initialized or not.
  static std::shared_ptr<APMMeasurement> lockedSharedInstance();
  struct ClassState;
  static ClassState& classState();

  // Component start (worker, once per successful start).
  bool startComponentsOnWorkerQueue();
  // Cancels the alarm, drops the reachability delegate, ends the background task.
  void closeUploadSchedule();
  // Intake pieces (worker).
  bool updateDailyLimitsOnWorkerQueue(APMEvent& event, bool isPublic, bool& dropped, bool& realtime);
  bool storeEventOnWorkerQueue(const APMEventRef& event, bool isPublic, bool realtime);
  void deleteSessionPropertiesOnWorkerQueue(std::int64_t sidCode, std::int64_t snoCode, bool transaction);
  void notifyListeners(const APMEventRef& event) const;

  std::string databaseName_{kDatabaseName};
  std::atomic<bool> componentsStarted_{false};
  std::shared_ptr<APMAlarm> alarm_;
  std::shared_ptr<APMAudience> audience_;
  std::shared_ptr<APMDatabase> database_;
  APMIdentity* identity_ = nullptr;  // the shared identity, which lives for the process
  std::shared_ptr<core::GULNetwork> network_;
  APMPersistedConfig* persistedConfig_ = nullptr;  // the shared configuration, which lives for the process
  mutable std::mutex remoteConfigMutex_;
  std::shared_ptr<APMRemoteConfig> remoteConfig_;  // guarded by remoteConfigMutex_
  std::shared_ptr<APMScheduler> scheduler_;
  std::shared_ptr<APMSessionReporting> sessionReporter_;
  std::shared_ptr<APMSearchAdReporting> searchAdReporter_;
  std::optional<std::string> previousRUVAppID_;
  std::atomic<std::uint64_t> backgroundUpdateTask_{0};
  double initTimestamp_ = 0;
  double suspendedUploadTimestamp_ = 0;
  std::vector<std::int64_t> uploadingBundleIDs_;
  bool isNetworkRequestPending_ = false;
  bool needFirstOpenAfterReset_ = false;
  std::string appID_;
  std::optional<std::vector<std::string>> safelistedEvents_;
  std::atomic<bool> enabled_{false};
  bool wasEnabledDuringInitialization_ = false;
  std::atomic<bool> isAnalyticsCollectionEnabled_{false};
  std::atomic<bool> isAnalyticsCollectionDeactivated_{false};
};

}  // namespace analytics
