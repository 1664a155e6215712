#pragma once
// Result<Value>: a success value or a failure error, with descriptions and
// combinators. Operations that "throw" take and give Expected<T>.
#include <concepts>
#include <cstdint>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "http/error.h"
#include "platform/foundation/url.h"
#include "platform/foundation/value.h"

namespace Duvarel {

namespace detail {
std::string demangledTypeName(const std::type_info& type);
}

// The default textual rendering of a value, as string interpolation gives it:
// text as is, numbers in decimal, true/false, "<n> bytes" for data, a URL's
// text, a Value's "%@" text, an Error's rendering, a type's description().
template <class T>
std::string renderValue(const T& value) {
  using U = std::remove_cvref_t<T>;
  if constexpr (std::is_same_v<U, std::string> || std::is_same_v<U, std::string_view> || std::is_same_v<U, const char*>) {
    return std::string(value);
  } else if constexpr (std::is_same_v<U, bool>) {
    return value ? "true" : "false";
  } else if constexpr (std::is_integral_v<U>) {
    return std::to_string(value);
  } else if constexpr (std::is_floating_point_v<U>) {
    return platform::foundation::format_real(static_cast<double>(value));
  } else if constexpr (std::is_same_v<U, platform::foundation::Bytes>) {
    return std::to_string(value.size()) + " bytes";
  } else if constexpr (std::is_same_v<U, platform::foundation::Url>) {
    return value.absolute_string();
  } else if constexpr (std::is_same_v<U, platform::foundation::Value>) {
    return platform::foundation::describe(value);
  } else if constexpr (std::is_same_v<U, Error>) {
    return value.description();
  } else if constexpr (requires { { value.description() } -> std::convertible_to<std::string>; }) {
    return value.description();
  } else if constexpr (requires(std::ostream& os) { os << value; }) {
    std::ostringstream out;
    out << value;
    return out.str();
  } else {
    return detail::demangledTypeName(typeid(U));
  }
}

template <class T>
class Result;

namespace detail {
template <class R>
struct ExpectedValue;
template <class U>
struct ExpectedValue<Expected<U>> {
  using type = U;
};
}  // namespace detail

template <class Value>
class Result {
 public:
  using ValueType = Value;

  static Result success(Value value) { return Result(std::in_place_index<0>, std::move(value)); }
  static Result failure(Error error) { return Result(std::in_place_index<1>, std::move(error)); }

  // success with what `f` returns, or failure with its error. `f` returns
  // Expected<Value> (an operation that can fail) or Value.
  template <class F>
  static Result evaluating(F&& f) {
    if constexpr (std::is_same_v<std::invoke_result_t<F>, Expected<Value>>) {
      return Result::from(std::invoke(std::forward<F>(f)));
    } else {
      return success(std::invoke(std::forward<F>(f)));
    }
  }
  static Result from(Expected<Value> e) {
    if (e) return success(std::move(e).value());
    return failure(e.error());
  }

  bool isSuccess() const { return v_.index() == 0; }
  bool isFailure() const { return !isSuccess(); }
  // nullptr for the other case.
  const Value* value() const { return std::get_if<0>(&v_); }
  const Error* error() const { return std::get_if<1>(&v_); }

  // "SUCCESS" or "FAILURE".
  std::string description() const { return isSuccess() ? "SUCCESS" : "FAILURE"; }
  // "SUCCESS: <value>" or "FAILURE: <error>", each in its default rendering.
  std::string debugDescription() const {
    return isSuccess() ? "SUCCESS: " + renderValue(*value()) : "FAILURE: " + error()->description();
  }

  // The value, or the carried error.
  Expected<Value> unwrap() const {
    if (isSuccess()) return *value();
    return *error();
  }

  template <class F>
  auto map(F&& transform) const -> Result<std::remove_cvref_t<std::invoke_result_t<F, const Value&>>> {
    using R = Result<std::remove_cvref_t<std::invoke_result_t<F, const Value&>>>;
    if (isSuccess()) return R::success(std::invoke(std::forward<F>(transform), *value()));
    return R::failure(*error());
  }

  // `transform` returns Expected<U>; its error becomes the failure.
  template <class F>
  auto mapThrowing(F&& transform) const
      -> Result<typename detail::ExpectedValue<std::remove_cvref_t<std::invoke_result_t<F, const Value&>>>::type> {
    using U = typename detail::ExpectedValue<std::remove_cvref_t<std::invoke_result_t<F, const Value&>>>::type;
    if (isFailure()) return Result<U>::failure(*error());
    return Result<U>::from(std::invoke(std::forward<F>(transform), *value()));
  }

  // `transform` returns any error value (an AFError, a foundation::Error, ...).
  template <class F>
  Result mapError(F&& transform) const {
    if (isSuccess()) return *this;
    return failure(Error(std::invoke(std::forward<F>(transform), *error())));
  }

  // `transform` returns Expected<E> for an error type E; an error it returns
  // becomes the failure as well.
  template <class F>
  Result mapErrorThrowing(F&& transform) const {
    if (isSuccess()) return *this;
    auto produced = std::invoke(std::forward<F>(transform), *error());
    if (!produced) return failure(produced.error());
    return failure(Error(std::move(produced).value()));
  }

  template <class F>
  Result withValue(F&& closure) const {
    if (isSuccess()) std::invoke(std::forward<F>(closure), *value());
    return *this;
  }
  template <class F>
  Result withError(F&& closure) const {
    if (isFailure()) std::invoke(std::forward<F>(closure), *error());
    return *this;
  }
  template <class F>
  Result ifSuccess(F&& closure) const {
    if (isSuccess()) std::invoke(std::forward<F>(closure));
    return *this;
  }
  template <class F>
  Result ifFailure(F&& closure) const {
    if (isFailure()) std::invoke(std::forward<F>(closure));
    return *this;
  }

 private:
  template <std::size_t I, class A>
  Result(std::in_place_index_t<I> tag, A&& a) : v_(tag, std::forward<A>(a)) {}
  std::variant<Value, Error> v_;
};

}  // namespace Duvarel
