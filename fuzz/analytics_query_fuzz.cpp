// Analytics query-string parser and URL-argument unescaping: any text, then a
// round trip through the query writer.
#include <cstdint>
#include <string_view>

#include "analytics/support/strings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto dict = analytics::apm_dictionaryWithHttpArgumentsString(text);
  (void)analytics::apm_queryString(dict);
  (void)analytics::apm_stringByUnescapingFromURLArgument(text);
  (void)analytics::apm_UTF32Length(text);
  return 0;
}
