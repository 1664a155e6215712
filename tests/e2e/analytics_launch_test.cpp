// Analytics end to end in appsim as a child process against this test's
// collector: the analytics scenario's launch and background uploads, a
// tapped notification's open event across a network outage, and a relaunch
// that re-sends nothing the collector acknowledged.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "testing/fakes/analytics_collector.h"
#include "testing/fakes/intranet_site.h"
#include "testing/fakes/json.h"
#include "testing/fakes/push_service.h"
#include "testing/fakes/tls_authority.h"
#include "testing/harness/appsim_process.h"
#include "tests/analytics/batch_support.h"

namespace testing::e2e {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using Result = AppSimProcess::Result;

// A launch until its events were uploaded and the push permission answered.
constexpr const char* kLaunchedAndUploaded =
    "launch\n"
    "wait syslog \"[I-ACS023016] Analytics is ready to receive events\" 30s\n"
    "wait syslog \"[I-ACS023044] Successful upload\" 30s\n"
    "wait console \"User accepted notifications: true\" 30s\n"
    "wait idle 30s\n";

class AnalyticsUploadE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "analytics-upload-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    device_ = root_ / "device";
    std::ifstream in(AppSimProcess::built_executable().parent_path() / "devices" / "default.json");
    json profile = json::parse(in, nullptr, false);
    ASSERT_TRUE(profile.is_object());
    json hosts = json::object();
    for (const fakes::FakeService* service : std::vector<const fakes::FakeService*>{&intranet_, &push_, &collector_})
      for (const auto& [from, to] : service->host_map()) hosts[from] = to;
    profile["hosts"] = hosts;
    profile["trust_anchors"] = {(device_ / "ca.pem").string()};
    fs::create_directories(device_);
    ASSERT_TRUE(authority_.write_root_pem(device_ / "ca.pem"));
    std::ofstream(device_ / "device.json") << profile.dump(2);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  // appsim run of `script` on the test's device (kept across runs).
  Result run(const fs::path& script) {
    return AppSimProcess::run({"run", "--device", device_.string(), "--bundle",
                               AppSimProcess::built_bundle().string(), script.string()});
  }
  Result runText(const std::string& text) {
    const fs::path script = root_ / ("script-" + std::to_string(++scripts_) + ".txt");
    std::ofstream(script) << text;
    return run(script);
  }
  // The app ID the configuration fetches named.
  std::string fetchedAppID() const {
    const auto fetches = collector_.config_fetches();
    if (fetches.empty()) return "";
    return fetches.front().path.substr(std::string(fakes::AnalyticsCollector::kConfigPrefix).size());
  }
  std::size_t uploadedCount(const std::string& eventName) const {
    std::size_t n = 0;
    for (const auto& event : analytics_test::uploaded_events(collector_.uploads())) n += event.name == eventName;
    return n;
  }

  // The analytics scenario for this test's services: the child cannot see
  // their requests, so its request waits give way to idle waits.
  static std::string scenarioForTestServices() {
    std::ifstream scenario(AppSimProcess::built_executable().parent_path() / "scenarios" / "analytics.txt");
    std::string script, line;
    while (std::getline(scenario, line)) script += (line.rfind("wait request ", 0) == 0 ? "wait idle 30s" : line) + "\n";
    return script;
  }

  // Events uploaded more than once (same name and time stamp).
  std::size_t resentEvents() const {
    std::set<std::pair<std::string, std::int64_t>> seen;
    std::size_t resent = 0;
    for (const auto& event : analytics_test::uploaded_events(collector_.uploads()))
      resent += !seen.emplace(event.name, event.timestamp_millis).second;
    return resent;
  }

  fs::path root_, device_;
  int scripts_ = 0;
  fakes::TlsAuthority authority_;
  fakes::IntranetSite intranet_{{.authority = &authority_}};
  fakes::PushService push_{{.authority = &authority_}};
  fakes::AnalyticsCollector collector_{{.authority = &authority_}};
};

TEST_F(AnalyticsUploadE2E, TheScenarioUploadsTheLaunchAndARelaunchResendsNothing) {
  const Result r = runText(scenarioForTestServices());
  ASSERT_EQ(r.exit_code, 0) << r.transcript();
  const std::string appID = fetchedAppID();
  ASSERT_FALSE(appID.empty());
  ASSERT_GE(collector_.upload_count(), 1u);
  for (const auto& upload : collector_.uploads()) {
    const auto bundles = analytics_test::decode_batch(upload.body);
    ASSERT_TRUE(bundles);
    for (const auto& bundle : *bundles) EXPECT_EQ(bundle.service_app_id(), appID);
  }
  EXPECT_EQ(uploadedCount("_f"), 1u);
  EXPECT_GE(uploadedCount("_e"), 1u);  // first open's, and engagement on leaving the foreground
  EXPECT_EQ(resentEvents(), 0u);

  // A relaunch on the same device: what was acknowledged stays sent.
  const std::size_t posts = collector_.upload_count();
  const Result again = runText("launch\n"
                               "wait syslog \"[I-ACS023016] Analytics is ready to receive events\" 30s\n"
                               "wait idle 30s\n"
                               "background\n"
                               "wait idle 30s\n"
                               "terminate\n");
  ASSERT_EQ(again.exit_code, 0) << again.transcript();
  EXPECT_GE(collector_.upload_count(), posts);
  EXPECT_EQ(uploadedCount("_f"), 1u);
  EXPECT_EQ(resentEvents(), 0u);
}

TEST_F(AnalyticsUploadE2E, ATappedNotificationsOpenEventIsUploadedAcrossANetworkOutage) {
  const Result r = runText(std::string(kLaunchedAndUploaded) +
      "network off\n"
      "tap-notification {\"custom\":{\"i\":\"7d0c3b1a-2e4f-4a5b-8c6d-9e0f1a2b3c4d\"},\"aps\":{\"alert\":\"Hello\"}}\n"
      "wait syslog \"Event logged. Event name, event params: os_notification_opened\" 30s\n"
      "network on\n"
      "wait syslog \"[I-ACS023044] Successful upload\" 30s\n"
      "wait idle 30s\n"
      "background\n"
      "wait idle 30s\n"
      "terminate\n");
  ASSERT_EQ(r.exit_code, 0) << r.transcript();
  const auto events = analytics_test::uploaded_events(collector_.uploads());
  const auto opened = std::find_if(events.begin(), events.end(),
                                   [](const auto& e) { return e.name == "os_notification_opened"; });
  ASSERT_NE(opened, events.end()) << r.transcript();
  EXPECT_EQ(opened->string_param("source"), "RerAviror");
  EXPECT_EQ(uploadedCount("os_notification_opened"), 1u);
}

TEST_F(AnalyticsUploadE2E, BackgroundPostsWhatWasLoggedSinceTheLastUpload) {
  const Result r = runText(std::string(kLaunchedAndUploaded) +
      "tap-notification {\"custom\":{\"i\":\"7d0c3b1a-2e4f-4a5b-8c6d-9e0f1a2b3c4d\"},\"aps\":{\"alert\":\"Hello\"}}\n"
      "background\n"
      "wait syslog \"[I-ACS023144] App will resign active state. Scheduling data upload\" 30s\n"
      "wait syslog \"[I-ACS023044] Successful upload\" 30s\n"
      "wait idle 30s\n"
      "terminate\n");
  ASSERT_EQ(r.exit_code, 0) << r.transcript();
  EXPECT_GE(collector_.upload_count(), 2u);
  EXPECT_EQ(uploadedCount("os_notification_opened"), 1u);
}

}  // namespace
}  // namespace testing::e2e
