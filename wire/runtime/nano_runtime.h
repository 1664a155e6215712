#pragma once
// Message records and the field runtime: every read and write of a message
// field goes through these accessors, addressed by field index and checked
// against the message's flag table.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <pb.h>
#include <pb_decode.h>
#include <pb_common.h>
#include <pb_encode.h>

#include "platform/foundation/value.h"

namespace wire {

using platform::foundation::Array;
using platform::foundation::Bytes;
using platform::foundation::Value;

// One word per field index: a cardinality bit and a type bit.
using NANOFieldFlags = std::uint32_t;

namespace flag {
inline constexpr NANOFieldFlags singular = 0x02;
inline constexpr NANOFieldFlags repeated = 0x08;
inline constexpr NANOFieldFlags boolean = 0x20;
inline constexpr NANOFieldFlags enumeration = 0x40;
inline constexpr NANOFieldFlags int32 = 0x80;
inline constexpr NANOFieldFlags uint32 = 0x100;
inline constexpr NANOFieldFlags int64 = 0x200;
inline constexpr NANOFieldFlags uint64 = 0x400;
inline constexpr NANOFieldFlags float32 = 0x800;
inline constexpr NANOFieldFlags float64 = 0x1000;
inline constexpr NANOFieldFlags string = 0x2000;
inline constexpr NANOFieldFlags message = 0x4000;
inline constexpr NANOFieldFlags bytes = 0x8000;
}  // namespace flag

// One per message value (top level, sub-message or repeated item).
struct NANOMessageInfo {
  void** values;                 // one slot per field index; null means absent
  const NANOFieldFlags* flags;   // the message type's shared table
  const char* name;              // the type tag: compared by pointer, never by text
};

struct NANOByteString {
  std::uint32_t length;
  std::uint8_t* bytes;
};

struct NANORepeatedField {
  std::uint32_t cursor;  // next item to fill while decoding
  std::uint32_t count;
  void** items;
};

class NANOMessageBase;
struct MessageDescriptor;

using InitMessageInfoFn = bool (*)(NANOMessageInfo*);
using DeallocMessageFieldFn = bool (*)(NANOMessageInfo*, std::int32_t);
using CopyMessageInfoFn = bool (*)(NANOMessageInfo**, const NANOMessageInfo*);

// Field accessors. Texts go to the system log.
bool NANOHasField(const NANOMessageBase* message, std::int32_t index);
void NANOClearField(NANOMessageBase* message, std::int32_t index);
bool NANOGetBool(const NANOMessageBase* message, std::int32_t index);
void NANOSetBool(NANOMessageBase* message, std::int32_t index, bool value);
std::int32_t NANOGetInt32(const NANOMessageBase* message, std::int32_t index);
void NANOSetInt32(NANOMessageBase* message, std::int32_t index, std::int32_t value);
std::int64_t NANOGetInt64(const NANOMessageBase* message, std::int32_t index);
void NANOSetInt64(NANOMessageBase* message, std::int32_t index, std::int64_t value);
double NANOGetDouble(const NANOMessageBase* message, std::int32_t index);
void NANOSetDouble(NANOMessageBase* message, std::int32_t index, double value);
std::optional<std::string> NANOGetString(const NANOMessageBase* message, std::int32_t index);
// nullopt clears the field.
void NANOSetString(NANOMessageBase* message, std::int32_t index, std::optional<std::string_view> value);
void NANOSetBytes(NANOMessageBase* message, std::int32_t index,
                  std::optional<std::span<const std::uint8_t>> value);
// `type` plays the class argument: the descriptor of the message type to make, or null.
std::shared_ptr<NANOMessageBase> NANOGetMessage(const NANOMessageBase* message, std::int32_t index,
                                                const MessageDescriptor* type);
// Null clears the field.
void NANOSetMessage(NANOMessageBase* message, std::int32_t index, const NANOMessageBase* value);
// Numbers, strings and data as Values; message items as Value::object of
// their class (for example std::shared_ptr<RIDUZEvent>). nullopt only for a
// missing repeated record.
std::optional<Array> NANOGetArray(const NANOMessageBase* message, std::int32_t index,
                                  const MessageDescriptor* type);
// nullopt empties the field; a wrong element leaves it empty.
void NANOSetArray(NANOMessageBase* message, std::int32_t index, const std::optional<Array>& values);
// The same, except that a message item held by nothing but `values` gives
// its record to the field instead of being copied (and is left without one).
void NANOSetArray(NANOMessageBase* message, std::int32_t index, Array&& values);

// Cell and record routines: each takes the address of a value or item slot.
// They print to standard output and answer false when nothing was stored.
bool NANOSetBoolValue(void** slot, bool value);
bool NANOSetUInt32Value(void** slot, std::uint32_t value);
bool NANOSetUInt64Value(void** slot, std::uint64_t value);
bool NANOSetFloatValue(void** slot, float value);
bool NANOSetDoubleValue(void** slot, double value);
// Copies `length` bytes and adds a NUL that `length` does not count.
bool NANOSetStringValue(void** slot, const std::uint8_t* bytes, std::uint32_t length);
bool NANOSetBytesValue(void** slot, const std::uint8_t* bytes, std::uint32_t length);

void NANOFreeString(NANOByteString* record);
void NANOFreeBytesArray(NANOByteString* record);
void NANOFreeBytesArray(NANORepeatedField* record);
// Null pointer or null Value: nothing stored, true. Another kind: false.
bool NANOStringToBytes(const Value* object, NANOByteString* record);
bool NANODataToBytes(const Value* object, NANOByteString* record);

// nanopb stream callbacks. The second entry points (the Bytes names) are the
// same routines under another address.
bool NANODecodeStringField(pb_istream_t* stream, const pb_field_iter_t* field, void** arg);
bool NANODecodeBytesField(pb_istream_t* stream, const pb_field_iter_t* field, void** arg);
bool NANODecodeRepeatedVarint(pb_istream_t* stream, const pb_field_iter_t* field, void** arg);
bool NANODecodeRepeatedString(pb_istream_t* stream, const pb_field_iter_t* field, void** arg);
bool NANODecodeRepeatedBytes(pb_istream_t* stream, const pb_field_iter_t* field, void** arg);
bool NANOEncodeStringField(pb_ostream_t* stream, const pb_field_iter_t* field, void* const* arg);
bool NANOEncodeBytesField(pb_ostream_t* stream, const pb_field_iter_t* field, void* const* arg);
bool NANOEncodeRepeatedVarint(pb_ostream_t* stream, const pb_field_iter_t* field, void* const* arg);
bool NANOEncodeRepeatedString(pb_ostream_t* stream, const pb_field_iter_t* field, void* const* arg);
bool NANOEncodeRepeatedBytes(pb_ostream_t* stream, const pb_field_iter_t* field, void* const* arg);

// Largest accepted string or bytes field.
inline constexpr std::size_t kMaxFieldBytes = 0x100000;

// Sizes the message, allocates exactly that much into `out` and encodes.
// Returns the length written, or -1 with `out` left empty.
std::int32_t NANOEncodeToBuffer(const pb_msgdesc_t* fields, const void* source, Bytes* out);

// Encodes in one pass into `out` (replacing its contents), growing it as it
// goes. False when the message cannot be encoded.
bool NANOEncodeAppending(const pb_msgdesc_t* fields, const void* source, Bytes* out);

}  // namespace wire
