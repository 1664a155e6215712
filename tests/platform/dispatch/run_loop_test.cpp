#include <atomic>
#include <thread>

#include "tests/platform/dispatch/fixture.h"

namespace platform::dispatch::test {
namespace {

using RunLoopTest = DispatchTest;

TEST_F(RunLoopTest, PerformRunsWhenTheLoopRuns) {
  RunLoop& loop = RunLoop::main();
  std::vector<int> order;
  loop.perform([&] { order.push_back(1); });
  loop.perform([&] {
    order.push_back(2);
    RunLoop::current().perform([&] { order.push_back(3); });  // made ready while running
  });
  EXPECT_TRUE(order.empty());
  EXPECT_EQ(loop.pending_count(), 2u);
  EXPECT_EQ(loop.run_pending(), 3u);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

// The preferences store pattern: every write cancels the pending synchronize and requests it again
// after 1.0 s on the calling thread's run loop; writes at 0.0, 0.5 and 0.9 s
// give one synchronisation, at 1.9 s.
TEST_F(RunLoopTest, CoalescedDelayedPerformFlushesOnceAt1_9Seconds) {
  auto clock = ManualClock::install();
  const double start = clock->now_since_1970();
  RunLoop& loop = RunLoop::current();
  ASSERT_EQ(&loop, &RunLoop::main());
  int store = 0;  // the target of the requests
  std::vector<double> flushes;
  auto write = [&] {
    loop.cancel_perform_requests(&store, "synchronize");
    loop.perform_after(&store, "synchronize", 1.0s, [&] { flushes.push_back(Clock::current().now_since_1970() - start); });
  };
  write();  // 0.0
  clock->advance(0.5s);
  loop.run_pending();
  write();  // 0.5
  clock->advance(0.4s);
  loop.run_pending();
  write();  // 0.9
  clock->advance(0.99s);
  loop.run_pending();
  EXPECT_TRUE(flushes.empty());  // 1.89 s
  clock->advance(0.01s);
  loop.run_pending();
  ASSERT_EQ(flushes.size(), 1u);
  EXPECT_NEAR(flushes[0], 1.9, 1e-6);  // wall time is a double near 1.6e9
  clock->advance(10s);
  loop.run_pending();
  EXPECT_EQ(flushes.size(), 1u);
}

TEST_F(RunLoopTest, CancelPerformRequestsMatchesTargetAndName) {
  auto clock = ManualClock::install();
  RunLoop& loop = RunLoop::main();
  int a = 0, b = 0;
  std::vector<std::string> ran;
  loop.perform_after(&a, "x", 1s, [&] { ran.push_back("a.x"); });
  loop.perform_after(&a, "y", 1s, [&] { ran.push_back("a.y"); });
  loop.perform_after(&b, "x", 1s, [&] { ran.push_back("b.x"); });
  loop.cancel_perform_requests(&a, "x");
  clock->advance(2s);
  loop.cancel_perform_requests(&b);  // fell due but not yet run: still cancelled
  loop.run_pending();
  EXPECT_EQ(ran, (std::vector<std::string>{"a.y"}));
}

TEST_F(RunLoopTest, TimersFireInDueOrder) {
  auto clock = ManualClock::install();
  RunLoop& loop = RunLoop::main();
  std::vector<int> order;
  loop.add_timer(3s, 0s, [&] { order.push_back(3); });
  loop.add_timer(1s, 0s, [&] { order.push_back(1); });
  loop.add_timer(2s, 0s, [&] { order.push_back(2); });
  clock->advance(2.5s);
  loop.run_pending();
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  clock->advance(1s);
  loop.run_pending();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST_F(RunLoopTest, RepeatingTimerCoalescesMissedFiresAndStopsWhenInvalidated) {
  auto clock = ManualClock::install();
  RunLoop& loop = RunLoop::main();
  int fired = 0;
  TimerId id = loop.add_timer(1s, 1s, [&] { ++fired; });
  EXPECT_NE(id, 0u);
  clock->advance(1s);
  loop.run_pending();
  EXPECT_EQ(fired, 1);
  clock->advance(5s);  // the loop did not run: one pending fire
  loop.run_pending();
  EXPECT_EQ(fired, 2);
  clock->advance(1s);
  loop.run_pending();
  EXPECT_EQ(fired, 3);
  loop.invalidate(id);
  clock->advance(10s);
  loop.run_pending();
  EXPECT_EQ(fired, 3);
}

TEST_F(RunLoopTest, RunStopsFromAnotherThread) {
  RunLoop& loop = RunLoop::main();
  std::atomic<int> ran{0};
  Queue::global().async([&] {
    loop.perform([&] { ran.fetch_add(1); });
    loop.perform([&] { loop.stop(); });
  });
  loop.run();
  EXPECT_EQ(ran.load(), 1);
}

TEST_F(RunLoopTest, StopWithoutARunDoesNothing) {
  RunLoop& loop = RunLoop::main();
  loop.stop();
  bool ran = false;
  loop.perform([&] { ran = true; });
  EXPECT_TRUE(loop.run_until([&] { return ran; }, 60s));
}

TEST_F(RunLoopTest, RunUntilTimesOutOnTheManualClock) {
  auto clock = ManualClock::install();
  RunLoop& loop = RunLoop::main();
  Semaphore running(0);
  std::thread advancer([&] {
    running.wait();
    clock->advance(10s);
  });
  loop.perform([&] { running.signal(); });  // runs inside run_until, after its deadline is set
  EXPECT_FALSE(loop.run_until([] { return false; }, 10s));
  advancer.join();
}

TEST_F(RunLoopTest, RunForRunsTimersThatFallDueMeanwhile) {
  auto clock = ManualClock::install();
  RunLoop& loop = RunLoop::main();
  Semaphore running(0);
  int fired = 0;
  loop.add_timer(3s, 0s, [&] { ++fired; });
  std::thread advancer([&] {
    running.wait();
    clock->advance(5s);
  });
  loop.perform([&] { running.signal(); });
  loop.run_for(5s);
  advancer.join();
  EXPECT_EQ(fired, 1);
  EXPECT_FALSE(loop.is_running());
}

TEST_F(RunLoopTest, EachThreadHasItsOwnLoop) {
  RunLoop* other = nullptr;
  RunLoop* other_again = nullptr;
  std::thread([&] {
    other = &RunLoop::current();
    other_again = &RunLoop::current();
  }).join();
  EXPECT_EQ(other, other_again);
  EXPECT_NE(other, &RunLoop::main());
  EXPECT_EQ(&RunLoop::current(), &RunLoop::main());  // this test runs on the main thread
}

TEST_F(RunLoopTest, PoolThreadLoopsNeverRunByThemselves) {
  auto clock = ManualClock::install();
  auto q = Queue::serial("com.test.worker");
  std::atomic<bool> flushed{false};
  int target = 0;
  q.sync([&] { RunLoop::current().perform_after(&target, "synchronize", 1s, [&] { flushed = true; }); });
  clock->advance(5s);
  EXPECT_FALSE(flushed.load());  // as on the original (design §7 item 1)
}

TEST_F(RunLoopTest, BindMainToAnotherThread) {
  std::thread t([] {
    RunLoop::bind_main_to_current_thread();
    EXPECT_EQ(&RunLoop::current(), &RunLoop::main());
    EXPECT_TRUE(is_main_thread());
    EXPECT_TRUE(Queue::main().is_current());
    EXPECT_EQ(Queue::current_label(), "platform.main-thread");
  });
  t.join();
  EXPECT_FALSE(is_main_thread());
  EXPECT_NE(&RunLoop::current(), &RunLoop::main());
  platform::testing::reset();
  EXPECT_TRUE(is_main_thread());
  EXPECT_EQ(&RunLoop::current(), &RunLoop::main());
}

TEST_F(RunLoopTest, ResetDropsPendingMainWork) {
  auto clock = ManualClock::install();
  bool ran = false;
  Queue::main().async([&] { ran = true; });
  RunLoop::main().add_timer(1s, 0s, [&] { ran = true; });
  RunLoop::main().perform([&] { ran = true; });
  platform::testing::reset();
  EXPECT_EQ(RunLoop::main().pending_count(), 0u);
  clock->advance(5s);
  RunLoop::main().run_pending();
  EXPECT_FALSE(ran);
  // The main queue works after the reset.
  Queue::main().async([&] { ran = true; });
  RunLoop::main().run_pending();
  EXPECT_TRUE(ran);
}

}  // namespace
}  // namespace platform::dispatch::test
