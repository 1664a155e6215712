#pragma once
// A booted device in a temporary folder per test; the platform is reset after it.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/foundation/plist.h"
#include "platform/os/system.h"
#include "platform/testing/reset.h"

namespace platform::security::test {

namespace fs = std::filesystem;

inline constexpr const char* kBundleId = "org.example.intranet";

class DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/security-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    device_ = root_ / "device";
    bundle_ = root_ / "App.app";
    fs::create_directories(device_);
    fs::create_directories(bundle_);
    ASSERT_TRUE(foundation::plist::write_file_atomically(
                    foundation::Value(foundation::Dict{{"CFBundleIdentifier", kBundleId}, {"CFBundleExecutable", "App"}}),
                    bundle_ / "Info.plist")
                    .has_value());
  }

  void TearDown() override {
    platform::testing::reset();
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  void boot_device(os::DeviceProfile profile = {}) {
    os::BootOptions options;
    options.profile = std::move(profile);
    auto booted = os::boot(device_, bundle_, std::move(options));
    ASSERT_TRUE(booted.has_value()) << booted.error().description();
  }

  fs::path root_, device_, bundle_;
};

}  // namespace platform::security::test
