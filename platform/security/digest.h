#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace platform::security {

std::array<std::uint8_t, 16> md5(std::span<const std::uint8_t> data);
std::array<std::uint8_t, 20> sha1(std::span<const std::uint8_t> data);
std::array<std::uint8_t, 32> sha256(std::span<const std::uint8_t> data);

// Text overloads digest the bytes of the text as given (UTF-8 for the callers).
inline std::span<const std::uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace platform::security
