#pragma once
// A temporary device booted through sim::boot on the test thread, in a fresh
// runtime registry, with a manual clock, a test app delegate and a capture of
// the simulator's lines.
#include <gtest/gtest.h>

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"
#include "platform/notify/center.h"
#include "platform/notify/testing_reset.h"
#include "platform/runtime/runtime.h"
#include "platform/sim/app_image.h"
#include "platform/sim/device.h"
#include "platform/sim/output.h"
#include "platform/sim/scenario.h"
#include "platform/sim/screen.h"
#include "platform/sim/services.h"
#include "platform/sim/sim.h"
#include "platform/testing/manual_clock.h"
#include "platform/testing/reset.h"
#include "platform/testing/temp_device.h"
#include "platform/ui/application.h"
#include "platform/ui/testing_reset.h"
#include "platform/ui/view_controller.h"

namespace platform::sim::test {

using foundation::Dict;
using foundation::Value;

inline std::vector<std::string>& events() {
  static std::vector<std::string> e;
  return e;
}

// The app delegate the tests launch: records every message it gets.
class TestAppDelegate : public ui::Responder {
 public:
  explicit TestAppDelegate(rt::Class& cls) : ui::Responder(cls) {}
  static inline Dict launch_options;
  static inline std::vector<foundation::Bytes> tokens;
  static inline int fetch_calls_per_message = 1;

  bool did_finish(rt::Id, Dict options) {
    events().push_back("did-finish");
    launch_options = options;
    return true;
  }
  void did_become_active(rt::Id) { events().push_back("did-become-active"); }
  void will_resign_active(rt::Id) { events().push_back("will-resign-active"); }
  void did_enter_background(rt::Id) { events().push_back("did-enter-background"); }
  void will_enter_foreground(rt::Id) { events().push_back("will-enter-foreground"); }
  void will_terminate(rt::Id) { events().push_back("will-terminate"); }
  void token(rt::Id, foundation::Bytes bytes) {
    events().push_back("token " + std::to_string(bytes.size()));
    tokens.push_back(bytes);
  }
  void token_failed(rt::Id, foundation::Error error) { events().push_back("token-error " + std::to_string(error.code)); }
  void remote_fetch(rt::Id, Dict payload, std::function<void(ui::BackgroundFetchResult)> done) {
    events().push_back("remote-fetch " + foundation::describe(payload.get("id")));
    for (int i = 0; i < fetch_calls_per_message; ++i) done(ui::BackgroundFetchResult::new_data);
  }
  void action(rt::Id, std::string id, Dict payload, std::function<void()> done) {
    events().push_back("action " + id + " " + foundation::describe(payload.get("id")));
    done();
  }
  bool continue_activity(rt::Id, std::shared_ptr<ui::UserActivity> activity, std::function<void(foundation::Array)> done) {
    events().push_back("continue " + activity->activity_type + " " +
                       (activity->webpage_url ? activity->webpage_url->absolute_string() : "-"));
    done({});
    done({});
    return true;
  }
  void session_events(rt::Id, std::string id, std::function<void()> done) {
    events().push_back("session-events " + id);
    done();
    done();
  }
};

inline void define_test_delegate() {
  rt::ClassBuilder<TestAppDelegate>("TestAppDelegate", "UIResponder")
      .method(ui::sel::did_finish_launching, &TestAppDelegate::did_finish)
      .method(ui::sel::did_become_active, &TestAppDelegate::did_become_active)
      .method(ui::sel::will_resign_active, &TestAppDelegate::will_resign_active)
      .method(ui::sel::did_enter_background, &TestAppDelegate::did_enter_background)
      .method(ui::sel::will_enter_foreground, &TestAppDelegate::will_enter_foreground)
      .method(ui::sel::will_terminate, &TestAppDelegate::will_terminate)
      .method(ui::sel::did_register_for_remote_notifications, &TestAppDelegate::token)
      .method(ui::sel::did_fail_to_register_for_remote_notifications, &TestAppDelegate::token_failed)
      .method(ui::sel::did_receive_remote_notification_fetch, &TestAppDelegate::remote_fetch)
      .method(ui::sel::handle_action_for_remote_notification, &TestAppDelegate::action)
      .method(ui::sel::continue_user_activity, &TestAppDelegate::continue_activity)
      .method(ui::sel::handle_events_for_background_session, &TestAppDelegate::session_events)
      .define();
}

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    events().clear();
    TestAppDelegate::launch_options = {};
    TestAppDelegate::tokens.clear();
    TestAppDelegate::fetch_calls_per_message = 1;
    temp_.emplace("sim-test", Dict{{"UIMainStoryboardFile", "Main"}});
  }

  void TearDown() override {
    stop();
    temp_.reset();
  }

  // Clock, fresh registry, sim::boot, the test delegate and storyboard, the line capture.
  void start(std::optional<os::DeviceProfile> profile = std::nullopt) {
    clock_ = platform::testing::ManualClock::install();
    scope_.emplace();
    os::BootOptions options;
    options.profile = std::move(profile);
    auto booted = sim::boot(temp_->device(), temp_->bundle(), std::move(options));
    ASSERT_TRUE(booted.has_value()) << booted.error().description();
    set_line_sink([this](Tag tag, std::string_view text) {
      std::lock_guard lock(lines_mutex_);
      lines_.push_back(std::string(tag_name(tag)) + "| " + std::string(text));
    });
    AppImage image;
    image.delegate_class = "TestAppDelegate";
    image.register_classes = [] { define_test_delegate(); };
    image.define_storyboards = [] {
      ui::Storyboard::define("Main", {.initial = [](ui::Storyboard&) {
                                        auto root = std::make_shared<ui::ViewController>();
                                        root->title = "Home";
                                        return std::make_shared<ui::NavigationController>(root);
                                      },
                                      .scenes = {}});
    };
    set_app(std::move(image));
  }

  void stop() {
    if (!scope_) return;
    dispatch::wait_until_idle();
    sim::reset_for_testing();
    ui::reset_for_testing();
    notify::reset_for_testing();
    scope_.reset();
    platform::testing::reset();
  }

  // Runs what is due on the main run loop.
  void pump() {
    for (int i = 0; i < 5; ++i) {
      dispatch::wait_until_idle();
      dispatch::RunLoop::main().run_pending();
    }
  }

  std::vector<std::string> lines() {
    std::lock_guard lock(lines_mutex_);
    return lines_;
  }
  int count_lines(std::string_view needle) {
    int n = 0;
    for (const auto& l : lines()) n += l.find(needle) != std::string::npos;
    return n;
  }
  std::string all_lines() {
    std::string out;
    for (const auto& l : lines()) out += l + "\n";
    return out;
  }

  std::optional<platform::testing::TempDevice> temp_;
  std::shared_ptr<platform::testing::ManualClock> clock_;
  std::optional<rt::Runtime::Scope> scope_;
  std::mutex lines_mutex_;
  std::vector<std::string> lines_;
};

}  // namespace platform::sim::test
