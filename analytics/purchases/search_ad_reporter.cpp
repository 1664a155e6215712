// The search-ad attribution reporter: its schedule, the lookups through the
// attribution client and the one "_cmp" event of an attributed install.
#include "analytics/purchases/search_ad_reporter.h"

#include <cmath>

#include "analytics/config/persisted_config.h"
#include "analytics/config/scheduler.h"
#include "analytics/engine/analytics_entry.h"
#include "analytics/engine/measurement.h"
#include "analytics/selectors.h"
#include "platform/dispatch/clock.h"
#include "platform/foundation/text.h"
#include "platform/runtime/message.h"
#include "platform/runtime/runtime.h"

namespace analytics {

namespace fd = platform::foundation;
namespace rt = platform::rt;
using fd::Value;

namespace {

APMMonitor& adMonitor() { return APMMeasurement::monitor(); }

std::optional<std::string> adText(const fd::Dict& details, std::string_view key) {
  const std::string* text = details.get(key).string();
  return text ? std::optional<std::string>(*text) : std::nullopt;
}

// A flag sent as a boolean, a number or a text such as "true".
bool adFlag(const Value& value) {
  if (const std::string* text = value.string()) return fd::text::bool_value(*text);
  return value.as_bool().value_or(false);
}

}  // namespace

std::shared_ptr<APMSearchAdReporter> APMSearchAdReporter::initWithWorkerQueue(
    std::optional<platform::dispatch::Queue> queue, APMPersistedConfig* persistedConfig) {
  if (!queue) {
    adMonitor().logWithLevel(1, 32000, "Cannot init Search Ad reporter. Queue must be provided");
    return nullptr;
  }
  if (!persistedConfig) {
    adMonitor().logWithLevel(1, 32001, "Cannot init Search Ad reporter. Persisted config must be provided");
    return nullptr;
  }
  if (persistedConfig->searchAdRetryCount() > kMaxLookups - 1) return nullptr;
  if (persistedConfig->searchAdCampaignValue()) {
    adMonitor().logWithLevel(7, 32002,
                             "Search Ad campaign attribution was already reported. Do not start Search Ad Reporter.");
    return nullptr;
  }
  return std::make_shared<APMSearchAdReporter>(Token{}, *queue, persistedConfig);
}

APMSearchAdReporter::APMSearchAdReporter(Token, platform::dispatch::Queue queue, APMPersistedConfig* persistedConfig)
    : persistedConfig_(persistedConfig),
      searchAdReporterAlarm_(std::make_shared<APMAlarm>(std::move(queue), kAlarmName)) {}

APMSearchAdReporter::~APMSearchAdReporter() { cancelScheduling(); }

rt::Id APMSearchAdReporter::adClientInstance() {
  // Kept for the process and never destroyed: the client may come from a
  // class registered for the process's lifetime only.
  static const rt::Id* const client = [] {
    rt::Class* cls = rt::Runtime::shared().find("ADClient");
    auto shared = cls ? rt::send_if_responds(*cls, sel::adClientSharedClient) : std::nullopt;
    return new rt::Id(shared ? *shared : rt::Id());
  }();
  return *client;
}

bool APMSearchAdReporter::isSearchAdReporterEnabled() const { return enabled_.load(); }
void APMSearchAdReporter::setSearchAdReporterEnabled(bool enabled) { enabled_ = enabled; }

std::shared_ptr<APMAlarm> APMSearchAdReporter::alarm() const {
  std::lock_guard lock(alarmMutex_);
  return searchAdReporterAlarm_;
}

std::optional<double> APMSearchAdReporter::scheduledTimestamp() const {
  const auto current = alarm();
  return current ? current->scheduledTimestamp() : std::nullopt;
}

void APMSearchAdReporter::start() {
  if (!adClientInstance()) {
    adMonitor().logWithLevel(7, 32003, "iAd framework is not linked. Search Ad Attribution Reporter is disabled.");
    return;
  }
  scheduleSearchAdReport();
}

void APMSearchAdReporter::scheduleSearchAdReport() {
  const auto current = alarm();
  if (!current) {
    adMonitor().logWithLevel(4, 32013, "Search Ad Campaign attribution alarm is already canceled");
    return;
  }
  if (!isSearchAdReporterEnabled()) {
    current->cancel();
    return;
  }
  if (persistedConfig_->searchAdCampaignValue()) {
    adMonitor().logWithLevel(7, 32004,
                             "Search Ad report not scheduled. Search Ad campaign attribution was already reported.");
    cancelScheduling();
    return;
  }
  if (current->hasActiveTimer()) {
    adMonitor().logWithLevel(4, 32005, "Search Ad Campaign attribution alarm is already scheduled");
    return;
  }
  if (persistedConfig_->searchAdRetryCount() >= kMaxLookups) {
    adMonitor().logWithLevel(5, 32007,
                             "Search Ad Campaign attribution exceeds the max number of retries. Do not schedule again.");
    cancelScheduling();
    return;
  }
  adMonitor().logWithLevel(7, 32006, "Scheduling Search Ad Report timer");
  const double now = platform::dispatch::Clock::current().now_since_1970();
  // Negative when the last lookup is more than a day ago (or never was): at once.
  const double delay = kLookupInterval - std::fabs(now - persistedConfig_->lastSearchAdLookUpTimestamp());
  std::weak_ptr<APMSearchAdReporter> weak = weak_from_this();
  current->runAfterDelay(delay, [weak] {
    if (auto self = weak.lock()) self->maybeLogIAdCampaignEvent();
  });
}

void APMSearchAdReporter::cancelScheduling() {
  std::shared_ptr<APMAlarm> dropped;
  {
    std::lock_guard lock(alarmMutex_);
    dropped = std::move(searchAdReporterAlarm_);
  }
  if (dropped) dropped->cancel();
}

void APMSearchAdReporter::maybeLogIAdCampaignEvent() {
  if (!adClientInstance()) return;
  persistedConfig_->setLastSearchAdLookUpTimestamp(platform::dispatch::Clock::current().now_since_1970());
  lookUpAdConversionDetails();
  scheduleSearchAdReport();
}

void APMSearchAdReporter::lookUpAdConversionDetails() {
  persistedConfig_->setSearchAdRetryCount(persistedConfig_->searchAdRetryCount() + 1);
  const rt::Id client = adClientInstance();
  if (!client) return;
  std::weak_ptr<APMSearchAdReporter> weak = weak_from_this();
  if (client->responds_to(sel::adClientRequestAttributionDetails.id)) {
    rt::send(*client, sel::adClientRequestAttributionDetails,
             sel::APMAttributionDetailsHandler([weak](std::optional<fd::Dict> details, std::optional<fd::Error> error) {
               auto self = weak.lock();
               if (!self) return;
               if (error) {
                 adMonitor().logWithLevel(1, 32010, "Cannot send request for Search Ad campaign attribution. Error",
                                          APMErrorContext(*error));
                 self->scheduleSearchAdReport();
                 return;
               }
               if (!details || details->empty()) {
                 adMonitor().logWithLevel(1, 32011,
                                          "Cannot get Search Ad campaign attribution. Search Ad details are empty");
                 self->scheduleSearchAdReport();
                 return;
               }
               const fd::Dict* first = details->begin()->second.dict();
               if (!first || first->empty()) {
                 self->scheduleSearchAdReport();
                 return;
               }
               const bool attributed = adFlag(first->get("iad-attribution"));
               const auto campaign = adText(*first, "iad-campaign-name");
               const auto term = adText(*first, "iad-keyword");
               const auto campaignID = adText(*first, "iad-campaign-id");
               if (campaignID == "1234567890" && campaign == "CampaignName") {
                 adMonitor().logWithLevel(2, 32012, "Search Ad Reporter returns dummy data. Will retry next time.");
                 self->scheduleSearchAdReport();
                 return;
               }
               self->logCampaignEventWithSearchAdCampaign(attributed, campaign, term);
               self->cancelScheduling();
             }));
  } else if (client->responds_to(sel::adClientLookupAdConversionDetails.id)) {
    rt::send(*client, sel::adClientLookupAdConversionDetails,
             sel::APMAdConversionDetailsHandler([weak](std::optional<fd::Date>, std::optional<fd::Date> impression) {
               auto self = weak.lock();
               if (!self) return;
               self->logCampaignEventWithSearchAdCampaign(impression.has_value(), std::nullopt, std::nullopt);
               self->cancelScheduling();
             }));
  } else if (client->responds_to(sel::adClientDetermineAppInstallationAttribution.id)) {
    rt::send(*client, sel::adClientDetermineAppInstallationAttribution,
             sel::APMInstallationAttributionHandler([weak](bool attributed) {
               auto self = weak.lock();
               if (!self) return;
               self->logCampaignEventWithSearchAdCampaign(attributed, std::nullopt, std::nullopt);
               self->cancelScheduling();
             }));
  }
}

void APMSearchAdReporter::logCampaignEventWithSearchAdCampaign(bool attributed,
                                                               const std::optional<std::string>& campaign,
                                                               const std::optional<std::string>& term) {
  std::lock_guard lock(campaignMutex_);
  if (persistedConfig_->searchAdCampaignValue()) {
    adMonitor().logWithLevel(5, 32008, "Search Ad Campaign is already tracked");
    return;
  }
  // Any stored answer ends the lookups, attributed or not.
  persistedConfig_->setSearchAdCampaignValue(Value(std::int64_t{attributed ? 1 : 0}));
  if (!attributed) return;
  fd::Dict parameters{{"source", Value("Apple")}, {"medium", Value("search")}};
  if (campaign && !campaign->empty()) parameters.set("campaign", Value(*campaign));
  if (term && !term->empty()) parameters.set("term", Value(*term));
  const std::int64_t firstOpen = persistedConfig_->firstOpenTimestampMilliseconds();
  if (firstOpen >= 2) {
    parameters.set("click_timestamp", Value(firstOpen - 1));
  } else {
    adMonitor().logWithLevel(5, 32009, "Search Ad Campaign does not have click_timestamp.");
  }
  APMAnalytics::logInternalEventWithOrigin("auto", "_cmp", parameters);
}

}  // namespace analytics
