#pragma once
// Addresses and requests as the factories take them, the header and parameter
// dictionaries, the request builder and the delayed dispatch helper.
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "http/error.h"
#include "http/http_method.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/url.h"
#include "platform/foundation/value.h"
#include "platform/net/http.h"

namespace Duvarel {

using URLRequest = platform::net::Request;

// Header field name to value, iterated in name order.
using HTTPHeaders = std::map<std::string, std::string>;
// Text keys to values of any kind; booleans stay booleans, apart from numbers.
using Parameters = platform::foundation::Dict;

// An address: text, a Url or UrlComponents, kept as the caller gave it.
class URLConvertible {
 public:
  URLConvertible(std::string text) : v_(std::move(text)) {}  // NOLINT: implicit, as the factories take text
  URLConvertible(const char* text) : v_(std::string(text)) {}
  URLConvertible(std::string_view text) : v_(std::string(text)) {}
  URLConvertible(platform::foundation::Url url) : v_(std::move(url)) {}
  URLConvertible(platform::foundation::UrlComponents components) : v_(std::move(components)) {}

  // The URL, or AFError.invalidURL carrying this value.
  Expected<platform::foundation::Url> asURL() const;

  // The default rendering: the text itself, the URL's text, the components' composed text.
  std::string description() const;

  const std::string* text() const { return std::get_if<std::string>(&v_); }
  const platform::foundation::Url* url() const { return std::get_if<platform::foundation::Url>(&v_); }
  const platform::foundation::UrlComponents* components() const {
    return std::get_if<platform::foundation::UrlComponents>(&v_);
  }

 private:
  std::variant<std::string, platform::foundation::Url, platform::foundation::UrlComponents> v_;
};

// A whole request: a URLRequest (yields a copy of itself) or a caller's type
// with `Expected<URLRequest> asURLRequest() const`.
class URLRequestConvertible {
 public:
  URLRequestConvertible(URLRequest request)  // NOLINT: implicit, a URLRequest conforms
      : request_(std::make_shared<const URLRequest>(std::move(request))) {}
  template <class T>
    requires(!std::is_same_v<std::remove_cvref_t<T>, URLRequestConvertible> &&
             !std::is_same_v<std::remove_cvref_t<T>, URLRequest> &&
             requires(const std::remove_cvref_t<T>& t) {
               { t.asURLRequest() } -> std::convertible_to<Expected<URLRequest>>;
             })
  URLRequestConvertible(T&& value)  // NOLINT
      : custom_([v = std::remove_cvref_t<T>(std::forward<T>(value))]() -> Expected<URLRequest> {
          return v.asURLRequest();
        }) {}

  Expected<URLRequest> asURLRequest() const {
    if (request_) return *request_;
    return custom_();
  }
  // The request, or none when the conversion fails (the error is dropped).
  std::optional<URLRequest> urlRequest() const {
    Expected<URLRequest> r = asURLRequest();
    if (!r) return std::nullopt;
    return std::move(r).value();
  }

 private:
  std::shared_ptr<const URLRequest> request_;
  std::function<Expected<URLRequest>()> custom_;
};

// A request for the address with the protocol cache policy, a 60 s timeout,
// the method's raw value and the given headers; the address's conversion
// error unchanged when it has no URL.
Expected<URLRequest> makeURLRequest(const URLConvertible& url, HTTPMethod method,
                                    const std::optional<HTTPHeaders>& headers = std::nullopt);

namespace DispatchQueue {
// Runs `block` on `queue` after `delay` seconds; never inside the call.
void after(const platform::dispatch::Queue& queue, double delay, std::function<void()> block);
}  // namespace DispatchQueue

}  // namespace Duvarel
