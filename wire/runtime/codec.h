#pragma once
// The codec family, driven by a message's descriptor: decoder, set-decoders,
// copy-statics, element callbacks, set-encoders, encode to buffer and the
// record functions (init, allocate arrays, dealloc field, free, copy).

#include "wire/runtime/message_descriptor.h"

namespace wire::codec {

bool decode(const MessageDescriptor& d, const std::uint8_t* bytes, std::size_t length, NANOMessageInfo* record);
bool set_decoders(const MessageDescriptor& d, NANOMessageInfo* record, void* pb_struct);
void copy_statics(const MessageDescriptor& d, const void* pb_struct, NANOMessageInfo* record);
bool decode_element(const MessageDescriptor& d, pb_istream_t* stream, void** arg);
bool set_encoders(const MessageDescriptor& d, const NANOMessageInfo* record, void* pb_struct);
std::int32_t encode_to_buffer(const MessageDescriptor& d, const NANOMessageInfo* record, Bytes* out);
bool encode_element(const MessageDescriptor& d, pb_ostream_t* stream, const pb_field_iter_t* field, void* const* arg);
bool init_message_info(const MessageDescriptor& d, NANOMessageInfo* record);
bool has_arrays(const MessageDescriptor& d);
bool allocate_arrays(const MessageDescriptor& d, NANOMessageInfo* record);
bool dealloc_message_field(const MessageDescriptor& d, NANOMessageInfo* record, std::int32_t index);
bool free_message_info(const MessageDescriptor& d, NANOMessageInfo* record);
bool copy_message_info(const MessageDescriptor& d, NANOMessageInfo** destination, const NANOMessageInfo* source);

// The slot of a non-repeated scalar, string or bytes field; an empty one is
// first pointed at the record's own zeroed cell for that field.
void** field_slot(const MessageDescriptor& d, NANOMessageInfo* record, std::uint32_t index);
// Whether `cell` is one of the record's own cells (freed with the record).
bool is_own_cell(const MessageDescriptor& d, const NANOMessageInfo* record, const void* cell);

// Whether a deep copy of the record would equal it: every repeated record
// present, no missing item or string bytes, integer cells as a copy cuts them.
bool copies_as_is(const MessageDescriptor& d, const NANOMessageInfo* record);

// Reads the rest of a string substream into an empty record, NUL-terminated.
bool read_string(pb_istream_t* stream, NANOByteString* record);

// Finds each field's structure member by its tag.
void find_members(const MessageDescriptor& d, MemberLayout* out);

// Per-message entry points, one instance per descriptor.
template <const MessageDescriptor& D>
bool element_decode(pb_istream_t* stream, const pb_field_iter_t*, void** arg) {
  return decode_element(D, stream, arg);
}
template <const MessageDescriptor& D>
bool element_encode(pb_ostream_t* stream, const pb_field_iter_t* field, void* const* arg) {
  return encode_element(D, stream, field, arg);
}
template <const MessageDescriptor& D>
bool init_fn(NANOMessageInfo* record) {
  return init_message_info(D, record);
}
template <const MessageDescriptor& D>
bool dealloc_fn(NANOMessageInfo* record, std::int32_t index) {
  return dealloc_message_field(D, record, index);
}
template <const MessageDescriptor& D>
bool copy_fn(NANOMessageInfo** destination, const NANOMessageInfo* source) {
  return copy_message_info(D, destination, source);
}

template <const MessageDescriptor& D>
const MemberLayout* layout_fn() {
  static const auto members = [] {
    std::array<MemberLayout, kMaxFields> out{};
    find_members(D, out.data());
    return out;
  }();
  return members.data();
}

}  // namespace wire::codec
