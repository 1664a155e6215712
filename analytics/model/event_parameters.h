#pragma once
// Internal error parameters and events, list parameters expanded into child
// events, screen-parameter helpers and the value-and-currency rule. Stateless
// functions, callable on any queue.
//
// Error parameters: "_err" (int64 code), "_ev" (the offending name or value,
// trimmed to a maximum number of code points plus "..."), "_el" (int64 length
// in code points). A dictionary holds at most one error: the first writer wins.
// Dictionaries are foundation::Dicts of name -> APMValue object.
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analytics/model/event.h"
#include "platform/foundation/value.h"

namespace analytics {

// Error codes of "_err".
enum : std::int64_t {
  kAPMErrorNone = 0,
  kAPMErrorInvalidEventName = 2,
  kAPMErrorInvalidParameterName = 3,
  kAPMErrorInvalidParameterValue = 4,
  kAPMErrorParameterLimitReached = 5,
  kAPMErrorUserPropertyValueTooLong = 7,
  kAPMErrorEventLimitReached = 8,
  kAPMErrorConversionEventLimitReached = 10,
  kAPMErrorParameterNameIsReserved = 14,
  kAPMErrorTooManyExtraParamEvents = 17,
  kAPMErrorValueIsNotNumeric = 18,
  kAPMErrorCurrencyCodeIsMissingOrInvalid = 19,
};

// Code -> name ("NoError", "InvalidRUVAppID", ...), codes 0-19.
const std::map<std::int64_t, std::string>& APMErrorCodeNames();

// Where internal events go: (origin, name, parameters). The analytics entry
// installs it; with none installed, internal error events are not logged.
// An empty function removes it. Callable from any thread.
using APMInternalEventSink =
    std::function<void(const std::string& origin, const std::string& name, const platform::foundation::Dict& parameters)>;
void APMSetInternalEventSink(APMInternalEventSink sink);

// The "_err" event with origin "auto" and "_err" = code; nothing for code 0.
void APMLogInternalErrorEvent(std::int64_t code);
// The same with "_ev"/"_el" for `value`; `lengthSource` (null for none) gives
// "_el" when it is a string longer than `maxLength` or the code is 4 or 7.
void APMLogInternalErrorEventWithValue(std::int64_t code, const platform::foundation::Value& value,
                                       std::int64_t maxLength, const platform::foundation::Value& lengthSource);

// Sets "_err" and then the value entries, when the dictionary holds none of
// "_err", "_ev", "_el".
void APMAddErrorParameters(platform::foundation::Dict& parameters, std::int64_t code,
                           const platform::foundation::Value& value, std::int64_t maxLength,
                           const platform::foundation::Value& lengthSource);
// Sets "_ev" (the value, "(nil)" for null, the class name for a non-string,
// trimmed past `maxLength` code points) and, with a length source, "_el" (its
// code points, 0 for a non-string), when the dictionary has neither.
void APMAddErrorValueParameters(platform::foundation::Dict& parameters, const platform::foundation::Value& value,
                                std::int64_t maxLength, const platform::foundation::Value& lengthSource);
// "_err" = code unless present.
void APMSetErrorCodeParameter(platform::foundation::Dict& parameters, std::int64_t code);

// A non-empty string whose first UTF-16 unit is not "_" (18002 for a
// non-string, 18003 for an empty one).
bool APMIsPublicName(const platform::foundation::Value& name);
// The event is named "_err" (18004 for an empty name).
bool APMIsErrorEvent(const APMEvent* event);

// List parameters.
bool APMParametersContainList(const platform::foundation::Dict& parameters);
// The main event first, then one "_ep" child per list item; nullopt on failure.
std::optional<std::vector<APMEventRef>> APMCreateChildEvents(std::int64_t eventID, std::string_view name,
                                                             std::string_view origin,
                                                             const platform::foundation::Dict& parameters,
                                                             bool isPublicEvent, double timestamp);
// Keys that pass the key check, in "en_US" collation order; nullopt for an
// empty dictionary. A value that is no number, string or list logs 18005 and
// records "_err" 4 but keeps its key.
std::optional<std::vector<std::string>> APMValidListParameterKeys(const platform::foundation::Dict& parameters,
                                                                  bool isPublicEvent,
                                                                  platform::foundation::Dict* errorParameters);
// The children of one list (group name null for none); nullopt when none can
// be made.
std::optional<std::vector<APMEventRef>> APMCreateListChildEvents(const platform::foundation::Array& list,
                                                                 std::string_view origin, bool isPublicEvent,
                                                                 std::string_view mainName,
                                                                 const platform::foundation::Value& groupName,
                                                                 std::int64_t eventID,
                                                                 platform::foundation::Dict* errorParameters,
                                                                 double timestamp);
// The main event re-made with "_epc" (and "_eid" when children exist) and the
// error entries.
APMEventRef APMAddChildEventCount(const APMEventRef& mainEvent, std::int64_t eventID,
                                  const std::vector<std::int64_t>& childCounts,
                                  const platform::foundation::Dict& errorParameters);

// Screen entries "_sn", "_sc", "_si".
bool APMHasScreenParameters(const platform::foundation::Dict& parameters);
platform::foundation::Dict APMCopyScreenParameters(const platform::foundation::Dict& parameters);

// "value" needs a numeric value and a valid "currency": otherwise "value" is
// removed and "_err" 18 or 19 recorded; answers whether the parameters pass.
bool APMCheckValueAndCurrency(platform::foundation::Dict& parameters);

}  // namespace analytics
