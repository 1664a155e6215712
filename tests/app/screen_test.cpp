// The web container screen against the intranet fake: loads gated on the base
// address, the connection-lost view, refresh, pop-up screens and their close,
// the navigation bar, page panels and the legacy page view.
#include <gtest/gtest.h>

#include "platform/sim/device.h"
#include "platform/ui/application.h"
#include "tests/app/app_fixture.h"

namespace app::test {
namespace {

namespace foundation = platform::foundation;
namespace net = platform::net;
namespace sim = platform::sim;
namespace ui = platform::ui;
namespace web = platform::web;
using testing::fakes::FakeService;

class Screen : public ::testing::Test {
 protected:
  void launch(const std::string& config = kConfig) {
    write_config(h, config);
    record_push_calls();
    h.boot_app(app::image());
  }
  bool settled(ViewController* screen, const std::string& url) {
    return screen && screen->wkWebView && !screen->wkWebView->is_loading() && screen->wkWebView->url() &&
           screen->wkWebView->url()->absolute_string() == url;
  }
  bool wait_settled(ViewController* screen, const std::string& url) {
    return h.run_until([&] { return settled(screen, url); });
  }
  bool lost(ViewController* s) { return !s->connectionLostView->hidden && s->wkWebView->hidden; }
  bool page(ViewController* s) { return s->connectionLostView->hidden && !s->wkWebView->hidden; }

  testing::Harness h{{.fakes = {::testing::Fake::intranet}}};
};

TEST_F(Screen, WithoutBaseAddressNothingLoadsAndRefreshAndReloadAreInert) {
  launch(R"({"base_url_home_host": "intranet.example.org"})");
  ViewController* screen = top_screen();
  ASSERT_TRUE(screen);
  h.device().pull_to_refresh();
  screen->reloadButtonAction();
  screen->loadRequest(std::nullopt);
  EXPECT_FALSE(h.run_until([&] { return h.intranet().count() > 0; }, std::chrono::milliseconds(500)));
  EXPECT_TRUE(screen->activityIndicatorView->is_animating());
  EXPECT_FALSE(screen->wkWebView->url());
  EXPECT_TRUE(page(screen));
}

TEST_F(Screen, OfflineFailureShowsConnectionLostAndReloadWaitsForTheNetwork) {
  launch();
  ViewController* screen = top_screen();
  ASSERT_TRUE(wait_settled(screen, "https://intranet.example.org"));
  EXPECT_FALSE(screen->activityIndicatorView->is_animating());
  EXPECT_FALSE(ui::Application::shared()->network_activity_indicator_visible);

  ASSERT_TRUE(h.device().network(sim::NetworkSetting::off));
  ASSERT_TRUE(h.device().tap_link("/menu"));
  ASSERT_TRUE(h.run_until([&] { return lost(screen); }));
  EXPECT_FALSE(ui::Application::shared()->network_activity_indicator_visible);

  screen->reloadButtonAction();
  EXPECT_FALSE(h.run_until([&] { return h.intranet().count("GET", "/") > 1; }, std::chrono::milliseconds(300)));
  EXPECT_TRUE(lost(screen));

  ASSERT_TRUE(h.device().network(sim::NetworkSetting::on));
  ASSERT_TRUE(h.device().tap(std::string(view_id::reload_button)));
  EXPECT_FALSE(screen->wkWebView->hidden);  // shown at once, before the page comes back
  ASSERT_TRUE(h.run_until([&] { return h.intranet().count("GET", "/") == 2 && page(screen); }));
  EXPECT_EQ(h.intranet().count("GET", "/menu"), 0u);
}

TEST_F(Screen, OnlineFailureKeepsThePage) {
  h.intranet().on("GET", "/broken", FakeService::drop_connection());
  launch();
  ViewController* screen = top_screen();
  ASSERT_TRUE(wait_settled(screen, "https://intranet.example.org"));
  ASSERT_TRUE(h.device().tap_link("/broken"));
  ASSERT_TRUE(h.run_until([&] { return h.intranet().count("GET", "/broken") >= 1 && !screen->wkWebView->is_loading(); }));
  ASSERT_TRUE(h.run_until([&] { return !ui::Application::shared()->network_activity_indicator_visible; }));
  EXPECT_TRUE(page(screen));
}

TEST_F(Screen, RefreshLoadsTheRequestWithoutHistoryAndReloadsWithIt) {
  launch();
  ViewController* screen = top_screen();
  ASSERT_TRUE(wait_settled(screen, "https://intranet.example.org"));
  ASSERT_TRUE(h.device().pull_to_refresh());
  EXPECT_TRUE(screen->refreshControl->is_refreshing());
  ASSERT_TRUE(h.run_until([&] { return h.intranet().count("GET", "/") == 2 && !screen->wkWebView->is_loading(); }));
  EXPECT_FALSE(screen->refreshControl->is_refreshing());

  ASSERT_TRUE(h.device().tap_link("/menu"));
  ASSERT_TRUE(wait_settled(screen, "https://intranet.example.org/menu"));
  ASSERT_TRUE(h.device().pull_to_refresh());
  ASSERT_TRUE(h.run_until([&] { return h.intranet().count("GET", "/menu") == 2 && !screen->wkWebView->is_loading(); }));
  EXPECT_EQ(screen->wkWebView->url()->absolute_string(), "https://intranet.example.org/menu");
  EXPECT_EQ(h.intranet().count("GET", "/"), 2u);
}

TEST_F(Screen, PopUpIsPushedWithItsBarAndClosingPopsBackOrReloadsTheBase) {
  launch();
  ViewController* first = top_screen();
  ASSERT_TRUE(wait_settled(first, "https://intranet.example.org"));
  EXPECT_TRUE(navigation()->navigation_bar_hidden());

  ASSERT_TRUE(h.device().tap_link("/about"));  // target="_blank"
  ASSERT_TRUE(h.run_until([&] { return navigation()->view_controllers().size() == 2; }));
  ViewController* popup = top_screen();
  ASSERT_NE(popup, first);
  ASSERT_TRUE(wait_settled(popup, "https://intranet.example.org/about"));
  EXPECT_FALSE(popup->shouldHideNavBar);
  EXPECT_FALSE(navigation()->navigation_bar_hidden());
  EXPECT_EQ(popup->request.url->absolute_string(), "https://intranet.example.org/about");

  // The page closes its window: an asynchronous pop back to the screen below.
  ASSERT_TRUE(h.device().close_window());
  EXPECT_EQ(navigation()->view_controllers().size(), 2u);
  ASSERT_TRUE(h.run_until([&] { return navigation()->view_controllers().size() == 1; }));
  EXPECT_EQ(top_screen(), first);
  EXPECT_TRUE(navigation()->navigation_bar_hidden());

  // A close in the bottom screen loads the base address there.
  const auto before = h.intranet().count("GET", "/");
  ASSERT_TRUE(h.device().close_window());
  ASSERT_TRUE(h.run_until([&] { return h.intranet().count("GET", "/") == before + 1; }));
  EXPECT_EQ(navigation()->view_controllers().size(), 1u);
  // A close from another web view is not this screen's.
  first->did_close(*web::WebView::make());
}

TEST_F(Screen, CloseOnARootWithoutNavigationControllerDoesNothing) {
  launch();
  ASSERT_TRUE(wait_settled(top_screen(), "https://intranet.example.org"));
  delegate().showRootViewController(foundation::Url::parse("https://intranet.example.org/menu"));
  auto* screen = dynamic_cast<ViewController*>(root());
  ASSERT_TRUE(screen);
  ASSERT_TRUE(wait_settled(screen, "https://intranet.example.org/menu"));
  ASSERT_TRUE(h.device().close_window());
  EXPECT_FALSE(h.run_until([&] { return h.intranet().count("GET", "/") > 1; }, std::chrono::milliseconds(300)));
  EXPECT_EQ(root(), screen);
  // A pop-up there is made but has nowhere to be pushed.
  ASSERT_TRUE(h.device().tap_link("/"));
  ASSERT_TRUE(wait_settled(screen, "https://intranet.example.org/"));
  ASSERT_TRUE(h.device().tap_link("/about"));
  EXPECT_FALSE(h.run_until([&] { return root() != screen; }, std::chrono::milliseconds(300)));
}

TEST_F(Screen, PagePanelsAreAlertsTitledWithTheFrameHost) {
  launch();
  ViewController* screen = top_screen();
  ASSERT_TRUE(wait_settled(screen, "https://intranet.example.org"));
  const web::FrameInfo frame{true, net::Request(*foundation::Url::parse("https://intranet.example.org/form"))};

  std::optional<bool> answer;
  screen->run_confirm_panel(*screen->wkWebView, "Delete?", frame, [&](bool ok) { answer = ok; });
  auto* confirm = dynamic_cast<ui::AlertController*>(screen->presented());
  ASSERT_TRUE(confirm);
  EXPECT_EQ(confirm->title, "intranet.example.org");
  EXPECT_EQ(confirm->message, std::optional<std::string>("Delete?"));
  EXPECT_EQ(confirm->preferred_style, 1);
  ASSERT_EQ(confirm->actions().size(), 2u);
  EXPECT_EQ(confirm->actions()[0].title, "OK");
  EXPECT_EQ(confirm->actions()[1].title, "Cancel");
  EXPECT_EQ(confirm->actions()[0].style, 0);
  EXPECT_EQ(confirm->actions()[1].style, 0);
  confirm->tap(1);
  ASSERT_TRUE(h.run_until([&] { return answer.has_value(); }));
  EXPECT_FALSE(*answer);
  ASSERT_TRUE(h.run_until([&] { return !screen->presented(); }));

  bool done = false;
  const web::FrameInfo no_url{true, net::Request()};
  screen->run_alert_panel(*screen->wkWebView, "Saved", no_url, [&] { done = true; });
  auto* alert = dynamic_cast<ui::AlertController*>(screen->presented());
  ASSERT_TRUE(alert);
  EXPECT_EQ(alert->title, "");
  ASSERT_EQ(alert->actions().size(), 1u);
  EXPECT_EQ(alert->actions()[0].title, "OK");
  alert->tap(0);
  ASSERT_TRUE(h.run_until([&] { return done; }));
}

TEST(LegacyScreen, BeforeTenThePageIsTheLegacyViewWithItsOwnStates) {
  testing::Harness h({.fakes = {::testing::Fake::intranet}, .profile = {{"system_version", "9.3"}}});
  write_config(h, kConfig);
  record_push_calls();
  h.boot_app(app::image());
  ViewController* screen = top_screen();
  ASSERT_TRUE(screen);
  EXPECT_FALSE(screen->wkWebView);
  auto& legacy = *screen->webView;
  ASSERT_TRUE(h.run_until([&] { return legacy.url() && !legacy.is_loading(); }));
  EXPECT_EQ(legacy.url()->absolute_string(), "https://intranet.example.org");
  EXPECT_FALSE(screen->activityIndicatorView->is_animating());
  EXPECT_FALSE(ui::Application::shared()->network_activity_indicator_visible);
  EXPECT_FALSE(legacy.hidden);
  bool in_scroll_view = false;
  for (const auto& v : legacy.scroll_view().subviews()) in_scroll_view = in_scroll_view || v == screen->refreshControl;
  EXPECT_TRUE(in_scroll_view);

  // Offline: the connection-lost view shows, the legacy view keeps its visibility.
  ASSERT_TRUE(h.device().network(sim::NetworkSetting::off));
  ASSERT_TRUE(h.device().tap_link("/menu"));
  ASSERT_TRUE(h.run_until([&] { return !screen->connectionLostView->hidden; }));
  EXPECT_FALSE(legacy.hidden);
  ASSERT_TRUE(h.device().network(sim::NetworkSetting::on));
  ASSERT_TRUE(h.device().tap(std::string(view_id::reload_button)));
  ASSERT_TRUE(h.run_until([&] { return screen->connectionLostView->hidden && !legacy.is_loading(); }));
  // No navigation policy and no cookie check run on the legacy road.
  EXPECT_EQ(h.capture().out().find("USER CLICKED"), std::string::npos);
}

}  // namespace
}  // namespace app::test
