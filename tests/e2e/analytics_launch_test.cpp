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

// A fresh folder with the device and both scripts, removed at the end.
class AnalyticsLaunchDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "analytics-launch-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    device_ = root_ / "device";
    std::ofstream(root_ / "start.txt") << kAnalyticsStartScript;
    std::ofstream(root_ / "first-open.txt") << kAnalyticsFirstOpenScript;
  }
  void TearDown() override {
    std::error_code ec;
    if (!root_.empty()) fs::remove_all(root_, ec);
  }
  // appsim run on the test's device; `firstOpen` picks the first-open script.
  AppSimProcess::Result launch(bool firstOpen, bool reinstall = false,
                               const fs::path& bundle = AppSimProcess::built_bundle()) const {
    std::vector<std::string> args{"run", "--fakes", "--device", device_.string(), "--bundle", bundle.string()};
    if (reinstall) args.push_back("--reinstall");
    args.push_back((root_ / (firstOpen ? "first-open.txt" : "start.txt")).string());
    return AppSimProcess::run(args);
  }

  fs::path root_;
  fs::path device_;
};

TEST_F(AnalyticsLaunchDeviceTest, TheFirstOpenCountInTheKeychainSurvivesAReinstall) {
  const auto r1 = launch(true);
  ASSERT_EQ(r1.exit_code, 0) << r1.transcript();
  EXPECT_EQ(keychainFirstOpens(device_), "1");
  // A second launch of the same install is no first open.
  const auto r2 = launch(false);
  ASSERT_EQ(r2.exit_code, 0) << r2.transcript();
  EXPECT_EQ(keychainFirstOpens(device_), "1");
  const auto r3 = launch(true, true);
  ASSERT_EQ(r3.exit_code, 0) << r3.transcript();
  EXPECT_EQ(keychainFirstOpens(device_), "2");
}

TEST_F(AnalyticsLaunchDeviceTest, AnotherAppIDAtALaterLaunchWipesTheStoredData) {
  // A copy of the bundle whose service property list names another app ID.
  const fs::path other = root_ / "Other.app";
  fs::copy(AppSimProcess::built_bundle(), other, fs::copy_options::recursive);
  const fs::path plist = other / "VuzoraZedudid-Udor.plist";
  auto options = platform::foundation::plist::read_file(plist);
  ASSERT_TRUE(options && options->dict());
  platform::foundation::Dict changed = *options->dict();
  ASSERT_TRUE(changed.get("DOZADA_APP_ID").string());
  changed.set("DOZADA_APP_ID", platform::foundation::Value("1:482915306217:ios:00000000000000ff"));
  ASSERT_TRUE(platform::foundation::plist::write_file_atomically(platform::foundation::Value(changed), plist).has_value());

  const std::string wiped = "[I-ACS023171]";
  const auto r1 = launch(true);
  ASSERT_EQ(r1.exit_code, 0) << r1.transcript();
  const auto r2 = launch(false);
  ASSERT_EQ(r2.exit_code, 0) << r2.transcript();
  EXPECT_EQ(systemLogLines(device_, wiped), 0);
  const auto r3 = launch(true, false, other);
  ASSERT_EQ(r3.exit_code, 0) << r3.transcript();
  EXPECT_EQ(systemLogLines(device_, wiped), 1);
  // The wiped install reports its first open again, now under the new app ID.
  EXPECT_EQ(keychainFirstOpens(device_), "2");
}

}  // namespace
}  // namespace testing::e2e
