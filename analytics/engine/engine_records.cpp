// The engine's calls into the database's per-table operations and the
// audience evaluation.
#include "analytics/engine/engine_records.h"

#include "analytics/store/database.h"

namespace analytics::engine_records {

// The per-table operations of the database are not built yet: each answers
// the "Database not open" error, so the engine logs the failure and stores
// nothing.
std::optional<bool> containsUserAttributeWithName(APMDatabase&, std::string_view, APMErrorOut error) {
  APMSetDatabaseNotOpen(error);
  return std::nullopt;
}
APMUserAttributeRef userAttributeWithName(APMDatabase&, std::string_view, APMErrorOut error) {
  APMSetDatabaseNotOpen(error);
  return nullptr;
}
std::optional<std::vector<APMUserAttributeRef>> userAttributesIncludingInternal(APMDatabase&, bool, APMErrorOut error) {
  APMSetDatabaseNotOpen(error);
  return std::nullopt;
}
bool updateUserAttribute(APMDatabase&, const APMUserAttribute&, APMErrorOut error) {
  APMSetDatabaseNotOpen(error);
  return false;
}
bool deleteUserAttributeWithName(APMDatabase&, std::string_view, APMErrorOut error) {
  APMSetDatabaseNotOpen(error);
  return false;
}
std::optional<std::int64_t> publicUserAttributeCount(APMDatabase&, APMErrorOut error) {
  APMSetDatabaseNotOpen(error);
  return std::nullopt;
}
std::optional<std::int64_t> userAttributeCountForOrigin(APMDatabase&, std::string_view, APMErrorOut error) {
  APMSetDatabaseNotOpen(error);
  return std::nullopt;
}
std::shared_ptr<APMDailyCounts> dailyCounts(APMDatabase&, APMErrorOut error) {
  APMSetDatabaseNotOpen(error);
  return nullptr;
}
bool updateDailyCounts(APMDatabase&, const APMDailyCounts&, APMErrorOut error) {
  APMSetDatabaseNotOpen(error);
  return false;
}
std::shared_ptr<APMEventAggregates> eventAggregatesWithName(APMDatabase&, std::string_view, APMErrorOut error) {
  APMSetDatabaseNotOpen(error);
  return nullptr;
}
bool updateEventAggregates(APMDatabase&, const APMEventAggregates&, APMErrorOut error) {
  APMSetDatabaseNotOpen(error);
  return false;
}
std::optional<std::int64_t> publicEventCount(APMDatabase&, APMErrorOut error) {
  APMSetDatabaseNotOpen(error);
  return std::nullopt;
}
bool insertIfNotExistsRawEventMetadata(APMDatabase&, const wire::RIDUZMeasurementBundle&, APMErrorOut error) {
  APMSetDatabaseNotOpen(error);
  return false;
}
std::optional<std::int64_t> deleteRawEventsOverAbsoluteLimit(APMDatabase&, std::int64_t, APMErrorOut error) {
  APMSetDatabaseNotOpen(error);
  return std::nullopt;
}
bool insertRawEvent(APMDatabase&, const APMEvent&, std::int64_t, bool, APMErrorOut error) {
  APMSetDatabaseNotOpen(error);
  return false;
}
std::optional<bool> maybeDeleteStaleData(APMDatabase&, APMErrorOut error) {
  APMSetDatabaseNotOpen(error);
  return std::nullopt;
}

// The audience evaluation is not built yet: no audience can be made.
std::shared_ptr<APMAudience> makeAudience(const std::shared_ptr<APMDatabase>&) { return nullptr; }
bool evaluateFiltersForUserProperty(APMAudience*, const APMUserAttribute&) { return false; }
bool receiptVersionMatchesBundle() { return true; }

}  // namespace analytics::engine_records
