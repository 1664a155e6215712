// An embedded provisioning profile's bytes, read for the push environment.
// Input: the file's bytes.

#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz/support.h"
#include "identity/push_environment.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::quiet_console();
  const auto decision = identity::decidePushEnvironment(std::span<const std::uint8_t>(data, size), std::nullopt);
  // Every fallback answers production; only a sandbox answer needs the environment.
  if (!decision.production) fuzz::check(!decision.report && decision.apsEnvironmentText.has_value());
  if (size == 0) fuzz::check(decision.production && decision.report.has_value());
  return 0;
}
