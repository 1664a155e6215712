// Analytics on the app's launch road in appsim as a child process: a fresh
// install stores the first-open events and the first screen view, and a
// tapped notification (the push fake switches "fba" on) stores its open
// event, in the device's database.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "testing/harness/appsim_process.h"

namespace testing::e2e {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> storedEventNames(const fs::path& database) {
  std::vector<std::string> names;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return names;
  }
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT name FROM raw_events ORDER BY rowid", -1, &statement, nullptr) == SQLITE_OK) {
    while (sqlite3_step(statement) == SQLITE_ROW) {
      names.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
    }
  }
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return names;
}

TEST(AnalyticsLaunchE2E, AFreshInstallStoresFirstOpenAndATappedNotificationItsOpenEvent) {
  std::string pattern = (fs::temp_directory_path() / "analytics-launch-XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  const fs::path root = pattern;
  const fs::path device = root / "device";
  const fs::path script = root / "script.txt";
  std::ofstream(script) << "launch\n"
                           "wait syslog \"[I-ACS023016] Analytics is ready to receive events\" 30s\n"
                           "wait request push POST /api/v1/players 30s\n"
                           "wait idle 30s\n"
                           "tap-notification {\"custom\":{\"i\":\"7d0c3b1a-2e4f-4a5b-8c6d-9e0f1a2b3c4d\"},"
                           "\"aps\":{\"alert\":\"Hello\"}}\n"
                           "wait syslog \"Event logged. Event name, event params: os_notification_opened\" 30s\n";
  const auto r = AppSimProcess::run({"run", "--fakes", "--device", device.string(), "--bundle",
                                     AppSimProcess::built_bundle().string(), script.string()});
  EXPECT_EQ(r.exit_code, 0) << r.transcript();

  const fs::path database = device / "Containers" / "Data" / "org.example.intranet" / "Library" /
                            "Application Support" / "Dozada" / "Measurement" / "dozada-app-measurement.sql";
  ASSERT_TRUE(fs::exists(database));
  // The first screen's view comes with the launch's activation.
  EXPECT_EQ(storedEventNames(database), (std::vector<std::string>{"_f", "_e", "_vs", "os_notification_opened"}));
  std::error_code ec;
  fs::remove_all(root, ec);
}

}  // namespace
}  // namespace testing::e2e
