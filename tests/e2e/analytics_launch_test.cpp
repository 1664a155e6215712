// Analytics on the app's launch road in appsim as a child process: a fresh
// install stores the first-open events, and a tapped notification (the push
// fake switches "fba" on) stores its open event, in the device's database;
// the keychain's count of first opens survives a reinstall; another app ID
// at a later launch wipes the stored data.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/foundation/plist.h"
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
  EXPECT_EQ(storedEventNames(database), (std::vector<std::string>{"_f", "_e", "os_notification_opened"}));
  std::error_code ec;
  fs::remove_all(root, ec);
}

// A fresh folder for one test's device and files, removed at the end.
class AnalyticsLaunchRoot {
 public:
  AnalyticsLaunchRoot() {
    std::string pattern = (fs::temp_directory_path() / "analytics-launch-XXXXXX").string();
    if (::mkdtemp(pattern.data())) root_ = pattern;
  }
  ~AnalyticsLaunchRoot() {
    std::error_code ec;
    if (!root_.empty()) fs::remove_all(root_, ec);
  }
  AnalyticsLaunchRoot(const AnalyticsLaunchRoot&) = delete;
  AnalyticsLaunchRoot& operator=(const AnalyticsLaunchRoot&) = delete;
  const fs::path& path() const { return root_; }

 private:
  fs::path root_;
};

// Launches until analytics is ready.
constexpr const char* kAnalyticsStartScript =
    "launch\n"
    "wait syslog \"[I-ACS023016] Analytics is ready to receive events\" 30s\n"
    "wait idle 30s\n";
// Launches a first open until its events are stored ("_e" follows "_f").
constexpr const char* kAnalyticsFirstOpenScript =
    "launch\n"
    "wait syslog \"Event logged. Event name, event params: user_engagement (_e)\" 30s\n"
    "wait idle 30s\n";

// The keychain's text for the first-open counter, or "<none>".
std::string keychainFirstOpens(const fs::path& device) {
  const auto items = platform::foundation::plist::read_file(device / "Keychain" / "keychain.plist");
  if (!items || !items->array()) return "<none>";
  for (const auto& item : *items->array()) {
    const auto* dict = item.dict();
    const auto* account = dict ? dict->get("acct").data() : nullptr;
    const auto* value = dict ? dict->get("v_Data").data() : nullptr;
    if (account && value && platform::foundation::to_string(*account) == "_pfo") {
      return platform::foundation::to_string(*value);
    }
  }
  return "<none>";
}

// Lines of the device's system log that contain `text`.
int systemLogLines(const fs::path& device, const std::string& text) {
  std::ifstream log(device / "Logs" / "system.log");
  int count = 0;
  for (std::string line; std::getline(log, line);) count += line.find(text) != std::string::npos;
  return count;
}

TEST(AnalyticsLaunchE2E, TheFirstOpenCountInTheKeychainSurvivesAReinstall) {
  AnalyticsLaunchRoot root;
  ASSERT_FALSE(root.path().empty());
  const fs::path device = root.path() / "device";
  const fs::path script = root.path() / "script.txt";
  const fs::path firstOpen = root.path() / "first-open.txt";
  std::ofstream(script) << kAnalyticsStartScript;
  std::ofstream(firstOpen) << kAnalyticsFirstOpenScript;
  const std::vector<std::string> run{"run", "--fakes", "--device", device.string(), "--bundle",
                                     AppSimProcess::built_bundle().string()};
  auto first = run;
  first.push_back(firstOpen.string());
  const auto r1 = AppSimProcess::run(first);
  ASSERT_EQ(r1.exit_code, 0) << r1.transcript();
  EXPECT_EQ(keychainFirstOpens(device), "1");
  // A second launch of the same install is no first open.
  auto second = run;
  second.push_back(script.string());
  const auto r2 = AppSimProcess::run(second);
  ASSERT_EQ(r2.exit_code, 0) << r2.transcript();
  EXPECT_EQ(keychainFirstOpens(device), "1");

  auto again = run;
  again.push_back("--reinstall");
  again.push_back(firstOpen.string());
  const auto r3 = AppSimProcess::run(again);
  ASSERT_EQ(r3.exit_code, 0) << r3.transcript();
  EXPECT_EQ(keychainFirstOpens(device), "2");
  const fs::path database = device / "Containers" / "Data" / "org.example.intranet" / "Library" /
                            "Application Support" / "Dozada" / "Measurement" / "dozada-app-measurement.sql";
  ASSERT_TRUE(fs::exists(database));
}

TEST(AnalyticsLaunchE2E, AnotherAppIDAtALaterLaunchWipesTheStoredData) {
  AnalyticsLaunchRoot root;
  ASSERT_FALSE(root.path().empty());
  const fs::path device = root.path() / "device";
  const fs::path script = root.path() / "script.txt";
  const fs::path firstOpen = root.path() / "first-open.txt";
  std::ofstream(script) << kAnalyticsStartScript;
  std::ofstream(firstOpen) << kAnalyticsFirstOpenScript;
  // A copy of the bundle whose service property list names another app ID.
  const fs::path other = root.path() / "Other.app";
  fs::copy(AppSimProcess::built_bundle(), other, fs::copy_options::recursive);
  const fs::path plist = other / "VuzoraZedudid-Udor.plist";
  auto options = platform::foundation::plist::read_file(plist);
  ASSERT_TRUE(options && options->dict());
  platform::foundation::Dict changed = *options->dict();
  const std::string original = changed.get("DOZADA_APP_ID").string() ? *changed.get("DOZADA_APP_ID").string() : "";
  ASSERT_FALSE(original.empty());
  changed.set("DOZADA_APP_ID", platform::foundation::Value("1:482915306217:ios:00000000000000ff"));
  ASSERT_TRUE(platform::foundation::plist::write_file_atomically(platform::foundation::Value(changed), plist).has_value());

  const auto launch = [&](const fs::path& bundle, const fs::path& scenario) {
    return AppSimProcess::run(
        {"run", "--fakes", "--device", device.string(), "--bundle", bundle.string(), scenario.string()});
  };
  const std::string wiped = "[I-ACS023171]";
  const auto r1 = launch(AppSimProcess::built_bundle(), firstOpen);
  ASSERT_EQ(r1.exit_code, 0) << r1.transcript();
  const auto r2 = launch(AppSimProcess::built_bundle(), script);
  ASSERT_EQ(r2.exit_code, 0) << r2.transcript();
  EXPECT_EQ(systemLogLines(device, wiped), 0);
  const auto r3 = launch(other, firstOpen);
  ASSERT_EQ(r3.exit_code, 0) << r3.transcript();
  EXPECT_EQ(systemLogLines(device, wiped), 1);
  // The wiped install reports its first open again, now under the new app ID.
  EXPECT_EQ(keychainFirstOpens(device), "2");
}

}  // namespace
}  // namespace testing::e2e
