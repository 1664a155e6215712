// Audience definitions from a server reply: bytes -> RIDUZMeasurementConfig ->
// its audiences through updateAudiences on a database in a scratch folder ->
// one event and one user property evaluated -> the leaf results for bundling.
#include <cstdint>
#include <span>

#include "analytics/audiences/audience.h"
#include "analytics/audiences/audience_fields.h"
#include "analytics/store/database.h"
#include "fuzz/support.h"
#include "platform/dispatch/queue.h"
#include "wire/runtime/nano_runtime.h"

namespace {

namespace fd = platform::foundation;
namespace af = analytics::audience_fields;

constexpr std::int32_t kConfigAudiences = 5;

// The name of an audience's first filter of type T, or the fallback.
template <class T>
std::string firstName(const wire::RIDUZAudience* audience, std::int32_t listIndex, std::int32_t nameIndex,
                      const char* fallback) {
  const auto items = wire::NANOGetArray(audience, listIndex, &T::type()).value_or(fd::Array{});
  if (!items.empty()) {
    if (const auto filter = items.front().template object<T>()) {
      if (auto name = wire::NANOGetString(filter.get(), nameIndex); name && !name->empty()) return *name;
    }
  }
  return fallback;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::quiet_console();
  static const auto database = analytics::APMDatabase::initWithDatabasePath(
      (fuzz::scratch_folder("analytics_audience") / "audiences.sql").string(), nullptr);
  if (!database) std::abort();
  static analytics::APMAudience audience(database);

  const auto config = wire::RIDUZMeasurementConfig::initWithBuffer(std::span<const std::uint8_t>(data, size));
  if (config) {
    std::vector<std::shared_ptr<wire::RIDUZAudience>> audiences;
    for (const auto& item : wire::NANOGetArray(config.get(), kConfigAudiences, &wire::RIDUZAudience::type())
                                .value_or(fd::Array{})) {
      if (auto one = item.object<wire::RIDUZAudience>()) audiences.push_back(std::move(one));
    }
    (void)audience.updateAudiences(audiences);

    std::string eventName = "buy";
    std::string propertyName = "level";
    if (!audiences.empty()) {
      eventName = firstName<wire::RIDUZEventFilter>(audiences.front().get(), af::kAudienceEventFilters,
                                                    af::kEventFilterEventName, "buy");
      propertyName = firstName<wire::RIDUZPropertyFilter>(audiences.front().get(), af::kAudiencePropertyFilters,
                                                          af::kPropertyFilterPropertyName, "level");
    }
    const fd::Dict parameters{{"value", 5}, {"item", "book"}, {"ratio", 1.5}};
    analytics::APMSequenceTimestampsCaches caches;
    if (auto event = analytics::APMEvent::initWithOrigin("app", false, eventName, 1000.5, 0, parameters)) {
      (void)audience.evaluateFiltersForEvent(event.get(), nullptr, caches);
    }
    if (auto property = analytics::APMUserAttribute::initWithOrigin(
            "app", propertyName, analytics::APMValue::initWithString(fd::Value("12")), 1000)) {
      (void)audience.evaluateFiltersForUserProperty(property.get());
    }
    std::optional<analytics::APMAudienceLeafResults> results;
    (void)audience.resultsForBundling(&results);
  }
  // Messages go through the monitor: let its queued work end before the process may exit.
  platform::dispatch::wait_until_idle();
  return 0;
}
