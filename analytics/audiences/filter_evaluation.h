#pragma once
// Audience filter evaluation: whether one event, parameter or user-property
// filter holds for a value (true, false, or none when the filter is not
// evaluated), and whether number and string filters are well formed. Plain
// functions without state; callable from any thread (the engine calls them on
// its worker queue).
#include <cstdint>
#include <optional>
#include <string_view>

#include "analytics/model/records.h"
#include "analytics/model/value.h"
#include "platform/foundation/text.h"
#include "platform/foundation/value.h"
#include "wire/measurement/measurement.h"

namespace analytics {

// The outcome of one evaluation: nullopt is none (the stored result stays).
using APMFilterOutcome = std::optional<bool>;

// Limit of one regular-expression search, in ICU match-engine steps (about a
// second): a server-supplied pattern can never hold the worker queue for good.
inline constexpr std::int32_t kAPMRegexSearchTimeLimit = 1000;

// The decimal comparison values of one number filter.
struct APMAudienceComparisonValues {
  std::optional<platform::foundation::text::Decimal> comparisonValue;
  std::optional<platform::foundation::text::Decimal> minComparisonValue;
  std::optional<platform::foundation::text::Decimal> maxComparisonValue;
  bool valid = false;

  // The values a filter's comparison type needs, `valid` false after 8000-8005;
  // nullopt for no filter.
  static std::optional<APMAudienceComparisonValues> initWithNumberFilter(const wire::RIDUZNumberFilter* filter);
};

// Parameters: name -> APMValue object.
APMFilterOutcome APMEvaluateEventFilter(const wire::RIDUZEventFilter* filter, std::optional<std::string_view> eventName,
                                        const platform::foundation::Dict& parameters,
                                        const APMEventAggregates* aggregates);
APMFilterOutcome APMEvaluatePropertyFilter(const wire::RIDUZPropertyFilter* filter, const APMUserAttribute* property);
// A number filter wins over a string filter; the complement inverts true and false.
APMFilterOutcome APMEvaluateParameterFilter(const wire::RIDUZFilter* filter, const APMValue* value);

bool APMIsValidNumberFilter(const wire::RIDUZNumberFilter* filter);
APMFilterOutcome APMEvaluateNumberFilterWithDouble(const wire::RIDUZNumberFilter* filter, double value);
APMFilterOutcome APMEvaluateNumberFilterWithInt64(const wire::RIDUZNumberFilter* filter, std::int64_t value);
APMFilterOutcome APMEvaluateNumberFilterWithDecimal(const wire::RIDUZNumberFilter* filter,
                                                    const platform::foundation::text::Decimal& value);

// Hands out the compiled expression of a regular-expression filter when
// `regex` is given.
bool APMValidateStringFilter(const wire::RIDUZStringFilter* filter,
                             std::optional<platform::foundation::text::Regex>* regex);
bool APMIsValidStringFilter(const wire::RIDUZStringFilter* filter);
APMFilterOutcome APMEvaluateStringFilter(const wire::RIDUZStringFilter* filter, std::optional<std::string_view> text);

// A message as a monitor context: its class name and encoded bytes.
platform::foundation::Value APMMessageContext(const wire::NANOMessageBase* message);

}  // namespace analytics
