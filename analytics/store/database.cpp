// APMDatabase: schema, open and migration, the app-metadata row and the
// stored server configuration.
#include "analytics/store/database.h"

#include "analytics/store/database_rows.h"

#include "analytics/config/persisted_config.h"
#include "analytics/engine/measurement.h"
#include "analytics/support/files.h"
#include "platform/foundation/value.h"
#include "wire/runtime/nano_runtime.h"

namespace analytics {

namespace fd = platform::foundation;
using fd::Array;
using fd::Value;

namespace {

APMMonitor& databaseMonitor() { return APMMeasurement::monitor(); }

std::string withContext(std::string_view format, std::string_view context) {
  std::string text(format);
  text.replace(text.find("%@"), 2, context);
  return text;
}

const Value& appMetadataKey() { return APMAppMetadataKey(); }

std::optional<APMRecord> appMetadataRecord(const APMAppMetadata& m, std::string_view) {
  return APMRecord{{"rowid", appMetadataKey()},
                   {"last_bundle_index", Value(m.lastBundleIndex())},
                   {"last_bundle_start_timestamp", Value(m.lastBundleStartTimestamp())},
                   {"last_bundle_end_timestamp", Value(m.lastBundleEndTimestamp())}};
}

}  // namespace

void APMSetDatabaseNotOpen(APMErrorOut error) {
  APMSetErrorWithoutContext(error, 2, "Query records failed. Database not open.");
}

const std::vector<APMTableSchema>& APMDatabase::schema() {
  static const std::vector<APMTableSchema> tables = {
      {"app_metadata",
       {{"last_bundle_index", "INTEGER NOT NULL"}, {"last_bundle_end_timestamp", "REAL NOT NULL"}},
       {{"last_bundle_start_timestamp", "REAL"},
        {"day", "INTEGER"},
        {"daily_conversions_count", "INTEGER"},
        {"daily_events_count", "INTEGER"},
        {"daily_public_events_count", "INTEGER"},
        {"daily_error_events_count", "INTEGER"},
        {"remote_config_data", "BLOB"},
        {"remote_config_timestamp", "REAL"},
        {"daily_real_time_conversion_events_count", "INTEGER"}},
       {}},
      {"raw_events_metadata",
       {{"metadata_fingerprint", "INTEGER NOT NULL PRIMARY KEY"}, {"metadata", "BLOB NOT NULL"}},
       {},
       {}},
      {"raw_events",
       {{"name", "TEXT NOT NULL"},
        {"timestamp", "INTEGER NOT NULL"},
        {"metadata_fingerprint", "INTEGER NOT NULL"},
        {"data", "BLOB NOT NULL"}},
       {{"is_realtime", "INTEGER"}},
       {{"timestamp", "REAL NOT NULL"}}},
      {"events",
       {{"name", "TEXT NOT NULL PRIMARY KEY"},
        {"lifetime_count", "INTEGER NOT NULL"},
        {"current_bundle_count", "INTEGER NOT NULL"},
        {"last_fire_timestamp", "REAL NOT NULL"}},
       {{"last_bundled_timestamp", "REAL"},
        {"last_sampled_complex_event_id", "INTEGER"},
        {"last_sampling_rate", "INTEGER"},
        {"last_exempt_from_sampling", "INTEGER"},
        {"last_bundled_day", "INTEGER"}},
       {}},
      {"user_attributes",
       {{"name", "TEXT NOT NULL PRIMARY KEY"}, {"set_timestamp", "REAL NOT NULL"}, {"value", "BLOB NOT NULL"}},
       {{"origin", "TEXT"}},
       {}},
      {"queue",
       {{"data", "BLOB NOT NULL"}, {"bundle_end_timestamp", "REAL NOT NULL"}},
       {{"is_realtime", "INTEGER"}, {"retry_count", "INTEGER"}},
       {}},
      {"event_filters",
       {{"audience_id", "INTEGER NOT NULL"},
        {"filter_id", "INTEGER NOT NULL"},
        {"event_name", "TEXT NOT NULL"},
        {"data", "BLOB NOT NULL"},
        {"PRIMARY KEY", "(audience_id, filter_id)"}},
       {},
       {}},
      {"property_filters",
       {{"audience_id", "INTEGER NOT NULL"},
        {"filter_id", "INTEGER NOT NULL"},
        {"property_name", "TEXT NOT NULL"},
        {"data", "BLOB NOT NULL"},
        {"PRIMARY KEY", "(audience_id, filter_id)"}},
       {},
       {}},
      {"audience_filter_values",
       {{"audience_id", "INTEGER NOT NULL PRIMARY KEY"}, {"current_results", "BLOB"}, {"previous_results", "BLOB"}},
       {},
       {}},
      {"purchase_transactions", {{"fingerprint", "TEXT NOT NULL PRIMARY KEY"}}, {}, {}},
      {"conditional_properties",
       {{"name", "TEXT NOT NULL PRIMARY KEY"},
        {"origin", "TEXT NOT NULL"},
        {"value", "BLOB NOT NULL"},
        {"creation_timestamp", "REAL NOT NULL"},
        {"active", "INTEGER NOT NULL"},
        {"trigger_timeout", "REAL NOT NULL"},
        {"triggered_timestamp", "REAL NOT NULL"},
        {"time_to_live", "REAL NOT NULL"},
        {"trigger_event_name", "TEXT"},
        {"timed_out_event", "BLOB"},
        {"triggered_event", "BLOB"},
        {"expired_event", "BLOB"}},
       {},
       {}},
      {"main_event_params",
       {{"event_id", "INTEGER NOT NULL PRIMARY KEY"},
        {"children_to_process", "INTEGER NOT NULL"},
        {"main_event", "BLOB NOT NULL"}},
       {},
       {}},
  };
  return tables;
}

std::shared_ptr<APMDatabase> APMDatabase::initWithDatabaseName(std::string_view name,
                                                               std::shared_ptr<APMPersistedConfig> persistedConfig) {
  if (name.empty()) {
    databaseMonitor().logWithLevel(1, 12000, "Received empty database name in init");
    return nullptr;
  }
  return initWithDatabasePath(APMApplicationSupportPath(name), std::move(persistedConfig));
}

std::shared_ptr<APMDatabase> APMDatabase::initWithDatabasePath(std::string_view path,
                                                               std::shared_ptr<APMPersistedConfig> persistedConfig) {
  std::shared_ptr<APMDatabase> database(new APMDatabase());
  if (!database->initializeDatabaseResourcesWithContext("Init", path)) return nullptr;
  database->persistedConfig_ = std::move(persistedConfig);
  return database;
}

bool APMDatabase::initializeDatabaseResourcesWithContext(std::string_view context, std::string_view path) {
  store_ = APMSqliteStore::initWithDatabasePath(path);
  if (!store_) {
    databaseMonitor().logWithLevel(1, 12001, withContext("Failed to open database (%@)", context));
    return false;
  }
  if (!ensureAllTables()) {
    databaseMonitor().logWithLevel(1, 12002, withContext("Failed to create or validate required database tables (%@)", context));
    // Closed before deletion, and no store kept: writes to a deleted file
    // would vanish. Later calls fail "Database not open".
    const std::string storePath = store_->databasePath();
    store_->closeDatabase();
    store_.reset();
    std::optional<fd::Error> removeError;
    if (!APMRemoveFile(storePath, &removeError) && removeError) {
      databaseMonitor().logWithLevel(4, 12003,
                             withContext("Failed to delete old database file after failed validation. Error (%@)",
                                         context),
                             APMErrorContext(*removeError));
    }
    for (std::string_view suffix : {"-journal", "-wal", "-shm"}) (void)APMRemoveFile(storePath + std::string(suffix), nullptr);
    return false;
  }
  if (!initializeAppMetadata()) {
    databaseMonitor().logWithLevel(1, 12004, withContext("Failed to initialize App Metadata table (%@)", context));
    return false;
  }
  return true;
}

bool APMDatabase::ensureAllTables() {
  if (!store_) return false;
  // Every table is tried in the listed order; any failure fails the pass.
  for (const auto& table : schema()) {
    std::optional<fd::Error> error;
    if (store_->ensureTableWithName(table.name, table.elementary, table.addOn, table.modify, &error)) continue;
    if (error) {
      databaseMonitor().logWithLevel(1, 12047, "Failed to ensure table. Table, error", Value(table.name), APMErrorContext(*error));
    }
    return false;
  }
  return true;
}

void APMDatabase::reset() {
  std::string path = store_ ? store_->databasePath() : std::string();
  if (store_ && !store_->closeAndDeleteDatabase()) databaseMonitor().logWithLevel(4, 12055, "Failed to delete database data");
  initializeDatabaseResourcesWithContext("Reset", path);
}

bool APMDatabase::performTransaction(const std::function<bool()>& block) {
  if (!store_) {
    databaseMonitor().logWithLevel(1, 34007, "Perform transaction failed. Database not open");
    return false;
  }
  return store_->performTransaction(block);
}

bool APMDatabase::initializeAppMetadata() {
  return performTransaction([this] {
    std::optional<fd::Error> error;
    auto metadata = queryAppMetadata(&error);
    if (!metadata && error) {
      databaseMonitor().logWithLevel(1, 12005, "Failed to query app metadata");
      return false;
    }
    if (metadata) return true;
    auto fresh = APMAppMetadata::initWithLastBundleIndex(0, 0, 0);
    if (!upsertDataType<APMAppMetadata>(fresh.get(), "app_metadata", "rowid", appMetadataKey(), 1, &error,
                                        appMetadataRecord)) {
      databaseMonitor().logWithLevel(1, 12006, "Unable to update the app metadata. Error",
                             error ? APMErrorContext(*error) : Value());
      return false;
    }
    return true;
  });
}

std::optional<std::vector<APMRecord>> APMDatabase::records(std::string_view query, const Array& values,
                                                           APMErrorOut error) {
  if (!store_) {
    APMSetDatabaseNotOpen(error);
    return std::nullopt;
  }
  return store_->recordsForQuery(query, values, error);
}

APMSqliteStore* APMDatabase::openStore(APMErrorOut error) {
  if (!store_) APMSetDatabaseNotOpen(error);
  return store_.get();
}

std::optional<std::int64_t> APMDatabase::integerForQuery(std::string_view query, const Array& values,
                                                        APMErrorOut error) {
  auto* store = openStore(error);
  if (!store) return std::nullopt;
  auto number = store->numberForQuery(query, values, error);
  if (!number) return std::nullopt;
  return number->as_int();
}

std::shared_ptr<APMAppMetadata> APMDatabase::queryAppMetadata(APMErrorOut error) {
  DataTypeBlock<APMAppMetadata> fromRow = [](const APMRecord& row) -> std::shared_ptr<APMAppMetadata> {
    const auto index = row.get("last_bundle_index").as_int();
    const auto end = row.get("last_bundle_end_timestamp").as_double();
    if (row.empty() || !index || !end) {
      databaseMonitor().logWithLevel(4, 12007, "Received empty dictionary for getting app metadata");
      return nullptr;
    }
    return APMAppMetadata::initWithLastBundleIndex(static_cast<std::int32_t>(*index),
                                                   row.get("last_bundle_start_timestamp").as_double().value_or(0),
                                                   *end);
  };
  auto rows = dataTypesFromTableWithName<APMAppMetadata>("app_metadata", "rowid", &appMetadataKey(), error, fromRow);
  if (!rows || rows->empty()) return nullptr;
  return rows->front();
}

bool APMDatabase::updateAppMetadata(const APMAppMetadata& metadata, APMErrorOut error) {
  return updateDataType<APMAppMetadata>(&metadata, "app_metadata", "rowid", appMetadataKey(), error,
                                        appMetadataRecord);
}

bool APMDatabase::updateRemoteConfig(const wire::RIDUZMeasurementConfig& config, APMErrorOut error) {
  auto bytes = config.protoBuffer();
  if (!bytes || bytes->empty()) {
    APMSetErrorWithoutContext(error, 1, "Invalid measurement config data");
    return false;
  }
  if (wire::NANOGetString(&config, 1).value_or("").empty()) {
    APMSetErrorWithoutContext(error, 1, "Missing Dozada app ID in measurement configuration");
    return false;
  }
  const APMRecord record{{"remote_config_data", Value(std::move(*bytes))},
                         {"remote_config_timestamp", Value(fd::Date::now().since_1970)}};
  DictionaryBlock<APMRecord> same = [](const APMRecord& r, std::string_view) -> std::optional<APMRecord> { return r; };
  return updateDataType<APMRecord>(&record, "app_metadata", "rowid", appMetadataKey(), error, same);
}

bool APMDatabase::updateRemoteConfigSuccessfulTimestamp(double timestamp, APMErrorOut error) {
  const APMRecord record{{"remote_config_timestamp", Value(timestamp)}};
  DictionaryBlock<APMRecord> same = [](const APMRecord& r, std::string_view) -> std::optional<APMRecord> { return r; };
  return updateDataType<APMRecord>(&record, "app_metadata", "rowid", appMetadataKey(), error, same);
}

std::shared_ptr<wire::RIDUZMeasurementConfig> APMDatabase::queryMeasurementConfigWithError(APMErrorOut error) {
  auto rows = records("SELECT remote_config_data FROM app_metadata LIMIT 1", {}, error);
  if (!rows || rows->empty()) return nullptr;
  const auto* data = rows->front().get("remote_config_data").data();
  if (!data || data->empty()) return nullptr;
  auto config = wire::RIDUZMeasurementConfig::initWithBuffer(*data);
  if (!config) APMSetErrorWithoutContext(error, 2, "Remote config data is corrupted");
  return config;
}

std::optional<double> APMDatabase::lastRemoteConfigUpdateTimestamp(APMErrorOut error) {
  return realForQuery("SELECT remote_config_timestamp FROM app_metadata LIMIT 1", error);
}

std::optional<double> APMDatabase::realForQuery(std::string_view query, APMErrorOut error) {
  auto* store = openStore(error);
  if (!store) return std::nullopt;
  auto number = store->numberForQuery(query, {}, error);
  if (!number) return std::nullopt;
  return number->as_double();
}

}  // namespace analytics
