#include "platform/runtime/object.h"

#include <utility>

namespace platform::rt {

Object::~Object() = default;

bool Object::responds_to(SelId sel) const { return isa().resolve(sel).has_value(); }

bool Object::is_kind_of(std::string_view class_name) const {
  for (const Class* cls = &isa(); cls; cls = cls->superclass()) {
    if (cls->name() == class_name) return true;
  }
  return false;
}

void Object::set_associated(const void* key, std::any value) {
  std::any previous;  // released after the lock: its destructor may reach this object
  std::lock_guard lock(associations_mutex_);
  if (!value.has_value()) {
    if (auto it = associations_.find(key); it != associations_.end()) {
      previous = std::move(it->second);
      associations_.erase(it);
    }
    return;
  }
  std::any& slot = associations_[key];
  previous = std::exchange(slot, std::move(value));
}

std::any Object::associated(const void* key) const {
  std::lock_guard lock(associations_mutex_);
  auto it = associations_.find(key);
  return it == associations_.end() ? std::any{} : it->second;
}

}  // namespace platform::rt
