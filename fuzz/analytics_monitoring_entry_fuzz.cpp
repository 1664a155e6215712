// A stored monitoring entry: property-list bytes, loaded as sampled data, then
// counted and dispatched.
#include <cstdint>
#include <span>

#include "analytics/monitor/sampled_data.h"
#include "platform/foundation/plist.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto value = platform::foundation::plist::parse(std::span<const std::uint8_t>(data, size));
  if (!value) return 0;
  analytics::APMMonitoringSampledData sampled(*value, [](std::uint64_t upper) { return upper / 2; });
  (void)sampled.monitoringDataForDispatchWithSamplePeriod(1e9, 1);
  sampled.insertOrUpdateSampledDataWithKey("1E_50300:fuzz", "-");
  (void)sampled.monitoringDataForDispatchWithSamplePeriod(-1, 0);
  return 0;
}
