#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>

#include "platform/foundation/plist.h"
#include "platform/os/bundle.h"
#include "platform/os/preferences.h"
#include "platform/os/system.h"
#include "platform/testing/reset.h"
#include "platform/testing/temp_device.h"
#include "push/extension_handlers.h"

namespace {

namespace fs = std::filesystem;
namespace foundation = platform::foundation;
namespace os = platform::os;
using platform::testing::TempDevice;
using push::RerAvirorExtensionBadgeHandler;

constexpr const char* kDefaultGroup = "group.org.example.intranet.reraviror";

// An extension bundle inside the temporary app: App.app/PlugIns/Service.appex.
fs::path makeExtension(const TempDevice& device) {
  fs::path appex = device.bundle() / "PlugIns" / "Service.appex";
  fs::create_directories(appex);
  foundation::Dict info{{"CFBundleIdentifier", "org.example.intranet.service"}, {"CFBundleExecutable", "Service"}};
  EXPECT_TRUE(foundation::plist::write_file_atomically(foundation::Value(info), appex / "Info.plist"));
  return appex;
}

TEST(AppGroupTest, NameFromInfoPlistIsTrimmedOfSpacesAndTabs) {
  struct Case {
    const char* configured;
    const char* expected;
  };
  const Case cases[] = {
      {"group.custom ", "group.custom"},
      {"\t group.custom\t", "group.custom"},
      {"group. inner space", "group. inner space"},
  };
  for (const Case& c : cases) {
    TempDevice device("push-group", {{"RerAviror_app_groups_key", c.configured}});
    ASSERT_TRUE(device.boot());
    EXPECT_EQ(RerAvirorExtensionBadgeHandler::appGroupName(), c.expected) << c.configured;
  }
}

TEST(AppGroupTest, DefaultNameIsTheSameInTheAppAndItsExtension) {
  TempDevice device("push-group");
  fs::path appex = makeExtension(device);
  ASSERT_TRUE(device.boot());
  EXPECT_EQ(RerAvirorExtensionBadgeHandler::primaryBundleIdentifier(), "org.example.intranet");
  EXPECT_EQ(RerAvirorExtensionBadgeHandler::appGroupName(), kDefaultGroup);
  RerAvirorExtensionBadgeHandler::updateCachedBadgeValue(4);
  platform::testing::reset();

  ASSERT_TRUE(os::boot(device.device(), appex));
  ASSERT_EQ(os::Bundle::main().identifier(), "org.example.intranet.service");
  EXPECT_EQ(RerAvirorExtensionBadgeHandler::primaryBundleIdentifier(), "org.example.intranet");
  EXPECT_EQ(RerAvirorExtensionBadgeHandler::appGroupName(), kDefaultGroup);
  // The extension reads the count the app stored.
  EXPECT_EQ(RerAvirorExtensionBadgeHandler::currentCachedBadgeValue(), 4);
}

TEST(AppGroupTest, WrongTypedInfoKeyCountsAsAbsent) {
  TempDevice device("push-group", {{"RerAviror_app_groups_key", 7}});
  ASSERT_TRUE(device.boot());
  EXPECT_EQ(RerAvirorExtensionBadgeHandler::appGroupName(), kDefaultGroup);
}

TEST(BadgeCacheTest, CountIsKeptInTheAppGroupFile) {
  TempDevice device("push-badge");
  ASSERT_TRUE(device.boot());
  EXPECT_EQ(RerAvirorExtensionBadgeHandler::currentCachedBadgeValue(), 0);
  RerAvirorExtensionBadgeHandler::updateCachedBadgeValue(9);
  EXPECT_EQ(RerAvirorExtensionBadgeHandler::currentCachedBadgeValue(), 9);

  // Written at once to the group container, not to the app's own defaults.
  fs::path file = os::Preferences::shared().file_for_domain(kDefaultGroup);
  ASSERT_TRUE(fs::exists(file)) << file;
  auto stored = foundation::plist::read_file(file);
  ASSERT_TRUE(stored);
  EXPECT_EQ((*stored)["reravirorBadgeCount"].as_int(), 9);
  EXPECT_FALSE(os::UserDefaults::standard().object("reravirorBadgeCount"));
}

}  // namespace
