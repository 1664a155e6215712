// Analytics on the app's launch road in appsim as a child process, read from
// the device folder: the keychain's count of first opens survives a
// reinstall, and another app ID at a later launch wipes the stored data.
#include <gtest/gtest.h>
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

// Launches until the stored data was wiped for another app ID.
constexpr const char* kAnalyticsWipeScript =
    "launch\n"
    "wait syslog \"[I-ACS023171]\" 30s\n"
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
    std::ofstream(root_ / "wipe.txt") << kAnalyticsWipeScript;
  }
  void TearDown() override {
    std::error_code ec;
    if (!root_.empty()) fs::remove_all(root_, ec);
  }
  // appsim run on the test's device; `firstOpen` picks the first-open script.
  AppSimProcess::Result launch(bool firstOpen, bool reinstall = false,
                               const fs::path& bundle = AppSimProcess::built_bundle(),
                               const char* script = nullptr) const {
    std::vector<std::string> args{"run", "--fakes", "--device", device_.string(), "--bundle", bundle.string()};
    if (reinstall) args.push_back("--reinstall");
    args.push_back((root_ / (script ? script : firstOpen ? "first-open.txt" : "start.txt")).string());
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
  const auto r3 = launch(true, false, other, "wipe.txt");
  ASSERT_EQ(r3.exit_code, 0) << r3.transcript();
  EXPECT_EQ(systemLogLines(device_, wiped), 1);
  // The wiped install reports its first open again, now under the new app ID.
  EXPECT_EQ(keychainFirstOpens(device_), "2");
}

}  // namespace
}  // namespace testing::e2e
