#include "platform/testing/manual_clock.h"

#include <algorithm>

#include "platform/dispatch/queue.h"

namespace platform::testing {

namespace {
constexpr double kNanos = 1e9;
}

ManualClock::ManualClock(double start_since_1970, double uptime_seconds)
    : mono_ns_(static_cast<std::int64_t>(uptime_seconds * kNanos)),
      wall_at_zero_(start_since_1970 - uptime_seconds),
      boot_since_1970_(start_since_1970 - uptime_seconds) {}

std::shared_ptr<ManualClock> ManualClock::install(double start_since_1970) {
  auto clock = std::make_shared<ManualClock>(start_since_1970);
  dispatch::Clock::install(clock);
  return clock;
}

double ManualClock::now_since_1970() const {
  return wall_at_zero_.load() + static_cast<double>(mono_ns_.load()) / kNanos;
}

std::chrono::nanoseconds ManualClock::monotonic() const { return std::chrono::nanoseconds(mono_ns_.load()); }

double ManualClock::boot_time_since_1970() const { return boot_since_1970_; }

void ManualClock::set_now_since_1970(double t) {
  wall_at_zero_.store(t - static_cast<double>(mono_ns_.load()) / kNanos);
}

void ManualClock::advance(dispatch::Duration d) { advance_impl(d, true); }

void ManualClock::advance_without_settling(dispatch::Duration d) { advance_impl(d, false); }

void ManualClock::advance_impl(dispatch::Duration d, bool settle) {
  std::lock_guard lk(advance_m_);
  const bool installed = &dispatch::Clock::current() == this;
  std::int64_t step = d.count() > 0 ? static_cast<std::int64_t>(d.count() * kNanos + 0.5) : 0;
  const std::int64_t target = mono_ns_.load() + step;
  if (installed) {
    if (settle) dispatch::wait_until_idle();
    for (;;) {
      auto next = dispatch::Clock::next_deadline();
      if (!next || next->count() > target) break;
      mono_ns_.store(std::max(mono_ns_.load(), static_cast<std::int64_t>(next->count())));
      if (settle) {
        // One deadline at a time, so even blocks due at the same instant on a
        // concurrent queue run in registration order.
        dispatch::Clock::fire_next_due_timer(std::chrono::nanoseconds(mono_ns_.load()));
        dispatch::wait_until_idle();
      } else {
        dispatch::Clock::fire_due_timers(std::chrono::nanoseconds(mono_ns_.load()));
      }
    }
  }
  mono_ns_.store(target);
}

}  // namespace platform::testing
