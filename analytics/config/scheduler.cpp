// The worker scheduler and the named one-shot alarms.
#include "analytics/config/scheduler.h"

#include <mutex>
#include <utility>

#include "analytics/engine/measurement.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/sync.h"

namespace analytics {

namespace dispatch = platform::dispatch;
namespace fd = platform::foundation;

// ---- APMScheduler ------------------------------------------------------------------

APMScheduler::APMScheduler(std::string_view label)
    : workerQueue_(dispatch::Queue::serial(std::string(label), dispatch::Queue::global(dispatch::Qos::background))) {}

void APMScheduler::scheduleOnWorkerQueueBlockID(std::string_view blockID, std::function<void()> block) const {
  if (!block) {
    APMMeasurement::monitor().logWithLevel(1, 30005, "Nil block dispatched asynchronously on worker queue. Block ID=%@.",
                                           fd::Value(std::string(blockID)));
    return;
  }
  workerQueue_.async(std::move(block));
}

void APMScheduler::dispatchSyncOnWorkerQueueBlockID(std::string_view blockID,
                                                    const std::function<void()>& block) const {
  if (!block) {
    APMMeasurement::monitor().logWithLevel(1, 30002, "Nil block dispatched synchronously on worker queue. Block ID=%@.",
                                           fd::Value(std::string(blockID)));
    return;
  }
  bool completed = false;
  if (workerQueue_.is_current()) {
    // A synchronous dispatch onto the queue already running would wait for itself.
    block();
    completed = true;
  } else {
    workerQueue_.sync([&] {
      block();
      completed = true;
    });
  }
  if (!completed) {
    APMMeasurement::monitor().logWithLevel(4, 30004, "Synchronous task failed. Block ID=%@",
                                           fd::Value(std::string(blockID)));
  }
}

bool APMScheduler::checkOnBackgroundThreadWithMethodName(std::string_view methodName) {
  if (!dispatch::is_main_thread()) return true;
  const std::string name = methodName.empty() ? std::string("<empty method name>") : std::string(methodName);
  APMMeasurement::monitor().logWithLevel(1, 30001, "Method " + name + " should execute on background thread");
  return false;
}

// ---- APMAlarm ----------------------------------------------------------------------

struct APMAlarm::State {
  State(dispatch::Queue q, std::string_view n) : queue(std::move(q)), name(n.empty() ? "Timer" : std::string(n)) {}

  dispatch::Queue queue;
  std::string name;
  mutable std::mutex mutex;
  std::optional<dispatch::TimerSource> timer;
  std::optional<double> scheduledTimestamp;

  bool hasActiveTimerLocked() const { return timer && !timer->is_cancelled(); }

  void log(std::int64_t level, std::int64_t code, std::string_view text) const {
    APMMeasurement::monitor().logWithLevel(level, code, name + std::string(text));
  }

  void cancel() {
    std::optional<dispatch::TimerSource> dropped;  // released outside the lock
    {
      std::lock_guard lock(mutex);
      if (!scheduledTimestamp) return;
      log(7, 2003, " canceled");
      if (hasActiveTimerLocked()) {
        timer->cancel();
      } else {
        log(4, 2004, " is not active");
      }
      dropped = std::move(timer);
      timer.reset();
      scheduledTimestamp.reset();
    }
  }
};

APMAlarm::APMAlarm(dispatch::Queue queue, std::string_view name)
    : state_(std::make_shared<State>(std::move(queue), name)) {}

APMAlarm::~APMAlarm() {
  state_->cancel();
  // The handler holds the state; a timer left without a date is dropped too.
  std::lock_guard lock(state_->mutex);
  if (state_->timer) state_->timer->cancel();
  state_->timer.reset();
}

void APMAlarm::runAfterDelay(double delay, std::function<void()> block) {
  if (!block) {
    state_->log(1, 2000, " tried to schedule an empty block");
    return;
  }
  state_->cancel();
  const double fireAt = dispatch::Clock::current().now_since_1970() + delay;
  auto timer = dispatch::TimerSource::make(state_->queue);
  // The handler keeps the state and the block alive until the source is
  // cancelled, which the fire step does before the block runs.
  timer.on_event([state = state_, block = std::move(block)] {
    state->log(7, 2001, " fired");
    state->cancel();
    block();
  });
  {
    std::lock_guard lock(state_->mutex);
    state_->scheduledTimestamp = fireAt;
    // The wall time as a double: a far delay cannot overflow; the source
    // clamps far deadlines itself.
    timer.schedule(fireAt, dispatch::Duration(0));
    timer.resume();
    state_->timer = std::move(timer);
  }
  APMMeasurement::monitor().logWithLevel(7, 2002, state_->name + " scheduled to fire in approx. (s)", fd::Value(delay));
}

void APMAlarm::cancel() { state_->cancel(); }

bool APMAlarm::hasActiveTimer() const {
  std::lock_guard lock(state_->mutex);
  return state_->hasActiveTimerLocked();
}

std::optional<double> APMAlarm::scheduledTimestamp() const {
  std::lock_guard lock(state_->mutex);
  return state_->scheduledTimestamp;
}

const std::string& APMAlarm::name() const { return state_->name; }

const dispatch::Queue& APMAlarm::queue() const { return state_->queue; }

}  // namespace analytics
