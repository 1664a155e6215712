// Gzip over zlib: deflate with the gzip wrapper, inflate with header detection,
// both through 1024-byte steps written straight into the output's tail.
#include "core/gzip.h"

#include <zlib.h>

#include <algorithm>
#include <limits>
#include <new>

namespace core {

namespace {

using platform::foundation::Bytes;
using platform::foundation::Dict;
using platform::foundation::Error;
using platform::foundation::Value;

constexpr std::size_t kChunk = 1024;
// The initial capacity is only a hint; past this the buffer grows as it fills.
constexpr std::size_t kMaxInitialCapacity = std::size_t{64} << 20;

void set_error(Error* error, GULNSDataZlibError code, Dict user_info = {}) {
  if (error) *error = Error(std::string(GULNSDataZlibErrorDomain), code, std::move(user_info));
}

Dict zlib_info(int status, const char* message) {
  Dict info{{std::string(GULNSDataZlibErrorKey), Value(status)}};
  if (message) info.set(std::string(platform::foundation::key_localized_description), Value(message));
  return info;
}

// Output grows through its tail: each zlib call writes at most kChunk bytes
// straight after the `used` bytes, and the buffer doubles when the tail is
// shorter than that. The caller trims it to `used` at the end.
struct Output {
  Bytes bytes;
  std::size_t used = 0;

  explicit Output(std::size_t initial) : bytes(initial) {}
  template <class Step>
  int step(z_stream& stream, Step call) {
    if (bytes.size() - used < kChunk) bytes.resize(std::max(used + kChunk, bytes.size() * 2));
    stream.next_out = bytes.data() + used;
    stream.avail_out = static_cast<uInt>(kChunk);
    const int status = call();
    used += kChunk - stream.avail_out;
    return status;
  }
  Bytes take() {
    bytes.resize(used);
    return std::move(bytes);
  }
};

// A gzip member ends with its input size modulo 2^32: a good first capacity when
// it is plausible (deflate expands at most about 1032:1). Anything else, or a
// zlib stream, starts at four times the input. Only a hint: the buffer grows.
std::size_t inflated_size_hint(std::span<const std::uint8_t> data) {
  const std::size_t fallback = std::min(data.size(), kMaxInitialCapacity / 4) * 4;
  if (data.size() < 18 || data[0] != 0x1f || data[1] != 0x8b) return fallback;
  const std::uint8_t* tail = data.data() + data.size() - 4;
  const std::size_t size = std::size_t{tail[0]} | std::size_t{tail[1]} << 8 | std::size_t{tail[2]} << 16 |
                           std::size_t{tail[3]} << 24;
  if (size == 0 || size / 1032 > data.size() || size > kMaxInitialCapacity) return fallback;
  // One step more than the content, so the call that reports the stream's end
  // never has to grow the buffer.
  return size + kChunk;
}

}  // namespace

std::optional<Bytes> gul_dataByGzippingData(std::span<const std::uint8_t> data, Error* error) {
  if (data.empty()) return std::nullopt;
  if (data.size() > std::numeric_limits<std::uint32_t>::max()) {
    set_error(error, GULNSDataZlibErrorGreaterThan32BitsToCompress);
    return std::nullopt;
  }
  z_stream stream{};
  stream.next_in = const_cast<Bytef*>(data.data());
  stream.avail_in = static_cast<uInt>(data.size());
  int status = deflateInit2_(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY, ZLIB_VERSION,
                             static_cast<int>(sizeof(z_stream)));
  if (status != Z_OK) {
    set_error(error, GULNSDataZlibErrorInternal, zlib_info(status, stream.msg));
    return std::nullopt;
  }
  try {
    Output out(std::min(data.size() / 4, kMaxInitialCapacity));
    do {
      status = out.step(stream, [&] { return deflate(&stream, Z_FINISH); });
      if (status != Z_OK && status != Z_STREAM_END) {
        set_error(error, GULNSDataZlibErrorInternal, zlib_info(status, stream.msg));
        deflateEnd(&stream);
        return std::nullopt;
      }
    } while (status != Z_STREAM_END);
    deflateEnd(&stream);
    return out.take();
  } catch (const std::bad_alloc&) {
    set_error(error, GULNSDataZlibErrorInternal, zlib_info(Z_MEM_ERROR, nullptr));
    deflateEnd(&stream);
    return std::nullopt;
  }
}

std::optional<Bytes> gul_dataByInflatingGzippedData(std::span<const std::uint8_t> data, Error* error) {
  if (data.empty() || data.size() > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  z_stream stream{};
  stream.next_in = const_cast<Bytef*>(data.data());
  stream.avail_in = static_cast<uInt>(data.size());
  int status = inflateInit2_(&stream, 47, ZLIB_VERSION, static_cast<int>(sizeof(z_stream)));
  if (status != Z_OK) {
    set_error(error, GULNSDataZlibErrorInternal, zlib_info(status, stream.msg));
    return std::nullopt;
  }
  try {
    Output out(inflated_size_hint(data));
    do {
      status = out.step(stream, [&] { return inflate(&stream, Z_NO_FLUSH); });
    } while (status == Z_OK);
    if (status != Z_STREAM_END) {
      set_error(error, GULNSDataZlibErrorInternal, zlib_info(status, stream.msg));
      inflateEnd(&stream);
      return std::nullopt;
    }
    const uInt remaining = stream.avail_in;
    inflateEnd(&stream);
    if (remaining > 0) {
      set_error(error, GULNSDataZlibErrorDataRemaining,
                Dict{{std::string(GULNSDataZlibRemainingBytesKey), Value(static_cast<long long>(remaining))}});
      return std::nullopt;
    }
    return out.take();
  } catch (const std::bad_alloc&) {
    set_error(error, GULNSDataZlibErrorInternal, zlib_info(Z_MEM_ERROR, nullptr));
    inflateEnd(&stream);
    return std::nullopt;
  }
}

}  // namespace core
