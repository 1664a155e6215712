// APMSqliteStore against real SQLite files: open and replacement, tables and
// migration, records, queries, the statement cache, transactions and errors.
#include <fstream>
#include <stdexcept>

#include "tests/analytics/store_support.h"

namespace analytics_test {
namespace {

namespace fd = platform::foundation;
namespace os = platform::os;
using analytics::APMColumnInfo;
using analytics::APMRecord;
using analytics::APMSqliteStore;
using fd::Array;
using fd::Value;

// "<prefix><free-space class>" where the class is -1 or a small whole number.
bool isContext(const std::string& context, const std::string& prefix) {
  if (context.rfind(prefix, 0) != 0) return false;
  const std::string tail = context.substr(prefix.size());
  return tail == "-1" || (!tail.empty() && tail.size() <= 3 && tail.find_first_not_of("0123456789") == std::string::npos);
}

class AnalyticsSqliteStoreTest : public StoreDeviceTest {
 protected:
  std::unique_ptr<APMSqliteStore> open(const std::string& name = "db.sql") {
    return APMSqliteStore::initWithDatabasePath(path(name).string());
  }
  // A store with table t(k TEXT key, v BLOB, n INTEGER).
  std::unique_ptr<APMSqliteStore> openWithTable() {
    auto store = open();
    EXPECT_TRUE(store);
    if (!store) return store;
    std::optional<fd::Error> error;
    EXPECT_TRUE(store->ensureTableWithName("t", APMColumnInfo{{"k", "TEXT NOT NULL PRIMARY KEY"}, {"v", "BLOB"}},
                                           APMColumnInfo{{"n", "INTEGER"}}, &error));
    return store;
  }
};

TEST_F(AnalyticsSqliteStoreTest, NewFileGetsParentsBackupFlagAndPassesIntegrity) {
  auto store = open("a/b/new.sql");
  ASSERT_TRUE(store);
  EXPECT_NE(store->sqliteHandle(), nullptr);
  EXPECT_TRUE(std::filesystem::exists(path("a/b/new.sql")));
  EXPECT_TRUE(os::FileManager::shared().is_excluded_from_backup(path("a/b/new.sql")).value());
  std::optional<fd::Error> error;
  EXPECT_TRUE(store->validateDatabaseWithError(&error));

  EXPECT_EQ(APMSqliteStore::initWithDatabasePath(""), nullptr);
  EXPECT_TRUE(hasCode(recorder_, 34000));
}

TEST_F(AnalyticsSqliteStoreTest, DamagedFileWithStaleJournalIsReplacedOnceAndImmutableMarkCleared) {
  makeFolder();
  {
    std::ofstream(path("db.sql")) << std::string(4096, 'x');
    std::ofstream(path("db.sql-journal")) << std::string(1024, 'j');
  }
  auto store = open();
  ASSERT_TRUE(store);
  EXPECT_FALSE(std::filesystem::exists(path("db.sql-journal")));
  std::optional<fd::Error> error;
  EXPECT_EQ(store->rowCountForTableWithName("sqlite_master", &error), 0);
  store.reset();

  auto& fm = os::FileManager::shared();
  auto attributes = fm.attributes(path("db.sql")).value();
  attributes.immutable = true;
  ASSERT_TRUE(fm.set_attributes(path("db.sql"), attributes).has_value());
  store = open();
  ASSERT_TRUE(store);
  EXPECT_FALSE(fm.attributes(path("db.sql")).value().immutable);

  // Deletion clears the mark first, and takes the journals along.
  attributes.immutable = true;
  ASSERT_TRUE(fm.set_attributes(path("db.sql"), attributes).has_value());
  { std::ofstream(path("db.sql-wal")) << "w"; }
  EXPECT_TRUE(store->closeAndDeleteDatabase());
  EXPECT_FALSE(std::filesystem::exists(path("db.sql")));
  EXPECT_FALSE(std::filesystem::exists(path("db.sql-wal")));
  EXPECT_EQ(store->sqliteHandle(), nullptr);
}

TEST_F(AnalyticsSqliteStoreTest, ValidationOfExistingTables) {
  struct Case {
    const char* create;
    bool valid;
    const char* message;
  };
  const Case cases[] = {
      {"CREATE TABLE t (k TEXT NOT NULL PRIMARY KEY, v BLOB)", true, nullptr},
      {"CREATE TABLE t (k TEXT NOT NULL PRIMARY KEY, v BLOB, n INTEGER, extra TEXT)", true, nullptr},
      {"CREATE TABLE t (k TEXT NOT NULL PRIMARY KEY)", false, "Table is missing required columns"},
      {"CREATE TABLE t (k TEXT NOT NULL PRIMARY KEY, v BLOB, extra TEXT NOT NULL)", false,
       "Table contains unknown non-optional columns"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.create);
    std::filesystem::remove_all(folder_);
    makeFolder();
    {
      RawSqlite raw(path("db.sql"));
      raw.exec(c.create);
    }
    auto store = open();
    ASSERT_TRUE(store);
    std::optional<fd::Error> error;
    EXPECT_EQ(store->ensureTableWithName("t", APMColumnInfo{{"k", "TEXT NOT NULL PRIMARY KEY"}, {"v", "BLOB"}},
                                         APMColumnInfo{{"n", "INTEGER"}}, &error),
              c.valid);
    if (c.message) {
      ASSERT_TRUE(error);
      EXPECT_EQ(error->code, 2);
      EXPECT_EQ(error->localized_description(), c.message);
    } else {
      auto columns = store->columnsForTableWithName("t", &error).value();
      EXPECT_NE(std::find(columns.begin(), columns.end(), "n"), columns.end());
    }
  }
}

TEST_F(AnalyticsSqliteStoreTest, TypeChangeRebuildsByColumnNameOnceAndKeepsValues) {
  makeFolder();
  {
    RawSqlite raw(path("db.sql"));
    // Another column order than the descriptions, and an extra nullable column between.
    raw.exec("CREATE TABLE r (data BLOB NOT NULL, note TEXT, ts INTEGER NOT NULL, name TEXT NOT NULL)");
    raw.exec("INSERT INTO r VALUES (x'0102', 'n', 17, 'a'), (x'03', NULL, 18, 'b')");
  }
  const APMColumnInfo elementary{{"name", "TEXT NOT NULL"}, {"ts", "INTEGER NOT NULL"}, {"data", "BLOB NOT NULL"}};
  const APMColumnInfo addOn{{"flag", "INTEGER"}};
  auto store = open();
  ASSERT_TRUE(store);
  std::optional<fd::Error> error;
  ASSERT_TRUE(store->ensureTableWithName("r", elementary, addOn, {{"ts", "REAL NOT NULL"}}, &error))
      << (error ? error->description() : "");
  auto info = store->columnInfoForTableWithName("r", &error).value();
  EXPECT_EQ(info, (std::map<std::string, std::string>{{"name", "TEXT"}, {"ts", "REAL"}, {"data", "BLOB"},
                                                      {"flag", "INTEGER"}}));
  auto rows = store->recordsForQuery("SELECT rowid, * FROM r ORDER BY rowid", {}, &error).value();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].get("name"), Value("a"));
  EXPECT_EQ(rows[0].get("ts"), Value(17.0));
  EXPECT_EQ(rows[0].get("data"), Value(fd::Bytes{1, 2}));
  EXPECT_TRUE(rows[0].get("flag").is_null());
  EXPECT_EQ(rows[1].get("name"), Value("b"));
  EXPECT_FALSE(store->tableExists("r_old", &error).value());

  // Types now match: a second ensure rebuilds nothing (the rowids stay).
  store->executeSQL("DELETE FROM r WHERE name = 'a'", &error);
  ASSERT_TRUE(store->ensureTableWithName("r", elementary, addOn, {{"ts", "REAL NOT NULL"}}, &error));
  rows = store->recordsForQuery("SELECT rowid FROM r", {}, &error).value();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].get("rowid"), Value(2));
}

TEST_F(AnalyticsSqliteStoreTest, TableOperationArgumentChecks) {
  auto store = openWithTable();
  ASSERT_TRUE(store);
  struct Case {
    std::function<bool(APMSqliteStore&, analytics::APMErrorOut)> call;
    std::int64_t code;
    const char* message;
  };
  const Case cases[] = {
      {[](auto& s, auto e) { return s.renameTable("t", "t", e); }, 1, "Received duplicate name for rename table"},
      {[](auto& s, auto e) { return s.copyContentsFromTable("t", "t", e); }, 1,
       "Received duplicate name for copy table"},
      {[](auto& s, auto e) { return s.dropTableWithName("", e); }, 1, "Received empty table name for drop table"},
      {[](auto& s, auto e) { return s.upsertRecord({}, "t", e); }, 1, "Received empty record for upsert"},
      {[](auto& s, auto e) { return s.updateRecord({{"v", Value(1)}}, "t", "k", nullptr, e); }, 1,
       "Nil column value for update"},
      {[](auto& s, auto e) { return s.increaseColumn("k", 1, "t", "k = ?", Array{Value("a")}, e); }, 1,
       "Column type is not integer."},
      {[](auto& s, auto e) { return s.increaseColumn("zz", 1, "t", "k = ?", Array{Value("a")}, e); }, 1,
       "Invalid column or table name"},
      {[](auto& s, auto e) { return s.recordsForQuery(" select * FROM t", {}, e).has_value(); }, 1,
       "Received invalid select query"},
      {[](auto& s, auto e) { return s.recordsForQuery("WITH x AS (SELECT 1) SELECT * FROM x", {}, e).has_value(); },
       1, "Received invalid select query"},
      {[](auto& s, auto e) { return s.recordsForQuery("SELECT * FROM t WHERE k = ?", {}, e).has_value(); }, 1,
       "Received empty parameters"},
      {[](auto& s, auto e) { return s.prepareSQL("SELECT 1; SELECT 2", e) != nullptr; }, 1,
       "Query contained more than one SQL statement."},
      {[](auto& s, auto e) { return s.numberForQuery("SELECT 'x'", {}, e).has_value(); }, 1,
       "Found result that was not numeric"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    std::optional<fd::Error> error;
    EXPECT_FALSE(c.call(*store, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, "com.dozada.ruv.measurement.ErrorDomain");
    EXPECT_EQ(error->code, c.code);
    EXPECT_EQ(error->localized_description(), c.message);
  }
  std::optional<fd::Error> error;
  EXPECT_TRUE(store->recordsForQuery("Select * FROM t", {}, &error).has_value());
  EXPECT_TRUE(store->recordsForQuery("SELECT * FROM t", {}, &error).has_value());

  store->closeDatabase();
  EXPECT_FALSE(store->rowCountForTableWithName("t", &error));
  EXPECT_EQ(error->code, 2);
  EXPECT_EQ(error->localized_description(), "Row count failed. Database not open.");
  EXPECT_FALSE(store->performTransaction([] { return true; }));
  EXPECT_TRUE(hasCode(recorder_, 34007));
}

TEST_F(AnalyticsSqliteStoreTest, RecordsKeepTheirKindsAndChangeAsAsked) {
  auto store = openWithTable();
  ASSERT_TRUE(store);
  std::optional<fd::Error> error;
  ASSERT_TRUE(store->upsertRecord({{"k", Value("i")}, {"v", Value(7)}, {"n", Value(1)}}, "t", &error));
  ASSERT_TRUE(store->upsertRecord({{"k", Value("d")}, {"v", Value(7.5)}}, "t", &error));
  ASSERT_TRUE(store->upsertRecord({{"k", Value("s")}, {"v", Value("text")}}, "t", &error));
  ASSERT_TRUE(store->upsertRecord({{"k", Value("b")}, {"v", Value(fd::Bytes{9})}, {"n", Value()}}, "t", &error));
  // A zero-length blob reads as absent.
  ASSERT_TRUE(store->upsertRecord({{"k", Value("e")}, {"v", Value(fd::Bytes{})}}, "t", &error));
  // A value of another kind builds no statement and sets no error.
  std::optional<fd::Error> none;
  EXPECT_FALSE(store->upsertRecord({{"k", Value("x")}, {"v", Value(fd::Array{})}}, "t", &none));
  EXPECT_FALSE(none);
  EXPECT_TRUE(hasCode(recorder_, 34020));

  auto rows = store->recordsForQuery("SELECT k, v FROM t ORDER BY k", {}, &error).value();
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_EQ(rows[0].get("v"), Value(fd::Bytes{9}));
  EXPECT_TRUE(rows[1].get("v").is_real());
  EXPECT_FALSE(rows[2].contains("v"));
  EXPECT_TRUE(hasCode(recorder_, 34004));
  EXPECT_TRUE(rows[3].get("v").is_integer());
  EXPECT_EQ(rows[4].get("v"), Value("text"));

  // Update changes only the record's columns; increase adds in place.
  ASSERT_TRUE(store->updateRecord({{"v", Value("new")}}, "t", "k", &rows[3].get("k"), &error));
  ASSERT_TRUE(store->increaseColumn("n", 41, "t", "k = ?", Array{Value("i")}, &error));
  auto i = store->recordsForQuery("SELECT * FROM t WHERE k = ?", Array{Value("i")}, &error).value();
  EXPECT_EQ(i[0].get("v"), Value("new"));
  EXPECT_EQ(i[0].get("n"), Value(42));

  EXPECT_TRUE(store->deleteRecordFromTableWithName("t", "k", &i[0].get("k"), &error));
  EXPECT_EQ(store->deleteRecordsFromTableWithName("t", "k IN (?, ?)", Array{Value("d"), Value("s")}, &error), 2);
  EXPECT_EQ(store->rowCountForTableWithName("t", &error), 2);
  EXPECT_TRUE(store->deleteAllRecordsFromTableWithName("t", &error));
  EXPECT_EQ(store->rowCountForTableWithName("t", &error), 0);
}

TEST_F(AnalyticsSqliteStoreTest, StatementCacheKeepsPlaceholderAndUnconditionedStatements) {
  auto store = openWithTable();
  ASSERT_TRUE(store);
  std::optional<fd::Error> error;
  const auto before = store->cachedStatementCount();
  EXPECT_EQ(store->numberForQuery("SELECT count(1) FROM t WHERE n = 1", {}, &error), Value(0));
  EXPECT_EQ(store->cachedStatementCount(), before);
  EXPECT_FALSE(store->numberForQuery("SELECT MAX(n) FROM t", {}, &error));
  EXPECT_FALSE(error);  // MAX over nothing is NULL: no number, no error
  EXPECT_EQ(store->cachedStatementCount(), before + 1);
  EXPECT_EQ(store->deleteRecordsFromTableWithName("t", "rowid <= ?", Array{Value(5)}, &error), 0);
  EXPECT_EQ(store->cachedStatementCount(), before + 2);
  // Reused: same text, no new entry, fresh bindings each time.
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(store->upsertRecord({{"k", Value(std::to_string(i))}, {"v", Value(fd::Bytes{1})}}, "t", &error));
    EXPECT_EQ(store->deleteRecordsFromTableWithName("t", "rowid <= ?", Array{Value(100)}, &error), 1);
  }
  // The upsert is cached once under its exact text; a delete by column value is not.
  EXPECT_EQ(store->cachedStatementCount(), before + 3);
  const Value key("0");
  EXPECT_TRUE(store->deleteRecordFromTableWithName("t", "k", &key, &error));
  EXPECT_EQ(store->cachedStatementCount(), before + 3);

  // Handing back a statement that is not the cached one logs 34016.
  auto* foreign = store->prepareSQL("SELECT MAX(n) FROM t", &error);
  store->cleanUpStatement(foreign, "SELECT MAX(n) FROM t");
  EXPECT_TRUE(hasCode(recorder_, 34016));
  sqlite3_finalize(foreign);
}

TEST_F(AnalyticsSqliteStoreTest, FilteredQueries) {
  auto store = openWithTable();
  ASSERT_TRUE(store);
  std::optional<fd::Error> error;
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(store->upsertRecord({{"k", Value(std::to_string(i))}, {"n", Value(i)}}, "t", &error));
  auto two = store->recordsForQuery("SELECT k FROM t ORDER BY k", {}, &error,
                                    [](std::size_t accepted, const APMRecord&) { return accepted < 2; });
  EXPECT_EQ(two->size(), 2u);
  EXPECT_FALSE(hasCode(recorder_, 34005));
  auto noneAccepted =
      store->recordsForQuery("SELECT k FROM t", {}, &error, [](std::size_t, const APMRecord&) { return false; });
  EXPECT_TRUE(noneAccepted->empty());
  EXPECT_TRUE(hasCode(recorder_, 34005));
  recorder_.clear();
  auto empty = store->recordsForQuery("SELECT k FROM t WHERE n > ?", Array{Value(10)}, &error);
  EXPECT_TRUE(empty->empty());
  EXPECT_FALSE(hasCode(recorder_, 34005));
}

TEST_F(AnalyticsSqliteStoreTest, TransactionsCommitRollBackAndRethrow) {
  auto store = openWithTable();
  ASSERT_TRUE(store);
  std::optional<fd::Error> error;
  auto put = [&](const char* key) { return store->upsertRecord({{"k", Value(key)}, {"n", Value(1)}}, "t", &error); };

  EXPECT_FALSE(store->performTransaction([&] { return put("rolled back") && false; }));
  EXPECT_TRUE(hasCode(recorder_, 34010));

  bool nested = true;
  EXPECT_TRUE(store->performTransaction([&] {
    nested = store->performTransaction([&] { return put("inner"); });
    return put("outer");
  }));
  EXPECT_FALSE(nested);
  EXPECT_TRUE(hasCode(recorder_, 34008));

  EXPECT_THROW(store->performTransaction([&]() -> bool {
    put("thrown");
    throw std::runtime_error("boom");
  }),
               std::runtime_error);
  auto keys = store->recordsForQuery("SELECT k FROM t", {}, &error).value();
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(keys[0].get("k"), Value("outer"));
  // The connection is usable again after the throw.
  EXPECT_TRUE(store->performTransaction([&] { return put("after"); }));
  EXPECT_EQ(store->rowCountForTableWithName("t", &error), 2);
}

TEST_F(AnalyticsSqliteStoreTest, SqliteFailuresCarryDescriptionAndMonitorContext) {
  auto store = openWithTable();
  ASSERT_TRUE(store);
  std::optional<fd::Error> error;
  EXPECT_FALSE(store->executeSQL("INSERT INTO nowhere VALUES (1)", &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, 3);
  EXPECT_EQ(error->localized_description(),
            "Database operation \"prepare statement\" failed with sqlite code 1 and error message \"no such table: "
            "nowhere\"");
  const auto* context = error->user_info.get("APMMonitorContext").string();
  ASSERT_TRUE(context);
  EXPECT_TRUE(isContext(*context, "prepare statement,1,A,")) << *context;
  EXPECT_TRUE(isContext(store->monitorContextForDatabaseOperation(""), "Unknown operation,1,A,"));
  EXPECT_EQ(store->lastErrorMessage(), "no such table: nowhere");
  store->closeDatabase();
  EXPECT_EQ(store->lastErrorMessage(), std::nullopt);
  EXPECT_TRUE(hasCode(recorder_, 34022));
  EXPECT_EQ(store->errorDescriptionForDatabaseOperation("x"), std::nullopt);
}

}  // namespace
}  // namespace analytics_test
