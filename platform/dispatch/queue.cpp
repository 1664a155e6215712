#include "platform/dispatch/queue.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <deque>
#include <exception>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "platform/dispatch/detail.h"
#include "platform/dispatch/run_loop.h"

namespace platform::dispatch {

namespace detail {

pid_t current_tid() {
  thread_local pid_t tid = static_cast<pid_t>(::syscall(SYS_gettid));
  return tid;
}

std::atomic<pid_t> g_main_tid{0};  // 0 = the process's initial thread

void set_main_tid(pid_t tid) { g_main_tid.store(tid); }

}  // namespace detail

bool is_main_thread() {
  pid_t m = detail::g_main_tid.load();
  if (m == 0) m = ::getpid();
  return detail::current_tid() == m;
}

// ---- interned labels and the crash-time table ---------------------------------
namespace {

const char* intern(const std::string& s) {
  static std::mutex* m = new std::mutex;
  static std::set<std::string>* table = new std::set<std::string>;  // never freed
  std::lock_guard lk(*m);
  return table->insert(s).first->c_str();
}

constexpr std::size_t kLabelSlots = 512;
struct LabelSlot {
  std::atomic<pid_t> tid{0};
  std::atomic<const char*> label{nullptr};
};
LabelSlot g_label_slots[kLabelSlots];

struct SlotHolder {
  LabelSlot* slot = nullptr;
  ~SlotHolder() {
    if (slot) {
      slot->label.store(nullptr, std::memory_order_release);
      slot->tid.store(0, std::memory_order_release);
    }
  }
};
thread_local SlotHolder tl_slot;

void set_thread_label(const char* label) {
  if (!tl_slot.slot) {
    pid_t tid = detail::current_tid();
    for (auto& s : g_label_slots) {
      pid_t expected = 0;
      if (s.tid.load(std::memory_order_relaxed) == 0 &&
          s.tid.compare_exchange_strong(expected, tid, std::memory_order_acq_rel)) {
        tl_slot.slot = &s;
        break;
      }
    }
    if (!tl_slot.slot) return;  // table full: the thread goes unlabelled
  }
  tl_slot.slot->label.store(label, std::memory_order_release);
}

}  // namespace

namespace {

pid_t main_tid_signal_safe() {
  pid_t m = detail::g_main_tid.load(std::memory_order_acquire);
  return m != 0 ? m : ::getpid();
}

const char* slot_label(pid_t tid) {
  for (auto& s : g_label_slots) {
    if (s.tid.load(std::memory_order_acquire) == tid) return s.label.load(std::memory_order_acquire);
  }
  return nullptr;
}

}  // namespace

bool queue_label_for_thread(pid_t tid, char* out, std::size_t n) {
  if (tid == 0 || out == nullptr || n == 0) return false;
  const char* label = slot_label(tid);
  // The main thread's queue is the main queue even between blocks, as on the original.
  if (!label && tid == main_tid_signal_safe()) label = kMainQueueLabel;
  if (!label) return false;
  std::size_t i = 0;
  for (; i + 1 < n && label[i] != '\0'; ++i) out[i] = label[i];
  out[i] = '\0';
  return true;
}

std::size_t queue_label_entries(QueueLabelEntry* out, std::size_t max) {
  std::size_t k = 0;
  const pid_t main_tid = main_tid_signal_safe();
  bool main_listed = false;
  for (auto& s : g_label_slots) {
    if (k >= max) break;
    pid_t tid = s.tid.load(std::memory_order_acquire);
    const char* label = s.label.load(std::memory_order_acquire);
    if (tid == main_tid) {
      if (!label) label = kMainQueueLabel;
      main_listed = true;
    }
    if (tid != 0 && label) out[k++] = QueueLabelEntry{tid, label};
  }
  if (!main_listed && k < max) out[k++] = QueueLabelEntry{main_tid, kMainQueueLabel};
  return k;
}

const char* global_queue_label(Qos qos) {
  switch (qos) {
    case Qos::user_interactive: return "platform.root.user-interactive-qos";
    case Qos::user_initiated: return "platform.root.user-initiated-qos";
    case Qos::default_: return "platform.root.default-qos";
    case Qos::utility: return "platform.root.utility-qos";
    case Qos::background: return "platform.root.background-qos";
  }
  return "platform.root.default-qos";
}

// ---- the pool -------------------------------------------------------------------
namespace {

thread_local bool tl_pool_thread = false;

// How long the warm idle thread looks for work before it sleeps.
constexpr auto kWarmSpin = std::chrono::microseconds(200);

class Pool {
 public:
  Pool() : core_(std::max(2u, std::thread::hardware_concurrency())) {}

  void submit(Qos qos, std::function<void()> fn) {
    std::unique_lock lk(m_);
    queues_[static_cast<int>(qos)].push_back(std::move(fn));
    ++pending_;
    pending_relaxed_.store(pending_, std::memory_order_relaxed);
    if (!started_) {
      started_ = true;
      for (int i = 0; i < core_; ++i) spawn_locked();
    } else if (pending_ > idle_ + starting_ && threads_ < kMaxPoolThreads) {
      spawn_locked();  // every thread is busy: grow
    }
    // A spinning thread takes the first block without a wake-up; wake a
    // sleeper only for what it cannot take.
    const bool wake = pending_ > spinning_;
    lk.unlock();
    if (wake) work_cv_.notify_one();
  }

  void block(int delta) {
    std::lock_guard lk(m_);
    blocked_ += delta;
    if (quiet_locked()) idle_cv_.notify_all();
    // A parked thread no longer serves the queue: if work is waiting and no
    // thread is free to take it, add one.
    if (delta > 0 && pending_ > idle_ + starting_ && threads_ < kMaxPoolThreads) spawn_locked();
  }

  void wait_until_idle() {
    detail::BlockedScope self;  // a pool thread waiting here is parked itself
    std::unique_lock lk(m_);
    idle_cv_.wait(lk, [this] { return quiet_locked(); });
  }

  bool quiet() {
    std::lock_guard lk(m_);
    return quiet_locked();
  }

  bool has_pending() const { return pending_relaxed_.load(std::memory_order_relaxed) > 0; }

  PoolStats stats() {
    std::lock_guard lk(m_);
    return PoolStats{threads_, idle_, blocked_, pending_};
  }

  void set_idle_timeout(Duration d) {
    std::lock_guard lk(m_);
    idle_timeout_ = d;
  }

 private:
  bool quiet_locked() const { return pending_ == 0 && running_ == blocked_; }

  void spawn_locked() {
    ++threads_;
    ++starting_;
    std::thread([this] { worker(); }).detach();
  }

  bool take_locked(std::function<void()>& out) {
    for (auto& q : queues_) {
      if (!q.empty()) {
        out = std::move(q.front());
        q.pop_front();
        return true;
      }
    }
    return false;
  }

  void worker() {
    tl_pool_thread = true;
    std::unique_lock lk(m_);
    --starting_;
    for (;;) {
      std::function<void()> fn;
      if (take_locked(fn)) {
        --pending_;
        pending_relaxed_.store(pending_, std::memory_order_relaxed);
        ++running_;
        lk.unlock();
        fn();
        fn = nullptr;  // destroy captures outside the lock
        lk.lock();
        --running_;
        if (quiet_locked()) idle_cv_.notify_all();
        continue;
      }
      ++idle_;
      if (spinning_ == 0) {
        // One idle thread at a time stays warm: it looks for work for a short
        // while, yielding the processor, before it sleeps. Work that follows
        // the last block closely (a chain of hand-offs) then starts without
        // a wake-up, which costs tens of microseconds or more.
        ++spinning_;
        lk.unlock();
        const auto until = std::chrono::steady_clock::now() + kWarmSpin;
        while (pending_relaxed_.load(std::memory_order_relaxed) == 0 && std::chrono::steady_clock::now() < until) {
          std::this_thread::yield();
        }
        lk.lock();
        --spinning_;
        --idle_;
        if (pending_ > 0) continue;
        ++idle_;
      }
      auto status = work_cv_.wait_for(lk, idle_timeout_);
      --idle_;
      if (status == std::cv_status::timeout && pending_ == 0 && threads_ > core_) {
        --threads_;
        return;
      }
    }
  }

  std::mutex m_;
  std::condition_variable work_cv_;
  std::condition_variable idle_cv_;
  std::array<std::deque<std::function<void()>>, 5> queues_;
  const int core_;
  int threads_ = 0, starting_ = 0, idle_ = 0, running_ = 0, blocked_ = 0, pending_ = 0;
  int spinning_ = 0;  // idle threads looking for work before they sleep (at most one)
  bool started_ = false;
  std::atomic<int> pending_relaxed_{0};  // pending_, readable without the lock
  Duration idle_timeout_{5.0};
};

Pool& pool() {
  static Pool* p = new Pool;  // never destroyed: detached workers use it to the end
  return *p;
}

}  // namespace

PoolStats pool_stats() { return pool().stats(); }
void set_pool_idle_timeout(Duration d) { pool().set_idle_timeout(d); }
void wait_until_idle() { pool().wait_until_idle(); }
bool pool_is_quiet() { return pool().quiet(); }

PoolBlockingScope::PoolBlockingScope() : counted_(tl_pool_thread) {
  if (counted_) pool().block(+1);
}
PoolBlockingScope::~PoolBlockingScope() {
  if (counted_) pool().block(-1);
}

namespace detail {

void Parking::wait_once(std::unique_lock<std::mutex>& lk) {
  const bool counted = tl_pool_thread;
  if (counted) {
    pool().block(+1);
    ++parked_;
  }
  const std::uint64_t gen = gen_;
  cv_.wait(lk);
  if (counted && gen_ == gen) {  // spurious wake-up: nobody un-parked us
    --parked_;
    pool().block(-1);
  }
}

void Parking::notify_all() {
  ++gen_;
  if (parked_ > 0) {
    pool().block(-parked_);
    parked_ = 0;
  }
  cv_.notify_all();
}

BlockedScope::BlockedScope() : counted_(tl_pool_thread) {
  if (counted_) pool().block(+1);
}
BlockedScope::~BlockedScope() {
  if (counted_) pool().block(-1);
}

// ---- queues ----------------------------------------------------------------
enum class Kind { main, global, serial, concurrent };

thread_local const QueueImpl* tl_current = nullptr;

class QueueImpl : public std::enable_shared_from_this<QueueImpl> {
 public:
  QueueImpl(Kind kind, std::string label, Qos qos, std::shared_ptr<QueueImpl> target)
      : kind_(kind), label_(std::move(label)), interned_(intern(label_)), qos_(qos), target_(std::move(target)) {}

  Kind kind() const { return kind_; }
  const std::string& label() const { return label_; }
  const char* interned() const { return interned_; }
  const QueueImpl* target() const { return target_.get(); }

  // Runs `fn` with this queue as the thread's current queue.
  void run_in_context(const std::function<void()>& fn) const {
    struct Scope {
      const QueueImpl* prev;
      explicit Scope(const QueueImpl* q) : prev(tl_current) {
        tl_current = q;
        set_thread_label(q->interned_);
      }
      ~Scope() {
        tl_current = prev;
        set_thread_label(prev ? prev->interned_ : nullptr);
      }
    } scope(this);
    fn();
  }

  void async(std::function<void()> fn) {
    switch (kind_) {
      case Kind::global:
        pool().submit(qos_, [self = shared_from_this(), fn = std::move(fn)] { self->run_in_context(fn); });
        return;
      case Kind::concurrent: {
        std::unique_lock lk(m_);
        if (suspend_ > 0) {
          items_.push_back(std::move(fn));
          return;
        }
        lk.unlock();
        pool().submit(qos_, [self = shared_from_this(), fn = std::move(fn)] { self->run_in_context(fn); });
        return;
      }
      case Kind::main:
      case Kind::serial: {
        std::unique_lock lk(m_);
        items_.push_back(std::move(fn));
        if (scheduled_ || suspend_ > 0) return;
        scheduled_ = true;
        lk.unlock();
        submit_drain();
        return;
      }
    }
  }

  // Runs `fn` on the calling thread when this serial queue is idle (nothing
  // queued or draining, not suspended) and drains on the pool, holding the
  // queue meanwhile as a drain does; false when it must go through the queue.
  bool try_sync_here(const std::function<void()>& fn) {
    if (kind_ != Kind::serial || (target_ && target_->kind_ != Kind::global)) return false;
    {
      std::lock_guard lk(m_);
      if (scheduled_ || suspend_ > 0 || !items_.empty()) return false;
      scheduled_ = true;
    }
    struct Release {
      QueueImpl* q;
      ~Release() {
        std::unique_lock lk(q->m_);
        if (q->items_.empty() || q->suspend_ > 0) {
          q->scheduled_ = false;
          return;
        }
        lk.unlock();
        q->submit_drain();  // blocks queued meanwhile; still scheduled
      }
    } release{this};
    if (target_) {
      target_->run_in_context([&] { run_in_context(fn); });
    } else {
      run_in_context(fn);
    }
    return true;
  }

  void suspend() {
    if (kind_ == Kind::global) return;
    std::lock_guard lk(m_);
    ++suspend_;
  }

  void resume() {
    if (kind_ == Kind::global) return;
    std::unique_lock lk(m_);
    if (suspend_ == 0) return;  // unbalanced resume: the original crashes; we ignore it
    if (--suspend_ > 0) return;
    if (kind_ == Kind::concurrent) {
      auto held = std::move(items_);
      items_.clear();
      lk.unlock();
      for (auto& fn : held) {
        pool().submit(qos_, [self = shared_from_this(), fn = std::move(fn)] { self->run_in_context(fn); });
      }
      return;
    }
    if (items_.empty() || scheduled_) return;
    scheduled_ = true;
    lk.unlock();
    submit_drain();
  }

  void clear_for_testing() {
    std::deque<std::function<void()>> dropped;  // destroyed after the lock
    std::lock_guard lk(m_);
    dropped.swap(items_);
    suspend_ = 0;
    scheduled_ = false;
  }

 private:
  void submit_drain() {
    auto self = shared_from_this();
    auto drain = [self] { self->drain(); };
    if (kind_ == Kind::main) {
      RunLoop::main().perform(drain);
    } else if (target_ && target_->kind_ != Kind::global) {
      target_->async(drain);
    } else {
      pool().submit(target_ ? target_->qos_ : qos_, [self, drain] {
        if (self->target_) {
          self->target_->run_in_context(drain);
        } else {
          drain();
        }
      });
    }
  }

  void drain() {
    constexpr int kBatch = 64;  // then yield the thread when other work waits for one
    run_in_context([this] {
      for (int n = 0;; ++n) {
        std::function<void()> fn;
        {
          std::unique_lock lk(m_);
          if (items_.empty() || suspend_ > 0) {
            scheduled_ = false;
            return;
          }
          if (n >= kBatch && pool().has_pending()) {
            lk.unlock();
            submit_drain();  // still scheduled
            return;
          }
          fn = std::move(items_.front());
          items_.pop_front();
        }
        fn();
      }
    });
  }

  const Kind kind_;
  const std::string label_;
  const char* const interned_;
  const Qos qos_;
  const std::shared_ptr<QueueImpl> target_;

  std::mutex m_;
  std::deque<std::function<void()>> items_;
  bool scheduled_ = false;
  int suspend_ = 0;
};

namespace {

std::shared_ptr<QueueImpl>& main_impl() {
  static auto* q = new std::shared_ptr<QueueImpl>(
      std::make_shared<QueueImpl>(Kind::main, kMainQueueLabel, Qos::user_interactive, nullptr));
  return *q;
}

std::shared_ptr<QueueImpl>& global_impl(Qos qos) {
  static auto* qs = [] {
    auto* a = new std::array<std::shared_ptr<QueueImpl>, 5>;
    for (int i = 0; i < 5; ++i) {
      Qos q = static_cast<Qos>(i);
      (*a)[i] = std::make_shared<QueueImpl>(Kind::global, global_queue_label(q), q, nullptr);
    }
    return a;
  }();
  return (*qs)[static_cast<int>(qos)];
}

}  // namespace

void reset_queues() { main_impl()->clear_for_testing(); }

}  // namespace detail

// ---- Queue --------------------------------------------------------------------
Queue Queue::main() { return Queue(detail::main_impl()); }

Queue Queue::global(Qos qos) { return Queue(detail::global_impl(qos)); }

Queue Queue::serial(std::string label, std::optional<Queue> target) {
  std::shared_ptr<detail::QueueImpl> t = target ? target->impl_ : detail::global_impl(Qos::default_);
  return Queue(std::make_shared<detail::QueueImpl>(detail::Kind::serial, std::move(label), Qos::default_, t));
}

Queue Queue::concurrent(std::string label, Qos qos) {
  return Queue(std::make_shared<detail::QueueImpl>(detail::Kind::concurrent, std::move(label), qos, nullptr));
}

const std::string& Queue::label() const { return impl_->label(); }

void Queue::async(std::function<void()> block) const { impl_->async(std::move(block)); }

void Queue::sync(std::function<void()> block) const {
  if (impl_->kind() == detail::Kind::global || impl_->kind() == detail::Kind::concurrent) {
    impl_->run_in_context(block);  // as libdispatch: inline on the caller's thread
    return;
  }
  if (impl_->try_sync_here(block)) return;  // an idle serial queue: inline too, as libdispatch

  struct Waiter {
    std::mutex m;
    detail::Parking parking;
    bool done = false;
    std::exception_ptr error;
  } w;
  impl_->async([&w, &block] {
    std::exception_ptr error;
    try {
      block();
    } catch (...) {
      error = std::current_exception();
    }
    std::lock_guard lk(w.m);
    w.error = error;
    w.done = true;
    w.parking.notify_all();
  });
  {
    std::unique_lock lk(w.m);
    w.parking.wait(lk, [&w] { return w.done; });
  }
  if (w.error) std::rethrow_exception(w.error);
}

void Queue::after(Duration delay, std::function<void()> block) const {
  if (delay.count() <= 0) {
    impl_->async(std::move(block));  // never inline
    return;
  }
  detail::timer_add(detail::deadline_after(delay), [impl = impl_, block = std::move(block)]() mutable {
    impl->async(std::move(block));
  });
}

void Queue::suspend() const { impl_->suspend(); }
void Queue::resume() const { impl_->resume(); }

bool Queue::is_current() const {
  const detail::QueueImpl* p = detail::tl_current;
  if (!p) return impl_->kind() == detail::Kind::main && is_main_thread();
  for (; p; p = p->target()) {
    if (p == impl_.get()) return true;
  }
  return false;
}

std::string Queue::current_label() {
  if (detail::tl_current) return detail::tl_current->label();
  return is_main_thread() ? kMainQueueLabel : "";
}

}  // namespace platform::dispatch
