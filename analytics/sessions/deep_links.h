#pragma once
// Deep links and campaigns: the deep link of a user activity, the road from
// an opened URL to the campaign event "_cmp", and the launch link stored in
// the preferences. APMDeepLinks fills the engine's campaigns seam.
//
// Threads: deepLinkFromUserActivity runs on the caller's queue;
// handleNonFirstOpenEventURL on any queue but the worker, which it hops to;
// the OnWorkerQueue methods on the worker "com.dozada.fira.worker".
#include <memory>
#include <optional>
#include <string_view>

#include "analytics/engine_seams.h"
#include "platform/foundation/url.h"
#include "platform/foundation/value.h"

namespace analytics {

// The launch link the launch handler stores, and the time it was stored.
inline constexpr std::string_view kAPMDeepLinkKey = "/dozada/measurement/deep_link";
inline constexpr std::string_view kAPMDeepLinkTimestampKey = "/dozada/measurement/deep_link_timestamp_seconds";

// A URL query read for campaign fields.
struct APMCampaignQuery {
  enum class Outcome { campaign, emptyQuery, missingRequiredKeys };
  Outcome outcome = Outcome::emptyQuery;
  platform::foundation::Dict query;       // the query's arguments, unescaped
  platform::foundation::Dict parameters;  // the campaign fields with non-empty values, as strings
};
// Reads the query text (percent-encoded, without "?"); never fails.
APMCampaignQuery APMCampaignQueryFromString(std::string_view queryText);
// One of "utm_campaign", "gclid", "utm_medium", "utm_source" has a non-empty value.
bool APMIsValidCampaignURLParamDictionary(const platform::foundation::Dict& query);

class APMDeepLinks : public APMCampaignsSeam {
 public:
  static constexpr std::string_view kCampaignBlockID = "APMMeasurement:361";

  // The web page URL of a web-browsing activity; nullopt after 23003, 23004,
  // 23005 or 23006.
  static std::optional<platform::foundation::Url> deepLinkFromActivity(
      const std::shared_ptr<platform::ui::UserActivity>& activity);

  void handleNonFirstOpenEventURL(APMMeasurement& engine, const platform::foundation::Url& url,
                                  double eventTimestampInSeconds) override;
  std::optional<platform::foundation::Url> deepLinkFromUserActivity(
      const std::shared_ptr<platform::ui::UserActivity>& activity) override {
    return deepLinkFromActivity(activity);
  }
  void reportStoredCampaignEventOnWorkerQueue(APMMeasurement& engine, std::optional<double> clickTime) override;

  // A non-empty URL is scheduled onto the worker's campaign road.
  static void handleOpenURL(APMMeasurement& engine, const platform::foundation::Url& url,
                            std::optional<double> clickTimestampInMs, double eventTimestampInSeconds);
  // The campaign road: "_cmp" with origin "auto", never before the first open.
  static void handleOpenURLOnWorkerQueue(APMMeasurement& engine, const platform::foundation::Url& url,
                                         std::optional<double> clickTimestampInMs, double eventTimestampInSeconds);
};

}  // namespace analytics
