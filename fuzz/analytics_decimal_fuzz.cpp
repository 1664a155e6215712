// Analytics decimal-number check and parse over any text.
#include <cstdint>
#include <string_view>

#include "analytics/support/numeric.h"
#include "platform/dispatch/queue.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  // Only texts that pass the check reach the parser (the others are logged
  // through the monitor, which is not what this target exercises).
  if (analytics::APMIsDecimalNumberString(text)) (void)analytics::APMDecimalNumberFromString(text);
  // A loss of precision is logged: let the monitor's queued work end before
  // the process may exit.
  platform::dispatch::wait_until_idle();
  return 0;
}
