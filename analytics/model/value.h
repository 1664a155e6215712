#pragma once
// The typed analytics value (double, int64 or string) and the helpers that
// carry values inside foundation dictionaries. Immutable; usable from any
// thread.
//
// Parameter dictionaries throughout the model are foundation::Dicts. They
// keep insertion order, and that order is the enumeration order wherever the
// model walks parameters (normalisation, message conversion, descriptions).
// Inside a Dict an APMValue travels as Value::object(std::shared_ptr<APMValue>)
// (see APMValueObject / APMValueFrom).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"

namespace analytics {

class APMValue;
using APMValueRef = std::shared_ptr<APMValue>;

class APMValue {
 public:
  enum : std::int64_t { kDouble = 0, kInt64 = 1, kString = 2 };

  // An APMValue object gives itself (the same pointer); a string a string
  // value; a real a double; a boolean or integer an int64. Null logs 35000,
  // anything else 35001; both give nullptr.
  static APMValueRef valueFromObject(const platform::foundation::Value& object);
  static APMValueRef initWithDouble(double value);
  static APMValueRef initWithInt64(std::int64_t value);
  // Null logs 35002, a non-string 35003; both give nullptr.
  static APMValueRef initWithString(const platform::foundation::Value& value);
  // Stores both unchecked.
  static APMValueRef initWithValueType(std::int64_t valueType, platform::foundation::Value value);

  std::int64_t valueType() const { return valueType_; }
  bool isDouble() const { return valueType_ == kDouble; }
  double doubleValue() const;             // 0 unless a double
  bool isInt64() const { return valueType_ == kInt64; }
  std::int64_t int64Value() const;        // 0 unless an int64
  bool isString() const { return valueType_ == kString; }
  std::optional<std::string> stringValue() const;   // nullopt unless a string
  // The underlying number or string.
  const platform::foundation::Value& value() const { return value_; }

  // The underlying value's description.
  std::string description() const;
  // A new value of the same type over the same underlying value.
  APMValueRef copy() const;
  // Same type and equal underlying values: int64 1 differs from double 1.0.
  bool isEqual(const APMValue* other) const;
  // valueType * 31 xor the underlying value's hash.
  std::size_t hash() const;

  struct Token {};
  APMValue(Token, std::int64_t valueType, platform::foundation::Value value)
      : valueType_(valueType), value_(std::move(value)) {}

 private:
  std::int64_t valueType_;
  platform::foundation::Value value_;
};

// The value as a dictionary entry; null for nullptr.
platform::foundation::Value APMValueObject(const APMValueRef& value);
// The APMValue an entry holds; nullptr for anything else.
APMValueRef APMValueFrom(const platform::foundation::Value& object);
// The class name of an object as messages show it ("NSString", "NSNumber",
// "NSDate", "NSArray", "NSDictionary", "NSData", "NSNull", "APMValue", ...).
std::string APMClassName(const platform::foundation::Value& object);
// Code points of a text and its length in UTF-16 units.
std::size_t APMCodePointLength(std::string_view text);
std::size_t APMUTF16Length(std::string_view text);

}  // namespace analytics

template <>
struct platform::foundation::ObjectTraits<analytics::APMValue> {
  static constexpr std::string_view class_name = "APMValue";
  static std::string describe(const analytics::APMValue& value) { return value.description(); }
};
