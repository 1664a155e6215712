// The in-process harness: the device it makes and boots, posts through the
// platform's own session seen at the fakes via run_until, and its cleanup.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "curl_client.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"
#include "platform/foundation/console.h"
#include "platform/foundation/plist.h"
#include "platform/net/session.h"
#include "platform/os/bundle.h"
#include "platform/os/profile.h"
#include "platform/os/system.h"
#include "platform/sim/scenario.h"
#include "platform/testing/manual_clock.h"
#include "testing/harness/harness.h"

namespace testing::test {
namespace {

namespace fs = std::filesystem;
namespace net = platform::net;
using json = nlohmann::json;
using platform::dispatch::Queue;
using namespace std::chrono_literals;

// Generous: the first request of a process loads the system trust anchors,
// which is slow in sanitizer builds on a busy machine.
constexpr auto kNetworkWait = 20s;

std::string read(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

net::Bytes bytes(const std::string& s) { return net::Bytes(s.begin(), s.end()); }

// A request through the shared session whose completion is handed to the
// main queue, so only a pumped main run loop sees it.
struct Exchange {
  bool done = false;
  long status = 0;
  std::string body;
  std::string error;
};

std::shared_ptr<Exchange> send(const std::string& method, const std::string& url, const std::string& body = {},
                               const std::string& content_type = {}) {
  auto exchange = std::make_shared<Exchange>();
  net::Request request(*platform::foundation::Url::parse(url));
  request.method = method;
  if (!body.empty()) request.body = bytes(body);
  if (!content_type.empty()) request.headers.set("Content-Type", content_type);
  auto task = net::Session::shared()->data_task(
      request, [exchange](std::optional<net::Bytes> data, std::shared_ptr<const net::Response> response,
                          std::optional<platform::foundation::Error> error) {
        Queue::main().async([=] {
          if (data) exchange->body.assign(data->begin(), data->end());
          if (response) exchange->status = response->status.value_or(0);
          if (error) exchange->error = error->description();
          exchange->done = true;
        });
      });
  task->resume();
  return exchange;
}

TEST(Harness, BootsADeviceWithTheFakesHostMapAndAnchor) {
  Harness h({.fakes = {Fake::intranet, Fake::push, Fake::intranet},
             .profile = {{"system_version", "9.3"}, {"hosts", {{"extra.example.net:443", "127.0.0.1:9"}}}}});
  ASSERT_TRUE(platform::os::booted());
  const auto& profile = platform::os::profile();
  EXPECT_EQ(profile.system_version, "9.3");
  std::map<std::string, std::string> expected = h.intranet().host_map();
  expected.merge(h.push().host_map());
  EXPECT_EQ(h.host_map(), expected);
  expected["extra.example.net:443"] = "127.0.0.1:9";
  EXPECT_EQ(profile.hosts, expected);
  EXPECT_EQ(profile.hosts.at("intranet.example.org:443"), "127.0.0.1:" + std::to_string(h.intranet().port()));
  EXPECT_EQ(profile.hosts.at("push.example.net:443"), "127.0.0.1:" + std::to_string(h.push().port()));
  ASSERT_EQ(profile.trust_anchors.size(), 1u);
  EXPECT_EQ(profile.trust_anchors[0], h.ca_file());
  EXPECT_EQ(read(h.ca_file()), h.authority().root_pem());
  EXPECT_EQ(platform::os::container_directory().filename(), "org.example.intranet");
  EXPECT_EQ(platform::os::device_directory(), h.device_directory());
  EXPECT_THROW(h.analytics(), std::logic_error);
  EXPECT_THROW(h.kits(), std::logic_error);
}

TEST(Harness, BundleCarriesTheServicePropertyListInfoKeysAndExtraFiles) {
  using platform::foundation::Dict;
  using platform::foundation::Value;
  {
    Harness h({.bundle_identifier = "org.example.other",
               .info = {{"DavidizeDataCollectionDefaultEnabled", false}, {"CFBundleVersion", "7"}},
               .bundle_files = {{"Config.json", "{}"}, {"sub/dir/file.txt", "bytes"}}});
    auto& bundle = platform::os::Bundle::main();
    auto service = bundle.path_for_resource("VuzoraZedudid-Udor", "plist");
    ASSERT_TRUE(service);
    auto read_back = platform::foundation::plist::read_file(*service);
    ASSERT_TRUE(read_back);
    ASSERT_TRUE(read_back.value().dict());
    const Dict& options = *read_back.value().dict();
    EXPECT_EQ(options, default_service_plist("org.example.other"));
    EXPECT_EQ(options.get("BUNDLE_ID"), Value("org.example.other"));
    for (const char* key : {"API_KEY", "CLIENT_ID", "TRACKING_ID", "GCM_SENDER_ID", "PROJECT_ID", "ANDROID_CLIENT_ID",
                            "DOZADA_APP_ID", "DATABASE_URL", "STORAGE_BUCKET"}) {
      ASSERT_TRUE(options.get(key).string()) << key;
      EXPECT_FALSE(options.get(key).string()->empty()) << key;
    }
    EXPECT_TRUE(options.get("IS_ANALYTICS_ENABLED").is_bool());
    EXPECT_TRUE(options.get("IS_SIGNIN_ENABLED").is_bool());
    EXPECT_EQ(bundle.identifier(), "org.example.other");
    EXPECT_EQ(bundle.object_for_info_key("DavidizeDataCollectionDefaultEnabled"), Value(false));
    EXPECT_EQ(bundle.object_for_info_key("CFBundleVersion"), Value("7"));   // extra keys win
    EXPECT_EQ(bundle.object_for_info_key("UIMainStoryboardFile"), Value("Main"));
    EXPECT_EQ(read(h.bundle_directory() / "Config.json"), "{}");
    EXPECT_EQ(read(h.bundle_directory() / "sub" / "dir" / "file.txt"), "bytes");
  }
  {
    // Left out, or replaced by a bundle file.
    Harness h({.service_plist = false});
    EXPECT_FALSE(platform::os::Bundle::main().path_for_resource("VuzoraZedudid-Udor", "plist"));
  }
  Harness h({.bundle_files = {{"VuzoraZedudid-Udor.plist", "not a property list"}}});
  EXPECT_EQ(read(h.bundle_directory() / "VuzoraZedudid-Udor.plist"), "not a property list");
}

TEST(Harness, StartsEveryKindOfFake) {
  Harness h({.fakes = {Fake::intranet, Fake::push, Fake::analytics, Fake::logs, Fake::identity, Fake::kits}});
  std::size_t names = 0;
  for (const fakes::FakeService* s : std::initializer_list<const fakes::FakeService*>{
           &h.intranet(), &h.push(), &h.analytics(), &h.logs(), &h.identity(), &h.kits()}) {
    EXPECT_TRUE(s->tls());
    names += s->host_names().size();
  }
  EXPECT_EQ(h.host_map().size(), names);
  EXPECT_EQ(platform::os::profile().hosts.size(), names);
}

TEST(Harness, ServesMoreSitesAndScenarioRoutesScriptTheFakesUntilTheScenarioEnds) {
  Harness h({.fakes = {Fake::intranet}, .sites = {"partner.example"}});
  fakes::FakeService& partner = h.site("partner.example");
  EXPECT_EQ(platform::os::profile().hosts.at("partner.example:443"), "127.0.0.1:" + std::to_string(partner.port()));
  EXPECT_THROW(h.site("other.example"), std::logic_error);
  h.intranet().on("GET", "/menu", fakes::FakeService::empty(202));

  auto status_of = [&](const std::string& method, const std::string& url) {
    auto exchange = send(method, url, method == "POST" ? "{}" : "", "application/json");
    EXPECT_TRUE(h.run_until([&] { return exchange->done; }, kNetworkWait)) << url;
    return exchange;
  };
  {
    platform::sim::ScenarioPlayer player({});
    ASSERT_EQ(player.run_line("route partner.example GET /visit* status 200 header Set-Cookie t=1 body hello"), 0);
    ASSERT_EQ(player.run_line("route intranet POST /api/reraviror/register status 503"), 0);
    ASSERT_EQ(player.run_line("route intranet GET /menu status 500"), 0);
    EXPECT_EQ(player.run_line("route push GET / status 500"), 1);  // not started here
    const auto visit = status_of("GET", "https://partner.example/visit?x=1");
    EXPECT_EQ(visit->status, 200);
    EXPECT_EQ(visit->body, "hello");
    EXPECT_EQ(partner.requests("GET", "/visit").at(0).param("x"), "1");
    EXPECT_EQ(status_of("POST", "https://intranet.example.org/api/reraviror/register")->status, 503);
    EXPECT_EQ(status_of("GET", "https://intranet.example.org/menu")->status, 500);
  }
  // The scenario's answers ended with it; the test's own override stays.
  EXPECT_EQ(status_of("GET", "https://partner.example/visit")->status, 404);
  EXPECT_EQ(status_of("POST", "https://intranet.example.org/api/reraviror/register")->status, 200);
  EXPECT_EQ(status_of("GET", "https://intranet.example.org/menu")->status, 202);
  EXPECT_THROW(Harness({.fakes = {Fake::intranet}, .sites = {"intranet.example.org"}}), std::logic_error);
}

TEST(Harness, PostsThroughTheSessionAreSeenThroughRunUntil) {
  Harness h({.fakes = {Fake::intranet, Fake::push}});

  auto created = send("POST", "https://push.example.net/api/v1/players", R"({"app_id":"a1","device_type":0})",
                      "application/json");
  ASSERT_TRUE(h.run_until([&] { return created->done; }, kNetworkWait)) << "no answer from the push service";
  ASSERT_EQ(created->error, "");
  EXPECT_EQ(created->status, 200);
  const json answer = json::parse(created->body, nullptr, false);
  ASSERT_EQ(answer["id"], h.push().player_id()) << created->body;

  const std::string player = answer["id"];
  auto registered = send("POST", "https://intranet.example.org/api/reraviror/register",
                         json({{"player-id", player}}).dump(), "application/json");
  ASSERT_TRUE(h.run_until([&] { return h.intranet().count("POST", "/api/reraviror/register") == 1; }, kNetworkWait));
  ASSERT_TRUE(h.run_until([&] { return registered->done; }, kNetworkWait));
  EXPECT_EQ(registered->error, "");
  EXPECT_EQ(registered->status, 200);
  EXPECT_EQ(json::parse(registered->body, nullptr, false), json({{"ok", true}}));

  const auto post = h.intranet().requests("POST", "/api/reraviror/register").front();
  EXPECT_EQ(post.json_body(), json({{"player-id", h.push().player_id()}}));
  EXPECT_EQ(post.header("content-type"), "application/json");
  EXPECT_EQ(post.header("host"), "intranet.example.org");
  const auto create = h.push().requests("POST", "/api/v1/players").front();
  EXPECT_EQ(create.json_body(), json({{"app_id", "a1"}, {"device_type", 0}}));
}

TEST(Harness, LoginCookieGoesAlongWithTheRegistration) {
  Harness h({.fakes = {Fake::intranet}});
  auto login = send("GET", "https://intranet.example.org/login?user=demo");
  ASSERT_TRUE(h.run_until([&] { return login->done; }, kNetworkWait));
  ASSERT_EQ(login->error, "");
  EXPECT_EQ(login->status, 200);  // the redirect to the home page was followed
  ASSERT_FALSE(h.intranet().session_id().empty());
  EXPECT_EQ(h.intranet().count("GET", "/"), 1u);

  auto registered = send("POST", "https://intranet.example.org/api/reraviror/register", R"({"player-id":"p"})",
                         "application/json");
  ASSERT_TRUE(h.run_until([&] { return registered->done; }, kNetworkWait));
  const auto posts = h.intranet().requests("POST", "/api/reraviror/register");
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].cookie("PHPSESSID"), h.intranet().session_id());
}

TEST(Harness, RunUntilRunsMainQueueWorkAndGivesUpAtItsDeadline) {
  Harness h;
  bool ran = false;
  Queue::main().async([&] { ran = true; });
  EXPECT_TRUE(h.run_until([&] { return ran; }));
  EXPECT_FALSE(h.run_until([] { return false; }, 30ms));

  // Under a manual clock only ready work runs, and the deadline is still real time.
  platform::testing::ManualClock::install();
  bool performed = false;
  platform::dispatch::RunLoop::main().perform([&] { performed = true; });
  EXPECT_TRUE(h.run_until([&] { return performed; }));
  EXPECT_FALSE(h.run_until([] { return false; }, 30ms));
}

TEST(Harness, CapturesConsoleAndSystemLogLines) {
  Harness h;
  platform::foundation::console::log_line("harness log line");
  platform::foundation::console::out_line("harness out line");
  const auto lines = h.capture().log_lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "harness log line"), lines.end());
  const auto system = h.capture().system_log();
  EXPECT_NE(std::find(system.begin(), system.end(), "harness log line"), system.end());
  EXPECT_EQ(h.capture().out(), "harness out line\n");
}

TEST(Harness, CleanupUnbootsStopsTheFakesAndRemovesTheFolder) {
  fs::path device;
  std::map<std::string, std::string> host_map;
  {
    Harness h({.fakes = {Fake::intranet}});
    device = h.device_directory();
    host_map = h.intranet().host_map();
    ASSERT_TRUE(fs::exists(device / "device.json"));
    ASSERT_TRUE(fs::exists(h.bundle_directory() / "Info.plist"));
  }
  EXPECT_FALSE(fs::exists(device.parent_path()));
  EXPECT_FALSE(platform::os::booted());
  fakes::test::CurlClient c("https://intranet.example.org", host_map, "");
  EXPECT_EQ(c.fetch({.path = "/", .timeout_s = 5}).code, CURLE_COULDNT_CONNECT);
}

TEST(Harness, ABadProfileFailsTheConstructorAndLeavesNothingBooted) {
  EXPECT_THROW(Harness h({.profile = {{"hosts", 5}}}), std::runtime_error);
  EXPECT_FALSE(platform::os::booted());
}

}  // namespace
}  // namespace testing::test
