// Deep links and campaign events.
#include "analytics/sessions/deep_links.h"

#include <algorithm>
#include <array>
#include <utility>

#include "analytics/config/persisted_config.h"
#include "analytics/config/scheduler.h"
#include "analytics/engine/analytics_entry.h"
#include "analytics/engine/measurement.h"
#include "analytics/identity/environment.h"
#include "analytics/model/event.h"
#include "analytics/support/strings.h"
#include "analytics/support/user_defaults.h"
#include "platform/dispatch/queue.h"
#include "platform/runtime/runtime.h"
#include "platform/ui/application.h"

namespace analytics {

namespace fd = platform::foundation;
using fd::Dict;
using fd::Value;

namespace {

// Query key → event parameter; no other key is taken.
constexpr std::array<std::pair<std::string_view, std::string_view>, 9> kCampaignKeyTable{{
    {"aclid", "aclid"},
    {"anid", "anid"},
    {"utm_campaign", "campaign"},
    {"utm_content", "content"},
    {"cp1", "cp1"},
    {"gclid", "gclid"},
    {"utm_medium", "medium"},
    {"utm_source", "source"},
    {"utm_term", "term"},
}};
constexpr std::array<std::string_view, 4> kCampaignRequiredKeys{"utm_campaign", "gclid", "utm_medium", "utm_source"};

bool campaignHasText(const Dict& query, std::string_view key) {
  const Value* value = query.find(key);
  const std::string* text = value ? value->string() : nullptr;
  return text && !text->empty();
}

}  // namespace

bool APMIsValidCampaignURLParamDictionary(const Dict& query) {
  return std::any_of(kCampaignRequiredKeys.begin(), kCampaignRequiredKeys.end(),
                     [&](std::string_view key) { return campaignHasText(query, key); });
}

APMCampaignQuery APMCampaignQueryFromString(std::string_view queryText) {
  APMCampaignQuery result;
  result.query = apm_dictionaryWithHttpArgumentsString(queryText);
  if (result.query.empty()) return result;
  if (!APMIsValidCampaignURLParamDictionary(result.query)) {
    result.outcome = APMCampaignQuery::Outcome::missingRequiredKeys;
    return result;
  }
  result.outcome = APMCampaignQuery::Outcome::campaign;
  for (const auto& [key, parameter] : kCampaignKeyTable) {
    if (campaignHasText(result.query, key)) result.parameters.set(std::string(parameter), *result.query.find(key));
  }
  return result;
}

std::optional<fd::Url> APMDeepLinks::deepLinkFromActivity(const std::shared_ptr<platform::ui::UserActivity>& activity) {
  APMMonitor& monitor = APMMeasurement::monitor();
  if (!activity) {
    monitor.logWithLevel(7, 23003, "User Activity is empty. User Activity");
    return std::nullopt;
  }
  const std::string version = APMAEU::systemVersion();
  int major = 0;
  for (char c : version) {
    if (c < '0' || c > '9') break;
    major = major * 10 + (c - '0');
    if (major > 1000) break;
  }
  if (major <= 8) {
    monitor.logWithLevel(7, 23004, "Deep Link is only supported on iOS 9 and above");
    return std::nullopt;
  }
  if (!platform::rt::Runtime::shared().find("NSUserActivity")) {
    monitor.logWithLevel(7, 23005, "NSUserActivity is not supported");
    return std::nullopt;
  }
  if (activity->activity_type != platform::ui::activity_type_browsing_web || !activity->webpage_url ||
      activity->webpage_url->absolute_string().empty()) {
    monitor.logWithLevel(7, 23006, "User Activity does not have Deep Link. User Activity",
                         Value(activity->activity_type));
    return std::nullopt;
  }
  return activity->webpage_url;
}

void APMDeepLinks::handleNonFirstOpenEventURL(APMMeasurement& engine, const fd::Url& url,
                                              double eventTimestampInSeconds) {
  if (platform::dispatch::Queue::current_label() == APMScheduler::kWorkerQueueLabel) {
    APMMeasurement::monitor().logWithLevel(
        1, 23163, "Do not call handleNonFirstOpenOpenURL on the measurement worker queue");
    return;
  }
  handleOpenURL(engine, url, std::nullopt, eventTimestampInSeconds);
}

void APMDeepLinks::handleOpenURL(APMMeasurement& engine, const fd::Url& url, std::optional<double> clickTimestampInMs,
                                 double eventTimestampInSeconds) {
  if (url.absolute_string().empty() || !engine.scheduler()) return;
  std::weak_ptr<APMMeasurement> weak = engine.weak_from_this();
  engine.scheduler()->scheduleOnWorkerQueueBlockID(kCampaignBlockID, [weak, url, clickTimestampInMs,
                                                                      eventTimestampInSeconds] {
    if (auto strong = weak.lock()) handleOpenURLOnWorkerQueue(*strong, url, clickTimestampInMs, eventTimestampInSeconds);
  });
}

void APMDeepLinks::handleOpenURLOnWorkerQueue(APMMeasurement& engine, const fd::Url& url,
                                              std::optional<double> clickTimestampInMs,
                                              double eventTimestampInSeconds) {
  APMMonitor& monitor = APMMeasurement::monitor();
  APMCampaignQuery campaign = APMCampaignQueryFromString(url.query().value_or(""));
  switch (campaign.outcome) {
    case APMCampaignQuery::Outcome::emptyQuery:
      monitor.logWithLevel(7, 23000, "Deep Link Web URL query is empty");
      return;
    case APMCampaignQuery::Outcome::missingRequiredKeys:
      monitor.logWithLevel(7, 23001, "Deep Link does not contain valid required params. URL params",
                           Value(campaign.query));
      return;
    case APMCampaignQuery::Outcome::campaign:
      break;
  }
  if (clickTimestampInMs) campaign.parameters.set("click_timestamp", Value(*clickTimestampInMs));
  double timestamp = eventTimestampInSeconds;
  if (APMPersistedConfig* persisted = engine.persistedConfig()) {
    timestamp = std::max(timestamp, static_cast<double>(persisted->firstOpenTimestampMilliseconds()) / 1000.0);
  }
  auto event = APMEvent::initWithOrigin("auto", false, "_cmp", timestamp, 0, campaign.parameters);
  if (!event) return;
  engine.handleEventOnWorkerQueue(event);
  APMAnalytics::notifyEventListeners(event);
}

void APMDeepLinks::reportStoredCampaignEventOnWorkerQueue(APMMeasurement& engine, std::optional<double> clickTime) {
  APMUserDefaults& defaults = APMUserDefaults::standardUserDefaults();
  const auto link = defaults.objectForKey(kAPMDeepLinkKey);
  const std::string* text = link ? link->string() : nullptr;
  if (!text || text->empty()) return;
  const std::string linkText = *text;
  const auto stamp = defaults.objectForKey(kAPMDeepLinkTimestampKey);
  const double storedAt = stamp ? stamp->as_double().value_or(0) : 0;
  defaults.removeObjectForKey(kAPMDeepLinkKey);
  defaults.removeObjectForKey(kAPMDeepLinkTimestampKey);
  const auto url = fd::Url::parse(linkText);
  if (!url) return;
  handleOpenURLOnWorkerQueue(engine, *url, clickTime, storedAt);
}

}  // namespace analytics
