#pragma once
// Fixture of the facade feature tests: a device with chosen Info.plist keys
// and profile, the push fake over loopback TLS, a manual clock, and an app
// launched on this thread.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>


#include "platform/dispatch/dispatch.h"
#include "platform/foundation/value.h"
#include "platform/net/testing_reset.h"
#include "platform/runtime/runtime.h"
#include "platform/sim/app_image.h"
#include "platform/sim/device.h"
#include "platform/sim/sim.h"
#include "platform/testing/capture.h"
#include "platform/testing/manual_clock.h"
#include "platform/testing/reset.h"
#include "platform/testing/temp_device.h"
#include "platform/ui/application.h"
#include "platform/ui/selectors.h"
#include "platform/ui/view_controller.h"
#include "push/bootstrap.h"
#include "push/log.h"
#include "push/notification_settings.h"
#include "push/reraviror.h"
#include "push/states.h"
#include "testing/fakes/json.h"
#include "testing/fakes/push_service.h"
#include "testing/fakes/tls_authority.h"

namespace push_test {

namespace foundation = platform::foundation;
namespace ui = platform::ui;
namespace rt = platform::rt;
using nlohmann::json;

inline const std::string kAppId = "1b6a4e2c-5f0d-4c8e-9a3b-7d2f1e0c9b8a";

class FeatureDelegate : public ui::Responder {
 public:
  explicit FeatureDelegate(rt::Class& cls) : ui::Responder(cls) {}
  bool did_finish(rt::Id, foundation::Dict) { return true; }
};

inline platform::sim::AppImage featureImage(bool injection) {
  platform::sim::AppImage image;
  if (injection) image.load_hooks.push_back(push::kReravirorLoadHook);
  image.delegate_class = "PushFeatureTestDelegate";
  image.register_classes = [] {
    rt::ClassBuilder<FeatureDelegate>("PushFeatureTestDelegate", "UIResponder")
        .method(ui::sel::did_finish_launching, &FeatureDelegate::did_finish)
        .define();
  };
  image.define_storyboards = [] {
    ui::Storyboard::define("Main", {.initial = [](ui::Storyboard&) { return std::make_shared<ui::ViewController>(); },
                                    .scenes = {}});
  };
  return image;
}

// Writes the facade's current permission state as the OS adapters do.
class ScriptedAdapter : public push::RerAvirorNotificationSettings {
 public:
  bool prompted = false, answered = false, accepted = false;
  std::int32_t types = 0;
  int promptCalls = 0, provisionalCalls = 0;
  std::int32_t getNotificationTypes() override { return types; }
  std::shared_ptr<push::OSPermissionState> getNotificationPermissionState() override {
    auto state = push::RerAviror::currentPermissionState();
    state->setNotificationTypes(types);
    state->setHasPrompted(prompted);
    state->setAnsweredPrompt(answered);
    state->setAccepted(accepted);
    return state;
  }
  void getNotificationPermissionState(std::function<void(std::shared_ptr<push::OSPermissionState>)> done) override {
    done(getNotificationPermissionState());
  }
  void promptForNotifications(std::function<void(bool)> completion) override {
    ++promptCalls;
    if (completion) completion(accepted);
  }
  void registerForProvisionalAuthorization(std::function<void(bool)>) override { ++provisionalCalls; }
  void onNotificationPromptResponse(std::int32_t) override {}
  void onAPNsResponse(bool) override {}
};

struct FeatureOptions {
  foundation::Dict info{};
  json profile = json::object();
  bool launch = true;
  bool injection = false;  // the push client's load hook in the image
};

class FeatureTest : public ::testing::Test {
 protected:
  void start(FeatureOptions options = {}) {
    clock_ = platform::testing::ManualClock::install();
    authority_ = std::make_unique<testing::fakes::TlsAuthority>();
    fake_ = std::make_unique<testing::fakes::PushService>(testing::fakes::ServiceOptions{.authority = authority_.get()});
    foundation::Dict info{{"UIMainStoryboardFile", "Main"}};
    for (const auto& [key, value] : options.info) info.set(key, value);
    device_.emplace("push-features", info);
    const auto ca = device_->device() / "ca.pem";
    ASSERT_TRUE(authority_->write_root_pem(ca));
    json profile = {{"hosts", fake_->host_map()}, {"trust_anchors", {ca.string()}}};
    profile.merge_patch(options.profile);
    std::ofstream(device_->device() / "device.json") << profile.dump(2) << "\n";
    auto booted = platform::sim::boot(device_->device(), device_->bundle());
    ASSERT_TRUE(booted) << booted.error().description();
    booted_ = true;
    capture_ = std::make_unique<platform::testing::CaptureSinks>();
    push::setLogThresholds(push::kLogVerbose, push::kLogNone);
    mainThread_ = std::this_thread::get_id();
    if (options.launch) {
      platform::sim::set_app(featureImage(options.injection));
      ASSERT_TRUE(platform::sim::device().launch());
      app_ = ui::Application::shared();
      ASSERT_NE(app_, nullptr);
    }
    ASSERT_TRUE(push::RerAviror::initAppId(kAppId, std::nullopt));
  }

  void TearDown() override {
    push::RerAviror::clearFeatureStatics();
    push::RerAviror::clearStatics();
    push::RerAviror::setRequiresUserPrivacyConsent(false);
    push::setLogThresholds(push::kLogWarn, push::kLogNone);
    if (booted_) {
      capture_.reset();
      platform::sim::reset_for_testing();
      platform::net::reset_for_testing();
      platform::testing::reset();
      booted_ = false;
    }
    fake_.reset();
    device_.reset();
  }

  testing::fakes::PushService& fake() { return *fake_; }
  void setPlayer(std::optional<std::string> id) { push::RerAviror::currentSubscriptionState()->setUserId(std::move(id)); }
  void runMain() { platform::dispatch::RunLoop::main().run_pending(); }
  // Moves the clock and runs what fell due on the main loop.
  void advance(double seconds) {
    clock_->advance(platform::dispatch::Duration(seconds));
    runMain();
  }
  // Runs the main loop until `pred` holds (real time, 30 s at most: a hang detector).
  bool runUntil(const std::function<bool()>& pred) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!pred()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      if (platform::dispatch::RunLoop::main().run_pending() == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }
  // Lets answers in flight arrive and run, for checks that nothing more happened.
  void settle() {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (std::chrono::steady_clock::now() < until) {
      platform::dispatch::RunLoop::main().run_pending();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  std::size_t count(std::string_view method, const std::string& path) {
    return fake().count(method, "/api/v1/" + path);
  }
  json body(std::string_view method, const std::string& path, std::size_t index = 0) {
    auto requests = fake().requests(method, "/api/v1/" + path);
    if (index >= requests.size()) return json();
    return requests[index].json_body();
  }
  std::vector<std::string> logLines() const { return capture_->log_lines(); }
  bool logged(std::string_view line) const {
    for (const auto& l : logLines())
      if (l.find(line) != std::string::npos) return true;
    return false;
  }
  bool onMainThread() const { return std::this_thread::get_id() == mainThread_; }

  std::shared_ptr<platform::testing::ManualClock> clock_;
  std::unique_ptr<testing::fakes::TlsAuthority> authority_;
  std::unique_ptr<testing::fakes::PushService> fake_;
  std::optional<platform::testing::TempDevice> device_;
  std::unique_ptr<platform::testing::CaptureSinks> capture_;
  ui::Application* app_ = nullptr;
  std::thread::id mainThread_;
  bool booted_ = false;
};

}  // namespace push_test
