#include "app/console_lines.h"

#include <cstdio>

#include "platform/foundation/console.h"

namespace app {

std::string debug_form(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buffer[12];
          std::snprintf(buffer, sizeof buffer, "\\u{%X}", static_cast<unsigned>(c));
          out += buffer;
        } else {
          out += ch;
        }
    }
  }
  out += '"';
  return out;
}

void debug_line(std::string_view text) { platform::foundation::console::out_line(debug_form(text)); }

void plain_line(std::string_view text) { platform::foundation::console::out_line(text); }

}  // namespace app
