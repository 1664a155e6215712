// The analytics scenario in appsim as a child process, against fakes the
// test starts: the collector's batches carry the session start, a screen view
// for each screen of the road (the first screen, the pushed one, the first
// again after the window closes), engagement with its screen, and the
// campaign of the opened URL.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "testing/fakes/analytics_collector.h"
#include "testing/fakes/identity_service.h"
#include "testing/fakes/intranet_site.h"
#include "testing/fakes/json.h"
#include "testing/fakes/kit_services.h"
#include "testing/fakes/log_collector.h"
#include "testing/fakes/push_service.h"
#include "testing/fakes/tls_authority.h"
#include "testing/harness/appsim_process.h"
#include "tests/analytics/batch_support.h"

namespace testing::e2e {
namespace {

namespace fs = std::filesystem;
using analytics_test::DecodedEvent;

std::vector<DecodedEvent> screensNamed(const std::vector<DecodedEvent>& events, const std::string& name) {
  std::vector<DecodedEvent> out;
  for (const auto& event : events)
    if (event.name == name) out.push_back(event);
  return out;
}

AppSimOptions screensOptions() {
  AppSimOptions options;
  options.deadline = std::chrono::seconds(120);
  return options;
}

// The scenario as it stands, with appsim's own services.
TEST(AnalyticsScreensE2E, TheScenarioPasses) {
  const auto r = AppSimProcess::run({"run", "--fakes", ANALYTICS_SCENARIO}, screensOptions());
  EXPECT_EQ(r.exit_code, 0) << r.transcript();
}

// The scenario's road against this test's services: the child cannot see
// their requests, so its request waits give way to idle waits.
std::string screensScriptForTestServices() {
  std::ifstream scenario(ANALYTICS_SCENARIO);
  std::string script, line;
  while (std::getline(scenario, line)) {
    if (line.rfind("wait request ", 0) == 0) line = "wait idle 30s";
    script += line + "\n";
  }
  return script;
}

TEST(AnalyticsScreensE2E, TheCollectorReceivesSessionsScreensEngagementAndCampaigns) {
  std::string pattern = (fs::temp_directory_path() / "analytics-screens-XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  const fs::path root = pattern;
  const fs::path device = root / "device";
  fs::create_directories(device);

  fakes::TlsAuthority authority;
  fakes::IntranetSite intranet{{.authority = &authority}};
  fakes::PushService push{{.authority = &authority}};
  fakes::AnalyticsCollector collector{{.authority = &authority}};
  fakes::LogCollector logs{{.authority = &authority}};
  fakes::IdentityService identity{{.authority = &authority}};
  fakes::KitServices kits{{.authority = &authority}};
  std::ifstream in(AppSimProcess::built_executable().parent_path() / "devices" / "default.json");
  nlohmann::json profile = nlohmann::json::parse(in, nullptr, false);
  ASSERT_TRUE(profile.is_object());
  nlohmann::json hosts = nlohmann::json::object();
  const std::vector<const fakes::FakeService*> services{&intranet, &push, &collector, &logs, &identity, &kits};
  for (const fakes::FakeService* service : services) {
    for (const auto& [from, to] : service->host_map()) hosts[from] = to;
  }
  profile["hosts"] = hosts;
  profile["trust_anchors"] = {(device / "ca.pem").string()};
  ASSERT_TRUE(authority.write_root_pem(device / "ca.pem"));
  std::ofstream(device / "device.json") << profile.dump(2);

  const fs::path script = root / "script.txt";
  std::ofstream(script) << screensScriptForTestServices();
  const auto r = AppSimProcess::run({"run", "--device", device.string(), "--bundle",
                                     AppSimProcess::built_bundle().string(), script.string()},
                                    screensOptions());
  ASSERT_EQ(r.exit_code, 0) << r.transcript();

  const auto events = analytics_test::uploaded_events(collector.uploads());
  std::string names;
  for (const auto& event : events) names += event.name + " ";

  EXPECT_FALSE(screensNamed(events, "_s").empty()) << names;

  const auto views = screensNamed(events, "_vs");
  ASSERT_EQ(views.size(), 3u) << names;
  for (const auto& view : views) EXPECT_EQ(view.string_param("_sc"), "ViewController");
  ASSERT_TRUE(views[0].int_param("_si") && views[1].int_param("_si"));
  EXPECT_NE(views[1].int_param("_si"), views[0].int_param("_si"));
  EXPECT_EQ(views[1].int_param("_pi"), views[0].int_param("_si"));
  EXPECT_EQ(views[2].int_param("_si"), views[0].int_param("_si"));
  EXPECT_EQ(views[2].int_param("_pi"), views[1].int_param("_si"));

  bool engagementWithScreen = false;
  for (const auto& engagement : screensNamed(events, "_e")) {
    if (engagement.int_param("_et") && engagement.string_param("_sc") == "ViewController" &&
        engagement.int_param("_si")) {
      engagementWithScreen = true;
    }
  }
  EXPECT_TRUE(engagementWithScreen) << names;

  const auto campaigns = screensNamed(events, "_cmp");
  ASSERT_EQ(campaigns.size(), 1u) << names;
  EXPECT_EQ(campaigns[0].string_param("source"), "news");
  EXPECT_EQ(campaigns[0].string_param("medium"), "email");

  std::error_code ec;
  fs::remove_all(root, ec);
}

}  // namespace
}  // namespace testing::e2e
