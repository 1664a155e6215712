#pragma once
// An observer table. The strong kind keeps its observers alive and calls
// their onChanged at once, on the thread that reported the change, under the
// table's re-entrant lock. The weak kind does not keep its observers alive
// and queues one call of its change selector per observer on the main queue.
#include <algorithm>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "push/utilities.h"

namespace push {

template <class Observer, class Arg>
class OSObservable : public std::enable_shared_from_this<OSObservable<Observer, Arg>> {
 public:
  using ChangeSelector = std::function<void(Observer& observer, const std::shared_ptr<Arg>& state)>;

  OSObservable() = default;
  explicit OSObservable(ChangeSelector changeSelector) : weak_(true), changeSelector_(std::move(changeSelector)) {}

  void addObserver(const std::shared_ptr<Observer>& observer) {
    if (!observer) return;
    std::lock_guard lock(mutex_);
    prune();
    for (const auto& entry : entries_)
      if (pointer(entry) == observer.get()) return;
    Entry entry;
    if (weak_) {
      entry.weak = observer;
    } else {
      entry.strong = observer;
    }
    entries_.push_back(std::move(entry));
  }

  void removeObserver(const Observer* observer) {
    std::lock_guard lock(mutex_);
    std::erase_if(entries_, [&](const Entry& e) { return pointer(e) == observer || pointer(e) == nullptr; });
  }

  // Delivers to every observer; true when at least one was in the table.
  bool notifyChange(const std::shared_ptr<Arg>& state) {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<Observer>> snapshot;
    snapshot.reserve(entries_.size());
    for (const auto& entry : entries_) {
      auto observer = weak_ ? entry.weak.lock() : entry.strong;
      if (observer) snapshot.push_back(std::move(observer));
    }
    for (const auto& observer : snapshot) {
      if (weak_) {
        callObserver(observer, state);
      } else if constexpr (requires { observer->onChanged(state); }) {
        observer->onChanged(state);
      }
    }
    return !snapshot.empty();
  }

  // Queues one delivery on the main queue; it keeps observer, table and state alive.
  void callObserver(const std::shared_ptr<Observer>& observer, const std::shared_ptr<Arg>& state) {
    auto self = this->shared_from_this();
    dispatch_async_on_main_queue([self, observer, state] {
      ChangeSelector selector;
      {
        std::lock_guard lock(self->mutex_);
        selector = self->changeSelector_;
      }
      if (selector) selector(*observer, state);
    });
  }

  std::size_t count() const {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const auto& entry : entries_) n += pointer(entry) != nullptr;
    return n;
  }

 private:
  struct Entry {
    std::shared_ptr<Observer> strong;
    std::weak_ptr<Observer> weak;
  };
  Observer* pointer(const Entry& e) const { return weak_ ? e.weak.lock().get() : e.strong.get(); }
  void prune() {
    if (weak_) std::erase_if(entries_, [](const Entry& e) { return e.weak.expired(); });
  }

  mutable std::recursive_mutex mutex_;
  const bool weak_ = false;
  ChangeSelector changeSelector_;
  std::vector<Entry> entries_;
};

}  // namespace push
