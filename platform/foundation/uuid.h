#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform::foundation {

// A 128-bit UUID. random() makes version 4 UUIDs from the kernel's random
// source. Text is 8-4-4-4-12 hex digits.
class Uuid {
 public:
  Uuid() = default;                                   // all zero
  explicit Uuid(const std::array<std::uint8_t, 16>& b) : bytes(b) {}

  static Uuid random();
  // Accepts upper- and lower-case hex in the 8-4-4-4-12 form only.
  static std::optional<Uuid> parse(std::string_view text);

  std::string string() const;         // upper case
  std::string lower_string() const;   // lower case

  std::array<std::uint8_t, 16> bytes{};

  friend bool operator==(const Uuid&, const Uuid&) = default;
};

}  // namespace platform::foundation
