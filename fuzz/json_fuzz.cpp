// JSON reader: parse anything; whatever parses must serialize and read back equal.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "platform/foundation/json.h"

namespace json = platform::foundation::json;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  auto value = json::parse(bytes, {.allow_fragments = true});
  if (!value) return 0;
  for (bool pretty : {false, true}) {
    auto written = json::serialize(*value, {.pretty = pretty, .sorted_keys = pretty, .fragments_allowed = true});
    if (!written) std::abort();   // parsed JSON is always writable
    auto again = json::parse(*written, {.allow_fragments = true});
    if (!again || !(*again == *value)) std::abort();
  }
  (void)json::is_valid_object(*value);
  return 0;
}
