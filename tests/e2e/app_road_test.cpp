// The app itself in appsim as a child process, against fakes the test starts
// and a temporary device: the demo command, the main road with the
// registration post, tapped notifications, a universal link, the offline
// road, the iOS 9 and 10.3 profiles, and bundles with an unreadable
// configuration or an app group named like the app.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>


#include "testing/fakes/json.h"
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

  // A copy of the built bundle this test may change.
  fs::path copiedBundle() {
    const fs::path bundle = root_ / "App.app";
    fs::copy(AppSimProcess::built_bundle(), bundle, fs::copy_options::recursive);
    return bundle;
  }

  // appsim run on a new device of `profile` whose hosts go to this test's fakes.
  Result run(const std::string& text, const std::string& profile = "default", const fs::path& bundle = {}) {
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
    return AppSimProcess::run({"run", "--device", device.string(), "--bundle",
                              (bundle.empty() ? AppSimProcess::built_bundle() : bundle).string(), script.string()});
  }
  fs::path lastDevice() const { return root_ / ("device-" + std::to_string(runs_)); }

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
  // The launch's diagnostics record goes to the log collection service.
  EXPECT_TRUE(r.has("svc", "logs POST /log -> 200")) << r.transcript();
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
  // The first run's record: the app, this device and its token.
  const json record = json::parse(push_.requests("POST", "/api/v1/players").at(0).body, nullptr, false);
  ASSERT_TRUE(record.is_object()) << r.transcript();
  EXPECT_EQ(record.value("app_id", ""), "5c1e9a7b-3d2f-4e8a-b6c4-0f9d8e7a6b51");
  EXPECT_EQ(record.value("device_type", -1), 0);
  EXPECT_EQ(record.value("sdk", ""), "020809");
  EXPECT_EQ(record.value("sdk_type", ""), "native");
  EXPECT_EQ(record.value("ios_bundle", ""), "org.example.intranet");
  EXPECT_EQ(record.value("device_os", ""), "13.5");
  EXPECT_EQ(record.value("game_version", ""), "1");
  EXPECT_TRUE(record.contains("ad_id") && record.contains("timezone") && record.contains("net_type") &&
              record.contains("notification_types"))
      << record.dump();
  const std::string token = record.value("identifier", "");
  EXPECT_EQ(token.size(), 64u) << record.dump();
  EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos) << record.dump();
  EXPECT_FALSE(record.contains("lat")) << record.dump();  // no location framework on this device
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

// Activities without a page address, or with an empty type, are taken and
// change nothing: the first screen stays, and its pages still load.
TEST_F(AppRoad, UniversalLinksWithoutAPageAddressOrTypeChangeNothing) {
  const Result r = run(
      "launch\n"
      "wait page-finished 30s\n"
      "universal-link\n"
      "universal-link --type org.example.handoff\n"
      "universal-link https://intranet.example.org/news/42 --type \"\"\n"
      "wait idle 30s\n"
      "expect screen UINavigationController (1 on the stack, bar hidden)\n"
      "expect screen web https://intranet.example.org \"Intranet\" finished\n"
      "tap-link /menu\n"
      "wait page-finished 30s\n"
      "terminate\n");
  ASSERT_EQ(r.exit_code, 0) << r.transcript();
  EXPECT_EQ(intranet_.count("GET", "/news/42"), 0u) << r.transcript();
  EXPECT_EQ(intranet_.count("GET", "/menu"), 1u) << r.transcript();
  std::size_t taken = 0;
  for (const auto& text : r.texts("app")) taken += text == "\"universal link tapped\"";
  EXPECT_EQ(taken, 3u) << r.transcript();
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

// Config.json present but unreadable as a file: the launch runs on with the
// read error and an empty configuration, so the first screen loads nothing.
TEST_F(AppRoad, AnUnreadableConfigurationWritesTheReadErrorAndTheLaunchRunsOn) {
  for (const std::string shape : {"folder", "fifo"}) {
    SCOPED_TRACE(shape);
    intranet_.clear_requests();
    std::error_code ec;
    fs::remove_all(root_ / "App.app", ec);
    const fs::path bundle = copiedBundle();
    const fs::path config = bundle / "Config.json";
    fs::remove(config);
    if (shape == "folder") {
      fs::create_directories(config / "inner");
    } else {
      ASSERT_EQ(::mkfifo(config.c_str(), 0644), 0);
    }
    const Result r = run(
        "launch\n"
        "wait idle 30s\n"
        "screen\n"
        "sleep 1s\n"
        "terminate\n",
        "default", bundle);
    ASSERT_EQ(r.exit_code, 0) << r.transcript();
    EXPECT_FALSE(r.killed);
    EXPECT_TRUE(r.has("app", "\"ASConfigService :: readConfigFile :: dictionary error\"")) << r.transcript();
    EXPECT_TRUE(r.has("screen", "ViewController")) << r.transcript();
    EXPECT_FALSE(r.has("screen", "web https://")) << r.transcript();
    EXPECT_EQ(intranet_.count("GET", "/"), 0u) << r.transcript();
  }
}

// The app-group suite named like the app is no suite: the parameters answer
// (which switches analytics events on) and a received notification store nothing.
TEST_F(AppRoad, AnAppGroupNamedLikeTheAppStoresNothingAndTheAppRunsOn) {
  const fs::path bundle = copiedBundle();
  std::ifstream in(bundle / "Info.plist");
  std::string info((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string anchor = "<key>CFBundleIdentifier</key>";
  ASSERT_NE(info.find(anchor), std::string::npos);
  info.insert(info.find(anchor),
              "<key>RerAviror_app_groups_key</key>\n\t<string>org.example.intranet</string>\n\t");
  write(bundle / "Info.plist", info);
  const Result r = run(
      "launch\n"
      "wait page-finished 30s\n"
      "wait idle 30s\n"
      "sleep 2s\n"  // registration and the parameters answer
      "push {\"custom\":{\"i\":\"3f6c2b1a-8d4e-4f7a-9b0c-1e2d3c4b5a69\"},\"aps\":{\"alert\":\"Hello\"}}\n"
      "wait console \"New notification received\" 30s\n"
      "sleep 1s\n"
      "terminate\n",
      "default", bundle);
  ASSERT_EQ(r.exit_code, 0) << r.transcript();
  EXPECT_FALSE(r.killed);
  EXPECT_GE(push_.count("GET", "/api/v1/apps/5c1e9a7b-3d2f-4e8a-b6c4-0f9d8e7a6b51/ios_params.js"), 1u);
  EXPECT_EQ(push_.count("POST", "/api/v1/players"), 1u) << r.transcript();
  // No suite file anywhere on the device holds the bridge's keys.
  for (const auto& entry : fs::recursive_directory_iterator(lastDevice())) {
    if (!entry.is_regular_file()) continue;
    std::ifstream file(entry.path(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_EQ(bytes.find("OS_ENABLE_DAVIDIZE_ANALYTICS"), std::string::npos) << entry.path();
    EXPECT_EQ(bytes.find("OS_LAST_RECIEVED"), std::string::npos) << entry.path();
  }
}

}  // namespace
}  // namespace testing::e2e
