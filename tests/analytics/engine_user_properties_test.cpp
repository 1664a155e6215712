// The engine's user properties: the public cap of 25 and the per-origin cap,
// updates of stored names, queries whose database read fails, and the
// maximum per origin; callbacks always come off the worker.
#include <future>
#include <string>
#include <vector>

#include "analytics/model/value.h"
#include "platform/dispatch/queue.h"
#include "tests/analytics/engine_intake_support.h"

namespace {

namespace fd = platform::foundation;
using analytics::APMUserAttribute;
using analytics::APMValue;
using analytics_test::MonitorRecorder;

std::ptrdiff_t propertyCountOf(const std::vector<std::int64_t>& codes, std::int64_t code) {
  return std::count(codes.begin(), codes.end(), code);
}

class AnalyticsUserPropertiesTest : public analytics_test::StartedEngineTest {
 protected:
  void set(const std::string& origin, const std::string& name, const std::string& value) {
    auto attribute = APMUserAttribute::initWithOrigin(origin, name, APMValue::initWithString(fd::Value(value)),
                                                      clock_->now_since_1970());
    ASSERT_TRUE(attribute) << name;
    engine_->setUserAttribute(attribute);
  }
  // The stored properties (with the internal ones when asked), and the
  // label of the queue the callback ran on.
  std::pair<fd::Dict, std::string> properties(bool includeInternal) {
    settle();
    auto answer = std::make_shared<std::promise<std::pair<fd::Dict, std::string>>>();
    auto future = answer->get_future();
    engine_->userPropertiesIncludingInternal(includeInternal, [answer](fd::Dict properties) {
      answer->set_value({std::move(properties), platform::dispatch::Queue::current_label()});
    });
    EXPECT_EQ(future.wait_for(analytics_test::kEngineHang), std::future_status::ready);
    return future.get();
  }
  std::string workerLabel() {
    std::string label;
    onWorker([&] { label = platform::dispatch::Queue::current_label(); });
    return label;
  }
};

TEST_F(AnalyticsUserPropertiesTest, The26thPublicNameIsRefusedWhileTheStoredOnesStillUpdate) {
  startEngine();
  for (int i = 0; i < 25; ++i) set("app", "prop_" + std::to_string(i), "v");
  EXPECT_EQ(properties(false).first.size(), 25u);

  MonitorRecorder monitor;
  set("app", "prop_25", "v");
  set("app", "prop_3", "updated");
  auto [stored, label] = properties(false);
  EXPECT_EQ(stored.size(), 25u);
  EXPECT_FALSE(stored.contains("prop_25"));
  EXPECT_EQ(stored.get("prop_3"), fd::Value("updated"));
  EXPECT_EQ(propertyCountOf(monitor.codes(), 23084), 1);
  EXPECT_EQ(errorCodes(), std::vector<std::int64_t>{9});
  EXPECT_NE(label, workerLabel());
}

TEST_F(AnalyticsUserPropertiesTest, NonPublicNamesAreCappedPerOrigin) {
  startEngine();
  // The start's own properties ("_fot" ...) count against origin "auto".
  std::int64_t automatic = 0;
  onWorker([&] {
    analytics_test::RawSqlite file(databaseFile());
    automatic = std::stoll(file.one("SELECT COUNT(*) FROM user_attributes WHERE origin = 'auto'"));
  });
  ASSERT_LT(automatic, 25);
  for (std::int64_t i = automatic; i < 25; ++i) set("auto", "_p" + std::to_string(i), "v");
  MonitorRecorder monitor;
  set("auto", "_over_the_cap", "v");
  set("auto", "_p24", "updated");
  set("fa", "_other_origin", "v");
  const auto stored = properties(true).first;
  EXPECT_FALSE(stored.contains("_over_the_cap"));
  EXPECT_EQ(stored.get("_p24"), fd::Value("updated"));
  EXPECT_TRUE(stored.contains("_other_origin"));
  EXPECT_EQ(propertyCountOf(monitor.codes(), 23084), 1);
  EXPECT_EQ(errorCodes(), std::vector<std::int64_t>{9});
}

TEST_F(AnalyticsUserPropertiesTest, AFailedReadStillCallsBackOffTheWorker) {
  startEngine();
  set("app", "color", "blue");
  settle();
  onWorker([] {
    analytics_test::RawSqlite file(databaseFile());
    file.exec("DROP TABLE user_attributes");
  });
  MonitorRecorder monitor;
  auto [stored, label] = properties(true);
  EXPECT_TRUE(stored.empty());
  EXPECT_NE(label, workerLabel());

  auto one = std::make_shared<std::promise<std::pair<bool, std::string>>>();
  auto future = one->get_future();
  engine_->userAttributeWithName("color", [one](analytics::APMUserAttributeRef attribute) {
    one->set_value({attribute != nullptr, platform::dispatch::Queue::current_label()});
  });
  ASSERT_EQ(future.wait_for(analytics_test::kEngineHang), std::future_status::ready);
  const auto [found, oneLabel] = future.get();
  EXPECT_FALSE(found);
  EXPECT_NE(oneLabel, workerLabel());
  const auto codes = monitor.codes();
  EXPECT_EQ(propertyCountOf(codes, 23091), 1);
  EXPECT_EQ(propertyCountOf(codes, 23089), 1);
}

TEST_F(AnalyticsUserPropertiesTest, TheMaximumIs25ForEveryOriginAndNothingForAnEmptyOne) {
  startEngine();
  MonitorRecorder monitor;
  for (const std::string origin : {"app", "auto", "fcm", "some+gtm"}) {
    auto answer = std::make_shared<std::promise<std::int64_t>>();
    auto future = answer->get_future();
    engine_->maxUserPropertiesForOrigin(origin, [answer](std::int64_t max) { answer->set_value(max); });
    ASSERT_EQ(future.wait_for(analytics_test::kEngineHang), std::future_status::ready) << origin;
    EXPECT_EQ(future.get(), 25) << origin;
  }
  bool called = false;
  engine_->maxUserPropertiesForOrigin("", [&](std::int64_t) { called = true; });
  engine_->maxUserPropertiesForOrigin("app", {});
  platform::dispatch::wait_until_idle();
  EXPECT_FALSE(called);
  const auto codes = monitor.codes();
  EXPECT_EQ(propertyCountOf(codes, 23093), 1);
  EXPECT_EQ(propertyCountOf(codes, 23094), 1);
}

}  // namespace
