#pragma once
// Message codes of the utilities: a three-letter prefix and six digits. Any thread.
#include <cstdio>
#include <string>
#include <string_view>

namespace core {

// GULMessageCode("I-NET", 900002) == "I-NET900002".
inline std::string GULMessageCode(std::string_view prefix, long code) {
  char digits[24];
  std::snprintf(digits, sizeof digits, "%06ld", code);
  return std::string(prefix) + digits;
}

}  // namespace core
