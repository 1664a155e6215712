#pragma once
// The persisted analytics configuration: small typed values under
// "/dozada/measurement/..." keys of the preferences suite
// "com.dozada.ruv.measurement" that survive restarts, and the per-install
// offset of the day boundary.
//
// Threads: callable from any thread but the "APMPersistedConfig" queue itself:
// every typed read and write, clearValues and synchronizeToDisk run
// synchronously on that queue. A write asks for a flush one second later on
// the writing thread's run loop (it runs only where that loop turns). The
// search-ad campaign value goes to the store directly.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "analytics/support/user_defaults.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/value.h"

namespace platform::dispatch {
class RunLoop;
}

namespace analytics {

class APMPersistedConfig {
 public:
  static constexpr std::string_view kSuiteName = "com.dozada.ruv.measurement";
  static constexpr std::string_view kQueueLabel = "APMPersistedConfig";

  static constexpr std::string_view kAppInstanceIDKey = "/dozada/measurement/app_instance_id";
  static constexpr std::string_view kAppIDFromRUVKey = "/dozada/measurement/ruv_app_id";
  static constexpr std::string_view kAppIDFromVeZazKey = "/dozada/measurement/vezaz_app_id";
  static constexpr std::string_view kHashedIDFAKey = "/dozada/measurement/hashed_idfa";
  static constexpr std::string_view kAppVersionKey = "/dozada/measurement/app_version";
  static constexpr std::string_view kOSVersionKey = "/dozada/measurement/os_version";
  static constexpr std::string_view kFirstOpenTimestampKey = "/dozada/measurement/first_open_timestamp_ms";
  static constexpr std::string_view kDeferredAnalyticsCollectionKey = "/dozada/measurement/deferred_analytics_collection";
  static constexpr std::string_view kLoadTimestampKey = "/dozada/measurement/load_timestamp";
  static constexpr std::string_view kLastSuccessfulUploadKey = "/dozada/measurement/last_successful_upload";
  static constexpr std::string_view kLastFailedUploadKey = "/dozada/measurement/last_failed_upload";
  static constexpr std::string_view kLastBackoffKey = "/dozada/measurement/last_backoff";
  static constexpr std::string_view kLastDeleteStaleKey = "/dozada/measurement/last_delete_stale";
  static constexpr std::string_view kLastModifiedSinceKey = "/dozada/measurement/last_modified_since_key";
  static constexpr std::string_view kLastMonitorDataSampledKey = "/dozada/measurement/last_monitor_data_sampled_timestamp";
  static constexpr std::string_view kMidnightOffsetKey = "/dozada/measurement/midnight_offset";
  static constexpr std::string_view kStartNewSessionKey = "/dozada/measurement/start_new_session";
  static constexpr std::string_view kLastEngagementEndKey = "/dozada/measurement/last_engagement_end";
  static constexpr std::string_view kEngagementBeforeSessionKey = "/dozada/measurement/et_before_session_start";
  static constexpr std::string_view kSessionNumberKey = "/dozada/measurement/session_number";
  static constexpr std::string_view kSearchAdCampaignKey = "/dozada/measurement/is_search_ad_campaign";
  static constexpr std::string_view kSearchAdLastAttemptKey = "/dozada/measurement/search_ad_last_attempt_timestamp";
  static constexpr std::string_view kSearchAdRetriesKey = "/dozada/measurement/search_ad_number_of_retries";
  // In the standard store.
  static constexpr std::string_view kMeasurementEnabledStateKey = "/dozada/measurement/measurement_enabled_state";

  // The shared instance over kSuiteName, made once; nullptr (after 27001, on
  // every call) when it could not be made.
  static APMPersistedConfig* sharedInstance();
  // nullptr for a missing or empty suite name.
  static std::unique_ptr<APMPersistedConfig> initWithSuiteName(std::optional<std::string_view> suiteName);
  // Cancels a flush still pending on this thread's run loop; one pending
  // elsewhere does nothing once the configuration is gone.
  ~APMPersistedConfig();
  APMPersistedConfig(const APMPersistedConfig&) = delete;
  APMPersistedConfig& operator=(const APMPersistedConfig&) = delete;

  const std::string& name() const;

  // Strings (nullopt when absent or not a string).
  std::optional<std::string> appInstanceID() const { return stringForKey(kAppInstanceIDKey); }
  void setAppInstanceID(std::optional<std::string_view> v) { setString(v, kAppInstanceIDKey); }
  std::optional<std::string> appIDFromRUV() const { return stringForKey(kAppIDFromRUVKey); }
  void setAppIDFromRUV(std::optional<std::string_view> v) { setString(v, kAppIDFromRUVKey); }
  std::optional<std::string> appIDFromVeZaz() const { return stringForKey(kAppIDFromVeZazKey); }
  void setAppIDFromVeZaz(std::optional<std::string_view> v) { setString(v, kAppIDFromVeZazKey); }
  std::optional<std::string> hashedIDFA() const { return stringForKey(kHashedIDFAKey); }
  void setHashedIDFA(std::optional<std::string_view> v) { setString(v, kHashedIDFAKey); }
  std::optional<std::string> appVersion() const { return stringForKey(kAppVersionKey); }
  void setAppVersion(std::optional<std::string_view> v) { setString(v, kAppVersionKey); }
  std::optional<std::string> osVersion() const { return stringForKey(kOSVersionKey); }
  void setOSVersion(std::optional<std::string_view> v) { setString(v, kOSVersionKey); }
  std::optional<std::string> configServerLastModifiedString() const { return stringForKey(kLastModifiedSinceKey); }
  void setConfigServerLastModifiedString(std::optional<std::string_view> v) { setString(v, kLastModifiedSinceKey); }

  // 64-bit integers (0 when absent or not a number).
  std::int64_t firstOpenTimestampMilliseconds() const { return int64ForKey(kFirstOpenTimestampKey); }
  void setFirstOpenTimestampMilliseconds(std::int64_t v) { setInt64(v, kFirstOpenTimestampKey); }
  std::int64_t sessionNumber() const { return int64ForKey(kSessionNumberKey); }
  void setSessionNumber(std::int64_t v) { setInt64(v, kSessionNumberKey); }
  std::int64_t searchAdRetryCount() const { return int64ForKey(kSearchAdRetriesKey); }
  void setSearchAdRetryCount(std::int64_t v) { setInt64(v, kSearchAdRetriesKey); }
  // From the standard store: 1 enabled, 2 disabled, 0 not set.
  std::int64_t measurementEnabledState() const;

  // Doubles, seconds since 1970 unless named otherwise (0 when absent).
  double lastSuccessfulUploadTimestamp() const { return doubleForKey(kLastSuccessfulUploadKey); }
  void setLastSuccessfulUploadTimestamp(double v) { setDouble(v, kLastSuccessfulUploadKey); }
  double lastFailedUploadTimestamp() const { return doubleForKey(kLastFailedUploadKey); }
  void setLastFailedUploadTimestamp(double v) { setDouble(v, kLastFailedUploadKey); }
  double lastBackoffTimestamp() const { return doubleForKey(kLastBackoffKey); }
  void setLastBackoffTimestamp(double v) { setDouble(v, kLastBackoffKey); }
  double lastDeleteStaleBundlesTimestamp() const { return doubleForKey(kLastDeleteStaleKey); }
  void setLastDeleteStaleBundlesTimestamp(double v) { setDouble(v, kLastDeleteStaleKey); }
  double lastMonitorDataSampledTimestamp() const { return doubleForKey(kLastMonitorDataSampledKey); }
  void setLastMonitorDataSampledTimestamp(double v) { setDouble(v, kLastMonitorDataSampledKey); }
  double lastSessionActivityClockTime() const { return doubleForKey(kLastEngagementEndKey); }
  void setLastSessionActivityClockTime(double v) { setDouble(v, kLastEngagementEndKey); }
  double engagementTimeBeforeSessionStart() const { return doubleForKey(kEngagementBeforeSessionKey); }
  void setEngagementTimeBeforeSessionStart(double v) { setDouble(v, kEngagementBeforeSessionKey); }
  double lastSearchAdLookUpTimestamp() const { return doubleForKey(kSearchAdLastAttemptKey); }
  void setLastSearchAdLookUpTimestamp(double v) { setDouble(v, kSearchAdLastAttemptKey); }
  // Seconds in [0, 86400), made once per install on the first read.
  double midnightOffset() const;

  // Stored without asking for a flush.
  bool startNewSession() const;
  void setStartNewSession(bool v);
  std::optional<platform::foundation::Value> deferredAnalyticsCollection() const;
  void setDeferredAnalyticsCollection(std::optional<platform::foundation::Value> v);
  std::optional<platform::foundation::Value> loadTimestampValue() const;
  void setLoadTimestampValue(std::optional<platform::foundation::Value> v);
  // Directly in the store, without the queue; only numbers are stored.
  std::optional<platform::foundation::Value> searchAdCampaignValue() const;
  void setSearchAdCampaignValue(std::optional<platform::foundation::Value> v);

  // Typed primitives.
  std::int64_t int64ForKey(std::string_view key) const;
  std::int64_t int64ForKey(std::string_view key, const APMUserDefaults& store) const;
  double doubleForKey(std::string_view key) const;
  std::optional<std::string> stringForKey(std::string_view key) const;
  void setInt64(std::int64_t value, std::string_view key);
  void setDouble(double value, std::string_view key);
  void setString(std::optional<std::string_view> value, std::string_view key);

  void clearValues();
  // Replaces a flush still pending on this thread's run loop with one 1.0 s from now.
  void scheduleSynchronizeToDisk();
  void synchronizeToDisk();

  static constexpr double kSynchronizeDelaySeconds = 1.0;

 private:
  struct Impl;
  explicit APMPersistedConfig(std::string_view suiteName);
  std::optional<platform::foundation::Value> objectForKey(std::string_view key) const;
  void setObject(std::optional<platform::foundation::Value> value, std::string_view key, bool flush);
  void scheduleSynchronizeToDiskOn(platform::dispatch::RunLoop& loop);

  std::shared_ptr<Impl> impl_;
};

}  // namespace analytics
