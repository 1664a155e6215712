#include "platform/os/system.h"

#include <ctime>

#include "fixture.h"
#include "platform/dispatch/run_loop.h"
#include "platform/foundation/notification.h"
#include "platform/os/facts.h"
#include "platform/os/file_manager.h"
#include "platform/os/process_info.h"

namespace platform::os::test {
namespace {

using SystemTest = OsTest;

TEST_F(SystemTest, BootLaysOutTheSandboxOfTheBundleId) {
  boot_device();
  EXPECT_TRUE(booted());
  EXPECT_EQ(device_directory(), device_);
  EXPECT_EQ(container_directory(), container());
  for (const char* dir : {"Documents", "Library/Application Support", "Library/Caches", "Library/Preferences",
                          "Library/Cookies", "tmp"}) {
    EXPECT_TRUE(fs::is_directory(container() / dir)) << dir;
  }
  for (const char* dir : {"Keychain", "Logs", "Fonts"}) EXPECT_TRUE(fs::is_directory(device_ / dir)) << dir;
  EXPECT_EQ(keychain_file(), device_ / "Keychain" / "keychain.plist");
  EXPECT_EQ(fonts_directory(), device_ / "Fonts");
  EXPECT_EQ(system_log_file(), device_ / "Logs" / "system.log");
}

TEST_F(SystemTest, ReinstallRemovingTheContainerKeepsTheKeychain) {
  boot_device();
  write_text(keychain_file(), "keychain");
  write_text(container() / "Documents" / "doc", "doc");
  fs::remove_all(device_ / "Containers" / "Data" / kBundleId);
  platform::testing::reset();

  boot_device();
  EXPECT_EQ(read_text(keychain_file()), "keychain");
  EXPECT_FALSE(fs::exists(container() / "Documents" / "doc"));
  EXPECT_TRUE(fs::is_directory(container() / "Documents"));
}

TEST_F(SystemTest, BootReadsTheProfileFileOrTakesTheDefaults) {
  boot_device();
  EXPECT_EQ(profile().system_version, "13.5");
  platform::testing::reset();

  write_text(device_ / "device.json", R"({"system_version": "9.3", "machine": "iPhone8,1"})");
  boot_device();
  EXPECT_EQ(profile().system_version, "9.3");
  EXPECT_EQ(profile().machine, "iPhone8,1");
  platform::testing::reset();

  DeviceProfile given;
  given.system_version = "11.4";
  boot_device(BootOptions{given, true});
  EXPECT_EQ(profile().system_version, "11.4");  // the file is not read
}

TEST_F(SystemTest, BootFailuresLeaveTheDeviceUnbooted) {
  write_text(device_ / "device.json", R"({"machine": 7})");
  auto bad_profile = boot(device_, bundle_);
  ASSERT_FALSE(bad_profile.has_value());
  EXPECT_EQ(bad_profile.error().code, 3840);
  EXPECT_FALSE(booted());
  fs::remove(device_ / "device.json");

  write_plist(bundle_ / "Info.plist", Dict{{"CFBundleExecutable", "App"}});
  auto no_id = boot(device_, bundle_);
  ASSERT_FALSE(no_id.has_value());
  EXPECT_FALSE(booted());

  auto no_bundle = boot(device_, root_ / "Missing.app");
  ASSERT_FALSE(no_bundle.has_value());
  EXPECT_EQ(no_bundle.error().code, 260);
  EXPECT_FALSE(booted());
  EXPECT_TRUE(container_directory().empty());
}

TEST_F(SystemTest, TimeZoneComesFromTheProfile) {
  DeviceProfile p;
  p.time_zone = "Asia/Tokyo";
  boot_device(BootOptions{p, true});
  EXPECT_STREQ(::getenv("TZ"), "Asia/Tokyo");
  EXPECT_EQ(ProcessInfo::shared().seconds_from_gmt(), 9 * 3600);
}

TEST_F(SystemTest, BootBindsTheMainRunLoopToTheCallingThread) {
  bool ran_on_main = false;
  std::thread([&] {
    boot_device();
    ran_on_main = dispatch::is_main_thread();
  }).join();
  EXPECT_TRUE(ran_on_main);
  EXPECT_FALSE(dispatch::is_main_thread());
}

TEST_F(SystemTest, VendorIdentifierIsStablePerDevice) {
  boot_device();
  std::string first = profile().vendor_identifier;
  EXPECT_EQ(first.size(), 36u);
  platform::testing::reset();
  boot_device();
  EXPECT_EQ(profile().vendor_identifier, first);
  platform::testing::reset();
  fs::create_directories(root_ / "other");
  ASSERT_TRUE(boot(root_ / "other", bundle_).has_value());
  EXPECT_NE(profile().vendor_identifier, first);
}

TEST_F(SystemTest, AppGroupContainersLiveUnderShared) {
  boot_device();
  fs::path group = app_group_container("group.org.example.shared");
  EXPECT_EQ(group, device_ / "Containers" / "Shared" / "AppGroup" / "group.org.example.shared");
  EXPECT_TRUE(fs::is_directory(group / "Library" / "Preferences"));
  EXPECT_TRUE(app_group_container("../escape").empty());
  EXPECT_TRUE(app_group_container("").empty());
}

TEST_F(SystemTest, NetworkObserversSeeRealChangesOnly) {
  DeviceProfile p;
  p.network.wwan = true;
  boot_device(BootOptions{p, true});
  EXPECT_TRUE(network_state().wwan);

  std::vector<NetworkState> seen;
  auto id = add_network_observer([&](const NetworkState& s) { seen.push_back(s); });
  NetworkState off{false, false, false, false, false};
  set_network_state(off);
  set_network_state(off);  // no change, no call
  remove_network_observer(id);
  set_network_state(NetworkState{});
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_FALSE(seen[0].reachable);
  EXPECT_TRUE(network_state().reachable);
}

TEST_F(SystemTest, LowPowerChangePostsTheNotification) {
  DeviceProfile p;
  p.low_power_mode = true;
  boot_device(BootOptions{p, true});
  EXPECT_TRUE(ProcessInfo::shared().low_power_mode_enabled());

  int posts = 0;
  const void* sender = nullptr;
  auto token = foundation::NotificationCenter::default_center().add_observer(
      nullptr, kPowerStateDidChangeNotification, nullptr, nullptr, [&](const foundation::Notification& n) {
        ++posts;
        sender = n.sender();
      });
  set_low_power_mode(true);  // unchanged
  EXPECT_EQ(posts, 0);
  set_low_power_mode(false);
  EXPECT_EQ(posts, 1);
  EXPECT_EQ(sender, &ProcessInfo::shared());
  EXPECT_FALSE(ProcessInfo::shared().low_power_mode_enabled());
  token.remove();
}

TEST_F(SystemTest, DeviceFactsComeFromTheProfileNeverTheHost) {
  DeviceProfile p;
  p.machine = "iPhone10,3";
  p.hw_model = "D22AP";
  p.os_build = "16G77";
  p.system_version = "12.4";
  p.device_name = "Test iPhone";
  boot_device(BootOptions{p, true});

  Uname u = uname();
  EXPECT_EQ(u.machine, "iPhone10,3");
  EXPECT_EQ(u.sysname, "Darwin");
  EXPECT_EQ(u.release, "18.4.0");
  EXPECT_EQ(u.nodename, "Test iPhone");
  EXPECT_EQ(sysctl_string("hw.machine"), "iPhone10,3");
  EXPECT_EQ(sysctl_string("hw.model"), "D22AP");
  EXPECT_EQ(sysctl_string("kern.osversion"), "16G77");
  EXPECT_EQ(sysctl_string("hw.ncpu"), std::nullopt);
  EXPECT_EQ(sysctl_int("hw.pagesize"), ::sysconf(_SC_PAGESIZE));
  EXPECT_GT(*sysctl_int("kern.boottime"), 0);
  EXPECT_EQ(sysctl_int("kern.nope"), std::nullopt);

  const CrashFacts& f = crash_facts();
  EXPECT_STREQ(f.machine, "iPhone10,3");
  EXPECT_STREQ(f.model, "D22AP");
  EXPECT_STREQ(f.os_version, "12.4");
  EXPECT_STREQ(f.os_build, "16G77");
  EXPECT_STREQ(f.bundle_identifier, kBundleId);
  EXPECT_STREQ(f.process_name, "App");
  EXPECT_EQ(f.pid, ::getpid());
  EXPECT_EQ(f.page_size, ::sysconf(_SC_PAGESIZE));

  platform::testing::reset();
  EXPECT_STREQ(crash_facts().machine, "");
}

TEST_F(SystemTest, DebuggerOverrideFromTheProfile) {
  DeviceProfile p;
  p.debugger_attached = true;
  boot_device(BootOptions{p, true});
  EXPECT_TRUE(debugger_attached());
  EXPECT_TRUE(crash_facts().debugger_attached);
}

}  // namespace
}  // namespace platform::os::test
