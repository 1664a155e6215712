#pragma once
// A temp device (booted on request) under a ManualClock, torn down with the
// platform reset.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>

#include "platform/foundation/plist.h"
#include "platform/os/system.h"
#include "platform/testing/manual_clock.h"
#include "platform/testing/reset.h"

namespace platform::net::test {

class DeviceTest : public ::testing::Test {
 protected:
  static constexpr const char* kBundleId = "org.example.intranet";

  void SetUp() override {
    clock_ = platform::testing::ManualClock::install();
    char pattern[] = "/tmp/net-cookie-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    std::filesystem::create_directories(root_ / "device");
    std::filesystem::create_directories(root_ / "App.app");
    ASSERT_TRUE(foundation::plist::write_file_atomically(
                    foundation::Dict{{"CFBundleIdentifier", kBundleId}, {"CFBundleExecutable", "App"}},
                    root_ / "App.app" / "Info.plist")
                    .has_value());
  }

  void TearDown() override {
    platform::testing::reset();
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }

  void boot(os::BootOptions options = {}) {
    auto ok = os::boot(root_ / "device", root_ / "App.app", std::move(options));
    ASSERT_TRUE(ok.has_value()) << ok.error().description();
  }

  std::filesystem::path cookie_file() const {
    return root_ / "device" / "Containers" / "Data" / kBundleId / "Library" / "Cookies" / "Cookies.plist";
  }

  std::shared_ptr<platform::testing::ManualClock> clock_;
  std::filesystem::path root_;
};

}  // namespace platform::net::test
