#pragma once
// A clock that moves only when the test says so.
//
//   auto clock = platform::testing::ManualClock::install();
//   queue.after(450s, ...);
//   clock->advance(450s);   // fires it; returns once the released work ran
//
// advance(d) walks every deadline registered on Clock::current() (Queue::after,
// timed group and semaphore waits, TimerSource, run-loop timers and delayed
// performs) up to now + d in due order: for each one it sets the time to the
// deadline, fires it, and waits until the dispatch pool is quiet (every block
// released by the fire has finished or parked in a dispatch wait), so work a
// fire schedules at a later deadline is fired in turn. Work made ready on a run
// loop runs when that loop runs: e.g. `clock->advance(d);
// RunLoop::main().run_pending();` on the main thread.
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>

#include "platform/dispatch/clock.h"

namespace platform::testing {

class ManualClock final : public dispatch::Clock {
 public:
  // 2020-09-13T12:26:40Z; the device booted an hour earlier.
  static constexpr double kDefaultStartSince1970 = 1600000000.0;

  explicit ManualClock(double start_since_1970 = kDefaultStartSince1970, double uptime_seconds = 3600.0);

  // Creates a clock and installs it as dispatch::Clock::current().
  // platform::testing::reset() puts the real clock back.
  static std::shared_ptr<ManualClock> install(double start_since_1970 = kDefaultStartSince1970);

  double now_since_1970() const override;
  std::chrono::nanoseconds monotonic() const override;
  double boot_time_since_1970() const override;
  bool advances_by_itself() const override { return false; }

  // Moves time forward by d (d <= 0 fires what is already due), as described above.
  void advance(dispatch::Duration d);
  // Same, without waiting for the pool between deadlines and at the end.
  void advance_without_settling(dispatch::Duration d);
  // Moves wall time only (a clock change by the user); monotonic deadlines are not affected.
  void set_now_since_1970(double t);

 private:
  void advance_impl(dispatch::Duration d, bool settle);

  std::mutex advance_m_;                 // one advance at a time
  std::atomic<std::int64_t> mono_ns_;    // monotonic time
  std::atomic<double> wall_at_zero_;     // wall time when mono_ns_ was 0
  const double boot_since_1970_;
};

}  // namespace platform::testing
