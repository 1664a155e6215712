// The loader's image list: the main program first with file type 2, shared
// objects with 6, and the main program's cryptid following the boot facts.
#include <unistd.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "platform/kernel/loader.h"
#include "platform/kernel/macho.h"
#include "platform/testing/reset.h"
#include "platform/testing/temp_device.h"

namespace {

namespace kernel = platform::kernel;
namespace macho = platform::kernel::macho;

macho::Header64 header_of(const kernel::Image& image) {
  macho::Header64 h;
  std::memcpy(&h, image.macho_header, sizeof h);
  return h;
}

// The main program's cryptid, or -1 when its header has no encryption command.
long main_cryptid() {
  const kernel::Image* image = kernel::image_at(0);
  if (!image) return -1;
  const macho::Header64 h = header_of(*image);
  const auto* commands = static_cast<const std::uint8_t*>(image->macho_header) + sizeof(macho::Header64);
  for (std::uint32_t i = 0, offset = 0; i < h.ncmds; ++i) {
    macho::EncryptionInfo64 c;
    std::memcpy(&c, commands + offset, sizeof(macho::LoadCommand));
    if (c.cmd == macho::kLcEncryptionInfo64) {
      std::memcpy(&c, commands + offset, sizeof c);
      return c.cryptid;
    }
    offset += c.cmdsize;
  }
  return -1;
}

kernel::BootFacts facts(const char* distribution) {
  kernel::BootFacts f;
  std::strncpy(f.distribution, distribution, sizeof f.distribution - 1);
  return f;
}

class PlatformKernelLoaderTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::testing::reset(); }
};

TEST_F(PlatformKernelLoaderTest, MainProgramFirstThenSharedObjects) {
  const std::size_t count = kernel::image_count();
  ASSERT_GE(count, 2u);  // the test binary links shared libraries (libc at least)
  EXPECT_EQ(kernel::image_at(count), nullptr);

  char exe[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  ASSERT_GT(n, 0);
  const kernel::Image* main_image = kernel::image_at(0);
  ASSERT_NE(main_image, nullptr);
  EXPECT_STREQ(main_image->path, std::string(exe, static_cast<std::size_t>(n)).c_str());

  bool saw_libc = false;
  for (std::size_t i = 0; i < count; ++i) {
    const kernel::Image* image = kernel::image_at(i);
    ASSERT_NE(image, nullptr);
    ASSERT_NE(image->path, nullptr);
    const macho::Header64 h = header_of(*image);
    EXPECT_EQ(h.magic, macho::kMagic64);
    EXPECT_EQ(h.cputype, macho::kCpuTypeX86_64);
    EXPECT_EQ(h.filetype, i == 0 ? macho::kFileTypeExecute : macho::kFileTypeDylib) << image->path;
    if (std::string(image->path).find("libc.so") != std::string::npos) {
      saw_libc = true;
      EXPECT_NE(image->slide, 0);
    }
  }
  EXPECT_TRUE(saw_libc);
  // The list is built once: the same entries on every call.
  EXPECT_EQ(kernel::image_at(0), main_image);
}

TEST_F(PlatformKernelLoaderTest, CryptidFollowsTheDistributionGivenAtBoot) {
  struct Case {
    const char* distribution;
    long cryptid;
  };
  for (const Case& c : {Case{"app_store", 1}, Case{"development", 0}, Case{"enterprise", 0}}) {
    SCOPED_TRACE(c.distribution);
    platform::testing::TempDevice device("kernel-test");
    platform::os::DeviceProfile profile;
    profile.distribution = c.distribution;
    ASSERT_TRUE(device.boot({.profile = profile}));
    EXPECT_EQ(main_cryptid(), c.cryptid);
  }
}

TEST_F(PlatformKernelLoaderTest, FactsGivenAfterFirstUseStillApply) {
  EXPECT_EQ(main_cryptid(), 0);  // built before any boot facts
  kernel::set_boot_facts(facts("app_store"));
  EXPECT_EQ(main_cryptid(), 1);
  kernel::set_boot_facts(facts("development"));
  EXPECT_EQ(main_cryptid(), 0);

  kernel::set_boot_facts(facts("app_store"));
  platform::testing::reset();  // drops the list and the facts
  EXPECT_EQ(main_cryptid(), 0);
}

}  // namespace
