#pragma once
// FIRInstanceIDStringEncoding: an encoder for any power-of-two alphabet (base
// 2 to base 128), with optional padding, and its decoder. Immutable once set
// up; any thread.
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"

namespace identity {

class FIRInstanceIDStringEncoding {
 public:
  // URL-safe base 64 of RFC 4648, padding "=" on.
  static std::shared_ptr<FIRInstanceIDStringEncoding> rfc4648Base64WebsafeStringEncoding();
  // nullptr unless the alphabet is ASCII, of 2 to 128 distinct characters, a power of two long.
  static std::shared_ptr<FIRInstanceIDStringEncoding> stringEncodingWithString(std::string_view alphabet);

  void setDoPad(bool doPad) { doPad_ = doPad; }
  bool doPad() const { return doPad_; }
  // Also marks the character as padding for decoding.
  void setPaddingChar(char c);

  std::string encode(std::span<const std::uint8_t> data) const;
  // nullopt for non-ASCII text, a character outside the alphabet, an
  // alphabet character after padding, or non-zero leftover bits.
  std::optional<platform::foundation::Bytes> decode(std::string_view text) const;
  // "<Base64 StringEncoder: <alphabet bytes>>".
  std::string description() const;

  explicit FIRInstanceIDStringEncoding(std::string_view alphabet);

 private:
  static constexpr int kUnknownChar = -1, kPaddingChar = -2, kIgnoreChar = -3;
  std::string charMapData_;
  std::array<std::int32_t, 128> reverseCharMap_{};
  std::int32_t shift_ = 0;
  std::uint32_t mask_ = 0;
  bool doPad_ = false;
  char paddingChar_ = '=';
  std::int32_t padLen_ = 0;
};

// The base 64 of RFC 4648 in its URL-safe alphabet, without padding.
std::string FIRInstanceIDEncodeWebSafeBase64NoPadding(std::span<const std::uint8_t> data);
std::array<std::uint8_t, 20> FIRInstanceIDSHA1Digest(std::span<const std::uint8_t> data);

}  // namespace identity
