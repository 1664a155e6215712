// The engine's calls into the database's per-table operations and the
// audience evaluation.
#include "analytics/engine/engine_records.h"

#include "analytics/audiences/audience.h"
#include "analytics/purchases/receipt.h"
#include "analytics/store/database.h"

namespace analytics::engine_records {

std::optional<bool> containsUserAttributeWithName(APMDatabase& db, std::string_view name, APMErrorOut error) {
  return db.containsUserAttributeWithName(name, error);
}
APMUserAttributeRef userAttributeWithName(APMDatabase& db, std::string_view name, APMErrorOut error) {
  return db.userAttributeWithName(name, error);
}
std::optional<std::vector<APMUserAttributeRef>> userAttributesIncludingInternal(APMDatabase& db, bool includeInternal,
                                                                                APMErrorOut error) {
  return db.userAttributesIncludingInternal(includeInternal, error);
}
bool updateUserAttribute(APMDatabase& db, const APMUserAttribute& attribute, APMErrorOut error) {
  return db.updateUserAttribute(&attribute, error);
}
bool deleteUserAttributeWithName(APMDatabase& db, std::string_view name, APMErrorOut error) {
  return db.deleteUserAttributeWithName(name, error);
}
std::optional<std::int64_t> publicUserAttributeCount(APMDatabase& db, APMErrorOut error) {
  return db.publicUserAttributeCount(error);
}
std::optional<std::int64_t> userAttributeCountForOrigin(APMDatabase& db, std::string_view origin, APMErrorOut error) {
  return db.userAttributeCountForOrigin(origin, error);
}
std::shared_ptr<APMDailyCounts> dailyCounts(APMDatabase& db, APMErrorOut error) { return db.dailyCounts(error); }
bool updateDailyCounts(APMDatabase& db, const APMDailyCounts& counts, APMErrorOut error) {
  return db.updateDailyCounts(counts, error);
}
std::shared_ptr<APMEventAggregates> eventAggregatesWithName(APMDatabase& db, std::string_view name, APMErrorOut error) {
  return db.eventAggregatesWithName(name, error);
}
bool updateEventAggregates(APMDatabase& db, const APMEventAggregates& aggregates, APMErrorOut error) {
  return db.updateEventAggregates(&aggregates, error);
}
std::optional<std::int64_t> publicEventCount(APMDatabase& db, APMErrorOut error) { return db.publicEventCount(error); }
bool insertIfNotExistsRawEventMetadata(APMDatabase& db, const wire::RIDUZMeasurementBundle& metadata,
                                       APMErrorOut error) {
  return db.insertIfNotExistsRawEventMetadata(metadata, error);
}
std::optional<std::int64_t> deleteRawEventsOverAbsoluteLimit(APMDatabase& db, APMErrorOut error) {
  return db.deleteRawEventsOverAbsoluteLimit(error);
}
bool insertRawEvent(APMDatabase& db, const APMEvent& event, std::int64_t metadataFingerprint, bool isRealtime,
                    APMErrorOut error) {
  return db.insertRawEvent(&event, metadataFingerprint, isRealtime, error);
}
std::optional<bool> maybeDeleteStaleData(APMDatabase& db, APMErrorOut error) { return db.maybeDeleteStaleData(error); }

std::shared_ptr<APMAudience> makeAudience(const std::shared_ptr<APMDatabase>& db) {
  return APMAudience::initWithDatabase(db);
}
bool evaluateFiltersForUserProperty(APMAudience* audience, const APMUserAttribute& attribute) {
  return audience && audience->evaluateFiltersForUserProperty(&attribute);
}
bool receiptVersionMatchesBundle() { return APMReceiptVersionMatchesBundle(); }

}  // namespace analytics::engine_records
