// The worker scheduler (ordering, synchronous dispatch, nil blocks, the
// background-thread check) and the named one-shot alarm under a manual clock.
#include <atomic>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "analytics/config/scheduler.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/queue.h"
#include "platform/testing/manual_clock.h"
#include "platform/testing/reset.h"
#include "tests/analytics/support.h"

namespace {

namespace fd = platform::foundation;
using analytics::APMAlarm;
using analytics::APMScheduler;
using analytics_test::MonitorRecorder;
using platform::dispatch::Queue;
using platform::testing::ManualClock;
using namespace std::chrono_literals;

constexpr std::chrono::seconds kHang{30};

class AnalyticsSchedulerTest : public analytics_test::AnalyticsUnbootedTest {};

TEST_F(AnalyticsSchedulerTest, AsyncBlocksRunInOrderOnTheWorkerQueue) {
  APMScheduler scheduler(APMScheduler::kWorkerQueueLabel);
  EXPECT_EQ(scheduler.workerQueue().label(), "com.dozada.fira.worker");
  std::mutex mutex;
  std::vector<int> order;
  std::vector<std::string> labels;
  std::promise<void> done;
  for (int i = 0; i < 50; ++i) {
    scheduler.scheduleOnWorkerQueueBlockID("APMSchedulerTest:1", [&, i] {
      std::lock_guard lock(mutex);
      order.push_back(i);
      labels.push_back(Queue::current_label());
      if (i == 49) done.set_value();
    });
  }
  ASSERT_EQ(done.get_future().wait_for(kHang), std::future_status::ready);
  std::lock_guard lock(mutex);
  ASSERT_EQ(order.size(), 50u);
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
    EXPECT_EQ(labels[static_cast<std::size_t>(i)], "com.dozada.fira.worker");
  }
}

TEST_F(AnalyticsSchedulerTest, SyncReturnsAfterTheBlockAndRunsInlineFromTheWorker) {
  MonitorRecorder recorder;
  APMScheduler scheduler(APMScheduler::kWorkerQueueLabel);
  // Queued work first: the synchronous block waits behind it.
  std::atomic<int> step{0};
  scheduler.scheduleOnWorkerQueueBlockID("APMSchedulerTest:2", [&] { step = 1; });
  std::string label;
  scheduler.dispatchSyncOnWorkerQueueBlockID("APMSchedulerTest:3", [&] {
    EXPECT_EQ(step.load(), 1);
    step = 2;
    label = Queue::current_label();
  });
  EXPECT_EQ(step.load(), 2);
  EXPECT_EQ(label, "com.dozada.fira.worker");

  // From the worker itself: inline, and done when the call returns.
  std::promise<bool> nested;
  scheduler.scheduleOnWorkerQueueBlockID("APMSchedulerTest:4", [&] {
    bool ran = false;
    scheduler.dispatchSyncOnWorkerQueueBlockID("APMSchedulerTest:5", [&] { ran = true; });
    nested.set_value(ran);
  });
  auto future = nested.get_future();
  ASSERT_EQ(future.wait_for(kHang), std::future_status::ready);
  EXPECT_TRUE(future.get());
  EXPECT_TRUE(recorder.codes().empty());
}

TEST_F(AnalyticsSchedulerTest, NilBlocksAndTheMainThreadCheckLog) {
  MonitorRecorder recorder;
  APMScheduler scheduler(APMScheduler::kWorkerQueueLabel);
  scheduler.scheduleOnWorkerQueueBlockID("APMSchedulerTest:6", nullptr);
  scheduler.dispatchSyncOnWorkerQueueBlockID("APMSchedulerTest:7", nullptr);
  ASSERT_TRUE(platform::dispatch::is_main_thread());
  EXPECT_FALSE(APMScheduler::checkOnBackgroundThreadWithMethodName(""));
  EXPECT_FALSE(APMScheduler::checkOnBackgroundThreadWithMethodName("startMeasurementOnWorkerQueue"));
  std::promise<bool> background;
  Queue::global().async([&] { background.set_value(APMScheduler::checkOnBackgroundThreadWithMethodName("x")); });
  EXPECT_TRUE(background.get_future().get());

  const auto calls = recorder.calls();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0].code, 30005);
  EXPECT_EQ(calls[0].level, 1);
  EXPECT_EQ(calls[0].message, "Nil block dispatched asynchronously on worker queue. Block ID=%@.");
  EXPECT_EQ(calls[0].contexts, (fd::Array{fd::Value("APMSchedulerTest:6")}));
  EXPECT_EQ(calls[1].code, 30002);
  EXPECT_EQ(calls[1].contexts, (fd::Array{fd::Value("APMSchedulerTest:7")}));
  EXPECT_EQ(calls[2].code, 30001);
  EXPECT_EQ(calls[2].message, "Method <empty method name> should execute on background thread");
  EXPECT_EQ(calls[3].message, "Method startMeasurementOnWorkerQueue should execute on background thread");
}

// ---- alarms ------------------------------------------------------------------------

class AnalyticsAlarmTest : public analytics_test::AnalyticsUnbootedTest {
 protected:
  void SetUp() override { clock_ = ManualClock::install(); }
  void TearDown() override {
    AnalyticsUnbootedTest::TearDown();
    platform::testing::reset();
  }
  double now() const { return clock_->now_since_1970(); }
  // Codes of the alarm's own messages (2000-2004), in order.
  static std::vector<std::int64_t> alarmCodes(const MonitorRecorder& recorder) {
    std::vector<std::int64_t> codes;
    for (auto code : recorder.codes()) {
      if (code >= 2000 && code <= 2004) codes.push_back(code);
    }
    return codes;
  }

  std::shared_ptr<ManualClock> clock_;
  Queue queue_ = Queue::serial("APMAlarmTest");
};

TEST_F(AnalyticsAlarmTest, ReArmingFiresOnceAfterTheSecondDelay) {
  MonitorRecorder recorder;
  APMAlarm alarm(queue_, "Measurement timer");
  std::atomic<int> fired{0};
  const double start = now();
  alarm.runAfterDelay(10, [&] { ++fired; });
  clock_->advance(5s);
  alarm.runAfterDelay(20, [&] { ++fired; });
  EXPECT_EQ(alarm.scheduledTimestamp(), start + 25);
  EXPECT_TRUE(alarm.hasActiveTimer());
  clock_->advance(10s);  // the first arming's time has passed
  EXPECT_EQ(fired.load(), 0);
  clock_->advance(9900ms);
  EXPECT_EQ(fired.load(), 0);
  clock_->advance(100ms);
  EXPECT_EQ(fired.load(), 1);
  clock_->advance(60s);
  EXPECT_EQ(fired.load(), 1);
  EXPECT_FALSE(alarm.scheduledTimestamp());
  EXPECT_FALSE(alarm.hasActiveTimer());
  // armed, re-arm (cancel + armed), fired, canceled by the fire step
  EXPECT_EQ(alarmCodes(recorder), (std::vector<std::int64_t>{2002, 2003, 2002, 2001, 2003}));
  const auto calls = recorder.calls();
  EXPECT_EQ(calls[0].message, "Measurement timer scheduled to fire in approx. (s)");
  EXPECT_EQ(calls[0].contexts, (fd::Array{fd::Value(10.0)}));
}

TEST_F(AnalyticsAlarmTest, FireStepCancelsBeforeTheBlockWhichMayReArm) {
  MonitorRecorder recorder;
  APMAlarm alarm(queue_, "");
  EXPECT_EQ(alarm.name(), "Timer");
  std::vector<std::optional<double>> insideTimestamps;
  std::vector<std::string> labels;
  std::function<void()> block = [&] {
    insideTimestamps.push_back(alarm.scheduledTimestamp());
    labels.push_back(Queue::current_label());
    if (insideTimestamps.size() == 1) alarm.runAfterDelay(3, block);
  };
  alarm.runAfterDelay(2, block);
  recorder.clear();
  clock_->advance(2s);
  ASSERT_EQ(insideTimestamps.size(), 1u);
  EXPECT_EQ(insideTimestamps[0], std::nullopt);
  EXPECT_EQ(alarmCodes(recorder), (std::vector<std::int64_t>{2001, 2003, 2002}));
  EXPECT_EQ(recorder.calls()[0].message, "Timer fired");
  EXPECT_EQ(recorder.calls()[1].message, "Timer canceled");
  EXPECT_TRUE(alarm.scheduledTimestamp());
  clock_->advance(3s);
  EXPECT_EQ(insideTimestamps.size(), 2u);
  EXPECT_EQ(labels, (std::vector<std::string>{"APMAlarmTest", "APMAlarmTest"}));
}

TEST_F(AnalyticsAlarmTest, CancelAndNilBlock) {
  MonitorRecorder recorder;
  APMAlarm alarm(queue_, "Session timer");
  alarm.cancel();  // idle: nothing at all
  EXPECT_TRUE(recorder.codes().empty());

  std::atomic<bool> ran{false};
  alarm.runAfterDelay(5, [&] { ran = true; });
  alarm.runAfterDelay(1, nullptr);  // leaves the armed alarm armed
  EXPECT_TRUE(alarm.hasActiveTimer());
  EXPECT_EQ(alarm.scheduledTimestamp(), now() + 5);
  alarm.cancel();
  EXPECT_FALSE(alarm.scheduledTimestamp());
  EXPECT_FALSE(alarm.hasActiveTimer());
  clock_->advance(10s);
  EXPECT_FALSE(ran.load());
  EXPECT_EQ(alarmCodes(recorder), (std::vector<std::int64_t>{2002, 2000, 2003}));
  EXPECT_EQ(recorder.calls()[1].message, "Session timer tried to schedule an empty block");
  EXPECT_EQ(recorder.calls()[1].level, 1);
}

TEST_F(AnalyticsAlarmTest, FarDelayArmsWithoutOverflowAndDestructionCancels) {
  std::atomic<int> ran{0};
  {
    APMAlarm alarm(queue_, "Search Ad campaign report alarm");
    alarm.runAfterDelay(1e12, [&] { ++ran; });
    EXPECT_TRUE(alarm.hasActiveTimer());
    EXPECT_EQ(alarm.scheduledTimestamp(), now() + 1e12);
    clock_->advance(std::chrono::hours(24 * 365));
    EXPECT_EQ(ran.load(), 0);
  }
  {
    APMAlarm alarm(queue_, "Engagement timer");
    alarm.runAfterDelay(1, [&] { ++ran; });
  }
  clock_->advance(5s);
  EXPECT_EQ(ran.load(), 0);
}

}  // namespace
