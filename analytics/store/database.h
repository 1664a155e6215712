#pragma once
// APMDatabase: the analytics engine's database file over one APMSqliteStore —
// its place, the twelve-table schema and its migration, the app-metadata row,
// the typed record operations and the stored server configuration.
// Thread: the engine's worker queue; no lock of its own.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analytics/config/remote_config_sources.h"
#include "analytics/model/daily_records.h"
#include "analytics/model/event.h"
#include "analytics/model/records.h"
#include "analytics/store/conditional_user_property.h"
#include "analytics/store/sqlite_store.h"

namespace analytics {

class APMPersistedConfig;

// One table of the schema: its elementary, add-on and modify descriptions.
struct APMTableSchema {
  std::string name;
  APMColumnInfo elementary;
  APMColumnInfo addOn;
  APMModifyColumnInfo modify;
};

// A queued bundle with its row ID, the unit the upload step takes.
using APMBundlePair = std::pair<std::shared_ptr<wire::RIDUZMeasurementBundle>, std::int64_t>;

// A queued bundle as bytes: the inflated message with the row's retry count
// in its field, exactly what the decoded bundle encodes to.
struct APMEncodedBundle {
  platform::foundation::Bytes bytes;
  std::int64_t rowID = 0;
};

class APMDatabase : public APMRemoteConfigDatabase {
 public:
  static constexpr std::string_view kDatabaseName = "dozada-app-measurement.sql";

  // The schema, in the order tables are ensured.
  static const std::vector<APMTableSchema>& schema();

  // nullptr for an empty name (12000) or when the file cannot be opened and
  // brought up to date.
  static std::shared_ptr<APMDatabase> initWithDatabaseName(std::string_view name,
                                                           std::shared_ptr<APMPersistedConfig> persistedConfig);
  // Same, at a full path.
  static std::shared_ptr<APMDatabase> initWithDatabasePath(std::string_view path,
                                                           std::shared_ptr<APMPersistedConfig> persistedConfig);

  // Deletes the file and builds it anew.
  void reset();
  bool performTransaction(const std::function<bool()>& block);
  bool initializeAppMetadata();
  bool initializeDatabaseResourcesWithContext(std::string_view context, std::string_view path);
  bool ensureAllTables();

  // The store; nullptr after a failed reset (every operation then fails
  // "Database not open").
  APMSqliteStore* sqliteStore() const { return store_.get(); }
  const std::shared_ptr<APMPersistedConfig>& persistedConfig() const { return persistedConfig_; }

  // Typed record operations. A conversion block answers nullopt for a row or
  // object it cannot convert.
  template <class T>
  using DataTypeBlock = std::function<std::shared_ptr<T>(const APMRecord& row)>;
  template <class T>
  using DictionaryBlock = std::function<std::optional<APMRecord>(const T& object, std::string_view table)>;

  template <class T>
  std::optional<std::vector<std::shared_ptr<T>>> allDataTypesFromTableWithName(std::string_view table,
                                                                               std::int64_t tableLimit,
                                                                               APMErrorOut error,
                                                                               const DataTypeBlock<T>& block);
  template <class T>
  std::optional<std::vector<std::shared_ptr<T>>> dataTypesFromTableWithName(
      std::string_view table, std::string_view column, const platform::foundation::Value* value, APMErrorOut error,
      const DataTypeBlock<T>& block);
  template <class T>
  bool insertDataType(const T* object, std::string_view table, APMErrorOut error, const DictionaryBlock<T>& block);
  template <class T>
  bool upsertDataType(const T* object, std::string_view table, std::string_view column,
                      const platform::foundation::Value& value, std::int64_t tableLimit, APMErrorOut error,
                      const DictionaryBlock<T>& block);
  template <class T>
  bool updateDataType(const T* object, std::string_view table, std::string_view column,
                      const platform::foundation::Value& value, APMErrorOut error, const DictionaryBlock<T>& block);

  // App metadata row.
  std::shared_ptr<APMAppMetadata> queryAppMetadata(APMErrorOut error);
  bool updateAppMetadata(const APMAppMetadata& metadata, APMErrorOut error);

  // Server configuration (the remote configuration's database).
  bool updateRemoteConfig(const wire::RIDUZMeasurementConfig& config, APMErrorOut error) override;
  bool updateRemoteConfigSuccessfulTimestamp(double timestamp, APMErrorOut error);
  std::shared_ptr<wire::RIDUZMeasurementConfig> queryMeasurementConfigWithError(APMErrorOut error) override;
  std::optional<double> lastRemoteConfigUpdateTimestamp(APMErrorOut error) override;

  // Raw events and their shared metadata (database_raw_events.cpp).
  bool insertIfNotExistsRawEventMetadata(const wire::RIDUZMeasurementBundle& metadata, APMErrorOut error);
  std::shared_ptr<wire::RIDUZMeasurementBundle> queryRawEventsMetadataWithFingerprint(std::int64_t fingerprint,
                                                                                     APMErrorOut error);
  bool deleteRawEventMetadataWithMetadataFingerprint(std::int64_t fingerprint, APMErrorOut error);
  bool deleteUnusedRawEventsMetadata(APMErrorOut error);
  std::optional<bool> isRawEventsTableEmpty(APMErrorOut error);
  bool insertRawEvent(const APMEvent* event, std::int64_t metadataFingerprint, bool isRealtime, APMErrorOut error);
  // Seconds since 1970 of the newest raw event; nullopt (no error) when empty.
  std::optional<double> queryLatestRawEventTime(APMErrorOut error);
  // Up to 1000 raw events of the fingerprint, oldest first, while `filter`
  // (accepted count, row) accepts them; an empty filter accepts all.
  std::optional<std::vector<std::shared_ptr<APMRawEventData>>> rawEventsWithMetadataFingerprint(
      std::int64_t fingerprint, APMErrorOut error, const APMRecordFilter& filter);
  std::optional<bool> containsRawEventWithMetadataFingerprint(std::int64_t fingerprint, APMErrorOut error);
  bool deleteRawEventsWithMaxRowID(std::int64_t rowID, APMErrorOut error);
  // Keeps the newest maxEventsStored - 1; the number of rows deleted.
  std::optional<std::int64_t> deleteRawEventsOverAbsoluteLimit(APMErrorOut error);
  bool deleteStaleRawEventsDataOlderThanMaxAge(double maxAge, APMErrorOut error);
  // The fingerprint of the oldest raw event; nullopt (no error) when empty.
  std::optional<std::int64_t> nextMetadataFingerprintToProcess(APMErrorOut error);
  std::shared_ptr<APMRawEventData> rawEventDataFromDictionary(const APMRecord& row, APMErrorOut error);
  std::optional<bool> containsRealtimeRawEventsWithError(APMErrorOut error);

  // Upload queue (database_queue.cpp).
  std::optional<bool> isQueuedBundleTableEmpty(APMErrorOut error);
  // Stores the bundle gzip-compressed; may first delete stale data.
  bool insertBundle(const wire::RIDUZMeasurementBundle& bundle, bool isRealtime, APMErrorOut error);
  // The same for a bundle already encoded (`bytes`, nullopt when encoding
  // failed); `fields` carries its app ID, end time and retry count.
  bool insertEncodedBundle(const std::optional<platform::foundation::Bytes>& bytes,
                           const wire::RIDUZMeasurementBundle& fields, bool isRealtime, APMErrorOut error);
  // Adds one to each bundle's retry count, never past the int32 maximum.
  bool incrementRetryCounterForBundlesWithIDs(const std::vector<std::int64_t>& rowIDs, APMErrorOut error);
  // Oldest end first, at most `countLimit`, while the uncompressed sizes stay
  // within `sizeLimit` (the first bundle is always taken).
  std::optional<std::vector<APMBundlePair>> queryBundlesWithCountLimit(std::int64_t countLimit, std::int64_t sizeLimit,
                                                                      APMErrorOut error);
  // The same rows as bytes, checked but not decoded.
  std::optional<std::vector<APMEncodedBundle>> queryEncodedBundlesWithCountLimit(std::int64_t countLimit,
                                                                                std::int64_t sizeLimit,
                                                                                APMErrorOut error);
  std::optional<std::vector<APMBundlePair>> queryBundlesWithRowIDs(const std::vector<std::int64_t>& rowIDs,
                                                                  APMErrorOut error);
  bool deleteBundlesWithRowIDs(const std::vector<std::int64_t>& rowIDs, APMErrorOut error);
  // true when the stale deletion ran, false when its interval has not passed,
  // nullopt when it failed.
  std::optional<bool> maybeDeleteStaleData(APMErrorOut error);
  bool deleteStaleBundlesOlderThanMaxAge(double maxAge, APMErrorOut error);
  std::optional<double> queryLatestBundleTime(APMErrorOut error);
  std::optional<bool> containsRealtimeBundlesWithError(APMErrorOut error);

  // Daily counts, event aggregates, user attributes and purchase
  // fingerprints (database_metadata.cpp).
  std::shared_ptr<APMDailyCounts> dailyCounts(APMErrorOut error);
  bool updateDailyCounts(const APMDailyCounts& counts, APMErrorOut error);
  std::optional<std::int64_t> publicEventCount(APMErrorOut error);
  std::optional<std::vector<std::shared_ptr<APMEventAggregates>>> allEventAggregates(APMErrorOut error);
  std::shared_ptr<APMEventAggregates> eventAggregatesWithName(std::string_view name, APMErrorOut error);
  bool updateEventAggregates(const APMEventAggregates* aggregates, APMErrorOut error);
  std::optional<std::int64_t> publicUserAttributeCount(APMErrorOut error);
  std::optional<std::int64_t> userAttributeCountForOrigin(std::string_view origin, APMErrorOut error);
  std::optional<bool> containsUserAttributeWithName(std::string_view name, APMErrorOut error);
  APMUserAttributeRef userAttributeWithName(std::string_view name, APMErrorOut error);
  // User attributes whose names begin with the literal "_ltv_", newest first.
  std::optional<std::vector<APMUserAttributeRef>> allLifetimeValueUserAttributes(APMErrorOut error);
  std::optional<std::vector<APMUserAttributeRef>> userAttributesIncludingInternal(bool includeInternal,
                                                                                 APMErrorOut error);
  bool updateUserAttribute(const APMUserAttribute* attribute, APMErrorOut error);
  bool deleteUserAttributeWithName(std::string_view name, APMErrorOut error);
  // true for a new purchase (stored), false for a duplicate or an empty
  // fingerprint, nullopt when the table cannot be read or written.
  std::optional<bool> insertIfNotDuplicatePurchaseFingerprint(std::string_view fingerprint, APMErrorOut error);

  // Audiences: event and property filters, filter results (database_audiences.cpp).
  std::optional<std::vector<std::int64_t>> allAudienceIDs(APMErrorOut error);
  std::optional<std::vector<std::shared_ptr<APMEventFilter>>> eventFiltersForEventName(std::string_view eventName,
                                                                                       APMErrorOut error);
  std::optional<std::vector<std::shared_ptr<APMPropertyFilter>>> propertyFiltersForPropertyName(
      std::string_view propertyName, APMErrorOut error);
  std::shared_ptr<APMFilterResult> filterResultForAudienceID(std::int32_t audienceID, APMErrorOut error);
  // Audience ID to its result, in rowid order; empty when the read fails.
  std::map<std::int32_t, std::shared_ptr<APMFilterResult>> allFilterResults(APMErrorOut error);
  // Bulk writes stop at the first failure; earlier elements stay written. A
  // nullptr element is refused.
  bool updateEventFilters(const std::vector<std::shared_ptr<APMEventFilter>>& filters, APMErrorOut error);
  bool updatePropertyFilters(const std::vector<std::shared_ptr<APMPropertyFilter>>& filters, APMErrorOut error);
  bool updateFilterResults(const std::vector<std::shared_ptr<APMFilterResult>>& results, APMErrorOut error);
  bool deleteFilterResults(const std::vector<std::shared_ptr<APMFilterResult>>& results, APMErrorOut error);
  bool deleteEventFilters(const std::vector<std::shared_ptr<APMEventFilter>>& filters, APMErrorOut error);
  bool deletePropertyFilters(const std::vector<std::shared_ptr<APMPropertyFilter>>& filters, APMErrorOut error);
  bool deleteAllEventFilters(APMErrorOut error);
  bool deleteAllPropertyFilters(APMErrorOut error);

  // Conditional user properties (database_audiences.cpp).
  APMConditionalUserPropertyRef conditionalUserPropertyWithName(std::string_view name, APMErrorOut error);
  bool updateConditionalUserProperty(const APMConditionalUserProperty* property, APMErrorOut error);
  bool deleteConditionalUserPropertyWithName(std::string_view name, APMErrorOut error);
  std::optional<std::vector<APMConditionalUserPropertyRef>> timedOutConditionalUserPropertiesWithError(
      APMErrorOut error);
  std::optional<std::vector<APMConditionalUserPropertyRef>> expiredConditionalUserPropertiesWithError(
      APMErrorOut error);
  std::optional<std::vector<APMConditionalUserPropertyRef>> triggeredConditionalUserPropertiesWithEventName(
      std::string_view eventName, APMErrorOut error);
  // Names starting with `prefix` and origins matching `origin` (SQL LIKE:
  // "_" and "%" are wildcards, ASCII letters match either case); empty
  // arguments match everything.
  std::optional<std::vector<APMConditionalUserPropertyRef>> conditionalUserPropertiesWithPrefix(
      std::string_view prefix, std::string_view origin, APMErrorOut error);
  std::optional<std::vector<APMConditionalUserPropertyRef>> conditionalUserPropertiesWithCondition(
      std::string_view condition, const platform::foundation::Array& parameterValues, APMErrorOut error);

  // Complex events of the audience evaluation (database_audiences.cpp).
  std::optional<std::pair<APMEventRef, std::int64_t>> mainEventAndChildCountPairWithEventID(std::int64_t eventID,
                                                                                           APMErrorOut error);
  bool updateComplexEventForAudienceEvaluationWithEventID(std::int64_t eventID, std::int64_t childEventCount,
                                                          const APMEvent* mainEvent, APMErrorOut error);
  bool deleteComplexEventForAudienceEvaluationWithEventID(std::int64_t eventID, APMErrorOut error);

 private:
  APMDatabase() = default;
  // The rows of a query, or nullopt after a "Database not open" error.
  std::optional<std::vector<APMRecord>> records(std::string_view query, const platform::foundation::Array& values,
                                                APMErrorOut error);
  // The query's single number as a double; nullopt for NULL or a failure.
  std::optional<double> realForQuery(std::string_view query, APMErrorOut error);
  // The query's single number as a flag or count; nullopt when it fails.
  std::optional<std::int64_t> integerForQuery(std::string_view query, const platform::foundation::Array& values,
                                              APMErrorOut error);
  // The store, or nullptr after setting the "Database not open" error.
  APMSqliteStore* openStore(APMErrorOut error);

  std::unique_ptr<APMSqliteStore> store_;
  std::shared_ptr<APMPersistedConfig> persistedConfig_;
};

// Sets the "Database not open" error of an operation on a database without store.
void APMSetDatabaseNotOpen(APMErrorOut error);

template <class T>
std::optional<std::vector<std::shared_ptr<T>>> APMDatabase::allDataTypesFromTableWithName(
    std::string_view table, std::int64_t tableLimit, APMErrorOut error, const DataTypeBlock<T>& block) {
  if (!APMCheckNotNil(block, error, 1, "Received nil block to get all data types")) return std::nullopt;
  auto rows = records("SELECT rowid, * FROM " + std::string(table) + " ORDER BY rowid LIMIT " +
                          std::to_string(tableLimit),
                      {}, error);
  if (!rows) return std::nullopt;
  std::vector<std::shared_ptr<T>> objects;
  for (const auto& row : *rows) {
    if (auto object = block(row)) objects.push_back(std::move(object));
  }
  return objects;
}

template <class T>
std::optional<std::vector<std::shared_ptr<T>>> APMDatabase::dataTypesFromTableWithName(
    std::string_view table, std::string_view column, const platform::foundation::Value* value, APMErrorOut error,
    const DataTypeBlock<T>& block) {
  if (!APMCheckSuccess(!table.empty(), error, 1, "Received empty table name to create data type from table"))
    return std::nullopt;
  if (!APMCheckSuccess(!column.empty(), error, 1, "Received empty column name to create data type from table"))
    return std::nullopt;
  if (!APMCheckNotNil(value, error, 1, "Received nil column value to create data type from table"))
    return std::nullopt;
  if (!APMCheckNotNil(block, error, 2, "Received nil block to create data type from table")) return std::nullopt;
  auto rows = records("SELECT rowid, * FROM " + std::string(table) + " WHERE " + std::string(column) + " = ?",
                      {*value}, error);
  if (!rows) return std::nullopt;
  std::vector<std::shared_ptr<T>> objects;
  for (const auto& row : *rows) {
    if (auto object = block(row)) objects.push_back(std::move(object));
  }
  if (!APMCheckSuccess(!(!rows->empty() && objects.empty()), error, 2, "Failed to initialize data types from dictionaries"))
    return std::nullopt;
  return objects;
}

template <class T>
bool APMDatabase::insertDataType(const T* object, std::string_view table, APMErrorOut error,
                                 const DictionaryBlock<T>& block) {
  if (!APMCheckSuccess(!table.empty(), error, 1, "Received empty table name for inserting")) return false;
  if (!APMCheckNotNil(block, error, 1, "Received nil block to create dictionary for inserting")) return false;
  auto record = object ? block(*object, table) : std::nullopt;
  if (!APMCheckNotNil(record, error, 2, "Failed to insert unknown data type")) return false;
  if (!store_) {
    APMSetDatabaseNotOpen(error);
    return false;
  }
  return store_->upsertRecord(*record, table, error);
}

template <class T>
bool APMDatabase::upsertDataType(const T* object, std::string_view table, std::string_view column,
                                 const platform::foundation::Value& value, std::int64_t tableLimit, APMErrorOut error,
                                 const DictionaryBlock<T>& block) {
  if (!APMCheckNotNil(object, error, 1, "Received empty data type to upsert")) return false;
  if (!APMCheckSuccess(!table.empty(), error, 1, "Received empty table name for checking upsert")) return false;
  if (!APMCheckNotNil(block, error, 1, "Received nil block to create dictionary for upserting")) return false;
  if (!store_) {
    APMSetDatabaseNotOpen(error);
    return false;
  }
  auto keyed = store_->rowCountForTableWithName(table, column, &value, error);
  if (!keyed) return false;
  auto all = store_->rowCountForTableWithName(table, error);
  if (!all) return false;
  if (!APMCheckSuccess(*keyed != 0 || *all < tableLimit, error, 2, "Failed to insert data type. Table is full"))
    return false;
  auto record = block(*object, table);
  if (!APMCheckNotNil(record, error, 2, "Failed to insert/update unknown data type")) return false;
  return store_->upsertRecord(*record, table, error);
}

template <class T>
bool APMDatabase::updateDataType(const T* object, std::string_view table, std::string_view column,
                                 const platform::foundation::Value& value, APMErrorOut error,
                                 const DictionaryBlock<T>& block) {
  if (!APMCheckNotNil(object, error, 1, "Received empty data type to update")) return false;
  if (!APMCheckSuccess(!table.empty(), error, 1, "Received empty table name for updating")) return false;
  if (!APMCheckNotNil(block, error, 1, "Received nil block to create dictionary for updating")) return false;
  if (!store_) {
    APMSetDatabaseNotOpen(error);
    return false;
  }
  auto keyed = store_->rowCountForTableWithName(table, column, &value, error);
  if (!APMCheckSuccess(keyed && *keyed != 0, error, 2, "Failed to update record. Item doesn't exist")) return false;
  auto record = block(*object, table);
  if (!APMCheckNotNil(record, error, 2, "Failed to update unknown data type")) return false;
  return store_->updateRecord(*record, table, column, &value, error);
}

}  // namespace analytics
