#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/value.h"

namespace platform::dispatch {
class OperationQueue;
}

namespace platform::foundation {

// The object of a notification (its sender). Compared by address only; the
// notification keeps it alive while it is delivered or queued.
using ObjectRef = std::shared_ptr<const void>;

// A reference to an object the caller keeps alive itself (a raw sender such as `this`).
inline ObjectRef unowned_ref(const void* p) { return ObjectRef(ObjectRef{}, p); }

struct Notification {
  std::string name;
  ObjectRef object;
  Dict user_info;

  Notification() = default;
  explicit Notification(std::string n, ObjectRef obj = nullptr, Dict info = {})
      : name(std::move(n)), object(std::move(obj)), user_info(std::move(info)) {}
  Notification(std::string n, const void* sender, Dict info = {})
      : name(std::move(n)), object(unowned_ref(sender)), user_info(std::move(info)) {}
  Notification(std::string n, std::nullptr_t, Dict info = {})
      : name(std::move(n)), user_info(std::move(info)) {}

  const void* sender() const { return object.get(); }
};

// Move-only handle on one registration. Destroying or overwriting the handle
// does NOT remove the observer: registrations last until remove() (here or
// through the centre) or the owner's remove_all(), so a caller may drop the
// handle and rely on owner-based removal. remove() is idempotent.
class ObserverToken {
 public:
  ObserverToken() = default;
  explicit ObserverToken(std::function<void()> remover) : remover_(std::move(remover)) {}
  ObserverToken(ObserverToken&& other) noexcept : remover_(std::move(other.remover_)) { other.remover_ = nullptr; }
  ObserverToken& operator=(ObserverToken&& other) noexcept {
    if (this != &other) {
      remover_ = std::move(other.remover_);
      other.remover_ = nullptr;
    }
    return *this;
  }
  ObserverToken(const ObserverToken&) = delete;
  ObserverToken& operator=(const ObserverToken&) = delete;

  // True until remove() has been called through this handle.
  explicit operator bool() const { return static_cast<bool>(remover_); }
  void remove() {
    if (auto r = std::exchange(remover_, nullptr)) r();
  }

 private:
  std::function<void()> remover_;
};

// Process-wide notification centre.
//
// post() runs the matching observers in registration order. An observer
// registered without a queue runs on the posting thread before post()
// returns; an exception it throws propagates to the poster and the remaining
// observers of that post are skipped. An observer registered with an
// operation queue gets its block added to that queue; post() does not wait
// for it.
//
// Thread-safe. No lock is held while an observer runs, so observers may post,
// add or remove observers. Observers added during a post are first called by
// the next post; an observer removed during a post is not called afterwards,
// including by blocks already waiting on its queue. remove() and remove_all()
// return only once every call of the removed observers running on another
// thread has ended, so the caller may then destroy what the observer uses; a
// call on the removing thread itself (an observer removing itself) is not
// waited for. Two observers that remove each other from their calls on two
// threads at once wait for each other forever: remove from outside the call.
class NotificationCenter {
 public:
  using Token = ObserverToken;
  using Block = std::function<void(const Notification&)>;

  static NotificationCenter& default_center();

  // `name` empty: every name. `object` nullptr: any sender. `owner` groups
  // registrations for remove_all(); it may be nullptr. A `queue` must outlive
  // the registration.
  Token add_observer(const void* owner, std::string name, const void* object,
                     dispatch::OperationQueue* queue, Block block);
  void remove(Token& token) { token.remove(); }
  // Removes every registration made with `owner`; nullptr removes nothing.
  void remove_all(const void* owner);

  void post(Notification notification);
  void post(std::string name, const void* sender = nullptr, Dict user_info = {}) {
    post(Notification(std::move(name), sender, std::move(user_info)));
  }

  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  // Drops every registration (platform::foundation::reset_for_testing).
  void reset_for_testing();

 private:
  NotificationCenter() = default;
  struct Entry;
  void remove_id(std::uint64_t id);

  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<Entry>> entries_;   // registration order
  std::uint64_t next_id_ = 1;
};

enum class PostingStyle { post_when_idle, post_asap, post_now };

// Which pending notifications a new one replaces.
enum Coalescing : unsigned { coalesce_none = 0, coalesce_on_name = 1, coalesce_on_sender = 2 };

// Deferred posting through the default centre.
//
// post_asap and post_when_idle post on the next turn of the main run loop
// (RunLoop::main()), whatever thread enqueues: a pool thread's run loop may
// never run. On that turn the as-soon-as-possible notifications go first,
// then the idle ones, each in enqueue order. post_now posts at once on the
// calling thread. With a coalescing mask, enqueue first drops every pending
// notification that matches the new one on the masked fields (name; sender by
// address); the new one then takes its place at the end of the line.
class NotificationQueue {
 public:
  static NotificationQueue& default_queue();

  void enqueue(Notification notification, PostingStyle style = PostingStyle::post_asap,
               unsigned coalesce = coalesce_on_name | coalesce_on_sender);

  // Number of notifications waiting for the main run loop.
  std::size_t pending_count() const;

  NotificationQueue(const NotificationQueue&) = delete;
  NotificationQueue& operator=(const NotificationQueue&) = delete;

  // Drops every pending notification (platform::foundation::reset_for_testing).
  void reset_for_testing();

 private:
  NotificationQueue() = default;
  struct Pending {
    Notification notification;
    PostingStyle style;
  };
  void flush(std::uint64_t generation);
  void schedule_flush_locked();

  mutable std::mutex mutex_;
  std::vector<Pending> pending_;
  bool flush_scheduled_ = false;
  std::uint64_t generation_ = 0;
};

}  // namespace platform::foundation
