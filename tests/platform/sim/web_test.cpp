// Page-side events reach the visible web view; its page shows in the screen
// dump, and its finished loads satisfy the player's page-finished waits.
#include "platform/web/web_view.h"
#include "fixture.h"

namespace platform::sim::test {
namespace {

class Delegates : public web::NavigationDelegate, public web::UIDelegate {
 public:
  void decide_policy(web::WebView&, const web::NavigationAction& action,
                     std::function<void(web::ActionPolicy)> decide) override {
    std::string url = action.request.url ? action.request.url->absolute_string() : "";
    events().push_back("decide " + url + " " + std::to_string(static_cast<int>(action.type)));
    // Only the page given as text loads: nothing leaves the test.
    decide(action.type == web::NavigationType::other ? web::ActionPolicy::allow : web::ActionPolicy::cancel);
  }
  void did_finish(web::WebView&, web::Navigation*) override { events().push_back("finish"); }
  void run_alert_panel(web::WebView&, std::string message, web::FrameInfo, std::function<void()> done) override {
    events().push_back("alert " + message);
    done();
    done();
  }
  void run_confirm_panel(web::WebView&, std::string message, web::FrameInfo, std::function<void(bool)> done) override {
    events().push_back("confirm " + message);
    done(true);
  }
  void did_close(web::WebView&) override { events().push_back("close"); }
};

TEST_F(SimTest, PageEventsReachTheVisibleWebView) {
  start();
  ASSERT_TRUE(device().launch());
  EXPECT_FALSE(device().tap_link("/x"));  // no web view yet

  auto* nav = dynamic_cast<ui::NavigationController*>(ui::Application::shared()->key_window()->root_view_controller());
  ASSERT_NE(nav, nullptr);
  auto delegates = std::make_shared<Delegates>();
  auto view = web::WebView::make(ui::Rect{0, 0, 375, 812});
  view->set_navigation_delegate(delegates);
  view->set_ui_delegate(delegates);
  nav->top()->view().add_subview(view);
  view->load_html("<html><title>Menu</title><a href=\"/login?user=demo\">Log in</a></html>",
                  foundation::Url::parse("https://intranet.example.org/"));

  ScenarioPlayer player(std::get<std::vector<Command>>(ScenarioPlayer::parse(
      "wait page-finished 1s\n"
      "expect screen web https://intranet.example.org/ \"Menu\" finished\n")));
  player.start();
  for (int i = 0; i < 50 && !player.finished(); ++i) {
    dispatch::wait_until_idle();
    if (dispatch::RunLoop::main().run_pending() == 0) clock_->advance(std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(player.finished());
  EXPECT_EQ(player.exit_code(), 0) << all_lines() << dump_screen();
  EXPECT_EQ(count_lines("os| page finished https://intranet.example.org/ \"Menu\""), 1) << all_lines();

  events().clear();
  ASSERT_TRUE(device().tap_link("/login?user=demo"));
  ASSERT_TRUE(device().js_alert("Saved"));
  ASSERT_TRUE(device().js_confirm("Leave?"));
  ASSERT_TRUE(device().close_window());
  pump();
  EXPECT_EQ(events(), (std::vector<std::string>{"alert Saved", "confirm Leave?", "close",
                                                "decide https://intranet.example.org/login?user=demo 0"}))
      << all_lines();
  EXPECT_EQ(count_lines("alert completion called"), 1) << all_lines();
  EXPECT_EQ(count_lines("confirm answered true"), 1) << all_lines();

  // A hidden web view is not the visible one.
  view->hidden = true;
  EXPECT_FALSE(device().js_alert("hidden"));
}

}  // namespace
}  // namespace platform::sim::test
