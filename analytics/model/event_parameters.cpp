// Error parameters, internal error events, child events, screen helpers and
// the value-and-currency rule.
#include "analytics/model/event_parameters.h"

#include <algorithm>
#include <mutex>
#include <new>

#include "analytics/engine/measurement.h"
#include "analytics/model/name_tables.h"
#include "analytics/model/validator.h"
#include "analytics/support/strings.h"
#include "platform/foundation/text.h"

namespace analytics {

namespace fnd = platform::foundation;

namespace {

constexpr std::int64_t kMaxShownParameterNameLength = 40;
constexpr std::int64_t kMaxShownParameterValueLength = 256;
constexpr std::size_t kMaxListItems = 1000;

APMMonitor& parametersMonitor() { return APMMeasurement::monitor(); }

std::mutex& sinkMutex() {
  static std::mutex mutex;
  return mutex;
}

APMInternalEventSink& sinkSlot() {
  static APMInternalEventSink sink;
  return sink;
}

void logInternalEvent(const fnd::Dict& parameters) {
  APMInternalEventSink sink;
  {
    std::lock_guard lock(sinkMutex());
    sink = sinkSlot();
  }
  if (sink) sink("auto", "_err", parameters);
}

fnd::Value int64Object(std::int64_t value) { return APMValueObject(APMValue::initWithInt64(value)); }

// The first `maxLength` code points of `text` plus "...", through a UTF-32
// buffer of exactly maxLength + 3 code points; the UTF-16 cut on failure.
std::string trimmedText(const std::string& text, std::int64_t maxLength) {
  const auto length = static_cast<std::size_t>(maxLength);
  const std::size_t bytes = (length + 3) * 4;
  std::string result;
  bool made = false;
  std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[bytes]);
  if (!buffer) {
    parametersMonitor().logWithLevel(2, 18000, "Failed to malloc bytes for trimming. Bytes",
                           fnd::Value(static_cast<long long>(bytes)));
  } else {
    const std::span<std::uint8_t> span(buffer.get(), bytes);
    const std::size_t written = apm_getUTF32Bytes(text, span, length * 4);
    for (std::size_t i = 0; i < 3; ++i) {
      const std::size_t at = written + i * 4;
      span[at] = '.';
      span[at + 1] = span[at + 2] = span[at + 3] = 0;
    }
    if (auto decoded = fnd::text::decode(span.first(written + 12), fnd::text::Encoding::utf32le)) {
      result = std::move(*decoded);
      made = true;
    } else {
      parametersMonitor().logWithLevel(2, 18001, "Trimmed UTF32 string was nil");
    }
  }
  if (!made) {
    // Whole code points up to `length` UTF-16 units.
    std::size_t units = 0;
    std::u32string points;
    for (char32_t c : fnd::text::to_utf32(text)) {
      const std::size_t width = c > 0xFFFF ? 2 : 1;
      if (units + width > length) break;
      units += width;
      points.push_back(c);
    }
    fnd::Bytes utf32;
    for (char32_t c : points) {
      for (int shift = 0; shift < 32; shift += 8) utf32.push_back(static_cast<std::uint8_t>(c >> shift));
    }
    const std::string prefix = fnd::text::decode(utf32, fnd::text::Encoding::utf32le).value_or("");
    result = prefix + "...";
  }
  return result;
}

}  // namespace

const std::map<std::int64_t, std::string>& APMErrorCodeNames() {
  static const std::map<std::int64_t, std::string> names{
      {0, "NoError"},
      {1, "InvalidRUVAppID"},
      {2, "InvalidEventName"},
      {3, "InvalidParameterName"},
      {4, "InvalidParameterValue"},
      {5, "ParameterLimitReached"},
      {6, "InvalidUserPropertyName"},
      {7, "UserPropertyValueTooLong"},
      {8, "EventLimitReached"},
      {9, "UserPropertyLimitReached"},
      {10, "ConversionEventLimitReached"},
      {11, "EventIsBlacklisted"},
      {12, "UserPropertyIsBlacklisted"},
      {13, "EventNameIsReserved"},
      {14, "ParameterNameIsReserved"},
      {15, "UserPropertyNameIsReserved"},
      {16, "PublicEventLimitReached"},
      {17, "TooManyExtraParamEvents"},
      {18, "ValueIsNotNumeric"},
      {19, "CurrencyCodeIsMissingOrInvalid"},
  };
  return names;
}

void APMSetInternalEventSink(APMInternalEventSink sink) {
  std::lock_guard lock(sinkMutex());
  sinkSlot() = std::move(sink);
}

void APMLogInternalErrorEvent(std::int64_t code) {
  if (code == kAPMErrorNone) return;
  logInternalEvent(fnd::Dict{{"_err", int64Object(code)}});
}

void APMLogInternalErrorEventWithValue(std::int64_t code, const fnd::Value& value, std::int64_t maxLength,
                                       const fnd::Value& lengthSource) {
  if (code == kAPMErrorNone) return;
  fnd::Dict parameters{{"_err", int64Object(code)}};
  const bool longSource = lengthSource.is_string() &&
                          static_cast<std::int64_t>(APMCodePointLength(*lengthSource.string())) > maxLength;
  const bool useSource = !lengthSource.is_null() && (longSource || code == kAPMErrorInvalidParameterValue ||
                                                     code == kAPMErrorUserPropertyValueTooLong);
  APMAddErrorValueParameters(parameters, value, maxLength, useSource ? lengthSource : fnd::Value());
  logInternalEvent(parameters);
}

void APMAddErrorParameters(fnd::Dict& parameters, std::int64_t code, const fnd::Value& value, std::int64_t maxLength,
                           const fnd::Value& lengthSource) {
  if (parameters.contains("_ev") || parameters.contains("_el") || parameters.contains("_err")) return;
  parameters.set("_err", int64Object(code));
  APMAddErrorValueParameters(parameters, value, maxLength, lengthSource);
}

void APMAddErrorValueParameters(fnd::Dict& parameters, const fnd::Value& value, std::int64_t maxLength,
                                const fnd::Value& lengthSource) {
  if (parameters.contains("_ev") || parameters.contains("_el")) return;
  std::string shown = value.is_null() ? "(nil)" : value.is_string() ? *value.string() : APMClassName(value);
  if (maxLength >= 0 && static_cast<std::int64_t>(APMCodePointLength(shown)) > maxLength) {
    shown = trimmedText(shown, maxLength);
  }
  parameters.set("_ev", APMValueObject(APMValue::initWithString(fnd::Value(shown))));
  if (!lengthSource.is_null()) {
    const std::int64_t length =
        lengthSource.is_string() ? static_cast<std::int64_t>(APMCodePointLength(*lengthSource.string())) : 0;
    parameters.set("_el", int64Object(length));
  }
}

void APMSetErrorCodeParameter(fnd::Dict& parameters, std::int64_t code) {
  if (!parameters.contains("_err")) parameters.set("_err", int64Object(code));
}

bool APMIsPublicName(const fnd::Value& name) {
  if (!name.is_string()) {
    parametersMonitor().logWithLevel(1, 18002, "Unable to check the name. Name is not a string");
    return false;
  }
  if (name.string()->empty()) {
    parametersMonitor().logWithLevel(1, 18003, "Unable to check the name. Name is empty");
    return false;
  }
  return name.string()->front() != '_';
}

bool APMIsErrorEvent(const APMEvent* event) {
  if (event == nullptr) return false;
  if (event->name().empty()) {
    parametersMonitor().logWithLevel(1, 18004, "Unable to check the event name. Name is empty");
    return false;
  }
  return event->name() == "_err";
}

bool APMParametersContainList(const fnd::Dict& parameters) {
  return std::any_of(parameters.begin(), parameters.end(), [](const auto& entry) { return entry.second.is_array(); });
}

std::optional<std::vector<std::string>> APMValidListParameterKeys(const fnd::Dict& parameters, bool isPublicEvent,
                                                                  fnd::Dict* errorParameters) {
  if (parameters.empty()) return std::nullopt;
  std::vector<std::string> keys = parameters.keys();
  std::stable_sort(keys.begin(), keys.end(), [](const std::string& a, const std::string& b) {
    return fnd::text::localized_compare(a, b, "en_US") < 0;
  });
  std::vector<std::string> result;
  for (const std::string& key : keys) {
    if (!APMEvent::isValidParameterKey(fnd::Value(key), isPublicEvent, errorParameters)) continue;
    const fnd::Value& value = parameters.get(key);
    if (!value.is_number() && !value.is_string() && !value.is_array()) {
      parametersMonitor().logWithLevel(
          1, 18005, "Invalid event parameter. Parameter must be a number, string or array. Param key, param value",
          fnd::Value(APMPublicParameterNameDescription(fnd::Value(key))), value);
      if (errorParameters != nullptr) {
        APMAddErrorParameters(*errorParameters, kAPMErrorInvalidParameterValue, fnd::Value(key), kMaxShownParameterNameLength,
                              fnd::Value());
      }
    }
    result.push_back(key);
  }
  return result;
}

std::optional<std::vector<APMEventRef>> APMCreateListChildEvents(const fnd::Array& list, std::string_view origin,
                                                                 bool isPublicEvent, std::string_view mainName,
                                                                 const fnd::Value& groupName, std::int64_t eventID,
                                                                 fnd::Dict* errorParameters, double timestamp) {
  if (mainName.empty()) {
    parametersMonitor().logWithLevel(1, 18006, "Cannot create child events. Main event name cannot be nil");
    return std::nullopt;
  }
  if (groupName.is_null()) {
    parametersMonitor().logWithLevel(1, 18007, "Cannot create child events. Event's group name cannot be nil");
    return std::nullopt;
  }
  if (list.empty()) return std::nullopt;
  const fnd::Value mainNameValue(mainName);
  const auto recordError = [&](std::int64_t code) {
    if (errorParameters != nullptr) {
      APMAddErrorParameters(*errorParameters, code, groupName, kMaxShownParameterNameLength, fnd::Value());
    }
  };
  if (list.size() > kMaxListItems) {
    parametersMonitor().logWithLevel(
        1, 18008, "Event has too many extra param events. Dropping all of extra param events. Event name",
        fnd::Value(APMPublicEventNameDescription(mainNameValue)));
    recordError(kAPMErrorTooManyExtraParamEvents);
    return std::nullopt;
  }
  std::vector<APMEventRef> children;
  std::int64_t index = 0;
  for (const fnd::Value& item : list) {
    if (!item.is_dict()) {
      parametersMonitor().logWithLevel(1, 18009, "Invalid extra param structure. Must be a dictionary. Parameters", item);
      recordError(kAPMErrorInvalidParameterValue);
      return children;
    }
    if (item.dict()->empty()) continue;
    APMEventRef child;
    if (auto normalized = APMEvent::normalizedParametersForParameters(*item.dict(), isPublicEvent);
        normalized && !normalized->empty()) {
      normalized->set("_eid", int64Object(eventID));
      normalized->set("_gn", groupName);
      normalized->set("_en", fnd::Value(mainName));
      normalized->set("_i", int64Object(index));
      child = APMEvent::initWithOrigin(origin, false, "_ep", timestamp, 0, *normalized);
      if (!child) {
        parametersMonitor().logWithLevel(2, 18011, "Cannot create a child event. Original name, group name",
                               fnd::Value(APMPublicEventNameDescription(mainNameValue)),
                               fnd::Value(APMPublicParameterNameDescription(groupName)));
      }
    }
    if (!child) {
      parametersMonitor().logWithLevel(
          1, 18010, "Couldn't create extra param event. Original event name, param key, param value",
          fnd::Value(APMPublicEventNameDescription(mainNameValue)),
          fnd::Value(APMPublicParameterNameDescription(groupName)), fnd::Value(list));
      recordError(kAPMErrorInvalidParameterValue);
      return std::nullopt;
    }
    children.push_back(std::move(child));
    ++index;
  }
  return children;
}

APMEventRef APMAddChildEventCount(const APMEventRef& mainEvent, std::int64_t eventID,
                                  const std::vector<std::int64_t>& childCounts, const fnd::Dict& errorParameters) {
  if (!mainEvent) return nullptr;
  fnd::Dict parameters = mainEvent->parameters();
  std::int64_t total = 0;
  for (std::int64_t count : childCounts) total += count;
  parameters.set("_epc", fnd::Value(static_cast<long long>(total)));
  if (total > 0) parameters.set("_eid", fnd::Value(static_cast<long long>(eventID)));
  for (const auto& [key, value] : errorParameters) parameters.set(key, value);
  return mainEvent->copyWithParameters(parameters);
}

std::optional<std::vector<APMEventRef>> APMCreateChildEvents(std::int64_t eventID, std::string_view name,
                                                             std::string_view origin, const fnd::Dict& parameters,
                                                             bool isPublicEvent, double timestamp) {
  fnd::Dict errors;
  const auto keys = APMValidListParameterKeys(parameters, isPublicEvent, &errors);
  APMEventRef placeholder = APMEvent::initWithOrigin("auto", false, "dummy_event", timestamp, 0, fnd::Dict{});
  if (!placeholder) {
    parametersMonitor().logWithLevel(2, 18012, "Cannot create dummy main event!");
    return std::nullopt;
  }
  std::vector<APMEventRef> result{placeholder};
  fnd::Dict mainParameters;
  std::vector<std::int64_t> counts;
  for (const std::string& key : keys.value_or(std::vector<std::string>{})) {
    const fnd::Value& value = parameters.get(key);
    if (value.is_number() || value.is_string()) {
      mainParameters.set(key, value);
    } else if (value.is_array()) {
      const auto children =
          APMCreateListChildEvents(*value.array(), origin, isPublicEvent, name, fnd::Value(key), eventID, &errors,
                                   timestamp);
      if (!children || children->empty()) continue;
      const auto count = static_cast<std::int64_t>(children->size());
      for (const APMEventRef& child : *children) {
        fnd::Dict childParameters = child->parameters();
        childParameters.set("_ll", int64Object(count));
        if (APMEventRef counted = child->copyWithParameters(childParameters)) result.push_back(std::move(counted));
      }
      mainParameters.set(key, fnd::Value(static_cast<long long>(count)));
      counts.push_back(count);
    }
  }
  const APMEventRef main = APMEvent::initWithOrigin(origin, isPublicEvent, name, timestamp, 0, mainParameters);
  const APMEventRef counted = APMAddChildEventCount(main, eventID, counts, errors);
  if (!counted) {
    parametersMonitor().logWithLevel(1, 18013, "Main event is nil. Origin, name, params", fnd::Value(origin),
                           fnd::Value(APMPublicEventNameDescription(fnd::Value(name))), fnd::Value(mainParameters));
    return std::nullopt;
  }
  result.front() = counted;
  return result;
}

bool APMHasScreenParameters(const fnd::Dict& parameters) {
  return parameters.contains("_si") || parameters.contains("_sc") || parameters.contains("_sn");
}

fnd::Dict APMCopyScreenParameters(const fnd::Dict& parameters) {
  fnd::Dict result;
  for (const char* key : {"_sn", "_sc", "_si"}) {
    if (const fnd::Value* value = parameters.find(key)) result.set(key, *value);
  }
  return result;
}

bool APMCheckValueAndCurrency(fnd::Dict& parameters) {
  const fnd::Value* value = parameters.find("value");
  if (value == nullptr) return true;
  if (!APMDataTypeValidator::isValidNumericValue(*value, nullptr)) {
    parameters.erase("value");
    APMAddErrorParameters(parameters, kAPMErrorValueIsNotNumeric, fnd::Value("value"), kMaxShownParameterValueLength,
                          fnd::Value());
    return false;
  }
  if (APMDataTypeValidator::isValidCurrencyCode(parameters.get("currency"), nullptr)) return true;
  parametersMonitor().logWithLevel(3, 18014,
                         "Value parameter discarded. You must also supply a 3-letter ISO_4217 currency code in the "
                         "currency parameter.");
  parameters.erase("value");
  APMAddErrorParameters(parameters, kAPMErrorCurrencyCodeIsMissingOrInvalid, fnd::Value("currency"),
                        kMaxShownParameterValueLength, fnd::Value());
  return false;
}

}  // namespace analytics
