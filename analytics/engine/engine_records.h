#pragma once
// The engine's calls into the analytics database's per-table operations and
// into the audience evaluation, gathered in one place: the engine reaches
// them only through these functions.
// Thread: the engine's worker queue.
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "analytics/model/daily_records.h"
#include "analytics/model/event.h"
#include "analytics/model/records.h"
#include "analytics/support/errors.h"
#include "wire/measurement/measurement.h"

namespace analytics {

class APMAudience;
class APMDatabase;

namespace engine_records {

// User attributes.
std::optional<bool> containsUserAttributeWithName(APMDatabase& db, std::string_view name, APMErrorOut error);
APMUserAttributeRef userAttributeWithName(APMDatabase& db, std::string_view name, APMErrorOut error);
std::optional<std::vector<APMUserAttributeRef>> userAttributesIncludingInternal(APMDatabase& db, bool includeInternal,
                                                                                APMErrorOut error);
bool updateUserAttribute(APMDatabase& db, const APMUserAttribute& attribute, APMErrorOut error);
bool deleteUserAttributeWithName(APMDatabase& db, std::string_view name, APMErrorOut error);
std::optional<std::int64_t> publicUserAttributeCount(APMDatabase& db, APMErrorOut error);
std::optional<std::int64_t> userAttributeCountForOrigin(APMDatabase& db, std::string_view origin, APMErrorOut error);

// Daily counts and aggregates.
std::shared_ptr<APMDailyCounts> dailyCounts(APMDatabase& db, APMErrorOut error);
bool updateDailyCounts(APMDatabase& db, const APMDailyCounts& counts, APMErrorOut error);
std::shared_ptr<APMEventAggregates> eventAggregatesWithName(APMDatabase& db, std::string_view name, APMErrorOut error);
bool updateEventAggregates(APMDatabase& db, const APMEventAggregates& aggregates, APMErrorOut error);
std::optional<std::int64_t> publicEventCount(APMDatabase& db, APMErrorOut error);

// Raw events.
bool insertIfNotExistsRawEventMetadata(APMDatabase& db, const wire::RIDUZMeasurementBundle& metadata,
                                       APMErrorOut error);
// Keeps the newest maxEventsStored - 1; the number deleted.
std::optional<std::int64_t> deleteRawEventsOverAbsoluteLimit(APMDatabase& db, APMErrorOut error);
bool insertRawEvent(APMDatabase& db, const APMEvent& event, std::int64_t metadataFingerprint, bool isRealtime,
                    APMErrorOut error);
// Upload queue.
std::optional<bool> maybeDeleteStaleData(APMDatabase& db, APMErrorOut error);

// Audiences: nullptr when none can be made.
std::shared_ptr<APMAudience> makeAudience(const std::shared_ptr<APMDatabase>& db);
bool evaluateFiltersForUserProperty(APMAudience* audience, const APMUserAttribute& attribute);
// The store receipt's version matches the bundle's.
bool receiptVersionMatchesBundle();

}  // namespace engine_records
}  // namespace analytics
