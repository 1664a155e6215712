// The measured event: creation, copies, flags, screen entries, message
// conversion and parameter normalisation.
#include "analytics/model/event.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

#include "analytics/engine/measurement.h"
#include "analytics/model/event_parameters.h"
#include "analytics/model/measurement_fields.h"
#include "analytics/model/name_tables.h"
#include "analytics/model/validator.h"
#include "wire/runtime/encoded_fields.h"

namespace analytics {

namespace fnd = platform::foundation;

namespace {

namespace mf = measurement_fields;

constexpr std::size_t kMaxPublicParameters = 25;
constexpr std::int64_t kMaxShownNameLength = 40;
constexpr std::int64_t kMaxShownValueLength = 256;
constexpr std::size_t kTrimmedValueLength = 259;


APMMonitor& eventMonitor() { return APMMeasurement::monitor(); }

bool isAlreadyTrimmed(const std::string& text) {
  return APMCodePointLength(text) == kTrimmedValueLength && text.ends_with("...");
}

}  // namespace

std::int64_t APMMillisecondsFromSeconds(double seconds) {
  const double ms = std::trunc(seconds * 1000.0);
  if (std::isnan(ms)) return 0;
  if (ms >= 9223372036854775807.0) return INT64_MAX;
  if (ms <= -9223372036854775808.0) return INT64_MIN;
  return static_cast<std::int64_t>(ms);
}

APMEventRef APMEvent::initWithOrigin(std::string_view origin, bool isPublic, std::string_view name, double timestamp,
                                     double previousTimestamp, const fnd::Dict& parameters) {
  const fnd::Value originValue(origin);
  std::int64_t failure = 0;
  if (!APMDataTypeValidator::isValidForwardedEventOrigin(originValue, &failure)) {
    if (failure != kAPMValidatorNotForwarded) return nullptr;
    if (!APMDataTypeValidator::isValidInternalEventOrigin(originValue, nullptr)) return nullptr;
  }
  const fnd::Value nameValue(name);
  if (isPublic && !APMDataTypeValidator::isValidPublicEventName(nameValue, nullptr)) return nullptr;
  if (!APMDataTypeValidator::isValidInternalEventName(nameValue, nullptr)) return nullptr;
  if (timestamp < previousTimestamp) {
    eventMonitor().logWithLevel(4, 16002, "Event created with previous timestamp after current timestamp");
  }
  auto event = std::make_shared<APMEvent>(Token{}, std::string(origin), std::string(name), timestamp,
                                          previousTimestamp);
  if (auto normalized = normalizedParametersForParameters(parameters, isPublic)) {
    event->parameters_ = std::move(*normalized);
  }
  event->parameters_.set("_o", APMValueObject(APMValue::initWithString(originValue)));
  if (event->isConversion() && !APMCheckValueAndCurrency(event->parameters_)) event->parameters_.erase("_c");
  return event;
}

APMEventRef APMEvent::copyWithPreviousTimestamp(double previousTimestamp) const {
  return initWithOrigin(origin_, false, name_, timestamp_, previousTimestamp, parameters_);
}

APMEventRef APMEvent::copyWithParameters(const fnd::Dict& parameters) const {
  return initWithOrigin(origin_, false, name_, timestamp_, previousTimestamp_, parameters);
}

APMEventRef APMEvent::copy() const {
  return initWithOrigin(origin_, false, name_, timestamp_, previousTimestamp_, parameters_);
}

bool APMEvent::isFlagSet(std::string_view key) const {
  const APMValueRef value = APMValueFrom(parameters_.get(key));
  return value && value->isInt64() && value->int64Value() == 1;
}

void APMEvent::setFlag(std::string_view key, bool on) {
  if (on) {
    parameters_.set(std::string(key), APMValueObject(APMValue::initWithInt64(1)));
  } else {
    parameters_.erase(key);
  }
}

bool APMEvent::isConversion() const { return isFlagSet("_c"); }

void APMEvent::setConversion(bool conversion) {
  if (conversion) {
    if (!APMCheckValueAndCurrency(parameters_)) return;
    setFlag("_c", true);
    const APMValueRef error = APMValueFrom(parameters_.get("_err"));
    if (error && error->isInt64() && error->int64Value() == kAPMErrorConversionEventLimitReached) {
      parameters_.erase("_err");
    }
    return;
  }
  setFlag("_c", false);
  APMSetErrorCodeParameter(parameters_, kAPMErrorConversionEventLimitReached);
}

bool APMEvent::isRealtime() const {
  const fnd::Value* entry = parameters_.find("_r");
  if (entry == nullptr) return false;
  const APMValueRef value = APMValueFrom(*entry);
  if (!value || !value->isInt64()) {
    eventMonitor().logWithLevel(1, 16006, "Realtime parameter must be an int64. Event name", fnd::Value(name_));
    return false;
  }
  return value->int64Value() == 1;
}

void APMEvent::setRealtime(bool realtime) { setFlag("_r", realtime); }

bool APMEvent::isDebug() const { return isFlagSet("_dbg"); }

void APMEvent::setDebug(bool debug) { setFlag("_dbg", debug); }

bool APMEvent::addScreenParameters(const fnd::Dict& screen) {
  if (screen.empty() || APMHasScreenParameters(parameters_)) return false;
  const fnd::Value* screenClass = screen.find("_sc");
  const fnd::Value* screenID = screen.find("_si");
  if (screenClass == nullptr || screenID == nullptr) return false;

  // A string or a string APMValue, as its text.
  const auto textOf = [](const fnd::Value& object) -> std::optional<std::string> {
    if (object.is_string()) return *object.string();
    const APMValueRef value = APMValueFrom(object);
    return value ? value->stringValue() : std::nullopt;
  };
  const auto classText = textOf(*screenClass);
  if (!classText) return false;
  if (!APMDataTypeValidator::isValidScreenParameterValue(fnd::Value(*classText), nullptr)) {
    eventMonitor().logWithLevel(4, 16003, "Received invalid screen class", fnd::Value(*classText));
    return false;
  }
  const APMValueRef idValue = APMValueFrom(*screenID);
  if (!screenID->is_number() && !(idValue && idValue->isInt64())) return false;
  const fnd::Value* screenName = screen.find("_sn");
  if (screenName != nullptr) {
    const auto nameText = textOf(*screenName);
    if (!nameText) return false;
    if (!APMDataTypeValidator::isValidScreenParameterValue(fnd::Value(*nameText), nullptr)) {
      eventMonitor().logWithLevel(4, 16004, "Received invalid screen name", fnd::Value(*nameText));
      return false;
    }
  }
  const APMValueRef classValue = APMValue::valueFromObject(*screenClass);
  const APMValueRef instanceValue = APMValue::valueFromObject(*screenID);
  if (!classValue || !instanceValue) return false;
  parameters_.set("_sc", APMValueObject(classValue));
  parameters_.set("_si", APMValueObject(instanceValue));
  if (screenName != nullptr) {
    if (const APMValueRef nameValue = APMValue::valueFromObject(*screenName)) {
      parameters_.set("_sn", APMValueObject(nameValue));
    }
  }
  return true;
}

template <class F>
void APMEvent::forEachEncodableParameter(F&& visit) const {
  for (const auto& [key, entry] : parameters_) {
    const APMValueRef value = APMValueFrom(entry);
    if (!value) {
      eventMonitor().logWithLevel(1, 16005, "Invalid event param value. Event name, param name",
                             fnd::Value(APMPublicEventNameDescription(fnd::Value(name_))),
                             fnd::Value(APMPublicParameterNameDescription(fnd::Value(key))));
      continue;
    }
    visit(key, *value);
  }
}

std::shared_ptr<wire::RIDUZEvent> APMEvent::protoEvent(std::optional<double> previousTimestamp) const {
  auto message = wire::RIDUZEvent::make();
  if (!message) return nullptr;
  wire::NANOSetString(message.get(), mf::kEventName, name_);
  const double previous = previousTimestamp.value_or(previousTimestamp_);
  if (previous > DBL_EPSILON) {
    wire::NANOSetInt64(message.get(), mf::kEventPreviousTimestamp, APMMillisecondsFromSeconds(previous));
  }
  wire::NANOSetInt64(message.get(), mf::kEventTimestamp, APMMillisecondsFromSeconds(timestamp_));
  fnd::Array params;
  forEachEncodableParameter([&](const std::string& key, const APMValue& value) {
    auto param = wire::RIDUZEventParam::make();
    if (!param) return;
    wire::NANOSetString(param.get(), mf::kParamName, key);
    if (value.isDouble()) {
      wire::NANOSetDouble(param.get(), mf::kParamDouble, value.doubleValue());
    } else if (value.isInt64()) {
      wire::NANOSetInt64(param.get(), mf::kParamInt64, value.int64Value());
    } else if (const auto text = value.stringValue()) {
      wire::NANOSetString(param.get(), mf::kParamString, *text);
    }
    params.push_back(fnd::Value::object(param));
  });
  wire::NANOSetArray(message.get(), mf::kEventParams, std::move(params));
  return message;
}

void APMEvent::appendEncodedProtoEvent(fnd::Bytes& out, std::optional<double> previousTimestamp) const {
  const auto& eventFields = wire::RIDUZEvent::type().fields;
  const auto& paramFields = wire::RIDUZEventParam::type().fields;
  const std::uint32_t nameTag = paramFields[mf::kParamName].tag;
  fnd::Bytes param;
  forEachEncodableParameter([&](const std::string& key, const APMValue& value) {
    param.clear();
    wire::NANOAppendLengthDelimitedField(
        param, nameTag, std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(key.data()), key.size()));
    if (value.isDouble()) {
      std::uint64_t bits = 0;
      const double number = value.doubleValue();
      std::memcpy(&bits, &number, sizeof bits);
      wire::NANOAppendFixed64Field(param, paramFields[mf::kParamDouble].tag, bits);
    } else if (value.isInt64()) {
      wire::NANOAppendVarintField(param, paramFields[mf::kParamInt64].tag,
                                  static_cast<std::uint64_t>(value.int64Value()));
    } else if (const auto text = value.stringValue()) {
      wire::NANOAppendLengthDelimitedField(
          param, paramFields[mf::kParamString].tag,
          std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text->data()), text->size()));
    }
    wire::NANOAppendLengthDelimitedField(out, eventFields[mf::kEventParams].tag, param);
  });
  wire::NANOAppendLengthDelimitedField(
      out, eventFields[mf::kEventName].tag,
      std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(name_.data()), name_.size()));
  wire::NANOAppendVarintField(out, eventFields[mf::kEventTimestamp].tag,
                              static_cast<std::uint64_t>(APMMillisecondsFromSeconds(timestamp_)));
  const double previous = previousTimestamp.value_or(previousTimestamp_);
  if (previous > DBL_EPSILON) {
    wire::NANOAppendVarintField(out, eventFields[mf::kEventPreviousTimestamp].tag,
                                static_cast<std::uint64_t>(APMMillisecondsFromSeconds(previous)));
  }
}

APMEventRef APMEvent::initWithEventProto(const wire::RIDUZEvent* proto) {
  if (proto == nullptr) return nullptr;
  const std::string name = wire::NANOGetString(proto, mf::kEventName).value_or("");
  const std::int64_t timestamp = wire::NANOGetInt64(proto, mf::kEventTimestamp);
  const std::int64_t previousTimestamp = wire::NANOGetInt64(proto, mf::kEventPreviousTimestamp);
  const auto items = wire::NANOGetArray(proto, mf::kEventParams, &wire::RIDUZEventParam::type());
  std::string origin;
  fnd::Dict parameters;
  for (const fnd::Value& item : items.value_or(fnd::Array{})) {
    const auto param = item.object<wire::RIDUZEventParam>();
    if (!param) continue;
    const auto paramName = wire::NANOGetString(param.get(), mf::kParamName);
    if (!paramName) {
      eventMonitor().logWithLevel(1, 15000, "Ignoring parameter. Parameter name is nil. Event name", fnd::Value(name));
      continue;
    }
    if (*paramName == "_o") {
      const auto text = wire::NANOGetString(param.get(), mf::kParamString);
      if (!text) {
        eventMonitor().logWithLevel(1, 15001,
                               "Cannot create an event from event proto. Origin parameter is not a string. Event name",
                               fnd::Value(name));
        return nullptr;
      }
      origin = *text;
      continue;
    }
    APMValueRef value;
    if (wire::NANOHasField(param.get(), mf::kParamString)) {
      value = APMValue::initWithString(fnd::Value(wire::NANOGetString(param.get(), mf::kParamString).value_or("")));
    } else if (wire::NANOHasField(param.get(), mf::kParamInt64)) {
      value = APMValue::initWithInt64(wire::NANOGetInt64(param.get(), mf::kParamInt64));
    } else if (wire::NANOHasField(param.get(), mf::kParamDouble)) {
      value = APMValue::initWithDouble(wire::NANOGetDouble(param.get(), mf::kParamDouble));
    }
    if (!value) {
      eventMonitor().logWithLevel(
          4, 15002,
          "Unknown event parameter type from converting an event proto into APMEvent instance. Event param name",
          fnd::Value(APMPublicParameterNameDescription(fnd::Value(*paramName))));
      continue;
    }
    parameters.set(*paramName, APMValueObject(value));
  }
  return initWithOrigin(origin, false, name, static_cast<double>(timestamp) / 1000.0,
                        static_cast<double>(previousTimestamp) / 1000.0, parameters);
}

bool APMEvent::isValidParameterKey(const fnd::Value& key, bool isPublicEvent, fnd::Dict* errorParameters) {
  std::int64_t failure = 0;
  bool valid = !isPublicEvent || APMDataTypeValidator::isValidPublicEventParameterName(key, &failure);
  if (valid) valid = APMDataTypeValidator::isValidInternalEventParameterName(key, &failure);
  if (valid) return true;
  if (failure != kAPMValidatorNoFailure && errorParameters != nullptr && !errorParameters->contains("_err")) {
    const fnd::Value shown = key.is_string() ? key : fnd::Value(APMClassName(key));
    const bool longName = static_cast<std::int64_t>(APMCodePointLength(*shown.string())) > kMaxShownNameLength;
    APMAddErrorParameters(*errorParameters,
                          failure == kAPMValidatorReserved ? kAPMErrorParameterNameIsReserved
                                                           : kAPMErrorInvalidParameterName,
                          shown, kMaxShownNameLength, longName ? shown : fnd::Value());
  }
  return false;
}

std::optional<fnd::Dict> APMEvent::normalizedParametersForParameters(const fnd::Dict& parameters, bool isPublicEvent) {
  if (parameters.empty()) return std::nullopt;
  std::vector<std::string> removed;
  fnd::Dict extra;
  for (const auto& [key, object] : parameters) {
    if (!isValidParameterKey(fnd::Value(key), isPublicEvent, &extra)) {
      removed.push_back(key);
      continue;
    }
    const APMValueRef value = APMValue::valueFromObject(object);
    if (!value) {
      removed.push_back(key);
      eventMonitor().logWithLevel(4, 16000, "Event parameter value must be of type NSString or NSNumber. Type",
                             fnd::Value(APMClassName(object)));
      continue;
    }
    const fnd::Value valueObject = APMValueObject(value);
    std::int64_t failure = 0;
    bool refused = isPublicEvent && !APMDataTypeValidator::isValidPublicEventParameterValue(valueObject, &failure);
    bool keptTrimmed = false;
    if (!refused) {
      if (key == "_ev") {
        const auto text = value->stringValue();
        if (text && static_cast<std::int64_t>(APMCodePointLength(*text)) > kMaxShownValueLength &&
            !isAlreadyTrimmed(*text)) {
          keptTrimmed = !extra.contains("_ev") && !extra.contains("_el");
          APMAddErrorValueParameters(extra, fnd::Value(*text), kMaxShownValueLength, fnd::Value(*text));
        }
      } else {
        refused = !APMDataTypeValidator::isValidInternalEventParameterValue(valueObject, &failure);
      }
    }
    if (refused) {
      removed.push_back(key);
      if (failure == kAPMValidatorTooLong && !extra.contains("_err")) {
        const auto text = value->stringValue();
        APMAddErrorParameters(extra, kAPMErrorInvalidParameterValue, fnd::Value(key), kMaxShownNameLength,
                              text ? fnd::Value(*text) : fnd::Value());
      }
      continue;
    }
    if (!APMValueFrom(object) && !keptTrimmed) extra.set(key, valueObject);
  }

  fnd::Dict result;
  if (removed.size() == parameters.size()) {
    result = std::move(extra);
  } else if (removed.empty() && extra.empty()) {
    result = parameters;
  } else {
    for (const auto& [key, object] : parameters) {
      if (std::find(removed.begin(), removed.end(), key) == removed.end()) result.set(key, object);
    }
    for (const auto& [key, object] : extra) result.set(key, object);
  }

  std::size_t publicCount = 0;
  for (const auto& [key, object] : result) publicCount += APMIsPublicName(fnd::Value(key)) ? 1 : 0;
  if (publicCount > kMaxPublicParameters) {
    std::vector<std::string> keys = result.keys();
    std::sort(keys.begin(), keys.end());
    for (auto it = keys.rbegin(); it != keys.rend() && publicCount > kMaxPublicParameters; ++it) {
      if (APMIsPublicName(fnd::Value(*it))) {
        result.erase(*it);
        --publicCount;
      }
    }
    APMSetErrorCodeParameter(result, kAPMErrorParameterLimitReached);
    eventMonitor().logWithLevel(1, 16001,
                           "Event cannot contain more than " + std::to_string(kMaxPublicParameters) + " parameters");
  }
  return result;
}

}  // namespace analytics
