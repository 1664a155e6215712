#include "http/url_convertible.h"

#include <chrono>

#include "http/af_error.h"

namespace Duvarel {

using platform::foundation::Url;
using platform::foundation::UrlComponents;

Expected<Url> URLConvertible::asURL() const {
  if (const Url* u = url()) return *u;
  std::optional<Url> parsed;
  if (const std::string* t = text()) parsed = Url::parse(*t);
  else parsed = components()->url();
  if (!parsed) return AFError::invalidURL(*this);
  return *std::move(parsed);
}

std::string URLConvertible::description() const {
  if (const std::string* t = text()) return *t;
  if (const Url* u = url()) return u->absolute_string();
  return components()->string();
}

Expected<URLRequest> makeURLRequest(const URLConvertible& url, HTTPMethod method, const std::optional<HTTPHeaders>& headers) {
  Expected<Url> converted = url.asURL();
  if (!converted) return converted.error();
  URLRequest request(std::move(converted).value());
  request.cache_policy = platform::net::CachePolicy::use_protocol;
  request.timeout = 60.0;
  request.method = std::string(method.rawValue());
  if (headers) {
    for (const auto& [field, value] : *headers) request.headers.set(field, value);
  }
  return request;
}

namespace DispatchQueue {

void after(const platform::dispatch::Queue& queue, double delay, std::function<void()> block) {
  queue.after(platform::dispatch::Duration(delay), std::move(block));
}

}  // namespace DispatchQueue

}  // namespace Duvarel
