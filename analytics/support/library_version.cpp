// The analytics library version.
#include "analytics/support/library_version.h"

#include "platform/foundation/text.h"

namespace analytics {

std::int64_t APMLibraryVersionFromText(std::string_view text) {
  if (text.size() < 4) return 0;
  return platform::foundation::text::integer_value(text.substr(0, text.size() - 3));
}

std::int64_t APMLibraryVersion() { return APMLibraryVersionFromText(kAPMLibraryVersionText); }

}  // namespace analytics
