#pragma once

// UTF-8 stepping shared by the URL and text code (internal); utf8_valid
// comes from utf8_check.h.

#include <cstddef>
#include <string_view>

#include "platform/foundation/utf8_check.h"

namespace platform::foundation::detail {

// Decodes the sequence at s[i]; on success stores the code point and its
// length and returns true. Overlong forms, surrogates, values above U+10FFFF
// and truncated sequences fail.
inline bool utf8_next(std::string_view s, std::size_t i, char32_t& cp, std::size_t& len) {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char b0 = byte(i);
  if (b0 < 0x80) {
    cp = b0;
    len = 1;
    return true;
  }
  std::size_t n;
  char32_t min;
  if ((b0 & 0xE0) == 0xC0) {
    n = 2, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    n = 3, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    n = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return false;
  }
  if (i + n > s.size()) return false;
  for (std::size_t k = 1; k < n; ++k) {
    unsigned char b = byte(i + k);
    if ((b & 0xC0) != 0x80) return false;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
  len = n;
  return true;
}

}  // namespace platform::foundation::detail
