#pragma once

#include <cassert>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <variant>

#include "platform/foundation/error.h"

namespace platform::foundation {

// Holds either a T or an Error. g++ 12 has no std::expected.
template <class T>
class [[nodiscard]] Expected {
 public:
  Expected(const T& value) : v_(std::in_place_index<0>, value) {}
  Expected(T&& value) : v_(std::in_place_index<0>, std::move(value)) {}
  Expected(Error error) : v_(std::in_place_index<1>, std::move(error)) {}
  template <class U>
    requires(std::is_constructible_v<T, U&&> && !std::is_same_v<std::remove_cvref_t<U>, T> &&
             !std::is_same_v<std::remove_cvref_t<U>, Error> &&
             !std::is_same_v<std::remove_cvref_t<U>, Expected>)
  Expected(U&& value) : v_(std::in_place_index<0>, T(std::forward<U>(value))) {}

  bool has_value() const { return v_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  T& value() & { return checked(); }
  const T& value() const& { return const_cast<Expected*>(this)->checked(); }
  T&& value() && { return std::move(checked()); }
  T& operator*() & { return checked(); }
  const T& operator*() const& { return const_cast<Expected*>(this)->checked(); }
  T* operator->() { return &checked(); }
  const T* operator->() const { return &const_cast<Expected*>(this)->checked(); }

  const Error& error() const {
    if (has_value()) throw std::logic_error("Expected::error() called on a value");
    return std::get<1>(v_);
  }
  template <class U>
  T value_or(U&& fallback) const& {
    return has_value() ? std::get<0>(v_) : T(std::forward<U>(fallback));
  }

 private:
  T& checked() {
    if (!has_value()) throw std::logic_error("Expected::value() called on an error: " + std::get<1>(v_).description());
    return std::get<0>(v_);
  }
  std::variant<T, Error> v_;
};

template <>
class [[nodiscard]] Expected<void> {
 public:
  Expected() = default;
  Expected(Error error) : error_(std::move(error)), ok_(false) {}
  bool has_value() const { return ok_; }
  explicit operator bool() const { return ok_; }
  void value() const {
    if (!ok_) throw std::logic_error("Expected<void>::value() called on an error: " + error_.description());
  }
  const Error& error() const {
    if (ok_) throw std::logic_error("Expected::error() called on a value");
    return error_;
  }

 private:
  Error error_;
  bool ok_ = true;
};

}  // namespace platform::foundation
