// Tapped notifications and universal links: their console lines and the new
// root screen they put in place.
#include <gtest/gtest.h>

#include "platform/foundation/json.h"
#include "tests/app/app_fixture.h"

namespace app::test {
namespace {

namespace foundation = platform::foundation;
namespace ui = platform::ui;

class RootReplacement : public ::testing::Test {
 protected:
  void SetUp() override {
    write_config(h, kConfig);
    record = record_push_calls();
    h.boot_app(app::image());
    first_root = root();
    ASSERT_TRUE(first_root);
    h.capture().clear();
  }

  testing::Harness h{{.fakes = {::testing::Fake::intranet}}};
  std::shared_ptr<PushRecord> record;
  ui::ViewController* first_root = nullptr;
};

TEST_F(RootReplacement, OpenedNotificationLinesByAdditionalData) {
  struct Case {
    std::string name;
    std::optional<std::string> data;  // JSON object; none: no additional data
    std::vector<std::string> lines;
  };
  const std::string tapped = R"("Notification tapped")";
  const std::string not_found = R"("Target url not found. Default URL will be used.")";
  const std::vector<Case> cases{
      {"no additional data", std::nullopt, {tapped, not_found}},
      {"no targetUrl", R"({"other":"x"})", {tapped, not_found}},
      {"a number", R"({"targetUrl":42})", {tapped, not_found}},
      {"unparsable", R"({"targetUrl":"not a url"})",
       {tapped, R"("Target url string: not a url")", R"("The url parameter is not valid. Open url failed.")"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    h.capture().clear();
    std::optional<foundation::Dict> data;
    if (c.data) data = *foundation::json::parse(*c.data)->dict();
    delegate().notificationOpened(data ? &*data : nullptr);
    EXPECT_EQ(out_lines(h), c.lines);
    EXPECT_EQ(root(), first_root);
  }
  h.capture().clear();
  record->opened(nullptr);  // no result at all
  EXPECT_EQ(out_lines(h), (std::vector<std::string>{tapped, not_found}));
  EXPECT_EQ(root(), first_root);
}

TEST_F(RootReplacement, ValidTargetPutsOneNewScreenOutsideAnyNavigationController) {
  const foundation::Dict data{{"targetUrl", foundation::Value(std::string("https://intranet.example.org/menu"))}};
  delegate().notificationOpened(&data);
  EXPECT_EQ(out_lines(h), (std::vector<std::string>{R"("Notification tapped")",
                                                     R"("Target url string: https://intranet.example.org/menu")"}));
  auto* screen = dynamic_cast<ViewController*>(root());
  ASSERT_TRUE(screen) << "the new root is a screen of its own, not a navigation controller";
  EXPECT_NE(root(), first_root);
  EXPECT_FALSE(screen->navigation_controller());
  EXPECT_EQ(screen->request.url->absolute_string(), "https://intranet.example.org/menu");
  EXPECT_EQ(screen->request.timeout, 60);
  EXPECT_EQ(screen->request.cache_policy, platform::net::CachePolicy::use_protocol);
  EXPECT_TRUE(delegate().window->is_key_window());
  // Set true by the replacement, then overwritten by its own view load: its bar would show.
  EXPECT_FALSE(screen->shouldHideNavBar);
  ASSERT_TRUE(h.run_until([&] { return h.intranet().count("GET", "/menu") == 1; }));
}

TEST_F(RootReplacement, UniversalLinks) {
  const auto send = [&](std::shared_ptr<ui::UserActivity> activity) {
    bool restored = false;
    auto application = ui::Application::shared();
    const bool answer = platform::rt::send(*application->delegate(), ui::sel::continue_user_activity,
                                           application->self_id(), std::move(activity),
                                           std::function<void(foundation::Array)>([&](foundation::Array) { restored = true; }));
    EXPECT_TRUE(answer);
    EXPECT_FALSE(restored);
  };
  const std::string tapped = R"("universal link tapped")";

  // An empty type changes nothing, not even universalLinkURL.
  auto empty_type = std::make_shared<ui::UserActivity>("");
  empty_type->webpage_url = foundation::Url::parse("https://intranet.example.org/news/1");
  send(empty_type);
  EXPECT_EQ(out_lines(h), std::vector<std::string>{tapped});
  EXPECT_FALSE(delegate().universalLinkURL);
  EXPECT_EQ(root(), first_root);

  // A web activity without an address would stop every later load: it changes nothing either.
  h.capture().clear();
  send(std::make_shared<ui::UserActivity>(std::string(ui::activity_type_browsing_web)));
  EXPECT_EQ(out_lines(h), std::vector<std::string>{tapped});
  EXPECT_FALSE(delegate().universalLinkURL);
  EXPECT_EQ(ASConfigService::shared().baseURL()->absolute_string(), "https://intranet.example.org");
  EXPECT_EQ(root(), first_root);

  // An address moves the base address and replaces the root.
  h.capture().clear();
  ASSERT_TRUE(h.device().universal_link("https://intranet.example.org/news/42"));
  EXPECT_EQ(out_lines(h), std::vector<std::string>{tapped});
  EXPECT_EQ(delegate().universalLinkURL->absolute_string(), "https://intranet.example.org/news/42");
  EXPECT_EQ(ASConfigService::shared().baseURL()->absolute_string(), "https://intranet.example.org/news/42");
  auto* screen = dynamic_cast<ViewController*>(root());
  ASSERT_TRUE(screen);
  EXPECT_EQ(screen->request.url->absolute_string(), "https://intranet.example.org/news/42");
  ASSERT_TRUE(h.run_until([&] { return h.intranet().count("GET", "/news/42") == 1; }));

  // A later fallback load uses the link's address.
  screen->loadRequest(std::nullopt);
  ASSERT_TRUE(h.run_until([&] { return h.intranet().count("GET", "/news/42") == 2; }));
}

}  // namespace
}  // namespace app::test
