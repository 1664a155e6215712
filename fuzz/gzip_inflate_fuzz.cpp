// Gzip/zlib expansion of any bytes: never crashes or throws; a failure is one
// of the domain's errors; whatever expands compresses and expands back equal.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "core/gzip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  platform::foundation::Error error;
  auto expanded = core::gul_dataByInflatingGzippedData(std::span<const std::uint8_t>(data, size), &error);
  if (!expanded) {
    if (size == 0) return 0;
    if (error.domain != core::GULNSDataZlibErrorDomain) std::abort();
    if (error.code != core::GULNSDataZlibErrorInternal && error.code != core::GULNSDataZlibErrorDataRemaining) std::abort();
    return 0;
  }
  if (expanded->empty()) return 0;
  auto packed = core::gul_dataByGzippingData(*expanded);
  if (!packed) std::abort();
  auto again = core::gul_dataByInflatingGzippedData(*packed);
  if (!again || *again != *expanded) std::abort();
  return 0;
}
