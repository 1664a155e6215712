// APMSqliteStore: open and validation, tables, records, queries, transactions
// and the statement cache over the sqlite3 library.
#include "analytics/store/sqlite_store.h"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <set>

#include "analytics/engine/measurement.h"
#include "analytics/support/files.h"
#include "platform/dispatch/queue.h"
#include "platform/os/file_manager.h"

namespace analytics {

namespace fd = platform::foundation;
namespace os = platform::os;
using fd::Array;
using fd::Value;

namespace {

APMMonitor& storeMonitor() { return APMMeasurement::monitor(); }

bool isSupportedKind(const Value& value) {
  return value.is_string() || value.is_number() || value.is_data() || value.is_null();
}

bool containsCaseInsensitive(std::string_view text, std::string_view word) {
  auto it = std::search(text.begin(), text.end(), word.begin(), word.end(), [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
  });
  return it != text.end();
}

bool startsWithSelect(std::string_view query) {
  constexpr std::string_view kSelect = "select";
  if (query.size() < kSelect.size()) return false;
  for (std::size_t i = 0; i < kSelect.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(query[i])) != kSelect[i]) return false;
  }
  return true;
}

// Replaces the last two characters (", ") of `text` by `ending`.
std::string replaceLastTwo(std::string text, std::string_view ending) {
  text.resize(text.size() >= 2 ? text.size() - 2 : 0);
  text += ending;
  return text;
}

std::string firstWord(const std::string& text) { return text.substr(0, text.find(' ')); }

std::string upper(std::string text) {
  for (auto& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// The companion files SQLite keeps beside a database.
constexpr std::array<std::string_view, 3> kJournalSuffixes{"-journal", "-wal", "-shm"};

// Clears the immutable mark; false when it cannot be read or cleared.
fd::Expected<void> clearImmutable(const std::filesystem::path& path) {
  auto& fm = os::FileManager::shared();
  auto attributes = fm.attributes(path);
  if (!attributes) return attributes.error();
  if (!attributes->immutable) return {};
  attributes->immutable = false;
  return fm.set_attributes(path, *attributes);
}

}  // namespace

APMSqliteStore::APMSqliteStore(std::string_view path)
    : queueLabel_(platform::dispatch::Queue::current_label()), databasePath_(path) {}

std::unique_ptr<APMSqliteStore> APMSqliteStore::initWithDatabasePath(std::string_view path) {
  if (path.empty()) {
    storeMonitor().logWithLevel(4, 34000, "Received empty database path on init");
    return nullptr;
  }
  std::unique_ptr<APMSqliteStore> store(new APMSqliteStore(path));
  std::optional<fd::Error> openError;
  if (store->openAndValidateDatabase(&openError)) return store;
  if (!store->closeAndDeleteDatabase()) {
    storeMonitor().logWithLevel(1, 34001, "Failed to delete existing database file. Error",
                           openError ? APMErrorContext(*openError) : Value());
    return nullptr;
  }
  std::optional<fd::Error> secondError;
  if (!store->openAndValidateDatabase(&secondError)) {
    storeMonitor().logWithLevel(1, 34002, "Failed to recreate database file. Error",
                           secondError ? APMErrorContext(*secondError) : Value());
    return nullptr;
  }
  return store;
}

APMSqliteStore::~APMSqliteStore() { closeDatabase(); }

bool APMSqliteStore::openAndValidateDatabase(APMErrorOut error) {
  auto& fm = os::FileManager::shared();
  const std::filesystem::path path(databasePath_);
  if (fm.exists(path)) {
    auto cleared = clearImmutable(path);
    if (!cleared) {
      if (error) *error = cleared.error();
      return false;
    }
  } else {
    auto created = fm.create_directory(path.parent_path(), true);
    if (!created) {
      if (error) *error = created.error();
      return false;
    }
  }
  if (sqlite3_open_v2(databasePath_.c_str(), &handle_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != 0) {
    setDatabaseError(error, "initialize sqlite handle");
    sqlite3_close(handle_);
    handle_ = nullptr;
    return false;
  }
  std::optional<fd::Error> backupError;
  if (!APMExcludeFileFromBackup(databasePath_, &backupError)) {
    storeMonitor().logWithLevel(4, 34017, "Failed to exclude database file from backup",
                           backupError ? APMErrorContext(*backupError) : Value());
  }
  if (!validateDatabaseWithError(error)) {
    closeDatabase();
    return false;
  }
  // Write-ahead log with syncs at checkpoints only: a commit is one append
  // instead of a rollback journal fsynced around every transaction, and a
  // killed process still keeps every committed transaction. Where the log
  // cannot be used the file keeps its rollback journal.
  (void)sqlite3_exec(handle_, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
  return true;
}

bool APMSqliteStore::validateDatabaseWithError(APMErrorOut error) {
  if (!APMCheckSuccess(isOpen(), error, 2, "Validate database failed. Database not open.")) return false;
  sqlite3_stmt* statement = nullptr;
  bool valid = false;
  if (sqlite3_prepare_v2(handle_, "PRAGMA integrity_check", -1, &statement, nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW && sqlite3_column_count(statement) == 1) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    valid = text != nullptr && std::string_view(text) == "ok";
  }
  if (!valid) setDatabaseError(error, "validate database");
  sqlite3_finalize(statement);
  return valid;
}

void APMSqliteStore::finalizeAndClearStatements() {
  for (auto& [sql, statement] : statementCache_) sqlite3_finalize(statement);
  statementCache_.clear();
}

void APMSqliteStore::closeDatabase() {
  if (!handle_) return;
  finalizeAndClearStatements();
  const int rc = sqlite3_close(handle_);
  if (rc != 0) storeMonitor().logWithLevel(4, 34018, "Failed to close database. Got error code", Value(rc));
  handle_ = nullptr;
}

bool APMSqliteStore::closeAndDeleteDatabase() {
  closeDatabase();
  auto& fm = os::FileManager::shared();
  bool deleted = true;
  // The journal files go too: a left-over journal would be rolled back into
  // the next database made at this path.
  std::vector<std::string> paths{databasePath_};
  for (auto suffix : kJournalSuffixes) paths.push_back(databasePath_ + std::string(suffix));
  for (const auto& path : paths) {
    if (!fm.exists(path)) continue;
    (void)clearImmutable(path);
    std::optional<fd::Error> removeError;
    if (!APMRemoveFile(path, &removeError)) {
      storeMonitor().logWithLevel(4, 34019, "Failed to delete database",
                             removeError ? APMErrorContext(*removeError) : Value());
      deleted = false;
    }
  }
  return deleted;
}

// MARK: Tables

bool APMSqliteStore::ensureTableWithName(std::string_view table, const APMColumnInfo& elementary,
                                         const APMColumnInfo& addOn, APMErrorOut error) {
  if (!APMCheckSuccess(!table.empty(), error, 1, "Received empty table name for ensure table")) return false;
  if (!APMCheckSuccess(!elementary.empty(), error, 1, "Received empty elementary column info for ensure table"))
    return false;
  std::string create = "CREATE TABLE IF NOT EXISTS " + std::string(table) + " ( ";
  std::vector<std::string> required;
  for (const auto& [name, type] : elementary) {
    create += name + " " + type + ", ";
    if (name != "PRIMARY KEY") required.push_back(name);
  }
  create = replaceLastTwo(std::move(create), ");");
  std::vector<std::pair<std::string, std::string>> alters;
  for (const auto& [name, type] : addOn) {
    alters.emplace_back(name, "ALTER TABLE " + std::string(table) + " ADD COLUMN " + name + " " + type);
  }
  return ensureTableWithName(table, create, required, alters, error);
}

bool APMSqliteStore::ensureTableWithName(std::string_view table, std::string_view createSQL,
                                         const std::vector<std::string>& requiredColumnNames,
                                         const std::vector<std::pair<std::string, std::string>>& addOnColumns,
                                         APMErrorOut error) {
  if (!APMCheckSuccess(!table.empty(), error, 1, "Received empty table name for ensure table")) return false;
  if (!APMCheckSuccess(!requiredColumnNames.empty(), error, 1, "Received no table columns for ensure table"))
    return false;
  if (!APMCheckSuccess(!createSQL.empty(), error, 1, "Received empty create statement for ensure table")) return false;
  if (!APMCheckSuccess(isOpen(), error, 2, "Ensure table failed. Database not open.")) return false;
  auto exists = tableExists(table, error);
  if (!exists) return false;
  if (!*exists && !executeSQL(createSQL, error)) return false;
  auto valid = validateTableWithName(table, requiredColumnNames, addOnColumns, error);
  return valid.value_or(false);
}

std::optional<bool> APMSqliteStore::validateTableWithName(
    std::string_view table, const std::vector<std::string>& requiredColumnNames,
    const std::vector<std::pair<std::string, std::string>>& addOnColumns, APMErrorOut error) {
  if (!APMCheckSuccess(!table.empty(), error, 1, "Received empty table name for validate table")) return std::nullopt;
  if (!APMCheckSuccess(!requiredColumnNames.empty(), error, 1, "Received no table columns for validate table"))
    return std::nullopt;
  if (!APMCheckSuccess(isOpen(), error, 2, "Validate table failed. Database not open.")) return std::nullopt;
  auto columns = columnsForTableWithName(table, error);
  if (!columns || columns->empty()) return std::nullopt;
  std::set<std::string> extra(columns->begin(), columns->end());
  for (const auto& name : requiredColumnNames) {
    if (!APMCheckSuccess(extra.contains(name), error, 2, "Table is missing required columns")) return false;
  }
  for (const auto& name : requiredColumnNames) extra.erase(name);
  for (const auto& [name, alter] : addOnColumns) {
    if (extra.erase(name) > 0) continue;
    if (!executeSQL(alter, error)) return false;
  }
  if (extra.empty()) return true;
  auto info = tableInfo(table, error);
  if (!info) return false;
  const bool unknownNotNull = std::any_of(info->begin(), info->end(), [&extra](const TableColumn& column) {
    return column.notNull && extra.contains(column.name);
  });
  return APMCheckSuccess(!unknownNotNull, error, 2, "Table contains unknown non-optional columns");
}

bool APMSqliteStore::ensureSchemaOfTableWithName(std::string_view table, const APMColumnInfo& elementary,
                                                 const APMColumnInfo& addOn, APMErrorOut error) {
  if (!APMCheckSuccess(!table.empty(), error, 1, "Received empty table name for ensure table schema")) return false;
  if (!APMCheckSuccess(!elementary.empty(), error, 1, "Received empty column info for ensure table schema"))
    return false;
  auto existing = columnInfoForTableWithName(table, error);
  if (!existing) return false;
  if (!APMCheckSuccess(!existing->empty(), error, 2, "Table does not exist for ensure table schema")) return false;
  std::map<std::string, std::string> expected;
  for (const auto& [name, type] : elementary) {
    if (name == "PRIMARY KEY" || name.empty() || firstWord(type).empty()) continue;
    expected[name] = firstWord(type);
  }
  for (const auto& [name, type] : addOn) {
    if (!name.empty() && !type.empty()) expected[name] = type;
  }
  if (expected == *existing) return true;

  const std::string old = std::string(table) + "_old";
  std::optional<fd::Error> stepError;
  const bool migrated = performTransaction([&] {
    return renameTable(table, old, &stepError) && ensureTableWithName(table, elementary, addOn, &stepError) &&
           copyContentsFromTable(old, table, &stepError) && dropTableWithName(old, &stepError);
  });
  if (!migrated && error && stepError) *error = stepError;
  return migrated;
}

bool APMSqliteStore::ensureTableWithName(std::string_view table, const APMColumnInfo& elementary,
                                         const APMColumnInfo& addOn, const APMModifyColumnInfo& modify,
                                         APMErrorOut error) {
  if (!ensureTableWithName(table, elementary, addOn, error)) return false;
  if (modify.empty()) return true;
  auto rewrite = [&](const APMColumnInfo& info) {
    APMColumnInfo result;
    for (const auto& column : info) {
      const auto& name = column.first;
      if (name == "PRIMARY KEY") continue;
      auto it = std::find_if(modify.begin(), modify.end(), [&](const auto& entry) { return entry.first == name; });
      result.emplace_back(name, it != modify.end() ? it->second : column.second);
    }
    return result;
  };
  return ensureSchemaOfTableWithName(table, rewrite(elementary), rewrite(addOn), error);
}

bool APMSqliteStore::dropTableWithName(std::string_view table, APMErrorOut error) {
  if (!APMCheckSuccess(!table.empty(), error, 1, "Received empty table name for drop table")) return false;
  return executeSQL("DROP TABLE " + std::string(table), error);
}

bool APMSqliteStore::renameTable(std::string_view oldName, std::string_view newName, APMErrorOut error) {
  if (!APMCheckSuccess(!oldName.empty(), error, 1, "Received empty old name for rename table")) return false;
  if (!APMCheckSuccess(!newName.empty(), error, 1, "Received empty new name for rename table")) return false;
  if (!APMCheckSuccess(oldName != newName, error, 1, "Received duplicate name for rename table")) return false;
  return executeSQL("ALTER TABLE " + std::string(oldName) + " RENAME TO " + std::string(newName), error);
}

bool APMSqliteStore::copyContentsFromTable(std::string_view source, std::string_view destination, APMErrorOut error) {
  if (!APMCheckSuccess(!source.empty(), error, 1, "Received empty source name for copy table")) return false;
  if (!APMCheckSuccess(!destination.empty(), error, 1, "Received empty destination name for copy table")) return false;
  if (!APMCheckSuccess(source != destination, error, 1, "Received duplicate name for copy table")) return false;
  auto from = columnsForTableWithName(source, error);
  auto to = columnsForTableWithName(destination, error);
  if (!from || !to) return false;
  // By name, not by position: the two tables may order their columns differently.
  std::string names;
  for (const auto& column : *to) {
    if (std::find(from->begin(), from->end(), column) != from->end()) names += column + ", ";
  }
  if (!APMCheckSuccess(!names.empty(), error, 2, "Tables have no common columns for copy table")) return false;
  names.resize(names.size() - 2);
  return executeSQL("INSERT INTO " + std::string(destination) + " (" + names + ") SELECT " + names + " FROM " +
                        std::string(source),
                    error);
}

std::optional<bool> APMSqliteStore::tableExists(std::string_view table, APMErrorOut error) {
  if (!APMCheckSuccess(!table.empty(), error, 1, "Received empty table name for table exists")) return std::nullopt;
  if (!APMCheckSuccess(isOpen(), error, 2, "Table exists failed. Database not open.")) return std::nullopt;
  constexpr std::string_view kQuery = "SELECT name FROM sqlite_master WHERE type='table' AND name=?";
  sqlite3_stmt* statement = statementForQuery(kQuery, Array{Value(table)}, error);
  if (!statement) return std::nullopt;
  const bool exists = sqlite3_step(statement) == SQLITE_ROW;
  cleanUpStatement(statement, kQuery);
  return exists;
}

std::optional<std::int64_t> APMSqliteStore::rowCountForTableWithName(std::string_view table, APMErrorOut error) {
  return rowCountForTableWithName(table, {}, nullptr, error);
}

std::optional<std::int64_t> APMSqliteStore::rowCountForTableWithName(std::string_view table, std::string_view column,
                                                                     const Value* value, APMErrorOut error) {
  if (!APMCheckSuccess(!table.empty(), error, 1, "Received empty table name for row count")) return std::nullopt;
  if (!APMCheckSuccess(isOpen(), error, 2, "Row count failed. Database not open.")) return std::nullopt;
  std::string query = "SELECT count(1) FROM " + std::string(table);
  Array parameters;
  if (!column.empty() && value) {
    query += " WHERE " + std::string(column) + "=?";
    parameters.push_back(*value);
  }
  auto count = numberForQuery(query, parameters, error);
  if (!count) return std::nullopt;
  return count->as_int();
}

std::optional<std::vector<std::string>> APMSqliteStore::columnsForTableWithName(std::string_view table,
                                                                                APMErrorOut error) {
  if (!APMCheckSuccess(!table.empty(), error, 1, "Received empty table name for get columns")) return std::nullopt;
  if (!APMCheckSuccess(isOpen(), error, 2, "Get table columns failed. Database not open.")) return std::nullopt;
  auto info = tableInfo(table, error);
  if (!info) return std::nullopt;
  std::vector<std::string> names;
  for (const auto& column : *info) names.push_back(column.name);
  return names;
}

std::optional<std::map<std::string, std::string>> APMSqliteStore::columnInfoForTableWithName(std::string_view table,
                                                                                             APMErrorOut error) {
  if (!APMCheckSuccess(!table.empty(), error, 1, "Received empty table name for column info")) return std::nullopt;
  if (!APMCheckSuccess(isOpen(), error, 2, "Get table column info failed. Database not open.")) return std::nullopt;
  auto columns = tableInfo(table, error);
  if (!columns) return std::nullopt;
  std::map<std::string, std::string> info;
  for (const auto& column : *columns) {
    if (!column.type.empty()) info[column.name] = column.type;
  }
  return info;
}

std::optional<std::vector<APMSqliteStore::TableColumn>> APMSqliteStore::tableInfo(std::string_view table,
                                                                                  APMErrorOut error) {
  const std::string query = "PRAGMA table_info(" + std::string(table) + ")";
  sqlite3_stmt* statement = statementForQuery(query, error);
  if (!statement) return std::nullopt;
  std::vector<TableColumn> columns;
  while (sqlite3_step(statement) == SQLITE_ROW) {
    const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(statement, 1));
    const auto* type = reinterpret_cast<const char*>(sqlite3_column_text(statement, 2));
    if (!name || !*name) continue;
    columns.push_back({name, type ? type : "", sqlite3_column_int(statement, 3) != 0});
  }
  cleanUpStatement(statement, query);
  return columns;
}

// MARK: Records

bool APMSqliteStore::upsertRecord(const APMRecord& record, std::string_view table, APMErrorOut error) {
  if (!APMCheckSuccess(!record.empty(), error, 1, "Received empty record for upsert")) return false;
  if (!APMCheckSuccess(!table.empty(), error, 1, "Received empty table name for upsert")) return false;
  if (!APMCheckSuccess(isOpen(), error, 2, "Upsert record failed. Database not open.")) return false;
  Array values;
  auto sql = upsertSQLForRecord(record, table, &values);
  // Cached under its exact text (it has placeholders): the same columns in
  // the same table reuse one prepared statement.
  return sql && stepQueryOnce(*sql, values, "execute statement", error);
}

std::optional<std::string> APMSqliteStore::upsertSQLForRecord(const APMRecord& record, std::string_view table,
                                                              Array* values) {
  std::string names, placeholders;
  for (const auto& [name, value] : record) {
    if (!isSupportedKind(value)) {
      storeMonitor().logWithLevel(4, 34020, "Record has value of unexpected type");
      return std::nullopt;
    }
    names += name + ", ";
    placeholders += "?, ";
    values->push_back(value);
  }
  return "INSERT OR REPLACE INTO " + std::string(table) + " (" + replaceLastTwo(names, ") VALUES (") +
         replaceLastTwo(placeholders, ");");
}

sqlite3_stmt* APMSqliteStore::upsertStatementForRecord(const APMRecord& record, std::string_view table,
                                                       APMErrorOut error) {
  if (!APMCheckSuccess(!table.empty(), error, 1, "Received empty table name for upsert")) return nullptr;
  if (!APMCheckSuccess(!record.empty(), error, 1, "Received empty record for upsert")) return nullptr;
  Array values;
  auto sql = upsertSQLForRecord(record, table, &values);
  return sql ? preparedStatement(*sql, values, error) : nullptr;
}

sqlite3_stmt* APMSqliteStore::preparedStatement(std::string_view sql, const Array& values, APMErrorOut error) {
  sqlite3_stmt* statement = prepareSQL(sql, error);
  if (statement && !bindValues(values, statement, error)) {
    sqlite3_finalize(statement);
    return nullptr;
  }
  return statement;
}

bool APMSqliteStore::updateRecord(const APMRecord& record, std::string_view table, std::string_view column,
                                  const Value* value, APMErrorOut error) {
  sqlite3_stmt* statement = updateStatementForRecord(record, table, column, value, error);
  return statement && executeSQLStatement(statement, error);
}

sqlite3_stmt* APMSqliteStore::updateStatementForRecord(const APMRecord& record, std::string_view table,
                                                       std::string_view column, const Value* value,
                                                       APMErrorOut error) {
  if (!APMCheckSuccess(!record.empty(), error, 1, "Empty record for update")) return nullptr;
  if (!APMCheckSuccess(!table.empty(), error, 1, "Empty table name for update")) return nullptr;
  if (!APMCheckSuccess(!column.empty(), error, 1, "Empty column name for update")) return nullptr;
  if (!APMCheckNotNil(value, error, 1, "Nil column value for update")) return nullptr;
  if (!APMCheckSuccess(isOpen(), error, 2, "Update record failed. Database not open.")) return nullptr;
  std::string assignments;
  Array values;
  for (const auto& [name, entry] : record) {
    if (!isSupportedKind(entry)) {
      storeMonitor().logWithLevel(4, 34021, "Record has value of unexpected type (update)");
      APMSetErrorWithoutContext(error, 1, "Failed to bind parameter of unexpected type to update statement");
      return nullptr;
    }
    assignments += name + "=?,";
    values.push_back(entry);
  }
  assignments.pop_back();
  values.push_back(*value);
  return preparedStatement("UPDATE " + std::string(table) + " SET " + assignments + " WHERE " + std::string(column) + "=?",
                           values, error);
}

bool APMSqliteStore::increaseColumn(std::string_view column, std::int64_t amount, std::string_view table,
                                    std::string_view condition, const Array& parameterValues, APMErrorOut error) {
  if (!APMCheckSuccess(!table.empty(), error, 1, "Empty table name for increase column")) return false;
  if (!APMCheckSuccess(!column.empty(), error, 1, "Empty column name for increase column")) return false;
  if (!APMCheckSuccess(!condition.empty(), error, 1, "Empty condition for increase column")) return false;
  if (!APMCheckSuccess(isOpen(), error, 2, "Increase column failed. Database not open.")) return false;
  auto info = columnInfoForTableWithName(table, error);
  if (!info) return false;
  auto it = info->find(std::string(column));
  if (!APMCheckSuccess(it != info->end(), error, 1, "Invalid column or table name")) return false;
  if (!APMCheckSuccess(upper(it->second) == "INTEGER", error, 1, "Column type is not integer.")) return false;
  const std::string col(column);
  const std::string query = "UPDATE " + std::string(table) + " SET " + col + " = " + col + " + " +
                            std::to_string(amount) + " WHERE " + std::string(condition);
  return stepQueryOnce(query, parameterValues, "increase records value", error);
}

bool APMSqliteStore::deleteRecordFromTableWithName(std::string_view table, std::string_view column,
                                                   const Value* value, APMErrorOut error) {
  if (!APMCheckSuccess(!table.empty(), error, 1, "Received empty table name for delete record")) return false;
  if (!APMCheckSuccess(!column.empty(), error, 1, "Received empty column for delete record")) return false;
  if (!APMCheckNotNil(value, error, 1, "Received nil value for delete record")) return false;
  if (!APMCheckSuccess(isOpen(), error, 2, "Delete record failed. Database not open.")) return false;
  // Prepared for this call only.
  sqlite3_stmt* statement =
      preparedStatement("DELETE FROM " + std::string(table) + " WHERE " + std::string(column) + "=?", {*value}, error);
  if (!statement) return false;
  const bool done = sqlite3_step(statement) == SQLITE_DONE;
  if (!done) setDatabaseError(error, "delete record");
  sqlite3_finalize(statement);
  return done;
}

std::optional<std::int64_t> APMSqliteStore::deleteRecordsFromTableWithName(std::string_view table,
                                                                           std::string_view condition,
                                                                           const Array& parameterValues,
                                                                           APMErrorOut error) {
  if (!APMCheckSuccess(!table.empty(), error, 1, "Received empty table name for delete record")) return std::nullopt;
  if (!APMCheckSuccess(!condition.empty(), error, 1, "Received empty condition for delete record")) return std::nullopt;
  if (!APMCheckSuccess(isOpen(), error, 2, "Delete records with condition failed. Database not open."))
    return std::nullopt;
  const std::string query = "DELETE FROM " + std::string(table) + " WHERE " + std::string(condition);
  if (!stepQueryOnce(query, parameterValues, "delete records with condition", error)) return std::nullopt;
  return sqlite3_changes(handle_);
}

bool APMSqliteStore::deleteAllRecordsFromTableWithName(std::string_view table, APMErrorOut error) {
  if (!APMCheckSuccess(!table.empty(), error, 1, "Received empty table name for delete all records")) return false;
  if (!APMCheckSuccess(isOpen(), error, 2, "Delete all records failed. Database not open.")) return false;
  return stepQueryOnce("DELETE FROM " + std::string(table), {}, "delete all records", error);
}

bool APMSqliteStore::stepQueryOnce(std::string_view query, const Array& parameterValues, std::string_view operation,
                                   APMErrorOut error) {
  sqlite3_stmt* statement = statementForQuery(query, parameterValues, error);
  if (!statement) return false;
  const bool done = sqlite3_step(statement) == SQLITE_DONE;
  if (!done) setDatabaseError(error, operation);
  cleanUpStatement(statement, query);
  return done;
}

// MARK: Queries

std::optional<std::vector<APMRecord>> APMSqliteStore::recordsForQuery(std::string_view query,
                                                                      const Array& parameterValues,
                                                                      APMErrorOut error) {
  return recordsForQuery(query, parameterValues, error, [](std::size_t, const APMRecord&) { return true; });
}

std::optional<std::vector<APMRecord>> APMSqliteStore::recordsForQuery(std::string_view query,
                                                                      const Array& parameterValues,
                                                                      APMErrorOut error,
                                                                      const APMRecordFilter& filter) {
  if (!APMCheckSuccess(!query.empty(), error, 1, "Received empty query for records for query")) return std::nullopt;
  if (!APMCheckNotNil(filter, error, 1, "Received empty filter for selecting records")) return std::nullopt;
  if (!APMCheckSuccess(isOpen(), error, 2, "Query records failed. Database not open.")) return std::nullopt;
  if (!APMCheckSuccess(startsWithSelect(query), error, 1, "Received invalid select query")) return std::nullopt;
  sqlite3_stmt* statement = statementForQuery(query, parameterValues, error);
  if (!statement) return std::nullopt;
  std::vector<APMRecord> rows;
  std::size_t read = 0;
  int rc;
  while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
    ++read;
    APMRecord row;
    const int count = sqlite3_column_count(statement);
    for (int i = 0; i < count; ++i) {
      const char* name = sqlite3_column_name(statement, i);
      if (!name) {
        storeMonitor().logWithLevel(4, 34003, "Failed to get column name");
        continue;
      }
      auto value = valueAtColumn(i, statement);
      if (!value) {
        storeMonitor().logWithLevel(4, 34004, "Value is nil for column", Value(name));
        continue;
      }
      row.set(name, std::move(*value));
    }
    if (!filter(rows.size(), row)) {
      rc = SQLITE_DONE;
      break;
    }
    rows.push_back(std::move(row));
  }
  // A read that ends in a failure (a damaged page, say) is not a short result.
  const bool failed = rc != SQLITE_DONE;
  if (failed) setDatabaseError(error, "execute statement");
  if (read > 0 && rows.empty()) storeMonitor().logWithLevel(4, 34005, "Database contains records that were all filtered out");
  cleanUpStatement(statement, query);
  if (failed) return std::nullopt;
  return rows;
}

std::optional<Value> APMSqliteStore::numberForQuery(std::string_view query, const Array& parameterValues,
                                                    APMErrorOut error) {
  if (!APMCheckSuccess(!query.empty(), error, 1, "Received empty query to get numeric result")) return std::nullopt;
  if (!APMCheckSuccess(isOpen(), error, 2, "Query numeric result failed. Database not open.")) return std::nullopt;
  sqlite3_stmt* statement = statementForQuery(query, parameterValues, error);
  if (!statement) return std::nullopt;
  std::optional<Value> result;
  if (sqlite3_step(statement) != SQLITE_ROW) {
    setDatabaseError(error, "query numeric result");
  } else if (auto value = valueAtColumn(0, statement); value && (value->is_integer() || value->is_real())) {
    result = std::move(*value);
  } else if (!value || !value->is_null()) {
    APMSetErrorWithoutContext(error, 1, "Found result that was not numeric");
  }
  cleanUpStatement(statement, query);
  return result;
}

// MARK: Transactions

bool APMSqliteStore::performTransaction(const std::function<bool()>& block) {
  if (!block) {
    storeMonitor().logWithLevel(1, 34006, "Received nil transaction block");
    return false;
  }
  if (!isOpen()) {
    storeMonitor().logWithLevel(1, 34007, "Perform transaction failed. Database not open");
    return false;
  }
  if (!beginTransaction()) {
    storeMonitor().logWithLevel(1, 34008, "Failed to begin transaction");
    return false;
  }
  bool committed = false;
  try {
    committed = block();
  } catch (...) {
    if (!rollbackTransaction()) storeMonitor().logWithLevel(1, 34009, "Failed to rollback transaction after exception");
    throw;
  }
  if (!committed) {
    storeMonitor().logWithLevel(0, 34010, "Transaction failed");
    if (!rollbackTransaction()) storeMonitor().logWithLevel(1, 34011, "Failed to rollback transaction");
    return false;
  }
  if (!endTransaction()) {
    storeMonitor().logWithLevel(1, 34012, "Failed to end transaction");
    return false;
  }
  return true;
}

bool APMSqliteStore::beginTransaction() {
  if (!isOpen()) {
    storeMonitor().logWithLevel(1, 34013, "Begin transaction failed. Database not open");
    return false;
  }
  return sqlite3_exec(handle_, "BEGIN EXCLUSIVE TRANSACTION", nullptr, nullptr, nullptr) == 0;
}

bool APMSqliteStore::endTransaction() {
  if (!isOpen()) {
    storeMonitor().logWithLevel(1, 34014, "End transaction failed. Database not open");
    return false;
  }
  return sqlite3_exec(handle_, "END TRANSACTION", nullptr, nullptr, nullptr) == 0;
}

bool APMSqliteStore::rollbackTransaction() {
  if (!isOpen()) {
    storeMonitor().logWithLevel(1, 34015, "Rollback transaction failed. Database not open");
    return false;
  }
  return sqlite3_exec(handle_, "ROLLBACK", nullptr, nullptr, nullptr) == 0;
}

// MARK: Statements

sqlite3_stmt* APMSqliteStore::statementForQuery(std::string_view query, APMErrorOut error) {
  return statementForQuery(query, Array{}, error);
}

sqlite3_stmt* APMSqliteStore::statementForQuery(std::string_view query, const Array& parameterValues,
                                                APMErrorOut error) {
  if (!APMCheckSuccess(isOpen(), error, 2, "Statement for query failed. Database not open.")) return nullptr;
  const bool hasPlaceholders = query.find('?') != std::string_view::npos;
  if (!APMCheckSuccess(!(hasPlaceholders && parameterValues.empty()), error, 1, "Received empty parameters"))
    return nullptr;
  sqlite3_stmt* statement = nullptr;
  bool cached = false;
  if (auto it = statementCache_.find(query); it != statementCache_.end()) {
    statement = it->second;
    cached = true;
  } else {
    statement = prepareSQL(query, error);
    if (!statement) return nullptr;
    if (hasPlaceholders || !containsCaseInsensitive(query, "where")) {
      statementCache_.emplace(std::string(query), statement);
      cached = true;
    }
  }
  if (!parameterValues.empty() && !bindValues(parameterValues, statement, error)) {
    if (cached) {
      sqlite3_clear_bindings(statement);
    } else {
      sqlite3_finalize(statement);
    }
    return nullptr;
  }
  return statement;
}

void APMSqliteStore::cleanUpStatement(sqlite3_stmt* statement, std::string_view query) {
  if (!statement) return;
  auto it = statementCache_.find(query);
  if (it == statementCache_.end()) {
    sqlite3_finalize(statement);
    return;
  }
  if (it->second != statement) storeMonitor().logWithLevel(4, 34016, "Statement is not the same one in the cache");
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
}

sqlite3_stmt* APMSqliteStore::prepareSQL(std::string_view sql, APMErrorOut error) {
  if (!APMCheckSuccess(!sql.empty(), error, 1, "Received empty SQL string to prepare")) return nullptr;
  if (!APMCheckSuccess(isOpen(), error, 2, "Prepare SQL failed. Database not open.")) return nullptr;
  sqlite3_stmt* statement = nullptr;
  const char* tail = nullptr;
  if (sqlite3_prepare_v2(handle_, sql.data(), static_cast<int>(sql.size()), &statement, &tail) != SQLITE_OK ||
      !statement) {
    setDatabaseError(error, "prepare statement");
    sqlite3_finalize(statement);
    return nullptr;
  }
  if (tail && tail < sql.data() + sql.size()) {
    const std::string_view rest(tail, static_cast<std::size_t>(sql.data() + sql.size() - tail));
    if (rest.find_first_not_of(" \t\r\n;") != std::string_view::npos) {
      APMSetErrorWithoutContext(error, 1, "Query contained more than one SQL statement.");
      sqlite3_finalize(statement);
      return nullptr;
    }
  }
  return statement;
}

bool APMSqliteStore::executeSQL(std::string_view sql, APMErrorOut error) {
  if (!APMCheckSuccess(!sql.empty(), error, 1, "Received empty SQL string to execute")) return false;
  if (!APMCheckSuccess(isOpen(), error, 2, "Execute SQL failed. Database not open.")) return false;
  sqlite3_stmt* statement = prepareSQL(sql, error);
  return statement && executeSQLStatement(statement, error);
}

bool APMSqliteStore::executeSQLStatement(sqlite3_stmt* statement, APMErrorOut error) {
  if (!APMCheckSuccess(statement, error, 1, "Execute SQL statement failed. Statement is NULL.")) return false;
  if (!isOpen()) {
    APMSetErrorWithoutContext(error, 2, "Execute SQL statement failed. Database not open.");
    sqlite3_finalize(statement);
    return false;
  }
  const bool done = sqlite3_step(statement) == SQLITE_DONE;
  if (!done) setDatabaseError(error, "execute statement");
  sqlite3_finalize(statement);
  return done;
}

std::optional<Value> APMSqliteStore::valueAtColumn(int column, sqlite3_stmt* statement) {
  if (!statement) return std::nullopt;
  switch (sqlite3_column_type(statement, column)) {
    case SQLITE_INTEGER:
      return Value(static_cast<long long>(sqlite3_column_int64(statement, column)));
    case SQLITE_FLOAT:
      return Value(sqlite3_column_double(statement, column));
    case SQLITE_TEXT: {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
      if (!text) return std::nullopt;
      return Value(std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(statement, column))));
    }
    case SQLITE_BLOB: {
      const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(statement, column));
      if (!bytes) return std::nullopt;
      return Value(fd::Bytes(bytes, bytes + sqlite3_column_bytes(statement, column)));
    }
    case SQLITE_NULL:
      return Value();
    default:
      return std::nullopt;
  }
}

bool APMSqliteStore::bindValues(const Array& values, sqlite3_stmt* statement, APMErrorOut error) {
  if (!APMCheckSuccess(statement, error, 1, "Failed to bind to NULL statement")) return false;
  sqlite3_clear_bindings(statement);
  static const std::uint8_t kEmpty = 0;
  bool bound = true;
  int index = 1;
  for (const auto& value : values) {
    int rc = SQLITE_MISUSE;
    if (const auto* data = value.data()) {
      // Copied: a cached statement keeps its bindings after the caller's data is gone.
      rc = sqlite3_bind_blob(statement, index, data->empty() ? &kEmpty : data->data(), static_cast<int>(data->size()),
                             SQLITE_TRANSIENT);
    } else if (value.is_real()) {
      rc = sqlite3_bind_double(statement, index, *value.as_double());
    } else if (value.is_number()) {
      rc = sqlite3_bind_int64(statement, index, *value.as_int());
    } else if (const auto* text = value.string()) {
      rc = sqlite3_bind_text(statement, index, text->data(), static_cast<int>(text->size()), SQLITE_TRANSIENT);
    } else if (value.is_null()) {
      rc = sqlite3_bind_null(statement, index);
    }
    if (rc != SQLITE_OK) bound = false;
    ++index;
  }
  if (!bound) setDatabaseError(error, "bind values");
  return bound;
}

// MARK: Errors

std::optional<std::string> APMSqliteStore::lastErrorMessage() {
  if (!isOpen()) {
    storeMonitor().logWithLevel(1, 34022, "Failed to get last error message. Database not open");
    return std::nullopt;
  }
  const char* message = sqlite3_errmsg(handle_);
  return message ? std::string(message) : std::string();
}

std::optional<std::string> APMSqliteStore::errorDescriptionForDatabaseOperation(std::string_view operation) {
  if (!isOpen()) return std::nullopt;
  return "Database operation \"" + std::string(operation) + "\" failed with sqlite code " +
         std::to_string(sqlite3_errcode(handle_)) + " and error message \"" + lastErrorMessage().value_or("") + "\"";
}

std::string APMSqliteStore::monitorContextForDatabaseOperation(std::string_view operation) {
  std::string context = operation.empty() ? std::string("Unknown operation") : std::string(operation);
  context += "," + std::to_string(handle_ ? sqlite3_errcode(handle_) : 0);
  context += ::access(databasePath_.c_str(), W_OK) == 0 ? ",A," : ",NA,";
  auto& fm = os::FileManager::shared();
  auto space = fm.file_system_size_and_free(databasePath_);
  if (!space) space = fm.file_system_size_and_free(std::filesystem::path(databasePath_).parent_path());
  if (space) {
    const std::uint64_t mebibytes = space->second >> 20;
    context += mebibytes == 0 ? std::string("-1")
                              : std::to_string(static_cast<int>(std::floor(std::log10(static_cast<double>(mebibytes)))));
  }
  return context;
}

void APMSqliteStore::setDatabaseError(APMErrorOut error, std::string_view operation) {
  if (!error) return;
  APMSetError(error, 3, errorDescriptionForDatabaseOperation(operation).value_or(""),
              monitorContextForDatabaseOperation(operation));
}

}  // namespace analytics
