#pragma once
// Shared parts of the app-core tests: a harness device with the service
// property list, the core's log records by code, recorded notifications, and
// a reset of the core's process-wide state after each test.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/app.h"
#include "core/logger.h"
#include "core/options.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/notification.h"
#include "platform/runtime/runtime.h"
#include "testing/harness/harness.h"
#include "tests/core/fixture.h"

namespace core_app_test {

namespace foundation = platform::foundation;
namespace rt = platform::rt;
using foundation::Dict;
using foundation::Value;

// Records of the core logger whose message carries "[<code>]".
inline std::vector<core_test::LogRecord> records_with(const std::string& code) {
  core::GULLoggerWaitForQueue();
  std::vector<core_test::LogRecord> out;
  for (auto& r : core_test::system_log_records()) {
    if (r.message.find("[" + code + "]") != std::string::npos) out.push_back(r);
  }
  return out;
}

inline std::size_t count_code(const std::string& code) { return records_with(code).size(); }

// Every post of the given names, in order.
class NotificationRecorder {
 public:
  struct Post {
    std::string name;
    const void* sender;
    Dict user_info;
  };

  explicit NotificationRecorder(std::vector<std::string> names) {
    for (auto& name : names) {
      foundation::NotificationCenter::default_center().add_observer(
          this, std::move(name), nullptr, nullptr, [this](const foundation::Notification& n) {
            std::lock_guard lock(mutex_);
            posts_.push_back({n.name, n.sender(), n.user_info});
          });
    }
  }
  ~NotificationRecorder() { foundation::NotificationCenter::default_center().remove_all(this); }
  NotificationRecorder(const NotificationRecorder&) = delete;
  NotificationRecorder& operator=(const NotificationRecorder&) = delete;

  std::vector<Post> posts() const {
    std::lock_guard lock(mutex_);
    return posts_;
  }
  std::vector<Post> posts_named(std::string_view name) const {
    std::vector<Post> out;
    for (auto& p : posts())
      if (p.name == name) out.push_back(p);
    return out;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Post> posts_;
};

// The error carried in a diagnostics post, if any.
inline std::shared_ptr<foundation::Error> posted_error(const NotificationRecorder::Post& post) {
  return post.user_info.get("Error").object<foundation::Error>();
}

// Runs `fn`, which must raise the named exception; returns its reason.
template <class F>
std::string raised_reason(F&& fn, const std::string& name = "com.davidize.core") {
  try {
    fn();
  } catch (const foundation::Exception& e) {
    EXPECT_EQ(e.name, name);
    return e.reason;
  }
  ADD_FAILURE() << "nothing was raised";
  return {};
}

// A fresh registry and a harness device per test; the core's apps and kept
// options are dropped before the registry goes.
class CoreAppTest : public ::testing::Test {
 protected:
  void boot(testing::HarnessOptions options = {}) {
    harness_.reset();
    core::FIRApp::resetApps();
    core::FIROptions::resetDefaultOptions();
    harness_ = std::make_unique<testing::Harness>(std::move(options));
  }
  void TearDown() override {
    core::FIRApp::resetApps();
    core::FIROptions::resetDefaultOptions();
    harness_.reset();
  }
  testing::Harness& harness() { return *harness_; }

  // Options with a valid app ID and the harness bundle's identifier.
  static std::shared_ptr<core::FIROptions> valid_options() {
    return core::FIROptions::initWithDozadaAppID("1:123456789012:ios:0123456789abcdef", "123456789012");
  }

  rt::Runtime::Scope scope_;
  std::unique_ptr<testing::Harness> harness_;
};

}  // namespace core_app_test
