// The fakes' side of scenario routes: scenario paths as route patterns, and
// scripted answers set and removed through the simulator's service control.
// g++ 12 reports std::regex internals as maybe-uninitialized in sanitizer
// builds, a false positive inside the standard library.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

#include "curl_client.h"
#include "testing/fakes/intranet_site.h"
#include "testing/harness/service_control.h"

namespace testing::fakes::test {
namespace {

namespace sim = platform::sim;

TEST(ServiceControl, ScenarioPathsMatchWholePathsWithStarsForAnyText) {
  struct Case {
    std::string path, tried;
    bool matches;
  };
  const std::vector<Case> cases{
      {"/api/reraviror/register", "/api/reraviror/register", true},
      {"/api/reraviror/register", "/api/reraviror/register/x", false},
      {"/a.b", "/aXb", false},  // a dot is a dot
      {"/a+(b)?", "/a+(b)?", true},
      {"/news/*", "/news/42", true},
      {"/news/*", "/news/", true},
      {"/news/*", "/menu/news/1", false},
      {"/*/frame", "/a/b/frame", true},
      {"/[x]{2}|y\\", "/[x]{2}|y\\", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(std::regex_match(c.tried, std::regex(testing::path_pattern(c.path))), c.matches)
        << c.path << " vs " << c.tried;
  }
}

TEST(ServiceControl, AnswersGoToTheNamedServiceAndResetRemovesOnlyThem) {
  namespace fs = std::filesystem;
  TlsAuthority ca;
  const fs::path dir = fs::path(::testing::TempDir()) / ("service-control-" + std::to_string(::getpid()));
  ASSERT_TRUE(ca.write_root_pem(dir / "ca.pem"));
  IntranetSite site({.authority = &ca});
  FakeService partner("partner.example", {"partner.example"}, {.authority = &ca});
  site.on("GET", "/menu", FakeService::empty(202));
  testing::install_service_control({&site, &partner});

  sim::ServiceAnswer gone{.service = "intranet", .method = "GET", .path = "/news/*"};
  gone.action = sim::ServiceAnswer::Action::drop;
  EXPECT_EQ(sim::set_service_answer(gone), "");
  sim::ServiceAnswer cookie{.service = "partner.example", .method = "GET", .path = "/"};
  cookie.status = 302;
  cookie.headers = {{"Set-Cookie", "t=1; Max-Age=60"}, {"Set-Cookie", "u=2"}, {"Location", "/x"}};
  cookie.delay_s = 0.02;
  EXPECT_EQ(sim::set_service_answer(cookie), "");
  EXPECT_EQ(sim::set_service_answer({.service = "push", .method = "GET", .path = "/"}), "no service push");

  CurlClient to_site(site.url(""), site.host_map(), (dir / "ca.pem").string());
  CurlClient to_partner(partner.url(""), partner.host_map(), (dir / "ca.pem").string());
  EXPECT_NE(to_site.fetch({.path = "/news/1"}).code, CURLE_OK);
  EXPECT_EQ(to_site.fetch({.path = "/news"}).status, 200);  // "/news/*" needs the slash
  const Reply redirect = to_partner.fetch({.path = "/"});
  EXPECT_EQ(redirect.status, 302);
  std::vector<std::string> cookies;
  for (const auto& [name, value] : redirect.headers)
    if (strcasecmp(name.c_str(), "Set-Cookie") == 0) cookies.push_back(value);
  EXPECT_EQ(cookies, (std::vector<std::string>{"t=1; Max-Age=60", "u=2"}));

  sim::reset_service_answers();
  EXPECT_EQ(to_site.fetch({.path = "/news/1"}).status, 200);
  EXPECT_EQ(to_partner.fetch({.path = "/"}).status, 404);
  EXPECT_EQ(to_site.fetch({.path = "/menu"}).status, 202);
  sim::set_service_control({});
  EXPECT_NE(sim::set_service_answer(gone), "");
  std::error_code ec;
  fs::remove_all(dir, ec);
}

}  // namespace
}  // namespace testing::fakes::test
