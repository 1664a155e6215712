#include "wire/runtime/output.h"

#include <cstdarg>
#include <cstdio>

#include "platform/foundation/console.h"

namespace wire::output {
namespace console = platform::foundation::console;

namespace {
std::string vformat(const char* fmt, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  if (n <= 0) return {};
  std::string out(static_cast<std::size_t>(n) + 1, '\0');
  std::vsnprintf(out.data(), out.size(), fmt, args);
  out.resize(static_cast<std::size_t>(n));
  return out;
}
}  // namespace

std::string format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string out = vformat(fmt, args);
  va_end(args);
  return out;
}

void line(std::string_view text) {
  std::string out(text);
  out.push_back('\n');
  console::out(out);
}

void printf(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string out = vformat(fmt, args);
  va_end(args);
  console::out(out);
}

void raw(std::string_view text) { console::out(text); }

void log(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string out = vformat(fmt, args);
  va_end(args);
  console::log_line(out);
}

}  // namespace wire::output
