#include "platform/security/digest.h"

#include <openssl/evp.h>

#include <cstdlib>

namespace platform::security {
namespace {

template <std::size_t N>
std::array<std::uint8_t, N> digest(const EVP_MD* md, std::span<const std::uint8_t> data) {
  std::array<std::uint8_t, N> out{};
  unsigned int length = 0;
  // EVP_Digest fails only when OpenSSL cannot allocate; a zeroed digest would
  // silently collide, so that case ends the process.
  if (EVP_Digest(data.data(), data.size(), out.data(), &length, md, nullptr) != 1 || length != N) std::abort();
  return out;
}

}  // namespace

std::array<std::uint8_t, 16> md5(std::span<const std::uint8_t> data) { return digest<16>(EVP_md5(), data); }
std::array<std::uint8_t, 20> sha1(std::span<const std::uint8_t> data) { return digest<20>(EVP_sha1(), data); }
std::array<std::uint8_t, 32> sha256(std::span<const std::uint8_t> data) { return digest<32>(EVP_sha256(), data); }

}  // namespace platform::security
