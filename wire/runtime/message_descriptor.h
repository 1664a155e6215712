#pragma once
// Hand-written description of one message type: its field indexes with their
// flag words, wire tags and declared sub-message types, bound to nanopb's
// generated descriptor. The address of the name text is the type tag.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "wire/runtime/nano_runtime.h"

namespace wire {

using ElementDecodeFn = bool (*)(pb_istream_t*, const pb_field_iter_t*, void**);
using ElementEncodeFn = bool (*)(pb_ostream_t*, const pb_field_iter_t*, void* const*);
using MessageFactory = std::shared_ptr<NANOMessageBase> (*)(const NANOMessageInfo*);
using MessageToValue = Value (*)(std::shared_ptr<NANOMessageBase>);
using MessageFromValue = std::shared_ptr<NANOMessageBase> (*)(const Value&);

struct FieldSpec {
  NANOFieldFlags flags;
  std::uint32_t tag;
  const MessageDescriptor* type = nullptr;  // sub-message or element type
  const char* name = nullptr;               // the name the texts use (repeated fields)
};

// Where a field lives in the message's nanopb structure.
struct MemberLayout {
  std::int32_t data = -1;  // offset of the value, callback or nested structure; -1 when not found
  std::int32_t has = -1;   // offset of the has-flag, -1 for callback fields
};
using LayoutFn = const MemberLayout* (*)();

struct MessageDescriptor {
  const char* name;
  const char* class_name;
  std::uint32_t field_count;
  const NANOFieldFlags* flags;
  const FieldSpec* fields;
  std::uint32_t passes;  // 2 when repeated fields lie anywhere beneath
  const pb_msgdesc_t* pb;
  std::size_t pb_size;
  ElementDecodeFn element_decode;
  ElementEncodeFn element_encode;
  MessageFactory make;  // initWithMessageInfo: of the message's class
  MessageToValue to_value;      // Value::object of the message's own class
  MessageFromValue from_value;  // the object of a Value holding this class, else null
  InitMessageInfoFn init_fn;
  DeallocMessageFieldFn dealloc_fn;
  CopyMessageInfoFn copy_fn;
  LayoutFn layout;  // one entry per field index, found once per type
};

template <std::size_t N>
constexpr std::array<NANOFieldFlags, N> flags_of(const FieldSpec (&fields)[N]) {
  std::array<NANOFieldFlags, N> out{};
  for (std::size_t i = 0; i < N; ++i) out[i] = fields[i].flags;
  return out;
}

// Scratch space for one nanopb structure on the stack; every generated
// structure of the message sets fits (checked where they are described).
inline constexpr std::size_t kMaxPbStructSize = 1024;
// Most fields in one message type.
inline constexpr std::size_t kMaxFields = 48;

}  // namespace wire
