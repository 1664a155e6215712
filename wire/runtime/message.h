#pragma once
// The message class family: one class per message type, each wrapping the
// record it owns and converting it to and from wire bytes.

#include <memory>
#include <optional>
#include <span>
#include <utility>

#include "wire/runtime/codec.h"
#include "wire/runtime/message_descriptor.h"
#include "wire/runtime/nano_runtime.h"

namespace wire {

class NANOMessageBase;
namespace detail {
// The message's record, handed over: the message is left without one.
NANOMessageInfo* take_record(NANOMessageBase& message);
}  // namespace detail

class NANOMessageBase {
 public:
  NANOMessageBase() = default;
  NANOMessageBase(const NANOMessageBase&) = delete;
  NANOMessageBase& operator=(const NANOMessageBase&) = delete;
  virtual ~NANOMessageBase() = default;

  virtual const char* messageID() const = 0;
  virtual NANOMessageInfo* messageInfo() const = 0;
  virtual InitMessageInfoFn initMessageInfoFn() const = 0;
  virtual DeallocMessageFieldFn deallocMessageFieldFn() const = 0;
  virtual CopyMessageInfoFn copyMessageInfoFn() const = 0;
  // Encoded bytes, or nullopt when the record cannot be encoded.
  virtual std::optional<Bytes> protoBuffer() const = 0;
  virtual const MessageDescriptor& descriptor() const = 0;

 private:
  friend NANOMessageInfo* detail::take_record(NANOMessageBase& message);
  virtual NANOMessageInfo* releaseMessageInfo() { return nullptr; }
};

namespace detail {
// Shared bodies of the class template.
NANOMessageInfo* new_record_copy(const MessageDescriptor& d, const NANOMessageInfo* source);
NANOMessageInfo* new_record_decoded(const MessageDescriptor& d, std::span<const std::uint8_t> data);
void release_record(const MessageDescriptor& d, NANOMessageInfo* record);
std::optional<Bytes> encode_record(const MessageDescriptor& d, const NANOMessageInfo* record);
}  // namespace detail

template <const MessageDescriptor& D>
class NanoMessage final : public NANOMessageBase {
  struct Token {};

 public:
  explicit NanoMessage(Token, NANOMessageInfo* record) : info_(record) {}
  ~NanoMessage() override { detail::release_record(D, info_); }

  static const MessageDescriptor& type() { return D; }

  // Null gives a new empty message; a record of this type is deep-copied;
  // a record of another type (by name pointer) gives null.
  static std::shared_ptr<NanoMessage> initWithMessageInfo(const NANOMessageInfo* source) {
    NANOMessageInfo* record = detail::new_record_copy(D, source);
    if (record == nullptr) return nullptr;
    return std::make_shared<NanoMessage>(Token{}, record);
  }
  static std::shared_ptr<NanoMessage> make() { return initWithMessageInfo(nullptr); }
  // Null when the bytes do not decode (the decoder has printed why).
  static std::shared_ptr<NanoMessage> initWithBuffer(std::span<const std::uint8_t> data) {
    NANOMessageInfo* record = detail::new_record_decoded(D, data);
    if (record == nullptr) return nullptr;
    return std::make_shared<NanoMessage>(Token{}, record);
  }

  const char* messageID() const override { return D.name; }
  NANOMessageInfo* messageInfo() const override { return info_; }
  InitMessageInfoFn initMessageInfoFn() const override { return D.init_fn; }
  DeallocMessageFieldFn deallocMessageFieldFn() const override { return D.dealloc_fn; }
  CopyMessageInfoFn copyMessageInfoFn() const override { return D.copy_fn; }
  std::optional<Bytes> protoBuffer() const override { return detail::encode_record(D, info_); }
  const MessageDescriptor& descriptor() const override { return D; }

 private:
  NANOMessageInfo* releaseMessageInfo() override { return std::exchange(info_, nullptr); }

  NANOMessageInfo* info_;
};

template <const MessageDescriptor& D>
std::shared_ptr<NANOMessageBase> make_message(const NANOMessageInfo* source) {
  return NanoMessage<D>::initWithMessageInfo(source);
}

}  // namespace wire

// Message objects in Values carry their class name.
template <const wire::MessageDescriptor& D>
struct platform::foundation::ObjectTraits<wire::NanoMessage<D>> {
  static constexpr std::string_view class_name = D.class_name;
};

namespace wire {

template <const MessageDescriptor& D>
Value message_to_value(std::shared_ptr<NANOMessageBase> message) {
  return Value::object(std::static_pointer_cast<NanoMessage<D>>(std::move(message)));
}

template <const MessageDescriptor& D>
std::shared_ptr<NANOMessageBase> message_from_value(const Value& value) {
  return value.object<NanoMessage<D>>();
}

// Typed form of NANOGetMessage for a message class C.
template <class C>
std::shared_ptr<C> NANOGetMessage(const NANOMessageBase* message, std::int32_t index) {
  return std::static_pointer_cast<C>(NANOGetMessage(message, index, &C::type()));
}

}  // namespace wire

// Describes one message type from its `<var>Fields` table. Defines
// <var>Name (the type tag), <var>Flags and the descriptor <var>.
#define WIRE_DESCRIBE_MESSAGE(var, text, class_text, passes, pb_type)                             \
  inline constexpr char var##Name[] = text;                                                        \
  inline constexpr auto var##Flags = ::wire::flags_of(var##Fields);                               \
  static_assert(sizeof(pb_type) <= ::wire::kMaxPbStructSize);                                     \
  static_assert(std::size(var##Fields) <= ::wire::kMaxFields);                                     \
  inline constexpr ::wire::MessageDescriptor var {                                                 \
    var##Name, class_text, static_cast<std::uint32_t>(std::size(var##Fields)), var##Flags.data(), \
        var##Fields, passes, &pb_type##_msg, sizeof(pb_type), &::wire::codec::element_decode<var>, \
        &::wire::codec::element_encode<var>, &::wire::make_message<var>, &::wire::message_to_value<var>, \
        &::wire::message_from_value<var>, &::wire::codec::init_fn<var>, \
        &::wire::codec::dealloc_fn<var>, &::wire::codec::copy_fn<var>, &::wire::codec::layout_fn<var>                              \
  }
