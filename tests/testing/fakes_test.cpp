// The fakes over real TLS with libcurl: default routes, the record, status
// sequences, overrides, failure modes, held answers and certificate chains.
// g++ 12 reports std::regex internals as maybe-uninitialized in sanitizer
// builds, a false positive inside the standard library.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <regex>
#include <set>
#include <thread>

#include "curl_client.h"
#include "testing/fakes/analytics_collector.h"
#include "testing/fakes/identity_service.h"
#include "testing/fakes/intranet_site.h"
#include "testing/fakes/kit_services.h"
#include "testing/fakes/log_collector.h"
#include "testing/fakes/push_service.h"

namespace testing::fakes::test {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using namespace std::chrono_literals;

std::string gzip(const std::string& text) {
  z_stream z{};
  deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(compressBound(static_cast<uLong>(text.size())) + 32, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

class FakesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(::testing::TempDir()) / ("fakes-" + std::to_string(::getpid()));
    ASSERT_TRUE(ca_.write_root_pem(dir_ / "ca.pem"));
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  std::unique_ptr<CurlClient> client(const FakeService& s) {
    return std::make_unique<CurlClient>(s.url(""), s.host_map(), (dir_ / "ca.pem").string());
  }
  Reply fetch(const FakeService& s, Call call) { return client(s)->fetch(call); }

  ServiceOptions tls() const { return {.authority = &ca_}; }

  TlsAuthority ca_;
  fs::path dir_;
};

// ---- default routes ----------------------------------------------------------

TEST_F(FakesTest, DefaultRoutesAnswerAsTheClientsExpect) {
  IntranetSite intranet(tls());
  PushService push(tls());
  struct Case {
    FakeService* service;
    std::string method, path, body;
    long status;
    std::string content_type;  // prefix
    std::function<void(const Reply&)> check;
  };
  auto json_is = [](json expected) {
    return [expected](const Reply& r) { EXPECT_EQ(json::parse(r.body, nullptr, false), expected) << r.body; };
  };
  auto html_has = [](std::vector<std::string> parts) {
    return [parts](const Reply& r) {
      for (const auto& p : parts) EXPECT_NE(r.body.find(p), std::string::npos) << p << " in " << r.body;
    };
  };
  const json success = {{"success", true}};
  const std::vector<Case> cases = {
      {&intranet, "GET", "/", "", 200, "text/html",
       html_has({"href=\"/menu\"", "href=\"mailto:", "href=\"https://www.example.com/\"", "target=\"_blank\"",
                 "href=\"/login?user=demo\""})},
      {&intranet, "GET", "/menu", "", 200, "text/html", html_has({"<h1>menu</h1>"})},
      {&intranet, "GET", "/news/42", "", 200, "text/html", html_has({"News 42"})},
      {&intranet, "GET", "/frame/2", "", 200, "text/html", html_has({"Frame 2"})},
      {&intranet, "POST", "/api/reraviror/register", R"({"player-id":"p"})", 200, "application/json",
       json_is({{"ok", true}})},
      {&intranet, "GET", "/intranet/rest/device/", "", 200, "application/json", json_is({{"ok", true}})},
      {&intranet, "POST", "/intranet/rest/device/", "{}", 200, "application/json", json_is({{"ok", true}})},
      {&intranet, "GET", "/nowhere", "", 404, "application/json", json_is({{"error", "not found"}})},
      {&push, "PUT", "/api/v1/players/p-1", "{}", 200, "application/json", json_is(success)},
      {&push, "GET", "/api/v1/players/p-1?app_id=a", "", 200, "application/json",
       json_is({{"tags", json::object()}})},
      {&push, "POST", "/api/v1/players/p-1/on_session", "{}", 200, "application/json",
       json_is({{"success", true}, {"id", "p-1"}})},
      {&push, "POST", "/api/v1/players/p-1/on_focus", "{}", 200, "application/json", json_is(success)},
      {&push, "POST", "/api/v1/players/p-1/on_purchase", "{}", 200, "application/json", json_is(success)},
      {&push, "POST", "/api/v1/players/p-1/email_logout", "{}", 200, "application/json", json_is(success)},
      {&push, "PUT", "/api/v1/notifications/n-1", R"({"opened":true})", 200, "application/json", json_is(success)},
      {&push, "GET", "/api/v1/apps/app-1/ios_params.js?player_id=p-1", "", 200, "application/json",
       json_is(PushService::ios_params())},
      {&push, "POST", "/api/v1/notifications", "{}", 200, "application/json",
       [](const Reply& r) {
         auto body = json::parse(r.body, nullptr, false);
         ASSERT_TRUE(body.is_object()) << r.body;
         EXPECT_EQ(body["recipients"], 1);
         EXPECT_TRUE(body["id"].is_string());
       }},
      {&push, "GET", "/api/v1/unknown", "", 404, "application/json", json_is({{"error", "not found"}})},
      {&push, "POST", "/api/v1/players/p-1/on_nothing", "{}", 404, "application/json",
       json_is({{"error", "not found"}})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method + " " + c.path);
    const Reply r = fetch(*c.service, {.method = c.method, .path = c.path, .body = c.body});
    ASSERT_EQ(r.code, CURLE_OK) << curl_easy_strerror(r.code);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.header("Content-Type").rfind(c.content_type, 0), 0u) << r.header("Content-Type");
    c.check(r);
  }
}

TEST_F(FakesTest, FramesPageHoldsThreeFramesThatLoad) {
  IntranetSite site(tls());
  auto c = client(site);
  const Reply page = c->fetch({.path = "/frames"});
  ASSERT_EQ(page.status, 200);
  std::regex iframe("<iframe[^>]*src=\"([^\"]+)\"");
  std::vector<std::string> sources;
  for (std::sregex_iterator it(page.body.begin(), page.body.end(), iframe), end; it != end; ++it)
    sources.push_back((*it)[1].str());
  ASSERT_EQ(sources.size(), 3u);
  for (const auto& src : sources) EXPECT_EQ(c->fetch({.path = src}).status, 200) << src;
}

TEST_F(FakesTest, LoginRedirectsHomeWithAFreshSessionCookie) {
  IntranetSite site(tls());
  EXPECT_EQ(site.session_id(), "");
  auto c = client(site);

  const Reply first = c->fetch({.path = "/login?user=demo"});
  ASSERT_EQ(first.code, CURLE_OK);
  EXPECT_EQ(first.status, 302);
  EXPECT_EQ(first.header("Location"), "/");
  const std::string id = site.session_id();
  EXPECT_TRUE(std::regex_match(id, std::regex("[0-9a-f]{32}"))) << id;
  EXPECT_EQ(first.header("Set-Cookie"), "PHPSESSID=" + id + "; Path=/");
  EXPECT_EQ(site.user(), "demo");

  const Reply second = c->fetch({.path = "/login?user=other"});
  EXPECT_EQ(second.status, 302);
  EXPECT_NE(site.session_id(), id);
  EXPECT_EQ(second.header("Set-Cookie"), "PHPSESSID=" + site.session_id() + "; Path=/");
  EXPECT_EQ(site.user(), "other");

  const Reply anonymous = c->fetch({.path = "/login"});
  EXPECT_EQ(anonymous.status, 400);
  EXPECT_EQ(anonymous.header("Set-Cookie"), "");
  EXPECT_EQ(site.user(), "other");
}

TEST_F(FakesTest, PlayerCreationAnswersThePlayerIdAndEmailPlayersGetTheirOwn) {
  PushService push(tls());
  EXPECT_TRUE(std::regex_match(push.player_id(), std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")));
  auto c = client(push);
  for (int i = 0; i < 2; ++i) {
    const Reply r = c->fetch({.method = "POST", .path = "/api/v1/players", .body = R"({"app_id":"a","device_type":0})"});
    EXPECT_EQ(json::parse(r.body), json({{"success", true}, {"id", push.player_id()}}));
  }
  const Reply email = c->fetch({.method = "POST", .path = "/api/v1/players", .body = R"({"app_id":"a","device_type":11})"});
  const json answer = json::parse(email.body);
  EXPECT_EQ(answer["success"], true);
  ASSERT_TRUE(answer["id"].is_string());
  EXPECT_NE(answer["id"], push.player_id());
}

TEST_F(FakesTest, SkeletonsAnswer404OnEveryHostName) {
  AnalyticsCollector analytics(tls());
  LogCollector logs(tls());
  IdentityService identity(tls());
  KitServices kits(tls());
  const std::vector<std::pair<FakeService*, std::vector<std::string>>> cases = {
      {&analytics, {"analytics.example.net"}},
      {&logs, {"logs.example.net"}},
      {&identity, {"checkin.example.net", "iid.example.net"}},
      {&kits, {"settings.example.net", "answers.example.net", "reports.example.net"}},
  };
  std::set<int> ports;
  for (const auto& [service, names] : cases) {
    SCOPED_TRACE(service->name());
    EXPECT_EQ(service->host_names(), names);
    ports.insert(service->port());
    for (const auto& name : names) {
      EXPECT_EQ(service->host_map().at(name + ":443"), "127.0.0.1:" + std::to_string(service->port()));
      // Each name is in the certificate: the TLS check passes for all of them.
      CurlClient c("https://" + name, service->host_map(), (dir_ / "ca.pem").string());
      const Reply r = c.fetch({.path = "/a"});
      ASSERT_EQ(r.code, CURLE_OK) << name << ": " << curl_easy_strerror(r.code);
      EXPECT_EQ(r.status, 404);
    }
    EXPECT_EQ(service->count("GET", "/a"), names.size());
  }
  EXPECT_EQ(ports.size(), cases.size());
}

TEST_F(FakesTest, LogCollectorTakesLogPostsAndRecordsTheirGunzippedBody) {
  LogCollector logs(tls());
  auto c = client(logs);
  const Reply r = c->fetch({.method = "POST", .path = "/log", .body = gzip("log request"),
                            .headers = {"Content-Encoding: gzip"}});
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "");
  ASSERT_EQ(logs.count("POST", "/log"), 1u);
  EXPECT_EQ(logs.requests("POST", "/log").at(0).body, "log request");
  logs.set_status_sequence("/log", {500});
  EXPECT_EQ(c->fetch({.method = "POST", .path = "/log", .body = "x"}).status, 500);
  EXPECT_EQ(c->fetch({.method = "POST", .path = "/log", .body = "x"}).status, 200);
  EXPECT_EQ(c->fetch({.path = "/log"}).status, 404);
}

// ---- the record --------------------------------------------------------------

TEST_F(FakesTest, RecordsEveryFieldOfARequest) {
  IntranetSite site(tls());
  auto c = client(site);
  const std::string text = R"({"player-id":"b7e0-1"})";
  const std::string packed = gzip(text);
  const Reply r = c->fetch({.method = "POST",
                            .path = "/api/reraviror/register?b=2&a=x%20y&a=z",
                            .body = packed,
                            .headers = {"Content-Type: application/json", "Content-Encoding: gzip",
                                        "Cookie: PHPSESSID=abc123; theme=dark ;empty=", "X-Custom: One"}});
  ASSERT_EQ(r.code, CURLE_OK);
  ASSERT_EQ(r.status, 200);

  const auto seen = site.requests("POST", "/api/reraviror/register");
  ASSERT_EQ(seen.size(), 1u);
  const RecordedRequest& q = seen.front();
  EXPECT_EQ(q.method, "POST");
  EXPECT_EQ(q.path, "/api/reraviror/register");
  EXPECT_EQ(q.query, "b=2&a=x%20y&a=z");
  EXPECT_EQ(q.params.count("a"), 2u);
  EXPECT_EQ(q.param("a"), "x y");
  EXPECT_EQ(q.param("b"), "2");
  EXPECT_EQ(q.param("c"), "");
  EXPECT_EQ(q.raw_body, packed);
  EXPECT_EQ(q.body, text);
  EXPECT_TRUE(q.body_decoded);
  EXPECT_EQ(q.json_body(), json({{"player-id", "b7e0-1"}}));
  EXPECT_EQ(q.header("content-encoding"), "gzip");
  EXPECT_EQ(q.header("CONTENT-TYPE"), "application/json");
  EXPECT_EQ(q.header("x-custom"), "One");
  EXPECT_EQ(q.header("Host"), "intranet.example.org");
  EXPECT_EQ(q.header("Content-Length"), std::to_string(packed.size()));
  EXPECT_FALSE(q.has_header("X-Absent"));
  for (const char* internal : {"REMOTE_ADDR", "REMOTE_PORT", "LOCAL_ADDR", "LOCAL_PORT"})
    EXPECT_FALSE(q.has_header(internal)) << internal;
  EXPECT_EQ(q.cookies, (std::vector<std::pair<std::string, std::string>>{
                           {"PHPSESSID", "abc123"}, {"theme", "dark"}, {"empty", ""}}));
  EXPECT_EQ(q.cookie("PHPSESSID"), "abc123");
  EXPECT_TRUE(q.has_cookie("empty"));
  EXPECT_FALSE(q.has_cookie("phpsessid"));
  EXPECT_EQ(q.client_address, "127.0.0.1");
  EXPECT_EQ(q.client_port, r.local_port);
  EXPECT_LE(q.time, std::chrono::system_clock::now());
  EXPECT_EQ(site.count("POST", "/api/reraviror/register"), 1u);
  EXPECT_EQ(site.count("GET", "/api/reraviror/register"), 0u);
}

TEST_F(FakesTest, BodiesThatAreNotGzipAreKeptAsSent) {
  IntranetSite site(tls());
  auto c = client(site);
  struct Case {
    std::string name, body;
    std::vector<std::string> headers;
  };
  const std::string binary("\x1f\x8b\x00\xff\x00junk", 9);
  const std::vector<Case> cases = {
      {"plain", "not json", {}},
      {"claims gzip but is not", binary, {"Content-Encoding: gzip"}},
      {"deflate is not decoded", "xyz", {"Content-Encoding: deflate"}},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    site.clear_requests();
    ASSERT_EQ(c->fetch({.method = "POST", .path = "/intranet/rest/device/", .body = k.body, .headers = k.headers}).code,
              CURLE_OK);
    const auto seen = site.requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].raw_body, k.body);
    EXPECT_EQ(seen[0].body, k.body);
    EXPECT_FALSE(seen[0].body_decoded);
    EXPECT_TRUE(seen[0].json_body().is_discarded());
  }
}

TEST_F(FakesTest, KeepAliveServesManyRequestsOnOneConnection) {
  PushService push(tls());
  auto c = client(push);
  constexpr int n = 12;  // beyond the library's default of five per connection
  for (int i = 0; i < n; ++i) {
    const Reply r = c->fetch({.path = "/api/v1/players/p"});
    ASSERT_EQ(r.code, CURLE_OK);
    EXPECT_EQ(r.new_connections, i == 0 ? 1 : 0) << "request " << i;
  }
  std::set<int> ports;
  for (const auto& r : push.requests()) ports.insert(r.client_port);
  EXPECT_EQ(push.count(), static_cast<std::size_t>(n));
  EXPECT_EQ(ports.size(), 1u);
}

TEST_F(FakesTest, WaitForWakesOnARequestAndGivesUpAtItsDeadline) {
  IntranetSite site(tls());
  EXPECT_FALSE(site.wait_for([&] { return site.count() > 0; }, 30ms));
  std::thread caller([&] { fetch(site, {.path = "/menu"}); });
  EXPECT_TRUE(site.wait_for([&] { return site.count("GET", "/menu") == 1; }, 30s));
  caller.join();
}

// ---- answers -----------------------------------------------------------------

TEST_F(FakesTest, StatusSequenceThenTheRoute) {
  PushService push(tls());
  push.set_status_sequence("/api/v1/players", {503, 429, 200, 500});
  auto c = client(push);
  const Call create{.method = "POST", .path = "/api/v1/players", .body = "{}"};
  const std::vector<long> expected = {503, 429, 200, 500, 200, 200};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(i);
    const Reply r = c->fetch(create);
    ASSERT_EQ(r.code, CURLE_OK);
    EXPECT_EQ(r.status, expected[i]);
    if (r.status == 200) EXPECT_EQ(json::parse(r.body)["id"], push.player_id());
    else EXPECT_EQ(r.body, "");
  }
  // Other paths are not affected.
  EXPECT_EQ(c->fetch({.path = "/api/v1/players/p"}).status, 200);
  EXPECT_EQ(push.count("POST", "/api/v1/players"), expected.size());
}

TEST_F(FakesTest, RequestObserverSeesEachRequestWithTheStatusAnswered) {
  IntranetSite site(tls());
  std::mutex mutex;
  std::vector<std::string> seen;
  site.set_request_observer([&](const RecordedRequest& r, int status) {
    std::lock_guard lock(mutex);
    seen.push_back(r.method + " " + r.path + " " + std::to_string(status));
  });
  site.set_status_sequence("/menu", {503});
  site.on("GET", "/about", FakeService::empty(204));
  auto c = client(site);
  // The observer runs before the answer is written, so the client sees it done.
  for (const char* path : {"/", "/login?user=demo", "/nowhere", "/menu", "/menu", "/about"})
    ASSERT_EQ(c->fetch({.path = path}).code, CURLE_OK) << path;
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(seen, (std::vector<std::string>{"GET / 200", "GET /login 302", "GET /nowhere 404", "GET /menu 503",
                                              "GET /menu 200", "GET /about 204"}));
  }
  site.set_request_observer(nullptr);
  ASSERT_EQ(c->fetch({.path = "/"}).status, 200);
  std::lock_guard lock(mutex);
  EXPECT_EQ(seen.size(), 6u);
}

// What a handler reads of a request and how its answer goes out: header
// names without case, repeated headers and parameters by index, the target as
// sent; the answer's status, repeated headers and a streamed body.
TEST_F(FakesTest, HandlersReadTheRequestViewAndFillTheResponse) {
  IntranetSite site(tls());
  std::string seen;
  site.on("POST", "/echo/(\\w+)", [&seen](const HttpRequest& req, HttpResponse& res) {
    seen = req.method + " " + req.path + " " + req.target + " " + req.matches[1] + " " +
           std::to_string(req.has_header("x-ONE")) + req.get_header_value("X-Two", 1) + "|" +
           req.get_header_value("X-Two", 2) + "|" + req.get_param_value("q", 1) + "|" +
           std::to_string(req.has_param("none")) + "|" + req.body;
    res.status = 201;
    res.set_header("X-Many", "a");
    res.set_header("X-Many", "b");
    res.set_content("replaced", "text/plain");
    res.set_content("{}", "application/json");
  });
  site.on("GET", "/stream", [](const HttpRequest&, HttpResponse& res) {
    res.set_content_provider(6, "application/octet-stream", [](std::size_t offset, std::size_t, DataSink& sink) {
      return sink.is_writable() && sink.write(offset == 0 ? "abc" : "def", 3);
    });
  });
  auto c = client(site);

  const Reply r = c->fetch({.method = "POST", .path = "/echo/w1?q=1&q=2", .body = "payload",
                            .headers = {"X-One: 1", "x-two: first", "X-TWO: second"}});
  EXPECT_EQ(seen, "POST /echo/w1 /echo/w1?q=1&q=2 w1 1second||2|0|payload");
  EXPECT_EQ(r.status, 201);
  EXPECT_EQ(r.body, "{}");
  EXPECT_EQ(r.header("Content-Type"), "application/json");
  std::vector<std::string> many;
  for (const auto& [name, value] : r.headers)
    if (name == "X-Many") many.push_back(value);
  EXPECT_EQ(many, (std::vector<std::string>{"a", "b"}));

  const Reply streamed = c->fetch({.path = "/stream"});
  EXPECT_EQ(streamed.status, 200);
  EXPECT_EQ(streamed.body, "abcdef");
  EXPECT_EQ(streamed.header("Content-Type"), "application/octet-stream");
}

TEST_F(FakesTest, OverridesWinLatestFirstSeeTheirCapturesAndCanBeCleared) {
  PushService push(tls());
  push.on("POST", "/api/v1/players", FakeService::json(200, {{"success", false}}));
  push.on("GET", "/api/v1/players/([^/]+)", [](const ::testing::fakes::HttpRequest& req, ::testing::fakes::HttpResponse& res) {
    res.set_content("player " + req.matches[1], "text/plain");
  });
  push.on("GET", "/api/v1/players/special", FakeService::empty(204));
  auto c = client(push);

  EXPECT_EQ(json::parse(c->fetch({.method = "POST", .path = "/api/v1/players", .body = "{}"}).body),
            json({{"success", false}}));
  EXPECT_EQ(c->fetch({.path = "/api/v1/players/p-7"}).body, "player p-7");
  EXPECT_EQ(c->fetch({.path = "/api/v1/players/special"}).status, 204);
  // The method is part of the match; other routes keep their defaults.
  EXPECT_EQ(json::parse(c->fetch({.method = "PUT", .path = "/api/v1/players/p-7", .body = "{}"}).body),
            json({{"success", true}}));

  push.clear_overrides();
  EXPECT_EQ(json::parse(c->fetch({.path = "/api/v1/players/p-7"}).body), json({{"tags", json::object()}}));
  EXPECT_EQ(json::parse(c->fetch({.method = "POST", .path = "/api/v1/players", .body = "{}"}).body)["id"],
            push.player_id());
}

TEST_F(FakesTest, CannedFailureAnswers) {
  IntranetSite site(tls());
  struct Case {
    std::string name;
    Handler handler;
    long status;
    std::string content_type;  // prefix, "" for no body
    std::string body_part;
  };
  const std::vector<Case> cases = {
      {"empty 200", FakeService::empty(), 200, "", ""},
      {"201", FakeService::empty(201), 201, "", ""},
      {"204", FakeService::empty(204), 204, "", ""},
      {"404 with JSON", FakeService::not_found_json(), 404, "application/json", R"("error")"},
      {"503 empty", FakeService::empty(503), 503, "", ""},
      {"503 HTML", FakeService::unavailable_html(), 503, "text/html", "<html>"},
      {"JSON with a status", FakeService::json(422, {{"errors", {"bad"}}}), 422, "application/json", "bad"},
  };
  auto c = client(site);
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    site.on("POST", "/api/reraviror/register", k.handler);
    const Reply r = c->fetch({.method = "POST", .path = "/api/reraviror/register", .body = "{}"});
    ASSERT_EQ(r.code, CURLE_OK) << curl_easy_strerror(r.code);
    EXPECT_EQ(r.status, k.status);
    if (k.content_type.empty()) {
      EXPECT_EQ(r.body, "");
    } else {
      EXPECT_EQ(r.header("Content-Type").rfind(k.content_type, 0), 0u) << r.header("Content-Type");
      EXPECT_NE(r.body.find(k.body_part), std::string::npos) << r.body;
    }
  }
}

TEST_F(FakesTest, DroppedConnectionGivesNoAnswerOverTlsAndPlainHttp) {
  for (const bool tls_on : {true, false}) {
    SCOPED_TRACE(tls_on ? "tls" : "plain");
    IntranetSite site(tls_on ? tls() : ServiceOptions{});
    site.on("GET", "/menu", FakeService::drop_connection());
    auto c = client(site);
    const Reply dropped = c->fetch({.path = "/menu"});
    EXPECT_NE(dropped.code, CURLE_OK);
    EXPECT_TRUE(dropped.code == CURLE_GOT_NOTHING || dropped.code == CURLE_RECV_ERROR)
        << curl_easy_strerror(dropped.code);
    EXPECT_EQ(dropped.status, 0);
    EXPECT_EQ(site.count("GET", "/menu"), 1u);
    // The service goes on answering other requests.
    EXPECT_EQ(c->fetch({.path = "/"}).status, 200);
  }
}

TEST_F(FakesTest, HeldAnswerIsReleasedByStop) {
  auto site = std::make_unique<IntranetSite>(tls());
  site->on("POST", "/api/reraviror/register", site->held(60s));
  Reply reply;
  std::atomic<bool> done{false};
  std::thread caller([&] {
    reply = fetch(*site, {.method = "POST", .path = "/api/reraviror/register", .body = "{}"});
    done = true;
  });
  ASSERT_TRUE(site->wait_for([&] { return site->count("POST", "/api/reraviror/register") == 1; }, 30s));
  EXPECT_FALSE(done);
  site->stop();
  EXPECT_TRUE(site->stopped());
  caller.join();
  EXPECT_TRUE(done);
  site->stop();  // idempotent
}

TEST_F(FakesTest, HeldAnswerIsSentAtItsDeadline) {
  IntranetSite site(tls());
  site.on("GET", "/menu", site.held(50ms, FakeService::json(200, {{"late", true}})));
  site.on("GET", "/news", site.held(50ms));
  auto c = client(site);
  const Reply late = c->fetch({.path = "/menu"});
  ASSERT_EQ(late.code, CURLE_OK);
  EXPECT_EQ(json::parse(late.body), json({{"late", true}}));
  const Reply empty = c->fetch({.path = "/news"});
  EXPECT_EQ(empty.status, 200);
  EXPECT_EQ(empty.body, "");
}

TEST_F(FakesTest, StopClosesIdleKeepAliveConnections) {
  PushService push(tls());
  auto c = client(push);
  ASSERT_EQ(c->fetch({.path = "/api/v1/players/p"}).status, 200);  // the connection stays open
  push.stop();
  const Reply after = c->fetch({.path = "/api/v1/players/p"});
  EXPECT_NE(after.code, CURLE_OK);
}

// ---- scripted answers ----------------------------------------------------------

ScriptedAnswer scripted(int status, std::vector<std::pair<std::string, std::string>> headers = {},
                        std::string body = {}) {
  ScriptedAnswer a;
  a.status = status;
  a.headers = std::move(headers);
  a.body = std::move(body);
  return a;
}

TEST_F(FakesTest, ScriptedAnswersSendTheirStatusHeadersAndBodyInOrder) {
  IntranetSite site(tls());
  struct Case {
    std::string name;
    ScriptedAnswer answer;
    std::vector<std::pair<std::string, std::string>> headers;  // expected in the reply; one name's values in order
    std::string body;
  };
  const std::vector<Case> cases = {
      {"a status without a body", scripted(500), {}, ""},
      {"a body as plain text", scripted(200, {}, "not json"), {{"Content-Type", "text/plain"}}, "not json"},
      {"the given content type", scripted(201, {{"content-type", "text/html"}}, "<p>"), {{"Content-Type", "text/html"}}, "<p>"},
      {"several cookies at once",
       scripted(302,
                {{"Set-Cookie", "PHPSESSID=s-1; Path=/"},
                 {"Set-Cookie", "remember=r-1; Max-Age=86400; Path=/"},
                 {"Set-Cookie", "other=o-1; Path=/elsewhere"},
                 {"Set-Cookie", "tracker=t-1; Domain=partner.example"},
                 {"Location", "/"}}),
       {{"Set-Cookie", "PHPSESSID=s-1; Path=/"},
        {"Set-Cookie", "remember=r-1; Max-Age=86400; Path=/"},
        {"Set-Cookie", "other=o-1; Path=/elsewhere"},
        {"Set-Cookie", "tracker=t-1; Domain=partner.example"},
        {"Location", "/"}},
       ""},
  };
  auto c = client(site);
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    site.answer("POST", "/api/reraviror/register", k.answer);
    const Reply r = c->fetch({.method = "POST", .path = "/api/reraviror/register", .body = "{}"});
    ASSERT_EQ(r.code, CURLE_OK) << curl_easy_strerror(r.code);
    EXPECT_EQ(r.status, k.answer.status);
    EXPECT_EQ(r.body, k.body);
    // Headers of one name keep their order (the server sorts names).
    std::set<std::string> names;
    for (const auto& header : k.headers) names.insert(header.first);
    for (const std::string& wanted : names) {
      std::vector<std::string> expected, got;
      for (const auto& [name, value] : k.headers)
        if (name == wanted) expected.push_back(value);
      for (const auto& [name, value] : r.headers)
        if (strcasecmp(name.c_str(), wanted.c_str()) == 0) got.push_back(value);
      EXPECT_EQ(got, expected) << wanted;
    }
  }
  // The route's default answer is back once the scripted answers are cleared.
  site.clear_scripted();
  EXPECT_EQ(json::parse(c->fetch({.method = "POST", .path = "/api/reraviror/register", .body = "{}"}).body),
            json({{"ok", true}}));
}

TEST_F(FakesTest, ScriptedDropAndRefusalGiveNoAnswerAndTheObserverSeesStatusZero) {
  for (const bool tls_on : {true, false}) {
    SCOPED_TRACE(tls_on ? "tls" : "plain");
    IntranetSite site(tls_on ? tls() : ServiceOptions{});
    std::mutex m;
    std::vector<int> statuses;
    site.set_request_observer([&](const RecordedRequest&, int status) {
      std::lock_guard lock(m);
      statuses.push_back(status);
    });
    ScriptedAnswer drop, refuse;
    drop.action = ScriptedAnswer::Action::drop;
    refuse.action = ScriptedAnswer::Action::refuse;
    site.answer("GET", "/menu", drop);
    site.answer("GET", "/news", refuse);
    auto c = client(site);
    const Reply dropped = c->fetch({.path = "/menu"});
    EXPECT_TRUE(dropped.code == CURLE_GOT_NOTHING || dropped.code == CURLE_RECV_ERROR)
        << curl_easy_strerror(dropped.code);
    const Reply refused = c->fetch({.path = "/news"});
    EXPECT_NE(refused.code, CURLE_OK);
    EXPECT_EQ(refused.status, 0);
    EXPECT_EQ(site.count("GET", "/menu"), 1u);
    EXPECT_EQ(site.count("GET", "/news"), 1u);
    // The observer runs once the handler is over, which the client may not wait for.
    EXPECT_TRUE(site.wait_for(
        [&] {
          std::lock_guard lock(m);
          return statuses.size() == 2;
        },
        10s));
    site.set_request_observer(nullptr);
    EXPECT_EQ(statuses, (std::vector<int>{0, 0}));
    EXPECT_EQ(c->fetch({.path = "/"}).status, 200);
  }
}

TEST_F(FakesTest, ScriptedDelayHoldsTheAnswerAndStopReleasesIt) {
  IntranetSite site(tls());
  ScriptedAnswer late = scripted(202, {}, "late");
  late.delay = 50ms;
  site.answer("GET", "/menu", late);
  const Reply r = fetch(site, {.path = "/menu"});
  ASSERT_EQ(r.code, CURLE_OK);
  EXPECT_EQ(r.status, 202);
  EXPECT_EQ(r.body, "late");

  auto held = std::make_unique<IntranetSite>(tls());
  ScriptedAnswer never = scripted(200);
  never.delay = 60s;
  held->answer("GET", "/news", never);
  std::atomic<bool> done{false};
  std::thread caller([&] {
    fetch(*held, {.path = "/news"});
    done = true;
  });
  ASSERT_TRUE(held->wait_for([&] { return held->count("GET", "/news") == 1; }, 10s));
  EXPECT_FALSE(done);
  held->stop();
  caller.join();
  EXPECT_TRUE(done);
}

// A client that gives up on a held answer ends the hold: the request's
// observer sees it then, long before the delay is over.
TEST_F(FakesTest, AHeldAnswerEndsWhenTheClientGivesUp) {
  IntranetSite site(tls());
  std::mutex m;
  int observed = 0;
  site.set_request_observer([&](const RecordedRequest&, int) {
    std::lock_guard lock(m);
    ++observed;
  });
  ScriptedAnswer never = scripted(200);
  never.delay = std::chrono::seconds(600);
  site.answer("GET", "/news", never);
  const Reply r = fetch(site, {.path = "/news", .timeout_s = 1});
  EXPECT_EQ(r.code, CURLE_OPERATION_TIMEDOUT);
  EXPECT_TRUE(site.wait_for(
      [&] {
        std::lock_guard lock(m);
        return observed == 1;
      },
      60s));
  site.set_request_observer(nullptr);
}

TEST_F(FakesTest, ClearingScriptedAnswersKeepsTheTestsOwnOverrides) {
  PushService push(tls());
  push.on("GET", "/api/v1/players/([^/]+)", FakeService::empty(204));
  push.answer("GET", "/api/v1/players/p-1", scripted(500));
  push.answer("POST", "/api/v1/players", scripted(503));
  auto c = client(push);
  EXPECT_EQ(c->fetch({.path = "/api/v1/players/p-1"}).status, 500);
  EXPECT_EQ(c->fetch({.path = "/api/v1/players/p-2"}).status, 204);
  push.clear_scripted();
  EXPECT_EQ(c->fetch({.path = "/api/v1/players/p-1"}).status, 204);
  EXPECT_EQ(c->fetch({.method = "POST", .path = "/api/v1/players", .body = "{}"}).status, 200);
}

TEST_F(FakesTest, HeadRequestsUseTheGetRoutes) {
  IntranetSite site(tls());
  const Reply r = fetch(site, {.method = "HEAD", .path = "/menu"});
  ASSERT_EQ(r.code, CURLE_OK);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "");
  EXPECT_EQ(site.count("HEAD", "/menu"), 1u);
}

// ---- transport ---------------------------------------------------------------

TEST_F(FakesTest, PlainHttpMapsPort80) {
  IntranetSite site;
  EXPECT_FALSE(site.tls());
  EXPECT_EQ(site.url("/x"), "http://intranet.example.org/x");
  EXPECT_EQ(site.host_map(), (std::map<std::string, std::string>{
                                 {"intranet.example.org:80", "127.0.0.1:" + std::to_string(site.port())}}));
  const Reply r = fetch(site, {.path = "/"});
  ASSERT_EQ(r.code, CURLE_OK);
  EXPECT_EQ(r.status, 200);
}

TEST_F(FakesTest, CertificateKindsAndChains) {
  TlsAuthority with_intermediate(TlsAuthority::Options{.intermediate = true});
  const fs::path intermediate_root = dir_ / "intermediate-root.pem";
  ASSERT_TRUE(with_intermediate.write_root_pem(intermediate_root));
  struct Case {
    std::string name;
    const TlsAuthority* authority;
    Certificate certificate;
    bool send_root;
    fs::path trusted;
    bool passes;
  };
  const fs::path root = dir_ / "ca.pem";
  const std::vector<Case> cases = {
      {"valid", &ca_, Certificate::valid, false, root, true},
      {"valid with the root sent", &ca_, Certificate::valid, true, root, true},
      {"leaf and intermediate", &with_intermediate, Certificate::valid, false, intermediate_root, true},
      {"leaf, intermediate and root", &with_intermediate, Certificate::valid, true, intermediate_root, true},
      {"another authority", &with_intermediate, Certificate::valid, false, root, false},
      {"expired", &ca_, Certificate::expired, false, root, false},
      {"wrong host", &ca_, Certificate::wrong_host, false, root, false},
      {"self-signed", &ca_, Certificate::self_signed, false, root, false},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    IntranetSite site({.authority = k.authority, .certificate = k.certificate, .send_root = k.send_root});
    CurlClient c(site.url(""), site.host_map(), k.trusted.string());
    const Reply r = c.fetch({.path = "/"});
    if (k.passes) {
      EXPECT_EQ(r.code, CURLE_OK) << curl_easy_strerror(r.code);
      EXPECT_EQ(r.status, 200);
    } else {
      EXPECT_EQ(r.code, CURLE_PEER_FAILED_VERIFICATION) << curl_easy_strerror(r.code);
      EXPECT_EQ(site.count(), 0u);
    }
  }
}

}  // namespace
}  // namespace testing::fakes::test
