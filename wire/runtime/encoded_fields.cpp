// Top-level field scanning, tag-ordered field replacement and the structural
// decodability check over encoded message bytes.
#include "wire/runtime/encoded_fields.h"

#include <algorithm>

#include "wire/runtime/message_descriptor.h"

namespace wire {

namespace {

// Nesting deeper than this is refused, as a guard against hostile input.
constexpr int kEncodedMaxDepth = 32;

void encodedAppendVarint(platform::foundation::Bytes& out, std::uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<std::uint8_t>(value | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<std::uint8_t>(value));
}

std::uint64_t encodedKey(std::uint32_t tag, std::uint32_t wireType) {
  return (static_cast<std::uint64_t>(tag) << 3) | wireType;
}

bool encodedReadVarint(std::span<const std::uint8_t> bytes, std::size_t& pos, std::uint64_t& value) {
  value = 0;
  for (int shift = 0; shift < 70; shift += 7) {
    if (pos >= bytes.size()) return false;
    const std::uint8_t byte = bytes[pos++];
    if (shift < 64) value |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
    if ((byte & 0x80) == 0) return true;
  }
  return false;
}

// Reads one field at `pos`; false when it is malformed.
bool encodedReadField(std::span<const std::uint8_t> bytes, std::size_t& pos, NANOEncodedField& field) {
  field.offset = pos;
  std::uint64_t key = 0;
  if (!encodedReadVarint(bytes, pos, key)) return false;
  field.tag = static_cast<std::uint32_t>(key >> 3);
  field.wire_type = static_cast<std::uint32_t>(key & 7);
  if (field.tag == 0 || (key >> 3) > 0x1fffffff) return false;
  field.value_offset = pos;
  switch (field.wire_type) {
    case kWireVarint: {
      std::uint64_t ignored = 0;
      if (!encodedReadVarint(bytes, pos, ignored)) return false;
      break;
    }
    case kWireFixed64:
      if (bytes.size() - pos < 8) return false;
      pos += 8;
      break;
    case kWireFixed32:
      if (bytes.size() - pos < 4) return false;
      pos += 4;
      break;
    case kWireLengthDelimited: {
      std::uint64_t length = 0;
      if (!encodedReadVarint(bytes, pos, length) || length > bytes.size() - pos) return false;
      field.value_offset = pos;
      pos += static_cast<std::size_t>(length);
      break;
    }
    default:
      return false;
  }
  field.value_size = pos - field.value_offset;
  field.size = pos - field.offset;
  return true;
}

std::uint32_t encodedExpectedWireType(NANOFieldFlags flags) {
  if (flags & (flag::string | flag::bytes | flag::message)) return kWireLengthDelimited;
  if (flags & flag::float64) return kWireFixed64;
  if (flags & flag::float32) return kWireFixed32;
  return kWireVarint;
}

bool encodedPackedValid(std::span<const std::uint8_t> payload, std::uint32_t elementType) {
  if (elementType == kWireFixed64) return payload.size() % 8 == 0;
  if (elementType == kWireFixed32) return payload.size() % 4 == 0;
  std::size_t pos = 0;
  std::uint64_t ignored = 0;
  while (pos < payload.size()) {
    if (!encodedReadVarint(payload, pos, ignored)) return false;
  }
  return true;
}

bool encodedDecodable(const MessageDescriptor& type, std::span<const std::uint8_t> bytes, int depth) {
  if (depth > kEncodedMaxDepth) return false;
  std::size_t pos = 0;
  NANOEncodedField field;
  while (pos < bytes.size()) {
    if (!encodedReadField(bytes, pos, field)) return false;
    const FieldSpec* spec = nullptr;
    for (std::uint32_t i = 0; i < type.field_count; ++i) {
      if (type.fields[i].tag == field.tag) {
        spec = &type.fields[i];
        break;
      }
    }
    if (spec == nullptr) continue;
    const std::uint32_t expected = encodedExpectedWireType(spec->flags);
    const auto payload = bytes.subspan(field.value_offset, field.value_size);
    if (field.wire_type != expected) {
      if (expected == kWireLengthDelimited) {
        // The decoder hands a text or message callback the value's own bytes.
        if ((spec->flags & flag::message) &&
            (spec->type == nullptr || !encodedDecodable(*spec->type, payload, depth + 1))) {
          return false;
        }
        continue;
      }
      const bool packed = (spec->flags & flag::repeated) && field.wire_type == kWireLengthDelimited;
      if (!packed || !encodedPackedValid(payload, expected)) return false;
      continue;
    }
    if (spec->flags & flag::message) {
      if (spec->type == nullptr || !encodedDecodable(*spec->type, payload, depth + 1)) return false;
    } else if ((spec->flags & (flag::string | flag::bytes)) && payload.size() > kMaxFieldBytes) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::optional<std::vector<NANOEncodedField>> NANOScanFields(std::span<const std::uint8_t> bytes) {
  std::vector<NANOEncodedField> fields;
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    NANOEncodedField field;
    if (!encodedReadField(bytes, pos, field)) return std::nullopt;
    fields.push_back(field);
  }
  return fields;
}

std::optional<std::string_view> NANOFindLengthDelimited(std::span<const std::uint8_t> bytes,
                                                        const std::vector<NANOEncodedField>& fields,
                                                        std::uint32_t tag) {
  for (const auto& field : fields) {
    if (field.tag != tag || field.wire_type != kWireLengthDelimited) continue;
    return std::string_view(reinterpret_cast<const char*>(bytes.data() + field.value_offset), field.value_size);
  }
  return std::nullopt;
}

void NANOAppendVarintField(platform::foundation::Bytes& out, std::uint32_t tag, std::uint64_t value) {
  encodedAppendVarint(out, encodedKey(tag, kWireVarint));
  encodedAppendVarint(out, value);
}

void NANOAppendFixed64Field(platform::foundation::Bytes& out, std::uint32_t tag, std::uint64_t bits) {
  encodedAppendVarint(out, encodedKey(tag, kWireFixed64));
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
}

void NANOAppendLengthDelimitedHeader(platform::foundation::Bytes& out, std::uint32_t tag, std::size_t length) {
  encodedAppendVarint(out, encodedKey(tag, kWireLengthDelimited));
  encodedAppendVarint(out, static_cast<std::uint64_t>(length));
}

void NANOAppendLengthDelimitedField(platform::foundation::Bytes& out, std::uint32_t tag,
                                    std::span<const std::uint8_t> payload) {
  NANOAppendLengthDelimitedHeader(out, tag, payload.size());
  out.insert(out.end(), payload.begin(), payload.end());
}

std::size_t NANOLengthDelimitedFieldSize(std::uint32_t tag, std::size_t length) {
  std::size_t size = length;
  for (std::uint64_t part : {encodedKey(tag, kWireLengthDelimited), static_cast<std::uint64_t>(length)}) {
    do {
      ++size;
      part >>= 7;
    } while (part != 0);
  }
  return size;
}

bool NANOReplaceFields(std::span<const std::uint8_t> bytes, const std::vector<NANOEncodedField>& fields,
                       std::span<const NANOFieldReplacement> replacements, platform::foundation::Bytes& out) {
  std::size_t next = 0;  // the first replacement not yet written
  const auto flushBelow = [&](std::uint32_t tag) {
    while (next < replacements.size() && replacements[next].tag < tag) {
      out.insert(out.end(), replacements[next].fields.begin(), replacements[next].fields.end());
      ++next;
    }
  };
  for (const auto& field : fields) {
    if (field.offset + field.size > bytes.size()) return false;
    flushBelow(field.tag);
    const bool replaced = std::any_of(replacements.begin(), replacements.end(),
                                      [&](const NANOFieldReplacement& r) { return r.tag == field.tag; });
    if (replaced) continue;
    out.insert(out.end(), bytes.begin() + static_cast<std::ptrdiff_t>(field.offset),
               bytes.begin() + static_cast<std::ptrdiff_t>(field.offset + field.size));
  }
  // The replacements above every tag present.
  for (; next < replacements.size(); ++next) {
    out.insert(out.end(), replacements[next].fields.begin(), replacements[next].fields.end());
  }
  return true;
}

bool NANOIsDecodable(const MessageDescriptor& type, std::span<const std::uint8_t> bytes) {
  return encodedDecodable(type, bytes, 0);
}

}  // namespace wire
