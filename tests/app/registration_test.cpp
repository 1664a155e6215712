// The player-id registration against the intranet fake: the wire form with
// the session cookie and without foreign ones, when nothing is posted, one
// post per session cookie, and what each reply prints.
#include <gtest/gtest.h>

#include "app/network.h"
#include "http/session_manager.h"
#include "platform/web/data_store.h"
#include "push/reraviror.h"
#include "push/states.h"
#include "tests/app/app_fixture.h"

namespace app::test {
namespace {

namespace net = platform::net;
namespace web = platform::web;
using testing::fakes::FakeService;
using namespace std::chrono_literals;

net::Cookie cookie(std::string name, std::string value, std::string domain, std::string path = "/") {
  net::Cookie c;
  c.name = std::move(name);
  c.value = std::move(value);
  c.domain = std::move(domain);
  c.path = std::move(path);
  return c;
}

void put_cookies(testing::Harness& h, const std::vector<net::Cookie>& cookies) {
  auto& store = web::WebsiteDataStore::default_store()->http_cookie_store();
  int pending = static_cast<int>(cookies.size());
  for (const auto& c : cookies) store.set_cookie(c, [&] { --pending; });
  ASSERT_TRUE(h.run_until([&] { return pending == 0; }));
}

void cookie_check() { getCookies(std::nullopt, [](std::vector<net::Cookie> c) { registerForSessionCookies(c); }); }

const std::string kRegister = "/api/reraviror/register";

TEST(Registration, PostsThePlayerIdWithTheSessionCookieAndNoForeignCookie) {
  testing::Harness h({.fakes = {::testing::Fake::intranet, ::testing::Fake::push}});
  write_config(h, kConfig);
  push_calls() = facade_push_calls();
  h.boot_app(app::image());
  const std::string id = h.push().player_id();
  push::RerAviror::currentSubscriptionState()->setUserId(id);
  put_cookies(h, {cookie("PHPSESSID", "s-1", "intranet.example.org"), cookie("tracker", "t-1", "partner.example")});

  cookie_check();
  ASSERT_TRUE(h.run_until([&] { return h.intranet().count("POST", kRegister) >= 1; }));
  const auto post = h.intranet().requests("POST", kRegister).front();
  EXPECT_EQ(post.body, "{\"player-id\":\"" + id + "\"}");
  EXPECT_EQ(post.header("Content-Type"), "application/json");
  for (const char* name : {"Accept-Encoding", "Accept-Language", "User-Agent"}) EXPECT_TRUE(post.has_header(name)) << name;
  EXPECT_EQ(post.cookie("PHPSESSID"), "s-1");
  EXPECT_FALSE(post.has_cookie("tracker"));
  // The foreign cookie never reached the shared session's storage either.
  for (const auto& c : Duvarel::SessionManager::shared()->session()->configuration().cookie_storage->cookies()) {
    EXPECT_NE(c.name, "tracker");
  }
}

class Posts : public ::testing::Test {
 protected:
  void launch(nlohmann::json profile = nlohmann::json::object()) {
    harness = std::make_unique<testing::Harness>(
        testing::HarnessOptions{.fakes = {::testing::Fake::intranet}, .profile = std::move(profile)});
    write_config(*harness, kConfig);
    record = record_push_calls();
    record->user_id = "player-1";
    harness->boot_app(app::image());
    // The first page's decisions are over before a test puts its cookies.
    ASSERT_TRUE(harness->run_until([&] {
      auto* screen = top_screen();
      return screen->wkWebView ? screen->wkWebView->url() && !screen->wkWebView->is_loading()
                               : screen->webView->url() && !screen->webView->is_loading();
    }));
  }
  std::size_t posts() { return harness->intranet().count("POST", kRegister); }
  bool no_post_after_check() {
    cookie_check();
    return !harness->run_until([&] { return posts() > 0; }, 500ms);
  }
  std::unique_ptr<testing::Harness> harness;
  std::shared_ptr<PushRecord> record;
};

TEST_F(Posts, NothingForAnotherCaseOfTheNameOrWithoutAPlayerId) {
  launch();
  put_cookies(*harness, {cookie("phpsessid", "s-1", "intranet.example.org")});
  EXPECT_TRUE(no_post_after_check());
  put_cookies(*harness, {cookie("PHPSESSID", "s-1", "intranet.example.org")});
  record->user_id.reset();
  EXPECT_TRUE(no_post_after_check());
  record->user_id = "player-1";
  cookie_check();
  ASSERT_TRUE(harness->run_until([&] { return posts() == 1; }));
}

TEST_F(Posts, NothingBeforeEleven) {
  launch({{"system_version", "10.3"}});
  put_cookies(*harness, {cookie("PHPSESSID", "s-1", "intranet.example.org")});
  EXPECT_TRUE(no_post_after_check());
}

TEST_F(Posts, OnePostPerSessionCookieAndPerDecision) {
  launch();
  put_cookies(*harness, {cookie("PHPSESSID", "s-1", "intranet.example.org"),
                         cookie("PHPSESSID", "s-2", "intranet.example.org", "/intranet")});
  cookie_check();
  ASSERT_TRUE(harness->run_until([&] { return posts() == 2; }));
  EXPECT_FALSE(harness->run_until([&] { return posts() > 2; }, 300ms));

  // One session cookie and a page with three frames: the page's and each frame's decision post once each.
  harness->intranet().clear_requests();
  put_cookies(*harness, {cookie("PHPSESSID", "s-2", "intranet.example.org", "/intranet")});
  auto& store = web::WebsiteDataStore::default_store()->http_cookie_store();
  bool deleted = false;
  store.delete_cookie(cookie("PHPSESSID", "s-2", "intranet.example.org", "/intranet"), [&] { deleted = true; });
  ASSERT_TRUE(harness->run_until([&] { return deleted; }));
  ASSERT_TRUE(harness->device().tap_link("/frames"));
  ASSERT_TRUE(harness->run_until([&] { return harness->intranet().count("GET", "/frame/3") == 1 && posts() == 4; }));
  EXPECT_FALSE(harness->run_until([&] { return posts() > 4; }, 300ms));
}

TEST_F(Posts, OfflineTheDecisionStillTriesToPostAndPrintsOneLine) {
  launch();
  put_cookies(*harness, {cookie("PHPSESSID", "s-1", "intranet.example.org")});
  harness->capture().clear();
  ASSERT_TRUE(harness->device().network(platform::sim::NetworkSetting::off));
  cookie_check();
  ASSERT_TRUE(harness->run_until([&] { return !out_lines(*harness).empty(); }));
  harness->run_until([] { return false; }, 300ms);
  EXPECT_EQ(out_lines(*harness).size(), 1u) << harness->capture().out();
  EXPECT_EQ(posts(), 0u);
}

TEST_F(Posts, RepliesPrintOnlyFailuresOnOneLine) {
  launch();
  put_cookies(*harness, {cookie("PHPSESSID", "s-1", "intranet.example.org")});
  struct Case {
    std::string name;
    testing::fakes::Handler reply;
    std::optional<std::string> line_prefix;  // none: nothing printed
  };
  const std::vector<Case> cases{
      {"not JSON", [](const ::testing::fakes::HttpRequest&, ::testing::fakes::HttpResponse& res) { res.set_content("<html></html>", "text/html"); },
       "JSON could not be serialized because of error:"},
      {"a JSON string", [](const ::testing::fakes::HttpRequest&, ::testing::fakes::HttpResponse& res) { res.set_content("\"ok\"", "application/json"); },
       std::nullopt},
      {"500 with JSON", FakeService::json(500, {{"error", "down"}}), std::nullopt},
      {"204", FakeService::empty(204), std::nullopt},
      {"connection dropped", FakeService::drop_connection(), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    harness->intranet().clear_overrides();
    harness->intranet().on("POST", kRegister, c.reply);
    harness->capture().clear();
    const auto before = posts();
    cookie_check();
    ASSERT_TRUE(harness->run_until([&] { return posts() > before; }));
    if (c.line_prefix) {
      ASSERT_TRUE(harness->run_until([&] { return !out_lines(*harness).empty(); }));
      harness->run_until([] { return false; }, 300ms);
      const auto lines = out_lines(*harness);
      ASSERT_EQ(lines.size(), 1u) << harness->capture().out();
      EXPECT_EQ(lines[0].rfind(*c.line_prefix, 0), 0u) << lines[0];
      EXPECT_FALSE(lines[0].empty());
    } else {
      EXPECT_FALSE(harness->run_until([&] { return !harness->capture().out().empty(); }, 500ms))
          << harness->capture().out();
    }
  }
}

}  // namespace
}  // namespace app::test
