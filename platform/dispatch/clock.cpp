#include "platform/dispatch/clock.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/dispatch/detail.h"
#include "platform/dispatch/queue.h"

namespace platform::dispatch {

namespace {

struct ClockState {
  std::mutex m;
  std::vector<std::shared_ptr<Clock>> kept;  // every clock ever installed stays alive
  std::atomic<Clock*> current{nullptr};
  std::shared_ptr<Clock> real;
};

ClockState& clock_state() {
  static ClockState* s = [] {
    auto* st = new ClockState;  // never destroyed: pool threads may read it at exit
    st->real = std::make_shared<RealClock>();
    st->kept.push_back(st->real);
    st->current.store(st->real.get());
    return st;
  }();
  return *s;
}

// ---- the timer table ------------------------------------------------------
struct TimerKey {
  detail::Nanos deadline;
  std::uint64_t seq;
  bool operator<(const TimerKey& o) const {
    return deadline != o.deadline ? deadline < o.deadline : seq < o.seq;
  }
};

class TimerTable {
 public:
  detail::TimerHandle add(detail::Nanos deadline, std::function<void()> cb) {
    std::unique_lock lk(m_);
    std::uint64_t id = ++seq_;
    auto it = table_.emplace(TimerKey{deadline, id}, std::move(cb)).first;
    index_.emplace(id, it);
    bool earliest = it == table_.begin();
    if (!thread_started_) {
      thread_started_ = true;
      std::thread([this] { loop(); }).detach();
    }
    lk.unlock();
    if (earliest) cv_.notify_all();
    return id;
  }

  // Callbacks are destroyed outside the lock: their captures may cancel timers.
  void cancel(detail::TimerHandle id) {
    std::function<void()> dropped;
    std::lock_guard lk(m_);
    auto it = index_.find(id);
    if (it == index_.end()) return;
    dropped = std::move(it->second->second);
    table_.erase(it->second);
    index_.erase(it);
  }

  void clear() {
    std::map<TimerKey, std::function<void()>> dropped;
    std::lock_guard lk(m_);
    dropped.swap(table_);
    index_.clear();
  }

  std::optional<detail::Nanos> next() {
    std::lock_guard lk(m_);
    if (table_.empty()) return std::nullopt;
    return table_.begin()->first.deadline;
  }

  void fire_due(detail::Nanos now) {
    std::lock_guard serial(fire_m_);  // one firer at a time keeps the due order
    while (fire_one_locked(now)) {
    }
  }

  bool fire_next(detail::Nanos now) {
    std::lock_guard serial(fire_m_);
    return fire_one_locked(now);
  }

  void wake() { cv_.notify_all(); }

 private:
  bool fire_one_locked(detail::Nanos now) {
    std::function<void()> cb;
    {
      std::lock_guard lk(m_);
      if (table_.empty() || table_.begin()->first.deadline > now) return false;
      auto it = table_.begin();
      cb = std::move(it->second);
      index_.erase(it->first.seq);
      table_.erase(it);
    }
    cb();
    return true;
  }

  void loop() {
    std::unique_lock lk(m_);
    for (;;) {
      if (table_.empty()) {
        cv_.wait(lk);
        continue;
      }
      Clock& clock = Clock::current();
      if (!clock.advances_by_itself()) {
        cv_.wait(lk);  // the clock's owner fires deadlines itself
        continue;
      }
      detail::Nanos now = clock.monotonic();
      detail::Nanos due = table_.begin()->first.deadline;
      if (due <= now) {
        lk.unlock();
        fire_due(now);
        lk.lock();
      } else {
        cv_.wait_for(lk, due - now);
      }
    }
  }

  std::mutex m_;
  std::mutex fire_m_;
  std::condition_variable cv_;
  std::map<TimerKey, std::function<void()>> table_;
  std::unordered_map<std::uint64_t, std::map<TimerKey, std::function<void()>>::iterator> index_;
  std::uint64_t seq_ = 0;
  bool thread_started_ = false;
};

TimerTable& timers() {
  static TimerTable* t = new TimerTable;  // never destroyed: its thread lives to the end
  return *t;
}

}  // namespace

// ---- Clock ------------------------------------------------------------------
Clock& Clock::current() { return *clock_state().current.load(std::memory_order_acquire); }

void Clock::install(std::shared_ptr<Clock> clock) {
  ClockState& s = clock_state();
  {
    std::lock_guard lk(s.m);
    if (!clock) clock = s.real;
    s.kept.push_back(clock);
    s.current.store(clock.get(), std::memory_order_release);
  }
  detail::timer_clock_changed();
}

std::optional<std::chrono::nanoseconds> Clock::next_deadline() { return timers().next(); }

void Clock::fire_due_timers(std::chrono::nanoseconds now) { timers().fire_due(now); }

bool Clock::fire_next_due_timer(std::chrono::nanoseconds now) { return timers().fire_next(now); }

void Clock::jumped_forward() { detail::timer_clock_changed(); }

double RealClock::now_since_1970() const {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

std::chrono::nanoseconds RealClock::monotonic() const {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
}

double RealClock::boot_time_since_1970() const {
  // steady_clock on Linux is CLOCK_MONOTONIC: time since boot (less suspend).
  static const double boot = [this] {
    return now_since_1970() - std::chrono::duration<double>(monotonic()).count();
  }();
  return boot;
}

double absolute_time() { return Clock::current().now_since_1970() - kAbsoluteTimeEpochSince1970; }

double uptime() {
  Clock& c = Clock::current();
  return c.now_since_1970() - c.boot_time_since_1970();
}

// ---- detail -------------------------------------------------------------------
namespace detail {

TimerHandle timer_add(Nanos deadline, std::function<void()> callback) {
  return timers().add(deadline, std::move(callback));
}
void timer_cancel(TimerHandle h) { timers().cancel(h); }
void timer_clear_all() { timers().clear(); }
void timer_clock_changed() { timers().wake(); }

namespace {
constexpr double kCentury = 100.0 * 365 * 24 * 3600;  // seconds
}

Nanos deadline_after(Duration d) {
  Nanos now = Clock::current().monotonic();
  if (!(d.count() > 0)) return now;  // also NaN
  // Clamp absurd durations (e.g. DBL_MAX) so the conversion cannot overflow.
  double secs = d.count() > kCentury ? kCentury : d.count();
  return now + std::chrono::duration_cast<Nanos>(Duration(secs));
}

Nanos repeat_interval(Duration d) {
  if (!(d.count() > 0) || d.count() >= kCentury) return Nanos(0);
  return std::max(Nanos(1), std::chrono::duration_cast<Nanos>(d));
}

bool clock_wait(std::unique_lock<std::mutex>& lk, Parking& parking,
                const std::shared_ptr<void>& owner, const Timeout& timeout,
                const std::function<bool()>& pred) {
  if (pred()) return true;
  if (!timeout) {
    parking.wait(lk, pred);
    return true;
  }
  if (timeout->count() <= 0) return false;
  // The deadline is registered before the thread parks, so a test that waits
  // for the pool to be quiet and then advances a ManualClock finds it in place.
  auto timed_out = std::make_shared<bool>(false);  // guarded by *lk.mutex()
  std::weak_ptr<void> weak = owner;
  std::mutex* m = lk.mutex();
  Parking* p = &parking;
  TimerHandle h = timer_add(deadline_after(*timeout), [weak, m, p, timed_out] {
    auto alive = weak.lock();
    if (!alive) return;
    std::lock_guard g(*m);
    *timed_out = true;
    p->notify_all();
  });
  parking.wait(lk, [&] { return pred() || *timed_out; });
  timer_cancel(h);  // non-blocking; a callback in flight only sets the flag
  return pred();
}

}  // namespace detail
}  // namespace platform::dispatch
