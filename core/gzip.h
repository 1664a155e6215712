#pragma once
// Gzip compression and gzip/zlib expansion of byte buffers over zlib.
//
// Both answer nullopt on failure and, when `error` is given, fill it with an
// error of "com.dozada.GULNSDataZlibErrorDomain". Empty input gives nullopt
// and leaves `error` alone. Nothing throws. Any thread; no shared state.
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

namespace core {

inline constexpr std::string_view GULNSDataZlibErrorDomain = "com.dozada.GULNSDataZlibErrorDomain";
// The zlib return code, a number.
inline constexpr std::string_view GULNSDataZlibErrorKey = "GULNSDataZlibErrorKey";
// The count of input bytes left after the end of the compressed stream.
inline constexpr std::string_view GULNSDataZlibRemainingBytesKey = "GULNSDataZlibRemainingBytesKey";

enum GULNSDataZlibError : std::int64_t {
  GULNSDataZlibErrorGreaterThan32BitsToCompress = 1024,
  GULNSDataZlibErrorInternal = 1025,
  GULNSDataZlibErrorDataRemaining = 1026,
};

// Gzip (RFC 1952) at the default level; input of 2^32 bytes or more is refused (1024).
std::optional<platform::foundation::Bytes> gul_dataByGzippingData(std::span<const std::uint8_t> data,
                                                                  platform::foundation::Error* error = nullptr);
// Gzip or zlib data (header detected); bytes after the end of the stream are an error (1026).
std::optional<platform::foundation::Bytes> gul_dataByInflatingGzippedData(std::span<const std::uint8_t> data,
                                                                          platform::foundation::Error* error = nullptr);

}  // namespace core
