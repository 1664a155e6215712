#pragma once
// Shared set-up of the store tests: a booted device, a folder for database
// files, raw sqlite3 access to build fixtures and read files back, and the
// monitor recorder.
#include <sqlite3.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analytics/config/persisted_config.h"
#include "analytics/store/database.h"
#include "analytics/support/files.h"
#include "platform/os/file_manager.h"
#include "platform/testing/manual_clock.h"
#include "tests/analytics/support.h"

namespace analytics_test {

// Runs SQL on a file of its own connection; rows come back as text ("NULL" for null).
class RawSqlite {
 public:
  explicit RawSqlite(const std::filesystem::path& path) { sqlite3_open(path.c_str(), &db_); }
  ~RawSqlite() { sqlite3_close(db_); }
  RawSqlite(const RawSqlite&) = delete;
  RawSqlite& operator=(const RawSqlite&) = delete;

  void exec(const std::string& sql) {
    char* message = nullptr;
    ASSERT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK) << sql << ": " << message;
  }
  std::vector<std::vector<std::string>> rows(const std::string& sql) {
    std::vector<std::vector<std::string>> result;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) return result;
    while (sqlite3_step(statement) == SQLITE_ROW) {
      std::vector<std::string> row;
      for (int i = 0; i < sqlite3_column_count(statement); ++i) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, i));
        row.emplace_back(text ? text : "NULL");
      }
      result.push_back(std::move(row));
    }
    sqlite3_finalize(statement);
    return result;
  }
  std::string one(const std::string& sql) {
    auto r = rows(sql);
    return r.empty() || r[0].empty() ? std::string("<none>") : r[0][0];
  }

 private:
  sqlite3* db_ = nullptr;
};

class StoreDeviceTest : public AnalyticsDeviceTest {
 protected:
  void SetUp() override {
    boot();
    folder_ = platform::os::FileManager::shared().url_for(platform::os::Directory::temporary) / "store";
  }
  void TearDown() override { platform::dispatch::wait_until_idle(); }
  std::filesystem::path path(const std::string& name) const { return folder_ / name; }
  void makeFolder() { std::filesystem::create_directories(folder_); }

  std::filesystem::path folder_;
  MonitorRecorder recorder_;
};

// A database at its real place, a pinned clock and the persisted configuration
// (midnight offset 0), for the table operations.
class DatabaseTablesTest : public StoreDeviceTest {
 protected:
  void SetUp() override {
    StoreDeviceTest::SetUp();
    clock_ = platform::testing::ManualClock::install();
    config_ = analytics::APMPersistedConfig::initWithSuiteName(analytics::APMPersistedConfig::kSuiteName);
    ASSERT_TRUE(config_);
    database_ = analytics::APMDatabase::initWithDatabaseName(analytics::APMDatabase::kDatabaseName, config_);
    ASSERT_TRUE(database_);
  }
  void TearDown() override {
    database_.reset();
    StoreDeviceTest::TearDown();
  }
  static std::filesystem::path file() {
    return analytics::APMApplicationSupportPath(analytics::APMDatabase::kDatabaseName);
  }
  double now() const { return clock_->now_since_1970(); }
  // The error's description, or "<none>".
  static std::string text(const std::optional<platform::foundation::Error>& error) {
    return error ? error->localized_description() : std::string("<none>");
  }

  std::shared_ptr<platform::testing::ManualClock> clock_;
  std::shared_ptr<analytics::APMPersistedConfig> config_;
  std::shared_ptr<analytics::APMDatabase> database_;
};

inline bool hasCode(const MonitorRecorder& recorder, std::int64_t code) {
  for (auto c : recorder.codes()) {
    if (c == code) return true;
  }
  return false;
}

}  // namespace analytics_test
