#pragma once
// MD5 digests of analytics data and their low 64 bits (fingerprints of event
// metadata, purchases and the advertising identifier). Callable from any thread.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace analytics {

// The 16-byte MD5 digest of the bytes.
std::array<std::uint8_t, 16> apm_MD5Data(std::span<const std::uint8_t> bytes);
// The last min(8, size) bytes read as a big-endian unsigned integer (0 for no bytes).
std::int64_t apm_64LeastSignificantBits(std::span<const std::uint8_t> bytes);
// apm_64LeastSignificantBits of the digest: digest bytes 8-15, big-endian.
std::int64_t apm_64LSBMD5(std::span<const std::uint8_t> bytes);
// The MD5 of the text's UTF-8 bytes as 32 lower-case hex digits; nullopt when
// the text is not valid UTF-8.
std::optional<std::string> apm_MD5String(std::string_view text);

}  // namespace analytics
