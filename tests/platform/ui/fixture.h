#pragma once
// A booted temporary device with a fresh runtime registry holding the ui
// classes, a manual clock and an event recorder.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"
#include "platform/foundation/plist.h"
#include "platform/os/system.h"
#include "platform/runtime/runtime.h"
#include "platform/testing/manual_clock.h"
#include "platform/testing/reset.h"
#include "platform/ui/application.h"
#include "platform/ui/testing_reset.h"
#include "platform/ui/view_controller.h"

namespace platform::ui::test {

namespace fs = std::filesystem;
using foundation::Dict;
using foundation::Value;

inline std::vector<std::string>& events() {
  static std::vector<std::string> e;
  return e;
}

// Records its appearance callbacks as "<name>.<callback>".
class RecordingController : public ViewController {
 public:
  explicit RecordingController(std::string n) : name(std::move(n)) {}
  void view_did_load() override { events().push_back(name + ".didLoad"); }
  void view_will_appear(bool) override { events().push_back(name + ".willAppear"); }
  void view_did_appear(bool) override { events().push_back(name + ".didAppear"); }
  void view_will_disappear(bool) override { events().push_back(name + ".willDisappear"); }
  void view_did_disappear(bool) override { events().push_back(name + ".didDisappear"); }
  std::string name;
};

class UiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    events().clear();
    char pattern[] = "/tmp/ui-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    device_ = root_ / "device";
    bundle_ = root_ / "App.app";
    fs::create_directories(device_);
    fs::create_directories(bundle_);
    ASSERT_TRUE(foundation::plist::write_file_atomically(
                    Value(Dict{{"CFBundleIdentifier", "org.example.intranet"},
                               {"CFBundleExecutable", "App"},
                               {"UIMainStoryboardFile", "Main"}}),
                    bundle_ / "Info.plist", foundation::plist::Format::xml)
                    .has_value());
    start();
  }

  void TearDown() override { stop(); }

  // Clock, boot and a fresh registry with the ui classes.
  void start(std::optional<os::DeviceProfile> profile = std::nullopt) {
    clock_ = platform::testing::ManualClock::install();
    os::BootOptions options;
    options.profile = std::move(profile);
    auto booted = os::boot(device_, bundle_, std::move(options));
    ASSERT_TRUE(booted.has_value()) << booted.error().description();
    scope_.emplace();
    register_runtime_classes();
  }

  void stop() {
    dispatch::wait_until_idle();
    reset_for_testing();  // drops the application before its classes go
    scope_.reset();
    platform::testing::reset();
  }

  void advance(double seconds) {
    clock_->advance(dispatch::Duration(seconds));
    dispatch::RunLoop::main().run_pending();
  }

  fs::path root_, device_, bundle_;
  std::shared_ptr<platform::testing::ManualClock> clock_;
  std::optional<rt::Runtime::Scope> scope_;
};

}  // namespace platform::ui::test
