#include "testing/fakes/random.h"

#include <openssl/rand.h>

#include <stdexcept>
#include <vector>

namespace testing::fakes {

namespace {

std::vector<unsigned char> random_bytes(std::size_t n) {
  std::vector<unsigned char> bytes(n);
  if (n && RAND_bytes(bytes.data(), static_cast<int>(n)) != 1) throw std::runtime_error("RAND_bytes failed");
  return bytes;
}

std::string hex(const std::vector<unsigned char>& bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

}  // namespace

std::string random_hex(std::size_t bytes) { return hex(random_bytes(bytes)); }

std::string random_uuid() {
  auto bytes = random_bytes(16);
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40);
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80);
  const std::string h = hex(bytes);
  return h.substr(0, 8) + "-" + h.substr(8, 4) + "-" + h.substr(12, 4) + "-" + h.substr(16, 4) + "-" + h.substr(20);
}

}  // namespace testing::fakes
