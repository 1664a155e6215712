// The simulated device's clock: the real clock plus the time scenarios skipped.
// skip_time runs on the main thread; the clock is read from any thread.
#include <atomic>
#include <cmath>
#include <memory>

#include "platform/dispatch/clock.h"
#include "platform/sim/device.h"
#include "platform/sim/internal.h"

namespace platform::sim {

namespace {

class SkippingClock final : public dispatch::Clock {
 public:
  double now_since_1970() const override { return real_.now_since_1970() + skipped_seconds(); }
  std::chrono::nanoseconds monotonic() const override {
    return real_.monotonic() + std::chrono::nanoseconds(skipped_ns_.load(std::memory_order_acquire));
  }
  // The device booted when it did: skipped time counts as uptime.
  double boot_time_since_1970() const override { return real_.boot_time_since_1970(); }

  void skip(std::chrono::nanoseconds d) { skipped_ns_.fetch_add(d.count(), std::memory_order_acq_rel); }

 private:
  double skipped_seconds() const {
    return std::chrono::duration<double>(std::chrono::nanoseconds(skipped_ns_.load(std::memory_order_acquire))).count();
  }

  dispatch::RealClock real_;
  std::atomic<std::int64_t> skipped_ns_{0};
};

}  // namespace

namespace detail {

Result skip_time(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0) return Result::failure("not a time to skip");
  dispatch::Clock& current = dispatch::Clock::current();
  if (!current.advances_by_itself()) return Result::failure("the device's clock does not advance by itself");
  auto* clock = dynamic_cast<SkippingClock*>(&current);
  if (!clock) {
    // Until the first skip it reads exactly as the real clock, so deadlines
    // registered before the install keep their meaning.
    auto installed = std::make_shared<SkippingClock>();
    clock = installed.get();
    dispatch::Clock::install(std::move(installed));
  }
  clock->skip(std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(seconds)));
  // Hand over what fell due before the next command runs; the timer thread
  // then plans from the new time.
  dispatch::Clock::fire_due_timers(clock->monotonic());
  dispatch::Clock::jumped_forward();
  return Result::success();
}

}  // namespace detail
}  // namespace platform::sim
