// APMDatabase against real files: the schema of a new file, migration of old
// files, failure to bring a file up to date, reset, typed records with table
// limits, and the stored server configuration.
#include "analytics/config/remote_config.h"
#include "analytics/store/database.h"
#include "analytics/support/files.h"
#include "platform/testing/file_faults.h"
#include "tests/analytics/store_support.h"
#include "wire/runtime/nano_runtime.h"

namespace analytics_test {
namespace {

namespace fd = platform::foundation;
using analytics::APMDatabase;
using analytics::APMRecord;
using fd::Value;

class AnalyticsDatabaseTest : public StoreDeviceTest {
 protected:
  std::filesystem::path file() const { return analytics::APMApplicationSupportPath(APMDatabase::kDatabaseName); }
  std::shared_ptr<APMDatabase> open() { return APMDatabase::initWithDatabaseName(APMDatabase::kDatabaseName, nullptr); }
  void makeParent() { std::filesystem::create_directories(file().parent_path()); }
};

TEST_F(AnalyticsDatabaseTest, NewFileHoldsTheTwelveTablesAndTheAppMetadataRow) {
  auto database = open();
  ASSERT_TRUE(database);
  EXPECT_TRUE(platform::os::FileManager::shared().is_excluded_from_backup(file()).value());
  RawSqlite raw(file());
  auto tables = raw.rows("SELECT name FROM sqlite_master WHERE type='table' ORDER BY rowid");
  std::vector<std::string> names;
  for (const auto& row : tables) names.push_back(row[0]);
  std::vector<std::string> expected;
  for (const auto& table : APMDatabase::schema()) {
    if (table.name != "raw_events") expected.push_back(table.name);
  }
  expected.push_back("raw_events");  // rebuilt last of all: created anew after the others
  std::sort(names.begin(), names.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(names, expected);
  EXPECT_EQ(names.size(), 12u);

  EXPECT_EQ(raw.one("SELECT sql FROM sqlite_master WHERE name='app_metadata'"),
            "CREATE TABLE app_metadata ( last_bundle_index INTEGER NOT NULL, last_bundle_end_timestamp REAL NOT NULL, "
            "last_bundle_start_timestamp REAL, day INTEGER, daily_conversions_count INTEGER, daily_events_count "
            "INTEGER, daily_public_events_count INTEGER, daily_error_events_count INTEGER, remote_config_data BLOB, "
            "remote_config_timestamp REAL, daily_real_time_conversion_events_count INTEGER)");
  EXPECT_EQ(raw.one("SELECT sql FROM sqlite_master WHERE name='raw_events'"),
            "CREATE TABLE raw_events ( name TEXT NOT NULL, timestamp REAL NOT NULL, metadata_fingerprint INTEGER NOT "
            "NULL, data BLOB NOT NULL, is_realtime INTEGER)");
  EXPECT_EQ(raw.one("SELECT sql FROM sqlite_master WHERE name='event_filters'"),
            "CREATE TABLE event_filters ( audience_id INTEGER NOT NULL, filter_id INTEGER NOT NULL, event_name TEXT "
            "NOT NULL, data BLOB NOT NULL, PRIMARY KEY (audience_id, filter_id))");
  EXPECT_EQ(raw.rows("SELECT rowid, last_bundle_index, last_bundle_start_timestamp, last_bundle_end_timestamp FROM "
                     "app_metadata"),
            (std::vector<std::vector<std::string>>{{"1", "0", "0.0", "0.0"}}));

  // A second open changes nothing.
  const auto schemaBefore = raw.rows("SELECT name, sql FROM sqlite_master ORDER BY name");
  database.reset();
  database = open();
  ASSERT_TRUE(database);
  EXPECT_EQ(raw.rows("SELECT name, sql FROM sqlite_master ORDER BY name"), schemaBefore);
  EXPECT_EQ(raw.one("SELECT count(*) FROM app_metadata"), "1");
}

TEST_F(AnalyticsDatabaseTest, OldFilesGainAddOnColumnsAndKeepEveryValue) {
  makeParent();
  {
    RawSqlite raw(file());
    raw.exec("CREATE TABLE app_metadata (last_bundle_index INTEGER NOT NULL, last_bundle_end_timestamp REAL NOT NULL)");
    raw.exec("INSERT INTO app_metadata (rowid, last_bundle_index, last_bundle_end_timestamp) VALUES (1, 7, 1500.5)");
    raw.exec("CREATE TABLE raw_events (name TEXT NOT NULL, extra TEXT, timestamp INTEGER NOT NULL, "
             "metadata_fingerprint INTEGER NOT NULL, data BLOB NOT NULL)");
    raw.exec("INSERT INTO raw_events (name, extra, timestamp, metadata_fingerprint, data) VALUES "
             "('_s', 'x', 1000, -5, x'0a01'), ('_e', NULL, 2000, 6, x'0b')");
  }
  auto database = open();
  ASSERT_TRUE(database);
  RawSqlite raw(file());
  EXPECT_EQ(raw.rows("SELECT name, timestamp, metadata_fingerprint, hex(data), is_realtime FROM raw_events ORDER BY "
                     "rowid"),
            (std::vector<std::vector<std::string>>{{"_s", "1000.0", "-5", "0A01", "NULL"},
                                                   {"_e", "2000.0", "6", "0B", "NULL"}}));
  EXPECT_EQ(raw.one("SELECT typeof(timestamp) FROM raw_events LIMIT 1"), "real");
  // Add-on NULLs read as their defaults.
  auto metadata = database->queryAppMetadata(nullptr);
  ASSERT_TRUE(metadata);
  EXPECT_EQ(metadata->lastBundleIndex(), 7);
  EXPECT_EQ(metadata->lastBundleStartTimestamp(), 0);
  EXPECT_EQ(metadata->lastBundleEndTimestamp(), 1500.5);
  EXPECT_EQ(raw.one("SELECT count(*) FROM pragma_table_info('app_metadata')"), "11");
}

TEST_F(AnalyticsDatabaseTest, UnknownNotNullColumnDeletesTheFile) {
  makeParent();
  {
    RawSqlite raw(file());
    raw.exec("CREATE TABLE events (name TEXT NOT NULL PRIMARY KEY, lifetime_count INTEGER NOT NULL, "
             "current_bundle_count INTEGER NOT NULL, last_fire_timestamp REAL NOT NULL, mystery INTEGER NOT NULL)");
  }
  EXPECT_EQ(open(), nullptr);
  EXPECT_FALSE(std::filesystem::exists(file()));
  EXPECT_TRUE(hasCode(recorder_, 12047));
  EXPECT_TRUE(hasCode(recorder_, 12002));
  // The next creation starts from an empty file.
  EXPECT_TRUE(open());

  EXPECT_EQ(APMDatabase::initWithDatabaseName("", nullptr), nullptr);
  EXPECT_TRUE(hasCode(recorder_, 12000));
}

TEST_F(AnalyticsDatabaseTest, ResetLeavesAnEmptyDatabaseWithTheAppMetadataRow) {
  auto database = open();
  ASSERT_TRUE(database);
  ASSERT_TRUE(database->sqliteStore()->upsertRecord(
      {{"data", Value(fd::Bytes{1})}, {"bundle_end_timestamp", Value(5.0)}}, "queue", nullptr));
  auto metadata = analytics::APMAppMetadata::initWithLastBundleIndex(9, 1, 2);
  ASSERT_TRUE(database->updateAppMetadata(*metadata, nullptr));
  database->reset();
  RawSqlite raw(file());
  EXPECT_EQ(raw.one("SELECT count(*) FROM queue"), "0");
  EXPECT_EQ(database->queryAppMetadata(nullptr)->lastBundleIndex(), 0);
}

TEST_F(AnalyticsDatabaseTest, FailedResetKeepsNoStoreAndLaterCallsFail) {
  auto database = open();
  ASSERT_TRUE(database);
  // Both opens of the reset fail to make the parent folder.
  for (int i = 0; i < 2; ++i) {
    platform::testing::fail_next(platform::testing::FileOp::create_directory, file().parent_path(), EACCES);
  }
  database->reset();
  EXPECT_TRUE(hasCode(recorder_, 12001));
  EXPECT_EQ(database->sqliteStore(), nullptr);
  std::optional<fd::Error> error;
  EXPECT_EQ(database->queryAppMetadata(&error), nullptr);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->localized_description(), "Query records failed. Database not open.");
  EXPECT_FALSE(database->insertRawEvent(analytics::APMEvent::initWithOrigin("app", false, "e", 1, 0, {}).get(), 1,
                                        false, nullptr));
  EXPECT_FALSE(database->performTransaction([] { return true; }));
  EXPECT_TRUE(database->allFilterResults(nullptr).empty());
}

TEST_F(AnalyticsDatabaseTest, UpsertHonoursTheTableLimit) {
  auto database = open();
  ASSERT_TRUE(database);
  APMDatabase::DictionaryBlock<std::string> toRecord = [](const std::string& name, std::string_view) {
    return std::optional<APMRecord>(APMRecord{{"name", Value(name)},
                                              {"lifetime_count", Value(1)},
                                              {"current_bundle_count", Value(1)},
                                              {"last_fire_timestamp", Value(1.0)}});
  };
  ASSERT_TRUE(database->performTransaction([&] {
    for (int i = 0; i < 1000; ++i) {
      const std::string name = "e" + std::to_string(i);
      if (!database->upsertDataType(&name, "events", "name", Value(name), 1000, nullptr, toRecord)) return false;
    }
    return true;
  }));
  const std::string extra = "one too many";
  std::optional<fd::Error> error;
  EXPECT_FALSE(database->upsertDataType(&extra, "events", "name", Value(extra), 1000, &error, toRecord));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, 2);
  EXPECT_EQ(error->localized_description(), "Failed to insert data type. Table is full");
  const std::string existing = "e5";
  EXPECT_TRUE(database->upsertDataType(&existing, "events", "name", Value(existing), 1000, nullptr, toRecord));

  error.reset();
  EXPECT_FALSE(database->updateDataType(&extra, "events", "name", Value(extra), &error, toRecord));
  EXPECT_EQ(error->localized_description(), "Failed to update record. Item doesn't exist");

  APMDatabase::DataTypeBlock<std::string> fromRow = [](const APMRecord& row) -> std::shared_ptr<std::string> {
    const auto* name = row.get("name").string();
    return name && *name != "e1" ? std::make_shared<std::string>(*name) : nullptr;
  };
  auto all = database->allDataTypesFromTableWithName<std::string>("events", 3, nullptr, fromRow);
  ASSERT_TRUE(all);
  EXPECT_EQ(all->size(), 2u);  // e0, e2: e1 does not convert
  error.reset();
  const Value e1("e1");
  EXPECT_FALSE(database->dataTypesFromTableWithName<std::string>("events", "name", &e1, &error, fromRow));
  EXPECT_EQ(error->localized_description(), "Failed to initialize data types from dictionaries");
}

TEST_F(AnalyticsDatabaseTest, ServerConfigurationIsStoredAndLoadedByTheRemoteConfiguration) {
  auto database = open();
  ASSERT_TRUE(database);
  std::optional<fd::Error> error;
  EXPECT_EQ(database->queryMeasurementConfigWithError(&error), nullptr);
  EXPECT_FALSE(error);
  EXPECT_EQ(database->lastRemoteConfigUpdateTimestamp(&error), std::nullopt);

  auto withoutAppID = wire::RIDUZMeasurementConfig::make();
  wire::NANOSetInt64(withoutAppID.get(), 0, 3);
  EXPECT_FALSE(database->updateRemoteConfig(*withoutAppID, &error));
  EXPECT_EQ(error->localized_description(), "Missing Dozada app ID in measurement configuration");

  auto config = wire::RIDUZMeasurementConfig::make();
  wire::NANOSetInt64(config.get(), 0, 42);
  wire::NANOSetString(config.get(), 1, "1:app");
  auto remote = analytics::APMRemoteConfig::initWithAppID("1:app", database);
  ASSERT_TRUE(remote);
  ASSERT_TRUE(remote->updateMeasurementConfig(config));
  EXPECT_TRUE(database->lastRemoteConfigUpdateTimestamp(nullptr).has_value());

  auto loaded = analytics::APMRemoteConfig::initWithAppID("1:app", database);
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->version(), 42);

  // A damaged blob reads as an error, not a configuration.
  RawSqlite raw(file());
  raw.exec("UPDATE app_metadata SET remote_config_data = x'ffffffff'");
  error.reset();
  EXPECT_EQ(database->queryMeasurementConfigWithError(&error), nullptr);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->localized_description(), "Remote config data is corrupted");
}

}  // namespace
}  // namespace analytics_test
