// Audience filter evaluation: event, property and parameter filters, the
// double and decimal number comparisons and the string matches.
#include "analytics/audiences/filter_evaluation.h"

#include <cmath>
#include <limits>
#include <string>

#include "analytics/audiences/audience_fields.h"
#include "analytics/engine/measurement.h"
#include "analytics/model/name_tables.h"
#include "analytics/support/errors.h"
#include "analytics/support/numeric.h"
#include "wire/runtime/nano_runtime.h"

namespace analytics {

namespace fd = platform::foundation;
namespace af = audience_fields;
using fd::text::Decimal;
using fd::text::Regex;

namespace {

APMMonitor& filterEvaluationMonitor() { return APMMeasurement::monitor(); }

// Logs why a filter is not evaluated and answers none.
APMFilterOutcome none(std::int64_t code, std::string_view message, const fd::Array& contexts = {},
                      std::int64_t level = 1) {
  filterEvaluationMonitor().logWithLevel(level, code, message, contexts);
  return std::nullopt;
}

std::optional<std::string> stringField(const wire::NANOMessageBase* message, std::int32_t index) {
  return wire::NANOGetString(message, index);
}

std::optional<double> parseComparison(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  return fd::text::parse_number(*text, "en_US", "'+'#");
}

double twoDoublesToward(double value, double direction) {
  return std::nextafter(std::nextafter(value, direction), direction);
}

// Case-insensitive comparisons work on fully case-folded text.
bool beginsWith(const std::string& text, const std::string& expression, bool caseSensitive) {
  if (caseSensitive) return text.starts_with(expression);
  return fd::text::fold_case(text).starts_with(fd::text::fold_case(expression));
}

bool endsWith(const std::string& text, const std::string& expression, bool caseSensitive) {
  if (caseSensitive) return text.ends_with(expression);
  return fd::text::fold_case(text).ends_with(fd::text::fold_case(expression));
}

bool contains(const std::string& text, const std::string& expression, bool caseSensitive) {
  if (caseSensitive) return text.find(expression) != std::string::npos;
  return fd::text::fold_case(text).find(fd::text::fold_case(expression)) != std::string::npos;
}

bool equals(const std::string& text, const std::string& expression, bool caseSensitive) {
  if (caseSensitive) return text == expression;
  return APMUTF16Length(text) == APMUTF16Length(expression) &&
         fd::text::fold_case(text) == fd::text::fold_case(expression);
}

}  // namespace

fd::Value APMMessageContext(const wire::NANOMessageBase* message) {
  if (message == nullptr) return fd::Value();
  const auto bytes = message->protoBuffer();
  return fd::Value(std::string("<") + message->descriptor().class_name + ": " +
                   fd::data_description(bytes ? *bytes : fd::Bytes{}) + ">");
}

// ---- number filters -------------------------------------------------------

bool APMIsValidNumberFilter(const wire::RIDUZNumberFilter* filter) {
  if (filter == nullptr || !wire::NANOHasField(filter, af::kNumberComparisonType)) {
    filterEvaluationMonitor().logWithLevel(1, 8006, "Number filter has no comparison type");
    return false;
  }
  const std::int32_t type = wire::NANOGetInt32(filter, af::kNumberComparisonType);
  const auto isDecimalField = [filter](std::int32_t index) {
    const auto text = stringField(filter, index);
    return text && APMIsDecimalNumberString(*text);
  };
  switch (type) {
    case af::kComparisonLessThan:
    case af::kComparisonGreaterThan:
    case af::kComparisonEqual:
      if (!isDecimalField(af::kNumberComparisonValue)) {
        filterEvaluationMonitor().logWithLevel(1, 8008, "Numeric filter does not have a valid comparison value. Filter",
                               APMMessageContext(filter));
        return false;
      }
      return true;
    case af::kComparisonBetween: {
      bool valid = true;
      if (!isDecimalField(af::kNumberMinComparisonValue)) {
        filterEvaluationMonitor().logWithLevel(1, 8009, "Numeric filter does not have a valid min comparison value. Filter",
                               APMMessageContext(filter));
        valid = false;
      }
      if (!isDecimalField(af::kNumberMaxComparisonValue)) {
        filterEvaluationMonitor().logWithLevel(1, 8010, "Numeric filter does not have a valid max comparison value. Filter",
                               APMMessageContext(filter));
        valid = false;
      }
      return valid;
    }
    case 0:
      filterEvaluationMonitor().logWithLevel(1, 8007, "Number filter has unknown comparison type");
      return false;
    default:
      filterEvaluationMonitor().logWithLevel(1, 8011, "Number filter has a real unknown comparison type");
      return false;
  }
}

std::optional<APMAudienceComparisonValues> APMAudienceComparisonValues::initWithNumberFilter(
    const wire::RIDUZNumberFilter* filter) {
  if (filter == nullptr) return std::nullopt;
  APMAudienceComparisonValues values;
  values.valid = true;
  const auto invalid = [&values](std::int64_t code, std::string_view message) {
    filterEvaluationMonitor().logWithLevel(1, code, message);
    values.valid = false;
    return values;
  };
  const auto decimal = [filter](std::int32_t index) -> std::optional<Decimal> {
    return APMDecimalNumberFromString(stringField(filter, index).value_or(""));
  };
  switch (wire::NANOGetInt32(filter, af::kNumberComparisonType)) {
    case af::kComparisonLessThan:
    case af::kComparisonGreaterThan:
    case af::kComparisonEqual:
      if (!wire::NANOHasField(filter, af::kNumberComparisonValue)) {
        return invalid(8001, "Number filter has no comparison value");
      }
      values.comparisonValue = decimal(af::kNumberComparisonValue);
      if (!values.comparisonValue) return invalid(8002, "Number filter comparison value is not a number");
      return values;
    case af::kComparisonBetween:
      if (!wire::NANOHasField(filter, af::kNumberMinComparisonValue) ||
          !wire::NANOHasField(filter, af::kNumberMaxComparisonValue)) {
        return invalid(8003, "Number filter does not have both min and max comparison values");
      }
      values.minComparisonValue = decimal(af::kNumberMinComparisonValue);
      if (!values.minComparisonValue) return invalid(8004, "Number filter min comparison value is not a number");
      values.maxComparisonValue = decimal(af::kNumberMaxComparisonValue);
      if (!values.maxComparisonValue) return invalid(8005, "Number filter max comparison value is not a number");
      return values;
    default:
      return invalid(8000, "Number filter has unknown comparison type");
  }
}

APMFilterOutcome APMEvaluateNumberFilterWithDouble(const wire::RIDUZNumberFilter* filter, double value) {
  if (!APMIsValidNumberFilter(filter)) return std::nullopt;
  const std::int32_t type = wire::NANOGetInt32(filter, af::kNumberComparisonType);
  std::optional<double> comparison, minimum, maximum;
  if (type == af::kComparisonBetween) {
    minimum = parseComparison(stringField(filter, af::kNumberMinComparisonValue));
    maximum = parseComparison(stringField(filter, af::kNumberMaxComparisonValue));
  } else {
    comparison = parseComparison(stringField(filter, af::kNumberComparisonValue));
  }
  if (type == af::kComparisonBetween ? !minimum || !maximum : !comparison) {
    return none(8012,
                "Number filter is invalid, the comparison filter is not valid. Audience filter will not be evaluated");
  }
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  switch (type) {
    case af::kComparisonLessThan:
      return value < *comparison;
    case af::kComparisonGreaterThan:
      return value > *comparison;
    case af::kComparisonEqual:
      return twoDoublesToward(*comparison, -kInfinity) < value && value < twoDoublesToward(*comparison, kInfinity);
    case af::kComparisonBetween:
      return *minimum <= value && value <= *maximum;
    default:
      return none(8013,
                  "Validated double number filter has unknown comparison type. Audience filter will not be evaluated");
  }
}

APMFilterOutcome APMEvaluateNumberFilterWithDecimal(const wire::RIDUZNumberFilter* filter, const Decimal& value) {
  if (!APMIsValidNumberFilter(filter)) return std::nullopt;
  const auto values = APMAudienceComparisonValues::initWithNumberFilter(filter);
  if (!values) {
    return none(8014, "Number filter is invalid. Audience filter will not be evaluated. Filter",
                {APMMessageContext(filter)});
  }
  if (!values->valid) {
    return none(8015,
                "Parsed decimal number comparison values are not valid. Audience filter will not be evaluated. Filter",
                {APMMessageContext(filter)});
  }
  switch (wire::NANOGetInt32(filter, af::kNumberComparisonType)) {
    case af::kComparisonLessThan:
      return value < *values->comparisonValue;
    case af::kComparisonGreaterThan:
      return value > *values->comparisonValue;
    case af::kComparisonEqual:
      return value == *values->comparisonValue;
    case af::kComparisonBetween:
      return !(value < *values->minComparisonValue) && !(value > *values->maxComparisonValue);
    default:
      return none(8016, "Validated decimal number for number filter has unknown comparison type. Audience filter "
                        "will not be evaluated");
  }
}

APMFilterOutcome APMEvaluateNumberFilterWithInt64(const wire::RIDUZNumberFilter* filter, std::int64_t value) {
  return APMEvaluateNumberFilterWithDecimal(filter, Decimal(value));
}

// ---- string filters -------------------------------------------------------

bool APMValidateStringFilter(const wire::RIDUZStringFilter* filter, std::optional<Regex>* regex) {
  if (filter == nullptr || !wire::NANOHasField(filter, af::kStringMatchType)) {
    filterEvaluationMonitor().logWithLevel(1, 9000, "String filter has no match type");
    return false;
  }
  const std::int32_t type = wire::NANOGetInt32(filter, af::kStringMatchType);
  if (type == 0) {
    filterEvaluationMonitor().logWithLevel(1, 9001, "String filter has unknown match type");
    return false;
  }
  if (type == af::kMatchInList) {
    const auto list = wire::NANOGetArray(filter, af::kStringExpressionList, nullptr);
    if (!list || list->empty()) {
      filterEvaluationMonitor().logWithLevel(1, 9003, "String filter has no expression list");
      return false;
    }
    return true;
  }
  const auto expression = stringField(filter, af::kStringExpression);
  if (!expression) {
    filterEvaluationMonitor().logWithLevel(1, 9002, "String filter has no expression");
    return false;
  }
  if (type == af::kMatchRegularExpression) {
    const bool caseSensitive = wire::NANOGetBool(filter, af::kStringCaseSensitive);
    auto compiled = Regex::compile(*expression, !caseSensitive);
    if (!compiled) {
      filterEvaluationMonitor().logWithLevel(1, 9004, "Unable to parse regular expression", APMMessageContext(filter),
                             APMErrorContext(compiled.error()));
      return false;
    }
    if (regex != nullptr) *regex = std::move(compiled.value());
  }
  return true;
}

bool APMIsValidStringFilter(const wire::RIDUZStringFilter* filter) { return APMValidateStringFilter(filter, nullptr); }

APMFilterOutcome APMEvaluateStringFilter(const wire::RIDUZStringFilter* filter, std::optional<std::string_view> text) {
  if (!text) return none(9005, "Evaluation string is nil. Audience filter will not be evaluated");
  std::optional<Regex> regex;
  if (!APMValidateStringFilter(filter, &regex)) {
    return none(9006, "String filter is invalid. Audience filter will not be evaluated");
  }
  const std::string subject(*text);
  const std::string expression = stringField(filter, af::kStringExpression).value_or("");
  const bool caseSensitive = wire::NANOGetBool(filter, af::kStringCaseSensitive);
  constexpr std::string_view kNoRegex = "Parsed regex is nil. Audience filter will not be evaluated";
  switch (wire::NANOGetInt32(filter, af::kStringMatchType)) {
    case af::kMatchRegularExpression: {
      if (!regex) return none(9008, kNoRegex);
      // A search that runs into the time limit is not evaluated.
      const auto found = regex->search(subject, kAPMRegexSearchTimeLimit);
      if (!found) return none(9008, kNoRegex);
      return *found;
    }
    case af::kMatchBeginsWith:
      return beginsWith(subject, expression, caseSensitive);
    case af::kMatchEndsWith:
      return endsWith(subject, expression, caseSensitive);
    case af::kMatchPartial:
      return contains(subject, expression, caseSensitive);
    case af::kMatchExact:
      return equals(subject, expression, caseSensitive);
    case af::kMatchInList: {
      const auto list = wire::NANOGetArray(filter, af::kStringExpressionList, nullptr).value_or(fd::Array{});
      for (const fd::Value& entry : list) {
        if (entry.is_string() && equals(subject, *entry.string(), caseSensitive)) return true;
      }
      return false;
    }
    case 0:
      return none(9007,
                  "Validated string filter has unknown comparison type. Audience filter will not be evaluated");
    default:
      return false;
  }
}

// ---- filters --------------------------------------------------------------

APMFilterOutcome APMEvaluateParameterFilter(const wire::RIDUZFilter* filter, const APMValue* value) {
  const bool hasNumber = filter != nullptr && wire::NANOHasField(filter, af::kFilterNumberFilter);
  const bool hasString = filter != nullptr && wire::NANOHasField(filter, af::kFilterStringFilter);
  if (!hasNumber && !hasString) {
    return none(7000, "Filter has neither a number nor string filter. Audience filter will not be evaluated");
  }
  APMFilterOutcome outcome;
  if (hasNumber) {
    const auto numberFilter = wire::NANOGetMessage<wire::RIDUZNumberFilter>(filter, af::kFilterNumberFilter);
    if (value == nullptr) return std::nullopt;
    if (value->isString()) {
      const std::string text = value->stringValue().value_or("");
      if (!APMIsDecimalNumberString(text)) {
        return none(7001, "String value is not a numeric value. Audience filter will not be evaluated. Value, filter",
                    {fd::Value(text), APMMessageContext(filter)});
      }
      const auto decimal = APMDecimalNumberFromString(text);
      if (!decimal) return std::nullopt;
      outcome = APMEvaluateNumberFilterWithDecimal(numberFilter.get(), *decimal);
    } else if (value->isDouble()) {
      const double number = value->doubleValue();
      if (!std::isfinite(number)) {
        return none(7002, "Value is not within double range. Audience filter will not be evaluated");
      }
      outcome = APMEvaluateNumberFilterWithDouble(numberFilter.get(), number);
    } else if (value->isInt64()) {
      outcome = APMEvaluateNumberFilterWithInt64(numberFilter.get(), value->int64Value());
    } else {
      return std::nullopt;
    }
  } else {
    if (value == nullptr || !value->isString()) {
      return none(7003, "Value is not a string. Audience filter will not be evaluated");
    }
    const auto stringFilter = wire::NANOGetMessage<wire::RIDUZStringFilter>(filter, af::kFilterStringFilter);
    outcome = APMEvaluateStringFilter(stringFilter.get(), value->stringValue());
  }
  if (outcome && wire::NANOGetBool(filter, af::kFilterComplement)) outcome = !*outcome;
  return outcome;
}

APMFilterOutcome APMEvaluateEventFilter(const wire::RIDUZEventFilter* filter, std::optional<std::string_view> eventName,
                                        const fd::Dict& parameters, const APMEventAggregates* aggregates) {
  if (filter == nullptr) return none(7004, "Event filter is nil. Audience filter will not be evaluated");
  if (!eventName || eventName->empty()) {
    return none(7005, "Event name is nil. Audience filter will not be evaluated");
  }
  const auto filterName = stringField(filter, af::kEventFilterEventName);
  if (!filterName || *filterName != *eventName) {
    return none(7006, "Event filter name does not match event name. Audience filter will not be evaluated");
  }
  const bool hasCountFilter = wire::NANOHasField(filter, af::kEventFilterCountFilter);
  const auto parameterFilters =
      wire::NANOGetArray(filter, af::kEventFilterParameterFilters, &wire::RIDUZFilter::type()).value_or(fd::Array{});
  if (!hasCountFilter && parameterFilters.empty()) return true;

  if (hasCountFilter) {
    if (aggregates == nullptr || aggregates->name() != *eventName) {
      return none(7007, "Event aggregates name does not match event name. Audience filter will not be evaluated",
                  {fd::Value(aggregates != nullptr ? APMPublicEventNameDescription(fd::Value(aggregates->name()))
                                                   : std::string()),
                   fd::Value(APMPublicEventNameDescription(fd::Value(*eventName))), APMMessageContext(filter)});
    }
    const auto countFilter = wire::NANOGetMessage<wire::RIDUZNumberFilter>(filter, af::kEventFilterCountFilter);
    const auto outcome = APMEvaluateNumberFilterWithInt64(countFilter.get(), aggregates->lifetimeCount());
    if (outcome != true) return outcome;
  }

  for (const fd::Value& item : parameterFilters) {
    const auto parameterFilter = item.object<wire::RIDUZFilter>();
    const auto parameterName =
        parameterFilter ? stringField(parameterFilter.get(), af::kFilterParameterName) : std::nullopt;
    if (!parameterName || parameterName->empty()) {
      return none(7008, "Event filter does not have parameter name. Audience filter will not be evaluated");
    }
    const fd::Value* entry = parameters.find(*parameterName);
    const APMValueRef value = entry != nullptr ? APMValueFrom(*entry) : nullptr;
    if (!value) {
      return none(7009, "Event does not have parameter required by filter. Audience filter will not be evaluated", {},
                  7);
    }
    if (value->isString() && !wire::NANOHasField(parameterFilter.get(), af::kFilterStringFilter)) {
      return none(7010,
                  "Event param is a string and the filter does not have a string filter. Audience filter will not be "
                  "evaluated. Event name, event params, filter",
                  {fd::Value(APMPublicEventNameDescription(fd::Value(*eventName))),
                   fd::Value(APMParametersDescription(fd::Value(parameters))), APMMessageContext(parameterFilter.get())});
    }
    const auto outcome = APMEvaluateParameterFilter(parameterFilter.get(), value.get());
    if (outcome != true) return outcome;
  }
  return true;
}

APMFilterOutcome APMEvaluatePropertyFilter(const wire::RIDUZPropertyFilter* filter, const APMUserAttribute* property) {
  if (filter == nullptr) return none(7011, "Property filter is nil. Audience filter will not be evaluated");
  if (property == nullptr) return none(7012, "User property is nil. Audience filter will not be evaluated");
  const auto name = stringField(filter, af::kPropertyFilterPropertyName);
  if (!name || *name != property->name()) {
    return none(7013, "User property name does not match property filter name. Audience filter will not be evaluated");
  }
  if (!wire::NANOHasField(filter, af::kPropertyFilterFilter)) {
    return none(7014, "Property filter does not have filter. Audience filter will not be evaluated");
  }
  const APMValue* value = property->value().get();
  if (value == nullptr || !(value->isString() || value->isInt64() || value->isDouble())) {
    return none(7015, "Unknown user property type. Audience filter will not be evaluated. Property Name",
                {fd::Value(APMPublicUserPropertyNameDescription(fd::Value(property->name())))});
  }
  const auto inner = wire::NANOGetMessage<wire::RIDUZFilter>(filter, af::kPropertyFilterFilter);
  return APMEvaluateParameterFilter(inner.get(), value);
}

}  // namespace analytics
