// The navigation policy, called the way the web view calls it: decisions,
// log lines and what is handed to the system, by link kind and configuration.
#include <gtest/gtest.h>

#include "platform/ui/application.h"
#include "tests/app/app_fixture.h"

namespace app::test {
namespace {

namespace foundation = platform::foundation;
namespace net = platform::net;
namespace ui = platform::ui;
namespace web = platform::web;

const std::string kRule = "\"" + std::string(73, '-') + "\"";

std::vector<std::string> log_lines(const std::string& url, const std::string& host, bool tapped) {
  return {"\"URL: " + url + "\"", "\"HOST: " + host + "\"", std::string("\"USER CLICKED: ") + (tapped ? "true" : "false") + "\"",
          kRule};
}

struct Decision {
  int calls = 0;
  std::optional<web::ActionPolicy> policy;
};

// Asks the screen for a decision on `url` (none: a request without URL).
Decision decide(ViewController& screen, std::optional<std::string> url, web::NavigationType type) {
  web::NavigationAction action;
  if (url) action.request = net::Request(*foundation::Url::parse(*url));
  action.type = type;
  action.target_frame = web::FrameInfo{};
  Decision d;
  auto view = screen.wkWebView ? screen.wkWebView : web::WebView::make();
  screen.decide_policy(*view, action, [&](web::ActionPolicy p) {
    ++d.calls;
    d.policy = p;
  });
  return d;
}

struct PolicyCase {
  std::string name;
  std::optional<std::string> home_host;  // the configured home host
  std::optional<std::string> url;
  web::NavigationType type;
  web::ActionPolicy policy;
  bool logs;
  bool opened;
};

class NavigationPolicy : public ::testing::Test {
 protected:
  void launch(nlohmann::json profile = nlohmann::json::object()) {
    harness = std::make_unique<testing::Harness>(
        testing::HarnessOptions{.fakes = {::testing::Fake::intranet}, .profile = std::move(profile)});
    write_config(*harness, kConfig);
    record_push_calls();
    harness->boot_app(app::image());
    screen = top_screen();
    ASSERT_TRUE(screen);
  }

  void check(const PolicyCase& c) {
    SCOPED_TRACE(c.name);
    ASConfigService::shared().config.baseUrlHomeHost = c.home_host;
    harness->capture().clear();
    const auto opened_before = ui::Application::shared()->opened_urls().size();
    const Decision d = decide(*screen, c.url, c.type);
    EXPECT_EQ(d.calls, 1);
    EXPECT_EQ(d.policy, std::optional<web::ActionPolicy>(c.policy));
    const auto url = c.url ? foundation::Url::parse(*c.url) : std::nullopt;
    const auto expected_lines = c.logs ? log_lines(url->absolute_string(), url->host().value_or("NoHostError"),
                                                   c.type == web::NavigationType::link_activated)
                                       : std::vector<std::string>{};
    EXPECT_EQ(out_lines(*harness), expected_lines);
    const auto& opened = ui::Application::shared()->opened_urls();
    ASSERT_EQ(opened.size(), opened_before + (c.opened ? 1 : 0));
    if (c.opened) {
      EXPECT_EQ(opened.back(), url->absolute_string());
    }
  }

  std::unique_ptr<testing::Harness> harness;
  ViewController* screen = nullptr;
};

constexpr auto tap = web::NavigationType::link_activated;
constexpr auto other = web::NavigationType::other;
constexpr auto allow = web::ActionPolicy::allow;
constexpr auto cancel = web::ActionPolicy::cancel;
const std::optional<std::string> home = "intranet.example.org";

TEST_F(NavigationPolicy, LinkTable) {
  launch();
  const std::vector<PolicyCase> cases{
      {"tap into the home host", home, "https://intranet.example.org/menu", tap, allow, true, false},
      {"a host that merely contains the home host", home, "https://intranet.example.org.partner.example/", tap, allow,
       true, false},
      {"tap with an empty home host: the base list", "", "https://intranet.example.org/menu", tap, allow, false, false},
      {"tap without a home host: the base list", std::nullopt, "https://intranet.example.org/menu", tap, allow, false,
       false},
      {"openable mail link: opened and allowed", home, "mailto:office@intranet.example.org", tap, allow, false, true},
      {"another https site: opened outside, cancelled", home, "https://partner.example/", tap, cancel, false, true},
      {"maker's site tapped", home, "https://www.example.com/", tap, cancel, false, true},
      {"telephone link: cancelled, not opened", home, "tel:+4930123456", tap, cancel, false, false},
      {"custom scheme: cancelled, not opened", home, "intranet-app://open", tap, cancel, false, false},
      {"non-tap inside", home, "https://intranet.example.org/frame/1", other, allow, true, false},
      {"non-tap without host", home, "about:blank", other, allow, true, false},
      {"non-tap to another site", home, "https://partner.example/", other, allow, true, false},
      {"non-tap to the maker's site", home, "https://www.example.com/products", other, cancel, true, true},
      {"tap into the home host naming the maker's site", home,
       "https://intranet.example.org/go?to=https://www.example.com", tap, cancel, true, true},
      {"no URL", home, std::nullopt, other, cancel, false, false},
  };
  for (const auto& c : cases) check(c);
}

TEST_F(NavigationPolicy, UnopenableMailLinkFallsThroughAndIsCancelled) {
  launch({{"can_open_schemes", {"http", "https"}}});
  check({"mail link the system cannot open", home, "mailto:office@intranet.example.org", tap, cancel, false, false});
  check({"mail link naming the base address", home, "mailto:office@intranet.example.org?body=https://intranet.example.org",
         tap, allow, false, false});
}

TEST_F(NavigationPolicy, BeforeNineTapsLeaveTheAppThroughTheLegacyOpen) {
  launch({{"system_version", "8.4"}});
  check({"tap outside the home host", home, "https://partner.example/", tap, cancel, false, true});
  check({"tap into the list without a home host", std::nullopt, "https://intranet.example.org/menu", tap, cancel,
         false, true});
  check({"tap into the home host", home, "https://intranet.example.org/menu", tap, allow, true, false});
  // openExternally before 10 uses the legacy open as well.
  ViewController::openExternally(*foundation::Url::parse("mailto:office@intranet.example.org"));
  EXPECT_EQ(ui::Application::shared()->opened_urls().back(), "mailto:office@intranet.example.org");
}

TEST_F(NavigationPolicy, MakersSiteInAPoppedUpScreenPopsIt) {
  launch();
  auto& h = *harness;
  ASSERT_TRUE(h.run_until([&] { return screen->wkWebView->url() && !screen->wkWebView->is_loading(); }));
  ASSERT_TRUE(h.device().tap_link("/about"));
  ASSERT_TRUE(h.run_until([&] { return navigation()->view_controllers().size() == 2; }));
  ViewController* popup = top_screen();
  const Decision d = decide(*popup, "https://www.example.com/", other);
  EXPECT_EQ(d.policy, std::optional<web::ActionPolicy>(cancel));
  EXPECT_EQ(navigation()->view_controllers().size(), 1u);
  EXPECT_EQ(ui::Application::shared()->opened_urls().back(), "https://www.example.com/");
}

TEST(UrlMatchesAny, SubstringOfTheWholeTextInListOrder) {
  const auto url = *foundation::Url::parse("https://intranet.example.org/path?q=www.example.com");
  EXPECT_TRUE(ViewController::urlMatchesAny(url, {"nothing", "www.example.com"}));
  EXPECT_TRUE(ViewController::urlMatchesAny(url, {"https://intranet.example.org"}));
  EXPECT_FALSE(ViewController::urlMatchesAny(url, {"HTTPS://INTRANET"}));
  EXPECT_FALSE(ViewController::urlMatchesAny(url, {}));
}

}  // namespace
}  // namespace app::test
