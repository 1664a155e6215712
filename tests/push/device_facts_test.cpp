#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <string>

#include "platform/net/reachability.h"
#include "platform/os/profile.h"
#include "platform/os/system.h"
#include "platform/testing/capture.h"
#include "platform/testing/reset.h"
#include "platform/testing/temp_device.h"
#include "push/device_facts.h"

namespace {

using namespace push;
namespace flags = platform::net::reach_flags;

// A signed container: binary bytes around the property list.
const std::string kDevelopment =
    std::string("\x30\x82\x01\xff binary signature \xe9\xff") +
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<plist version=\"1.0\"><dict><key>Name</key><string>Dev</string>"
    "<key>Entitlements</key><dict><key>aps-environment</key><string>development</string></dict></dict></plist>" +
    std::string(1, '\0') + "\x01 trailing signature \xa0";

class DeviceFactsTest : public ::testing::Test {
 protected:
  // Boots a device whose bundle holds `profile` as embedded.mobileprovision (none when nullopt).
  void boot(std::optional<std::string> profile, platform::os::NetworkState network = {}) {
    device_.emplace("push-facts");
    if (profile) std::ofstream(device_->bundle() / "embedded.mobileprovision", std::ios::binary) << *profile;
    platform::os::DeviceProfile p;
    p.network = network;
    auto booted = device_->boot({.profile = p});
    ASSERT_TRUE(booted) << booted.error().description();
  }
  void TearDown() override {
    RerAvirorMobileProvision::clearCache();
    platform::testing::reset();
    device_.reset();
  }
  platform::testing::CaptureSinks capture_;
  std::optional<platform::testing::TempDevice> device_;
};

TEST(ReachabilityFlags, StatusTable) {
  struct {
    std::uint32_t flags;
    NetworkStatus status;
  } cases[] = {
      {0, NotReachable},
      {flags::reachable, ReachableViaWiFi},
      {flags::reachable | flags::is_wwan, ReachableViaWWAN},
      {flags::reachable | flags::connection_required, NotReachable},
      {flags::reachable | flags::connection_required | flags::connection_on_demand, ReachableViaWiFi},
      {flags::reachable | flags::connection_required | flags::connection_on_traffic, ReachableViaWiFi},
      {flags::reachable | flags::connection_required | flags::connection_on_demand | flags::intervention_required,
       NotReachable},
      {flags::is_wwan, NotReachable},
  };
  for (const auto& c : cases) EXPECT_EQ(RerAvirorReachability::networkStatusForFlags(c.flags), c.status) << c.flags;
  EXPECT_EQ(RerAvirorReachability::localWiFiStatusForFlags(flags::reachable | flags::is_direct), ReachableViaWiFi);
  EXPECT_EQ(RerAvirorReachability::localWiFiStatusForFlags(flags::reachable), NotReachable);
}

TEST_F(DeviceFactsTest, NetTypeFollowsTheNetwork) {
  struct {
    platform::os::NetworkState network;
    NetworkStatus status;
    std::int64_t netType;
  } cases[] = {
      {{.reachable = true}, ReachableViaWiFi, 0},
      {{.reachable = true, .wwan = true}, ReachableViaWWAN, 1},
      {{.reachable = false}, NotReachable, 1},
  };
  for (const auto& c : cases) {
    boot(std::nullopt, c.network);
    auto reachability = RerAvirorReachability::reachabilityForInternetConnection();
    ASSERT_NE(reachability, nullptr);
    EXPECT_EQ(reachability->currentReachabilityStatus(), c.status);
    EXPECT_EQ(getNetType(), c.netType);
    platform::testing::reset();
    device_.reset();
  }
}

TEST_F(DeviceFactsTest, NoProfileIsAStoreBuild) {
  boot(std::nullopt);
  EXPECT_EQ(RerAvirorMobileProvision::getMobileProvision(), foundation::Dict{});
  EXPECT_EQ(RerAvirorMobileProvision::releaseMode(), UIApplicationReleaseAppStore);
}

TEST_F(DeviceFactsTest, DevelopmentProfileIsParsedOnceFromItsContainer) {
  boot(kDevelopment);
  EXPECT_EQ(RerAvirorMobileProvision::releaseMode(), UIApplicationReleaseDev);
  ASSERT_TRUE(RerAvirorMobileProvision::getMobileProvision());
  EXPECT_EQ(RerAvirorMobileProvision::getMobileProvision()->get("Name"), foundation::Value("Dev"));
  // Cached: a changed file is not read again.
  std::ofstream(device_->bundle() / "embedded.mobileprovision", std::ios::binary) << "garbage";
  EXPECT_EQ(RerAvirorMobileProvision::releaseMode(), UIApplicationReleaseDev);
}

TEST_F(DeviceFactsTest, EnterpriseProfile) {
  boot("<plist version=\"1.0\"><dict><key>ProvisionsAllDevices</key><true/></dict></plist>");
  EXPECT_EQ(RerAvirorMobileProvision::releaseMode(), UIApplicationReleaseEnterprise);
}

TEST_F(DeviceFactsTest, UnreadableProfilesAreUndetermined) {
  struct {
    std::string text, line;
  } cases[] = {
      {"no property list here", "ERROR: unable to find beginning of plist"},
      {"<plist version=\"1.0\"><dict>", "ERROR: unable to find end of plist"},
      {"<plist version=\"1.0\"><dict><key>a</key></plist>", "ERROR: error parsing extracted plist - "},
  };
  for (const auto& c : cases) {
    boot(c.text);
    platform::testing::CaptureSinks capture;
    EXPECT_EQ(RerAvirorMobileProvision::getMobileProvision(), std::nullopt);
    EXPECT_EQ(RerAvirorMobileProvision::releaseMode(), UIApplicationReleaseUnknown);
    ASSERT_FALSE(capture.log_lines().empty());
    EXPECT_EQ(capture.log_lines()[0].rfind(c.line, 0), 0u) << capture.log_lines()[0];
    RerAvirorMobileProvision::clearCache();
    platform::testing::reset();
    device_.reset();
  }
}

}  // namespace
