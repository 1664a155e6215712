#pragma once
// Shared set-up of the screen, deep-link and interceptor tests: a harness
// device whose small app configures the core at launch (so the analytics
// engine runs), with test view-controller classes registered in a runtime
// scope under the image each test needs, the screen hook installed at load,
// and the events reaching the engine recorded.
#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analytics/engine/analytics_entry.h"
#include "analytics/engine/measurement.h"
#include "analytics/facade/davidovivove.h"
#include "analytics/sessions/screen_reporter.h"
#include "core/app.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/value.h"
#include "platform/runtime/runtime.h"
#include "platform/ui/application.h"
#include "platform/ui/view_controller.h"
#include "testing/harness/harness.h"
#include "tests/analytics/engine_support.h"

namespace analytics_test {

namespace screen_rt = platform::rt;
namespace screen_ui = platform::ui;

// The test's view controllers.
class ScreenTestController : public screen_ui::ViewController {
 public:
  explicit ScreenTestController(screen_rt::Class& cls) : screen_ui::ViewController(cls) {}
};

// Configures the core at launch, which starts analytics.
class ScreenTestDelegate : public screen_ui::Responder {
 public:
  using screen_ui::Responder::Responder;
  bool didFinish(screen_rt::Id, platform::foundation::Dict) {
    core::FIRApp::configure();
    return true;
  }
};

// A controller class to register: its name and image.
struct ScreenTestClass {
  std::string name;
  std::string image = std::string(screen_rt::main_image);
};

// How often `code` occurs among the monitor codes.
inline std::size_t codeCount(const std::vector<std::int64_t>& codes, std::int64_t code) {
  return static_cast<std::size_t>(std::count(codes.begin(), codes.end(), code));
}

inline std::shared_ptr<screen_ui::ViewController> makeScreenController(const std::string& className) {
  screen_rt::Class* cls = screen_rt::Runtime::shared().find(className);
  if (!cls) return nullptr;
  return std::dynamic_pointer_cast<screen_ui::ViewController>(cls->create());
}

class ScreenHarnessTest : public ::testing::Test {
 protected:
  using RootMaker = std::function<std::shared_ptr<screen_ui::ViewController>()>;

  // Launches with the classes registered and `root` as the window's root.
  // `seed` runs on the booted device before the app launches.
  void launch(std::vector<ScreenTestClass> classes, RootMaker root, platform::foundation::Dict info = {},
              const std::function<void()>& seed = nullptr) {
    testing::HarnessOptions options;
    options.fakes = {testing::Fake::analytics};
    options.info = std::move(info);
    harness_ = std::make_unique<testing::Harness>(std::move(options));
    recorder_.emplace();
    if (seed) seed();
    screen_ui::Storyboard::define("Main", {.initial = [root](screen_ui::Storyboard&) { return root(); }, .scenes = {}});
    platform::sim::AppImage image;
    image.delegate_class = "ScreenTestDelegate";
    image.register_classes = [classes] {
      screen_ui::register_runtime_classes();
      core::register_runtime_classes();
      analytics::register_runtime_classes();
      screen_rt::ClassBuilder<ScreenTestDelegate>("ScreenTestDelegate", "UIResponder")
          .protocols({"UIApplicationDelegate"})
          .method(screen_ui::sel::did_finish_launching, &ScreenTestDelegate::didFinish)
          .define();
      for (const auto& c : classes) {
        screen_rt::ClassBuilder<ScreenTestController>(c.name, "UIViewController").image(c.image).define();
      }
    };
    image.load_hooks = {analytics::kConnectorLoadHook, analytics::kAnalyticsLoadHook,
                        analytics::kMeasurementLoadHook, analytics::kScreenClassNameLoadHook};
    harness_->boot_app(std::move(image));
  }

  void TearDown() override {
    if (harness_) {
      drainEntry();
      platform::dispatch::wait_until_idle();
    }
    recorder_.reset();
  }

  testing::Harness& h() { return *harness_; }
  screen_ui::Window* keyWindow() { return screen_ui::Application::shared()->key_window(); }

  // The recorded events of that name.
  std::vector<SeenEvent> seen(const std::string& name) {
    std::vector<SeenEvent> out;
    for (const auto& event : recorder_->events()) {
      if (event.name == name) out.push_back(event);
    }
    return out;
  }
  // Pumps the main loop until `count` events of that name were recorded.
  bool waitForEvents(const std::string& name, std::size_t count) {
    if (h().run_until([&] { return seen(name).size() >= count; })) return true;
    std::string names;
    for (const auto& event : recorder_->events()) names += event.name + " ";
    ADD_FAILURE() << "events seen: " << names;
    return false;
  }
  // Lets queued work finish: the reporter's queue, the entry and the worker.
  void settle() {
    h().run_until([] { return true; });
    analytics::APMScreenViewReporter::sharedInstance()->currentScreen();
    drainEntry();
    if (auto engine = analytics::APMMeasurement::sharedInstance()) drainWorker(*engine);
    drainEntry();
  }
  static std::string text(const SeenEvent& event, const std::string& key) {
    const auto value = event.parameter(key);
    return value.string() ? *value.string() : std::string();
  }
  static std::int64_t integer(const SeenEvent& event, const std::string& key) {
    return event.parameter(key).as_int().value_or(0);
  }

  screen_rt::Runtime::Scope scope_;
  std::unique_ptr<testing::Harness> harness_;
  std::optional<EventListenerRecorder> recorder_;
};

}  // namespace analytics_test
