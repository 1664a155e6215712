#pragma once

#include <cstdint>

namespace platform::security {

// Result code of the security calls, with the original platform's values so
// logs and callers' comparisons read the same.
using Status = std::int32_t;

namespace status {
inline constexpr Status ok = 0;
inline constexpr Status item_not_found = -25300;
inline constexpr Status duplicate_item = -25299;
inline constexpr Status param = -50;                 // malformed query, attributes or arguments
inline constexpr Status missing_entitlement = -34018;  // only when the device profile denies the keychain
inline constexpr Status allocate = -108;             // a key, random bytes or the keychain file could not be made
inline constexpr Status decode = -26275;             // stored bytes (key data, keychain file) do not decode
}  // namespace status

}  // namespace platform::security
