#pragma once
// Builders of audience messages for the audience tests: number and string
// filters, filters, event and property filters, audiences and result records.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/audiences/audience_fields.h"
#include "platform/foundation/value.h"
#include "wire/measurement/measurement.h"
#include "wire/runtime/nano_runtime.h"

namespace analytics_audience_test {

namespace af = analytics::audience_fields;
using NumberFilterRef = std::shared_ptr<wire::RIDUZNumberFilter>;
using StringFilterRef = std::shared_ptr<wire::RIDUZStringFilter>;
using FilterRef = std::shared_ptr<wire::RIDUZFilter>;
using EventFilterRef = std::shared_ptr<wire::RIDUZEventFilter>;
using PropertyFilterRef = std::shared_ptr<wire::RIDUZPropertyFilter>;
using AudienceRef = std::shared_ptr<wire::RIDUZAudience>;

inline void setOptionalString(wire::NANOMessageBase* message, std::int32_t index,
                              const std::optional<std::string>& value) {
  if (value) wire::NANOSetString(message, index, *value);
}

template <class T>
platform::foundation::Array messageArray(const std::vector<std::shared_ptr<T>>& items) {
  platform::foundation::Array array;
  for (const auto& item : items) array.push_back(platform::foundation::Value::object(item));
  return array;
}

inline NumberFilterRef numberFilter(std::optional<std::int32_t> type, std::optional<std::string> value,
                                    std::optional<std::string> min = {}, std::optional<std::string> max = {},
                                    bool matchAsFloat = false) {
  auto filter = wire::RIDUZNumberFilter::make();
  if (type) wire::NANOSetInt32(filter.get(), af::kNumberComparisonType, *type);
  if (matchAsFloat) wire::NANOSetBool(filter.get(), af::kNumberMatchAsFloat, true);
  setOptionalString(filter.get(), af::kNumberComparisonValue, value);
  setOptionalString(filter.get(), af::kNumberMinComparisonValue, min);
  setOptionalString(filter.get(), af::kNumberMaxComparisonValue, max);
  return filter;
}

inline NumberFilterRef between(const std::string& min, const std::string& max) {
  return numberFilter(af::kComparisonBetween, std::nullopt, min, max);
}

inline StringFilterRef stringFilter(std::optional<std::int32_t> type, std::optional<std::string> expression,
                                    std::optional<bool> caseSensitive = {}, std::vector<std::string> list = {}) {
  auto filter = wire::RIDUZStringFilter::make();
  if (type) wire::NANOSetInt32(filter.get(), af::kStringMatchType, *type);
  setOptionalString(filter.get(), af::kStringExpression, expression);
  if (caseSensitive) wire::NANOSetBool(filter.get(), af::kStringCaseSensitive, *caseSensitive);
  if (!list.empty()) {
    platform::foundation::Array entries;
    for (auto& entry : list) entries.push_back(platform::foundation::Value(entry));
    wire::NANOSetArray(filter.get(), af::kStringExpressionList, entries);
  }
  return filter;
}

inline FilterRef filterOf(const NumberFilterRef& number, const StringFilterRef& string = nullptr,
                          std::optional<std::string> parameterName = {}, std::optional<bool> complement = {}) {
  auto filter = wire::RIDUZFilter::make();
  if (string) wire::NANOSetMessage(filter.get(), af::kFilterStringFilter, string.get());
  if (number) wire::NANOSetMessage(filter.get(), af::kFilterNumberFilter, number.get());
  if (complement) wire::NANOSetBool(filter.get(), af::kFilterComplement, *complement);
  setOptionalString(filter.get(), af::kFilterParameterName, parameterName);
  return filter;
}

inline FilterRef stringOnly(const StringFilterRef& string, std::optional<std::string> parameterName = {}) {
  return filterOf(nullptr, string, std::move(parameterName));
}

struct EventFilterSpec {
  std::optional<std::int32_t> id;
  std::optional<std::string> name;
  std::vector<FilterRef> parameters = {};
  NumberFilterRef count = nullptr;
  bool dynamic = false;
  bool sequence = false;
};

inline EventFilterRef eventFilter(const EventFilterSpec& spec) {
  auto filter = wire::RIDUZEventFilter::make();
  if (spec.id) wire::NANOSetInt32(filter.get(), af::kEventFilterID, *spec.id);
  setOptionalString(filter.get(), af::kEventFilterEventName, spec.name);
  if (!spec.parameters.empty()) {
    wire::NANOSetArray(filter.get(), af::kEventFilterParameterFilters, messageArray(spec.parameters));
  }
  if (spec.count) wire::NANOSetMessage(filter.get(), af::kEventFilterCountFilter, spec.count.get());
  if (spec.dynamic) wire::NANOSetBool(filter.get(), af::kEventFilterDynamic, true);
  if (spec.sequence) wire::NANOSetBool(filter.get(), af::kEventFilterSequence, true);
  return filter;
}

struct PropertyFilterSpec {
  std::optional<std::int32_t> id;
  std::optional<std::string> name;
  FilterRef filter = nullptr;
  bool dynamic = false;
  bool sequence = false;
};

inline PropertyFilterRef propertyFilter(const PropertyFilterSpec& spec) {
  auto filter = wire::RIDUZPropertyFilter::make();
  if (spec.id) wire::NANOSetInt32(filter.get(), af::kPropertyFilterID, *spec.id);
  setOptionalString(filter.get(), af::kPropertyFilterPropertyName, spec.name);
  if (spec.filter) wire::NANOSetMessage(filter.get(), af::kPropertyFilterFilter, spec.filter.get());
  if (spec.dynamic) wire::NANOSetBool(filter.get(), af::kPropertyFilterDynamic, true);
  if (spec.sequence) wire::NANOSetBool(filter.get(), af::kPropertyFilterSequence, true);
  return filter;
}

inline AudienceRef audience(std::optional<std::int32_t> id, const std::vector<EventFilterRef>& events,
                            const std::vector<PropertyFilterRef>& properties = {}) {
  auto audience = wire::RIDUZAudience::make();
  if (id) wire::NANOSetInt32(audience.get(), af::kAudienceID, *id);
  if (!events.empty()) wire::NANOSetArray(audience.get(), af::kAudienceEventFilters, messageArray(events));
  if (!properties.empty()) {
    wire::NANOSetArray(audience.get(), af::kAudiencePropertyFilters, messageArray(properties));
  }
  return audience;
}

}  // namespace analytics_audience_test
