// The app itself in appsim as a child process, against fakes the test starts
// and a temporary device: the demo command, the main road with the
// registration post, tapped notifications, a universal link, the offline
// road, and the iOS 9 and 10.3 profiles.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "testing/fakes/intranet_site.h"
#include "testing/fakes/push_service.h"
#include "testing/fakes/tls_authority.h"
#include "testing/harness/appsim_process.h"

namespace testing::e2e {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using Result = AppSimProcess::Result;

class AppRoad : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "app-road-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  static void write(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    ASSERT_TRUE(out.flush()) << path;
  }

  // appsim run on a new device of `profile` whose hosts go to this test's fakes.
  Result run(const std::string& text, const std::string& profile = "default") {
    const fs::path device = root_ / ("device-" + std::to_string(++runs_));
    std::ifstream in(AppSimProcess::built_executable().parent_path() / "devices" / (profile + ".json"));
    json p = json::parse(in, nullptr, false);
    EXPECT_TRUE(p.is_object()) << profile;
    json hosts = json::object();
    for (const auto& [from, to] : intranet_.host_map()) hosts[from] = to;
    for (const auto& [from, to] : push_.host_map()) hosts[from] = to;
    p["hosts"] = hosts;
    p["trust_anchors"] = {(device / "ca.pem").string()};
    EXPECT_TRUE(authority_.write_root_pem(device / "ca.pem"));
    write(device / "device.json", p.dump(2));
    const fs::path script = root_ / ("script-" + std::to_string(runs_) + ".txt");
    write(script, text);
    return AppSimProcess::run(
        {"run", "--device", device.string(), "--bundle", AppSimProcess::built_bundle().string(), script.string()});
  }

  fs::path root_;
  int runs_ = 0;
  fakes::TlsAuthority authority_;
  fakes::IntranetSite intranet_{{.authority = &authority_}};
  fakes::PushService push_{{.authority = &authority_}};
};

// The dump's root (its second line, under the window) is a screen in no
// navigation controller.
void expectStandaloneRoot(const Result& r) {
  const auto screens = r.texts("screen");
  ASSERT_GE(screens.size(), 2u) << r.transcript();
  EXPECT_EQ(screens.at(1).find("UINavigationController"), std::string::npos) << r.transcript();
  EXPECT_NE(screens.at(1).find("ViewController"), std::string::npos) << r.transcript();
}

TEST_F(AppRoad, DemoCommandPlaysTheAppAndExitsZero) {
  const Result r = AppSimProcess::run({"demo"});
  ASSERT_EQ(r.exit_code, 0) << r.transcript();
  EXPECT_FALSE(r.killed);
  EXPECT_TRUE(r.has("app", "\"URL: https://intranet.example.org\"")) << r.transcript();
  EXPECT_TRUE(r.has("app", "\"universal link tapped\"")) << r.transcript();
  EXPECT_TRUE(r.has("done", " 0 failed")) << r.transcript();
}

TEST_F(AppRoad, FirstPageNewWindowAndLogIn) {
  const Result r = run(
      "launch\n"
      "wait page-finished 30s\n"
      "tap-link /about\n"
      "wait page-finished 30s\n"
      "wait idle 30s\n"
      "expect screen UINavigationController (2 on the stack)\n"
      "close-window\n"
      "wait idle 30s\n"
      "expect screen UINavigationController (1 on the stack, bar hidden)\n"
      "tap-link /login?user=demo\n"
      "wait page-finished 30s\n"
      "wait idle 30s\n"  // idle includes the registration post in flight
      "terminate\n");
  ASSERT_EQ(r.exit_code, 0) << r.transcript();
  // The player registered with the push service, then with the intranet, with its session cookie.
  ASSERT_EQ(push_.count("POST", "/api/v1/players"), 1u) << r.transcript();
  const std::string player = push_.player_id();
  const auto posts = intranet_.requests("POST", "/api/reraviror/register");
  ASSERT_FALSE(posts.empty()) << r.transcript();
  for (const auto& post : posts) {
    EXPECT_EQ(post.body, "{\"player-id\":\"" + player + "\"}");
    EXPECT_EQ(post.header("Content-Type"), "application/json");
    EXPECT_EQ(post.cookie("PHPSESSID"), intranet_.session_id());
  }
  // The first page's decision writes its four lines.
  const auto app = r.texts("app");
  const std::vector<std::string> first{"\"URL: https://intranet.example.org\"", "\"HOST: intranet.example.org\"",
                                       "\"USER CLICKED: false\"", "\"" + std::string(73, '-') + "\""};
  const auto at = std::find(app.begin(), app.end(), first.front());
  ASSERT_GE(app.end() - at, 4) << r.transcript();
  EXPECT_EQ(std::vector<std::string>(at, at + 4), first);
  EXPECT_EQ(intranet_.count("GET", "/"), 2u);  // the first page and the login's redirect
  EXPECT_FALSE(intranet_.session_id().empty());
}

TEST_F(AppRoad, TappedNotificationsWithAndWithoutATargetAddress) {
  const Result r = run(
      "launch\n"
      "wait page-finished 30s\n"
      "wait idle 30s\n"
      "tap-notification {\"custom\":{\"i\":\"0b9e3c52-41d7-4f0e-9a0c-5d2e8f7a6b10\"},\"aps\":{\"alert\":\"Hello\"}}\n"
      "wait console \"Target url not found. Default URL will be used.\" 30s\n"
      "wait idle 30s\n"
      "expect screen UINavigationController (1 on the stack, bar hidden)\n"
      "tap-notification {\"custom\":{\"i\":\"6f2d1a0e-9c3b-4e5d-8a7f-0b1c2d3e4f50\",\"a\":{\"targetUrl\":"
      "\"https://intranet.example.org/menu\"}},\"aps\":{\"alert\":\"Menu\"}}\n"
      "wait console \"Target url string: https://intranet.example.org/menu\" 30s\n"
      "wait page-finished 30s\n"
      "wait idle 30s\n"
      "expect screen web https://intranet.example.org/menu \"menu\" finished\n"
      "screen\n"
      "terminate\n");
  ASSERT_EQ(r.exit_code, 0) << r.transcript();
  EXPECT_EQ(intranet_.count("GET", "/menu"), 1u);
  expectStandaloneRoot(r);
  // Each tap is reported opened to the push service once.
  EXPECT_TRUE(push_.wait_for([&] { return push_.count("PUT", "/api/v1/notifications/0b9e3c52-41d7-4f0e-9a0c-5d2e8f7a6b10") == 1 &&
                                          push_.count("PUT", "/api/v1/notifications/6f2d1a0e-9c3b-4e5d-8a7f-0b1c2d3e4f50") == 1; },
                             std::chrono::seconds(30)))
      << r.transcript();
}

TEST_F(AppRoad, UniversalLinkReplacesTheRootAndMovesTheBaseAddress) {
  const Result r = run(
      "launch\n"
      "wait page-finished 30s\n"
      "universal-link https://intranet.example.org/news/42\n"
      "wait page-finished 30s\n"
      "wait idle 30s\n"
      "expect screen web https://intranet.example.org/news/42 \"News 42\" finished\n"
      "screen\n"
      "terminate\n");
  ASSERT_EQ(r.exit_code, 0) << r.transcript();
  EXPECT_TRUE(r.has("app", "\"universal link tapped\""));
  expectStandaloneRoot(r);
}

TEST_F(AppRoad, OfflineFailureShowsTheConnectionLostViewUntilReloadedOnline) {
  const Result r = run(
      "launch\n"
      "wait page-finished 30s\n"
      "network off\n"
      "tap-link /menu\n"
      "wait idle 30s\n"
      "expect screen button id=reloadButton \"Reload\"\n"
      "expect screen web https://intranet.example.org \"Intranet\" finished hidden\n"
      "tap reloadButton\n"
      "wait idle 30s\n"
      "expect screen button id=reloadButton \"Reload\"\n"
      "network on\n"
      "tap reloadButton\n"
      "wait page-finished 30s\n"
      "wait idle 30s\n"
      "expect screen view id=connectionLostView hidden\n"
      "terminate\n");
  ASSERT_EQ(r.exit_code, 0) << r.transcript();
  EXPECT_EQ(intranet_.count("GET", "/menu"), 0u);
  EXPECT_EQ(intranet_.count("GET", "/"), 2u);  // the first load and the reload once online
}

TEST_F(AppRoad, OlderProfilesNeitherReadCookiesNorPost) {
  struct Case {
    std::string profile, page_view;
  };
  for (const Case& c : {Case{"ios9", "legacy-web https://intranet.example.org/ \"Intranet\""},
                        Case{"ios10", "web https://intranet.example.org/ \"Intranet\""}}) {
    SCOPED_TRACE(c.profile);
    intranet_.clear_requests();
    const Result r = run(
        "launch\n"
        "wait page-finished 30s\n"
        "tap-link /login?user=demo\n"
        "wait page-finished 30s\n"
        "wait idle 30s\n"
        "screen\n"
        "sleep 1s\n"
        "terminate\n",
        c.profile);
    ASSERT_EQ(r.exit_code, 0) << r.transcript();
    bool found = false;
    for (const auto& line : r.texts("screen")) found = found || line.find(c.page_view) != std::string::npos;
    EXPECT_TRUE(found) << r.transcript();
    EXPECT_EQ(intranet_.count("POST", "/api/reraviror/register"), 0u);
    // Only the WebKit view has the navigation policy and its log lines.
    EXPECT_EQ(r.has("app", "\"USER CLICKED: "), c.profile != "ios9") << r.transcript();
  }
}

}  // namespace
}  // namespace testing::e2e
