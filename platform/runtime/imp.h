#pragma once

#include <functional>
#include <memory>
#include <type_traits>
#include <typeindex>
#include <typeinfo>
#include <utility>

#include "platform/runtime/selector.h"

namespace platform::rt {

class Object;
class Class;

namespace detail {
[[noreturn]] void throw_unrecognized(const Object& receiver, SelId sel);
[[noreturn]] void throw_unrecognized(const Class& receiver, SelId sel);
[[noreturn]] void throw_signature_mismatch(const Object& receiver, SelId sel);
[[noreturn]] void throw_signature_mismatch(const Class& receiver, SelId sel);
}  // namespace detail

// A type-erased method implementation: a shared, immutable
// std::function<R(Object&, A...)> (class side: R(Class&, A...)) plus its
// signature tag. Copies share the function, so an Imp taken out of a table
// stays callable after the table entry is replaced. Imps compare by identity;
// every empty Imp equals every other.
class Imp {
 public:
  Imp() = default;

  template <class R, class... A, class F>
  static Imp make(const Sel<R(A...)>&, F&& f) {
    static_assert(std::is_invocable_r_v<R, F&, Object&, A...>,
                  "an instance implementation is callable as R(Object&, A...)");
    return make_erased<std::function<R(Object&, A...)>, R(A...)>(std::forward<F>(f));
  }

  template <class R, class... A, class F>
  static Imp make(const ClassSel<R(A...)>&, F&& f) {
    static_assert(std::is_invocable_r_v<R, F&, Class&, A...>,
                  "a class implementation is callable as R(Class&, A...)");
    return make_erased<std::function<R(Class&, A...)>, R(A...)>(std::forward<F>(f));
  }

  // typeid(R(A...)); typeid(void) for an empty Imp.
  std::type_index signature() const noexcept { return sig_ ? std::type_index(*sig_) : typeid(void); }

  // Same signature and same receiver side. Empty Imps match nothing.
  bool same_signature(const Imp& other) const noexcept {
    return fn_type_ && other.fn_type_ && *fn_type_ == *other.fn_type_;
  }

  explicit operator bool() const noexcept { return fn_ != nullptr; }
  friend bool operator==(const Imp& a, const Imp& b) noexcept { return a.fn_ == b.fn_; }

  // Calls the implementation with `self` as receiver. An empty Imp throws
  // UnrecognizedSelector; one made for another signature throws SignatureMismatch.
  template <class R, class... A, class... Args>
  R call(const Sel<R(A...)>& sel, Object& self, Args&&... args) const {
    return checked<std::function<R(Object&, A...)>>(self, sel.id)(self, std::forward<Args>(args)...);
  }

  template <class R, class... A, class... Args>
  R call(const ClassSel<R(A...)>& sel, Class& self, Args&&... args) const {
    return checked<std::function<R(Class&, A...)>>(self, sel.id)(self, std::forward<Args>(args)...);
  }

 private:
  template <class Fn, class Sig, class F>
  static Imp make_erased(F&& f) {
    Imp imp;
    imp.fn_ = std::make_shared<const Fn>(std::forward<F>(f));
    imp.fn_type_ = &typeid(Fn);
    imp.sig_ = &typeid(Sig);
    return imp;
  }

  template <class Fn, class Receiver>
  const Fn& checked(const Receiver& self, SelId sel) const {
    if (!fn_) detail::throw_unrecognized(self, sel);
    if (*fn_type_ != typeid(Fn)) detail::throw_signature_mismatch(self, sel);
    return *static_cast<const Fn*>(fn_.get());
  }

  std::shared_ptr<const void> fn_;
  const std::type_info* fn_type_ = nullptr;
  const std::type_info* sig_ = nullptr;
};

}  // namespace platform::rt
