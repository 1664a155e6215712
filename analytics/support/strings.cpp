// Query strings, URL-argument unescaping and UTF-32 lengths.
#include "analytics/support/strings.h"

#include <algorithm>
#include <vector>

#include "platform/foundation/text.h"
#include "platform/foundation/url.h"

namespace analytics {

namespace fd = platform::foundation;

std::string apm_queryString(const fd::Dict& dictionary) {
  std::string query;
  for (const auto& [key, value] : dictionary) {
    if (!query.empty()) query += '&';
    query += fd::percent_encode(key, fd::charsets::legacy_escape_keep);
    query += '=';
    query += fd::percent_encode(fd::describe(value), fd::charsets::legacy_escape_keep);
  }
  return query;
}

fd::Dict apm_dictionaryWithHttpArgumentsString(std::string_view text) {
  std::vector<std::string_view> parts;
  for (std::size_t start = 0;;) {
    std::size_t amp = text.find('&', start);
    parts.push_back(text.substr(start, amp == std::string_view::npos ? std::string_view::npos : amp - start));
    if (amp == std::string_view::npos) break;
    start = amp + 1;
  }
  fd::Dict result;
  for (auto part = parts.rbegin(); part != parts.rend(); ++part) {
    if (part->empty()) continue;
    std::size_t eq = part->find('=');
    std::string_view key = part->substr(0, eq);
    std::string_view value = eq == std::string_view::npos ? std::string_view() : part->substr(eq + 1);
    result.set(apm_stringByUnescapingFromURLArgument(key).value_or(""),
               fd::Value(apm_stringByUnescapingFromURLArgument(value).value_or("")));
  }
  return result;
}

std::optional<std::string> apm_stringByUnescapingFromURLArgument(std::string_view text) {
  std::string plus(text);
  std::replace(plus.begin(), plus.end(), '+', ' ');
  return fd::percent_decode(plus);
}

std::size_t apm_UTF32Length(std::string_view text) { return fd::text::code_points(text); }

std::size_t apm_getUTF32Bytes(std::string_view text, std::span<std::uint8_t> buffer, std::size_t maxBytes) {
  const std::size_t limit = std::min(maxBytes, buffer.size());
  std::size_t written = 0;
  for (char32_t c : fd::text::to_utf32(text)) {
    if (limit - written < 4) break;
    for (int shift = 0; shift < 32; shift += 8) buffer[written++] = static_cast<std::uint8_t>(c >> shift);
  }
  return written;
}

}  // namespace analytics
