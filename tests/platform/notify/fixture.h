#pragma once
// A temporary device, booted on the test thread with a ManualClock.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/dispatch/queue.h"
#include "platform/foundation/plist.h"
#include "platform/os/system.h"
#include "platform/testing/manual_clock.h"
#include "platform/testing/reset.h"

namespace platform::notify::test {

namespace fs = std::filesystem;

class DeviceTest : public ::testing::Test {
 public:
  void SetUp() override {
    char pattern[] = "/tmp/notify-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    device_ = root_ / "device";
    bundle_ = root_ / "App.app";
    fs::create_directories(device_);
    fs::create_directories(bundle_);
    ASSERT_TRUE(foundation::plist::write_file_atomically(
                    foundation::Dict{{"CFBundleIdentifier", "org.example.intranet"}, {"CFBundleExecutable", "App"}},
                    bundle_ / "Info.plist", foundation::plist::Format::xml)
                    .has_value());
    clock_ = platform::testing::ManualClock::install();
  }

  void TearDown() override {
    dispatch::wait_until_idle();
    platform::testing::reset();
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  void boot_with(os::DeviceProfile profile) {
    os::BootOptions options;
    options.profile = std::move(profile);
    auto booted = os::boot(device_, bundle_, std::move(options));
    ASSERT_TRUE(booted.has_value()) << booted.error().description();
  }

  // Boots from a device.json written into the device folder.
  void boot_with_file(std::string_view device_json) {
    std::ofstream(device_ / "device.json") << device_json;
    auto booted = os::boot(device_, bundle_);
    ASSERT_TRUE(booted.has_value()) << booted.error().description();
  }

  fs::path root_, device_, bundle_;
  std::shared_ptr<platform::testing::ManualClock> clock_;
};

}  // namespace platform::notify::test
