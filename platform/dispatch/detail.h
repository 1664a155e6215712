#pragma once
// Internal machinery of the dispatch module. Not for other modules.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <sys/types.h>

#include "platform/dispatch/clock.h"

namespace platform::dispatch::detail {

using Nanos = std::chrono::nanoseconds;

// ---- timers: one ordered table of deadlines on Clock::current() ----------
// add() returns an id; the callback runs once when its deadline is due, on the
// timer thread (real clock) or on the thread that calls Clock::fire_due_timers
// (manual clock). Callbacks must be short and must not block: they hand work
// over. cancel() never blocks; a callback that is already running finishes, so
// callbacks hold weak references to what they touch.
using TimerHandle = std::uint64_t;
TimerHandle timer_add(Nanos deadline, std::function<void()> callback);
void timer_cancel(TimerHandle);
void timer_clear_all();        // reset_for_testing
void timer_clock_changed();    // Clock::install wakes the timer thread

Nanos deadline_after(Duration d);  // Clock::current().monotonic() + d
// A repeat interval in nanoseconds: 0 for "once" (d <= 0, or d of a century or
// more, such as DISPATCH_TIME_FOREVER passed as the interval), at least 1 ns otherwise.
Nanos repeat_interval(Duration d);

// ---- pool accounting -------------------------------------------------------
// wait_until_idle() must tell "all work done or parked" from "work still
// running". A pool thread that sleeps in a dispatch wait counts as parked, and
// whoever wakes it un-parks it at once, before it even runs again, so a quiet
// pool really means that nothing will move until something new happens.
//
// Parking is a condition variable used with an outside mutex, which must be
// held for wait() and notify_all().
class Parking {
 public:
  template <class Pred>
  void wait(std::unique_lock<std::mutex>& lk, Pred pred) {
    while (!pred()) wait_once(lk);
  }
  void wait_once(std::unique_lock<std::mutex>& lk);
  void notify_all();

 private:
  std::condition_variable cv_;
  int parked_ = 0;          // counted pool threads asleep here
  std::uint64_t gen_ = 0;   // bumped by every notify
};

// For a thread that blocks on something other than a Parking (wait_until_idle itself).
class BlockedScope {
 public:
  BlockedScope();
  ~BlockedScope();
  BlockedScope(const BlockedScope&) = delete;
  BlockedScope& operator=(const BlockedScope&) = delete;

 private:
  bool counted_;
};

// Waits on `parking` (with `lk` held) until `pred()` holds or `timeout` passes
// on Clock::current(). `owner` keeps `lk`'s mutex and `parking` alive for the
// timer callback that may still be in flight. Returns with `lk` held; true when
// pred() holds, so the caller consumes the condition under the same hold.
bool clock_wait(std::unique_lock<std::mutex>& lk, Parking& parking,
                const std::shared_ptr<void>& owner, const Timeout& timeout,
                const std::function<bool()>& pred);

// ---- threads -----------------------------------------------------------------
pid_t current_tid();
void set_main_tid(pid_t tid);  // 0 = the process's initial thread

// ---- reset hooks of the pieces (called by reset_for_testing) -------------
void reset_queues();
void reset_run_loops();
void reset_operation_queues();

}  // namespace platform::dispatch::detail
