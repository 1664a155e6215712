// The HTML scanner on arbitrary bytes: it must never crash, and what it finds
// must be consistent with the input. Input: a page body as received.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/web/html_scanner.h"

namespace {

void check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view html(reinterpret_cast<const char*>(data), size);
  const auto page = platform::web::scan_html(html);
  // Every find needs at least a tag's worth of input; decoding only shrinks text.
  check(page.links.size() + page.iframes.size() + page.forms.size() <= size / 2 + 1);
  check(page.title.size() <= size * 3);
  for (const auto& form : page.forms) check(form.method == "GET" || form.method == "POST");
  for (const auto& src : page.iframes) check(!src.empty());
  // Scanning is deterministic.
  check(platform::web::scan_html(html) == page);
  return 0;
}
