#pragma once
// Request methods. The raw value is the upper-case method name.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

namespace Duvarel {

class HTTPMethod {
 public:
  // `delete` is a keyword: that case is spelled `delete_`.
  enum Case : std::uint8_t { options, get, head, post, put, patch, delete_, trace, connect };

  constexpr HTTPMethod(Case c) : case_(c) {}  // NOLINT: HTTPMethod::post reads as a method

  // Exact, case-sensitive match of one of the nine raw values.
  static std::optional<HTTPMethod> fromRawValue(std::string_view text);

  constexpr Case value() const { return case_; }
  constexpr std::string_view rawValue() const {
    constexpr std::string_view raw[] = {"OPTIONS", "GET", "HEAD", "POST", "PUT", "PATCH", "DELETE", "TRACE", "CONNECT"};
    return raw[case_];
  }

  friend constexpr bool operator==(HTTPMethod a, HTTPMethod b) { return a.rawValue() == b.rawValue(); }

 private:
  Case case_;
};

}  // namespace Duvarel

template <>
struct std::hash<Duvarel::HTTPMethod> {
  std::size_t operator()(Duvarel::HTTPMethod m) const noexcept { return std::hash<std::string_view>{}(m.rawValue()); }
};
