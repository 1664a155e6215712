#include "platform/security/random.h"

#include <openssl/rand.h>

#include <sys/random.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace platform::security {

Status random_bytes(std::span<std::uint8_t> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    const int chunk = static_cast<int>(std::min<std::size_t>(out.size() - done, INT_MAX));
    if (RAND_bytes(out.data() + done, chunk) != 1) {
      std::memset(out.data(), 0, out.size());
      return status::allocate;
    }
    done += static_cast<std::size_t>(chunk);
  }
  return status::ok;
}

std::uint32_t random_u32() {
  std::uint32_t value = 0;
  if (RAND_bytes(reinterpret_cast<unsigned char*>(&value), sizeof value) == 1) return value;
  // The kernel's generator backs OpenSSL's; ask it directly if OpenSSL cannot answer.
  if (getrandom(&value, sizeof value, 0) == static_cast<ssize_t>(sizeof value)) return value;
  std::abort();
}

std::uint32_t random_uniform(std::uint32_t upper) {
  if (upper < 2) return 0;
  // 2^32 mod upper: values below it would make the low residues more likely.
  const std::uint32_t floor = static_cast<std::uint32_t>(-upper) % upper;
  for (;;) {
    const std::uint32_t r = random_u32();
    if (r >= floor) return r % upper;
  }
}

double uniform48() {
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  return drand48();
}

}  // namespace platform::security
