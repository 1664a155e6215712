// The harness with an app: start-up on the test thread, OS-side operations
// through device(), and run_until pumping the main run loop in between.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/run_loop.h"
#include "platform/foundation/url.h"
#include "platform/ui/application.h"
#include "platform/ui/view_controller.h"
#include "platform/web/web_view.h"
#include "testing/harness/harness.h"

namespace testing::test {
namespace {

namespace ui = platform::ui;
namespace web = platform::web;
namespace rt = platform::rt;
using namespace std::chrono_literals;

constexpr auto kNetworkWait = 20s;  // page loads in sanitizer builds on a busy machine

struct Seen {
  std::vector<std::string> finished;  // URLs of finished pages
  std::vector<std::string> events;
  std::thread::id finish_thread;
};
Seen& seen() {
  static Seen s;
  return s;
}

class Recorder : public web::NavigationDelegate {
 public:
  void did_finish(web::WebView& view, web::Navigation*) override {
    seen().finished.push_back(view.url() ? view.url()->absolute_string() : "");
    seen().finish_thread = std::this_thread::get_id();
  }
};

class PageScreen : public ui::ViewController {
 public:
  void view_did_load() override {
    view_ = web::WebView::make(view().frame);
    view_->set_navigation_delegate(recorder_);
    view().add_subview(view_);
    view_->load(platform::net::Request(*platform::foundation::Url::parse("https://intranet.example.org/")));
  }

 private:
  std::shared_ptr<Recorder> recorder_ = std::make_shared<Recorder>();
  std::shared_ptr<web::WebView> view_;
};

class TestDelegate : public ui::Responder {
 public:
  explicit TestDelegate(rt::Class& cls) : ui::Responder(cls) {}
  bool did_finish(rt::Id, platform::foundation::Dict) {
    seen().events.push_back("did-finish");
    return true;
  }
  void did_enter_background(rt::Id) { seen().events.push_back("background"); }
  void will_enter_foreground(rt::Id) { seen().events.push_back("foreground"); }
};

platform::sim::AppImage test_image() {
  platform::sim::AppImage image;
  image.delegate_class = "HarnessTestDelegate";
  image.register_classes = [] {
    rt::ClassBuilder<TestDelegate>("HarnessTestDelegate", "UIResponder")
        .method(ui::sel::did_finish_launching, &TestDelegate::did_finish)
        .method(ui::sel::did_enter_background, &TestDelegate::did_enter_background)
        .method(ui::sel::will_enter_foreground, &TestDelegate::will_enter_foreground)
        .define();
  };
  image.define_storyboards = [] {
    ui::Storyboard::define("Main", {.initial = [](ui::Storyboard&) {
                                      return std::make_shared<ui::NavigationController>(std::make_shared<PageScreen>());
                                    },
                                    .scenes = {}});
  };
  return image;
}

TEST(HarnessApp, BootAppLaunchesOnTheTestThreadAndDeviceDrivesThePage) {
  seen() = {};
  Harness h({.fakes = {Fake::intranet}});
  ui::Application& app = h.boot_app(test_image());
  EXPECT_EQ(&app, ui::Application::shared());
  EXPECT_EQ(app.state(), ui::ApplicationState::active);
  EXPECT_EQ(seen().events, std::vector<std::string>{"did-finish"});

  // The page loads only while the test pumps the main run loop.
  ASSERT_TRUE(h.run_until([] { return seen().finished.size() == 1; }, kNetworkWait));
  EXPECT_EQ(seen().finished[0], "https://intranet.example.org/");
  EXPECT_EQ(seen().finish_thread, std::this_thread::get_id());

  // The login link sets the session cookie and redirects home.
  ASSERT_TRUE(h.device().tap_link("/login?user=demo").ok);
  ASSERT_TRUE(h.run_until([] { return seen().finished.size() == 2; }, kNetworkWait));
  EXPECT_EQ(h.intranet().count("GET", "/login"), 1u);
  EXPECT_EQ(h.intranet().user(), "demo");
  const auto home = h.intranet().requests("GET", "/");
  ASSERT_EQ(home.size(), 2u);
  EXPECT_FALSE(home[0].has_cookie("PHPSESSID"));
  EXPECT_EQ(home[1].cookie("PHPSESSID"), h.intranet().session_id());

  ASSERT_TRUE(h.device().background().ok);
  ASSERT_TRUE(h.device().foreground().ok);
  EXPECT_EQ(seen().events, (std::vector<std::string>{"did-finish", "background", "foreground"}));
  EXPECT_EQ(app.state(), ui::ApplicationState::active);
}

TEST(HarnessApp, BootAppWithoutAnImageIsAnError) {
  Harness h;
  EXPECT_THROW(h.boot_app(), std::logic_error);
  EXPECT_EQ(ui::Application::shared(), nullptr);
}

}  // namespace
}  // namespace testing::test
