#pragma once

// Strict UTF-8 check shared by the JSON and property-list writers (internal).

#include <cstddef>
#include <string_view>

namespace platform::foundation::detail {

// False for overlong forms, surrogates, values above U+10FFFF, stray
// continuation bytes and truncated sequences.
inline bool utf8_valid(std::string_view s) {
  std::size_t i = 0;
  const std::size_t n = s.size();
  while (i < n) {
    auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    char32_t cp;
    if ((b0 & 0xE0) == 0xC0) len = 2, cp = b0 & 0x1F;
    else if ((b0 & 0xF0) == 0xE0) len = 3, cp = b0 & 0x0F;
    else if ((b0 & 0xF8) == 0xF0) len = 4, cp = b0 & 0x07;
    else return false;
    if (i + len > n) return false;
    for (std::size_t k = 1; k < len; ++k) {
      auto b = static_cast<unsigned char>(s[i + k]);
      if ((b & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (b & 0x3F);
    }
    static constexpr char32_t min_for_len[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < min_for_len[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

}  // namespace platform::foundation::detail
