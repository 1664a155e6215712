// The application-delegate interceptor in the app, through the core's
// delegate proxy: opened URLs (the legacy form, as the shell's delegate has no
// options form) and universal links reach the campaign road and the open-URL
// listener, the shell still handles its universal link, background-session
// events reach the network client, and with the proxy switched off nothing is
// registered. The app's first "_f" names the screen when the app is already active, and
// APMIsAppActive follows the application's state.
#include <algorithm>
#include <mutex>

#include "analytics/identity/environment.h"
#include "analytics/sessions/app_delegate_interceptor.h"
#include "app/image.h"
#include "core/app_delegate_swizzler.h"
#include "core/gul_network_url_session.h"
#include "tests/analytics/engine_support.h"
#include "testing/harness/harness.h"

namespace {

namespace fd = platform::foundation;
using analytics_test::EventListenerRecorder;
using analytics_test::SeenEvent;

class InterceptorAppTest : public ::testing::Test {
 protected:
  void launch(fd::Dict info = {}) {
    testing::HarnessOptions options;
    options.fakes = {testing::Fake::intranet, testing::Fake::push, testing::Fake::analytics};
    options.info = std::move(info);
    harness_ = std::make_unique<testing::Harness>(std::move(options));
    recorder_.emplace();
    harness_->boot_app(app::image());
    analytics::APMAnalytics::setOpenURLListener([state = listened_](const fd::Url& url) {
      std::lock_guard lock(state->mutex);
      state->urls.push_back(url.absolute_string());
    });
  }
  void TearDown() override {
    if (harness_) {
      analytics_test::drainEntry();
      platform::dispatch::wait_until_idle();
    }
  }
  std::vector<SeenEvent> seen(const std::string& name) {
    std::vector<SeenEvent> out;
    for (const auto& event : recorder_->events())
      if (event.name == name) out.push_back(event);
    return out;
  }
  bool waitFor(const std::string& name, std::size_t count) {
    return harness_->run_until([&] { return seen(name).size() >= count; });
  }
  std::vector<std::string> listenedURLs() {
    std::lock_guard lock(listened_->mutex);
    return listened_->urls;
  }
  static std::string text(const SeenEvent& event, const std::string& key) {
    const auto value = event.parameter(key);
    return value.string() ? *value.string() : std::string();
  }

  struct Listened {
    std::mutex mutex;
    std::vector<std::string> urls;
  };
  std::shared_ptr<Listened> listened_ = std::make_shared<Listened>();
  platform::rt::Runtime::Scope scope_;
  std::unique_ptr<testing::Harness> harness_;
  std::optional<EventListenerRecorder> recorder_;
};

TEST_F(InterceptorAppTest, OpenedURLsAndUniversalLinksBecomeCampaigns) {
  launch();
  ASSERT_TRUE(waitFor("_f", 1));
  EXPECT_EQ(core::GULAppDelegateSwizzler::interceptors().count(), 1u);
  const std::string opened = "intranet://open?utm_source=news&utm_medium=email";
  ASSERT_TRUE(harness_->device().open_url(opened).ok);
  ASSERT_TRUE(waitFor("_cmp", 1));
  const std::string link = "https://intranet.example.org/news?utm_source=mail&utm_campaign=spring";
  ASSERT_TRUE(harness_->device().universal_link(link).ok);
  ASSERT_TRUE(waitFor("_cmp", 2));
  // An activity of another kind gives no link.
  ASSERT_TRUE(harness_->device().universal_link(link, "com.example.handoff").ok);
  ASSERT_TRUE(harness_->run_until([&] { return listenedURLs().size() >= 2; }));
  analytics_test::drainEntry();

  const auto campaigns = seen("_cmp");
  ASSERT_EQ(campaigns.size(), 2u);
  EXPECT_EQ(text(campaigns[0], "source"), "news");
  EXPECT_EQ(text(campaigns[0], "medium"), "email");
  EXPECT_EQ(text(campaigns[1], "source"), "mail");
  EXPECT_EQ(text(campaigns[1], "campaign"), "spring");
  EXPECT_EQ(listenedURLs(), (std::vector<std::string>{opened, link}));
  EXPECT_NE(harness_->capture().out().find("universal link tapped"), std::string::npos);
}

TEST_F(InterceptorAppTest, BackgroundSessionEventsReachTheNetworkClient) {
  launch();
  ASSERT_TRUE(waitFor("_f", 1));
  const std::string session = "com.gul.network.background-upload.0F1E2D3C";
  auto& handlers = core::GULNetworkURLSession::sessionIDToSystemCompletionHandlerDictionary();
  EXPECT_FALSE(handlers.objectForKey(session).has_value());
  ASSERT_TRUE(harness_->device().background_session_events(session).ok);
  // The network client keeps the system's completion handler for the session.
  EXPECT_TRUE(handlers.objectForKey(session).has_value());
}

TEST_F(InterceptorAppTest, TheFirstOpenCarriesTheScreenAndActivityIsFollowed) {
  launch();
  ASSERT_TRUE(waitFor("_f", 1));
  // The first open is logged on the worker at component start, which may run
  // before or after the launch's activation; once active, it names the screen.
  const auto firstOpen = seen("_f")[0];
  if (!firstOpen.parameter("_sc").is_null()) {
    EXPECT_EQ(text(firstOpen, "_sc"), "ViewController");
    EXPECT_FALSE(firstOpen.parameter("_si").is_null());
  }
  EXPECT_TRUE(analytics::APMIsAppActive());
  ASSERT_TRUE(harness_->device().background().ok);
  EXPECT_FALSE(analytics::APMIsAppActive());
  ASSERT_TRUE(harness_->device().foreground().ok);
  EXPECT_TRUE(analytics::APMIsAppActive());
}

TEST_F(InterceptorAppTest, WithTheProxyOffNothingIsRegistered) {
  launch({{"DavidizeAppDelegateProxyEnabled", fd::Value(false)}});
  ASSERT_TRUE(waitFor("_f", 1));
  ASSERT_TRUE(harness_->device().open_url("intranet://open?utm_source=news").ok);
  analytics_test::drainEntry();
  harness_->run_until([] { return false; }, std::chrono::milliseconds(300));
  analytics_test::drainEntry();
  EXPECT_EQ(core::GULAppDelegateSwizzler::interceptors().count(), 0u);
  EXPECT_TRUE(seen("_cmp").empty());
}

}  // namespace
