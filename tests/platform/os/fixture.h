#pragma once
// A fresh device folder and app bundle per test, booted on request.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/dispatch/queue.h"
#include "platform/foundation/plist.h"
#include "platform/os/system.h"
#include "platform/testing/reset.h"

namespace platform::os::test {

namespace fs = std::filesystem;
using foundation::Dict;
using foundation::Value;

inline constexpr const char* kBundleId = "org.example.intranet";

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
    char pattern[] = "/tmp/os-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    device_ = root_ / "device";
    bundle_ = root_ / "App.app";
    fs::create_directories(device_);
    write_plist(bundle_ / "Info.plist", Dict{{"CFBundleIdentifier", kBundleId},
                                             {"CFBundleExecutable", "App"},
                                             {"CFBundleShortVersionString", "2.4"},
                                             {"CFBundleVersion", "77"}});
  }

  void TearDown() override {
    dispatch::wait_until_idle();
    platform::testing::reset();
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  void boot_device(BootOptions options = {}) {
    auto booted_ok = boot(device_, bundle_, std::move(options));
    ASSERT_TRUE(booted_ok.has_value()) << booted_ok.error().description();
  }

  fs::path container() const { return device_ / "Containers" / "Data" / kBundleId; }

  fs::path root_, device_, bundle_;
};

}  // namespace platform::os::test
