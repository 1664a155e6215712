// Data stores and cookies: the login cookie seen through the cookie store on
// the main thread, the cookie file of the default store, non-persistent
// stores; and the runtime classes per profile.

#include <fstream>

#include "fixture.h"
#include "platform/foundation/plist.h"
#include "platform/net/cookie.h"
#include "platform/runtime/runtime.h"
#include "platform/web/testing_reset.h"

namespace platform::web::test {
namespace {

class StoreTest : public WebTest {
 protected:
  std::filesystem::path cookie_file() const { return device_->container() / "Library" / "WebKit" / "cookies.plist"; }

  std::vector<net::Cookie> all_cookies(WebsiteDataStore& store) {
    std::optional<std::vector<net::Cookie>> got;
    store.http_cookie_store().get_all_cookies([&](std::vector<net::Cookie> cookies) {
      EXPECT_TRUE(dispatch::is_main_thread());
      got = std::move(cookies);
    });
    EXPECT_FALSE(got.has_value()) << "the completion waits for the next main-queue turn";
    EXPECT_TRUE(pump([&] { return got.has_value(); }));
    return got.value_or(std::vector<net::Cookie>{});
  }

  std::vector<std::string> names_in_file() const {
    std::vector<std::string> names;
    auto read = foundation::plist::read_file(cookie_file());
    if (!read || !read->array()) return names;
    for (const auto& item : *read->array()) {
      if (const auto* name = item["Name"].string()) names.push_back(*name);
    }
    return names;
  }
};

TEST_F(StoreTest, LoginCookieVisibleOnTheMainThreadAndOnlyLastingCookiesPersisted) {
  site_->on("GET", "/remember", [](const ::testing::fakes::HttpRequest&, ::testing::fakes::HttpResponse& res) {
    res.set_header("Set-Cookie", "remember=yes; Max-Age=86400; Path=/");
    res.set_content("<title>Remembered</title>", "text/html");
  });
  boot();
  auto view = make_view();
  ASSERT_TRUE(load_and_wait(*view, "/login?user=demo"));
  auto cookies = all_cookies(*WebsiteDataStore::default_store());
  ASSERT_EQ(cookies.size(), 1u);
  EXPECT_EQ(cookies[0].name, "PHPSESSID");
  EXPECT_EQ(cookies[0].value, site_->session_id());
  EXPECT_EQ(cookies[0].domain, "intranet.example.org");
  EXPECT_TRUE(names_in_file().empty()) << "a session cookie is never written";
  EXPECT_TRUE(net::CookieStorage::shared()->cookies().empty()) << "the web view keeps its own cookies";

  ASSERT_TRUE(load_and_wait(*view, "/remember"));
  EXPECT_EQ(names_in_file(), (std::vector<std::string>{"remember"}));

  // A new process: the lasting cookie comes back from the file, the session one does not.
  views_.clear();
  reset_for_testing();
  auto again = all_cookies(*WebsiteDataStore::default_store());
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].name, "remember");
}

TEST_F(StoreTest, SetAndDeleteThroughTheCookieStore) {
  boot();
  auto store = WebsiteDataStore::default_store();
  EXPECT_TRUE(store->is_persistent());
  net::Cookie lasting;
  lasting.name = "k";
  lasting.value = "v";
  lasting.domain = "intranet.example.org";
  lasting.expires = foundation::Date{foundation::Date::now().since_1970 + 3600};
  bool set = false;
  store->http_cookie_store().set_cookie(lasting, [&] {
    EXPECT_TRUE(dispatch::is_main_thread());
    set = true;
  });
  EXPECT_FALSE(set);
  ASSERT_TRUE(pump([&] { return set; }));
  EXPECT_EQ(names_in_file(), (std::vector<std::string>{"k"}));

  // The view sends it.
  auto view = make_view();
  ASSERT_TRUE(load_and_wait(*view, "/menu"));
  EXPECT_EQ(site_->requests("GET", "/menu").at(0).cookie("k"), "v");

  bool deleted = false;
  store->http_cookie_store().delete_cookie(lasting, [&] { deleted = true; });
  ASSERT_TRUE(pump([&] { return deleted; }));
  EXPECT_TRUE(all_cookies(*store).empty());
  EXPECT_TRUE(names_in_file().empty());
}

TEST_F(StoreTest, NonPersistentStoreIsSeparateAndWritesNothing) {
  boot();
  auto store = WebsiteDataStore::non_persistent();
  EXPECT_FALSE(store->is_persistent());
  Configuration configuration;
  configuration.data_store = store;
  auto view = make_view(configuration);
  EXPECT_EQ(view->configuration().data_store, store);
  EXPECT_TRUE(view->configuration().process_pool);
  EXPECT_TRUE(view->configuration().user_content);
  ASSERT_TRUE(load_and_wait(*view, "/login?user=demo"));
  EXPECT_EQ(all_cookies(*store).size(), 1u);
  EXPECT_TRUE(all_cookies(*WebsiteDataStore::default_store()).empty());
  EXPECT_FALSE(std::filesystem::exists(cookie_file()));
}

TEST_F(StoreTest, CorruptCookieFileStartsEmptyAndIsReplaced) {
  boot();
  std::filesystem::create_directories(cookie_file().parent_path());
  { std::ofstream(cookie_file()) << "not a property list"; }
  auto store = WebsiteDataStore::default_store();
  EXPECT_TRUE(all_cookies(*store).empty());
  net::Cookie c;
  c.name = "n";
  c.value = "1";
  c.domain = "intranet.example.org";
  c.expires = foundation::Date{foundation::Date::now().since_1970 + 60};
  bool done = false;
  store->http_cookie_store().set_cookie(c, [&] { done = true; });
  ASSERT_TRUE(pump([&] { return done; }));
  EXPECT_EQ(names_in_file(), (std::vector<std::string>{"n"}));
}

TEST_F(StoreTest, RuntimeClassesFollowTheProfile) {
  boot();
  register_runtime_classes();
  register_runtime_classes();
  auto& runtime = rt::Runtime::shared();
  ASSERT_NE(runtime.find("WKUserScript"), nullptr);
  EXPECT_NE(runtime.find("WKWebView"), nullptr);
  EXPECT_NE(runtime.find("UIWebView"), nullptr);
  EXPECT_TRUE(make_view()->is_kind_of("WKWebView"));
}

TEST_F(StoreTest, NoWebKitClassesWithoutTheFramework) {
  boot([](os::DeviceProfile& p) { p.frameworks.erase("WebKit"); });
  register_runtime_classes();
  auto& runtime = rt::Runtime::shared();
  EXPECT_EQ(runtime.find("WKUserScript"), nullptr);
  EXPECT_EQ(runtime.find("WKWebView"), nullptr);
  EXPECT_NE(runtime.find("UIWebView"), nullptr);
}

}  // namespace
}  // namespace platform::web::test
