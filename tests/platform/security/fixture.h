#pragma once
// A booted device in a temporary folder per test; the platform is reset after it.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <fstream>
#include <string>

#include "platform/foundation/plist.h"
#include "platform/os/system.h"
#include "platform/testing/reset.h"
#include "platform/testing/temp_device.h"

namespace platform::security::test {

namespace fs = std::filesystem;

inline constexpr const char* kBundleId = platform::testing::TempDevice::bundle_identifier;

class DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    temp_.emplace("security-test");
    root_ = temp_->root();
    device_ = temp_->device();
    bundle_ = temp_->bundle();
  }

  // Resets the platform and removes the folder.
  void TearDown() override { temp_.reset(); }

  void boot_device(os::DeviceProfile profile = {}) {
    os::BootOptions options;
    options.profile = std::move(profile);
    auto booted = temp_->boot(std::move(options));
    ASSERT_TRUE(booted.has_value()) << booted.error().description();
  }

  std::optional<platform::testing::TempDevice> temp_;
  fs::path root_, device_, bundle_;
};

}  // namespace platform::security::test
