#include "platform/runtime/selector.h"

#include <deque>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>

namespace platform::rt {
namespace {

// Interned names are never released: selectors live for the process.
class InternTable {
 public:
  const std::string* intern(std::string_view name) {
    if (name.empty()) return &empty_;
    {
      std::shared_lock lock(mutex_);
      if (auto it = index_.find(name); it != index_.end()) return it->second;
    }
    std::unique_lock lock(mutex_);
    if (auto it = index_.find(name); it != index_.end()) return it->second;
    const std::string* stored = &names_.emplace_back(name);
    index_.emplace(*stored, stored);
    return stored;
  }

  const std::string* empty() const noexcept { return &empty_; }

 private:
  std::shared_mutex mutex_;
  std::deque<std::string> names_;
  std::unordered_map<std::string_view, const std::string*> index_;
  const std::string empty_;
};

InternTable& interned() {
  static auto* table = new InternTable;
  return *table;
}

}  // namespace

SelId::SelId() : name_(interned().empty()) {}

SelId::SelId(std::string_view name) : name_(interned().intern(name)) {}

}  // namespace platform::rt
