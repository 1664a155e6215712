// The engine's app-state handling: the background task and upload on resign,
// its end on return, the configuration refresh on activation, the launch link
// and the network log bridge.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analytics/support/user_defaults.h"
#include "analytics/upload/config_fetch.h"
#include "platform/foundation/notification.h"
#include "platform/ui/application.h"
#include "tests/analytics/upload_support.h"

namespace {

namespace fd = platform::foundation;
namespace ui = platform::ui;
using analytics_test::drainWorker;
using analytics_test::kTestAppID;
using analytics_test::MonitorRecorder;
using analytics_test::uploadBundle;
using analytics_test::uploadConfigBytes;

std::size_t appStateCount(const MonitorRecorder& monitor, std::int64_t code) {
  const auto codes = monitor.codes();
  return static_cast<std::size_t>(std::count(codes.begin(), codes.end(), code));
}

void appStatePost(std::string_view name) { fd::NotificationCenter::default_center().post(std::string(name)); }

class AppState : public analytics_test::UploadRoadTest {
 protected:
  // Applies a configuration of these settings through a fetch.
  void applySettings(const std::vector<std::pair<std::string, std::string>>& settings) {
    collector().set_config(uploadConfigBytes(std::string(kTestAppID), 2, settings), "");
    onWorker([&] { analytics::APMFetchRemoteConfig(engine()); });
    ASSERT_TRUE(settle(collector().count() + 1));
    ASSERT_EQ(engine().instanceRemoteConfig()->version(), 2);
  }
  std::size_t tasks() { return ui::Application::shared()->active_background_tasks(); }
};

TEST_F(AppState, ResignBeginsTheTaskAndUploadsASecondEndsTheFirstForegroundEndsIt) {
  firstContact();
  ASSERT_TRUE(insertBundle(uploadBundle(std::string(kTestAppID), clock_->now_since_1970() - 10)));
  const std::size_t posts = collector().upload_count();
  MonitorRecorder monitor;
  appStatePost(ui::notification_name::will_resign_active);
  EXPECT_EQ(appStateCount(monitor, 23144), 1u);
  EXPECT_EQ(appStateCount(monitor, 23145), 1u);
  EXPECT_EQ(tasks(), 1u);
  const std::uint64_t first = engine().backgroundUpdateTask();
  EXPECT_NE(first, ui::background_task_invalid);
  ASSERT_TRUE(harness().run_until([&] { return collector().upload_count() == posts + 1 && !pending(); }));

  appStatePost(ui::notification_name::will_resign_active);
  EXPECT_EQ(appStateCount(monitor, 23142), 1u);
  EXPECT_EQ(tasks(), 1u);
  EXPECT_NE(engine().backgroundUpdateTask(), first);

  appStatePost(ui::notification_name::will_enter_foreground);
  EXPECT_EQ(appStateCount(monitor, 23142), 2u);
  EXPECT_EQ(tasks(), 0u);
  EXPECT_EQ(engine().backgroundUpdateTask(), ui::background_task_invalid);
}

TEST_F(AppState, WithBackgroundUploadOffResignOnlyFlushes) {
  firstContact();
  applySettings({{"measurement.upload.upload_when_app_in_background_enabled", "0"}});
  ASSERT_TRUE(insertBundle(uploadBundle(std::string(kTestAppID), clock_->now_since_1970() - 10)));
  const std::size_t requests = collector().count();
  MonitorRecorder monitor;
  appStatePost(ui::notification_name::will_resign_active);
  drainWorker(engine());
  EXPECT_EQ(appStateCount(monitor, 23144), 0u);
  EXPECT_EQ(tasks(), 0u);
  EXPECT_FALSE(harness().run_until([&] { return collector().count() > requests; }, std::chrono::milliseconds(300)));
}

TEST_F(AppState, BecomeActiveRefreshesAStaleConfiguration) {
  firstContact();
  struct Case {
    const char* name;
    bool flag;
    std::chrono::hours age;
    bool busy;
    bool fetched;
  };
  const std::vector<Case> cases = {
      {"flag off, stale", false, std::chrono::hours(24 * 8), false, false},
      {"flag on, fresh", true, std::chrono::hours(24), false, false},
      {"flag on, stale", true, std::chrono::hours(24 * 8), false, true},
      {"flag on, stale, request pending", true, std::chrono::hours(24 * 8), true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    applySettings({{"measurement.upload.blacklist_internal", c.flag ? "1" : "0"}});
    clock_->advance(c.age);
    if (c.busy) onWorker([&] { engine().setIsNetworkRequestPending(true); });
    const std::size_t fetches = collector().config_fetch_count();
    MonitorRecorder monitor;
    appStatePost(ui::notification_name::did_become_active);
    drainWorker(engine());
    if (c.fetched) {
      ASSERT_TRUE(harness().run_until([&] { return collector().config_fetch_count() == fetches + 1 && !pending(); }));
    } else {
      EXPECT_FALSE(harness().run_until([&] { return collector().config_fetch_count() > fetches; },
                                       std::chrono::milliseconds(200)));
    }
    EXPECT_EQ(appStateCount(monitor, 23143), c.busy ? 1u : 0u);
    if (c.busy) onWorker([&] { engine().setIsNetworkRequestPending(false); });
    settle(0);
  }
}

// A campaign seam whose activities all give one link.
class AppStateCampaigns : public analytics::APMCampaignsSeam {
 public:
  void handleNonFirstOpenEventURL(analytics::APMMeasurement&, const fd::Url&, double) override {}
  std::optional<fd::Url> deepLinkFromUserActivity(const std::shared_ptr<ui::UserActivity>& activity) override {
    if (!activity) return std::nullopt;
    return fd::Url::parse("https://intranet.example.org/from-activity");
  }
  void reportStoredCampaignEventOnWorkerQueue(analytics::APMMeasurement&, std::optional<double>) override {}
};

TEST_F(AppState, ALaunchStoresTheActivityLinkBeforeTheURL) {
  analytics::APMMeasurement::load();  // the load hook observes the launch
  auto& defaults = analytics::APMUserDefaults::standardUserDefaults();
  const auto activity = std::make_shared<ui::UserActivity>(std::string(ui::activity_type_browsing_web));
  const fd::Value url = fd::Value::object(std::make_shared<fd::Url>(*fd::Url::parse("https://intranet.example.org/from-url")));
  const fd::Dict activities{{std::string(ui::launch_key::user_activity), fd::Value::object(activity)}};
  struct Case {
    const char* name;
    bool campaigns;
    fd::Dict options;
    std::string stored;
  };
  const std::vector<Case> cases = {
      {"activity and URL: the activity's link", true,
       fd::Dict{{std::string(ui::launch_key::user_activity_dictionary), activities},
                {std::string(ui::launch_key::url), url}},
       "https://intranet.example.org/from-activity"},
      {"no campaign seam: the URL", false,
       fd::Dict{{std::string(ui::launch_key::user_activity_dictionary), activities},
                {std::string(ui::launch_key::url), url}},
       "https://intranet.example.org/from-url"},
      {"no options: nothing", true, fd::Dict{}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    defaults.setObject(std::nullopt, analytics::kAPMDeepLinkKey);
    defaults.setObject(std::nullopt, analytics::kAPMDeepLinkTimestampKey);
    analytics::APMInstallCampaignsSeam(c.campaigns ? std::make_shared<AppStateCampaigns>() : nullptr);
    fd::NotificationCenter::default_center().post(std::string(ui::notification_name::did_finish_launching), nullptr,
                                                  c.options);
    const auto link = defaults.objectForKey(analytics::kAPMDeepLinkKey);
    EXPECT_EQ(link && link->string() ? *link->string() : std::string(), c.stored);
    const auto when = defaults.objectForKey(analytics::kAPMDeepLinkTimestampKey);
    if (c.stored.empty()) {
      EXPECT_FALSE(when);
    } else {
      ASSERT_TRUE(when);
      EXPECT_EQ(when->as_double(), clock_->now_since_1970());
    }
  }
  analytics::APMInstallCampaignsSeam(nullptr);
}

TEST_F(AppState, NetworkMessagesReachTheMonitorAtMappedLevels) {
  const std::vector<std::pair<std::int64_t, std::int64_t>> levels = {{3, 1}, {4, 4}, {5, 3}, {6, 6}, {7, 7}, {9, 3}, {0, 3}};
  for (const auto& [network, expected] : levels) {
    MonitorRecorder monitor;
    engine().GULNetwork_logWithLevel(static_cast<core::GULNetworkLogLevel>(network),
                                     static_cast<core::GULNetworkMessageCode>(901001), "net text",
                                     fd::Value("ctx"));
    const auto calls = monitor.calls();
    ASSERT_EQ(calls.size(), 1u) << network;
    EXPECT_EQ(calls[0].level, expected) << network;
    EXPECT_EQ(calls[0].code, 901001);
    EXPECT_EQ(calls[0].message, "net text");
    EXPECT_EQ(calls[0].contexts, fd::Array{fd::Value("ctx")});
  }
}

}  // namespace
