// Deep links and campaigns: the query table, the campaign event on a running
// engine, never before the first open, the launch link consumed once at first
// open, the user-activity checks and the worker-queue refusal.
#include <algorithm>

#include "analytics/config/persisted_config.h"
#include "analytics/config/scheduler.h"
#include "analytics/identity/environment.h"
#include "analytics/sessions/deep_links.h"
#include "analytics/support/user_defaults.h"
#include "platform/testing/temp_device.h"
#include "tests/analytics/screen_support.h"
#include "tests/analytics/support.h"

namespace {

namespace fd = platform::foundation;
namespace ui = platform::ui;
using analytics::APMCampaignQuery;
using analytics::APMDeepLinks;
using analytics_test::MonitorRecorder;

TEST(DeepLinkQueries, CampaignFieldsFromTheQuery) {
  using Outcome = APMCampaignQuery::Outcome;
  const struct {
    std::string query;
    Outcome outcome;
    fd::Dict parameters;
  } cases[] = {
      {"utm_source=news&utm_medium=email&foo=1", Outcome::campaign,
       {{"source", fd::Value("news")}, {"medium", fd::Value("email")}}},
      {"utm_content=c&utm_term=t", Outcome::missingRequiredKeys, {}},
      {"", Outcome::emptyQuery, {}},
      {"utm_campaign=&gclid=G1", Outcome::campaign, {{"gclid", fd::Value("G1")}}},
      {"utm_campaign=spring%20sale&aclid=a&anid=n&cp1=x&utm_content=c&utm_term=t", Outcome::campaign,
       {{"aclid", fd::Value("a")},
        {"anid", fd::Value("n")},
        {"campaign", fd::Value("spring sale")},
        {"content", fd::Value("c")},
        {"cp1", fd::Value("x")},
        {"term", fd::Value("t")}}},
      // A bad escape empties the value, so the required key is missing.
      {"utm_source=%zz", Outcome::missingRequiredKeys, {}},
      {"utm_source=%E2%82", Outcome::missingRequiredKeys, {}},
  };
  for (const auto& c : cases) {
    const auto result = analytics::APMCampaignQueryFromString(c.query);
    EXPECT_EQ(result.outcome, c.outcome) << c.query;
    EXPECT_EQ(result.parameters.size(), c.parameters.size()) << c.query;
    for (const auto& [key, value] : c.parameters) {
      const fd::Value* got = result.parameters.find(key);
      ASSERT_NE(got, nullptr) << c.query << " " << key;
      EXPECT_EQ(*got, value) << c.query << " " << key;
    }
  }
}

class DeepLinkEngineTest : public analytics_test::ScreenHarnessTest {
 protected:
  void launchPlain(const std::function<void()>& seed = nullptr) {
    launch({{"HomeScreen"}}, [] { return analytics_test::makeScreenController("HomeScreen"); }, {}, seed);
    ASSERT_TRUE(waitForEvents("_f", 1));
    engine_ = analytics::APMMeasurement::sharedInstance();
    ASSERT_NE(engine_, nullptr);
  }
  double firstOpenSeconds() const {
    return static_cast<double>(engine_->persistedConfig()->firstOpenTimestampMilliseconds()) / 1000.0;
  }
  std::shared_ptr<analytics::APMMeasurement> engine_;
};

TEST_F(DeepLinkEngineTest, OpenedURLsLogCampaignsOnlyForCampaignQueries) {
  launchPlain();
  MonitorRecorder monitor;
  for (const char* url : {"intranet://open?utm_content=c&utm_term=t", "intranet://open",
                          "intranet://open?utm_source=news&utm_medium=email&foo=1"}) {
    analytics::APMAnalytics::handleOpenURL(*fd::Url::parse(url));
  }
  ASSERT_TRUE(waitForEvents("_cmp", 1));
  settle();
  const auto campaigns = seen("_cmp");
  ASSERT_EQ(campaigns.size(), 1u);
  EXPECT_EQ(campaigns[0].origin, "auto");
  EXPECT_EQ(text(campaigns[0], "source"), "news");
  EXPECT_EQ(text(campaigns[0], "medium"), "email");
  EXPECT_TRUE(campaigns[0].parameter("foo").is_null());
  EXPECT_TRUE(campaigns[0].parameter("click_timestamp").is_null());
  EXPECT_GE(campaigns[0].timestamp, firstOpenSeconds());
  const auto codes = monitor.codes();
  EXPECT_EQ(analytics_test::codeCount(codes, 23001), 1u);
  EXPECT_EQ(analytics_test::codeCount(codes, 23000), 1u);
}

TEST_F(DeepLinkEngineTest, ALinkBeforeTheFirstOpenTakesTheFirstOpenTime) {
  launchPlain();
  APMDeepLinks::handleOpenURL(*engine_, *fd::Url::parse("intranet://open?gclid=G"), std::nullopt, 1000.0);
  ASSERT_TRUE(waitForEvents("_cmp", 1));
  settle();
  EXPECT_DOUBLE_EQ(seen("_cmp")[0].timestamp, firstOpenSeconds());
}

TEST_F(DeepLinkEngineTest, AStoredLaunchLinkIsReportedOnceAtFirstOpen) {
  launchPlain([] {
    auto& defaults = analytics::APMUserDefaults::standardUserDefaults();
    defaults.setObject(fd::Value("intranet://open?utm_source=launch&utm_campaign=spring"), analytics::kAPMDeepLinkKey);
    defaults.setObject(fd::Value(1.5e9), analytics::kAPMDeepLinkTimestampKey);
  });
  ASSERT_TRUE(waitForEvents("_cmp", 1));
  settle();
  const auto campaigns = seen("_cmp");
  ASSERT_EQ(campaigns.size(), 1u);
  EXPECT_EQ(text(campaigns[0], "source"), "launch");
  EXPECT_EQ(text(campaigns[0], "campaign"), "spring");
  EXPECT_EQ(campaigns[0].parameter("click_timestamp").as_int(),
            engine_->persistedConfig()->firstOpenTimestampMilliseconds() - 1);
  auto& defaults = analytics::APMUserDefaults::standardUserDefaults();
  EXPECT_FALSE(defaults.objectForKey(analytics::kAPMDeepLinkKey).has_value());
  EXPECT_FALSE(defaults.objectForKey(analytics::kAPMDeepLinkTimestampKey).has_value());
  // Read again: nothing is left to report.
  engine_->scheduler()->dispatchSyncOnWorkerQueueBlockID("DeepLinkTest:1", [&] {
    APMDeepLinks().reportStoredCampaignEventOnWorkerQueue(*engine_, std::nullopt);
  });
  settle();
  EXPECT_EQ(seen("_cmp").size(), 1u);
}

TEST_F(DeepLinkEngineTest, ActivitiesAndTheWorkerQueue) {
  launchPlain();
  MonitorRecorder monitor;
  EXPECT_FALSE(APMDeepLinks::deepLinkFromActivity(nullptr));
  auto handoff = std::make_shared<ui::UserActivity>("com.example.handoff");
  handoff->webpage_url = fd::Url::parse("https://intranet.example/?utm_source=x");
  EXPECT_FALSE(APMDeepLinks::deepLinkFromActivity(handoff));
  auto web = std::make_shared<ui::UserActivity>(std::string(ui::activity_type_browsing_web));
  EXPECT_FALSE(APMDeepLinks::deepLinkFromActivity(web));  // no page address
  web->webpage_url = fd::Url::parse("https://intranet.example/page?utm_source=x");
  ASSERT_TRUE(APMDeepLinks::deepLinkFromActivity(web));
  EXPECT_EQ(APMDeepLinks::deepLinkFromActivity(web)->absolute_string(), "https://intranet.example/page?utm_source=x");

  engine_->scheduler()->dispatchSyncOnWorkerQueueBlockID("DeepLinkTest:2", [&] {
    APMDeepLinks().handleNonFirstOpenEventURL(*engine_, *fd::Url::parse("intranet://open?utm_source=w"), 2e9);
  });
  settle();
  EXPECT_TRUE(seen("_cmp").empty());
  const auto codes = monitor.codes();
  EXPECT_EQ(analytics_test::codeCount(codes, 23003), 1u);
  EXPECT_EQ(analytics_test::codeCount(codes, 23006), 2u);
  EXPECT_EQ(analytics_test::codeCount(codes, 23163), 1u);
}

TEST(DeepLinkSystemVersion, BelowNineThereAreNoDeepLinks) {
  platform::rt::Runtime::Scope scope;
  platform::testing::TempDevice device("deep-link-test", {});
  platform::os::DeviceProfile profile;
  profile.system_version = "8.4";
  ASSERT_TRUE(device.boot({.profile = profile}));
  analytics::APMAEU::resetForTesting();
  ui::register_runtime_classes();
  MonitorRecorder monitor;
  auto web = std::make_shared<ui::UserActivity>(std::string(ui::activity_type_browsing_web));
  web->webpage_url = fd::Url::parse("https://intranet.example/page");
  EXPECT_FALSE(APMDeepLinks::deepLinkFromActivity(web));
  EXPECT_EQ(analytics_test::codeCount(monitor.codes(), 23004), 1u);
  platform::dispatch::wait_until_idle();
}

}  // namespace
