// URL parser, components, percent coding and relative resolution on arbitrary bytes.
// Input: "<reference>\n<base>"; without a newline the whole input is the reference.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/foundation/url.h"
#include "platform/foundation/text_utf8.h"

namespace {

using namespace platform::foundation;

void check(bool condition) {
  if (!condition) __builtin_trap();
}

void exercise(const Url& url) {
  (void)url.scheme();
  (void)url.host();
  (void)url.user();
  (void)url.password();
  (void)url.query();
  (void)url.fragment();
  (void)url.port();
  (void)url.path();
  (void)url.last_path_component();
  (void)url.path_extension();
  (void)url.is_file_url();
  (void)url.file_path();
  // A parsed URL reads back to itself.
  auto again = Url::parse(url.absolute_string());
  check(again && *again == url);
  (void)url.appending_path_component("a b/\xff", true);

  UrlComponents parts(url);
  (void)parts.query();
  if (auto items = parts.query_items()) {
    UrlComponents copy = parts;
    copy.set_query_items(items);
    check(copy.url().has_value() || !parts.url().has_value());
  }
  // Components taken from a URL always rebuild one, and rebuilding is stable.
  auto rebuilt = parts.url();
  check(rebuilt.has_value());
  check(UrlComponents(*rebuilt).string() == rebuilt->absolute_string());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);

  // Encoding escapes every byte outside the set; decoding reverses it for UTF-8.
  std::string encoded = percent_encode(input, charsets::url_query_allowed);
  for (char c : encoded) check(c == '%' || charsets::url_query_allowed.contains(c));
  auto decoded = percent_decode(encoded);
  check(decoded.has_value() == detail::utf8_valid(input));
  if (decoded) check(*decoded == input);
  (void)percent_decode(input);

  std::string_view reference = input, base_text;
  if (auto newline = input.find('\n'); newline != std::string_view::npos) {
    reference = input.substr(0, newline);
    base_text = input.substr(newline + 1);
  }
  auto url = Url::parse(reference);
  if (url) exercise(*url);
  if (auto base = Url::parse(base_text)) {
    exercise(*base);
    if (auto resolved = Url::parse(reference, *base)) exercise(*resolved);
  }
  return 0;
}
