#pragma once
// A temporary device, booted on the test thread with a ManualClock.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <fstream>
#include <string>

#include "platform/dispatch/queue.h"
#include "platform/os/system.h"
#include "platform/testing/manual_clock.h"
#include "platform/testing/reset.h"
#include "platform/testing/temp_device.h"

namespace platform::notify::test {

namespace fs = std::filesystem;

class DeviceTest : public ::testing::Test {
 public:
  void SetUp() override {
    temp_.emplace("notify-test");
    root_ = temp_->root();
    device_ = temp_->device();
    bundle_ = temp_->bundle();
    clock_ = platform::testing::ManualClock::install();
  }

  // Waits for the pool, resets the platform and removes the folder.
  void TearDown() override { temp_.reset(); }

  void boot_with(os::DeviceProfile profile) {
    os::BootOptions options;
    options.profile = std::move(profile);
    auto booted = temp_->boot(std::move(options));
    ASSERT_TRUE(booted.has_value()) << booted.error().description();
  }

  // Boots from a device.json written into the device folder.
  void boot_with_file(std::string_view device_json) {
    std::ofstream(device_ / "device.json") << device_json;
    auto booted = temp_->boot();
    ASSERT_TRUE(booted.has_value()) << booted.error().description();
  }

  std::optional<platform::testing::TempDevice> temp_;
  fs::path root_, device_, bundle_;
  std::shared_ptr<platform::testing::ManualClock> clock_;
};

}  // namespace platform::notify::test
