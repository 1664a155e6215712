#pragma once
// Shared set-up of the core tests: a temporary device booted with a chosen
// profile and Info.plist keys, and the records of the core logger's facility
// read back from the device's system log.
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/foundation/value.h"
#include "platform/os/profile.h"
#include "platform/os/system.h"
#include "platform/testing/temp_device.h"

namespace core_test {

struct LogRecord {
  std::string level;    // "Debug", "Error" ...
  std::string message;  // everything after "<Level>: "
};

inline constexpr const char* kLoggerFacility = "com.dozada.utilities.logger";

// Records of `facility` in <device>/Logs/system.log, in file order.
inline std::vector<LogRecord> system_log_records(const std::string& facility = kLoggerFacility) {
  std::vector<LogRecord> records;
  std::ifstream in(platform::os::system_log_file());
  const std::string marker = " " + facility + " ";
  for (std::string line; std::getline(in, line);) {
    const auto at = line.find(marker);
    if (at == std::string::npos) continue;
    const std::string rest = line.substr(at + marker.size());
    const auto colon = rest.find(": ");
    if (colon == std::string::npos) continue;
    records.push_back({rest.substr(0, colon), rest.substr(colon + 2)});
  }
  return records;
}

// Boots a temporary device; `edit` adjusts the default profile first.
class CoreDeviceTest : public ::testing::Test {
 protected:
  void boot(const std::function<void(platform::os::DeviceProfile&)>& edit = {}, platform::foundation::Dict info = {}) {
    device_.emplace("core-test", std::move(info));
    platform::os::DeviceProfile profile;
    if (edit) edit(profile);
    ASSERT_TRUE(device_->boot({.profile = profile}));
  }
  const platform::testing::TempDevice& device() const { return *device_; }

  std::optional<platform::testing::TempDevice> device_;
};

}  // namespace core_test
