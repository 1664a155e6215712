#pragma once
// Name and value checks of the analytics model. Every check answers a bool and
// writes a failure code (0 when it passes) to an optional out-parameter; each
// refusal logs one monitor message, except an empty value of kinds 3 and 5 and
// the forwarded-origin failures before its internal-name step. Stateless;
// callable from any thread.
//
// Objects are foundation Values: names and origins are strings, values are
// APMValue objects (APMValueObject). Lengths are code points except where
// noted (the currency code counts UTF-16 units).
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"

namespace analytics {

// Failure codes.
enum : std::int64_t {
  kAPMValidatorNoFailure = 0,
  kAPMValidatorRequired = 1,
  kAPMValidatorTooLong = 2,
  kAPMValidatorBadCharacters = 3,
  kAPMValidatorReserved = 4,
  kAPMValidatorWrongType = 5,
  kAPMValidatorNotForwarded = 6,
  kAPMValidatorTooShort = 7,
  kAPMValidatorNotNumeric = 8,
  kAPMValidatorBadCurrency = 9,
};

// Kinds of things checked (they only choose the message prefix).
enum : std::int64_t {
  kAPMKindEventName = 0,
  kAPMKindEventOrigin = 1,
  kAPMKindEventParameterName = 2,
  kAPMKindEventParameterValue = 3,
  kAPMKindUserPropertyName = 4,
  kAPMKindUserPropertyValue = 5,
  kAPMKindScreenParameterValue = 6,
  kAPMKindConditionalUserPropertyOrigin = 7,
  kAPMKindConditionalUserPropertyName = 8,
  kAPMKindConditionalUserPropertyValue = 9,
};

// The kind's prefix followed by the suffix ("Object" for an unknown kind).
std::string APMValidatorTypeName(std::int64_t kind, std::string_view suffix);

class APMDataTypeValidator {
 public:
  using FailureCode = std::int64_t*;

  // Base checks.
  static bool isValidString(const platform::foundation::Value& object, std::int64_t minLength, std::int64_t maxLength,
                            std::int64_t type, FailureCode failureCode);
  static bool isValidInternalName(const platform::foundation::Value& name, std::int64_t maxLength, std::int64_t type,
                                  FailureCode failureCode);
  static bool isValidPublicName(const platform::foundation::Value& name, std::int64_t maxLength, std::int64_t type,
                                FailureCode failureCode);
  static bool isValidValue(const platform::foundation::Value& value, std::int64_t minLength, std::int64_t maxLength,
                           std::int64_t type, FailureCode failureCode);
  // Begins with "davidize_", "dozada_" or "ga_".
  static bool hasReservedPrefixes(std::string_view text);

  // Checks by use.
  static bool isValidPublicEventName(const platform::foundation::Value& name, FailureCode failureCode);
  static bool isValidInternalEventName(const platform::foundation::Value& name, FailureCode failureCode);
  static bool isValidPublicEventParameterName(const platform::foundation::Value& name, FailureCode failureCode);
  static bool isValidInternalEventParameterName(const platform::foundation::Value& name, FailureCode failureCode);
  static bool isValidPublicEventParameterValue(const platform::foundation::Value& value, FailureCode failureCode);
  static bool isValidInternalEventParameterValue(const platform::foundation::Value& value, FailureCode failureCode);
  static bool isValidInternalEventOrigin(const platform::foundation::Value& origin, FailureCode failureCode);
  // Silent: empty (1), no "+gtm" suffix (6); then the part before "+gtm" must
  // pass the internal-name check (max 32, kind 1).
  static bool isValidForwardedEventOrigin(const platform::foundation::Value& origin, FailureCode failureCode);
  static bool isValidPublicUserAttributeName(const platform::foundation::Value& name, FailureCode failureCode);
  static bool isValidInternalUserAttributeName(const platform::foundation::Value& name, FailureCode failureCode);
  static bool isValidPublicUserAttributeValue(const platform::foundation::Value& value, FailureCode failureCode);
  // Up to 256 code points for "_id", 36 otherwise.
  static bool isValidInternalUserAttributeValue(const platform::foundation::Value& value, std::string_view name,
                                                FailureCode failureCode);
  static bool isValidScreenParameterValue(const platform::foundation::Value& value, FailureCode failureCode);
  static bool isValidConditionalUserPropertyOrigin(const platform::foundation::Value& origin, FailureCode failureCode);
  static bool isValidConditionalUserPropertyName(const platform::foundation::Value& name, FailureCode failureCode);
  static bool isValidConditionalUserPropertyValue(const platform::foundation::Value& value, FailureCode failureCode);
  static bool isValidNumericValue(const platform::foundation::Value& value, FailureCode failureCode);
  // A string value of exactly 3 UTF-16 units, all letters of any script.
  static bool isValidCurrencyCode(const platform::foundation::Value& value, FailureCode failureCode);
};

}  // namespace analytics
