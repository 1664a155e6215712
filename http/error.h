#pragma once
// The HTTP client's error value: one carrier for every error the client hands
// around (its own AFError, a platform foundation::Error, an AdaptError or a
// caller's error type), and Expected<T>, the value-or-error that operations
// which can fail return instead of throwing.
//
// A caller's error type opts in by deriving from ErrorProtocol. It may offer
//   std::optional<std::string> errorDescription() const   (its message)
//   std::string description() const                       (its rendering)
//   std::int64_t code() const                             (its bridged code)
// Without errorDescription() the localized description is the platform's
// generic sentence for the bridged domain and code; without description() the
// rendering is the type name; without code() the code is 1.
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <variant>

#include "platform/foundation/error.h"

namespace Duvarel {

// Marker base of error types the carrier accepts.
struct ErrorProtocol {};

class Error;

template <class E>
concept ErrorValue = !std::is_same_v<std::remove_cvref_t<E>, Error> &&
                     (std::is_base_of_v<ErrorProtocol, std::remove_cvref_t<E>> ||
                      std::is_same_v<std::remove_cvref_t<E>, platform::foundation::Error>);

namespace detail {

// "Duvarel.AFError" for Duvarel::AFError: the demangled name with "::" as ".".
std::string errorTypeName(const std::type_info& type);

struct ErrorBox {
  virtual ~ErrorBox() = default;
  virtual std::string localizedDescription() const = 0;
  virtual std::string description() const = 0;
  virtual platform::foundation::Error bridged() const = 0;
  virtual const std::type_info& type() const = 0;
  virtual const void* get() const = 0;
};

template <class E>
struct ErrorModel final : ErrorBox {
  explicit ErrorModel(E e) : value(std::move(e)) {}
  E value;

  std::int64_t code() const {
    if constexpr (requires { { value.code() } -> std::convertible_to<std::int64_t>; }) return value.code();
    else return 1;
  }
  platform::foundation::Error bridged() const override {
    if constexpr (std::is_same_v<E, platform::foundation::Error>) {
      return value;
    } else {
      platform::foundation::Dict info;
      if constexpr (requires { value.errorDescription(); }) {
        std::optional<std::string> text = value.errorDescription();
        if (text) info.set(std::string(platform::foundation::key_localized_description), *text);
      }
      return platform::foundation::Error(errorTypeName(typeid(E)), code(), std::move(info));
    }
  }
  std::string localizedDescription() const override {
    if constexpr (std::is_same_v<E, platform::foundation::Error>) return value.localized_description();
    else return bridged().localized_description();
  }
  std::string description() const override {
    if constexpr (std::is_same_v<E, platform::foundation::Error>) return value.description();
    else if constexpr (requires { { value.description() } -> std::convertible_to<std::string>; }) return value.description();
    else return errorTypeName(typeid(E));
  }
  const std::type_info& type() const override { return typeid(E); }
  const void* get() const override { return &value; }
};

}  // namespace detail

// An immutable error of any accepted type. Copies share the value.
class Error {
 public:
  template <ErrorValue E>
  Error(E error)  // NOLINT: every error converts implicitly, as to the platform's error protocol
      : box_(std::make_shared<detail::ErrorModel<std::remove_cvref_t<E>>>(std::move(error))) {}

  // The message: AFError's text, a platform error's localized description, or
  // the generic sentence.
  std::string localizedDescription() const { return box_->localizedDescription(); }
  // The default rendering, as string interpolation shows the value.
  std::string description() const { return box_->description(); }
  // The platform error object this error bridges to (the value itself for a
  // foundation::Error; domain "Duvarel.<Type>" otherwise).
  platform::foundation::Error bridged() const { return box_->bridged(); }

  template <class E>
  const E* as() const {
    return box_->type() == typeid(E) ? static_cast<const E*>(box_->get()) : nullptr;
  }
  template <class E>
  bool is() const {
    return as<E>() != nullptr;
  }
  const std::type_info& type() const { return box_->type(); }
  // True when both carry the very same value (copies of one Error).
  bool isSameInstance(const Error& other) const { return box_ == other.box_; }

  // The error an AdaptError wraps; none for every other error.
  std::optional<Error> unwrappedAdaptError() const;

 private:
  std::shared_ptr<const detail::ErrorBox> box_;
};

// The wrapper in which a task factory reports an error its adapter returned.
struct AdaptError : ErrorProtocol {
  explicit AdaptError(Error e) : error(std::move(e)) {}
  Error error;
  std::string description() const { return "AdaptError(error: " + error.description() + ")"; }
};

inline std::optional<Error> Error::unwrappedAdaptError() const {
  if (const AdaptError* adapt = as<AdaptError>()) return adapt->error;
  return std::nullopt;
}

// The underlying error: the wrapped one of an AdaptError, else the error itself.
inline Error underlyingError(const Error& error) { return error.unwrappedAdaptError().value_or(error); }

// A value or the error that stopped it.
template <class T>
class [[nodiscard]] Expected {
 public:
  Expected(const T& value) : v_(std::in_place_index<0>, value) {}
  Expected(T&& value) : v_(std::in_place_index<0>, std::move(value)) {}
  Expected(Error error) : v_(std::in_place_index<1>, std::move(error)) {}
  template <ErrorValue E>
    requires(!std::is_constructible_v<T, E &&>)
  Expected(E&& error) : v_(std::in_place_index<1>, Error(std::forward<E>(error))) {}
  template <class U>
    requires(std::is_constructible_v<T, U &&> && !std::is_same_v<std::remove_cvref_t<U>, T> &&
             !std::is_same_v<std::remove_cvref_t<U>, Error> && !ErrorValue<U> &&
             !std::is_same_v<std::remove_cvref_t<U>, Expected>)
  Expected(U&& value) : v_(std::in_place_index<0>, T(std::forward<U>(value))) {}

  bool has_value() const { return v_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  T& value() & { return checked(); }
  const T& value() const& { return const_cast<Expected*>(this)->checked(); }
  T&& value() && { return std::move(checked()); }
  T& operator*() & { return checked(); }
  const T& operator*() const& { return const_cast<Expected*>(this)->checked(); }
  T&& operator*() && { return std::move(checked()); }
  T* operator->() { return &checked(); }
  const T* operator->() const { return &const_cast<Expected*>(this)->checked(); }

  // Only on an error; calling it on a value is a programming error.
  const Error& error() const {
    if (has_value()) throw std::logic_error("Expected::error() called on a value");
    return std::get<1>(v_);
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
  Expected(Error error) : error_(std::move(error)) {}
  template <ErrorValue E>
  Expected(E&& error) : error_(Error(std::forward<E>(error))) {}

  bool has_value() const { return !error_.has_value(); }
  explicit operator bool() const { return has_value(); }
  void value() const {
    if (error_) throw std::logic_error("Expected<void>::value() called on an error: " + error_->description());
  }
  const Error& error() const {
    if (!error_) throw std::logic_error("Expected::error() called on a value");
    return *error_;
  }

 private:
  std::optional<Error> error_;
};

}  // namespace Duvarel
