#include "platform/dispatch/sync.h"

#include <condition_variable>
#include <utility>
#include <vector>

#include "platform/dispatch/detail.h"

namespace platform::dispatch {
namespace detail {

struct GroupImpl {
  std::mutex m;
  Parking parking;
  long count = 0;
  std::vector<std::pair<Queue, std::function<void()>>> notifications;
};

struct SemaphoreImpl {
  std::mutex m;
  Parking parking;
  long value = 0;
};

struct TimerSourceImpl : std::enable_shared_from_this<TimerSourceImpl> {
  explicit TimerSourceImpl(Queue q) : queue(std::move(q)) {}
  ~TimerSourceImpl() {
    if (handle) timer_cancel(handle);
  }

  Queue queue;
  std::mutex m;
  std::function<void()> handler;
  std::function<void()> cancel_handler;
  bool scheduled = false;
  bool active = false;  // resumed
  bool cancelled = false;
  bool handler_pending = false;
  Nanos deadline{0};
  Nanos interval{0};
  TimerHandle handle = 0;
  std::uint64_t generation = 0;  // invalidates callbacks of an earlier schedule

  void arm_locked() {
    if (handle) timer_cancel(handle);
    handle = 0;
    if (!scheduled || !active || cancelled) return;
    std::weak_ptr<TimerSourceImpl> weak = weak_from_this();
    std::uint64_t gen = generation;
    handle = timer_add(deadline, [weak, gen] {
      if (auto self = weak.lock()) self->fire(gen);
    });
  }

  void fire(std::uint64_t gen) {
    std::lock_guard lk(m);
    if (gen != generation || cancelled || !active) return;
    handle = 0;
    if (!handler_pending && handler) {
      handler_pending = true;
      std::weak_ptr<TimerSourceImpl> weak = weak_from_this();
      queue.async([weak] {
        auto self = weak.lock();
        if (!self) return;
        std::function<void()> h;
        {
          std::lock_guard g(self->m);
          self->handler_pending = false;
          if (self->cancelled) return;
          h = self->handler;
        }
        if (h) h();
      });
    }
    if (interval.count() > 0) {
      Nanos next = deadline + interval;
      Nanos now = Clock::current().monotonic();
      if (next <= now) next = deadline + interval * ((now - deadline) / interval + 1);
      deadline = next;
      arm_locked();
    } else {
      scheduled = false;
    }
  }
};

}  // namespace detail

// ---- Group ------------------------------------------------------------------------
Group::Group() : impl_(std::make_shared<detail::GroupImpl>()) {}

void Group::enter() const {
  std::lock_guard lk(impl_->m);
  ++impl_->count;
}

void Group::leave() const {
  std::vector<std::pair<Queue, std::function<void()>>> ready;
  {
    std::lock_guard lk(impl_->m);
    if (impl_->count == 0) return;
    if (--impl_->count > 0) return;
    ready.swap(impl_->notifications);
    impl_->parking.notify_all();
  }
  for (auto& [q, fn] : ready) q.async(std::move(fn));
}

void Group::async(const Queue& queue, std::function<void()> block) const {
  enter();
  Group self = *this;
  queue.async([self, block = std::move(block)] {
    block();
    self.leave();
  });
}

void Group::notify(const Queue& queue, std::function<void()> block) const {
  {
    std::lock_guard lk(impl_->m);
    if (impl_->count > 0) {
      impl_->notifications.emplace_back(queue, std::move(block));
      return;
    }
  }
  queue.async(std::move(block));
}

bool Group::wait(Timeout timeout) const {
  std::unique_lock lk(impl_->m);
  auto* impl = impl_.get();
  return detail::clock_wait(lk, impl_->parking, impl_, timeout, [impl] { return impl->count == 0; });
}

// ---- Semaphore --------------------------------------------------------------------
Semaphore::Semaphore(long value) : impl_(std::make_shared<detail::SemaphoreImpl>()) { impl_->value = value; }

void Semaphore::signal() const {
  std::lock_guard lk(impl_->m);
  ++impl_->value;
  impl_->parking.notify_all();  // waiters compete; the losers park again
}

bool Semaphore::wait(Timeout timeout) const {
  std::unique_lock lk(impl_->m);
  auto* impl = impl_.get();
  if (!detail::clock_wait(lk, impl_->parking, impl_, timeout, [impl] { return impl->value > 0; })) return false;
  --impl_->value;
  return true;
}

// ---- TimerSource ------------------------------------------------------------------
TimerSource TimerSource::make(const Queue& queue) {
  return TimerSource(std::make_shared<detail::TimerSourceImpl>(queue));
}

TimerSource::~TimerSource() = default;

void TimerSource::schedule(double start_since_1970, Duration interval, Duration /*leeway*/) const {
  Clock& clock = Clock::current();
  double delay = start_since_1970 - clock.now_since_1970();
  std::lock_guard lk(impl_->m);
  ++impl_->generation;
  impl_->deadline = detail::deadline_after(Duration(delay));
  impl_->interval = detail::repeat_interval(interval);  // "forever" = once, as the analytics alarm uses it
  impl_->scheduled = true;
  impl_->arm_locked();
}

void TimerSource::schedule_after(Duration delay, Duration interval, Duration leeway) const {
  schedule(Clock::current().now_since_1970() + delay.count(), interval, leeway);
}

void TimerSource::on_event(std::function<void()> handler) const {
  std::lock_guard lk(impl_->m);
  impl_->handler = std::move(handler);
}

void TimerSource::on_cancel(std::function<void()> handler) const {
  std::lock_guard lk(impl_->m);
  impl_->cancel_handler = std::move(handler);
}

void TimerSource::resume() const {
  std::lock_guard lk(impl_->m);
  if (impl_->active || impl_->cancelled) return;
  impl_->active = true;
  impl_->arm_locked();
}

void TimerSource::suspend() const {
  std::lock_guard lk(impl_->m);
  impl_->active = false;
  impl_->arm_locked();  // disarms
}

void TimerSource::cancel() const {
  std::function<void()> on_cancel;
  {
    std::lock_guard lk(impl_->m);
    if (impl_->cancelled) return;
    impl_->cancelled = true;
    impl_->arm_locked();  // disarms
    on_cancel = std::move(impl_->cancel_handler);
    impl_->handler = nullptr;
  }
  if (on_cancel) impl_->queue.async(std::move(on_cancel));
}

bool TimerSource::is_cancelled() const {
  std::lock_guard lk(impl_->m);
  return impl_->cancelled;
}

}  // namespace platform::dispatch
