#pragma once
// A booted device whose host map sends intranet.example.org to a loopback
// IntranetSite over TLS, a recording web view delegate, and run-loop pumping
// on the test thread (the main thread).
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"
#include "platform/os/system.h"
#include "platform/testing/temp_device.h"
#include "platform/web/observer.h"
#include "platform/web/web_view.h"
#include "testing/fakes/intranet_site.h"
#include "testing/fakes/tls_authority.h"

namespace platform::web::test {

using foundation::Error;
using foundation::Url;
using ::testing::fakes::IntranetSite;

inline std::string path_of(const net::Request& r) {
  if (!r.url) return "(none)";
  auto q = r.url->query();
  return r.url->path() + (q ? "?" + *q : "");
}

inline const char* type_name(NavigationType t) {
  switch (t) {
    case NavigationType::link_activated: return "link";
    case NavigationType::form_submitted: return "form";
    case NavigationType::back_forward: return "back_forward";
    case NavigationType::reload: return "reload";
    case NavigationType::form_resubmitted: return "resubmit";
    case NavigationType::other: return "other";
  }
  return "?";
}

// Records navigation and UI delegate calls as short lines:
//   "decide main other /", "decide frame other /frame/1", "decide new-window link /about",
//   "start", "commit /", "finish", "fail-provisional -1004", "fail -1005", "create", "close".
class Recorder : public NavigationDelegate, public UIDelegate {
 public:
  std::function<ActionPolicy(const NavigationAction&)> policy;
  std::function<std::shared_ptr<WebView>(WebView&, const NavigationAction&)> on_create;
  std::vector<std::string> events;
  std::vector<NavigationAction> actions;
  std::vector<NavigationAction> created_for;
  std::vector<Navigation*> navigations;
  std::optional<Error> error;
  int finished = 0, failed = 0;

  void decide_policy(WebView&, const NavigationAction& a, std::function<void(ActionPolicy)> handler) override {
    EXPECT_TRUE(dispatch::is_main_thread());
    actions.push_back(a);
    std::string where = !a.target_frame ? "new-window" : a.target_frame->is_main_frame ? "main" : "frame";
    events.push_back("decide " + where + " " + type_name(a.type) + " " + path_of(a.request));
    handler(policy ? policy(a) : ActionPolicy::allow);
  }
  void did_start_provisional(WebView&, Navigation* n) override {
    navigations.push_back(n);
    events.push_back("start");
  }
  void did_commit(WebView& v, Navigation*) override { events.push_back("commit " + (v.url() ? v.url()->path() : "")); }
  void did_finish(WebView&, Navigation*) override {
    ++finished;
    events.push_back("finish");
  }
  void did_fail(WebView&, Navigation*, Error e) override {
    ++failed;
    error = e;
    events.push_back("fail " + std::to_string(e.code));
  }
  void did_fail_provisional(WebView&, Navigation*, Error e) override {
    ++failed;
    error = e;
    events.push_back("fail-provisional " + std::to_string(e.code));
  }
  std::shared_ptr<WebView> create_web_view(WebView& v, Configuration, const NavigationAction& a) override {
    created_for.push_back(a);
    events.push_back("create");
    return on_create ? on_create(v, a) : nullptr;
  }
  void did_close(WebView&) override { events.push_back("close"); }

  bool done() const { return finished + failed > 0; }
  void clear() {
    events.clear();
    actions.clear();
    finished = failed = 0;
    error.reset();
  }
};

class WebTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device_.emplace("web-test");
    ASSERT_TRUE(authority_.write_root_pem(device_->device() / "ca.pem"));
    site_ = std::make_unique<IntranetSite>(::testing::fakes::ServiceOptions{.authority = &authority_});
  }

  void TearDown() override {
    views_.clear();
    site_.reset();
    device_.reset();  // resets the platform and removes the folder
  }

  void boot(std::function<void(os::DeviceProfile&)> adjust = {}) {
    os::DeviceProfile profile;
    profile.hosts = site_->host_map();
    profile.trust_anchors = {device_->device() / "ca.pem"};
    if (adjust) adjust(profile);
    os::BootOptions options;
    options.profile = std::move(profile);
    auto booted = device_->boot(std::move(options));
    ASSERT_TRUE(booted.has_value()) << booted.error().description();
  }

  // A web view with the recorder as both delegates.
  std::shared_ptr<WebView> make_view(Configuration configuration = {}) {
    auto view = WebView::make({0, 0, 320, 480}, std::move(configuration));
    view->set_navigation_delegate(recorder_);
    view->set_ui_delegate(recorder_);
    views_.push_back(view);
    return view;
  }

  static net::Request request(const std::string& path) {
    return net::Request(*Url::parse(std::string("https://") + IntranetSite::kHost + path));
  }

  // Runs the main run loop until `pred` holds or 10 s of real time pass.
  static bool pump(const std::function<bool()>& pred, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      dispatch::RunLoop::main().run_until(pred, dispatch::Duration(0.02));
    }
    return true;
  }
  // Runs the main run loop for a while (to see that nothing more happens).
  static void settle(std::chrono::milliseconds d = std::chrono::milliseconds(300)) {
    pump([] { return false; }, d);
  }

  bool load_and_wait(WebView& view, const std::string& path) {
    recorder_->clear();
    view.load(request(path));
    return pump([&] { return recorder_->done(); });
  }

  std::optional<platform::testing::TempDevice> device_;
  ::testing::fakes::TlsAuthority authority_;
  std::unique_ptr<IntranetSite> site_;
  std::shared_ptr<Recorder> recorder_ = std::make_shared<Recorder>();
  std::vector<std::shared_ptr<WebView>> views_;
};

}  // namespace platform::web::test
