#include <atomic>
#include <optional>
#include <thread>

#include "tests/platform/dispatch/fixture.h"

namespace platform::dispatch::test {
namespace {

using SyncTest = DispatchTest;

// ---- Group -----------------------------------------------------------------------
TEST_F(SyncTest, GroupWaitReturnsWhenAllWorkLeft) {
  Group g;
  std::atomic<int> ran{0};
  for (int i = 0; i < 100; ++i) g.async(Queue::global(), [&] { ran.fetch_add(1); });
  EXPECT_TRUE(g.wait());
  EXPECT_EQ(ran.load(), 100);
  EXPECT_TRUE(g.wait(0s));  // empty: true at once
}

TEST_F(SyncTest, GroupNotifyRunsAfterTheLastLeave) {
  Group g;
  auto q = Queue::serial("com.test.notify");
  std::vector<int> order;  // touched only on q
  g.enter();
  g.enter();
  g.notify(q, [&] { order.push_back(3); });
  q.async([&] { order.push_back(1); });
  g.leave();
  q.sync([] {});
  EXPECT_EQ(order, (std::vector<int>{1}));
  q.async([&] { order.push_back(2); });
  g.leave();
  q.sync([] {});
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));

  bool at_once = false;
  g.notify(q, [&] { at_once = true; });  // empty group: queued at once
  q.sync([] {});
  EXPECT_TRUE(at_once);
}

TEST_F(SyncTest, GroupWaitTimesOutUnderManualClock) {
  auto clock = ManualClock::install();
  Group g;
  g.enter();
  std::atomic<int> result{-1};
  Queue::global().async([&] { result = g.wait(5s) ? 1 : 0; });
  wait_until_idle();  // the waiter is parked with its deadline registered
  clock->advance(4.9s);
  EXPECT_EQ(result.load(), -1);
  clock->advance(0.2s);  // past the deadline: the wait returns false
  EXPECT_EQ(result.load(), 0);
  g.leave();
}

TEST_F(SyncTest, GroupWaitSucceedsBeforeItsManualDeadline) {
  auto clock = ManualClock::install();
  Group g;
  g.enter();
  std::atomic<int> result{-1};
  Queue::global().async([&] { result = g.wait(450s) ? 1 : 0; });
  wait_until_idle();
  clock->advance(449s);
  EXPECT_EQ(result.load(), -1);
  g.leave();
  wait_until_idle();
  EXPECT_EQ(result.load(), 1);
}

TEST_F(SyncTest, GroupWaitWithTimeoutOnTheCallingThread) {
  auto clock = ManualClock::install();
  Group g;
  g.enter();
  std::optional<bool> result;
  std::thread t([&] { result = g.wait(120s); });
  // The waiter's deadline appears in the clock's table once it waits.
  while (!Clock::next_deadline()) std::this_thread::yield();
  clock->advance(120s);
  t.join();
  ASSERT_TRUE(result.has_value());
  EXPECT_FALSE(*result);
  g.leave();
}

// ---- Semaphore ---------------------------------------------------------------------
TEST_F(SyncTest, SemaphoreCountsSignals) {
  Semaphore s(2);
  EXPECT_TRUE(s.wait(0s));
  EXPECT_TRUE(s.wait(0s));
  EXPECT_FALSE(s.wait(0s));
  s.signal();
  EXPECT_TRUE(s.wait());
}

TEST_F(SyncTest, SemaphoreWakesAWaiterOnAnotherThread) {
  Semaphore s(0), done(0);
  std::atomic<bool> woke{false};
  Queue::global().async([&] {
    s.wait();
    woke = true;
    done.signal();
  });
  s.signal();
  done.wait();
  EXPECT_TRUE(woke.load());
}

TEST_F(SyncTest, SemaphoreWaitTimesOutUnderManualClock) {
  auto clock = ManualClock::install();
  Semaphore s(0);
  std::atomic<int> result{-1};
  Queue::global().async([&] { result = s.wait(0.1s) ? 1 : 0; });  // the permission adapters' 100 ms
  wait_until_idle();
  clock->advance(0.05s);
  EXPECT_EQ(result.load(), -1);
  clock->advance(0.05s);
  EXPECT_EQ(result.load(), 0);
  // A later signal is kept for the next waiter.
  s.signal();
  EXPECT_TRUE(s.wait(0s));
}

TEST_F(SyncTest, SemaphoreSignalBeforeTheManualDeadline) {
  auto clock = ManualClock::install();
  Semaphore s(0);
  std::atomic<int> result{-1};
  Queue::global().async([&] { result = s.wait(450s) ? 1 : 0; });
  wait_until_idle();
  clock->advance(300s);
  EXPECT_EQ(result.load(), -1);
  s.signal();
  wait_until_idle();
  EXPECT_EQ(result.load(), 1);
  clock->advance(300s);  // the dropped deadline fires nothing
  EXPECT_EQ(result.load(), 1);
}

// ---- TimerSource ------------------------------------------------------------------
TEST_F(SyncTest, RepeatingTimerSourceFiresOnTheManualClock) {
  auto clock = ManualClock::install();
  const double start = clock->now_since_1970();
  auto q = Queue::serial("com.test.alarm");
  Log<double> fires;
  auto timer = TimerSource::make(q);
  timer.schedule(start + 10, 5s, 1s);
  timer.on_event([&] { fires.add(Clock::current().now_since_1970() - start); });
  clock->advance(60s);
  EXPECT_EQ(fires.size(), 0u);  // created suspended
  timer = TimerSource::make(q);
  timer.on_event([&] { fires.add(Clock::current().now_since_1970() - start); });
  timer.schedule(clock->now_since_1970() + 10, 5s, 1s);  // at 70, 75, 80 ...
  timer.resume();
  clock->advance(9.9s);
  EXPECT_EQ(fires.size(), 0u);
  clock->advance(0.1s);
  EXPECT_EQ(fires.items(), (std::vector<double>{70}));
  clock->advance(10s);
  EXPECT_EQ(fires.items(), (std::vector<double>{70, 75, 80}));
  timer.cancel();
  EXPECT_TRUE(timer.is_cancelled());
  clock->advance(100s);
  EXPECT_EQ(fires.size(), 3u);
}

TEST_F(SyncTest, OneShotTimerSourceAndCancelHandler) {
  auto clock = ManualClock::install();
  auto q = Queue::serial("com.test.once");
  std::atomic<int> fired{0};
  std::atomic<bool> cancelled{false};
  auto timer = TimerSource::make(q);
  timer.on_event([&] { fired.fetch_add(1); });
  timer.on_cancel([&] { cancelled = true; });
  timer.schedule_after(30s, 0s);
  timer.resume();
  clock->advance(100s);
  EXPECT_EQ(fired.load(), 1);
  timer.cancel();
  q.sync([] {});
  EXPECT_TRUE(cancelled.load());
}

TEST_F(SyncTest, RescheduledTimerSourceUsesTheNewStart) {
  auto clock = ManualClock::install();
  const double start = clock->now_since_1970();
  auto q = Queue::serial("com.test.resched");
  Log<double> fires;
  auto timer = TimerSource::make(q);
  timer.on_event([&] { fires.add(Clock::current().now_since_1970() - start); });
  timer.schedule(start + 10, 0s);
  timer.resume();
  clock->advance(5s);
  timer.schedule(start + 20, 0s);
  clock->advance(30s);
  EXPECT_EQ(fires.items(), (std::vector<double>{20}));
}

TEST_F(SyncTest, TimerSourceStopsWhenItsLastHandleGoes) {
  auto clock = ManualClock::install();
  auto q = Queue::serial("com.test.dropped");
  std::atomic<int> fired{0};
  {
    auto timer = TimerSource::make(q);
    timer.on_event([&] { fired.fetch_add(1); });
    timer.schedule_after(1s, 1s);
    timer.resume();
    clock->advance(1s);
  }
  clock->advance(10s);
  EXPECT_EQ(fired.load(), 1);
}

// ---- once -----------------------------------------------------------------------------
TEST_F(SyncTest, OnceRunsOnceAcrossThreads) {
  OnceFlag flag;
  std::atomic<int> calls{0};
  Group g;
  for (int i = 0; i < 16; ++i) g.async(Queue::global(), [&] { once(flag, [&] { calls.fetch_add(1); }); });
  EXPECT_TRUE(g.wait());
  EXPECT_EQ(calls.load(), 1);
}

}  // namespace
}  // namespace platform::dispatch::test

namespace platform::dispatch::test {
namespace {

// The analytics alarm (9.103) passes "forever" as the interval to fire once.
TEST_F(SyncTest, TimerSourceWithAForeverIntervalFiresOnce) {
  auto clock = ManualClock::install();
  auto q = Queue::serial("com.test.forever");
  std::atomic<int> fired{0};
  auto timer = TimerSource::make(q);
  timer.on_event([&] {
    fired.fetch_add(1);
    timer.cancel();  // the fire step cancels its own source
  });
  timer.schedule(clock->now_since_1970() + 20, Duration(1.8446744073709552e10), 0s);
  timer.resume();
  clock->advance(19s);
  EXPECT_EQ(fired.load(), 0);
  clock->advance(1s);
  EXPECT_EQ(fired.load(), 1);
  clock->advance(Duration(1e6));
  EXPECT_EQ(fired.load(), 1);
  EXPECT_TRUE(timer.is_cancelled());
}

TEST_F(SyncTest, TimedWaitsOnTheRealClock) {
  Semaphore s(0);
  EXPECT_FALSE(s.wait(0.001s));
  Group g;
  g.enter();
  EXPECT_FALSE(g.wait(0.001s));
  g.leave();
  EXPECT_TRUE(g.wait(0.001s));
}

TEST_F(SyncTest, TimerSourceOnTheRealClock) {
  Semaphore fired(0);
  auto timer = TimerSource::make(Queue::global());
  timer.on_event([&] { fired.signal(); });
  timer.schedule_after(0.001s, 0.001s);
  timer.resume();
  EXPECT_TRUE(fired.wait());
  EXPECT_TRUE(fired.wait());
  timer.cancel();
}

}  // namespace
}  // namespace platform::dispatch::test
