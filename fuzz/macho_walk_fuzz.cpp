// The Mach-O load-command walk over any bytes: it stays inside the span
// (the sanitizers see any read past it) and always ends.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>

#include "core/environment_util.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // An exact-size heap copy, so a read one byte past the end is caught.
  auto copy = std::make_unique<std::uint8_t[]>(size ? size : 1);
  if (size) std::memcpy(copy.get(), data, size);
  const std::span<const std::uint8_t> bytes(copy.get(), size);
  const bool encrypted = core::GULIsMachOHeaderEncrypted(bytes);
  if (core::GULIsMachOHeaderEncrypted(bytes) != encrypted) std::abort();
  return 0;
}
