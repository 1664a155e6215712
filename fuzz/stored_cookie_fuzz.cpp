// Stored cookies as a device's cookie files hold them (a property list of
// cookie property dictionaries) read back the way the cookie storage and the
// web data store load them, then stored and sent. Input: the file's bytes.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "fuzz/support.h"
#include "platform/foundation/plist.h"
#include "platform/foundation/url.h"
#include "platform/net/cookie.h"

namespace {

namespace foundation = platform::foundation;
using platform::net::Cookie;
using platform::net::CookieStorage;

using fuzz::check;
using fuzz::has_control;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto parsed = foundation::plist::parse(std::span<const std::uint8_t>(data, size));
  if (!parsed || !parsed->array()) return 0;
  auto storage = CookieStorage::make_in_memory();
  const foundation::Date now = foundation::Date::now();
  for (const auto& item : *parsed->array()) {
    const foundation::Dict* properties = item.dict();
    if (!properties) continue;
    auto cookie = Cookie::from_properties(*properties);
    if (!cookie) continue;
    check(!cookie->name.empty() && !cookie->domain.empty());
    check(!cookie->path.empty() && cookie->path.front() == '/');
    // What it reads it writes back the same way.
    auto again = Cookie::from_properties(cookie->properties());
    check(again && again->name == cookie->name && again->domain == cookie->domain && again->path == cookie->path &&
          again->host_only == cookie->host_only && again->expires.has_value() == cookie->expires.has_value());
    (void)cookie->description();
    if (cookie->session_only() || cookie->expired_at(now)) continue;
    storage->set_cookie(*cookie);
  }
  for (const Cookie& stored : storage->cookies()) {
    std::string host = stored.domain;
    if (!stored.host_only) host = "www." + host;
    auto url = foundation::Url::parse((stored.secure ? "https://" : "http://") + host + stored.path);
    if (!url) continue;
    if (auto header = storage->cookie_header_for(*url)) check(!has_control(*header));
  }
  return 0;
}
