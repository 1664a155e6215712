// The sampled monitoring entry (a reservoir of one) and its dispatch form.
#include "analytics/monitor/sampled_data.h"

#include <cmath>
#include <limits>

#include "platform/security/random.h"

namespace analytics {

namespace fd = platform::foundation;

namespace {
enum Index : std::size_t { kContext = 0, kPopulation = 1, kKey = 2, kFirstTime = 3 };
}

std::uint64_t APMMonitoringSampledData::defaultDraw(std::uint64_t upper) {
  if (upper <= std::numeric_limits<std::uint32_t>::max()) {
    return platform::security::random_uniform(static_cast<std::uint32_t>(upper));
  }
  // Rejection sampling over 64 bits, for populations past 2^32.
  const std::uint64_t limit = std::numeric_limits<std::uint64_t>::max() - std::numeric_limits<std::uint64_t>::max() % upper;
  for (;;) {
    std::uint64_t v = (std::uint64_t{platform::security::random_u32()} << 32) | platform::security::random_u32();
    if (v < limit) return v % upper;
  }
}

APMMonitoringSampledData::APMMonitoringSampledData(const fd::Value& array, Draw draw) : draw_(std::move(draw)) {
  if (!draw_) draw_ = defaultDraw;
  if (isValidUserDefaultsArrayEntry(array)) sampledData_ = *array.array();
}

bool APMMonitoringSampledData::isValidUserDefaultsArrayEntry(const fd::Value& entry) {
  const fd::Array* a = entry.array();
  return a && a->size() == 4 && (*a)[kContext].is_string() && (*a)[kPopulation].is_number() &&
         (*a)[kKey].is_string() && (*a)[kFirstTime].is_date();
}

void APMMonitoringSampledData::insertOrUpdateSampledDataWithKey(std::string_view key, std::string_view encodedContext) {
  if (!sampledData_) {
    sampledData_ = sampledDataEntryWithKey(key, fd::Date::now(), encodedContext, 1);
    return;
  }
  fd::Array& entry = *sampledData_;
  const std::int64_t n = entry[kPopulation].as_int().value_or(0);
  // A stored entry may hold any count: saturate rather than overflow.
  const std::int64_t population = n == std::numeric_limits<std::int64_t>::max() ? n : n + 1;
  entry[kPopulation] = fd::Value(population);
  const std::uint64_t upper = population > 0 ? static_cast<std::uint64_t>(population) : 0;
  if (draw_(upper) == 0) {
    entry[kKey] = fd::Value(key);
    entry[kContext] = fd::Value(encodedContext);
  }
}

std::optional<std::string> APMMonitoringSampledData::monitoringDataForDispatchWithSamplePeriod(
    double samplePeriod, double lastSampledTimestamp) {
  const double now = fd::Date::now().since_1970;
  if (sampledData_) {
    const fd::Array& entry = *sampledData_;
    if (!(entry[kFirstTime].date()->since_1970 < now - samplePeriod)) return std::nullopt;
    std::string param = monitoringURLParamWithKey(*entry[kKey].string(), entry[kPopulation].as_int().value_or(0),
                                                  *entry[kContext].string());
    sampledData_.reset();
    return param;
  }
  if (lastSampledTimestamp > 0 && std::fabs(now - lastSampledTimestamp) > samplePeriod) return std::string("0:");
  return std::nullopt;
}

std::string APMMonitoringSampledData::monitoringURLParamWithKey(std::string_view key, std::int64_t population,
                                                                std::string_view context) {
  // The count travels as a 32-bit int.
  std::string param = std::to_string(static_cast<std::int32_t>(population));
  param += ':';
  param += key;
  if (!context.empty()) {
    param += ':';
    param += context;
  }
  return param;
}

std::optional<fd::Array> APMMonitoringSampledData::sampledDataEntryWithKey(std::optional<std::string_view> key,
                                                                           std::optional<fd::Date> timestamp,
                                                                           std::optional<std::string_view> context,
                                                                           std::optional<std::int64_t> population) {
  if (!key || !timestamp || !context || !population) return std::nullopt;
  return fd::Array{fd::Value(*context), fd::Value(*population), fd::Value(*key), fd::Value(*timestamp)};
}

}  // namespace analytics
