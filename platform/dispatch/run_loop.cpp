#include "platform/dispatch/run_loop.h"

#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/dispatch/detail.h"
#include "platform/dispatch/queue.h"

namespace platform::dispatch {
namespace detail {

struct RunLoopCore : std::enable_shared_from_this<RunLoopCore> {
  struct Item {
    std::function<void()> fn;
    TimerId timer = 0;  // when set: run this timer's block if it is still valid
  };
  struct Timer {
    TimerHandle handle = 0;
    Nanos deadline{0};
    Nanos repeat{0};
    std::function<void()> fn;
    bool queued = false;
  };
  struct Request {
    const void* target;
    std::string what;
    TimerId timer;
  };

  mutable std::mutex m;
  Parking parking;
  std::deque<Item> ready;
  std::unordered_map<TimerId, Timer> timers;
  std::vector<Request> requests;
  TimerId next_id = 0;
  int running = 0;
  bool stop_flag = false;

  void arm_locked(TimerId id, Timer& t) {
    std::weak_ptr<RunLoopCore> weak = weak_from_this();
    t.handle = timer_add(t.deadline, [weak, id] {
      if (auto core = weak.lock()) core->fire(id);
    });
  }

  // Timer-table callback: the timer fell due; make it ready.
  void fire(TimerId id) {
    std::lock_guard lk(m);
    auto it = timers.find(id);
    if (it == timers.end()) return;
    Timer& t = it->second;
    if (!t.queued) {
      t.queued = true;
      ready.push_back(Item{nullptr, id});
    }
    if (t.repeat.count() > 0) {
      Nanos next = t.deadline + t.repeat;
      Nanos now = Clock::current().monotonic();
      if (next <= now) {  // the loop fell behind (real clock): skip missed fires, as NSTimer does
        auto missed = (now - t.deadline) / t.repeat;
        next = t.deadline + t.repeat * (missed + 1);
      }
      t.deadline = next;
      arm_locked(id, t);
    }
    parking.notify_all();
  }

  TimerId add_timer_locked(Duration delay, Duration repeat, std::function<void()> fn) {
    TimerId id = ++next_id;
    Timer& t = timers[id];
    t.deadline = deadline_after(delay);
    t.repeat = repeat_interval(repeat);
    t.fn = std::move(fn);
    arm_locked(id, t);
    return id;
  }

  void invalidate_locked(TimerId id) {
    auto it = timers.find(id);
    if (it == timers.end()) return;
    timer_cancel(it->second.handle);
    timers.erase(it);
    std::erase_if(requests, [id](const Request& r) { return r.timer == id; });
  }

  // Takes the next runnable item; false when none is ready. Called with `lk` held.
  bool take_locked(std::function<void()>& out) {
    while (!ready.empty()) {
      Item item = std::move(ready.front());
      ready.pop_front();
      if (item.timer == 0) {
        out = std::move(item.fn);
        return true;
      }
      auto it = timers.find(item.timer);
      if (it == timers.end()) continue;  // invalidated after it fell due
      it->second.queued = false;
      out = it->second.fn;
      if (it->second.repeat.count() == 0) invalidate_locked(item.timer);
      return true;
    }
    return false;
  }

  void clear() {
    // Blocks are destroyed after the lock is released: their captures may call back.
    std::unordered_map<TimerId, Timer> dropped_timers;
    std::deque<Item> dropped_items;
    std::lock_guard lk(m);
    for (auto& [id, t] : timers) timer_cancel(t.handle);
    dropped_timers.swap(timers);
    dropped_items.swap(ready);
    requests.clear();
    stop_flag = false;
  }

  // The common body of run / run_until / run_for.
  bool run(const std::function<bool()>* done, const Timeout& timeout) {
    auto timed_out = std::make_shared<bool>(false);
    TimerHandle h = 0;
    if (timeout) {
      std::weak_ptr<RunLoopCore> weak = weak_from_this();
      h = timer_add(deadline_after(*timeout), [weak, timed_out] {
        if (auto core = weak.lock()) {
          std::lock_guard g(core->m);
          *timed_out = true;
          core->parking.notify_all();
        }
      });
    }
    std::unique_lock lk(m);
    ++running;
    bool result = false;
    for (;;) {
      if (done) {
        lk.unlock();
        result = (*done)();
        lk.lock();
        if (result) break;
      }
      if (stop_flag) {
        stop_flag = false;
        break;
      }
      std::function<void()> fn;
      if (take_locked(fn)) {
        lk.unlock();
        fn();
        fn = nullptr;
        lk.lock();
        continue;
      }
      if (*timed_out) break;
      parking.wait_once(lk);
    }
    --running;
    lk.unlock();
    if (h) timer_cancel(h);
    if (done && !result) result = (*done)();
    return result;
  }
};

namespace {
RunLoop* g_main_loop = nullptr;
std::once_flag g_main_once;
}  // namespace

void reset_run_loops() {
  RunLoop::main().core()->clear();
  set_main_tid(0);
}

}  // namespace detail

RunLoop::RunLoop() : core_(std::make_shared<detail::RunLoopCore>()) {}

RunLoop::~RunLoop() { core_->clear(); }

RunLoop& RunLoop::main() {
  std::call_once(detail::g_main_once, [] { detail::g_main_loop = new RunLoop; });  // never destroyed
  return *detail::g_main_loop;
}

RunLoop& RunLoop::current() {
  if (is_main_thread()) return main();
  thread_local std::unique_ptr<RunLoop> loop;
  if (!loop) loop = std::make_unique<RunLoop>();
  return *loop;
}

void RunLoop::bind_main_to_current_thread() { detail::set_main_tid(detail::current_tid()); }

void RunLoop::perform(std::function<void()> block) {
  std::lock_guard lk(core_->m);
  core_->ready.push_back(detail::RunLoopCore::Item{std::move(block), 0});
  core_->parking.notify_all();
}

TimerId RunLoop::add_timer(Duration delay, Duration repeat, std::function<void()> block) {
  std::lock_guard lk(core_->m);
  return core_->add_timer_locked(delay, repeat, std::move(block));
}

void RunLoop::invalidate(TimerId id) {
  std::lock_guard lk(core_->m);
  core_->invalidate_locked(id);
}

void RunLoop::perform_after(const void* target, std::string_view what, Duration delay,
                            std::function<void()> block) {
  std::lock_guard lk(core_->m);
  TimerId id = core_->add_timer_locked(delay, Duration(0), std::move(block));
  core_->requests.push_back(detail::RunLoopCore::Request{target, std::string(what), id});
}

void RunLoop::cancel_perform_requests(const void* target, std::string_view what) {
  std::lock_guard lk(core_->m);
  std::vector<TimerId> ids;
  for (const auto& r : core_->requests) {
    if (r.target == target && (what.empty() || r.what == what)) ids.push_back(r.timer);
  }
  for (TimerId id : ids) core_->invalidate_locked(id);
}

void RunLoop::run() { core_->run(nullptr, std::nullopt); }

void RunLoop::stop() {
  std::lock_guard lk(core_->m);
  if (core_->running == 0) return;
  core_->stop_flag = true;
  core_->parking.notify_all();
}

bool RunLoop::run_until(const std::function<bool()>& done, Duration timeout) {
  return core_->run(&done, timeout);
}

void RunLoop::run_for(Duration d) { core_->run(nullptr, d); }

std::size_t RunLoop::run_pending() {
  std::size_t n = 0;
  std::unique_lock lk(core_->m);
  std::function<void()> fn;
  while (core_->take_locked(fn)) {
    lk.unlock();
    fn();
    fn = nullptr;
    ++n;
    lk.lock();
  }
  return n;
}

bool RunLoop::is_running() const {
  std::lock_guard lk(core_->m);
  return core_->running > 0;
}

std::size_t RunLoop::pending_count() const {
  std::lock_guard lk(core_->m);
  return core_->ready.size();
}

}  // namespace platform::dispatch
