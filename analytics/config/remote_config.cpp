// The remote measurement configuration: settings, event configurations, the
// stored configuration, expiry and the fetch URL.
#include "analytics/config/remote_config.h"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <utility>

#include "analytics/config/scheduler.h"
#include "analytics/engine/measurement.h"
#include "analytics/model/event_parameters.h"
#include "analytics/model/measurement_fields.h"
#include "analytics/model/name_tables.h"
#include "analytics/support/strings.h"
#include "core/deployment.h"
#include "platform/dispatch/clock.h"
#include "platform/foundation/text.h"
#include "wire/runtime/nano_runtime.h"

namespace analytics {

namespace fd = platform::foundation;
using wire::RIDUZEventConfig;
using wire::RIDUZMeasurementConfig;
using wire::RIDUZSetting;

namespace {

namespace mf = measurement_fields;

// Field indexes of the setting and event configuration messages.
constexpr std::int32_t kSettingName = 0;
constexpr std::int32_t kSettingValue = 1;
constexpr std::int32_t kEventConfigName = 0;
constexpr std::int32_t kEventConfigBlacklisted = 1;
constexpr std::int32_t kEventConfigConversion = 2;
constexpr std::int32_t kEventConfigSamplingRate = 3;

APMMonitor& remoteConfigMonitor() { return APMMeasurement::monitor(); }

fd::Value optionalText(std::optional<std::string_view> text) {
  return text ? fd::Value(std::string(*text)) : fd::Value();
}

std::mutex originMutex;
APMOriginSource& originSource() {
  static APMOriginSource source;
  return source;
}

}  // namespace

void APMSetOriginSource(APMOriginSource source) {
  std::lock_guard lock(originMutex);
  originSource() = std::move(source);
}

std::optional<std::string> APMCurrentOrigin() {
  APMOriginSource source;
  {
    std::lock_guard lock(originMutex);
    source = originSource();
  }
  return source ? source() : std::nullopt;
}

// ---- creation ---------------------------------------------------------------------

APMRemoteConfig::APMRemoteConfig(std::optional<std::string_view> appID,
                                 const std::shared_ptr<APMRemoteConfigDatabase>& database)
    : isDefaultInstance_((!appID || appID->empty()) && !database),
      appID_(appID ? std::string(*appID) : std::string()),
      database_(database) {}

std::shared_ptr<APMRemoteConfig> APMRemoteConfig::defaultInstance() {
  static const std::shared_ptr<APMRemoteConfig> instance = initWithAppID(std::nullopt, nullptr, nullptr);
  return instance;
}

std::shared_ptr<APMRemoteConfig> APMRemoteConfig::initWithAppID(
    std::optional<std::string_view> appID, const std::shared_ptr<APMRemoteConfigDatabase>& database) {
  if (!appID || appID->empty()) {
    remoteConfigMonitor().logWithLevel(1, 29000, "Cannot init remote configuration without valid Dozada App ID");
    return nullptr;
  }
  if (!database) {
    remoteConfigMonitor().logWithLevel(1, 29001, "Cannot init remote configuration without valid database");
    return nullptr;
  }
  return initWithAppID(appID, database, nullptr);
}

std::shared_ptr<APMRemoteConfig> APMRemoteConfig::initWithAppID(
    std::optional<std::string_view> appID, const std::shared_ptr<APMRemoteConfigDatabase>& database,
    Config measurementConfig) {
  std::shared_ptr<APMRemoteConfig> config(new APMRemoteConfig(appID, database));
  if (config->isDefaultInstance_) return config;
  if (measurementConfig) {
    config->updateMeasurementConfig(measurementConfig);
  } else if (auto stored = config->measurementConfigFromDatabase()) {
    {
      std::lock_guard lock(config->configMutex_);
      config->remoteConfigProto_ = stored;
    }
    config->parseRemoteConfigFromMeasurementConfig(*stored);
  }
  return config;
}

void APMRemoteConfig::reset() {
  cachedValueByRemoteConfigKeys_.removeAllObjects();
  cachedEventConfigByEventName_.removeAllObjects();
  if (isDefaultInstance_) return;
  std::lock_guard lock(configMutex_);
  remoteConfigProto_.reset();
}

APMRemoteConfig::Config APMRemoteConfig::currentConfig() const {
  std::lock_guard lock(configMutex_);
  return remoteConfigProto_;
}

// ---- stored configuration -------------------------------------------------------------

void APMRemoteConfig::parseRemoteConfigFromMeasurementConfig(const RIDUZMeasurementConfig& config) {
  const auto settings = wire::NANOGetArray(&config, mf::kConfigSettings, &RIDUZSetting::type());
  if (!settings) {
    remoteConfigMonitor().logWithLevel(1, 29012, "Cannot parse empty measurement config. Using default values");
    return;
  }
  if (wire::NANOGetString(&config, mf::kConfigAppID).value_or("") != appID_) return;

  cachedValueByRemoteConfigKeys_.removeAllObjects();
  for (const auto& item : *settings) {
    const auto setting = item.object<RIDUZSetting>();
    const auto name = setting ? wire::NANOGetString(setting.get(), kSettingName) : std::nullopt;
    const auto value = setting ? wire::NANOGetString(setting.get(), kSettingValue) : std::nullopt;
    if (!value || !name || name->empty()) {
      remoteConfigMonitor().logWithLevel(4, 29019, "Cannot cache empty configuration value");
      continue;
    }
    cacheValue(fd::Value(*value), *name);
  }

  cachedEventConfigByEventName_.removeAllObjects();
  const auto eventConfigs = wire::NANOGetArray(&config, mf::kConfigEventConfigs, &RIDUZEventConfig::type());
  for (const auto& item : eventConfigs.value_or(fd::Array{})) {
    auto eventConfig = item.object<RIDUZEventConfig>();
    const auto name = eventConfig ? wire::NANOGetString(eventConfig.get(), kEventConfigName) : std::nullopt;
    if (!name || name->empty()) {
      remoteConfigMonitor().logWithLevel(4, 29013, "Cannot cache event configuration with an empty configuration name");
      continue;
    }
    const fd::Value* internal = APMEventNameTable().find(*name);
    std::string key = internal && internal->string() ? *internal->string() : *name;
    cachedEventConfigByEventName_.setObject(std::move(eventConfig), std::move(key));
  }

  if (wire::NANOHasField(&config, mf::kConfigVersion)) {
    remoteConfigMonitor().logWithLevel(7, 29014, "Successfully parsed a configuration. Version",
                           fd::Value(wire::NANOGetInt64(&config, mf::kConfigVersion)));
  }
}

bool APMRemoteConfig::updateMeasurementConfig(const Config& config) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("updateMeasurementConfig:");
  if (isDefaultInstance_) {
    remoteConfigMonitor().logWithLevel(1, 29002, "Cannot update the default measurement configuration");
    return false;
  }
  if (!config) {
    remoteConfigMonitor().logWithLevel(4, 29003, "Cannot set empty measurement config to database");
    return false;
  }
  if (APMCurrentOrigin() == "am" && wire::NANOGetString(config.get(), mf::kConfigVeZazAppID).value_or("") != appID_) {
    remoteConfigMonitor().logWithLevel(1, 29022, "Cannot set measurement config when VeZaz App ID does not match");
    return false;
  }
  if (wire::NANOGetString(config.get(), mf::kConfigAppID).value_or("") != appID_) {
    remoteConfigMonitor().logWithLevel(1, 29004, "Cannot set measurement config when Dozada App ID does not match");
    return false;
  }
  // A configuration that was not stored is not taken, whether or not the
  // database (or its absence) gave a reason.
  std::optional<fd::Error> error;
  const auto database = database_.lock();
  if (!database || !database->updateRemoteConfig(*config, &error)) {
    remoteConfigMonitor().logWithLevel(1, 29005, "Cannot store config into the database",
                           error ? APMErrorContext(*error) : fd::Value());
    return false;
  }
  {
    std::lock_guard lock(configMutex_);
    remoteConfigProto_ = config;
  }
  parseRemoteConfigFromMeasurementConfig(*config);
  return true;
}

APMRemoteConfig::Config APMRemoteConfig::measurementConfigFromDatabase() const {
  APMScheduler::checkOnBackgroundThreadWithMethodName("measurementConfigFromDatabase");
  if (isDefaultInstance_) {
    remoteConfigMonitor().logWithLevel(1, 29015,
                           "Cannot retrieve a measurement configuration from the database for the default instance");
    return nullptr;
  }
  std::optional<fd::Error> error;
  const auto database = database_.lock();
  Config stored = database ? database->queryMeasurementConfigWithError(&error) : nullptr;
  if (stored) return stored;
  if (error) {
    remoteConfigMonitor().logWithLevel(1, 29016, "Cannot retrieve configuration data from database. Error", APMErrorContext(*error));
  } else {
    remoteConfigMonitor().logWithLevel(7, 29017,
                           "Configuration was not found in database. The configuration will be fetched from the "
                           "network when necessary");
  }
  return nullptr;
}

// ---- event configurations ---------------------------------------------------------------

APMRemoteConfig::EventConfig APMRemoteConfig::eventConfigWithName(std::string_view name) const {
  if (name.empty()) {
    remoteConfigMonitor().logWithLevel(4, 29006, "Cannot find event config with empty event name");
    return nullptr;
  }
  return cachedEventConfigByEventName_.objectForKey(std::string(name)).value_or(nullptr);
}

bool APMRemoteConfig::isEventBlacklisted(std::string_view name) const {
  const auto config = eventConfigWithName(name);
  if (config && wire::NANOHasField(config.get(), kEventConfigBlacklisted) &&
      wire::NANOGetBool(config.get(), kEventConfigBlacklisted)) {
    return true;
  }
  return APMIsPublicName(fd::Value(std::string(name))) ? blacklistPublic() : blacklistInternal();
}

bool APMRemoteConfig::isEventCustomConversion(std::string_view name) const {
  const auto config = eventConfigWithName(name);
  return config && wire::NANOHasField(config.get(), kEventConfigConversion) &&
         wire::NANOGetBool(config.get(), kEventConfigConversion);
}

bool APMRemoteConfig::eventHasSamplingRate(std::string_view name) const {
  const auto config = eventConfigWithName(name);
  return config && wire::NANOHasField(config.get(), kEventConfigSamplingRate);
}

std::int32_t APMRemoteConfig::samplingRateForEvent(std::string_view name) const {
  const auto config = eventConfigWithName(name);
  if (!config || !wire::NANOHasField(config.get(), kEventConfigSamplingRate)) return 1;
  const std::int32_t rate = wire::NANOGetInt32(config.get(), kEventConfigSamplingRate);
  return rate >= 2 && rate <= 65535 ? rate : 1;
}

// ---- expiry and identity -----------------------------------------------------------------

bool APMRemoteConfig::isExpired() const {
  if (isDefaultInstance_) {
    remoteConfigMonitor().logWithLevel(1, 29007, "Cannot fetch the last update timestamp from the default configuration");
    return false;
  }
  const double now = platform::dispatch::Clock::current().now_since_1970();
  return std::fabs(now - lastRemoteConfigUpdateTimestamp()) >= remoteConfigCacheTimeInterval();
}

std::int64_t APMRemoteConfig::version() const {
  const auto config = currentConfig();
  if (!config || !wire::NANOHasField(config.get(), mf::kConfigVersion)) return -1;
  return wire::NANOGetInt64(config.get(), mf::kConfigVersion);
}

double APMRemoteConfig::lastRemoteConfigUpdateTimestamp() const {
  if (isDefaultInstance_) {
    remoteConfigMonitor().logWithLevel(1, 29008,
                           "Cannot fetch the last configuration update timestamp from the default instance");
    return 0;
  }
  std::optional<fd::Error> error;
  const auto database = database_.lock();
  const auto timestamp = database ? database->lastRemoteConfigUpdateTimestamp(&error) : std::nullopt;
  if (timestamp) return *timestamp;
  if (error) {
    remoteConfigMonitor().logWithLevel(4, 29009, "Failed to query last configuration update timestamp. Error",
                           APMErrorContext(*error));
  }
  return 0;
}

std::optional<fd::Url> APMRemoteConfig::remoteConfigURLWithAppInstanceID(std::optional<std::string_view> appInstanceID,
                                                                         std::optional<std::string_view> platform,
                                                                         std::int64_t sdkVersion) const {
  if (!appInstanceID || appInstanceID->empty() || !platform || platform->empty()) {
    remoteConfigMonitor().logWithLevel(1, 29010,
                           "Cannot create a URL to fetch a configuration with empty app instance ID or empty platform "
                           "(app instance, platform)",
                           optionalText(appInstanceID), optionalText(platform));
    return std::nullopt;
  }
  std::string text = "https://" + std::string(core::kAnalyticsCollectionHost) + "/config/app/" + appID_ + "?";
  text += apm_queryString(fd::Dict{{"app_instance_id", fd::Value(std::string(*appInstanceID))},
                                   {"platform", fd::Value(std::string(*platform))},
                                   {"ruv_version", fd::Value(std::to_string(sdkVersion))}});
  return fd::Url::parse(text);
}

// ---- lookups --------------------------------------------------------------------------------

std::optional<double> APMRemoteConfig::numberFromString(const fd::Value& object) const {
  const std::string* text = object.string();
  if (text == nullptr) {
    remoteConfigMonitor().logWithLevel(1, 29018, "Cannot parse number from non-string", object);
    return std::nullopt;
  }
  // A fixed locale: the device's would read "1.500" as 1500 on some profiles.
  return fd::text::parse_number(*text, "en_US");
}

fd::Value APMRemoteConfig::cacheValue(fd::Value value, std::string_view key) const {
  cachedValueByRemoteConfigKeys_.setObject(value, std::string(key));
  return value;
}

std::optional<double> APMRemoteConfig::numberFromCacheWithKey(std::string_view key, std::optional<double> defaultValue,
                                                              std::optional<double> maxValue,
                                                              std::optional<double> minValue,
                                                              const Conversion& block) const {
  if (key.empty()) {
    remoteConfigMonitor().logWithLevel(7, 29020, "Cannot get setting with empty key from cache");
    return std::nullopt;
  }
  const auto cached = cachedValueByRemoteConfigKeys_.objectForKey(std::string(key));
  if (!cached) {
    if (defaultValue) cacheValue(fd::Value(*defaultValue), key);
    return defaultValue;
  }
  if (cached->is_number()) return cached->as_double();

  std::optional<double> result = numberFromString(*cached);
  if (block) result = block(result);
  if (!result || (minValue && *result < *minValue) || (maxValue && *result > *maxValue)) result = defaultValue;
  if (result) {
    cacheValue(fd::Value(*result), key);
  } else {
    cachedValueByRemoteConfigKeys_.removeObjectForKey(std::string(key));
  }
  return result;
}

double APMRemoteConfig::timeIntervalInSecondsFromCacheWithKey(std::string_view key, double defaultValue,
                                                              double maxValue, double minValue) const {
  static const Conversion milliseconds = [](std::optional<double> number) -> std::optional<double> {
    if (!number) return std::nullopt;
    // The whole milliseconds, then seconds; a number beyond the 64-bit range
    // is beyond every bound as well.
    const auto whole = fd::Value(*number).as_int();
    if (!whole) return std::nullopt;
    return static_cast<double>(*whole) / 1000.0;
  };
  return numberFromCacheWithKey(key, defaultValue, maxValue, minValue, milliseconds).value_or(0);
}

std::int32_t APMRemoteConfig::intValueFromCacheWithKey(std::string_view key, std::int32_t defaultValue,
                                                       std::int32_t maxValue, std::int32_t minValue) const {
  const auto number = numberFromCacheWithKey(key, defaultValue, maxValue, minValue, nullptr);
  const std::int64_t value = number ? fd::Value(*number).as_int().value_or(0) : 0;
  if (value > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
  if (value < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(value);
}

std::int64_t APMRemoteConfig::int64ValueFromCacheWithKey(std::string_view key, std::int64_t defaultValue,
                                                         std::int64_t maxValue, std::int64_t minValue) const {
  const auto number =
      numberFromCacheWithKey(key, static_cast<double>(defaultValue), static_cast<double>(maxValue),
                             static_cast<double>(minValue), nullptr);
  return number ? fd::Value(*number).as_int().value_or(0) : 0;
}

bool APMRemoteConfig::flag(std::string_view key, std::int32_t defaultValue) const {
  return intValueFromCacheWithKey(key, defaultValue, 1, 0) == 1;
}

// ---- settings ---------------------------------------------------------------------------------

#define APM_TIME_SETTING(getter, key, def, min, max) \
  double APMRemoteConfig::getter() const { return timeIntervalInSecondsFromCacheWithKey(key, def, max, min); }
#define APM_INT32_SETTING(getter, key, def, min, max) \
  std::int32_t APMRemoteConfig::getter() const { return intValueFromCacheWithKey(key, def, max, min); }
#define APM_INT64_SETTING(getter, key, def, min, max) \
  std::int64_t APMRemoteConfig::getter() const { return int64ValueFromCacheWithKey(key, def, max, min); }
#define APM_FLAG_SETTING(getter, key, def) \
  bool APMRemoteConfig::getter() const { return flag(key, def); }

APM_TIME_SETTING(uploadingBackoffInterval, "measurement.upload.backoff_period", 43200, 3600, 604800)
APM_TIME_SETTING(uploadingInterval, "measurement.upload.interval", 3600, 15, 86400)
APM_TIME_SETTING(uploadingInitialDelayInterval, "measurement.upload.initial_upload_delay_time", 15, 1, 86400)
APM_TIME_SETTING(uploadingRetryInterval, "measurement.upload.retry_time", 1800, 60, 86400)
APM_TIME_SETTING(uploadingDebugModeInterval, "measurement.upload.debug_upload_interval", 1, 1, 15)
APM_TIME_SETTING(uploadingRealTimeInterval, "measurement.upload.realtime_upload_interval", 10, 10, 15)
APM_TIME_SETTING(maxQueueTime, "measurement.upload.max_queue_time", 2419200, 604800, 7862400)
APM_TIME_SETTING(databaseDeleteStaleBundlesInterval, "measurement.upload.stale_data_deletion_interval", 86400, 3600,
                 604800)
APM_TIME_SETTING(adIDCacheTime, "measurement.ad_id_cache_time", 1, 0, 86400)
APM_TIME_SETTING(monitoringSamplePeriod, "measurement.monitoring.sample_period_millis", 86400, 0, 604800)
APM_TIME_SETTING(networkTimeout, "measurement.network.network_timeout", 60, 30, 3600)
APM_TIME_SETTING(sessionDefaultMinimumInterval, "measurement.session.default_minimum_interval", 10, 0, 86400)
APM_TIME_SETTING(sessionDefaultTimeoutInterval, "measurement.session.default_timeout_interval", 1800, 0, 86400)
APM_TIME_SETTING(sessionEventUserEngagementInterval, "measurement.session.event_user_engagement_interval", 3600, 0,
                 86400)
APM_TIME_SETTING(remoteConfigCacheTimeInterval, "measurement.config.cache_time", 3600, 60, 86400)

std::int32_t APMRemoteConfig::maxBundlesCreatedPerIteration() const {
  return static_cast<std::int32_t>(
      timeIntervalInSecondsFromCacheWithKey("measurement.upload.max_bundles_created_per_iteration", 100, 10000, 1));
}

APM_INT64_SETTING(uploadMaxBundlesLimit, "measurement.upload.max_bundles", 100, 1, 10000)
APM_INT64_SETTING(uploadMaxEventsPerBundle, "measurement.upload.max_events_per_bundle", 1000, 1, 1000000)
APM_INT64_SETTING(uploadMaxSizeLimitBytes, "measurement.upload.max_batch_size", 65536, 0, 10485760)
APM_INT32_SETTING(uploadingRetryCount, "measurement.upload.retry_count", 6, 1, 24)
APM_INT32_SETTING(maxEventsPerDay, "measurement.upload.max_events_per_day", 100000, 0, 1000000)
APM_INT32_SETTING(maxPublicEventsPerDay, "measurement.upload.max_public_events_per_day", 50000, 0, 1000000)
APM_INT32_SETTING(maxErrorEventsPerDay, "measurement.upload.max_error_events_per_day", 1000, 0, 1000000)
APM_INT32_SETTING(maxConversionsPerDay, "measurement.upload.max_conversions_per_day", 500, 0, 1000000)
APM_INT32_SETTING(maxRealtimeEventCountPerDay, "measurement.upload.max_realtime_events_per_day", 10, 0, 10)
APM_INT32_SETTING(maxEventsStored, "measurement.store.max_stored_events_per_app", 100000, 0, 1000000)
APM_INT32_SETTING(maxTrackedCurrencies, "measurement.lifetimevalue.max_currency_tracked", 4, 1, 100)
APM_INT32_SETTING(maxAudienceCount, "measurement.audience.max_count", 50, 0, 500)
APM_INT32_SETTING(maxFiltersPerAudience, "measurement.audience.filter_max_count_per_audience", 10, 0, 100)
APM_INT32_SETTING(maxFilterResultCount, "measurement.audience.filter_result_max_count", 200, 0, 2000)
APM_INT32_SETTING(maxParametersPerFilter, "measurement.audience.parameter_max_count_filter", 25, 0, 250)
APM_INT32_SETTING(analyticsAccountTimeZoneOffsetMinutes, "measurement.account.time_zone_offset_minutes", 0, -900, 900)

APM_FLAG_SETTING(isSearchAdReporterEnabled, "measurement.search_ad_enabled", 1)
APM_FLAG_SETTING(isAudienceDynamicFiltersEnabled, "measurement.audience.dynamic_filters", 1)
APM_FLAG_SETTING(isIdentifierForVendorCollectionEnabled,
                 "measurement.identity.identifier_for_vendor_collection_enabled", 1)
APM_FLAG_SETTING(isIAPSubscriptionNonConsumableReportEnabled,
                 "measurement.event.beta_iap_subscription_nonconsumable_report", 1)
APM_FLAG_SETTING(isIAPIntroductoryOfferEnabled, "measurement.event.alpha_iap_introductory_offer_enabled", 1)
APM_FLAG_SETTING(parsePurchaseDataEnabled, "measurement.upload.beta_parse_purchase_data_enabled", 1)
APM_FLAG_SETTING(dedupePurchasesEnabled, "measurement.upload.dedupe_purchases_enabled", 1)
APM_FLAG_SETTING(uploadWhenAppInBackgroundEnabled, "measurement.upload.upload_when_app_in_background_enabled", 1)
APM_FLAG_SETTING(isNetworkBackgroundSessionEnabled, "measurement.network.background_session_enabled", 0)
APM_FLAG_SETTING(sessionIDEnabled, "measurement.sessions.session_id_enabled", 0)
APM_FLAG_SETTING(sessionNumberEnabled, "measurement.sessions.session_number_enabled", 0)
APM_FLAG_SETTING(sessionImmediateStartEnabled, "measurement.sessions.immediate_start_enabled", 0)
APM_FLAG_SETTING(sessionBackgroundEnabled, "measurement.sessions.background_sessions_enabled", 0)
APM_FLAG_SETTING(blacklistInternal, "measurement.upload.blacklist_internal", 0)
APM_FLAG_SETTING(blacklistPublic, "measurement.upload.blacklist_public", 0)
APM_FLAG_SETTING(isEventSamplingEnabled, "measurement.event_sampling_enabled", 0)
APM_FLAG_SETTING(isTimeZoneOffsetEnabled, "measurement.sampling.time_zone_offset_enabled", 1)
APM_FLAG_SETTING(isResetAnalyticsDataEnabled, "measurement.api.reset_analytics_data", 1)
APM_FLAG_SETTING(isScreenViewReporterDelegateEnabled, "measurement.screen.davidize_performance_delegate", 1)

#undef APM_TIME_SETTING
#undef APM_INT32_SETTING
#undef APM_INT64_SETTING
#undef APM_FLAG_SETTING

}  // namespace analytics
