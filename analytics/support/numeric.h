#pragma once
// Strict decimal-number texts (audience comparisons) and a secure random
// 64-bit integer. Callable from any thread.
#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/foundation/text.h"

namespace analytics {

inline constexpr std::string_view kAPMDecimalNumberPattern = "^[+-]?(([0-9]+\\.?)|([0-9]*\\.[0-9]+))$";

// An optional sign, then digits with an optional trailing point, or optional
// digits, a point and digits. Empty text is false. The expression is compiled
// once; a failed compilation logs 26000, answers false and is tried again at
// the next call.
bool APMIsDecimalNumberString(std::string_view text);

// The en_US decimal number of a text that passes the check and keeps every
// digit; nullopt after 26001 (not decimal), 26002 (no number) or 26003 (loss
// of precision).
std::optional<platform::foundation::text::Decimal> APMDecimalNumberFromString(std::string_view text);

struct APMNumericUtil {
  // 8 secure random bytes as a signed integer; 0 after 26004 when the
  // generator fails.
  static std::int64_t randomInt64();
};

}  // namespace analytics
