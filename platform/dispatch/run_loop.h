#pragma once
// Per-thread run loops (NSRunLoop / CFRunLoop analogue).
//
// Every thread has one, created on first use by RunLoop::current(). It runs
// only while its thread calls run(), run_until(), run_for() or run_pending(),
// as on the original: a run loop of a pool thread exists but never runs
// unless someone runs it (design §7 items 1 and 12).
//
// RunLoop::main() is bound to the thread that called
// RunLoop::bind_main_to_current_thread() (os::boot does), and until then to
// the process's initial thread. Queue::main() drains as one of its sources.
//
// Every call is safe from any thread. Timers and delayed performs measure
// their delay on Clock::current(); their deadline only makes them ready: the
// work runs on the loop's own thread when it runs. Under ManualClock,
// `clock.advance(d); RunLoop::main().run_pending();` runs what fell due.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "platform/dispatch/clock.h"

namespace platform::dispatch {

using TimerId = std::uint64_t;  // 0 is never a valid timer

namespace detail {
struct RunLoopCore;
}

class RunLoop {
 public:
  static RunLoop& main();
  static RunLoop& current();
  // Binds main() (and Queue::main()) to the calling thread.
  static void bind_main_to_current_thread();

  void perform(std::function<void()> block);

  // NSTimer: fires after `delay`, then every `repeat` (0 = once). A repeating
  // timer whose fire is still waiting for the loop to run is not queued twice.
  TimerId add_timer(Duration delay, Duration repeat, std::function<void()> block);
  void invalidate(TimerId id);

  // performSelector:withObject:afterDelay: / cancelPreviousPerformRequestsWithTarget:.
  // `target` and `what` only identify the request for cancellation.
  void perform_after(const void* target, std::string_view what, Duration delay,
                     std::function<void()> block);
  void cancel_perform_requests(const void* target, std::string_view what = {});

  // Runs until stop(). stop() ends the innermost run call that is in
  // progress; with none in progress it does nothing (CFRunLoopStop).
  void run();
  void stop();
  // Runs until done() is true (checked before waiting and after each handled
  // item) or `timeout` passes on Clock::current(); returns done().
  bool run_until(const std::function<bool()>& done, Duration timeout);
  // Runs for `d` of Clock::current() time, or until stop().
  void run_for(Duration d);
  // Runs every item that is ready now (and those they make ready) without
  // waiting; returns the number run. The deterministic step for tests.
  std::size_t run_pending();

  // True while some thread is inside run(), run_until() or run_for() of this loop.
  bool is_running() const;
  // Pending performs and fired timers waiting for the loop to run.
  std::size_t pending_count() const;

  RunLoop();
  ~RunLoop();
  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;

  const std::shared_ptr<detail::RunLoopCore>& core() const { return core_; }

 private:
  std::shared_ptr<detail::RunLoopCore> core_;
};

}  // namespace platform::dispatch
