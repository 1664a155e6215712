#pragma once
// A fresh device folder and app bundle per test, booted on request.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <fstream>
#include <string>

#include "platform/dispatch/queue.h"
#include "platform/foundation/plist.h"
#include "platform/os/system.h"
#include "platform/testing/reset.h"
#include "platform/testing/temp_device.h"

namespace platform::os::test {

namespace fs = std::filesystem;
using foundation::Dict;
using foundation::Value;

inline constexpr const char* kBundleId = platform::testing::TempDevice::bundle_identifier;

inline void write_text(const fs::path& file, std::string_view text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << text;
}

inline std::string read_text(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void write_plist(const fs::path& file, const Value& value,
                        foundation::plist::Format format = foundation::plist::Format::xml) {
  fs::create_directories(file.parent_path());
  ASSERT_TRUE(foundation::plist::write_file_atomically(value, file, format).has_value()) << file;
}

class OsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    temp_.emplace("os-test", Dict{{"CFBundleShortVersionString", "2.4"}, {"CFBundleVersion", "77"}});
    root_ = temp_->root();
    device_ = temp_->device();
    bundle_ = temp_->bundle();
  }

  // Waits for the pool, resets the platform and removes the folder.
  void TearDown() override { temp_.reset(); }

  void boot_device(BootOptions options = {}) {
    auto booted_ok = temp_->boot(std::move(options));
    ASSERT_TRUE(booted_ok.has_value()) << booted_ok.error().description();
  }

  fs::path container() const { return temp_->container(); }

  std::optional<platform::testing::TempDevice> temp_;
  fs::path root_, device_, bundle_;
};

}  // namespace platform::os::test
