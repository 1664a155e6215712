#pragma once
// The remote measurement configuration of one app: the server's settings with
// their defaults and ranges, its event configurations, the stored
// configuration (parse, accept, load), expiry, version and the fetch URL.
//
// Threads: getters and event queries from any thread (the caches are
// thread-safe dictionaries); updateMeasurementConfig and the load at creation
// belong on the engine's worker queue (on the main thread they report 30001
// and go on).
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "analytics/config/remote_config_sources.h"
#include "core/mutable_dictionary.h"
#include "platform/foundation/url.h"
#include "platform/foundation/value.h"
#include "wire/measurement/measurement.h"

namespace analytics {

class APMRemoteConfig {
 public:
  using Config = std::shared_ptr<wire::RIDUZMeasurementConfig>;
  using EventConfig = std::shared_ptr<wire::RIDUZEventConfig>;
  // Turns a parsed server number (or nullopt) into the setting's unit.
  using Conversion = std::function<std::optional<double>(std::optional<double>)>;

  // The process-wide instance without app ID or database: every setting at its default.
  static std::shared_ptr<APMRemoteConfig> defaultInstance();
  // nullptr after 29000 (empty app ID) or 29001 (no database).
  static std::shared_ptr<APMRemoteConfig> initWithAppID(std::optional<std::string_view> appID,
                                                        const std::shared_ptr<APMRemoteConfigDatabase>& database);
  // With a configuration it is accepted as by updateMeasurementConfig; without
  // one the stored configuration is loaded. Neither with the default instance.
  static std::shared_ptr<APMRemoteConfig> initWithAppID(std::optional<std::string_view> appID,
                                                        const std::shared_ptr<APMRemoteConfigDatabase>& database,
                                                        Config measurementConfig);
  APMRemoteConfig(const APMRemoteConfig&) = delete;
  APMRemoteConfig& operator=(const APMRemoteConfig&) = delete;

  bool isDefaultInstance() const { return isDefaultInstance_; }
  const std::string& appID() const { return appID_; }

  // Empties both caches and, unless this is the default instance, drops the configuration.
  void reset();
  // Accepts a fetched configuration: stores it in the database, makes it the
  // one in force and parses it. False after 29002, 29003, 29022, 29004 or 29005.
  bool updateMeasurementConfig(const Config& config);

  // Event configurations.
  EventConfig eventConfigWithName(std::string_view name) const;
  bool isEventBlacklisted(std::string_view name) const;
  bool isEventCustomConversion(std::string_view name) const;
  bool eventHasSamplingRate(std::string_view name) const;
  // The configured rate in 2..65535, else 1.
  std::int32_t samplingRateForEvent(std::string_view name) const;

  bool isExpired() const;
  // -1 without a configuration or without a version.
  std::int64_t version() const;
  double lastRemoteConfigUpdateTimestamp() const;

  // "https://" + the collection host + "/config/app/" + app ID + "?" + the
  // escaped query; nullopt after 29010 without an instance ID or platform.
  std::optional<platform::foundation::Url> remoteConfigURLWithAppInstanceID(
      std::optional<std::string_view> appInstanceID, std::optional<std::string_view> platform,
      std::int64_t sdkVersion) const;

  // ---- time settings (seconds) --------------------------------------------------
  double uploadingBackoffInterval() const;
  double uploadingInterval() const;
  double uploadingInitialDelayInterval() const;
  double uploadingRetryInterval() const;
  double uploadingDebugModeInterval() const;
  double uploadingRealTimeInterval() const;
  double maxQueueTime() const;
  double databaseDeleteStaleBundlesInterval() const;
  // A count read through the time path, truncated.
  std::int32_t maxBundlesCreatedPerIteration() const;
  double adIDCacheTime() const;
  double monitoringSamplePeriod() const;
  double networkTimeout() const;
  double sessionDefaultMinimumInterval() const;
  double sessionDefaultTimeoutInterval() const;
  double sessionEventUserEngagementInterval() const;
  double remoteConfigCacheTimeInterval() const;

  // ---- integer settings ------------------------------------------------------------
  std::int64_t uploadMaxBundlesLimit() const;
  std::int64_t uploadMaxEventsPerBundle() const;
  std::int64_t uploadMaxSizeLimitBytes() const;
  std::int32_t uploadingRetryCount() const;
  std::int32_t maxEventsPerDay() const;
  std::int32_t maxPublicEventsPerDay() const;
  std::int32_t maxErrorEventsPerDay() const;
  std::int32_t maxConversionsPerDay() const;
  std::int32_t maxRealtimeEventCountPerDay() const;
  std::int32_t maxEventsStored() const;
  std::int32_t maxTrackedCurrencies() const;
  std::int32_t maxAudienceCount() const;
  std::int32_t maxFiltersPerAudience() const;
  std::int32_t maxFilterResultCount() const;
  std::int32_t maxParametersPerFilter() const;
  std::int32_t analyticsAccountTimeZoneOffsetMinutes() const;

  // ---- flags -------------------------------------------------------------------------
  bool isSearchAdReporterEnabled() const;
  bool isAudienceDynamicFiltersEnabled() const;
  bool isIdentifierForVendorCollectionEnabled() const;
  bool isIAPSubscriptionNonConsumableReportEnabled() const;
  bool isIAPIntroductoryOfferEnabled() const;
  bool parsePurchaseDataEnabled() const;
  bool dedupePurchasesEnabled() const;
  bool uploadWhenAppInBackgroundEnabled() const;
  bool isNetworkBackgroundSessionEnabled() const;
  bool sessionIDEnabled() const;
  bool sessionNumberEnabled() const;
  bool sessionImmediateStartEnabled() const;
  bool sessionBackgroundEnabled() const;
  bool blacklistInternal() const;
  bool blacklistPublic() const;
  bool isEventSamplingEnabled() const;
  bool isTimeZoneOffsetEnabled() const;
  bool isResetAnalyticsDataEnabled() const;
  bool isScreenViewReporterDelegateEnabled() const;

  // ---- lookups -----------------------------------------------------------------------
  // The cached number of the setting; a server value is parsed, converted,
  // checked against the inclusive bounds (the default replaces a value out of
  // range) and cached. nullopt after 29020 for an empty name.
  std::optional<double> numberFromCacheWithKey(std::string_view key, std::optional<double> defaultValue,
                                               std::optional<double> maxValue, std::optional<double> minValue,
                                               const Conversion& block) const;
  // Server milliseconds to seconds.
  double timeIntervalInSecondsFromCacheWithKey(std::string_view key, double defaultValue, double maxValue,
                                               double minValue) const;
  std::int32_t intValueFromCacheWithKey(std::string_view key, std::int32_t defaultValue, std::int32_t maxValue,
                                        std::int32_t minValue) const;
  std::int64_t int64ValueFromCacheWithKey(std::string_view key, std::int64_t defaultValue, std::int64_t maxValue,
                                          std::int64_t minValue) const;
  // A whole en_US decimal text as a number; nullopt for other texts, and
  // after 29018 for a non-string.
  std::optional<double> numberFromString(const platform::foundation::Value& object) const;
  platform::foundation::Value cacheValue(platform::foundation::Value value, std::string_view key) const;

 private:
  APMRemoteConfig(std::optional<std::string_view> appID, const std::shared_ptr<APMRemoteConfigDatabase>& database);
  void parseRemoteConfigFromMeasurementConfig(const wire::RIDUZMeasurementConfig& config);
  Config measurementConfigFromDatabase() const;
  bool flag(std::string_view key, std::int32_t defaultValue) const;
  Config currentConfig() const;

  const bool isDefaultInstance_;
  const std::string appID_;
  const std::weak_ptr<APMRemoteConfigDatabase> database_;
  mutable core::GULMutableDictionary<platform::foundation::Value> cachedValueByRemoteConfigKeys_;
  mutable core::GULMutableDictionary<EventConfig> cachedEventConfigByEventName_;
  mutable std::mutex configMutex_;
  Config remoteConfigProto_;
};

}  // namespace analytics
