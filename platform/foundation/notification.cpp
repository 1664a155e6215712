#include "platform/foundation/notification.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <thread>

#include "platform/dispatch/operation.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"

namespace platform::foundation {

struct NotificationCenter::Entry {
  std::uint64_t id = 0;
  const void* owner = nullptr;
  std::string name;
  const void* object = nullptr;
  dispatch::OperationQueue* queue = nullptr;
  Block block;
  std::atomic<bool> removed{false};

  bool matches(const Notification& n) const {
    return (name.empty() || name == n.name) && (object == nullptr || object == n.sender());
  }

  // Calls of `block` now running, one entry per call (a thread may nest calls).
  std::mutex calls_m;
  std::condition_variable calls_cv;
  std::vector<std::thread::id> calls;

  // Runs the block unless the entry is removed; removal waits for the call.
  void call(const Notification& n) {
    {
      std::lock_guard lock(calls_m);
      if (removed.load()) return;
      calls.push_back(std::this_thread::get_id());
    }
    struct Leave {
      Entry& e;
      ~Leave() {
        std::lock_guard lock(e.calls_m);
        e.calls.erase(std::find(e.calls.begin(), e.calls.end(), std::this_thread::get_id()));
        e.calls_cv.notify_all();
      }
    } leave{*this};
    block(n);
  }

  // Marks the entry removed, then waits until no call runs on another thread.
  // Calls on this thread (the block removing its own registration, or a
  // nested post) are not waited for: they are below us on this stack.
  void remove_and_wait() {
    std::unique_lock lock(calls_m);
    removed.store(true);
    const auto self = std::this_thread::get_id();
    auto others_done = [&] {
      return std::all_of(calls.begin(), calls.end(), [self](std::thread::id t) { return t == self; });
    };
    if (others_done()) return;
    dispatch::PoolBlockingScope blocking;
    calls_cv.wait(lock, others_done);
  }
};

NotificationCenter& NotificationCenter::default_center() {
  // Never destroyed: queue blocks and late pool threads may still reach it at exit.
  static NotificationCenter* center = new NotificationCenter();
  return *center;
}

ObserverToken NotificationCenter::add_observer(const void* owner, std::string name, const void* object,
                                               dispatch::OperationQueue* queue, Block block) {
  auto entry = std::make_shared<Entry>();
  entry->owner = owner;
  entry->name = std::move(name);
  entry->object = object;
  entry->queue = queue;
  entry->block = std::move(block);
  std::uint64_t id;
  {
    std::lock_guard lock(mutex_);
    id = entry->id = next_id_++;
    entries_.push_back(std::move(entry));
  }
  return ObserverToken([this, id] { remove_id(id); });
}

void NotificationCenter::remove_id(std::uint64_t id) {
  std::shared_ptr<Entry> gone;
  {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(entries_.begin(), entries_.end(), [id](const auto& e) { return e->id == id; });
    if (it == entries_.end()) return;
    gone = std::move(*it);
    entries_.erase(it);
  }
  gone->remove_and_wait();
}

void NotificationCenter::remove_all(const void* owner) {
  if (owner == nullptr) return;
  std::vector<std::shared_ptr<Entry>> gone;
  {
    std::lock_guard lock(mutex_);
    auto it = std::stable_partition(entries_.begin(), entries_.end(),
                                    [owner](const auto& e) { return e->owner != owner; });
    gone.assign(std::make_move_iterator(it), std::make_move_iterator(entries_.end()));
    entries_.erase(it, entries_.end());
  }
  for (auto& e : gone) e->remove_and_wait();
}

void NotificationCenter::post(Notification notification) {
  std::vector<std::shared_ptr<Entry>> targets;
  {
    std::lock_guard lock(mutex_);
    for (const auto& e : entries_) {
      if (e->matches(notification)) targets.push_back(e);
    }
  }
  if (targets.empty()) return;
  // Queued observers share one copy of the notification.
  std::shared_ptr<const Notification> shared;
  for (const auto& e : targets) {
    if (e->removed.load()) continue;
    if (e->queue == nullptr) {
      e->call(notification);
      continue;
    }
    if (!shared) shared = std::make_shared<const Notification>(notification);
    e->queue->add([e, shared] { e->call(*shared); });
  }
}

void NotificationCenter::reset_for_testing() {
  std::vector<std::shared_ptr<Entry>> gone;
  {
    std::lock_guard lock(mutex_);
    gone.swap(entries_);
  }
  for (auto& e : gone) e->removed.store(true);
}

// ---- NotificationQueue -----------------------------------------------------

namespace {

bool coalesces(const Notification& a, const Notification& b, unsigned mask) {
  if (mask == coalesce_none) return false;
  if ((mask & coalesce_on_name) && a.name != b.name) return false;
  if ((mask & coalesce_on_sender) && a.sender() != b.sender()) return false;
  return true;
}

}  // namespace

NotificationQueue& NotificationQueue::default_queue() {
  static NotificationQueue* queue = new NotificationQueue();
  return *queue;
}

void NotificationQueue::enqueue(Notification notification, PostingStyle style, unsigned coalesce) {
  {
    std::lock_guard lock(mutex_);
    if (coalesce != coalesce_none) {
      std::erase_if(pending_, [&](const Pending& p) { return coalesces(p.notification, notification, coalesce); });
    }
    if (style != PostingStyle::post_now) {
      pending_.push_back(Pending{std::move(notification), style});
      schedule_flush_locked();
      return;
    }
  }
  NotificationCenter::default_center().post(std::move(notification));
}

std::size_t NotificationQueue::pending_count() const {
  std::lock_guard lock(mutex_);
  return pending_.size();
}

void NotificationQueue::schedule_flush_locked() {
  if (flush_scheduled_) return;
  flush_scheduled_ = true;
  std::uint64_t generation = generation_;
  dispatch::RunLoop::main().perform([this, generation] { flush(generation); });
}

void NotificationQueue::flush(std::uint64_t generation) {
  // Everything pending at the start of this turn, as-soon-as-possible first.
  std::vector<Pending> batch;
  {
    std::lock_guard lock(mutex_);
    if (generation != generation_) return;   // scheduled before a reset
    flush_scheduled_ = false;
    std::stable_partition(pending_.begin(), pending_.end(),
                          [](const Pending& p) { return p.style == PostingStyle::post_asap; });
    batch.swap(pending_);
  }
  std::size_t next = 0;
  try {
    for (; next < batch.size(); ++next) NotificationCenter::default_center().post(std::move(batch[next].notification));
  } catch (...) {
    // An observer threw: the rest of this turn's notifications wait for the
    // next turn, ahead of anything enqueued since.
    std::lock_guard lock(mutex_);
    if (generation == generation_) {
      std::vector<Pending> rest(std::make_move_iterator(batch.begin() + static_cast<std::ptrdiff_t>(next) + 1),
                                std::make_move_iterator(batch.end()));
      rest.insert(rest.end(), std::make_move_iterator(pending_.begin()), std::make_move_iterator(pending_.end()));
      pending_.swap(rest);
      if (!pending_.empty()) schedule_flush_locked();
    }
    throw;
  }
}

void NotificationQueue::reset_for_testing() {
  std::lock_guard lock(mutex_);
  pending_.clear();
  flush_scheduled_ = false;
  ++generation_;
}

}  // namespace platform::foundation
