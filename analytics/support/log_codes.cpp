// Message-code texts of analytics messages.
#include "analytics/support/log_codes.h"

#include <cstdio>

namespace analytics {

std::string apmMessageCode(std::int64_t code) {
  char text[32];
  std::snprintf(text, sizeof text, "I-ACS%06lld", static_cast<long long>(code));
  return text;
}

}  // namespace analytics
