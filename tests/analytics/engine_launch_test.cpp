// The app's launch starts analytics: booting the app image through the
// harness runs the app core's configure, which starts the engine by name.
#include <algorithm>
#include <vector>

#include "analytics/engine/measurement.h"
#include "app/image.h"
#include "testing/harness/harness.h"
#include "tests/analytics/support.h"

namespace {

TEST(AnalyticsEngineLaunch, BootingTheAppStartsAnalyticsThroughConfigure) {
  testing::Harness h({.fakes = {testing::Fake::push}});
  analytics_test::MonitorRecorder monitor;
  h.boot_app(app::image());
  const auto seen = [&](std::int64_t code) {
    const auto codes = monitor.codes();
    return std::find(codes.begin(), codes.end(), code) != codes.end();
  };
  EXPECT_TRUE(h.run_until([&] { return seen(23007) && seen(23016); }));
  const auto engine = analytics::APMMeasurement::sharedInstance();
  ASSERT_TRUE(engine);
  EXPECT_TRUE(engine->isEnabled());
  // The app ID of the service property list the harness wrote.
  EXPECT_EQ(engine->appID(), "1:123456789012:ios:0123456789abcdef");
  platform::dispatch::wait_until_idle();
}

}  // namespace
