#include "platform/foundation/uuid.h"

#include <cerrno>
#include <cstdlib>
#include <random>

#include <sys/random.h>

namespace platform::foundation {

namespace {

void fill_random(std::uint8_t* p, std::size_t n) {
  while (n > 0) {
    ssize_t got = ::getrandom(p, n, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      break;
    }
    p += got;
    n -= static_cast<std::size_t>(got);
  }
  if (n > 0) {
    std::random_device device;   // kernel without getrandom(2)
    for (; n > 0; --n) *p++ = static_cast<std::uint8_t>(device());
  }
}

std::string format(const std::array<std::uint8_t, 16>& b, const char* digits) {
  std::string out;
  out.reserve(36);
  for (std::size_t i = 0; i < b.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
    out.push_back(digits[b[i] >> 4]);
    out.push_back(digits[b[i] & 15]);
  }
  return out;
}

int uuid_hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

Uuid Uuid::random() {
  Uuid u;
  fill_random(u.bytes.data(), u.bytes.size());
  u.bytes[6] = static_cast<std::uint8_t>((u.bytes[6] & 0x0F) | 0x40);   // version 4
  u.bytes[8] = static_cast<std::uint8_t>((u.bytes[8] & 0x3F) | 0x80);   // RFC 4122 variant
  return u;
}

std::optional<Uuid> Uuid::parse(std::string_view text) {
  if (text.size() != 36) return std::nullopt;
  Uuid u;
  std::size_t byte = 0;
  for (std::size_t i = 0; i < text.size();) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return std::nullopt;
      ++i;
      continue;
    }
    int hi = uuid_hex_value(text[i]), lo = uuid_hex_value(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    u.bytes[byte++] = static_cast<std::uint8_t>(hi << 4 | lo);
    i += 2;
  }
  return u;
}

std::string Uuid::string() const { return format(bytes, "0123456789ABCDEF"); }
std::string Uuid::lower_string() const { return format(bytes, "0123456789abcdef"); }

}  // namespace platform::foundation
