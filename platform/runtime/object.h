#pragma once

#include <any>
#include <atomic>
#include <memory>
#include <mutex>
#include <string_view>
#include <unordered_map>

#include "platform/runtime/class.h"
#include "platform/runtime/selector.h"

namespace platform::rt {

// Base of every runtime object. The isa decides how messages are dispatched;
// changing it leaves the C++ object as it is.
class Object : public std::enable_shared_from_this<Object> {
 public:
  explicit Object(Class& cls) noexcept : isa_(&cls) {}
  virtual ~Object();
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;

  Class& isa() const noexcept { return *isa_.load(std::memory_order_acquire); }
  void set_isa(Class& cls) noexcept { isa_.store(&cls, std::memory_order_release); }

  // Default: the isa chain resolves `sel`. Objects that answer dynamically override it.
  virtual bool responds_to(SelId sel) const;
  // The isa or one of its ancestors has this name.
  bool is_kind_of(std::string_view class_name) const;

  // Associated values, retained: the std::any owns what it holds (typically a
  // shared_ptr). An empty std::any removes the key. Thread-safe.
  void set_associated(const void* key, std::any value);
  // A copy of the value; empty when the key is absent.
  std::any associated(const void* key) const;

 private:
  std::atomic<Class*> isa_;
  mutable std::mutex associations_mutex_;
  std::unordered_map<const void*, std::any> associations_;
};

}  // namespace platform::rt
