#pragma once
// Dispatch queues (libdispatch analogue).
//
// * Queue::global(qos) queues share one thread pool. It starts at the number of
//   cores and grows, up to 64 threads, while every thread is busy (blocked pool
//   threads never starve later blocks); threads above the core count leave
//   after a few idle seconds.
// * A serial queue drains on its target (by default global(default_)) one block
//   at a time, FIFO. A concurrent queue runs its blocks on the pool in parallel.
// * Queue::main() drains as a source of RunLoop::main(): its blocks run only
//   when the main thread runs its run loop.
// * sync() on a serial queue waits behind earlier work. Calling sync() on the
//   serial queue (or the main queue) the caller is already running on
//   deadlocks, as on the original; it is not detected.
// * after() measures its delay on Clock::current(); after(0) never runs inline.
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>

#include "platform/dispatch/clock.h"

namespace platform::dispatch {

enum class Qos { user_interactive, user_initiated, default_, utility, background };

namespace detail {
class QueueImpl;
}

class Queue {  // cheap shared handle
 public:
  static Queue main();
  static Queue global(Qos qos = Qos::default_);
  // A serial queue; `target` defaults to global(default_). A serial queue may
  // target another serial queue or the main queue.
  static Queue serial(std::string label, std::optional<Queue> target = {});
  static Queue concurrent(std::string label, Qos qos = Qos::default_);

  const std::string& label() const;
  void async(std::function<void()> block) const;
  void sync(std::function<void()> block) const;  // exceptions thrown by the block reach the caller
  void after(Duration delay, std::function<void()> block) const;
  void suspend() const;  // ignored on global queues, as on the original
  void resume() const;

  // True while the calling thread runs a block of this queue, or of a queue
  // that targets this one. The main queue is current on the main thread.
  bool is_current() const;
  // The label of the queue whose block the calling thread runs; on the main
  // thread outside any block, the main queue's; "" on other threads.
  static std::string current_label();

  bool operator==(const Queue& o) const { return impl_ == o.impl_; }
  bool operator!=(const Queue& o) const { return impl_ != o.impl_; }

  const std::shared_ptr<detail::QueueImpl>& impl() const { return impl_; }
  explicit Queue(std::shared_ptr<detail::QueueImpl> impl) : impl_(std::move(impl)) {}

 private:
  std::shared_ptr<detail::QueueImpl> impl_;
};

// Labels the original uses for its fixed queues.
inline constexpr const char* kMainQueueLabel = "platform.main-thread";
const char* global_queue_label(Qos qos);

// True on the thread RunLoop::main() is bound to.
bool is_main_thread();

// ---- crash-time queue labels (12.106 "dispatch_queue_names") ---------------
// A fixed table of atomics maps a thread id to the label of the queue whose
// block the thread runs (or ran last). Both functions are lock-free and
// async-signal-safe: they read atomics and copy bytes, nothing else.
// Copies the label (NUL-terminated, truncated to n-1 bytes) and returns true
// when `tid` has an entry with a label.
bool queue_label_for_thread(pid_t tid, char* out, std::size_t n);
struct QueueLabelEntry {
  pid_t tid;
  const char* label;  // interned: stays valid for the life of the process
};
// Fills up to `max` entries of live threads; returns the number filled.
std::size_t queue_label_entries(QueueLabelEntry* out, std::size_t max);

// ---- pool observation (tests, diagnostics) ---------------------------------
struct PoolStats {
  int threads;   // pool threads alive
  int idle;      // waiting for work
  int blocked;   // inside a dispatch wait (semaphore, group, sync, ...)
  int pending;   // blocks queued on the pool, not started
};
PoolStats pool_stats();
inline constexpr int kMaxPoolThreads = 64;
// How long a pool thread above the core count stays idle before leaving.
void set_pool_idle_timeout(Duration d);

// Around a long wait outside dispatch (a blocking socket read, a foreign
// condition variable) on a pool thread: the pool may add a thread meanwhile,
// and wait_until_idle() counts the thread as parked. Nothing un-parks it
// early, so a ManualClock test that depends on the thread's next step must
// wait for that step itself.
class PoolBlockingScope {
 public:
  PoolBlockingScope();
  ~PoolBlockingScope();
  PoolBlockingScope(const PoolBlockingScope&) = delete;
  PoolBlockingScope& operator=(const PoolBlockingScope&) = delete;

 private:
  bool counted_;
};

// Blocks the caller until the pool has no queued block and every running block
// is either finished or parked in a dispatch wait. Main-queue work is not
// counted (run the main run loop for it). ManualClock::advance uses it so the
// work its deadlines released has run when advance returns.
void wait_until_idle();
// What wait_until_idle() waits for, read at once (any thread).
bool pool_is_quiet();

}  // namespace platform::dispatch
