#pragma once
// GULMutableDictionary: a dictionary shared between threads without a lock.
// Every access runs on the instance's own serial queue "GULMutableDictionary":
// reads synchronously, writes asynchronously. Since the queue is serial, a
// read from any thread sees every write issued before it.
//
// Threads: any thread, except a block already running on the dictionary's own
// queue (a read there would wait for itself).
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/dispatch/queue.h"
#include "platform/foundation/value.h"

namespace core {

template <class V, class K = std::string>
class GULMutableDictionary {
 public:
  GULMutableDictionary() : state_(std::make_shared<State>()), queue_(platform::dispatch::Queue::serial("GULMutableDictionary")) {}
  GULMutableDictionary(const GULMutableDictionary&) = delete;
  GULMutableDictionary& operator=(const GULMutableDictionary&) = delete;

  std::optional<V> objectForKey(const K& key) const {
    std::optional<V> value;
    queue_.sync([&] {
      auto it = state_->objects.find(key);
      if (it != state_->objects.end()) value = it->second;
    });
    return value;
  }
  std::optional<V> operator[](const K& key) const { return objectForKey(key); }

  std::size_t count() const {
    std::size_t n = 0;
    queue_.sync([&] { n = state_->objects.size(); });
    return n;
  }

  // A copy of the entries; later writes leave it as it is.
  std::map<K, V> dictionary() const {
    std::map<K, V> copy;
    queue_.sync([&] { copy = state_->objects; });
    return copy;
  }

  // The entries' property-list style text, for values a Value can carry.
  std::string description() const
    requires std::is_same_v<K, std::string> && std::is_constructible_v<platform::foundation::Value, const V&>
  {
    platform::foundation::Dict dict;
    queue_.sync([&] {
      for (const auto& [key, value] : state_->objects) dict.set(key, platform::foundation::Value(value));
    });
    return platform::foundation::describe(platform::foundation::Value(std::move(dict)));
  }

  // Nothing (nullopt) removes the key.
  void setObject(std::optional<V> value, K key) {
    queue_.async([state = state_, value = std::move(value), key = std::move(key)]() mutable {
      if (value) state->objects.insert_or_assign(std::move(key), std::move(*value));
      else state->objects.erase(key);
    });
  }
  void removeObjectForKey(K key) {
    queue_.async([state = state_, key = std::move(key)] { state->objects.erase(key); });
  }
  void removeAllObjects() {
    queue_.async([state = state_] { state->objects.clear(); });
  }

 private:
  // Shared with the queued writes, which may run after the dictionary is gone.
  struct State {
    std::map<K, V> objects;
  };
  std::shared_ptr<State> state_;
  platform::dispatch::Queue queue_;
};

}  // namespace core
