// Decimal-number checks and parsing, and the random 64-bit integer.
#include "analytics/support/numeric.h"

#include <cerrno>
#include <cstring>
#include <mutex>

#include "analytics/engine/measurement.h"
#include "analytics/support/errors.h"
#include "platform/security/random.h"

namespace analytics {

namespace fd = platform::foundation;
using fd::text::Decimal;
using fd::text::Regex;

namespace {

// The compiled expression, or nullopt after a failed compilation (which the
// next call retries).
std::optional<Regex> decimalRegex() {
  static std::mutex mutex;
  static std::optional<Regex> compiled;
  std::lock_guard lock(mutex);
  if (!compiled) {
    auto regex = Regex::compile(kAPMDecimalNumberPattern, true);
    if (!regex) {
      APMMeasurement::monitor().logWithLevel(1, 26000, "Unable to initialize decimal number regexp. Regex, error",
                                             fd::Value(kAPMDecimalNumberPattern), APMErrorContext(regex.error()));
      return std::nullopt;
    }
    compiled = *regex;
  }
  return compiled;
}

}  // namespace

bool APMIsDecimalNumberString(std::string_view text) {
  auto regex = decimalRegex();
  if (!regex || text.empty()) return false;
  return regex->matches(text);
}

std::optional<Decimal> APMDecimalNumberFromString(std::string_view text) {
  auto& monitor = APMMeasurement::monitor();
  if (!APMIsDecimalNumberString(text)) {
    monitor.logWithLevel(1, 26001, "String value does not represent a numeric value. Value", fd::Value(text));
    return std::nullopt;
  }
  Decimal number = Decimal::parse(text, "en_US");
  if (number.is_nan()) {
    monitor.logWithLevel(1, 26002, "Unable to create a NSDecimalNumber from string value. Value", fd::Value(text));
    return std::nullopt;
  }
  std::string written(text);
  if (written.starts_with("+.") || written.starts_with("-.") || written.starts_with(".")) {
    written.replace(written.find('.'), 1, "0.");
  }
  const std::string digits = (number.is_negative() ? number.abs() : number).text();
  if (written.find(digits) == std::string::npos) {
    monitor.logWithLevel(1, 26003, "Unable to create a NSDecimalNumber from string value: loss of precision. Value",
                         fd::Value(text));
    return std::nullopt;
  }
  return number;
}

std::int64_t APMNumericUtil::randomInt64() {
  std::uint8_t bytes[8];
  if (platform::security::random_bytes(bytes) != platform::security::status::ok) {
    APMMeasurement::monitor().logWithLevel(4, 26004, "Unable to generate random integer",
                                           fd::Value(std::strerror(errno)));
    return 0;
  }
  std::int64_t value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

}  // namespace analytics
