// MD5 digests and their low 64 bits.
#include "analytics/support/digest.h"

#include <algorithm>

#include "platform/foundation/text.h"
#include "platform/foundation/value.h"
#include "platform/security/digest.h"

namespace analytics {

std::array<std::uint8_t, 16> apm_MD5Data(std::span<const std::uint8_t> bytes) {
  return platform::security::md5(bytes);
}

std::int64_t apm_64LeastSignificantBits(std::span<const std::uint8_t> bytes) {
  std::uint64_t value = 0;
  for (std::uint8_t b : bytes.last(std::min<std::size_t>(8, bytes.size()))) value = (value << 8) | b;
  return static_cast<std::int64_t>(value);
}

std::int64_t apm_64LSBMD5(std::span<const std::uint8_t> bytes) { return apm_64LeastSignificantBits(apm_MD5Data(bytes)); }

std::optional<std::string> apm_MD5String(std::string_view text) {
  auto utf8 = platform::foundation::text::encode(text, platform::foundation::text::Encoding::utf8);
  if (!utf8) return std::nullopt;
  return platform::foundation::hex_lower(apm_MD5Data(*utf8));
}

}  // namespace analytics
