// Analytics decimal-number check and parse over any text.
#include <cstdint>
#include <string_view>

#include "analytics/support/numeric.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  // Only texts that pass the check reach the parser (the others are logged
  // through the monitor, which is not what this target exercises).
  if (analytics::APMIsDecimalNumberString(text)) (void)analytics::APMDecimalNumberFromString(text);
  return 0;
}
