#pragma once
// The process-wide clock of the platform.
//
// Every timed wait of the dispatch module (group and semaphore waits with a
// timeout, Queue::after, TimerSource, run-loop timers and delayed performs)
// measures its deadline on Clock::current().monotonic(). The real clock
// follows the machine; a test installs platform::testing::ManualClock, whose
// advance(d) fires everything that falls due, in due order, without real waiting.
#include <chrono>
#include <memory>
#include <optional>

namespace platform::dispatch {

using Duration = std::chrono::duration<double>;  // seconds
using Timeout = std::optional<Duration>;         // nullopt = wait forever

class Clock {
 public:
  virtual ~Clock() = default;

  virtual double now_since_1970() const = 0;               // wall time (Date::now, time of day)
  virtual std::chrono::nanoseconds monotonic() const = 0;  // mach_absolute_time analogue; never goes back
  virtual double boot_time_since_1970() const = 0;         // kern.boottime

  // True when monotonic() moves by itself (the real clock). A clock that
  // returns false (ManualClock) drives the deadlines itself through
  // fire_due_timers(); the dispatch timer thread then never fires on its own.
  virtual bool advances_by_itself() const { return true; }

  // The installed clock (the real clock until a test installs another).
  // The reference stays valid for the life of the process: every clock ever
  // installed is kept alive.
  static Clock& current();
  // Installs `clock` as the process clock; nullptr puts the real clock back.
  // Deadlines already registered keep their monotonic values, so install a
  // clock before scheduling timed work (tests do it first thing).
  static void install(std::shared_ptr<Clock> clock);

  // For clocks that do not advance by themselves: the earliest registered
  // deadline (monotonic nanoseconds), if any ...
  static std::optional<std::chrono::nanoseconds> next_deadline();
  // ... and firing every deadline at or before `now`, in (deadline, registration)
  // order, on the calling thread. Firing only hands work over (enqueues a block,
  // wakes a waiter, posts to a run loop); no user code runs inside this call.
  static void fire_due_timers(std::chrono::nanoseconds now);
  // Fires only the first deadline at or before `now`; false when none is due.
  static bool fire_next_due_timer(std::chrono::nanoseconds now);
  // The current clock, one that advances by itself, jumped forward: the timer
  // thread measures again, so what fell due fires now rather than on the old schedule.
  static void jumped_forward();
};

// The real clock: system_clock for wall time, steady_clock for monotonic time.
class RealClock final : public Clock {
 public:
  double now_since_1970() const override;
  std::chrono::nanoseconds monotonic() const override;
  double boot_time_since_1970() const override;
};

// Seconds since 2001-01-01 00:00:00 UTC on the current clock (CFAbsoluteTimeGetCurrent).
double absolute_time();
inline constexpr double kAbsoluteTimeEpochSince1970 = 978307200.0;

// Seconds since boot on the current clock (now - boot time).
double uptime();

}  // namespace platform::dispatch
