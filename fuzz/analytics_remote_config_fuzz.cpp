// The stored server configuration: bytes -> RIDUZMeasurementConfig -> accepted
// by a remote configuration for its own app ID (parse) -> every setting and
// event query. Settings must land inside their bounds.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "analytics/config/remote_config.h"
#include "platform/dispatch/queue.h"
#include "wire/runtime/nano_runtime.h"

namespace {

// Accepts every configuration and keeps nothing.
class AcceptingDatabase : public analytics::APMRemoteConfigDatabase {
 public:
  bool updateRemoteConfig(const wire::RIDUZMeasurementConfig&, analytics::APMErrorOut) override { return true; }
  std::shared_ptr<wire::RIDUZMeasurementConfig> queryMeasurementConfigWithError(analytics::APMErrorOut) override {
    return nullptr;
  }
  std::optional<double> lastRemoteConfigUpdateTimestamp(analytics::APMErrorOut) override { return 0.0; }
};

void check(bool ok) {
  if (!ok) std::abort();
}

void querySettings(const analytics::APMRemoteConfig& c) {
  check(c.uploadingInterval() >= 15 && c.uploadingInterval() <= 86400);
  check(c.maxQueueTime() >= 604800 && c.maxQueueTime() <= 7862400);
  check(c.maxBundlesCreatedPerIteration() >= 1 && c.maxBundlesCreatedPerIteration() <= 10000);
  check(c.uploadingRetryCount() >= 1 && c.uploadingRetryCount() <= 24);
  check(c.analyticsAccountTimeZoneOffsetMinutes() >= -900 && c.analyticsAccountTimeZoneOffsetMinutes() <= 900);
  check(c.uploadMaxSizeLimitBytes() >= 0 && c.uploadMaxSizeLimitBytes() <= 10485760);
  (void)c.uploadingBackoffInterval(), (void)c.uploadingInitialDelayInterval(), (void)c.uploadingRetryInterval();
  (void)c.uploadingDebugModeInterval(), (void)c.uploadingRealTimeInterval(), (void)c.databaseDeleteStaleBundlesInterval();
  (void)c.adIDCacheTime(), (void)c.monitoringSamplePeriod(), (void)c.networkTimeout();
  (void)c.sessionDefaultMinimumInterval(), (void)c.sessionDefaultTimeoutInterval();
  (void)c.sessionEventUserEngagementInterval(), (void)c.remoteConfigCacheTimeInterval();
  (void)c.uploadMaxBundlesLimit(), (void)c.uploadMaxEventsPerBundle(), (void)c.maxEventsPerDay();
  (void)c.maxPublicEventsPerDay(), (void)c.maxErrorEventsPerDay(), (void)c.maxConversionsPerDay();
  (void)c.maxRealtimeEventCountPerDay(), (void)c.maxEventsStored(), (void)c.maxTrackedCurrencies();
  (void)c.maxAudienceCount(), (void)c.maxFiltersPerAudience(), (void)c.maxFilterResultCount();
  (void)c.maxParametersPerFilter();
  (void)c.isSearchAdReporterEnabled(), (void)c.isAudienceDynamicFiltersEnabled();
  (void)c.isIdentifierForVendorCollectionEnabled(), (void)c.isIAPSubscriptionNonConsumableReportEnabled();
  (void)c.isIAPIntroductoryOfferEnabled(), (void)c.parsePurchaseDataEnabled(), (void)c.dedupePurchasesEnabled();
  (void)c.uploadWhenAppInBackgroundEnabled(), (void)c.isNetworkBackgroundSessionEnabled(), (void)c.sessionIDEnabled();
  (void)c.sessionNumberEnabled(), (void)c.sessionImmediateStartEnabled(), (void)c.sessionBackgroundEnabled();
  (void)c.blacklistInternal(), (void)c.blacklistPublic(), (void)c.isEventSamplingEnabled();
  (void)c.isTimeZoneOffsetEnabled(), (void)c.isResetAnalyticsDataEnabled(), (void)c.isScreenViewReporterDelegateEnabled();
  (void)c.version(), (void)c.isExpired();
}

void queryEvent(const analytics::APMRemoteConfig& c, const std::string& name) {
  (void)c.eventConfigWithName(name), (void)c.isEventBlacklisted(name), (void)c.isEventCustomConversion(name);
  (void)c.eventHasSamplingRate(name);
  const std::int32_t rate = c.samplingRateForEvent(name);
  check(rate >= 1 && rate <= 65535);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const auto database = std::make_shared<AcceptingDatabase>();
  const auto message = wire::RIDUZMeasurementConfig::initWithBuffer(std::span<const std::uint8_t>(data, size));
  if (message) {
    const std::string appID = wire::NANOGetString(message.get(), 1).value_or("fuzz");
    if (const auto config = analytics::APMRemoteConfig::initWithAppID(appID, database, message)) {
      querySettings(*config);
      const auto events = wire::NANOGetArray(message.get(), 4, &wire::RIDUZEventConfig::type());
      for (const auto& item : events.value_or(platform::foundation::Array{})) {
        const auto event = item.object<wire::RIDUZEventConfig>();
        if (event) queryEvent(*config, wire::NANOGetString(event.get(), 0).value_or(""));
      }
      queryEvent(*config, "_e");
      queryEvent(*config, "purchase");
    }
  }
  // Messages go through the monitor: let its queued work end before the process may exit.
  platform::dispatch::wait_until_idle();
  return 0;
}
