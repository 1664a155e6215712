// Power-of-two alphabet encodings.
#include "identity/string_encoding.h"

#include <numeric>

#include "platform/security/digest.h"

namespace identity {

namespace fd = platform::foundation;

namespace {
constexpr std::string_view kWebSafeBase64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

bool validAlphabet(std::string_view alphabet) {
  const std::size_t n = alphabet.size();
  if (n < 2 || n > 128 || (n & (n - 1)) != 0) return false;
  std::array<bool, 128> seen{};
  for (char c : alphabet) {
    const auto code = static_cast<unsigned char>(c);
    if (code >= 128 || seen[code]) return false;
    seen[code] = true;
  }
  return true;
}
}  // namespace

FIRInstanceIDStringEncoding::FIRInstanceIDStringEncoding(std::string_view alphabet) : charMapData_(alphabet) {
  reverseCharMap_.fill(kUnknownChar);
  for (std::size_t i = 0; i < charMapData_.size(); ++i) {
    reverseCharMap_[static_cast<unsigned char>(charMapData_[i]) & 0x7F] = static_cast<std::int32_t>(i);
  }
  while ((std::size_t{1} << shift_) < charMapData_.size()) ++shift_;
  mask_ = (1u << shift_) - 1;
  padLen_ = shift_ > 0 ? std::lcm(8, shift_) / shift_ : 0;
}

std::shared_ptr<FIRInstanceIDStringEncoding> FIRInstanceIDStringEncoding::stringEncodingWithString(
    std::string_view alphabet) {
  if (!validAlphabet(alphabet)) return nullptr;
  return std::make_shared<FIRInstanceIDStringEncoding>(alphabet);
}

std::shared_ptr<FIRInstanceIDStringEncoding> FIRInstanceIDStringEncoding::rfc4648Base64WebsafeStringEncoding() {
  auto encoding = stringEncodingWithString(kWebSafeBase64);
  encoding->setPaddingChar('=');
  encoding->setDoPad(true);
  return encoding;
}

void FIRInstanceIDStringEncoding::setPaddingChar(char c) {
  paddingChar_ = c;
  reverseCharMap_[static_cast<unsigned char>(c) & 0x7F] = kPaddingChar;
}

std::string FIRInstanceIDStringEncoding::encode(std::span<const std::uint8_t> data) const {
  if (data.empty()) return "";
  std::size_t outLength = (data.size() * 8 + static_cast<std::size_t>(shift_) - 1) / static_cast<std::size_t>(shift_);
  if (doPad_) {
    const auto block = static_cast<std::size_t>(padLen_);
    outLength = (outLength + block - 1) / block * block;
  }
  std::string out;
  out.reserve(outLength);
  std::uint32_t buffer = 0;
  int bitsLeft = 0;
  for (std::uint8_t byte : data) {
    buffer = (buffer << 8) | byte;
    bitsLeft += 8;
    while (bitsLeft >= shift_) {
      bitsLeft -= shift_;
      out.push_back(charMapData_[(buffer >> bitsLeft) & mask_]);
    }
    buffer &= (1u << bitsLeft) - 1;
  }
  if (bitsLeft > 0) out.push_back(charMapData_[(buffer << (shift_ - bitsLeft)) & mask_]);
  while (out.size() < outLength) out.push_back(paddingChar_);
  return out;
}

std::optional<fd::Bytes> FIRInstanceIDStringEncoding::decode(std::string_view text) const {
  fd::Bytes out;
  out.reserve(text.size() * static_cast<std::size_t>(shift_) / 8);
  std::uint32_t buffer = 0;
  int bitsLeft = 0;
  bool paddingSeen = false;
  for (char c : text) {
    const auto code = static_cast<unsigned char>(c);
    if (code >= 128) return std::nullopt;
    const std::int32_t value = reverseCharMap_[code];
    if (value == kIgnoreChar) continue;
    if (value == kPaddingChar) {
      paddingSeen = true;
      continue;
    }
    if (value == kUnknownChar || paddingSeen) return std::nullopt;
    buffer = (buffer << shift_) | static_cast<std::uint32_t>(value);
    bitsLeft += shift_;
    if (bitsLeft >= 8) {
      bitsLeft -= 8;
      out.push_back(static_cast<std::uint8_t>(buffer >> bitsLeft));
      buffer &= (1u << bitsLeft) - 1;
    }
  }
  if (bitsLeft > 0 && buffer != 0) return std::nullopt;
  return out;
}

std::string FIRInstanceIDStringEncoding::description() const {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(charMapData_.data());
  return "<Base" + std::to_string(1 << shift_) + " StringEncoder: " +
         fd::data_description(std::span<const std::uint8_t>(bytes, charMapData_.size())) + ">";
}

std::string FIRInstanceIDEncodeWebSafeBase64NoPadding(std::span<const std::uint8_t> data) {
  static const std::shared_ptr<FIRInstanceIDStringEncoding> encoding = [] {
    auto e = FIRInstanceIDStringEncoding::rfc4648Base64WebsafeStringEncoding();
    e->setDoPad(false);
    return e;
  }();
  return encoding->encode(data);
}

std::array<std::uint8_t, 20> FIRInstanceIDSHA1Digest(std::span<const std::uint8_t> data) {
  return platform::security::sha1(data);
}

}  // namespace identity
