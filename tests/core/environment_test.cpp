// Environment facts over booted device profiles, and the Mach-O walk behind
// the encryption fact.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "core/environment_util.h"
#include "platform/kernel/macho.h"
#include "platform/testing/reset.h"
#include "tests/core/fixture.h"

namespace {

using core::GULAppEnvironmentUtil;
namespace fs = std::filesystem;
namespace macho = platform::kernel::macho;

struct EnvironmentCase {
  const char* name;
  std::string distribution = "development";
  std::string machine = "iPhone12,1";
  std::string system_version = "13.5";
  platform::foundation::Dict info{};
  std::vector<std::string> bundle_files{};  // created in the app bundle
  bool from_app_store = false;
  bool receipt_sandbox = true;
  bool simulator = false;
  friend void PrintTo(const EnvironmentCase& c, std::ostream* os) { *os << c.name; }
};

class CoreEnvironmentTest : public core_test::CoreDeviceTest, public ::testing::WithParamInterface<EnvironmentCase> {};

TEST_P(CoreEnvironmentTest, FactsFollowTheProfileAndBundle) {
  const EnvironmentCase& c = GetParam();
  device_.emplace("core-env", c.info);
  for (const std::string& file : c.bundle_files) std::ofstream(device_->bundle() / file) << "x";
  platform::os::DeviceProfile profile;
  profile.distribution = c.distribution;
  profile.machine = c.machine;
  profile.system_version = c.system_version;
  ASSERT_TRUE(device_->boot({.profile = profile}));

  EXPECT_EQ(GULAppEnvironmentUtil::isFromAppStore(), c.from_app_store);
  EXPECT_EQ(GULAppEnvironmentUtil::isAppStoreReceiptSandbox(), c.receipt_sandbox);
  EXPECT_EQ(GULAppEnvironmentUtil::isSimulator(), c.simulator);
  EXPECT_EQ(GULAppEnvironmentUtil::deviceModel(), c.machine);
  EXPECT_EQ(GULAppEnvironmentUtil::systemVersion(), c.system_version);
  EXPECT_FALSE(GULAppEnvironmentUtil::isAppExtension());
}

using Info = platform::foundation::Dict;
constexpr const char* kCheck = "DavidizeAppStoreReceiptURLCheckEnabled";

INSTANTIATE_TEST_SUITE_P(
    Cases, CoreEnvironmentTest,
    ::testing::Values(
        EnvironmentCase{.name = "Development"},
        EnvironmentCase{.name = "DevelopmentWithScInfo", .bundle_files = {"SC_Info"}},
        EnvironmentCase{.name = "CheckOffByNumberWithScInfo",
                        .info = Info{{kCheck, 0}},
                        .bundle_files = {"SC_Info"},
                        .from_app_store = true,
                        .receipt_sandbox = false},
        EnvironmentCase{.name = "CheckOffByBoolWithScInfo",
                        .info = Info{{kCheck, false}},
                        .bundle_files = {"SC_Info"},
                        .from_app_store = true,
                        .receipt_sandbox = false},
        EnvironmentCase{.name = "CheckOffByNumberUnencrypted", .info = Info{{kCheck, 0}}, .receipt_sandbox = false},
        EnvironmentCase{.name = "StringSwitchesNothingOff", .info = Info{{kCheck, "NO"}}, .bundle_files = {"SC_Info"}},
        EnvironmentCase{.name = "OldSystemSkipsReceipt",
                        .system_version = "6.1",
                        .bundle_files = {"SC_Info"},
                        .from_app_store = true,
                        .receipt_sandbox = false},
        EnvironmentCase{.name = "AppStore", .distribution = "app_store", .from_app_store = true, .receipt_sandbox = false},
        EnvironmentCase{.name = "AppStoreWithProvisioning",
                        .distribution = "app_store",
                        .bundle_files = {"embedded.mobileprovision"},
                        .receipt_sandbox = false},
        EnvironmentCase{.name = "Enterprise", .distribution = "enterprise"},
        EnvironmentCase{.name = "Simulator",
                        .distribution = "app_store",
                        .machine = "x86_64",
                        .receipt_sandbox = false,
                        .simulator = true},
        EnvironmentCase{.name = "OldSimulator", .machine = "i386", .simulator = true}),
    [](const auto& test_info) { return std::string(test_info.param.name); });

TEST_F(CoreEnvironmentTest, ExtensionBundleIsAnExtension) {
  device_.emplace("core-env");
  const fs::path appex = device_->root() / "Share.appex";
  fs::copy(device_->bundle(), appex);
  ASSERT_TRUE(platform::os::boot(device_->device(), appex));
  EXPECT_TRUE(GULAppEnvironmentUtil::isAppExtension());
}

TEST_F(CoreEnvironmentTest, OnceOnlyFactsStayUntilReset) {
  boot([](platform::os::DeviceProfile& p) { p.machine = "iPhone9,1"; });
  EXPECT_EQ(GULAppEnvironmentUtil::deviceModel(), "iPhone9,1");
  EXPECT_FALSE(GULAppEnvironmentUtil::isFromAppStore());

  platform::testing::reset();
  boot([](platform::os::DeviceProfile& p) {
    p.machine = "x86_64";
    p.distribution = "app_store";
  });
  EXPECT_EQ(GULAppEnvironmentUtil::deviceModel(), "iPhone9,1");
  GULAppEnvironmentUtil::resetForTesting();
  EXPECT_EQ(GULAppEnvironmentUtil::deviceModel(), "x86_64");
  EXPECT_TRUE(GULAppEnvironmentUtil::isSimulator());
}

// ---- the Mach-O walk ------------------------------------------------------------

class HeaderBytes {
 public:
  explicit HeaderBytes(bool is64) : is64_(is64) {
    put(is64 ? macho::kMagic64 : macho::kMagic32);
    put(macho::kCpuTypeX86_64);
    put(3);
    put(macho::kFileTypeExecute);
    put(0);  // ncmds, counted by command()
    put(0);  // sizeofcmds
    put(0);
    if (is64) put(0);
  }
  // A command of `size` bytes (at least 8 written), extra words after cmd/cmdsize.
  HeaderBytes& command(std::uint32_t cmd, std::uint32_t size, std::vector<std::uint32_t> words = {}) {
    const std::size_t start = bytes_.size();
    put(cmd);
    put(size);
    for (std::uint32_t w : words) put(w);
    while (bytes_.size() - start < size) bytes_.push_back(0);
    set(16, get(16) + 1);
    set(20, static_cast<std::uint32_t>(bytes_.size() - (is64_ ? 32 : 28)));
    return *this;
  }
  HeaderBytes& ncmds(std::uint32_t n) {
    set(16, n);
    return *this;
  }
  HeaderBytes& truncate(std::size_t n) {
    bytes_.resize(n);
    return *this;
  }
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }

 private:
  void put(std::uint32_t v) {
    std::uint8_t b[4];
    std::memcpy(b, &v, 4);
    bytes_.insert(bytes_.end(), b, b + 4);
  }
  std::uint32_t get(std::size_t at) const {
    std::uint32_t v;
    std::memcpy(&v, bytes_.data() + at, 4);
    return v;
  }
  void set(std::size_t at, std::uint32_t v) { std::memcpy(bytes_.data() + at, &v, 4); }

  bool is64_;
  std::vector<std::uint8_t> bytes_;
};

TEST(CoreMachOWalkTest, EncryptionCommandDecides) {
  constexpr std::uint32_t kSegment64 = 0x19, kUuid = 0x1B;
  struct Case {
    const char* name;
    HeaderBytes header;
    bool encrypted;
  };
  const Case cases[] = {
      {"64-bit cryptid 1", HeaderBytes(true).command(macho::kLcEncryptionInfo64, 24, {0, 0, 1}), true},
      {"64-bit cryptid 0", HeaderBytes(true).command(macho::kLcEncryptionInfo64, 24, {0, 0, 0}), false},
      {"32-bit cryptid 1", HeaderBytes(false).command(macho::kLcEncryptionInfo, 20, {0, 0, 1}), true},
      {"32-bit cryptid 0", HeaderBytes(false).command(macho::kLcEncryptionInfo, 20, {0, 0, 0}), false},
      {"after other commands",
       HeaderBytes(true).command(kSegment64, 72).command(kUuid, 24).command(macho::kLcEncryptionInfo64, 24, {0, 0, 1}),
       true},
      {"first encryption command wins",
       HeaderBytes(true).command(macho::kLcEncryptionInfo64, 24, {0, 0, 0}).command(macho::kLcEncryptionInfo64, 24, {0, 0, 1}),
       false},
      {"no load commands", HeaderBytes(true), false},
      {"no encryption command", HeaderBytes(true).command(kUuid, 24), false},
      {"command size 0", HeaderBytes(true).command(kUuid, 0).command(macho::kLcEncryptionInfo64, 24, {0, 0, 1}), false},
      {"command size 4", HeaderBytes(true).command(kUuid, 4).command(macho::kLcEncryptionInfo64, 24, {0, 0, 1}), false},
      {"command past the end", HeaderBytes(true).command(kUuid, 24).command(macho::kLcEncryptionInfo64, 24, {0, 0, 1}).truncate(32 + 24 + 20), false},
      {"encryption command too short for cryptid", HeaderBytes(true).command(macho::kLcEncryptionInfo64, 16, {0, 0}), false},
      {"more commands counted than present", HeaderBytes(true).command(kUuid, 24).ncmds(1000), false},
      {"header cut short", HeaderBytes(true).truncate(20), false},
      {"64-bit header without room for commands", HeaderBytes(true).ncmds(1).truncate(30), false},
      {"empty", HeaderBytes(true).truncate(0), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(core::GULIsMachOHeaderEncrypted(c.header.bytes()), c.encrypted);
  }
  // A byte-swapped magic is no header this walker reads.
  std::vector<std::uint8_t> swapped = HeaderBytes(true).command(macho::kLcEncryptionInfo64, 24, {0, 0, 1}).bytes();
  std::reverse(swapped.begin(), swapped.begin() + 4);
  EXPECT_FALSE(core::GULIsMachOHeaderEncrypted(swapped));
}

}  // namespace
