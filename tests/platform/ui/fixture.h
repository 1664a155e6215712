#pragma once
// A booted temporary device with a fresh runtime registry holding the ui
// classes, a manual clock and an event recorder.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"
#include "platform/notify/testing_reset.h"
#include "platform/os/system.h"
#include "platform/runtime/runtime.h"
#include "platform/testing/manual_clock.h"
#include "platform/testing/reset.h"
#include "platform/testing/temp_device.h"
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
    temp_.emplace("ui-test", Dict{{"UIMainStoryboardFile", "Main"}});
    root_ = temp_->root();
    device_ = temp_->device();
    bundle_ = temp_->bundle();
    start();
  }

  void TearDown() override {
    stop();
    temp_.reset();
  }

  // Clock, boot and a fresh registry with the ui classes.
  void start(std::optional<os::DeviceProfile> profile = std::nullopt) {
    clock_ = platform::testing::ManualClock::install();
    os::BootOptions options;
    options.profile = std::move(profile);
    auto booted = temp_->boot(std::move(options));
    ASSERT_TRUE(booted.has_value()) << booted.error().description();
    scope_.emplace();
    register_runtime_classes();
  }

  void stop() {
    dispatch::wait_until_idle();
    reset_for_testing();  // drops the application and the centre before their classes go
    notify::reset_for_testing();
    scope_.reset();
    platform::testing::reset();
  }

  void advance(double seconds) {
    clock_->advance(dispatch::Duration(seconds));
    dispatch::RunLoop::main().run_pending();
  }

  std::optional<platform::testing::TempDevice> temp_;
  fs::path root_, device_, bundle_;
  std::shared_ptr<platform::testing::ManualClock> clock_;
  std::optional<rt::Runtime::Scope> scope_;
};

}  // namespace platform::ui::test
