#pragma once
// Groups, semaphores, timer sources and once (libdispatch analogues).
// Timed waits and timers measure time on Clock::current().
#include <functional>
#include <memory>
#include <mutex>

#include "platform/dispatch/clock.h"
#include "platform/dispatch/queue.h"

namespace platform::dispatch {

namespace detail {
struct GroupImpl;
struct SemaphoreImpl;
struct TimerSourceImpl;
}  // namespace detail

// dispatch_group_t. A cheap shared handle: copies name the same group.
class Group {
 public:
  Group();
  void enter() const;
  void leave() const;  // more leaves than enters is a programming error (ignored)
  void async(const Queue& queue, std::function<void()> block) const;
  // Runs `block` on `queue` once the group is empty (at once if it is empty now).
  void notify(const Queue& queue, std::function<void()> block) const;
  // True when the group became empty; false when `timeout` passed first.
  bool wait(Timeout timeout = std::nullopt) const;

 private:
  std::shared_ptr<detail::GroupImpl> impl_;
};

// dispatch_semaphore_t. A cheap shared handle.
class Semaphore {
 public:
  explicit Semaphore(long value = 0);
  void signal() const;
  // True when a signal was consumed; false when `timeout` passed first.
  bool wait(Timeout timeout = std::nullopt) const;

 private:
  std::shared_ptr<detail::SemaphoreImpl> impl_;
};

// dispatch_source_t of type timer. Created suspended: schedule(), on_event()
// and then resume(). Event handlers never overlap: a fire that finds the
// previous handler still queued or running is merged into it.
class TimerSource {
 public:
  static TimerSource make(const Queue& queue);
  // First fire at wall time `start_since_1970` (on Clock::current(); a time in
  // the past fires at once), then every `interval` (0 = once). Leeway is accepted
  // and ignored. Rescheduling replaces the previous schedule.
  void schedule(double start_since_1970, Duration interval, Duration leeway = Duration(0)) const;
  // Convenience: first fire `delay` from now.
  void schedule_after(Duration delay, Duration interval, Duration leeway = Duration(0)) const;
  void on_event(std::function<void()> handler) const;
  void on_cancel(std::function<void()> handler) const;  // runs on the queue after cancel()
  void resume() const;
  void suspend() const;
  void cancel() const;
  bool is_cancelled() const;

  // The source stops firing when its last handle is gone.
  ~TimerSource();
  TimerSource(const TimerSource&) = default;
  TimerSource& operator=(const TimerSource&) = default;
  TimerSource(TimerSource&&) = default;
  TimerSource& operator=(TimerSource&&) = default;

 private:
  explicit TimerSource(std::shared_ptr<detail::TimerSourceImpl> impl) : impl_(std::move(impl)) {}
  std::shared_ptr<detail::TimerSourceImpl> impl_;
};

// dispatch_once. Function-local statics do the same for most call sites.
using OnceFlag = std::once_flag;
template <class F>
void once(OnceFlag& flag, F&& f) {
  std::call_once(flag, std::forward<F>(f));
}

}  // namespace platform::dispatch
