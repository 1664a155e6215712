// The identity scenario in appsim as a child process: on a fresh device and
// again after a reinstall on the same device (the keychain stays), the
// launch, the move to the background with its analytics upload, and the
// key pair in the keychain and files all check out.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "testing/harness/appsim_process.h"

namespace testing::e2e {
namespace {

namespace fs = std::filesystem;

TEST(IdentityLaunchE2E, TheIdentityScenarioPassesFreshAndAfterAReinstall) {
  std::string pattern = (fs::temp_directory_path() / "identity-launch-XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  const fs::path root = pattern;
  const fs::path device = root / "device";
  const std::vector<std::string> run{"run", "--fakes", "--device", device.string(), "--bundle",
                                     AppSimProcess::built_bundle().string()};
  auto fresh = run;
  fresh.push_back(IDENTITY_SCENARIO);
  const auto r1 = AppSimProcess::run(fresh);
  EXPECT_EQ(r1.exit_code, 0) << r1.transcript();

  auto reinstalled = run;
  reinstalled.push_back("--reinstall");
  reinstalled.push_back(IDENTITY_SCENARIO);
  const auto r2 = AppSimProcess::run(reinstalled);
  EXPECT_EQ(r2.exit_code, 0) << r2.transcript();
  EXPECT_NE(r2.transcript().find("reinstall: deleted"), std::string::npos);
  std::error_code ec;
  fs::remove_all(root, ec);
}

}  // namespace
}  // namespace testing::e2e
