// The campaign road's parameter building: any text as an opened URL, its
// query read for campaign fields, and the "_cmp" event built from them.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "analytics/model/event.h"
#include "analytics/sessions/deep_links.h"
#include "platform/foundation/url.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto url = platform::foundation::Url::parse(text);
  const std::string query = url ? url->query().value_or("") : std::string(text);
  const auto campaign = analytics::APMCampaignQueryFromString(query);
  if (campaign.outcome != analytics::APMCampaignQuery::Outcome::campaign) {
    if (!campaign.parameters.empty()) std::abort();
    return 0;
  }
  if (campaign.parameters.empty() || !analytics::APMIsValidCampaignURLParamDictionary(campaign.query)) std::abort();
  for (const auto& [key, value] : campaign.parameters) {
    if (!value.string() || value.string()->empty()) std::abort();
  }
  (void)analytics::APMEvent::initWithOrigin("auto", false, "_cmp", 1.6e9, 0, campaign.parameters);
  return 0;
}
