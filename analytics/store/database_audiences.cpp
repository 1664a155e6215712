// APMDatabase: the audience tables (event and property filters, filter
// results, complex events) and the conditional user properties.
#include <algorithm>

#include "analytics/store/database.h"
#include "analytics/store/database_rows.h"
#include "wire/measurement/measurement.h"

namespace analytics {

namespace fd = platform::foundation;
using fd::Array;
using fd::Value;

namespace {

constexpr std::string_view kEventFilters = "event_filters";
constexpr std::string_view kPropertyFilters = "property_filters";
constexpr std::string_view kFilterValues = "audience_filter_values";
constexpr std::string_view kConditionalProperties = "conditional_properties";
constexpr std::string_view kMainEventParams = "main_event_params";
constexpr std::int64_t kConditionalPropertyLimit = 1000;

APMMonitor& databaseAudiencesMonitor() { return APMDatabaseMonitor(); }

std::optional<std::int32_t> int32At(const APMRecord& row, std::string_view column) {
  const Value& value = row.get(column);
  if (!value.is_integer()) return std::nullopt;
  return static_cast<std::int32_t>(*value.as_int());
}

fd::Bytes dataAt(const APMRecord& row, std::string_view column) {
  const auto* data = row.get(column).data();
  return data ? *data : fd::Bytes();
}

std::shared_ptr<APMEventFilter> eventFilterFromRow(const APMRecord& row) {
  const auto audience = int32At(row, "audience_id");
  const auto filter = int32At(row, "filter_id");
  const auto* name = row.get("event_name").string();
  if (row.empty() || !audience || !filter || !name) {
    databaseAudiencesMonitor().logWithLevel(4, 12025, "Received empty dictionary for getting event filter");
    return nullptr;
  }
  return std::make_shared<APMEventFilter>(*audience, *filter, *name, dataAt(row, "data"));
}

std::shared_ptr<APMPropertyFilter> propertyFilterFromRow(const APMRecord& row) {
  const auto audience = int32At(row, "audience_id");
  const auto filter = int32At(row, "filter_id");
  const auto* name = row.get("property_name").string();
  if (row.empty() || !audience || !filter || !name) {
    databaseAudiencesMonitor().logWithLevel(4, 12029, "Received empty dictionary for getting property filter");
    return nullptr;
  }
  return std::make_shared<APMPropertyFilter>(*audience, *filter, *name, dataAt(row, "data"));
}

std::shared_ptr<APMFilterResult> filterResultFromRow(const APMRecord& row) {
  const auto audience = int32At(row, "audience_id");
  if (row.empty() || !audience) {
    databaseAudiencesMonitor().logWithLevel(4, 12033, "Received empty dictionary for getting filter result");
    return nullptr;
  }
  return std::make_shared<APMFilterResult>(*audience, dataAt(row, "current_results"), dataAt(row, "previous_results"));
}

std::optional<APMRecord> eventFilterRecord(const APMEventFilter* filter) {
  if (!filter) {
    databaseAudiencesMonitor().logWithLevel(4, 12026, "Received empty event filter for getting dictionary representation");
    return std::nullopt;
  }
  if (filter->eventName().empty()) {
    databaseAudiencesMonitor().logWithLevel(4, 12027, "Received event filter with empty event name for getting dictionary representation");
    return std::nullopt;
  }
  if (filter->data().empty()) {
    databaseAudiencesMonitor().logWithLevel(4, 12028, "Received event filter with empty data for getting dictionary representation");
    return std::nullopt;
  }
  return APMRecord{{"audience_id", Value(filter->audienceID())},
                   {"filter_id", Value(filter->filterID())},
                   {"event_name", Value(filter->eventName())},
                   {"data", Value(filter->data())}};
}

std::optional<APMRecord> propertyFilterRecord(const APMPropertyFilter* filter) {
  if (!filter) {
    databaseAudiencesMonitor().logWithLevel(4, 12030, "Received empty property filter for getting dictionary representation");
    return std::nullopt;
  }
  if (filter->propertyName().empty()) {
    databaseAudiencesMonitor().logWithLevel(4, 12031,
                           "Received property filter with empty property name for getting dictionary representation");
    return std::nullopt;
  }
  if (filter->data().empty()) {
    databaseAudiencesMonitor().logWithLevel(4, 12032, "Received property filter with empty data for getting dictionary representation");
    return std::nullopt;
  }
  return APMRecord{{"audience_id", Value(filter->audienceID())},
                   {"filter_id", Value(filter->filterID())},
                   {"property_name", Value(filter->propertyName())},
                   {"data", Value(filter->data())}};
}

std::optional<APMRecord> filterResultRecord(const APMFilterResult* result) {
  if (!result) {
    databaseAudiencesMonitor().logWithLevel(4, 12034, "Received empty filter result for getting dictionary representation");
    return std::nullopt;
  }
  if (result->currentResults().empty()) {
    databaseAudiencesMonitor().logWithLevel(4, 12035, "Received filter result with empty data for getting dictionary representation");
    return std::nullopt;
  }
  return APMRecord{{"audience_id", Value(result->audienceID())},
                   {"current_results", Value(result->currentResults())},
                   {"previous_results", result->previousResults().empty() ? Value() : Value(result->previousResults())}};
}

// Writes the records one by one; the first failure ends the call.
template <class T>
bool upsertEach(APMSqliteStore* store, const std::vector<std::shared_ptr<T>>& objects, std::string_view table,
                std::optional<APMRecord> (*toRecord)(const T*), APMErrorOut error) {
  for (const auto& object : objects) {
    if (!store->upsertRecord(toRecord(object.get()).value_or(APMRecord{}), table, error)) return false;
  }
  return true;
}

// A filter's key as "(audience_id=%d AND filter_id=%d)", joined by " OR ".
template <class T>
std::optional<std::string> filterKeysCondition(const std::vector<std::shared_ptr<T>>& filters, APMErrorOut error,
                                               std::string_view unknownType) {
  std::string condition;
  for (const auto& filter : filters) {
    if (!APMCheckNotNil(filter, error, 1, unknownType)) return std::nullopt;
    if (!condition.empty()) condition += " OR ";
    condition += "(audience_id=" + std::to_string(filter->audienceID()) +
                 " AND filter_id=" + std::to_string(filter->filterID()) + ")";
  }
  return condition;
}

// One stored event column of a conditional property; false when it is present
// but does not convert (logged with the property's name).
bool readStoredEvent(const APMRecord& row, std::string_view column, std::int64_t code, std::string_view text,
                     const std::string& name, APMEventRef* event) {
  const Value& blob = row.get(column);
  if (blob.is_null()) return true;
  std::optional<fd::Error> error;
  *event = APMEventFromBlob(blob, &error);
  if (*event) return true;
  databaseAudiencesMonitor().logWithLevel(1, code, text, Value(name), error ? APMErrorContext(*error) : Value());
  return false;
}

APMConditionalUserPropertyRef conditionalPropertyFromRow(const APMRecord& row) {
  auto property = std::make_shared<APMConditionalUserProperty>();
  const auto* name = row.get("name").string();
  const auto* origin = row.get("origin").string();
  property->setName(name ? *name : std::string());
  property->setOrigin(origin ? *origin : std::string());
  property->setValue(APMValue::valueFromObject(row.get("value")));
  property->setTriggerTimeout(row.get("trigger_timeout").as_double().value_or(0));
  property->setTimeToLive(row.get("time_to_live").as_double().value_or(0));
  if (const auto* trigger = row.get("trigger_event_name").string()) property->setTriggerEventName(*trigger);
  APMEventRef triggered, timedOut, expired;
  if (!readStoredEvent(row, "triggered_event", 12036,
                       "Cannot create conditional user property from database. Triggered event data is invalid. Name, "
                       "error",
                       property->name(), &triggered) ||
      !readStoredEvent(row, "timed_out_event", 12037,
                       "Cannot create conditional user property from database. Timed out event data is invalid. Name, "
                       "error",
                       property->name(), &timedOut) ||
      !readStoredEvent(row, "expired_event", 12038,
                       "Cannot create conditional user property from database. Expired event data is invalid. Name, "
                       "error",
                       property->name(), &expired)) {
    return nullptr;
  }
  property->setTriggeredEvent(triggered);
  property->setTimedOutEvent(timedOut);
  property->setExpiredEvent(expired);
  property->setActive(row.get("active").as_int().value_or(0) != 0);
  property->setCreationTimestamp(row.get("creation_timestamp").as_double().value_or(0));
  property->setTriggeredTimestamp(row.get("triggered_timestamp").as_double().value_or(0));
  return property;
}

std::optional<APMRecord> conditionalPropertyRecord(const APMConditionalUserProperty& property) {
  if (property.name().empty()) {
    databaseAudiencesMonitor().logWithLevel(1, 12040,
                           "Received conditional user property with empty name for getting dictionary representation");
    return std::nullopt;
  }
  if (property.origin().empty()) {
    databaseAudiencesMonitor().logWithLevel(1, 12041,
                           "Received conditional user property with empty origin for getting dictionary representation");
    return std::nullopt;
  }
  if (!property.value()) {
    databaseAudiencesMonitor().logWithLevel(1, 12042,
                           "Received conditional user property with nil value for getting dictionary representation");
    return std::nullopt;
  }
  APMRecord record{{"name", Value(property.name())},
                   {"origin", Value(property.origin())},
                   {"value", APMStorableValue(*property.value())},
                   {"creation_timestamp", Value(property.creationTimestamp())},
                   {"active", Value(property.isActive() ? 1 : 0)},
                   {"trigger_timeout", Value(property.triggerTimeout())},
                   {"triggered_timestamp", Value(property.triggeredTimestamp())},
                   {"time_to_live", Value(property.timeToLive())}};
  if (!property.triggerEventName().empty()) record.set("trigger_event_name", Value(property.triggerEventName()));
  const std::pair<const char*, const APMEventRef*> events[] = {{"triggered_event", &property.triggeredEvent()},
                                                               {"timed_out_event", &property.timedOutEvent()},
                                                               {"expired_event", &property.expiredEvent()}};
  for (const auto& entry : events) {
    if (!*entry.second) continue;
    auto blob = APMEventBlob(**entry.second);
    if (blob) record.set(entry.first, Value(std::move(*blob)));
  }
  return record;
}

}  // namespace

// MARK: Audiences

std::optional<std::vector<std::int64_t>> APMDatabase::allAudienceIDs(APMErrorOut error) {
  auto rows =
      records("SELECT audience_id FROM event_filters UNION SELECT audience_id FROM property_filters", {}, error);
  if (!rows) return std::nullopt;
  std::vector<std::int64_t> ids;
  for (const auto& row : *rows) {
    const Value& id = row.get("audience_id");
    if (!APMCheckSuccess(id.is_integer(), error, 1, "Received nil audience ID for querying all audience IDs"))
      return std::nullopt;
    ids.push_back(*id.as_int());
  }
  return ids;
}

std::optional<std::vector<std::shared_ptr<APMEventFilter>>> APMDatabase::eventFiltersForEventName(
    std::string_view eventName, APMErrorOut error) {
  if (!APMCheckSuccess(!eventName.empty(), error, 1, "Received empty event name for getting event filters"))
    return std::nullopt;
  const Value name(eventName);
  return dataTypesFromTableWithName<APMEventFilter>(kEventFilters, "event_name", &name, error, eventFilterFromRow);
}

std::optional<std::vector<std::shared_ptr<APMPropertyFilter>>> APMDatabase::propertyFiltersForPropertyName(
    std::string_view propertyName, APMErrorOut error) {
  if (!APMCheckSuccess(!propertyName.empty(), error, 1, "Received empty property name for getting property filters"))
    return std::nullopt;
  const Value name(propertyName);
  return dataTypesFromTableWithName<APMPropertyFilter>(kPropertyFilters, "property_name", &name, error,
                                                       propertyFilterFromRow);
}

std::shared_ptr<APMFilterResult> APMDatabase::filterResultForAudienceID(std::int32_t audienceID, APMErrorOut error) {
  const Value id(audienceID);
  auto results = dataTypesFromTableWithName<APMFilterResult>(kFilterValues, "audience_id", &id, error,
                                                             filterResultFromRow);
  if (!results || results->empty()) return nullptr;
  return results->front();
}

std::map<std::int32_t, std::shared_ptr<APMFilterResult>> APMDatabase::allFilterResults(APMErrorOut error) {
  std::map<std::int32_t, std::shared_ptr<APMFilterResult>> byAudience;
  auto results = allDataTypesFromTableWithName<APMFilterResult>(kFilterValues, -1, error, filterResultFromRow);
  for (const auto& result : results.value_or(std::vector<std::shared_ptr<APMFilterResult>>{})) {
    byAudience[result->audienceID()] = result;
  }
  return byAudience;
}

bool APMDatabase::updateEventFilters(const std::vector<std::shared_ptr<APMEventFilter>>& filters, APMErrorOut error) {
  if (!APMCheckSuccess(!filters.empty(), error, 1, "Received empty event filters to update")) return false;
  auto* store = openStore(error);
  return store && upsertEach<APMEventFilter>(store, filters, kEventFilters, eventFilterRecord, error);
}

bool APMDatabase::updatePropertyFilters(const std::vector<std::shared_ptr<APMPropertyFilter>>& filters,
                                        APMErrorOut error) {
  if (!APMCheckSuccess(!filters.empty(), error, 1, "Received empty property filters to update")) return false;
  auto* store = openStore(error);
  return store && upsertEach<APMPropertyFilter>(store, filters, kPropertyFilters, propertyFilterRecord, error);
}

bool APMDatabase::updateFilterResults(const std::vector<std::shared_ptr<APMFilterResult>>& results,
                                      APMErrorOut error) {
  if (!APMCheckSuccess(!results.empty(), error, 1, "Received empty filter results to update")) return false;
  auto* store = openStore(error);
  return store && upsertEach<APMFilterResult>(store, results, kFilterValues, filterResultRecord, error);
}

bool APMDatabase::deleteFilterResults(const std::vector<std::shared_ptr<APMFilterResult>>& results,
                                      APMErrorOut error) {
  if (!APMCheckSuccess(!results.empty(), error, 1, "Received empty filter results to delete")) return false;
  std::vector<std::int32_t> ids;
  for (const auto& result : results) {
    if (!APMCheckNotNil(result, error, 1, "Received unknown type to delete filter result")) return false;
    if (std::find(ids.begin(), ids.end(), result->audienceID()) == ids.end()) ids.push_back(result->audienceID());
  }
  std::string list;
  for (auto id : ids) list += (list.empty() ? "" : ",") + std::to_string(id);
  auto* store = openStore(error);
  return store &&
         store->deleteRecordsFromTableWithName(kFilterValues, "audience_id IN (" + list + ")", {}, error).has_value();
}

bool APMDatabase::deleteEventFilters(const std::vector<std::shared_ptr<APMEventFilter>>& filters, APMErrorOut error) {
  if (!APMCheckSuccess(!filters.empty(), error, 1, "Received empty event filters to delete")) return false;
  auto condition = filterKeysCondition(filters, error, "Received unknown type to delete event filter");
  auto* store = condition ? openStore(error) : nullptr;
  return store && store->deleteRecordsFromTableWithName(kEventFilters, *condition, {}, error).has_value();
}

bool APMDatabase::deletePropertyFilters(const std::vector<std::shared_ptr<APMPropertyFilter>>& filters,
                                        APMErrorOut error) {
  if (!APMCheckSuccess(!filters.empty(), error, 1, "Received empty property filters to delete")) return false;
  auto condition = filterKeysCondition(filters, error, "Received unknown type to delete property filter");
  auto* store = condition ? openStore(error) : nullptr;
  return store && store->deleteRecordsFromTableWithName(kPropertyFilters, *condition, {}, error).has_value();
}

bool APMDatabase::deleteAllEventFilters(APMErrorOut error) {
  auto* store = openStore(error);
  return store && store->deleteAllRecordsFromTableWithName(kEventFilters, error);
}

bool APMDatabase::deleteAllPropertyFilters(APMErrorOut error) {
  auto* store = openStore(error);
  return store && store->deleteAllRecordsFromTableWithName(kPropertyFilters, error);
}

// MARK: Conditional user properties

APMConditionalUserPropertyRef APMDatabase::conditionalUserPropertyWithName(std::string_view name, APMErrorOut error) {
  const Value key(name);
  auto properties = dataTypesFromTableWithName<APMConditionalUserProperty>(kConditionalProperties, "name", &key,
                                                                          error, conditionalPropertyFromRow);
  if (!properties || properties->empty()) return nullptr;
  return properties->front();
}

bool APMDatabase::updateConditionalUserProperty(const APMConditionalUserProperty* property, APMErrorOut error) {
  if (!property) databaseAudiencesMonitor().logWithLevel(1, 12039, "Received empty conditional user property for getting dictionary representation");
  const Value key(property ? property->name() : std::string());
  DictionaryBlock<APMConditionalUserProperty> toRecord = [](const APMConditionalUserProperty& p, std::string_view) {
    return conditionalPropertyRecord(p);
  };
  return upsertDataType<APMConditionalUserProperty>(property, kConditionalProperties, "name", key,
                                                    kConditionalPropertyLimit, error, toRecord);
}

bool APMDatabase::deleteConditionalUserPropertyWithName(std::string_view name, APMErrorOut error) {
  const Value key(name);
  auto* store = openStore(error);
  return store && store->deleteRecordFromTableWithName(kConditionalProperties, "name", &key, error);
}

std::optional<std::vector<APMConditionalUserPropertyRef>> APMDatabase::timedOutConditionalUserPropertiesWithError(
    APMErrorOut error) {
  return conditionalUserPropertiesWithCondition("active=0 and abs(? - creation_timestamp) > trigger_timeout",
                                                {Value(APMDatabaseNow())}, error);
}

std::optional<std::vector<APMConditionalUserPropertyRef>> APMDatabase::expiredConditionalUserPropertiesWithError(
    APMErrorOut error) {
  return conditionalUserPropertiesWithCondition("active=1 and abs(? - triggered_timestamp) > time_to_live",
                                                {Value(APMDatabaseNow())}, error);
}

std::optional<std::vector<APMConditionalUserPropertyRef>>
APMDatabase::triggeredConditionalUserPropertiesWithEventName(std::string_view eventName, APMErrorOut error) {
  if (!APMCheckSuccess(!eventName.empty(), error, 1,
                       "Received nil/empty event name for querying triggered conditional user properties"))
    return std::nullopt;
  return conditionalUserPropertiesWithCondition(
      "active=0 and trigger_event_name=? and abs(? - creation_timestamp) <= trigger_timeout",
      {Value(eventName), Value(APMDatabaseNow())}, error);
}

std::optional<std::vector<APMConditionalUserPropertyRef>> APMDatabase::conditionalUserPropertiesWithPrefix(
    std::string_view prefix, std::string_view origin, APMErrorOut error) {
  std::string condition;
  Array parameters;
  if (!origin.empty()) {
    condition = "origin LIKE ?";
    parameters.emplace_back(origin);
  }
  if (!prefix.empty()) {
    condition += condition.empty() ? "" : " AND ";
    condition += "name LIKE ? || '%'";
    parameters.emplace_back(prefix);
  }
  if (condition.empty()) condition = "1 == 1";
  return conditionalUserPropertiesWithCondition(condition, parameters, error);
}

std::optional<std::vector<APMConditionalUserPropertyRef>> APMDatabase::conditionalUserPropertiesWithCondition(
    std::string_view condition, const Array& parameterValues, APMErrorOut error) {
  if (!APMCheckSuccess(!condition.empty(), error, 1, "Received empty condition for querying a conditional user property"))
    return std::nullopt;
  auto rows = records("SELECT rowid, * FROM conditional_properties WHERE " + std::string(condition), parameterValues,
                      error);
  if (!rows) return std::nullopt;
  std::vector<APMConditionalUserPropertyRef> properties;
  for (const auto& row : *rows) {
    if (auto property = conditionalPropertyFromRow(row)) properties.push_back(std::move(property));
  }
  return properties;
}

// MARK: Complex events

std::optional<std::pair<APMEventRef, std::int64_t>> APMDatabase::mainEventAndChildCountPairWithEventID(
    std::int64_t eventID, APMErrorOut error) {
  auto rows = records("SELECT * FROM main_event_params WHERE event_id=? LIMIT 1", {Value(static_cast<long long>(eventID))},
                      error);
  if (!rows || rows->empty()) return std::nullopt;
  const APMRecord& row = rows->front();
  auto event = APMEventFromBlob(row.get("main_event"), error);
  if (!APMCheckNotNil(event, error, 3, "Main event blob is nil in database")) return std::nullopt;
  const Value& count = row.get("children_to_process");
  if (!APMCheckSuccess(count.is_integer(), error, 3, "Complex event does not have children count in database"))
    return std::nullopt;
  return std::make_pair(std::move(event), *count.as_int());
}

bool APMDatabase::updateComplexEventForAudienceEvaluationWithEventID(std::int64_t eventID, std::int64_t childEventCount,
                                                                     const APMEvent* mainEvent, APMErrorOut error) {
  if (!APMCheckNotNil(mainEvent, error, 1, "Received nil main event")) return false;
  auto blob = APMEventBlob(*mainEvent);
  if (!APMCheckNotNil(blob, error, 1, "Cannot create the main event blob")) return false;
  auto* store = openStore(error);
  return store && store->upsertRecord(APMRecord{{"main_event", Value(std::move(*blob))},
                                                {"event_id", Value(static_cast<long long>(eventID))},
                                                {"children_to_process", Value(static_cast<long long>(childEventCount))}},
                                      kMainEventParams, error);
}

bool APMDatabase::deleteComplexEventForAudienceEvaluationWithEventID(std::int64_t eventID, APMErrorOut error) {
  auto* store = openStore(error);
  return store && store->deleteRecordsFromTableWithName(kMainEventParams, "event_id=?",
                                                        {Value(static_cast<long long>(eventID))}, error)
                      .has_value();
}

}  // namespace analytics
