#pragma once
// Helpers of the analytics model tests: texts of a given number of code
// points, typed reads of parameter dictionaries and monitor-call look-ups.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>

#include "analytics/model/value.h"
#include "platform/foundation/value.h"
#include "tests/analytics/support.h"

namespace analytics_model_test {

// `count` copies of `unit` (one code point each).
inline std::string repeated(std::size_t count, std::string_view unit = "a") {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += unit;
  return text;
}

inline analytics::APMValueRef entry(const platform::foundation::Dict& parameters, std::string_view key) {
  return analytics::APMValueFrom(parameters.get(key));
}
inline std::optional<std::int64_t> intEntry(const platform::foundation::Dict& parameters, std::string_view key) {
  const auto value = entry(parameters, key);
  if (!value || !value->isInt64()) return std::nullopt;
  return value->int64Value();
}
inline std::optional<std::string> stringEntry(const platform::foundation::Dict& parameters, std::string_view key) {
  const auto value = entry(parameters, key);
  return value ? value->stringValue() : std::nullopt;
}
inline platform::foundation::Value apm(const analytics::APMValueRef& value) { return analytics::APMValueObject(value); }

inline std::size_t countCode(const analytics_test::MonitorRecorder& recorder, std::int64_t code) {
  const auto codes = recorder.codes();
  return static_cast<std::size_t>(std::count(codes.begin(), codes.end(), code));
}

}  // namespace analytics_model_test
