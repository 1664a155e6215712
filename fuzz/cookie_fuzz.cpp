// Set-Cookie parsing on arbitrary bytes, then storing the cookie and building
// the Cookie header. Input: the header value as received.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/support.h"
#include "platform/foundation/url.h"
#include "platform/net/cookie.h"

namespace {

using platform::foundation::Url;
using platform::net::Cookie;
using platform::net::CookieStorage;

using fuzz::check;
using fuzz::has_control;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Url from = *Url::parse("https://intranet.example.org/dir/page");
  std::string_view input(reinterpret_cast<const char*>(data), size);

  auto cookie = Cookie::from_set_cookie(input, from);
  (void)platform::net::parse_cookie_date(input);
  if (!cookie) return 0;

  // What the parser accepts is a cookie of this host that a header can carry.
  check(!cookie->name.empty());
  check(!has_control(cookie->name) && !has_control(cookie->value));
  check(cookie->name.find_first_of(";=") == std::string::npos && cookie->value.find(';') == std::string::npos);
  check(!cookie->path.empty() && cookie->path.front() == '/');
  check(cookie->host_only ? cookie->domain == "intranet.example.org"
                          : platform::net::domain_matches("intranet.example.org", cookie->domain));
  (void)cookie->description();
  auto again = Cookie::from_properties(cookie->properties());
  check(again.has_value());

  auto storage = CookieStorage::make_in_memory();
  storage->set_cookies({&*cookie, 1}, from, std::nullopt);
  auto header = storage->cookie_header_for(from);
  if (header) check(!has_control(*header));
  (void)storage->cookies_for(*Url::parse("http://www.intranet.example.org/dir/sub/x"));
  storage->delete_cookie(*cookie);
  check(storage->cookies().empty());
  return 0;
}
