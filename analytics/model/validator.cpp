// Name and value checks of the analytics model.
#include "analytics/model/validator.h"

#include <vector>

#include "analytics/engine/measurement.h"
#include "analytics/model/name_tables.h"
#include "analytics/model/value.h"
#include "platform/foundation/text.h"

namespace analytics {

namespace fnd = platform::foundation;
namespace text = platform::foundation::text;

namespace {

constexpr std::string_view kTooLong = " is too long. The maximum supported length is ";
constexpr std::string_view kTooShort = " is too short. The minimum supported length is ";

void setFailure(APMDataTypeValidator::FailureCode out, std::int64_t code) {
  if (out != nullptr) *out = code;
}

bool fail(APMDataTypeValidator::FailureCode out, std::int64_t failure) {
  setFailure(out, failure);
  return false;
}

void logMessage(std::int64_t level, std::int64_t code, const std::string& message, const fnd::Array& contexts = {}) {
  APMMeasurement::monitor().logWithLevel(level, code, message, contexts);
}

// Letters are the letter categories without non-base marks; name characters
// add decimal digits and "_".
bool isAPMLetter(char32_t c) { return text::is_letter(c) && !text::is_nonbase_mark(c); }
bool isNameCharacter(char32_t c) { return c == U'_' || isAPMLetter(c) || text::is_decimal_digit(c); }

bool isValueKind(std::int64_t kind) { return kind == kAPMKindEventParameterValue || kind == kAPMKindUserPropertyValue; }

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// The nil and type test of value checks.
bool checkValue(const fnd::Value& value, std::int64_t kind, APMDataTypeValidator::FailureCode failureCode) {
  if (value.is_null()) {
    logMessage(3, 13004, APMValidatorTypeName(kind, " cannot be nil"));
    return fail(failureCode, kAPMValidatorRequired);
  }
  if (!APMValueFrom(value)) {
    logMessage(3, 13005, APMValidatorTypeName(kind, " must be a APMValue instance. value"), {APMClassName(value)});
    return fail(failureCode, kAPMValidatorWrongType);
  }
  return true;
}

bool tableHasKey(const fnd::Dict& table, std::string_view name) { return table.contains(name); }

}  // namespace

std::string APMValidatorTypeName(std::int64_t kind, std::string_view suffix) {
  static constexpr std::string_view kPrefixes[] = {"Event name",
                                                   "Event origin",
                                                   "Event parameter name",
                                                   "Event parameter value",
                                                   "User property name",
                                                   "User property value",
                                                   "Screen parameter value",
                                                   "Conditional user property origin",
                                                   "Conditional user property name",
                                                   "Conditional user property value"};
  std::string result(kind >= 0 && kind < 10 ? kPrefixes[kind] : "Object");
  result += suffix;
  return result;
}

bool APMDataTypeValidator::isValidString(const fnd::Value& object, std::int64_t minLength, std::int64_t maxLength,
                                         std::int64_t type, FailureCode failureCode) {
  setFailure(failureCode, kAPMValidatorNoFailure);
  const std::int64_t level = isValueKind(type) ? 4 : 1;
  if (object.is_null()) {
    logMessage(level, 13001, APMValidatorTypeName(type, " is required and can't be nil"));
    return fail(failureCode, kAPMValidatorRequired);
  }
  if (!object.is_string()) {
    logMessage(level, 13000, APMValidatorTypeName(type, " must be of type NSString"), {object});
    return fail(failureCode, kAPMValidatorWrongType);
  }
  const std::string& string = *object.string();
  if (minLength >= 1 && string.empty()) {
    if (!isValueKind(type)) logMessage(level, 13001, APMValidatorTypeName(type, " is required and can't be empty"));
    return fail(failureCode, kAPMValidatorRequired);
  }
  const auto length = static_cast<std::int64_t>(APMCodePointLength(string));
  if (length > maxLength) {
    logMessage(level, 13000, APMValidatorTypeName(type, std::string(kTooLong) + std::to_string(maxLength)), {object});
    return fail(failureCode, kAPMValidatorTooLong);
  }
  if (length < minLength) {
    logMessage(level, 13000, APMValidatorTypeName(type, std::string(kTooShort) + std::to_string(minLength)), {object});
    return fail(failureCode, kAPMValidatorTooShort);
  }
  return true;
}

bool APMDataTypeValidator::isValidInternalName(const fnd::Value& name, std::int64_t maxLength, std::int64_t type,
                                               FailureCode failureCode) {
  if (!isValidString(name, 1, maxLength, type, failureCode)) return false;
  for (char32_t c : text::to_utf32(*name.string())) {
    if (!isNameCharacter(c)) {
      logMessage(1, 13002, APMValidatorTypeName(type, " must contain only letters, numbers, or underscores"), {name});
      return fail(failureCode, kAPMValidatorBadCharacters);
    }
  }
  return true;
}

bool APMDataTypeValidator::isValidPublicName(const fnd::Value& name, std::int64_t maxLength, std::int64_t type,
                                             FailureCode failureCode) {
  if (!isValidInternalName(name, maxLength, type, failureCode)) return false;
  const std::u32string points = text::to_utf32(*name.string());
  if (points.empty() || !isAPMLetter(points.front())) {
    logMessage(1, 13003, APMValidatorTypeName(type, " must start with a letter"), {name});
    return fail(failureCode, kAPMValidatorBadCharacters);
  }
  return true;
}

bool APMDataTypeValidator::isValidValue(const fnd::Value& value, std::int64_t minLength, std::int64_t maxLength,
                                        std::int64_t type, FailureCode failureCode) {
  setFailure(failureCode, kAPMValidatorNoFailure);
  if (!checkValue(value, type, failureCode)) return false;
  const APMValueRef apmValue = APMValueFrom(value);
  if (!apmValue->isString()) return true;
  return isValidString(apmValue->value(), minLength, maxLength, type, failureCode);
}

bool APMDataTypeValidator::hasReservedPrefixes(std::string_view name) {
  return startsWith(name, "davidize_") || startsWith(name, "dozada_") || startsWith(name, "ga_");
}

bool APMDataTypeValidator::isValidPublicEventName(const fnd::Value& name, FailureCode failureCode) {
  if (!isValidPublicName(name, 40, kAPMKindEventName, failureCode)) return false;
  if (tableHasKey(APMEventNameTable(), *name.string())) {
    logMessage(1, 13006, "Event name is reserved. Ignoring event", {name});
    return fail(failureCode, kAPMValidatorReserved);
  }
  if (hasReservedPrefixes(*name.string())) {
    logMessage(1, 13007, "Event name uses reserved prefix. Ignoring event", {name});
    return fail(failureCode, kAPMValidatorReserved);
  }
  return true;
}

bool APMDataTypeValidator::isValidInternalEventName(const fnd::Value& name, FailureCode failureCode) {
  return isValidInternalName(name, 40, kAPMKindEventName, failureCode);
}

bool APMDataTypeValidator::isValidPublicEventParameterName(const fnd::Value& name, FailureCode failureCode) {
  if (!isValidPublicName(name, 40, kAPMKindEventParameterName, failureCode)) return false;
  if (hasReservedPrefixes(*name.string())) {
    logMessage(1, 13008, "Parameter name uses reserved prefix. Ignoring parameter", {name});
    return fail(failureCode, kAPMValidatorReserved);
  }
  return true;
}

bool APMDataTypeValidator::isValidInternalEventParameterName(const fnd::Value& name, FailureCode failureCode) {
  return isValidInternalName(name, 40, kAPMKindEventParameterName, failureCode);
}

bool APMDataTypeValidator::isValidPublicEventParameterValue(const fnd::Value& value, FailureCode failureCode) {
  return isValidValue(value, 0, 100, kAPMKindEventParameterValue, failureCode);
}

bool APMDataTypeValidator::isValidInternalEventParameterValue(const fnd::Value& value, FailureCode failureCode) {
  return isValidValue(value, 0, 256, kAPMKindEventParameterValue, failureCode);
}

bool APMDataTypeValidator::isValidInternalEventOrigin(const fnd::Value& origin, FailureCode failureCode) {
  return isValidInternalName(origin, 32, kAPMKindEventOrigin, failureCode);
}

bool APMDataTypeValidator::isValidForwardedEventOrigin(const fnd::Value& origin, FailureCode failureCode) {
  constexpr std::string_view kSuffix = "+gtm";
  setFailure(failureCode, kAPMValidatorNoFailure);
  if (!origin.is_string()) return fail(failureCode, origin.is_null() ? kAPMValidatorRequired : kAPMValidatorWrongType);
  const std::string& text = *origin.string();
  if (text.empty()) return fail(failureCode, kAPMValidatorRequired);
  if (text.size() < kSuffix.size() || text.compare(text.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0) {
    return fail(failureCode, kAPMValidatorNotForwarded);
  }
  return isValidInternalName(fnd::Value(text.substr(0, text.size() - kSuffix.size())), 32, kAPMKindEventOrigin,
                             failureCode);
}

bool APMDataTypeValidator::isValidPublicUserAttributeName(const fnd::Value& name, FailureCode failureCode) {
  if (!isValidPublicName(name, 24, kAPMKindUserPropertyName, failureCode)) return false;
  if (tableHasKey(APMUserPropertyNameTable(), *name.string())) {
    logMessage(1, 13009, "User property name is reserved. Ignoring user property", {name});
    return fail(failureCode, kAPMValidatorReserved);
  }
  if (hasReservedPrefixes(*name.string())) {
    logMessage(1, 13010, "User property name uses reserved prefix. Ignoring user property", {name});
    return fail(failureCode, kAPMValidatorReserved);
  }
  return true;
}

bool APMDataTypeValidator::isValidInternalUserAttributeName(const fnd::Value& name, FailureCode failureCode) {
  return isValidInternalName(name, 24, kAPMKindUserPropertyName, failureCode);
}

bool APMDataTypeValidator::isValidPublicUserAttributeValue(const fnd::Value& value, FailureCode failureCode) {
  return isValidValue(value, 1, 36, kAPMKindUserPropertyValue, failureCode);
}

bool APMDataTypeValidator::isValidInternalUserAttributeValue(const fnd::Value& value, std::string_view name,
                                                             FailureCode failureCode) {
  return isValidValue(value, 1, name == "_id" ? 256 : 36, kAPMKindUserPropertyValue, failureCode);
}

bool APMDataTypeValidator::isValidScreenParameterValue(const fnd::Value& value, FailureCode failureCode) {
  return isValidString(value, 1, 100, kAPMKindScreenParameterValue, failureCode);
}

bool APMDataTypeValidator::isValidConditionalUserPropertyOrigin(const fnd::Value& origin, FailureCode failureCode) {
  return isValidInternalName(origin, 32, kAPMKindConditionalUserPropertyOrigin, failureCode);
}

bool APMDataTypeValidator::isValidConditionalUserPropertyName(const fnd::Value& name, FailureCode failureCode) {
  return isValidInternalName(name, 24, kAPMKindConditionalUserPropertyName, failureCode);
}

bool APMDataTypeValidator::isValidConditionalUserPropertyValue(const fnd::Value& value, FailureCode failureCode) {
  return isValidValue(value, 1, 36, kAPMKindConditionalUserPropertyValue, failureCode);
}

bool APMDataTypeValidator::isValidNumericValue(const fnd::Value& value, FailureCode failureCode) {
  setFailure(failureCode, kAPMValidatorNoFailure);
  if (!checkValue(value, kAPMKindEventParameterValue, failureCode)) return false;
  const APMValueRef apmValue = APMValueFrom(value);
  if (apmValue->isInt64() || apmValue->isDouble()) return true;
  const auto string = apmValue->stringValue();
  logMessage(3, 13011,
             APMValidatorTypeName(kAPMKindEventParameterValue, " must be specified with a numeric type. value"),
             {string ? fnd::Value(*string) : fnd::Value()});
  return fail(failureCode, kAPMValidatorNotNumeric);
}

bool APMDataTypeValidator::isValidCurrencyCode(const fnd::Value& value, FailureCode failureCode) {
  constexpr std::size_t kCurrencyLength = 3;
  setFailure(failureCode, kAPMValidatorNoFailure);
  if (!checkValue(value, kAPMKindEventParameterValue, failureCode)) return false;
  const APMValueRef apmValue = APMValueFrom(value);
  if (const auto string = apmValue->stringValue(); string && APMUTF16Length(*string) == kCurrencyLength) {
    bool letters = true;
    for (char32_t c : text::to_utf32(*string)) letters = letters && isAPMLetter(c);
    if (letters) return true;
  }
  logMessage(3, 13012,
             APMValidatorTypeName(kAPMKindEventParameterValue,
                                  " must contain a " + std::to_string(kCurrencyLength) +
                                      "-letter ISO_4217 currency code. value"),
             {apmValue->value()});
  return fail(failureCode, kAPMValidatorBadCurrency);
}

}  // namespace analytics
