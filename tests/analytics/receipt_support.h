#pragma once
// Small store-receipt fixtures: DER elements with short-form lengths, the
// fields of one in-app purchase record, records and whole receipts.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace analytics_test::receipt_fixture {

using Bytes = std::vector<std::uint8_t>;

inline Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

inline Bytes textBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

// A DER element with a short-form length.
inline Bytes element(std::uint8_t tag, const Bytes& content) {
  return concat({{tag, static_cast<std::uint8_t>(content.size())}, content});
}

// SEQUENCE { INTEGER 0x06XY, INTEGER 1, OCTET STRING { <tag> value } }.
inline Bytes field(std::uint8_t type, std::uint8_t tag, const Bytes& value) {
  return element(0x30, concat({{0x02, 0x02, 0x06, type, 0x02, 0x01, 0x01}, element(0x04, element(tag, value))}));
}
inline Bytes productField(const std::string& id) { return field(0xA6, 0x0C, textBytes(id)); }
inline Bytes transactionField(const std::string& id) { return field(0xA7, 0x0C, textBytes(id)); }

// The purchase record from its INTEGER 17 on (where a record starts), wrapped in its SEQUENCE.
inline Bytes recordBody(const std::vector<Bytes>& fields) {
  Bytes set;
  for (const auto& f : fields) set = concat({set, f});
  return concat({{0x02, 0x01, 0x11, 0x02, 0x01, 0x01}, element(0x04, element(0x31, set))});
}
inline Bytes record(const std::vector<Bytes>& fields) { return element(0x30, recordBody(fields)); }

// SEQUENCE { INTEGER 19, INTEGER 1, OCTET STRING { UTF8String version } }.
inline Bytes versionAttribute(const std::string& version) {
  return element(0x30, concat({{0x02, 0x01, 0x13, 0x02, 0x01, 0x01}, element(0x04, element(0x0C, textBytes(version)))}));
}

inline Bytes receipt(const std::string& version, const std::vector<Bytes>& records = {}) {
  Bytes body = versionAttribute(version);
  for (const auto& r : records) body = concat({body, r});
  return element(0x31, body);
}

}  // namespace analytics_test::receipt_fixture
