// The remote configuration: every setting with its default and bounds, the
// parse of a configuration (cache refill, event configurations under internal
// names), acceptance and storage through an in-memory database, the load at
// creation, expiry under a manual clock, and the fetch URL over loopback.
#include <atomic>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "analytics/config/remote_config.h"
#include "analytics/engine/measurement.h"
#include "analytics/model/name_tables.h"
#include "analytics/support/errors.h"
#include "analytics/support/strings.h"
#include "platform/dispatch/clock.h"
#include "platform/net/session.h"
#include "platform/testing/manual_clock.h"
#include "platform/testing/reset.h"
#include "testing/harness/harness.h"
#include "tests/analytics/remote_config_support.h"
#include "tests/analytics/support.h"
#include "wire/runtime/nano_runtime.h"

namespace {

namespace fd = platform::foundation;
using analytics::APMRemoteConfig;
using analytics_test::MonitorRecorder;
using wire::RIDUZMeasurementConfig;

constexpr const char* kAppID = analytics_test::kConfigAppID;
using analytics_test::ConfigSpec;
using analytics_test::makeConfig;
using EventRow = analytics_test::ConfigEventRow;

// The stored configuration as encoded bytes, stamped with the clock's time.
class MemoryConfigDatabase : public analytics::APMRemoteConfigDatabase {
 public:
  bool updateRemoteConfig(const RIDUZMeasurementConfig& config, analytics::APMErrorOut error) override {
    if (failWrites) {
      if (error) *error = analytics::apm_errorWithCode(2, "write failed");
      return false;
    }
    stored = config.protoBuffer();
    timestamp = platform::dispatch::Clock::current().now_since_1970();
    return true;
  }
  std::shared_ptr<RIDUZMeasurementConfig> queryMeasurementConfigWithError(analytics::APMErrorOut error) override {
    if (failReads) {
      if (error) *error = analytics::apm_errorWithCode(3, "read failed");
      return nullptr;
    }
    return stored ? RIDUZMeasurementConfig::initWithBuffer(*stored) : nullptr;
  }
  std::optional<double> lastRemoteConfigUpdateTimestamp(analytics::APMErrorOut error) override {
    if (failReads) {
      if (error) *error = analytics::apm_errorWithCode(3, "read failed");
      return std::nullopt;
    }
    return timestamp;
  }

  bool failWrites = false;
  bool failReads = false;
  std::optional<fd::Bytes> stored;
  std::optional<double> timestamp;
};

// The codes of the remote configuration's block (29000-29999), in order.
std::vector<std::int64_t> configCodes(const MonitorRecorder& recorder) {
  std::vector<std::int64_t> codes;
  for (auto code : recorder.codes()) {
    if (code >= 29000 && code < 30000) codes.push_back(code);
  }
  return codes;
}

class AnalyticsRemoteConfigTest : public analytics_test::AnalyticsUnbootedTest {
 protected:
  void SetUp() override {
    database_ = std::make_shared<MemoryConfigDatabase>();
    config_ = APMRemoteConfig::initWithAppID(kAppID, database_);
    ASSERT_TRUE(config_);
  }
  void TearDown() override {
    analytics::APMSetOriginSource({});
    AnalyticsUnbootedTest::TearDown();
  }
  bool update(const ConfigSpec& spec) { return config_->updateMeasurementConfig(makeConfig(spec)); }

  std::shared_ptr<MemoryConfigDatabase> database_;
  std::shared_ptr<APMRemoteConfig> config_;
};

// ---- settings ------------------------------------------------------------------------

enum class Kind { time, int32, int64, flag, count };

struct SettingRow {
  const char* name;
  Kind kind;
  double defaultValue, minValue, maxValue;
  std::function<double(const APMRemoteConfig&)> get;
};

#define TIME(key, getter, def, lo, hi) {key, Kind::time, def, lo, hi, [](const APMRemoteConfig& c) { return c.getter(); }}
#define INT32(key, getter, def, lo, hi) \
  {key, Kind::int32, def, lo, hi, [](const APMRemoteConfig& c) { return static_cast<double>(c.getter()); }}
#define INT64(key, getter, def, lo, hi) \
  {key, Kind::int64, def, lo, hi, [](const APMRemoteConfig& c) { return static_cast<double>(c.getter()); }}
#define FLAG(key, getter, def) {key, Kind::flag, def, 0, 1, [](const APMRemoteConfig& c) { return c.getter() ? 1.0 : 0.0; }}

const std::vector<SettingRow>& settingRows() {
  static const std::vector<SettingRow> rows = {
      TIME("measurement.upload.backoff_period", uploadingBackoffInterval, 43200, 3600, 604800),
      TIME("measurement.upload.interval", uploadingInterval, 3600, 15, 86400),
      TIME("measurement.upload.initial_upload_delay_time", uploadingInitialDelayInterval, 15, 1, 86400),
      TIME("measurement.upload.retry_time", uploadingRetryInterval, 1800, 60, 86400),
      TIME("measurement.upload.debug_upload_interval", uploadingDebugModeInterval, 1, 1, 15),
      TIME("measurement.upload.realtime_upload_interval", uploadingRealTimeInterval, 10, 10, 15),
      TIME("measurement.upload.max_queue_time", maxQueueTime, 2419200, 604800, 7862400),
      TIME("measurement.upload.stale_data_deletion_interval", databaseDeleteStaleBundlesInterval, 86400, 3600, 604800),
      {"measurement.upload.max_bundles_created_per_iteration", Kind::count, 100, 1, 10000,
       [](const APMRemoteConfig& c) { return static_cast<double>(c.maxBundlesCreatedPerIteration()); }},
      TIME("measurement.ad_id_cache_time", adIDCacheTime, 1, 0, 86400),
      TIME("measurement.monitoring.sample_period_millis", monitoringSamplePeriod, 86400, 0, 604800),
      TIME("measurement.network.network_timeout", networkTimeout, 60, 30, 3600),
      TIME("measurement.session.default_minimum_interval", sessionDefaultMinimumInterval, 10, 0, 86400),
      TIME("measurement.session.default_timeout_interval", sessionDefaultTimeoutInterval, 1800, 0, 86400),
      TIME("measurement.session.event_user_engagement_interval", sessionEventUserEngagementInterval, 3600, 0, 86400),
      TIME("measurement.config.cache_time", remoteConfigCacheTimeInterval, 3600, 60, 86400),
      INT64("measurement.upload.max_bundles", uploadMaxBundlesLimit, 100, 1, 10000),
      INT64("measurement.upload.max_events_per_bundle", uploadMaxEventsPerBundle, 1000, 1, 1000000),
      INT64("measurement.upload.max_batch_size", uploadMaxSizeLimitBytes, 65536, 0, 10485760),
      INT32("measurement.upload.retry_count", uploadingRetryCount, 6, 1, 24),
      INT32("measurement.upload.max_events_per_day", maxEventsPerDay, 100000, 0, 1000000),
      INT32("measurement.upload.max_public_events_per_day", maxPublicEventsPerDay, 50000, 0, 1000000),
      INT32("measurement.upload.max_error_events_per_day", maxErrorEventsPerDay, 1000, 0, 1000000),
      INT32("measurement.upload.max_conversions_per_day", maxConversionsPerDay, 500, 0, 1000000),
      INT32("measurement.upload.max_realtime_events_per_day", maxRealtimeEventCountPerDay, 10, 0, 10),
      INT32("measurement.store.max_stored_events_per_app", maxEventsStored, 100000, 0, 1000000),
      INT32("measurement.lifetimevalue.max_currency_tracked", maxTrackedCurrencies, 4, 1, 100),
      INT32("measurement.audience.max_count", maxAudienceCount, 50, 0, 500),
      INT32("measurement.audience.filter_max_count_per_audience", maxFiltersPerAudience, 10, 0, 100),
      INT32("measurement.audience.filter_result_max_count", maxFilterResultCount, 200, 0, 2000),
      INT32("measurement.audience.parameter_max_count_filter", maxParametersPerFilter, 25, 0, 250),
      INT32("measurement.account.time_zone_offset_minutes", analyticsAccountTimeZoneOffsetMinutes, 0, -900, 900),
      FLAG("measurement.search_ad_enabled", isSearchAdReporterEnabled, 1),
      FLAG("measurement.audience.dynamic_filters", isAudienceDynamicFiltersEnabled, 1),
      FLAG("measurement.identity.identifier_for_vendor_collection_enabled", isIdentifierForVendorCollectionEnabled, 1),
      FLAG("measurement.event.beta_iap_subscription_nonconsumable_report", isIAPSubscriptionNonConsumableReportEnabled,
           1),
      FLAG("measurement.event.alpha_iap_introductory_offer_enabled", isIAPIntroductoryOfferEnabled, 1),
      FLAG("measurement.upload.beta_parse_purchase_data_enabled", parsePurchaseDataEnabled, 1),
      FLAG("measurement.upload.dedupe_purchases_enabled", dedupePurchasesEnabled, 1),
      FLAG("measurement.upload.upload_when_app_in_background_enabled", uploadWhenAppInBackgroundEnabled, 1),
      FLAG("measurement.network.background_session_enabled", isNetworkBackgroundSessionEnabled, 0),
      FLAG("measurement.sessions.session_id_enabled", sessionIDEnabled, 0),
      FLAG("measurement.sessions.session_number_enabled", sessionNumberEnabled, 0),
      FLAG("measurement.sessions.immediate_start_enabled", sessionImmediateStartEnabled, 0),
      FLAG("measurement.sessions.background_sessions_enabled", sessionBackgroundEnabled, 0),
      FLAG("measurement.upload.blacklist_internal", blacklistInternal, 0),
      FLAG("measurement.upload.blacklist_public", blacklistPublic, 0),
      FLAG("measurement.event_sampling_enabled", isEventSamplingEnabled, 0),
      FLAG("measurement.sampling.time_zone_offset_enabled", isTimeZoneOffsetEnabled, 1),
      FLAG("measurement.api.reset_analytics_data", isResetAnalyticsDataEnabled, 1),
      FLAG("measurement.screen.davidize_performance_delegate", isScreenViewReporterDelegateEnabled, 1),
  };
  return rows;
}

#undef TIME
#undef INT32
#undef INT64
#undef FLAG

// The server's text for a value in the setting's unit (milliseconds for the
// time path).
std::string serverText(const SettingRow& row, double value) {
  const bool time = row.kind == Kind::time || row.kind == Kind::count;
  return fd::format_real(time ? value * 1000 : value);
}

TEST_F(AnalyticsRemoteConfigTest, EverySettingHasItsDefaultAndInclusiveBounds) {
  ASSERT_EQ(settingRows().size(), 51u);
  for (const auto& row : settingRows()) {
    SCOPED_TRACE(row.name);
    // Nothing stored: the default, then cached as a number.
    config_->reset();
    EXPECT_EQ(row.get(*config_), row.defaultValue);
    EXPECT_EQ(config_->numberFromCacheWithKey(row.name, 12345, std::nullopt, std::nullopt, nullptr), row.defaultValue);
    EXPECT_EQ(row.get(APMRemoteConfig::defaultInstance().operator*()), row.defaultValue);

    // One step beyond a bound: a millisecond on the time path, one elsewhere.
    const bool time = row.kind == Kind::time || row.kind == Kind::count;
    const double step = time ? 0.001 : 1;
    struct Case {
      std::string server;
      double expected;
    };
    const std::vector<Case> cases = {
        {serverText(row, row.minValue), row.minValue},
        {serverText(row, row.maxValue), row.maxValue},
        {serverText(row, row.minValue - step), row.defaultValue},
        {serverText(row, row.maxValue + step), row.defaultValue},
        {"abc", row.defaultValue},
        {"", row.defaultValue},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(c.server);
      ASSERT_TRUE(update({.settings = {{"measurement.unrelated", "1"}, {row.name, c.server}}}));
      EXPECT_EQ(row.get(*config_), c.expected);
      EXPECT_EQ(row.get(*config_), c.expected);  // the validated number, cached
    }
  }
}

TEST_F(AnalyticsRemoteConfigTest, NamedServerValues) {
  const auto get = [](const char* name) {
    for (const auto& row : settingRows()) {
      if (std::string(row.name) == name) return row.get;
    }
    return std::function<double(const APMRemoteConfig&)>();
  };
  struct Case {
    const char* name;
    std::string server;
    double expected;
  };
  const Case cases[] = {
      {"measurement.upload.interval", "60000", 60},
      {"measurement.upload.interval", "10000", 3600},  // 10 s is below 15 s: the default, not the bound
      {"measurement.upload.initial_upload_delay_time", "1500.9", 1.5},
      {"measurement.upload.initial_upload_delay_time", "1.500", 15},  // 1.5 ms, below 1 s: a point is a point
      {"measurement.account.time_zone_offset_minutes", "-900", -900},
      {"measurement.account.time_zone_offset_minutes", "900", 900},
      {"measurement.account.time_zone_offset_minutes", "-901", 0},
      {"measurement.upload.retry_count", "30", 6},
      {"measurement.upload.retry_count", "12.9", 12},
      {"measurement.upload.retry_count", "12abc", 6},
      {"measurement.upload.retry_count", "1e400", 6},
      {"measurement.event_sampling_enabled", "1", 1},
      {"measurement.search_ad_enabled", "0", 0},
      {"measurement.event_sampling_enabled", "2", 0},
      {"measurement.search_ad_enabled", "2", 1},
      {"measurement.search_ad_enabled", "0.5", 0},  // in range, truncated to 0
      {"measurement.upload.max_bundles_created_per_iteration", "5000", 5},
      {"measurement.upload.max_bundles_created_per_iteration", "500", 100},
      {"measurement.upload.max_bundles_created_per_iteration", "1e30", 100},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " = " + c.server);
    ASSERT_TRUE(update({.settings = {{c.name, c.server}}}));
    EXPECT_EQ(get(c.name)(*config_), c.expected);
  }
}

TEST_F(AnalyticsRemoteConfigTest, LookupPrimitives) {
  MonitorRecorder recorder;
  EXPECT_EQ(config_->numberFromCacheWithKey("", 1, 2, 0, nullptr), std::nullopt);
  EXPECT_EQ(config_->numberFromString(fd::Value(5)), std::nullopt);
  EXPECT_EQ(config_->numberFromString(fd::Value("42.25")), 42.25);
  EXPECT_EQ(config_->numberFromString(fd::Value("-7")), -7);
  EXPECT_EQ(config_->numberFromString(fd::Value("7 days")), std::nullopt);
  // A cached value that is neither text nor number reads its default.
  EXPECT_EQ(config_->cacheValue(fd::Value(fd::Array{}), "measurement.upload.retry_count"), fd::Value(fd::Array{}));
  EXPECT_EQ(config_->uploadingRetryCount(), 6);
  // A number put in the cache is taken as validated.
  config_->cacheValue(fd::Value(99), "measurement.upload.retry_count");
  EXPECT_EQ(config_->uploadingRetryCount(), 99);
  EXPECT_EQ(configCodes(recorder), (std::vector<std::int64_t>{29020, 29018, 29018}));
}

// ---- parse -------------------------------------------------------------------------

TEST_F(AnalyticsRemoteConfigTest, ParseRefillsTheCaches) {
  MonitorRecorder recorder;
  ASSERT_TRUE(update({.settings = {{"measurement.upload.retry_count", "10"},
                                   {"measurement.upload.retry_count", "12"},  // a later one wins
                                   {"", "3"},
                                   {"measurement.upload.max_bundles", std::nullopt}},
                      .events = {{.name = ""}},
                      .version = 17}));
  EXPECT_EQ(config_->uploadingRetryCount(), 12);
  EXPECT_EQ(config_->version(), 17);
  EXPECT_EQ(configCodes(recorder), (std::vector<std::int64_t>{29019, 29019, 29013, 29014}));
  EXPECT_EQ(recorder.calls().back().contexts, (fd::Array{fd::Value(17)}));

  // Read before and missing now: the default.
  ASSERT_TRUE(update({.settings = {{"measurement.upload.max_bundles", "7"}}}));
  EXPECT_EQ(config_->uploadingRetryCount(), 6);
  EXPECT_EQ(config_->uploadMaxBundlesLimit(), 7);
  EXPECT_EQ(config_->version(), -1);

  // An empty settings list empties the settings cache.
  ASSERT_TRUE(update({.settings = {}, .events = {{.name = "custom", .rate = 5}}}));
  EXPECT_EQ(config_->uploadMaxBundlesLimit(), 100);
  EXPECT_TRUE(config_->eventHasSamplingRate("custom"));
  ASSERT_TRUE(update({.settings = {{"measurement.upload.max_bundles", "7"}}}));

  config_->reset();
  EXPECT_EQ(config_->uploadMaxBundlesLimit(), 100);
  EXPECT_EQ(config_->version(), -1);
}

TEST_F(AnalyticsRemoteConfigTest, EventConfigurationsLiveUnderTheInternalName) {
  ASSERT_FALSE(analytics::APMEventNameTable().empty());
  const auto& [publicName, internalValue] = *analytics::APMEventNameTable().begin();
  const std::string internalName = *internalValue.string();
  ASSERT_TRUE(update({.events = {{.name = publicName, .conversion = true, .rate = 9},
                                 {.name = "my_event", .conversion = false, .rate = 0}}}));
  EXPECT_EQ(config_->eventConfigWithName(publicName), nullptr);
  ASSERT_NE(config_->eventConfigWithName(internalName), nullptr);
  EXPECT_TRUE(config_->isEventCustomConversion(internalName));
  EXPECT_FALSE(config_->isEventCustomConversion(publicName));
  EXPECT_EQ(config_->samplingRateForEvent(internalName), 9);
  EXPECT_TRUE(config_->eventHasSamplingRate("my_event"));  // any present rate
  EXPECT_FALSE(config_->isEventCustomConversion("my_event"));
  EXPECT_FALSE(config_->eventHasSamplingRate("other"));

  MonitorRecorder recorder;
  EXPECT_EQ(config_->eventConfigWithName(""), nullptr);
  EXPECT_EQ(configCodes(recorder), (std::vector<std::int64_t>{29006}));
}

TEST_F(AnalyticsRemoteConfigTest, SamplingRates) {
  const std::pair<std::optional<std::int32_t>, std::int32_t> cases[] = {
      {std::nullopt, 1}, {1, 1}, {0, 1}, {-5, 1}, {70000, 1}, {65536, 1}, {2, 2}, {65535, 65535}};
  for (const auto& [rate, expected] : cases) {
    SCOPED_TRACE(rate.value_or(-1));
    ASSERT_TRUE(update({.events = {{.name = "e", .rate = rate}}}));
    EXPECT_EQ(config_->samplingRateForEvent("e"), expected);
    EXPECT_EQ(config_->eventHasSamplingRate("e"), rate.has_value());
  }
}

TEST_F(AnalyticsRemoteConfigTest, BlacklistTable) {
  struct Global {
    const char* publicFlag;
    const char* internalFlag;
  };
  for (const std::optional<bool> eventFlag : {std::optional<bool>(), std::optional<bool>(true), std::optional<bool>(false)}) {
    for (const Global global : {Global{"0", "0"}, Global{"1", "0"}, Global{"0", "1"}}) {
      for (const std::string name : {"my_event", "_my_event"}) {
        SCOPED_TRACE(name + " flag " + (eventFlag ? (*eventFlag ? "true" : "false") : "absent") + " global " +
                     global.publicFlag + global.internalFlag);
        ASSERT_TRUE(update({.settings = {{"measurement.upload.blacklist_public", global.publicFlag},
                                         {"measurement.upload.blacklist_internal", global.internalFlag}},
                            .events = {{.name = name, .blacklisted = eventFlag}}}));
        const bool isPublic = name[0] != '_';
        const bool globalOn = std::string(isPublic ? global.publicFlag : global.internalFlag) == "1";
        EXPECT_EQ(config_->isEventBlacklisted(name), eventFlag.value_or(false) || globalOn);
        // A name without a configuration follows the global flag alone.
        EXPECT_EQ(config_->isEventBlacklisted(isPublic ? "unconfigured" : "_unconfigured"), globalOn);
      }
    }
  }
}

// ---- acceptance, storage and load ----------------------------------------------------

TEST_F(AnalyticsRemoteConfigTest, CreationRefusesAndLoadsWithCodes) {
  MonitorRecorder recorder;
  EXPECT_EQ(APMRemoteConfig::initWithAppID("", database_), nullptr);
  EXPECT_EQ(APMRemoteConfig::initWithAppID(kAppID, nullptr), nullptr);
  EXPECT_TRUE(APMRemoteConfig::initWithAppID(kAppID, database_));  // nothing stored
  database_->failReads = true;
  EXPECT_TRUE(APMRemoteConfig::initWithAppID(kAppID, database_));
  EXPECT_EQ(configCodes(recorder), (std::vector<std::int64_t>{29000, 29001, 29017, 29016}));
  EXPECT_TRUE(analytics::APMErrorFromContext(recorder.calls().back().contexts.at(0)));

  // Given a configuration, a new instance accepts and stores it.
  database_->failReads = false;
  auto given = APMRemoteConfig::initWithAppID(
      kAppID, database_, makeConfig({.settings = {{"measurement.upload.retry_count", "3"}}}));
  EXPECT_EQ(given->uploadingRetryCount(), 3);
  EXPECT_TRUE(database_->stored);
}

TEST_F(AnalyticsRemoteConfigTest, UpdateChecksThenStoresAndANewInstanceLoadsIt) {
  MonitorRecorder recorder;
  ASSERT_TRUE(update({.settings = {{"measurement.upload.retry_count", "10"}},
                      .events = {{.name = "e", .rate = 4}},
                      .version = 3}));
  EXPECT_EQ(config_->uploadingRetryCount(), 10);
  recorder.clear();

  const auto defaults = APMRemoteConfig::defaultInstance();
  EXPECT_FALSE(defaults->updateMeasurementConfig(makeConfig({})));
  EXPECT_FALSE(config_->updateMeasurementConfig(nullptr));
  EXPECT_FALSE(update({.appID = "1:999:ios:def", .settings = {{"measurement.upload.retry_count", "20"}}}));
  EXPECT_FALSE(update({.appID = std::nullopt, .settings = {{"measurement.upload.retry_count", "20"}}}));
  analytics::APMSetOriginSource([] { return std::optional<std::string>("am"); });
  EXPECT_FALSE(update({.settings = {{"measurement.upload.retry_count", "20"}}, .vezazAppID = "1:999:ios:def"}));
  database_->failWrites = true;
  EXPECT_FALSE(update({.settings = {{"measurement.upload.retry_count", "20"}}, .vezazAppID = kAppID}));
  EXPECT_EQ(configCodes(recorder), (std::vector<std::int64_t>{29002, 29003, 29004, 29004, 29022, 29005}));
  EXPECT_TRUE(analytics::APMErrorFromContext(recorder.calls().back().contexts.at(0)));
  // Nothing refused reached the caches or the configuration in force.
  EXPECT_EQ(config_->uploadingRetryCount(), 10);
  EXPECT_EQ(config_->samplingRateForEvent("e"), 4);
  EXPECT_EQ(config_->version(), 3);

  // In the "am" origin a matching VeZaz ID passes; the stored configuration
  // comes back in a new engine instance.
  database_->failWrites = false;
  ASSERT_TRUE(update({.settings = {{"measurement.upload.retry_count", "20"}, {"measurement.upload.interval", "60000"}},
                      .events = {{.name = "e", .rate = 8}},
                      .version = 4,
                      .vezazAppID = kAppID}));
  auto loaded = APMRemoteConfig::initWithAppID(kAppID, database_);
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->uploadingRetryCount(), 20);
  EXPECT_EQ(loaded->uploadingInterval(), 60);
  EXPECT_EQ(loaded->samplingRateForEvent("e"), 8);
  EXPECT_EQ(loaded->version(), 4);
  // Stored for another app: loaded as the configuration, but not parsed.
  auto other = APMRemoteConfig::initWithAppID("1:999:ios:def", database_);
  EXPECT_EQ(other->uploadingRetryCount(), 6);
}

TEST_F(AnalyticsRemoteConfigTest, ExpiryFollowsTheClockAndTheCacheTime) {
  auto clock = platform::testing::ManualClock::install();
  MonitorRecorder recorder;
  EXPECT_TRUE(config_->isExpired());  // nothing stored: timestamp 0
  EXPECT_EQ(config_->lastRemoteConfigUpdateTimestamp(), 0);
  ASSERT_TRUE(update({}));
  EXPECT_EQ(config_->lastRemoteConfigUpdateTimestamp(), clock->now_since_1970());
  EXPECT_FALSE(config_->isExpired());
  clock->advance(std::chrono::seconds(3599));
  EXPECT_FALSE(config_->isExpired());
  clock->advance(std::chrono::seconds(1));
  EXPECT_TRUE(config_->isExpired());
  ASSERT_TRUE(update({.settings = {{"measurement.config.cache_time", "120000"}}}));
  clock->advance(std::chrono::seconds(119));
  EXPECT_FALSE(config_->isExpired());
  clock->advance(std::chrono::seconds(1));
  EXPECT_TRUE(config_->isExpired());
  // A clock set back counts by the distance too.
  clock->set_now_since_1970(clock->now_since_1970() - 1000);
  EXPECT_TRUE(config_->isExpired());

  recorder.clear();
  database_->failReads = true;
  EXPECT_EQ(config_->lastRemoteConfigUpdateTimestamp(), 0);
  const auto defaults = APMRemoteConfig::defaultInstance();
  EXPECT_FALSE(defaults->isExpired());
  EXPECT_EQ(defaults->lastRemoteConfigUpdateTimestamp(), 0);
  EXPECT_EQ(defaults->version(), -1);
  EXPECT_EQ(configCodes(recorder), (std::vector<std::int64_t>{29009, 29007, 29008}));
  platform::testing::reset();
}

TEST_F(AnalyticsRemoteConfigTest, DefaultInstanceAndTheEngineClassState) {
  MonitorRecorder recorder;
  const auto defaults = APMRemoteConfig::defaultInstance();
  EXPECT_TRUE(defaults->isDefaultInstance());
  EXPECT_EQ(APMRemoteConfig::defaultInstance(), defaults);
  EXPECT_FALSE(config_->isDefaultInstance());
  EXPECT_EQ(analytics::APMMeasurement::remoteConfig(), defaults);
  EXPECT_FALSE(analytics::APMMeasurement::hasSharedInstance());
  defaults->reset();
  EXPECT_EQ(defaults->uploadingInterval(), 3600);
  EXPECT_TRUE(configCodes(recorder).empty());
}

// ---- fetch URL ------------------------------------------------------------------------

TEST_F(AnalyticsRemoteConfigTest, FetchURLCarriesTheEscapedQuery) {
  // The query escaping leaves "&", "=" and "+" as they are; instance IDs hold none.
  const std::string instance = "a b/é%:?";
  const auto url = config_->remoteConfigURLWithAppInstanceID(instance, "ios", 50300);
  ASSERT_TRUE(url);
  EXPECT_EQ(url->scheme(), "https");
  EXPECT_EQ(url->host(), "analytics.example.net");
  EXPECT_EQ(url->path(), "/config/app/1:123:ios:abc");
  ASSERT_TRUE(url->query());
  EXPECT_EQ(analytics::apm_dictionaryWithHttpArgumentsString(*url->query()),
            (fd::Dict{{"app_instance_id", instance}, {"platform", "ios"}, {"ruv_version", "50300"}}));

  MonitorRecorder recorder;
  EXPECT_EQ(config_->remoteConfigURLWithAppInstanceID("", "ios", 50300), std::nullopt);
  EXPECT_EQ(config_->remoteConfigURLWithAppInstanceID("id", std::nullopt, 50300), std::nullopt);
  const auto calls = recorder.calls();
  ASSERT_EQ(configCodes(recorder), (std::vector<std::int64_t>{29010, 29010}));
  EXPECT_EQ(calls[0].contexts, (fd::Array{fd::Value(""), fd::Value("ios")}));
  EXPECT_EQ(calls[1].contexts, (fd::Array{fd::Value("id"), fd::Value()}));
}

TEST_F(AnalyticsRemoteConfigTest, FetchURLReachesTheCollectorOverLoopback) {
  testing::Harness harness({.fakes = {testing::Fake::analytics}});
  const std::string instance = "inst ance/1";
  const auto url = config_->remoteConfigURLWithAppInstanceID(instance, "ios", 50300);
  ASSERT_TRUE(url);
  std::atomic<int> status{0};
  auto task = platform::net::Session::shared()->data_task(
      platform::net::Request(*url),
      [&](std::optional<fd::Bytes>, std::shared_ptr<const platform::net::Response> response,
          std::optional<fd::Error>) { status = response ? response->status.value_or(-1) : -1; });
  task->resume();
  ASSERT_TRUE(harness.run_until([&] { return status.load() != 0; }, std::chrono::seconds(30)));
  EXPECT_EQ(status.load(), 404);
  const auto requests = harness.analytics().requests("GET", "/config/app/1:123:ios:abc");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].param("app_instance_id"), instance);
  EXPECT_EQ(requests[0].param("platform"), "ios");
  EXPECT_EQ(requests[0].param("ruv_version"), "50300");
}

}  // namespace
