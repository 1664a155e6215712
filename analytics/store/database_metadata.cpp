// APMDatabase: daily counts in the app-metadata row, event aggregates, user
// attributes and purchase fingerprints.
#include <cmath>

#include "analytics/config/persisted_config.h"
#include "analytics/model/name_tables.h"
#include "analytics/model/validator.h"
#include "analytics/store/database.h"
#include "analytics/store/database_rows.h"

namespace analytics {

namespace fd = platform::foundation;
using fd::Value;

namespace {

constexpr std::string_view kAppMetadata = "app_metadata";
constexpr std::string_view kEvents = "events";
constexpr std::string_view kUserAttributes = "user_attributes";
constexpr std::string_view kPurchases = "purchase_transactions";
constexpr std::int64_t kTableLimit = 1000;
constexpr std::int64_t kPurchasesKept = 1000;
constexpr std::string_view kLifetimeValuePrefix = "_ltv_";

APMMonitor& databaseMetadataMonitor() { return APMDatabaseMonitor(); }

std::int32_t int32Or(const Value& value, std::int32_t fallback) {
  return value.is_number() ? static_cast<std::int32_t>(*value.as_int()) : fallback;
}

std::optional<APMRecord> dailyCountsRecord(const APMDailyCounts& counts, std::string_view) {
  return APMRecord{{"day", Value(counts.day())},
                   {"daily_conversions_count", Value(counts.conversionsCount())},
                   {"daily_events_count", Value(counts.allEventsCount())},
                   {"daily_public_events_count", Value(counts.publicEventsCount())},
                   {"daily_error_events_count", Value(counts.errorEventsCount())},
                   {"daily_real_time_conversion_events_count", Value(counts.realtimeCount())}};
}

std::shared_ptr<APMEventAggregates> aggregatesFromRow(const APMRecord& row) {
  const auto* name = row.get("name").string();
  if (!name) return nullptr;
  auto aggregates = APMEventAggregates::initWithName(*name, int32Or(row.get("lifetime_count"), 0),
                                                     int32Or(row.get("current_bundle_count"), 0),
                                                     row.get("last_fire_timestamp").as_double().value_or(0));
  if (!aggregates) return nullptr;
  aggregates->setLastBundledTimestamp(row.get("last_bundled_timestamp").as_double().value_or(0));
  if (const Value& id = row.get("last_sampled_complex_event_id"); id.is_number()) {
    aggregates->setLastSampledComplexEventID(id);
  }
  aggregates->setLastSamplingRate(int32Or(row.get("last_sampling_rate"), 1));
  aggregates->setLastExemptFromSampling(row.get("last_exempt_from_sampling").as_int().value_or(0) != 0);
  aggregates->setLastBundledDay(int32Or(row.get("last_bundled_day"), 0));
  return aggregates;
}

std::optional<APMRecord> aggregatesRecord(const APMEventAggregates& aggregates, std::string_view) {
  if (aggregates.name().empty()) {
    databaseMetadataMonitor().logWithLevel(4, 12020,
                           "Received event aggregates object with empty name for getting dictionary representation");
    return std::nullopt;
  }
  APMRecord record{{"name", Value(aggregates.name())},
                   {"lifetime_count", Value(aggregates.lifetimeCount())},
                   {"current_bundle_count", Value(aggregates.currentBundleCount())},
                   {"last_fire_timestamp", Value(aggregates.lastFireTimestamp())},
                   {"last_bundled_timestamp", Value(aggregates.lastBundledTimestamp())},
                   {"last_sampling_rate", Value(aggregates.lastSamplingRate())},
                   {"last_exempt_from_sampling", Value(aggregates.lastExemptFromSampling() ? 1 : 0)},
                   {"last_bundled_day", Value(aggregates.lastBundledDay())}};
  if (aggregates.lastSampledComplexEventID().is_number()) {
    record.set("last_sampled_complex_event_id", aggregates.lastSampledComplexEventID());
  }
  return record;
}

APMUserAttributeRef userAttributeFromRow(const APMRecord& row) {
  const auto* name = row.get("name").string();
  if (!name) return nullptr;
  auto value = APMValue::valueFromObject(row.get("value"));
  if (!value) return nullptr;
  const auto* origin = row.get("origin").string();
  return APMUserAttribute::initWithOrigin(origin ? *origin : std::string(), *name, value,
                                          row.get("set_timestamp").as_double().value_or(0));
}

std::optional<APMRecord> userAttributeRecord(const APMUserAttribute& attribute, std::string_view) {
  if (!attribute.value()) {
    databaseMetadataMonitor().logWithLevel(4, 12021, "Received empty user property for getting dictionary representation");
    return std::nullopt;
  }
  if (attribute.origin().empty()) {
    databaseMetadataMonitor().logWithLevel(1, 12022, "Received user property with empty origin for getting dictionary representation");
    return std::nullopt;
  }
  if (attribute.name().empty()) {
    databaseMetadataMonitor().logWithLevel(4, 12023, "Received user property with empty name for getting dictionary representation");
    return std::nullopt;
  }
  if (attribute.value()->isString() && attribute.value()->stringValue().value_or("").empty()) {
    databaseMetadataMonitor().logWithLevel(1, 12024, "Received empty string value for user property");
    return std::nullopt;
  }
  return APMRecord{{"origin", Value(attribute.origin())},
                   {"name", Value(attribute.name())},
                   {"value", APMStorableValue(*attribute.value())},
                   {"set_timestamp", Value(attribute.lastSetTimestamp())}};
}

bool isPublicUserAttributeName(const std::string& name) {
  return !name.empty() && name.front() != '_' && !APMDataTypeValidator::hasReservedPrefixes(name) &&
         !APMUserPropertyNameTable().contains(name);
}

}  // namespace

// MARK: Daily counts

std::shared_ptr<APMDailyCounts> APMDatabase::dailyCounts(APMErrorOut error) {
  const double midnightOffset = persistedConfig_ ? persistedConfig_->midnightOffset() : 0;
  const auto today = static_cast<std::int32_t>(std::floor((APMDatabaseNow() - midnightOffset) / 86400));
  DataTypeBlock<APMDailyCounts> fromRow = [today](const APMRecord& row) -> std::shared_ptr<APMDailyCounts> {
    if (row.empty()) {
      databaseMetadataMonitor().logWithLevel(4, 12009, "Received empty dictionary for getting daily counts");
      return nullptr;
    }
    return std::make_shared<APMDailyCounts>(
        int32Or(row.get("day"), today), int32Or(row.get("daily_conversions_count"), 0),
        int32Or(row.get("daily_events_count"), 0), int32Or(row.get("daily_public_events_count"), 0),
        int32Or(row.get("daily_error_events_count"), 0), int32Or(row.get("daily_real_time_conversion_events_count"), 0));
  };
  auto counts = dataTypesFromTableWithName<APMDailyCounts>(kAppMetadata, "rowid", &APMAppMetadataKey(), error, fromRow);
  if (!counts || counts->empty()) return nullptr;
  return counts->front();
}

bool APMDatabase::updateDailyCounts(const APMDailyCounts& counts, APMErrorOut error) {
  return updateDataType<APMDailyCounts>(&counts, kAppMetadata, "rowid", APMAppMetadataKey(), error,
                                        dailyCountsRecord);
}

// MARK: Event aggregates

std::optional<std::int64_t> APMDatabase::publicEventCount(APMErrorOut error) {
  return integerForQuery("SELECT count(1) FROM events WHERE name NOT LIKE '!_%' ESCAPE '!'", {}, error);
}

std::optional<std::vector<std::shared_ptr<APMEventAggregates>>> APMDatabase::allEventAggregates(APMErrorOut error) {
  return allDataTypesFromTableWithName<APMEventAggregates>(kEvents, kTableLimit, error, aggregatesFromRow);
}

std::shared_ptr<APMEventAggregates> APMDatabase::eventAggregatesWithName(std::string_view name, APMErrorOut error) {
  const Value key(name);
  auto all = dataTypesFromTableWithName<APMEventAggregates>(kEvents, "name", &key, error, aggregatesFromRow);
  if (!all || all->empty()) return nullptr;
  return all->front();
}

bool APMDatabase::updateEventAggregates(const APMEventAggregates* aggregates, APMErrorOut error) {
  if (!aggregates) {
    databaseMetadataMonitor().logWithLevel(4, 12019, "Received empty event aggregates object for getting dictionary representation");
  }
  const Value key(aggregates ? aggregates->name() : std::string());
  return upsertDataType<APMEventAggregates>(aggregates, kEvents, "name", key, kTableLimit, error, aggregatesRecord);
}

// MARK: User attributes

std::optional<std::int64_t> APMDatabase::publicUserAttributeCount(APMErrorOut error) {
  return integerForQuery("SELECT count(1) FROM user_attributes WHERE name NOT LIKE '!_%' ESCAPE '!'", {}, error);
}

std::optional<std::int64_t> APMDatabase::userAttributeCountForOrigin(std::string_view origin, APMErrorOut error) {
  if (!APMCheckSuccess(!origin.empty(), error, 1, "Received empty user property origin for count query"))
    return std::nullopt;
  return integerForQuery("SELECT count(1) FROM user_attributes WHERE origin = ?", {Value(origin)}, error);
}

std::optional<bool> APMDatabase::containsUserAttributeWithName(std::string_view name, APMErrorOut error) {
  if (!APMCheckSuccess(!name.empty(), error, 1, "Received empty user property name for exists query"))
    return std::nullopt;
  auto exists =
      integerForQuery("SELECT EXISTS (SELECT 1 FROM user_attributes WHERE name = ? LIMIT 1)", {Value(name)}, error);
  if (!exists) return std::nullopt;
  return *exists != 0;
}

APMUserAttributeRef APMDatabase::userAttributeWithName(std::string_view name, APMErrorOut error) {
  const Value key(name);
  auto all = dataTypesFromTableWithName<APMUserAttribute>(kUserAttributes, "name", &key, error, userAttributeFromRow);
  if (!all || all->empty()) return nullptr;
  return all->front();
}

std::optional<std::vector<APMUserAttributeRef>> APMDatabase::allLifetimeValueUserAttributes(APMErrorOut error) {
  // The literal prefix: a LIKE pattern would take "_" as a wildcard and fold
  // case, matching names such as "xltvq" or "_LTV_x".
  auto rows = records("SELECT * FROM user_attributes WHERE substr(name, 1, 5) = ? ORDER BY set_timestamp DESC",
                      {Value(kLifetimeValuePrefix)}, error);
  if (!rows) return std::nullopt;
  std::vector<APMUserAttributeRef> attributes;
  for (const auto& row : *rows) {
    if (auto attribute = userAttributeFromRow(row)) attributes.push_back(std::move(attribute));
  }
  return attributes;
}

std::optional<std::vector<APMUserAttributeRef>> APMDatabase::userAttributesIncludingInternal(bool includeInternal,
                                                                                            APMErrorOut error) {
  auto all = allDataTypesFromTableWithName<APMUserAttribute>(kUserAttributes, kTableLimit, error, userAttributeFromRow);
  if (includeInternal) return all;
  std::vector<APMUserAttributeRef> publicOnes;
  for (const auto& attribute : all.value_or(std::vector<APMUserAttributeRef>{})) {
    if (isPublicUserAttributeName(attribute->name())) publicOnes.push_back(attribute);
  }
  return publicOnes;
}

bool APMDatabase::updateUserAttribute(const APMUserAttribute* attribute, APMErrorOut error) {
  if (!attribute) {
    databaseMetadataMonitor().logWithLevel(4, 12021, "Received empty user property for getting dictionary representation");
  }
  const Value key(attribute ? attribute->name() : std::string());
  return upsertDataType<APMUserAttribute>(attribute, kUserAttributes, "name", key, kTableLimit, error,
                                          userAttributeRecord);
}

bool APMDatabase::deleteUserAttributeWithName(std::string_view name, APMErrorOut error) {
  const Value key(name);
  auto* store = openStore(error);
  return store && store->deleteRecordFromTableWithName(kUserAttributes, "name", &key, error);
}

// MARK: Purchase fingerprints

std::optional<bool> APMDatabase::insertIfNotDuplicatePurchaseFingerprint(std::string_view fingerprint,
                                                                          APMErrorOut error) {
  if (fingerprint.empty()) return false;
  auto exists = integerForQuery("SELECT EXISTS (SELECT 1 FROM purchase_transactions WHERE fingerprint = ? LIMIT 1)",
                                {Value(fingerprint)}, error);
  if (!exists) return std::nullopt;
  if (*exists != 0) return false;
  auto* store = openStore(error);
  if (!store) return std::nullopt;
  if (!store->upsertRecord(APMRecord{{"fingerprint", Value(fingerprint)}}, kPurchases, error)) return std::nullopt;
  if (!store->deleteRecordsFromTableWithName(
          kPurchases, "rowid IN (SELECT rowid FROM purchase_transactions ORDER BY rowid DESC LIMIT -1 OFFSET ?)",
          {Value(kPurchasesKept)}, error)) {
    return std::nullopt;
  }
  return true;
}

}  // namespace analytics
