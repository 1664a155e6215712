#pragma once
// Work on encoded messages without decoding them: the top-level fields of a
// message's bytes, their replacement in tag order (as nanopb writes fields),
// appending tagged fields, and a structural check of bytes against a message
// type. Pure functions on byte spans; callable from any thread.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "platform/foundation/value.h"

namespace wire {

struct MessageDescriptor;

inline constexpr std::uint32_t kWireVarint = 0;
inline constexpr std::uint32_t kWireFixed64 = 1;
inline constexpr std::uint32_t kWireLengthDelimited = 2;
inline constexpr std::uint32_t kWireFixed32 = 5;

// One top-level field as it lies in the bytes.
struct NANOEncodedField {
  std::uint32_t tag = 0;
  std::uint32_t wire_type = 0;
  std::size_t offset = 0;        // of the key
  std::size_t size = 0;          // key and value
  std::size_t value_offset = 0;  // payload of a length-delimited field, else the value
  std::size_t value_size = 0;
};

// The top-level fields in order; nullopt for malformed bytes (a truncated
// field, a group, tag 0 or a wire type nanopb does not read).
std::optional<std::vector<NANOEncodedField>> NANOScanFields(std::span<const std::uint8_t> bytes);

// The payload of the first field `tag` when it is length-delimited, as the
// message classes keep the first occurrence of a text; nullopt when absent.
std::optional<std::string_view> NANOFindLengthDelimited(std::span<const std::uint8_t> bytes,
                                                        const std::vector<NANOEncodedField>& fields, std::uint32_t tag);

// Appends one field: a varint (negative int32/int64 as nanopb writes them,
// ten bytes), a fixed64, or a length-delimited payload.
void NANOAppendVarintField(platform::foundation::Bytes& out, std::uint32_t tag, std::uint64_t value);
void NANOAppendFixed64Field(platform::foundation::Bytes& out, std::uint32_t tag, std::uint64_t bits);
void NANOAppendLengthDelimitedField(platform::foundation::Bytes& out, std::uint32_t tag,
                                    std::span<const std::uint8_t> payload);
// Appends the key and length of a length-delimited field whose payload the
// caller appends next.
void NANOAppendLengthDelimitedHeader(platform::foundation::Bytes& out, std::uint32_t tag, std::size_t length);
// Bytes a length-delimited field of `length` bytes takes under `tag`.
std::size_t NANOLengthDelimitedFieldSize(std::uint32_t tag, std::size_t length);

// New contents for one tag: `fields` holds zero or more complete encoded
// fields (keys included) of that tag.
struct NANOFieldReplacement {
  std::uint32_t tag = 0;
  std::span<const std::uint8_t> fields;
};

// Appends `bytes` to `out` with every field of a replaced tag dropped and the
// replacements placed in tag order: after the last field of a lower or equal
// tag that precedes the first higher one. On bytes in ascending tag order
// (nanopb's output) the result is what nanopb writes for the edited message.
// `replacements` must be sorted by tag. False for malformed bytes.
bool NANOReplaceFields(std::span<const std::uint8_t> bytes, const std::vector<NANOEncodedField>& fields,
                       std::span<const NANOFieldReplacement> replacements, platform::foundation::Bytes& out);

// Whether `bytes` decode as a message of `type`, by the decoder's rules:
// numbers with their declared wire type (repeated ones packed or not), texts
// within the runtime's size limit, sub-messages checked the same way; a text
// or message under another wire type is read from that value's bytes, and
// unknown fields are skipped.
bool NANOIsDecodable(const MessageDescriptor& type, std::span<const std::uint8_t> bytes);

}  // namespace wire
