#pragma once
// Shared set-up of the analytics tests: a booted temporary device with chosen
// launch arguments and Info.plist keys, a recorder of monitor calls, and the
// analytics lines of the system log.
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analytics/monitor/monitor.h"
#include "core/logger.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/value.h"
#include "platform/os/profile.h"
#include "platform/testing/temp_device.h"
#include "tests/core/fixture.h"

namespace analytics_test {

// One monitor call seen by the test observer.
struct MonitorCall {
  std::int64_t level;
  std::int64_t code;
  std::optional<std::string> message;
  platform::foundation::Array contexts;
};

// Records every monitor call while alive.
class MonitorRecorder {
 public:
  MonitorRecorder() {
    analytics::APMMonitor::setTestObserver([this](std::int64_t level, std::int64_t code, analytics::APMMessage message,
                                                  const platform::foundation::Array& contexts) {
      std::lock_guard lock(mutex_);
      calls_.push_back({level, code, message ? std::optional<std::string>(*message) : std::nullopt, contexts});
    });
  }
  ~MonitorRecorder() { analytics::APMMonitor::setTestObserver({}); }
  MonitorRecorder(const MonitorRecorder&) = delete;
  MonitorRecorder& operator=(const MonitorRecorder&) = delete;

  std::vector<MonitorCall> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  std::vector<std::int64_t> codes() const {
    std::vector<std::int64_t> result;
    for (const auto& call : calls()) result.push_back(call.code);
    return result;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    calls_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<MonitorCall> calls_;
};

// The messages of the core logger's system-log records that carry `service`
// (everything after the version text), once the logging queue is drained.
inline std::vector<std::string> loggedLines(const std::string& service = "<DurArudirovizo>") {
  core::GULLoggerWaitForQueue();
  std::vector<std::string> lines;
  for (const auto& record : core_test::system_log_records()) {
    const auto at = record.message.find(service);
    if (at != std::string::npos) lines.push_back(record.message.substr(at));
  }
  return lines;
}

inline bool hasLine(const std::vector<std::string>& lines, const std::string& text) {
  for (const auto& line : lines) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

// Tests that reach the shared monitor without a device: the monitor's queued
// work must end before the process does (it uses the random generator and the
// logger, which are torn down at exit).
class AnalyticsUnbootedTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::dispatch::wait_until_idle(); }
};

// Boots a temporary device with the given launch arguments and Info.plist keys.
class AnalyticsDeviceTest : public ::testing::Test {
 protected:
  void boot(std::vector<std::string> arguments = {}, platform::foundation::Dict info = {}) {
    device_.emplace("analytics-test", std::move(info));
    platform::os::DeviceProfile profile;
    profile.launch_arguments = std::move(arguments);
    ASSERT_TRUE(device_->boot({.profile = profile}));
  }
  const platform::testing::TempDevice& device() const { return *device_; }

  std::optional<platform::testing::TempDevice> device_;
};

}  // namespace analytics_test
