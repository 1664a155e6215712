// The typed analytics value and the dictionary-entry helpers.
#include "analytics/model/value.h"

#include <functional>

#include "analytics/engine/measurement.h"
#include "analytics/support/strings.h"
#include "platform/foundation/class_name.h"
#include "platform/foundation/text.h"

namespace analytics {

namespace fnd = platform::foundation;

namespace {

APMValueRef make(std::int64_t type, fnd::Value value) {
  return std::make_shared<APMValue>(APMValue::Token{}, type, std::move(value));
}

}  // namespace

APMValueRef APMValue::valueFromObject(const fnd::Value& object) {
  if (auto existing = object.object<APMValue>()) return existing;
  switch (object.kind()) {
    case fnd::Value::Kind::string: return make(kString, object);
    case fnd::Value::Kind::real: return make(kDouble, object);
    case fnd::Value::Kind::boolean:
    case fnd::Value::Kind::integer: return make(kInt64, fnd::Value(*object.as_int()));
    case fnd::Value::Kind::null:
      APMMeasurement::monitor().logWithLevel(0, 35000, "Cannot create Value type with nil value");
      return nullptr;
    default:
      APMMeasurement::monitor().logWithLevel(
          0, 35001,
          "Cannot create Value type with unsupported value. The Value has to be NSNumber or NSString. Value",
          object);
      return nullptr;
  }
}

APMValueRef APMValue::initWithDouble(double value) { return make(kDouble, fnd::Value(value)); }

APMValueRef APMValue::initWithInt64(std::int64_t value) { return make(kInt64, fnd::Value(static_cast<long long>(value))); }

APMValueRef APMValue::initWithString(const fnd::Value& value) {
  if (value.is_null()) {
    APMMeasurement::monitor().logWithLevel(0, 35002, "Cannot create String value with nil");
    return nullptr;
  }
  if (!value.is_string()) {
    APMMeasurement::monitor().logWithLevel(0, 35003, "Cannot create String value with non-string value. Value",
                                           value);
    return nullptr;
  }
  return make(kString, value);
}

APMValueRef APMValue::initWithValueType(std::int64_t valueType, fnd::Value value) {
  return make(valueType, std::move(value));
}

double APMValue::doubleValue() const { return isDouble() ? value_.as_double().value_or(0) : 0; }

std::int64_t APMValue::int64Value() const { return isInt64() ? value_.as_int().value_or(0) : 0; }

std::optional<std::string> APMValue::stringValue() const {
  if (!isString() || !value_.is_string()) return std::nullopt;
  return *value_.string();
}

std::string APMValue::description() const { return fnd::describe(value_); }

APMValueRef APMValue::copy() const { return make(valueType_, value_); }

bool APMValue::isEqual(const APMValue* other) const {
  return other != nullptr && other->valueType_ == valueType_ && other->value_ == value_;
}

std::size_t APMValue::hash() const {
  std::size_t underlying = 0;
  if (value_.is_string()) {
    underlying = std::hash<std::string>{}(*value_.string());
  } else if (value_.is_real()) {
    underlying = std::hash<double>{}(*value_.as_double());
  } else if (auto integer = value_.as_int()) {
    underlying = std::hash<std::int64_t>{}(*integer);
  }
  return static_cast<std::size_t>(valueType_) * 31 ^ underlying;
}

fnd::Value APMValueObject(const APMValueRef& value) {
  return value ? fnd::Value::object(value) : fnd::Value();
}

APMValueRef APMValueFrom(const fnd::Value& object) { return object.object<APMValue>(); }

std::string APMClassName(const fnd::Value& object) { return fnd::class_name(object); }

std::size_t APMCodePointLength(std::string_view text) { return apm_UTF32Length(text); }

std::size_t APMUTF16Length(std::string_view text) {
  std::size_t units = 0;
  for (char32_t c : fnd::text::to_utf32(text)) units += c > 0xFFFF ? 2 : 1;
  return units;
}

}  // namespace analytics
