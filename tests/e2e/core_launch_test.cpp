// The app core's launch in appsim as a child process: on an App Store device
// the default app is configured without the debug line, although the
// profile passes "-FIRDebugEnabled", and the app's analytics is started.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "testing/harness/appsim_process.h"

namespace testing::e2e {
namespace {

namespace fs = std::filesystem;

TEST(CoreLaunchE2E, AppStoreDeviceStartsAnalyticsWithoutTheDebugLine) {
  std::string pattern = (fs::temp_directory_path() / "core-launch-XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  const fs::path root = pattern;
  const fs::path device = root / "device";
  const fs::path script = root / "script.txt";
  std::ofstream(script) << "launch\n"
                           "wait syslog \"[I-ACS023007] Analytics v.50300000 started\" 30s\n";
  const auto r = AppSimProcess::run({"run", "--profile", "appstore", "--device", device.string(), "--bundle",
                                     AppSimProcess::built_bundle().string(), script.string()});
  EXPECT_EQ(r.exit_code, 0) << r.transcript();

  std::ifstream log(device / "Logs" / "system.log");
  int analytics_missing = 0, analytics_started = 0, configuring = 0;
  for (std::string line; std::getline(log, line);) {
    analytics_missing += line.find("[I-COR000022]") != std::string::npos;
    analytics_started += line.find("[I-ACS023007]") != std::string::npos;
    configuring += line.find("I-COR000001") != std::string::npos;
  }
  EXPECT_EQ(analytics_missing, 0);
  EXPECT_EQ(analytics_started, 1);
  EXPECT_EQ(configuring, 0);
  std::ifstream profile(device / "device.json");
  std::string text((std::istreambuf_iterator<char>(profile)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("-FIRDebugEnabled"), std::string::npos);
  std::error_code ec;
  fs::remove_all(root, ec);
}

}  // namespace
}  // namespace testing::e2e
