#pragma once
// APMSqliteStore: one SQLite database file with integrity check on open,
// tables made and migrated from column descriptions, bound records, a cache of
// prepared statements keyed by their SQL text, exclusive transactions and
// errors that carry a monitor context.
// Thread: no lock of its own; every call must come from one serial queue (the
// analytics worker queue).
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "analytics/support/errors.h"
#include "platform/foundation/value.h"

struct sqlite3;
struct sqlite3_stmt;

namespace analytics {

// Column name to value: string, number, data or null.
using APMRecord = platform::foundation::Dict;
// Ordered (name, type text) descriptions; a table key is the name "PRIMARY KEY"
// with its parenthesised column list as text.
using APMColumnInfo = std::vector<std::pair<std::string, std::string>>;
// Column name to the new type text of an existing column.
using APMModifyColumnInfo = std::vector<std::pair<std::string, std::string>>;
// Row filter: number of rows accepted so far and the row; false ends the read.
using APMRecordFilter = std::function<bool(std::size_t acceptedCount, const APMRecord& row)>;

class APMSqliteStore {
 public:
  // Opens and validates the file at `path`, replacing a damaged one once.
  // nullptr for an empty path (34000) or when the file cannot be opened.
  static std::unique_ptr<APMSqliteStore> initWithDatabasePath(std::string_view path);
  ~APMSqliteStore();
  APMSqliteStore(const APMSqliteStore&) = delete;
  APMSqliteStore& operator=(const APMSqliteStore&) = delete;

  sqlite3* sqliteHandle() const { return handle_; }
  const std::string& databasePath() const { return databasePath_; }

  // Closes, then removes the file with its journal files.
  bool closeAndDeleteDatabase();
  void closeDatabase();
  void finalizeAndClearStatements();

  // Tables from column descriptions.
  bool ensureTableWithName(std::string_view table, const APMColumnInfo& elementary, const APMColumnInfo& addOn,
                           APMErrorOut error);
  bool ensureSchemaOfTableWithName(std::string_view table, const APMColumnInfo& elementary,
                                   const APMColumnInfo& addOn, APMErrorOut error);
  bool ensureTableWithName(std::string_view table, const APMColumnInfo& elementary, const APMColumnInfo& addOn,
                           const APMModifyColumnInfo& modify, APMErrorOut error);
  // `addOnColumns`: add-on column name to its ALTER statement, in order; may be empty.
  bool ensureTableWithName(std::string_view table, std::string_view createSQL,
                           const std::vector<std::string>& requiredColumnNames,
                           const std::vector<std::pair<std::string, std::string>>& addOnColumns, APMErrorOut error);
  std::optional<bool> validateTableWithName(std::string_view table, const std::vector<std::string>& requiredColumnNames,
                                            const std::vector<std::pair<std::string, std::string>>& addOnColumns,
                                            APMErrorOut error);

  bool dropTableWithName(std::string_view table, APMErrorOut error);
  bool renameTable(std::string_view oldName, std::string_view newName, APMErrorOut error);
  // Copies the rows through the columns both tables have, by name.
  bool copyContentsFromTable(std::string_view source, std::string_view destination, APMErrorOut error);
  std::optional<bool> tableExists(std::string_view table, APMErrorOut error);
  std::optional<std::int64_t> rowCountForTableWithName(std::string_view table, APMErrorOut error);
  std::optional<std::int64_t> rowCountForTableWithName(std::string_view table, std::string_view column,
                                                       const platform::foundation::Value* value, APMErrorOut error);
  std::optional<std::vector<std::string>> columnsForTableWithName(std::string_view table, APMErrorOut error);
  std::optional<std::map<std::string, std::string>> columnInfoForTableWithName(std::string_view table,
                                                                               APMErrorOut error);

  bool upsertRecord(const APMRecord& record, std::string_view table, APMErrorOut error);
  bool updateRecord(const APMRecord& record, std::string_view table, std::string_view column,
                    const platform::foundation::Value* value, APMErrorOut error);
  bool increaseColumn(std::string_view column, std::int64_t amount, std::string_view table,
                      std::string_view condition, const platform::foundation::Array& parameterValues,
                      APMErrorOut error);
  bool deleteRecordFromTableWithName(std::string_view table, std::string_view column,
                                     const platform::foundation::Value* value, APMErrorOut error);
  std::optional<std::int64_t> deleteRecordsFromTableWithName(std::string_view table, std::string_view condition,
                                                            const platform::foundation::Array& parameterValues,
                                                            APMErrorOut error);
  bool deleteAllRecordsFromTableWithName(std::string_view table, APMErrorOut error);

  std::optional<std::vector<APMRecord>> recordsForQuery(std::string_view query,
                                                        const platform::foundation::Array& parameterValues,
                                                        APMErrorOut error);
  std::optional<std::vector<APMRecord>> recordsForQuery(std::string_view query,
                                                        const platform::foundation::Array& parameterValues,
                                                        APMErrorOut error, const APMRecordFilter& filter);
  // A number (integer or real); nullopt with the error untouched for a NULL result.
  std::optional<platform::foundation::Value> numberForQuery(std::string_view query,
                                                            const platform::foundation::Array& parameterValues,
                                                            APMErrorOut error);

  // Runs `block` in an exclusive transaction; only true commits. An exception
  // rolls back and is rethrown.
  bool performTransaction(const std::function<bool()>& block);
  bool beginTransaction();
  bool endTransaction();
  bool rollbackTransaction();

  sqlite3_stmt* statementForQuery(std::string_view query, APMErrorOut error);
  sqlite3_stmt* statementForQuery(std::string_view query, const platform::foundation::Array& parameterValues,
                                  APMErrorOut error);
  void cleanUpStatement(sqlite3_stmt* statement, std::string_view query);
  sqlite3_stmt* prepareSQL(std::string_view sql, APMErrorOut error);
  bool executeSQL(std::string_view sql, APMErrorOut error);
  // Steps once and finalizes the statement.
  bool executeSQLStatement(sqlite3_stmt* statement, APMErrorOut error);
  bool validateDatabaseWithError(APMErrorOut error);
  std::optional<platform::foundation::Value> valueAtColumn(int column, sqlite3_stmt* statement);
  sqlite3_stmt* upsertStatementForRecord(const APMRecord& record, std::string_view table, APMErrorOut error);
  sqlite3_stmt* updateStatementForRecord(const APMRecord& record, std::string_view table, std::string_view column,
                                         const platform::foundation::Value* value, APMErrorOut error);
  bool bindValues(const platform::foundation::Array& values, sqlite3_stmt* statement, APMErrorOut error);

  std::optional<std::string> lastErrorMessage();
  std::optional<std::string> errorDescriptionForDatabaseOperation(std::string_view operation);
  std::string monitorContextForDatabaseOperation(std::string_view operation);
  void setDatabaseError(APMErrorOut error, std::string_view operation);

  // Number of statements in the cache.
  std::size_t cachedStatementCount() const { return statementCache_.size(); }

 private:
  explicit APMSqliteStore(std::string_view path);
  bool openAndValidateDatabase(APMErrorOut error);
  struct TableColumn {
    std::string name;
    std::string type;
    bool notNull;
  };
  // The rows of "PRAGMA table_info" with a name.
  std::optional<std::vector<TableColumn>> tableInfo(std::string_view table, APMErrorOut error);
  // The INSERT OR REPLACE text of a record, its values appended to `values`;
  // nullopt (34020) for a value of another kind.
  std::optional<std::string> upsertSQLForRecord(const APMRecord& record, std::string_view table,
                                                platform::foundation::Array* values);
  // Prepared for one use and bound; finalized again when binding fails.
  sqlite3_stmt* preparedStatement(std::string_view sql, const platform::foundation::Array& values, APMErrorOut error);
  // Steps `query` once through the statement cache and hands it back; false
  // with error 3 for `operation` unless the step reports done.
  bool stepQueryOnce(std::string_view query, const platform::foundation::Array& parameterValues,
                     std::string_view operation, APMErrorOut error);
  bool isOpen() const { return handle_ != nullptr; }

  sqlite3* handle_ = nullptr;
  std::map<std::string, sqlite3_stmt*, std::less<>> statementCache_;
  std::string queueLabel_;
  std::string databasePath_;
};

}  // namespace analytics
