// appsim as a child process with the platform demo app: the platform demo's
// timeline, the JSON form, exit codes of scripts and command lines, profiles,
// standard input in the repl, and a reinstall that keeps the keychain. Scripts
// run against fakes the test starts itself, on a temporary device.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
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

void write(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  ASSERT_TRUE(out.flush()) << path;
}

class AppSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "appsim-e2e-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    device_ = root_ / "device";
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  // A device whose profile routes the intranet and push hosts to fakes of this test.
  void make_device(json profile = json::object()) {
    ASSERT_TRUE(authority_.write_root_pem(device_ / "ca.pem"));
    json hosts = json::object();
    for (const auto& [from, to] : intranet_.host_map()) hosts[from] = to;
    for (const auto& [from, to] : push_.host_map()) hosts[from] = to;
    profile["hosts"] = hosts;
    profile["trust_anchors"] = {(device_ / "ca.pem").string()};
    write(device_ / "device.json", profile.dump(2));
  }

  fs::path script(const std::string& text) {
    const fs::path path = root_ / ("script-" + std::to_string(++scripts_) + ".txt");
    write(path, text);
    return path;
  }

  // appsim run --platform-demo --device <device> --bundle <App.app> [extra...] SCRIPT
  Result run(const std::string& text, std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"run", "--platform-demo", "--device", device_.string(), "--bundle",
                                  AppSimProcess::built_bundle().string()};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(script(text).string());
    return AppSimProcess::run(args);
  }

  fs::path root_, device_;
  int scripts_ = 0;
  fakes::TlsAuthority authority_;
  fakes::IntranetSite intranet_{{.authority = &authority_}};
  fakes::PushService push_{{.authority = &authority_}};
};

// The ordered texts of the run's lines, one "tag text" per line.
std::vector<std::string> timeline(const Result& r) {
  std::vector<std::string> out;
  for (const auto& line : r.lines) {
    const AppSimLine parsed = AppSimLine::parse(line);
    out.push_back(parsed.tag + " " + parsed.text);
  }
  return out;
}

// Index of the first timeline entry at or after `from` that starts with `prefix`; -1 when none.
long find_from(const std::vector<std::string>& t, const std::string& prefix, long from = 0) {
  for (long i = from; i < static_cast<long>(t.size()); ++i)
    if (t[static_cast<std::size_t>(i)].rfind(prefix, 0) == 0) return i;
  return -1;
}

TEST_F(AppSimTest, DemoPlaysTheTimelineInOrderAndExitsZero) {
  const Result r = AppSimProcess::run({"demo", "--platform-demo"});
  ASSERT_EQ(r.exit_code, 0) << r.transcript();
  EXPECT_FALSE(r.killed);
  const auto t = timeline(r);
  // The milestones of the platform scenario, in this order (the token and the
  // authorisation answer race the first page, so they are checked apart).
  const std::vector<std::string> milestones{
      "os device default: iOS 13.5 iPhone12,1, container ",
      "svc loopback: intranet.example.org:443 -> 127.0.0.1:",
      "step launch",
      "app launched",
      "app page finished: https://intranet.example.org/ ",
      "screen window(key)",
      "step tap-link /login?user=demo",
      "svc intranet GET /login -> 302",
      "app cookies: PHPSESSID",
      "app push in front: Menu",
      "app notification tapped: ",
      "app page finished: https://intranet.example.org/menu ",
      "app in the background",
      "app entering the foreground",
      "app terminating",
      "done ",
  };
  long at = 0;
  for (const auto& m : milestones) {
    const long found = find_from(t, m, at);
    ASSERT_GE(found, 0) << "missing after entry " << at << ": " << m << "\n" << r.transcript();
    at = found + 1;
  }
  EXPECT_EQ(t.back().rfind("done ", 0), 0u) << r.transcript();
  EXPECT_NE(t.back().find(" 0 failed"), std::string::npos) << r.transcript();
  EXPECT_TRUE(r.has("app", "notifications allowed: true"));
  EXPECT_TRUE(r.has("app", "device token ") && r.has("app", "(32 bytes)"));
}

TEST_F(AppSimTest, JsonFormGivesOneObjectPerLineAndQuietSvcDropsServiceLines) {
  for (const bool quiet : {false, true}) {
    SCOPED_TRACE(quiet ? "--quiet-svc" : "all lines");
    std::vector<std::string> args{"demo", "--json"};
    if (quiet) args.push_back("--quiet-svc");
    const Result r = AppSimProcess::run(args);
    ASSERT_EQ(r.exit_code, 0) << r.transcript();
    ASSERT_FALSE(r.lines.empty());
    std::set<std::string> tags;
    for (const auto& line : r.lines) {
      const json object = json::parse(line, nullptr, false);
      ASSERT_TRUE(object.is_object()) << line;
      ASSERT_EQ(object.size(), 2u) << line;
      ASSERT_TRUE(object["tag"].is_string() && object["text"].is_string()) << line;
      tags.insert(object["tag"].get<std::string>());
    }
    const std::set<std::string> known{"os", "svc", "app", "log", "step", "screen", "done"};
    for (const auto& tag : tags) EXPECT_TRUE(known.count(tag)) << tag;
    for (const char* tag : {"os", "app", "step", "screen", "done"}) EXPECT_TRUE(tags.count(tag)) << tag;
    EXPECT_EQ(tags.count("svc"), quiet ? 0u : 1u);
    EXPECT_EQ(json::parse(r.lines.back())["tag"], "done");
  }
}

TEST_F(AppSimTest, FailedExpectExitsOneAndTheRestStillRuns) {
  make_device();
  const Result r = run(
      "launch\n"
      "wait page-finished 30s\n"
      "expect console \"a line the app never writes\"\n"
      "expect console \"page finished: https://intranet.example.org/\"\n"
      "terminate\n");
  EXPECT_EQ(r.exit_code, 1) << r.transcript();
  EXPECT_FALSE(r.killed);
  EXPECT_TRUE(r.has("app", "terminating")) << r.transcript();
  const auto done = r.texts("done");
  ASSERT_EQ(done.size(), 1u) << r.transcript();
  EXPECT_NE(done[0].find("1 failed"), std::string::npos) << done[0];
  // The page really came from this test's fake.
  EXPECT_EQ(intranet_.count("GET", "/"), 1u);
}

TEST_F(AppSimTest, BadScriptLineExitsTwoNamingTheLineAndRunsNothing) {
  make_device();
  const Result r = run(
      "# a comment\n"
      "launch\n"
      "fly-to-the-moon now\n"
      "terminate\n");
  EXPECT_EQ(r.exit_code, 2) << r.transcript();
  EXPECT_NE(r.error_output.find("line 3"), std::string::npos) << r.transcript();
  EXPECT_TRUE(r.has("done", "line 3")) << r.transcript();
  EXPECT_FALSE(r.has("step", "launch"));
  EXPECT_EQ(intranet_.count(), 0u);
}

TEST_F(AppSimTest, BadCommandLinesExitTwoSayingWhy) {
  write(root_ / "s.txt", "launch\n");
  const std::string s = (root_ / "s.txt").string();
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Case> cases{
      {{}, "no command"},
      {{"fly"}, "unknown command 'fly'"},
      {{"run"}, "run takes one SCRIPT"},
      {{"run", s, s}, "run takes one SCRIPT"},
      {{"demo", "--bogus"}, "unknown option --bogus"},
      {{"demo", "--device"}, "--device needs a value"},
      {{"demo", "--json=yes"}, "--json takes no value"},
      {{"demo", "extra"}, "unexpected argument 'extra'"},
      {{"demo", "--profile", "../x"}, "not a profile name"},
      {{"demo", "--profile", "nosuch"}, "no profile 'nosuch'"},
      {{"run", "--reinstall", s}, "--reinstall needs --device"},
      {{"run", "--bundle", (root_ / "none.app").string(), s}, "no app bundle"},
      {{"run", (root_ / "missing.txt").string()}, "cannot read the script"},
      {{"run", "--host", s}, "not a host name"},
      {{"run", "--host", "bad_name.example", s}, "not a host name"},
      {{"run", "--host", "localhost", s}, "not a host name"},
      {{"run", "--host=Intranet.Example.org", s}, "intranet.example.org is served already"},
      {{"run", "--verbose=1", s}, "--verbose takes no value"},
  };
  for (const auto& c : cases) {
    std::string shown;
    for (const auto& a : c.args) shown += a + " ";
    SCOPED_TRACE(shown);
    const Result r = AppSimProcess::run(c.args);
    EXPECT_EQ(r.exit_code, 2) << r.transcript();
    EXPECT_NE(r.error_output.find(c.message), std::string::npos) << r.transcript();
    EXPECT_FALSE(r.has("step", "launch"));
  }
  // Mistakes in the command line itself also print the usage.
  EXPECT_NE(AppSimProcess::run({"demo", "--bogus"}).error_output.find("usage: appsim demo"), std::string::npos);
  const Result help = AppSimProcess::run({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_TRUE(help.has("", "usage: appsim demo"));
}

TEST_F(AppSimTest, ProfilesGiveTheirSystemVersionAndFrameworks) {
  struct Case {
    std::string profile, version;
    bool notification_centre;
  };
  for (const Case& c : {Case{"default", "13.5", true}, Case{"ios9", "9.3", false}, Case{"ios10", "10.3", true},
                        Case{"appstore", "13.5", true}}) {
    SCOPED_TRACE(c.profile);
    const fs::path device = root_ / ("device-" + c.profile);
    const Result r = AppSimProcess::run({"run", "--platform-demo", "--device", device.string(), "--profile", c.profile,
                                         "--fakes",
                                         script("launch\nwait page-finished 30s\nterminate\n").string()});
    ASSERT_EQ(r.exit_code, 0) << r.transcript();
    EXPECT_TRUE(r.has("os", "device " + c.profile + ": iOS " + c.version + " ")) << r.transcript();
    EXPECT_EQ(r.has("app", "notifications allowed"), c.notification_centre) << r.transcript();
    // The profile was copied in as it is, with the services' host map added.
    std::ifstream in(device / "device.json");
    const json profile = json::parse(in, nullptr, false);
    ASSERT_TRUE(profile.is_object());
    EXPECT_EQ(profile["system_version"], c.version);
    EXPECT_EQ(profile["distribution"], c.profile == "appstore" ? "app_store" : "development");
    EXPECT_TRUE(profile["hosts"].contains("intranet.example.org:443"));
  }
}

TEST_F(AppSimTest, ReplReadsCommandsFromStandardInput) {
  make_device();
  AppSimOptions options;
  options.input = "launch\nwait page-finished 30s\nscreen\nno-such-command\nterminate\n";
  const Result r = AppSimProcess::run(
      {"repl", "--platform-demo", "--device", device_.string(), "--bundle", AppSimProcess::built_bundle().string()},
      options);
  EXPECT_EQ(r.exit_code, 2) << r.transcript();  // the worst line: one that does not parse
  EXPECT_TRUE(r.has("screen", "web https://intranet.example.org/")) << r.transcript();
  EXPECT_TRUE(r.has("app", "terminating")) << r.transcript();
  EXPECT_EQ(intranet_.count("GET", "/"), 1u);
}

TEST_F(AppSimTest, ReinstallKeepsTheKeychainAndDropsUserDefaults) {
  make_device();
  const std::string launch = "launch\nwait console \"keychain:\" 30s\n";
  const Result first = run(launch +
                           "expect console \"user defaults: launch 1\"\n"
                           "expect console \"keychain: install marker written\"\nterminate\n");
  ASSERT_EQ(first.exit_code, 0) << first.transcript();
  const fs::path container = device_ / "Containers" / "Data" / "org.example.intranet";
  ASSERT_TRUE(fs::exists(container / "Library" / "Preferences" / "org.example.intranet.plist"));
  ASSERT_TRUE(fs::exists(device_ / "Keychain" / "keychain.plist"));

  const Result again = run(launch +
                           "expect console \"user defaults: launch 2\"\n"
                           "expect console \"keychain: install marker kept from an earlier install\"\nterminate\n");
  ASSERT_EQ(again.exit_code, 0) << again.transcript();

  const Result reinstalled = run(launch +
                                 "expect console \"user defaults: launch 1\"\n"
                                 "expect console \"keychain: install marker kept from an earlier install\"\n"
                                 "terminate\n",
                                 {"--reinstall"});
  ASSERT_EQ(reinstalled.exit_code, 0) << reinstalled.transcript();
  EXPECT_TRUE(reinstalled.has("os", "reinstall: deleted")) << reinstalled.transcript();
  EXPECT_TRUE(fs::exists(device_ / "Keychain" / "keychain.plist"));
}

}  // namespace
}  // namespace testing::e2e
