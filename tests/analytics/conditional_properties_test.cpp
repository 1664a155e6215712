// Conditional user properties against a started engine with a real database
// and a manual clock: validation bounds, activation, time-out, expiry, the
// order of stored events, re-setting an active property, clearing, the
// query's wait and a failing record store.
#include "analytics/engine/conditional_properties.h"

#include <sqlite3.h>

#include <algorithm>
#include <future>
#include <string>
#include <vector>

#include "analytics/model/value.h"
#include "platform/testing/manual_clock.h"
#include "tests/analytics/purchase_support.h"
#include "tests/analytics/support.h"

namespace {

namespace fd = platform::foundation;
using analytics::APMConditionalUserProperty;
using analytics::APMConditionalUserPropertyController;
using analytics::APMConditionalUserPropertyRef;
using analytics::APMEvent;
using analytics::APMEventRef;
using analytics::APMMeasurement;
using analytics_test::MonitorRecorder;
using platform::testing::ManualClock;

constexpr double kCupStart = 1700000000.0;

APMEventRef cupEvent(const std::string& name) {
  return APMEvent::initWithOrigin("app", false, name, kCupStart, 0, fd::Dict{{"stage", fd::Value("x")}});
}

APMConditionalUserPropertyRef cupRecord(const std::string& value, const std::string& trigger, double timeout,
                                        double ttl) {
  auto record = std::make_shared<APMConditionalUserProperty>();
  record->setOrigin("app");
  record->setValue(analytics::APMValue::initWithString(fd::Value(value)));
  record->setTriggerEventName(trigger);
  record->setTriggerTimeout(timeout);
  record->setTimeToLive(ttl);
  record->setTriggeredEvent(cupEvent("cup_triggered_" + value));
  record->setTimedOutEvent(cupEvent("cup_timed_out_" + value));
  record->setExpiredEvent(cupEvent("cup_expired_" + value));
  return record;
}


class ConditionalPropertiesTest : public analytics_test::PurchaseEngineTest {
 protected:
  void SetUp() override {
    clock_ = ManualClock::install(kCupStart);
    boot();
    engine_ = startEngine();
    ASSERT_TRUE(engine_);
  }
  APMConditionalUserPropertyController& controller() { return *APMConditionalUserPropertyController::sharedInstance(); }
  void set(const APMConditionalUserPropertyRef& record, const std::string& name) {
    controller().setConditionalUserProperty(record, name);
    analytics_test::drainWorker(*engine_);
  }
  // Logs a public event through the engine's intake and waits for it.
  void process(const std::string& name) {
    engine_->logEvent(APMEvent::initWithOrigin("app", true, name, clock_->now_since_1970(), 0, {}));
    analytics_test::drainWorker(*engine_);
  }
  // The stored names from the first one of the test's own events on.
  std::vector<std::string> cupNames() {
    std::vector<std::string> names;
    for (const auto& name : analytics_test::storedNames(*engine_)) {
      if (name.rfind("cup_", 0) == 0 || name.rfind("go", 0) == 0 || name == "tick") names.push_back(name);
    }
    return names;
  }
  APMConditionalUserPropertyRef stored(const std::string& name) {
    APMConditionalUserPropertyRef record;
    engine_->scheduler()->dispatchSyncOnWorkerQueueBlockID("PurchaseTest:3", [&] {
      record = engine_->database()->conditionalUserPropertyWithName(name, nullptr);
    });
    return record;
  }

  std::shared_ptr<ManualClock> clock_;
  std::shared_ptr<APMMeasurement> engine_;
};

TEST_F(ConditionalPropertiesTest, TimeoutAndTimeToLiveBoundsAreInclusive) {
  const struct {
    double timeout;
    double ttl;
    bool valid;
    std::int64_t code;
  } cases[] = {
      {0.0005, 60, false, 11000}, {15552001, 60, false, 11000}, {0.001, 60, true, 0},  {15552000, 60, true, 0},
      {60, 0.0005, false, 11001}, {60, 15552001, false, 11001}, {60, 0.001, true, 0}, {60, 15552000, true, 0},
  };
  for (const auto& c : cases) {
    MonitorRecorder monitor;
    auto record = cupRecord("gold", "go", c.timeout, c.ttl);
    record->setName("level");
    EXPECT_EQ(analytics::APMIsValidConditionalUserProperty(*record), c.valid) << c.timeout << " " << c.ttl;
    if (c.code) {
      EXPECT_TRUE(analytics_test::monitorCount(monitor, c.code) > 0) << c.timeout << " " << c.ttl;
    }
  }
  // A rejected record is never stored.
  set(cupRecord("gold", "go", 0.0005, 60), "level");
  EXPECT_EQ(stored("level"), nullptr);
}

TEST_F(ConditionalPropertiesTest, AnEmptyTriggerActivatesAtOnceWithTheCreationTime) {
  set(cupRecord("gold", "", 60, 3600), "level");
  const auto record = stored("level");
  ASSERT_TRUE(record);
  EXPECT_TRUE(record->isActive());
  EXPECT_EQ(record->triggeredTimestamp(), kCupStart);
  const auto attribute = analytics_test::storedUserAttribute(*engine_, "level");
  ASSERT_TRUE(attribute);
  EXPECT_EQ(attribute->value()->stringValue(), "gold");
  EXPECT_EQ(attribute->lastSetTimestamp(), kCupStart);
  const auto triggered = analytics_test::storedEventsNamed(*engine_, "cup_triggered_gold");
  ASSERT_EQ(triggered.size(), 1u);
  EXPECT_EQ(triggered[0].timestamp, kCupStart);
  EXPECT_EQ(triggered[0].origin, "app");
  EXPECT_EQ(triggered[0].parameter("stage"), fd::Value("x"));
}

TEST_F(ConditionalPropertiesTest, ATriggerAfterTheTimeoutTimesOutInsteadOfActivating) {
  set(cupRecord("gold", "go", 10, 3600), "level");
  ASSERT_TRUE(stored("level"));
  EXPECT_FALSE(stored("level")->isActive());
  clock_->advance(platform::dispatch::Duration(11));
  process("go");
  EXPECT_EQ(cupNames(), (std::vector<std::string>{"cup_timed_out_gold", "go"}));
  EXPECT_EQ(stored("level"), nullptr);
  EXPECT_EQ(analytics_test::storedUserAttribute(*engine_, "level"), nullptr);
  const auto timedOut = analytics_test::storedEventsNamed(*engine_, "cup_timed_out_gold");
  ASSERT_EQ(timedOut.size(), 1u);
  EXPECT_EQ(timedOut[0].timestamp, kCupStart + 11);
}

TEST_F(ConditionalPropertiesTest, OneProcessedEventStoresTimeoutsExpiriesTheEventThenTriggers) {
  set(cupRecord("b", "", 60, 5), "expiring");        // active, lives 5 s
  set(cupRecord("a", "never", 1, 3600), "waiting");  // pending, times out after 1 s
  clock_->advance(platform::dispatch::Duration(6));
  set(cupRecord("c", "go", 100, 3600), "ready");     // pending, triggered by "go"
  process("go");
  EXPECT_EQ(cupNames(), (std::vector<std::string>{"cup_triggered_b", "cup_timed_out_a", "cup_expired_b", "go",
                                                  "cup_triggered_c"}));
  EXPECT_EQ(analytics_test::storedUserAttribute(*engine_, "expiring"), nullptr);
  EXPECT_EQ(stored("expiring"), nullptr);
  EXPECT_EQ(stored("waiting"), nullptr);
  const auto ready = stored("ready");
  ASSERT_TRUE(ready);
  EXPECT_TRUE(ready->isActive());
  EXPECT_EQ(ready->triggeredTimestamp(), kCupStart + 6);
  const auto attribute = analytics_test::storedUserAttribute(*engine_, "ready");
  ASSERT_TRUE(attribute);
  EXPECT_EQ(attribute->value()->stringValue(), "c");

  // Any later event expires an active property once its time to live passed.
  clock_->advance(platform::dispatch::Duration(3601));
  process("tick");
  EXPECT_EQ(analytics_test::storedUserAttribute(*engine_, "ready"), nullptr);
  EXPECT_EQ(cupNames().back(), "tick");
  EXPECT_EQ(cupNames()[cupNames().size() - 2], "cup_expired_c");
}

TEST_F(ConditionalPropertiesTest, SettingAgainWhileActiveKeepsTheTriggeredTime) {
  set(cupRecord("gold", "", 60, 10), "level");
  clock_->advance(platform::dispatch::Duration(5));
  set(cupRecord("silver", "", 60, 10), "level");
  const auto record = stored("level");
  ASSERT_TRUE(record);
  EXPECT_TRUE(record->isActive());
  EXPECT_EQ(record->triggeredTimestamp(), kCupStart);
  EXPECT_EQ(record->creationTimestamp(), kCupStart);
  // The property is written again only for a record marked active by its caller.
  EXPECT_EQ(analytics_test::storedUserAttribute(*engine_, "level")->value()->stringValue(), "gold");
  // Only the first setting activated it.
  EXPECT_EQ(analytics_test::storedEventsNamed(*engine_, "cup_triggered_silver").size(), 0u);
  // The expiry counts from the first activation: 11 s after it, not 6 s after the second set.
  clock_->advance(platform::dispatch::Duration(6));
  process("tick");
  EXPECT_EQ(stored("level"), nullptr);
  EXPECT_EQ(analytics_test::storedEventsNamed(*engine_, "cup_expired_silver").size(), 1u);
}

TEST_F(ConditionalPropertiesTest, ClearingDeletesAndLogsTheClearEventButNotForAnAbsentName) {
  MonitorRecorder monitor;
  controller().clearConditionalUserPropertyWithClearEvent(cupEvent("cup_cleared"), "absent");
  analytics_test::drainWorker(*engine_);
  EXPECT_TRUE(analytics_test::monitorCount(monitor, 11018) > 0);
  EXPECT_TRUE(analytics_test::storedEventsNamed(*engine_, "cup_cleared").empty());

  set(cupRecord("gold", "", 60, 3600), "level");
  clock_->advance(platform::dispatch::Duration(2));
  controller().clearConditionalUserPropertyWithClearEvent(cupEvent("cup_cleared"), "level");
  analytics_test::drainWorker(*engine_);
  EXPECT_EQ(stored("level"), nullptr);
  EXPECT_EQ(analytics_test::storedUserAttribute(*engine_, "level"), nullptr);
  const auto cleared = analytics_test::storedEventsNamed(*engine_, "cup_cleared");
  ASSERT_EQ(cleared.size(), 1u);
  EXPECT_EQ(cleared[0].timestamp, kCupStart + 2);
}

TEST_F(ConditionalPropertiesTest, TheQueryGivesUpAfterThirtySecondsAndRunsInlineOnTheWorker) {
  set(cupRecord("gold", "", 60, 3600), "level");
  const auto found = controller().conditionalUserPropertiesWithNamePrefix(fd::Value("lev"), fd::Value());
  ASSERT_TRUE(found);
  ASSERT_EQ(found->size(), 1u);
  EXPECT_EQ((*found)[0]->name(), "level");
  {
    MonitorRecorder monitor;
    EXPECT_FALSE(controller().conditionalUserPropertiesWithNamePrefix(fd::Value(7), fd::Value()));
    EXPECT_TRUE(analytics_test::monitorCount(monitor, 11003) > 0);
  }

  // On the worker itself: answered inline, no wait on itself.
  std::optional<std::vector<APMConditionalUserPropertyRef>> inline_;
  engine_->scheduler()->dispatchSyncOnWorkerQueueBlockID("PurchaseTest:4", [&] {
    inline_ = controller().conditionalUserPropertiesWithNamePrefix(fd::Value("lev"), fd::Value("app"));
  });
  ASSERT_TRUE(inline_);
  EXPECT_EQ(inline_->size(), 1u);

  // A blocked worker: the query yields nil once 30 s passed on the clock.
  std::promise<void> release;
  auto released = release.get_future().share();
  std::promise<void> blocking;
  engine_->scheduler()->scheduleOnWorkerQueueBlockID("PurchaseTest:5", [&blocking, released] {
    blocking.set_value();
    released.wait();
  });
  blocking.get_future().wait();
  auto query = std::async(std::launch::async, [&] {
    return controller().conditionalUserPropertiesWithNamePrefix(fd::Value("lev"), fd::Value());
  });
  const auto deadline = std::chrono::steady_clock::now() + analytics_test::kEngineHang;
  while (query.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready &&
         std::chrono::steady_clock::now() < deadline) {
    // Without settling: the blocked worker never goes idle.
    clock_->advance_without_settling(platform::dispatch::Duration(1));
  }
  ASSERT_EQ(query.wait_for(std::chrono::seconds(0)), std::future_status::ready);
  EXPECT_FALSE(query.get());
  release.set_value();
  analytics_test::drainWorker(*engine_);
}

TEST_F(ConditionalPropertiesTest, AFailedRecordStoreChangesNothing) {
  engine_->scheduler()->dispatchSyncOnWorkerQueueBlockID("PurchaseTest:6", [&] {
    sqlite3* handle = engine_->database()->sqliteStore()->sqliteHandle();
    ASSERT_EQ(sqlite3_exec(handle,
                           "CREATE TEMP TRIGGER cup_fail_insert BEFORE INSERT ON conditional_properties "
                           "BEGIN SELECT RAISE(ABORT, 'injected'); END;",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
  });
  MonitorRecorder monitor;
  set(cupRecord("gold", "", 60, 3600), "level");
  EXPECT_TRUE(analytics_test::monitorCount(monitor, 11014) > 0);
  EXPECT_EQ(stored("level"), nullptr);
  // The user property written before the failure was rolled back, and no event logged.
  EXPECT_EQ(analytics_test::storedUserAttribute(*engine_, "level"), nullptr);
  EXPECT_TRUE(analytics_test::storedEventsNamed(*engine_, "cup_triggered_gold").empty());
}

}  // namespace
