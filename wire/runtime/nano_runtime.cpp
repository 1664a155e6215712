#include "wire/runtime/nano_runtime.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/foundation/class_name.h"
#include "wire/runtime/codec.h"
#include "wire/runtime/message.h"
#include "wire/runtime/output.h"

namespace wire {

namespace {

constexpr const char* kNotInitialized = "ProtocolBuffer message hasn't been initialized. %s can't be performed";
constexpr const char* kRepeatedMissing = "<ERROR> Repeated field should have been allocated";
constexpr const char* kProvidedClass =
    "<ERROR> Provided class doesn't implement initWithMessageInfo: method. Class: %s";

// The record of an accessor's message, or null after logging the operation's
// not-initialised text.
NANOMessageInfo* record_for(const NANOMessageBase* message, const char* operation) {
  NANOMessageInfo* record = message != nullptr ? message->messageInfo() : nullptr;
  if (record == nullptr || record->values == nullptr) {
    output::log(kNotInitialized, operation);
    return nullptr;
  }
  return record;
}

// Field indexes are bounded by the message's own field count.
bool index_in_range(const NANOMessageBase* message, const NANOMessageInfo* record, std::int32_t index) {
  if (index >= 0 && static_cast<std::uint32_t>(index) < message->descriptor().field_count) return true;
  output::log("<Nano/Failure> Field index is out of range. Message: %s, field ID: %d", record->name, index);
  return false;
}

// The record, index bound and flag test shared by the typed accessors.
NANOMessageInfo* checked(const NANOMessageBase* message, std::int32_t index, const char* operation,
                         bool (*accepts)(NANOFieldFlags), const char* type_text) {
  NANOMessageInfo* record = record_for(message, operation);
  if (record == nullptr || !index_in_range(message, record, index)) return nullptr;
  if (!accepts(record->flags[index])) {
    output::log("<Nano/Failure> Field type isn't %s. Message: %s, field ID: %d", type_text, record->name, index);
    return nullptr;
  }
  return record;
}

bool is_bool(NANOFieldFlags f) { return (f & 0x28) == 0x20; }
bool is_int32(NANOFieldFlags f) { return (f & 0x1c0) != 0 && (f & 0x08) == 0; }
bool is_int64(NANOFieldFlags f) { return (f & 0x600) != 0 && (f & 0x08) == 0; }
bool is_double(NANOFieldFlags f) { return (f & 0x1008) == 0x1000; }
bool is_string(NANOFieldFlags f) { return (f & 0x2008) == 0x2000; }
bool is_bytes(NANOFieldFlags f) { return (f & 0x8008) == 0x8000; }
bool is_message(NANOFieldFlags f) { return (f & 0x4008) == 0x4000; }
bool is_repeated(NANOFieldFlags f) { return (f & 0x08) != 0; }
// store_element's order of kinds: a message item has no earlier kind bit.
bool is_message_item(NANOFieldFlags f) { return (f & 0xBFE0) == 0 && (f & 0x4000) != 0; }

void clear_field(const NANOMessageBase* message, NANOMessageInfo* record, std::int32_t index) {
  message->deallocMessageFieldFn()(record, index);
}

// The field's slot, filled with the record's own cell when empty.
void** own_slot(const NANOMessageBase* message, NANOMessageInfo* record, std::int32_t index) {
  return codec::field_slot(message->descriptor(), record, static_cast<std::uint32_t>(index));
}

std::uint64_t cell64(const void* cell) {
  std::uint64_t v;
  std::memcpy(&v, cell, sizeof v);
  return v;
}
std::uint32_t cell32(const void* cell) {
  std::uint32_t v;
  std::memcpy(&v, cell, sizeof v);
  return v;
}

// Stores `length` bytes without a terminator; a zero length still gets a buffer.
bool fill_bytes(NANOByteString* record, const void* data, std::size_t length) {
  if (length > std::numeric_limits<std::uint32_t>::max()) return false;
  auto* buffer = static_cast<std::uint8_t*>(std::malloc(length == 0 ? 1 : length));
  if (buffer == nullptr) return false;
  if (length > 0) std::memcpy(buffer, data, length);
  record->bytes = buffer;
  record->length = static_cast<std::uint32_t>(length);
  return true;
}

// Sets a string or bytes slot in place, keeping its record.
void set_byte_string(void** slot, const void* data, std::size_t length) {
  if (*slot == nullptr) *slot = std::calloc(1, sizeof(NANOByteString));
  auto* record = static_cast<NANOByteString*>(*slot);
  if (record == nullptr) return;
  NANOFreeString(record);
  fill_bytes(record, data, length);
}

// NSNumber views of a Value.
std::int64_t long_long_value(const Value& v) { return v.as_int().value_or(0); }
double double_value(const Value& v) { return v.as_double().value_or(0.0); }

std::optional<Value> item_value(NANOFieldFlags f, const void* item, const MessageDescriptor* type) {
  if (f & 0x20) return Value(static_cast<const std::uint8_t*>(item)[0] != 0);
  if (f & 0x80) return Value(static_cast<int>(static_cast<std::int32_t>(cell32(item))));
  if (f & 0x100) return Value(static_cast<unsigned>(cell32(item)));
  if (f & 0x200) return Value(static_cast<long long>(cell64(item)));
  if (f & 0x400) return Value(static_cast<long long>(cell64(item)));  // the same 64 bits
  if (f & 0x800) {
    float x;
    std::memcpy(&x, item, sizeof x);
    return Value(static_cast<double>(x));
  }
  if (f & 0x1000) {
    double x;
    std::memcpy(&x, item, sizeof x);
    return Value(x);
  }
  if (f & 0x40) return Value(static_cast<int>(static_cast<std::int32_t>(cell32(item))));
  if (f & 0x2000) {
    auto* s = static_cast<const NANOByteString*>(item);
    if (s->bytes == nullptr) return std::nullopt;
    return Value(std::string(reinterpret_cast<const char*>(s->bytes), s->length));
  }
  if (f & 0x8000) {
    auto* s = static_cast<const NANOByteString*>(item);
    if (s->bytes == nullptr) return std::nullopt;
    return Value(Bytes(s->bytes, s->bytes + s->length));
  }
  if (f & 0x4000) {
    if (type == nullptr) {
      output::log(kProvidedClass, "(null)");
      return std::nullopt;
    }
    auto object = type->make(static_cast<const NANOMessageInfo*>(item));
    if (!object) return std::nullopt;
    return type->to_value(std::move(object));
  }
  output::log("<ERROR> Unable to convert byte data to an ObjC object. Unknown type. %d", static_cast<int>(f));
  return std::nullopt;
}

// Stores one array element into its item slot; false with the logged text
// when the element does not fit the field. With `take` (set only when every
// item of the array goes in as it is), a message item held by nothing else
// gives its record instead of a copy.
bool store_element(NANOFieldFlags f, const MessageDescriptor* declared, const Value& element, void** slot,
                   bool take) {
  const char* wrong = nullptr;
  if (f & 0x20) {
    if (element.is_number()) return NANOSetBoolValue(slot, element.as_bool().value_or(false));
    wrong = "<ERROR> Invalid object type. Boolean fields expect NSNumber. Type: %s";
  } else if (f & (0x80 | 0x100)) {
    if (element.is_number()) return NANOSetUInt32Value(slot, static_cast<std::uint32_t>(long_long_value(element)));
    wrong = "<ERROR> Invalid object type. Int32 fields expect NSNumber. Type: %s";
  } else if (f & (0x200 | 0x400)) {
    if (element.is_number()) return NANOSetUInt64Value(slot, static_cast<std::uint64_t>(long_long_value(element)));
    wrong = "<ERROR> Invalid object type. Int64 fields expect NSNumber. Type: %s";
  } else if (f & 0x800) {
    if (element.is_number()) return NANOSetFloatValue(slot, static_cast<float>(double_value(element)));
    wrong = "<ERROR> Invalid object type. Float fields expect NSNumber. Type: %s";
  } else if (f & 0x1000) {
    if (element.is_number()) return NANOSetDoubleValue(slot, double_value(element));
    wrong = "<ERROR> Invalid object type. Double fields expect NSNumber. Type: %s";
  } else if (f & 0x40) {
    if (element.is_number()) return NANOSetUInt32Value(slot, static_cast<std::uint32_t>(long_long_value(element)));
    wrong = "<ERROR> Invalid object type. Enum fields expect NSNumber. Type: %s";
  } else if (f & (0x2000 | 0x8000)) {
    const bool text = (f & 0x2000) != 0;
    *slot = std::calloc(1, sizeof(NANOByteString));
    auto* record = static_cast<NANOByteString*>(*slot);
    if (record != nullptr &&
        (text ? NANOStringToBytes(&element, record) : NANODataToBytes(&element, record)))
      return true;
    wrong = text ? "<ERROR> Invalid object type. String fields expect NSString. Type: %s"
                 : "<ERROR> Invalid object type. Bytes fields expect NSData. Type: %s";
  } else if (f & 0x4000) {
    const bool sole = take && element.opaque() != nullptr && element.opaque()->ptr.use_count() == 1;
    auto object = declared != nullptr ? declared->from_value(element) : nullptr;
    // Only the field's declared type may go in: other records have other field counts.
    if (object && declared != nullptr && object->messageID() == declared->name) {
      if (sole) {
        *slot = detail::take_record(*object);
        return true;
      }
      if (object->copyMessageInfoFn()(reinterpret_cast<NANOMessageInfo**>(slot), object->messageInfo())) return true;
    }
    wrong = "<ERROR> Invalid object type. Message fields expect NANOMessageBase. Type: %s";
  } else {
    output::log("<ERROR> Unable to convert ObjC object to byte data. Unknown type. %d", static_cast<int>(f));
    return false;
  }
  output::log(wrong, platform::foundation::class_name(element).c_str());
  return false;
}

}  // namespace

// ---- accessors

bool NANOHasField(const NANOMessageBase* message, std::int32_t index) {
  NANOMessageInfo* record = message != nullptr ? message->messageInfo() : nullptr;
  if (record == nullptr || record->values == nullptr) {
    output::log(
        "ProtocolBuffer message hasn't been initialized. HasField operation can't be performed. Message name %s",
        message != nullptr ? message->messageID() : "(null)");
    return false;
  }
  if (!index_in_range(message, record, index)) return false;
  if (record->flags != nullptr && is_repeated(record->flags[index])) return true;
  return record->values[index] != nullptr;
}

void NANOClearField(NANOMessageBase* message, std::int32_t index) {
  NANOMessageInfo* record = message != nullptr ? message->messageInfo() : nullptr;
  if (record == nullptr || record->values == nullptr) {
    output::log("ProtocolBuffer message hasn't been initialized. ClearField can't be performed");
    return;
  }
  if (!index_in_range(message, record, index)) return;
  clear_field(message, record, index);
}

bool NANOGetBool(const NANOMessageBase* message, std::int32_t index) {
  NANOMessageInfo* r = checked(message, index, "GetBool", is_bool, "a scalar BOOL");
  if (r == nullptr || r->values[index] == nullptr) return false;
  return static_cast<const std::uint8_t*>(r->values[index])[0] != 0;
}

void NANOSetBool(NANOMessageBase* message, std::int32_t index, bool value) {
  NANOMessageInfo* r = checked(message, index, "SetBool", is_bool, "a scalar BOOL");
  if (r != nullptr) NANOSetUInt32Value(own_slot(message, r, index), value ? 1 : 0);
}

std::int32_t NANOGetInt32(const NANOMessageBase* message, std::int32_t index) {
  NANOMessageInfo* r = checked(message, index, "GetInt32", is_int32, "a scalar INT32");
  if (r == nullptr || r->values[index] == nullptr) return 0;
  return static_cast<std::int32_t>(cell32(r->values[index]));
}

void NANOSetInt32(NANOMessageBase* message, std::int32_t index, std::int32_t value) {
  NANOMessageInfo* r = checked(message, index, "SetInt32", is_int32, "a scalar INT32");
  if (r != nullptr) NANOSetUInt32Value(own_slot(message, r, index), static_cast<std::uint32_t>(value));
}

std::int64_t NANOGetInt64(const NANOMessageBase* message, std::int32_t index) {
  NANOMessageInfo* r = checked(message, index, "GetInt64", is_int64, "a scalar INT64");
  if (r == nullptr || r->values[index] == nullptr) return 0;
  return static_cast<std::int64_t>(cell64(r->values[index]));
}

void NANOSetInt64(NANOMessageBase* message, std::int32_t index, std::int64_t value) {
  NANOMessageInfo* r = checked(message, index, "SetInt64", is_int64, "a scalar INT64");
  if (r != nullptr) NANOSetUInt64Value(own_slot(message, r, index), static_cast<std::uint64_t>(value));
}

double NANOGetDouble(const NANOMessageBase* message, std::int32_t index) {
  NANOMessageInfo* r = checked(message, index, "GetDouble", is_double, "a scalar DOUBLE");
  if (r == nullptr || r->values[index] == nullptr) return 0.0;
  double v;
  std::memcpy(&v, r->values[index], sizeof v);
  return v;
}

void NANOSetDouble(NANOMessageBase* message, std::int32_t index, double value) {
  NANOMessageInfo* r = checked(message, index, "SetDouble", is_double, "a scalar DOUBLE");
  if (r != nullptr) NANOSetDoubleValue(own_slot(message, r, index), value);
}

std::optional<std::string> NANOGetString(const NANOMessageBase* message, std::int32_t index) {
  NANOMessageInfo* r = checked(message, index, "GetString", is_string, "a scalar STRING");
  if (r == nullptr || r->values[index] == nullptr) return std::nullopt;
  auto* s = static_cast<const NANOByteString*>(r->values[index]);
  if (s->bytes == nullptr) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(s->bytes), s->length);
}

void NANOSetString(NANOMessageBase* message, std::int32_t index, std::optional<std::string_view> value) {
  NANOMessageInfo* r = checked(message, index, "SetString", is_string, "a scalar STRING");
  if (r == nullptr) return;
  if (!value) {
    clear_field(message, r, index);
    return;
  }
  set_byte_string(own_slot(message, r, index), value->data(), value->size());
}

void NANOSetBytes(NANOMessageBase* message, std::int32_t index, std::optional<std::span<const std::uint8_t>> value) {
  NANOMessageInfo* r = checked(message, index, "SetBytes", is_bytes, "a scalar BYTES");
  if (r == nullptr) return;
  if (!value) {
    clear_field(message, r, index);
    return;
  }
  set_byte_string(own_slot(message, r, index), value->data(), value->size());
}

std::shared_ptr<NANOMessageBase> NANOGetMessage(const NANOMessageBase* message, std::int32_t index,
                                                const MessageDescriptor* type) {
  NANOMessageInfo* r = checked(message, index, "GetMessage", is_message, "a scalar MESSAGE");
  if (r == nullptr || r->values[index] == nullptr) return nullptr;
  if (type == nullptr) {
    output::log(kProvidedClass, "(null)");
    return nullptr;
  }
  return type->make(static_cast<const NANOMessageInfo*>(r->values[index]));
}

void NANOSetMessage(NANOMessageBase* message, std::int32_t index, const NANOMessageBase* value) {
  NANOMessageInfo* r = checked(message, index, "SetMessage", is_message, "a scalar MESSAGE");
  if (r == nullptr) return;
  if (value == nullptr) {
    clear_field(message, r, index);
    return;
  }
  const MessageDescriptor* declared = message->descriptor().fields[index].type;
  if (declared == nullptr || value->messageID() != declared->name || value->messageInfo() == nullptr) {
    output::log("<Nano/Failure> Field type isn't a scalar MESSAGE. Message: %s, field ID: %d", r->name, index);
    return;
  }
  clear_field(message, r, index);
  NANOMessageInfo* copy = nullptr;
  if (!codec::copy_message_info(*declared, &copy, value->messageInfo())) {
    codec::free_message_info(*declared, copy);  // never a partial record
    return;
  }
  r->values[index] = copy;
}

std::optional<Array> NANOGetArray(const NANOMessageBase* message, std::int32_t index, const MessageDescriptor* type) {
  NANOMessageInfo* r = checked(message, index, "GetArray", is_repeated, "REPEATED");
  if (r == nullptr) return std::nullopt;
  auto* repeated = static_cast<const NANORepeatedField*>(r->values[index]);
  if (repeated == nullptr) {
    output::log(kRepeatedMissing);
    return std::nullopt;
  }
  Array out;
  if (repeated->items == nullptr) return out;
  out.reserve(repeated->count);
  const NANOFieldFlags f = r->flags[index];
  for (std::uint32_t i = 0; i < repeated->count; ++i) {
    const void* item = repeated->items[i];
    if (item == nullptr) {
      output::log("<ERROR> Unable to convert NULL data to an ObjC object");
      continue;
    }
    if (auto v = item_value(f, item, type)) out.push_back(std::move(*v));
  }
  return out;
}

namespace {

// Records are only taken when the whole array will go in: a failure part
// way must not leave earlier items without theirs.
bool all_go_in_as_is(const MessageDescriptor* declared, const Array& values) {
  if (declared == nullptr) return false;
  for (const Value& element : values) {
    auto object = declared->from_value(element);
    if (!object || object->messageID() != declared->name || !codec::copies_as_is(*declared, object->messageInfo()))
      return false;
  }
  return true;
}

void set_array(NANOMessageBase* message, std::int32_t index, const Array* values, bool take) {
  NANOMessageInfo* r = checked(message, index, "SetArray", is_repeated, "REPEATED");
  if (r == nullptr) return;
  auto* repeated = static_cast<NANORepeatedField*>(r->values[index]);
  if (repeated == nullptr) {
    output::log(kRepeatedMissing);
    return;
  }
  clear_field(message, r, index);
  if (!values || values->empty()) return;
  if (values->size() > std::numeric_limits<std::uint32_t>::max()) return;
  repeated->items = static_cast<void**>(std::calloc(values->size(), sizeof(void*)));
  if (repeated->items == nullptr) return;
  repeated->count = static_cast<std::uint32_t>(values->size());
  const NANOFieldFlags f = r->flags[index];
  const MessageDescriptor* declared = message->descriptor().fields[index].type;
  take = take && is_message_item(f) && all_go_in_as_is(declared, *values);
  for (std::size_t i = 0; i < values->size(); ++i) {
    if (!store_element(f, declared, (*values)[i], &repeated->items[i], take)) {
      clear_field(message, r, index);  // all or nothing
      return;
    }
  }
}

}  // namespace

void NANOSetArray(NANOMessageBase* message, std::int32_t index, const std::optional<Array>& values) {
  set_array(message, index, values ? &*values : nullptr, false);
}

void NANOSetArray(NANOMessageBase* message, std::int32_t index, Array&& values) {
  set_array(message, index, &values, true);
}

// ---- cells and records

bool NANOSetBoolValue(void** slot, bool value) {
  return slot != nullptr ? NANOSetUInt64Value(slot, value ? 1 : 0)
                         : (output::line("<ERROR> Unable to set bool. Destination pointer is NULL"), false);
}

bool NANOSetUInt32Value(void** slot, std::uint32_t value) {
  if (slot == nullptr) {
    output::line("<ERROR> Unable to set uint32. Destination pointer is NULL");
    return false;
  }
  std::uint64_t wide = value;
  if (*slot == nullptr) *slot = std::malloc(sizeof wide);
  if (*slot == nullptr) return false;
  std::memcpy(*slot, &wide, sizeof wide);
  return true;
}

bool NANOSetUInt64Value(void** slot, std::uint64_t value) {
  if (slot == nullptr) {
    output::line("<ERROR> Unable to set uint64. Destination pointer is NULL");
    return false;
  }
  if (*slot == nullptr) *slot = std::malloc(sizeof value);
  if (*slot == nullptr) return false;
  std::memcpy(*slot, &value, sizeof value);
  return true;
}

bool NANOSetFloatValue(void** slot, float value) {
  if (slot == nullptr) {
    output::line("<ERROR> Unable to set float. Destination pointer is NULL");
    return false;
  }
  if (*slot == nullptr) *slot = std::malloc(sizeof value);
  if (*slot == nullptr) return false;
  std::memcpy(*slot, &value, sizeof value);
  return true;
}

bool NANOSetDoubleValue(void** slot, double value) {
  if (slot == nullptr) {
    output::line("<ERROR> Unable to set double. Destination pointer is NULL");
    return false;
  }
  if (*slot == nullptr) *slot = std::malloc(sizeof value);
  if (*slot == nullptr) return false;
  std::memcpy(*slot, &value, sizeof value);
  return true;
}

bool NANOSetStringValue(void** slot, const std::uint8_t* bytes, std::uint32_t length) {
  if (slot == nullptr) {
    output::line("<ERROR> Unable to set string. Destination array is NULL");
    return false;
  }
  if (*slot == nullptr) *slot = std::calloc(1, sizeof(NANOByteString));
  auto* record = static_cast<NANOByteString*>(*slot);
  if (record == nullptr) return false;
  std::free(record->bytes);
  record->bytes = nullptr;
  record->length = 0;
  if (bytes == nullptr) length = 0;
  auto* buffer = static_cast<std::uint8_t*>(std::calloc(static_cast<std::size_t>(length) + 1, 1));
  if (buffer == nullptr) return false;
  if (length > 0) std::memcpy(buffer, bytes, length);
  record->bytes = buffer;
  record->length = length;
  return true;
}

bool NANOSetBytesValue(void** slot, const std::uint8_t* bytes, std::uint32_t length) {
  return NANOSetStringValue(slot, bytes, length);
}

void NANOFreeString(NANOByteString* record) {
  if (record == nullptr) {
    output::line("<ERROR> Unable to dealloc string field. String struct is NULL");
    return;
  }
  std::free(record->bytes);
  record->bytes = nullptr;
  record->length = 0;
}

void NANOFreeBytesArray(NANOByteString* record) {
  if (record == nullptr) {
    output::line("<ERROR> Unable to initialize the array. Array pointer is NULL");
    return;
  }
  NANOFreeString(record);
}

void NANOFreeBytesArray(NANORepeatedField* record) {
  if (record == nullptr) {
    output::line("<ERROR> Unable to initialize the array. Array pointer is NULL");
    return;
  }
  std::free(record->items);
  record->items = nullptr;
  record->count = 0;
  record->cursor = 0;
}

bool NANOStringToBytes(const Value* object, NANOByteString* record) {
  if (object == nullptr) return true;
  const std::string* s = object->string();
  if (s == nullptr || record == nullptr) return false;
  return fill_bytes(record, s->data(), s->size());
}

bool NANODataToBytes(const Value* object, NANOByteString* record) {
  if (object == nullptr) return true;
  const Bytes* d = object->data();
  if (d == nullptr || record == nullptr) return false;
  return fill_bytes(record, d->data(), d->size());
}

// ---- stream callbacks

namespace {

bool decode_string(pb_istream_t* stream, void** arg) {
  if (arg == nullptr || *arg == nullptr) return false;
  void** slot = static_cast<void**>(*arg);
  if (*slot != nullptr) {
    // Filled by an earlier occurrence or by the first pass: the first value stays.
    auto* existing = static_cast<NANOByteString*>(*slot);
    if (existing->bytes != nullptr) return pb_read(stream, nullptr, stream->bytes_left);
    output::line("<ERROR> String decoder failed: string data is NULL");
    return false;
  }
  auto* record = static_cast<NANOByteString*>(std::calloc(1, sizeof(NANOByteString)));
  if (record == nullptr) return false;
  *slot = record;
  return codec::read_string(stream, record);
}

}  // namespace

bool codec::read_string(pb_istream_t* stream, NANOByteString* record) {
  const std::size_t length = stream->bytes_left;
  if (length > kMaxFieldBytes) {
    output::raw(output::format("Unable to process proto stream. Buffer is too big. %zu > %d", length,
                               static_cast<int>(kMaxFieldBytes)));
    return false;
  }
  // NUL-terminated like a copy, so the decoded record can be handed over as is.
  auto* buffer = static_cast<std::uint8_t*>(std::malloc(length + 1));
  if (buffer == nullptr) return false;
  buffer[length] = 0;
  record->bytes = buffer;
  record->length = static_cast<std::uint32_t>(length);
  if (!pb_read(stream, buffer, length)) {
    std::free(buffer);
    record->bytes = nullptr;
    return false;
  }
  return true;
}

namespace {

bool decode_repeated_string(pb_istream_t* stream, void** arg) {
  if (arg == nullptr || *arg == nullptr) return false;
  auto* repeated = static_cast<NANORepeatedField*>(*arg);
  if (repeated->items != nullptr) {
    if (repeated->cursor >= repeated->count) return false;
    void** item = &repeated->items[repeated->cursor];
    ++repeated->cursor;
    void* slot_arg = item;
    return decode_string(stream, &slot_arg);
  }
  if (!pb_read(stream, nullptr, stream->bytes_left)) return false;
  ++repeated->count;
  return true;
}

bool encode_string(pb_ostream_t* stream, const pb_field_iter_t* field, void* const* arg) {
  if (arg == nullptr || *arg == nullptr) return false;
  auto* record = static_cast<const NANOByteString*>(*arg);
  if (record->bytes == nullptr) return false;
  return pb_encode_tag_for_field(stream, field) && pb_encode_string(stream, record->bytes, record->length);
}

bool encode_repeated_string(pb_ostream_t* stream, const pb_field_iter_t* field, void* const* arg) {
  if (arg == nullptr || *arg == nullptr) return false;
  auto* repeated = static_cast<const NANORepeatedField*>(*arg);
  if (repeated->items == nullptr) return false;
  for (std::uint32_t i = 0; i < repeated->count; ++i) {
    void* item = repeated->items[i];
    if (!encode_string(stream, field, &item)) return false;
  }
  return true;
}

}  // namespace

bool NANODecodeStringField(pb_istream_t* stream, const pb_field_iter_t*, void** arg) {
  return decode_string(stream, arg);
}
bool NANODecodeBytesField(pb_istream_t* stream, const pb_field_iter_t*, void** arg) {
  return decode_string(stream, arg);
}

bool NANODecodeRepeatedVarint(pb_istream_t* stream, const pb_field_iter_t*, void** arg) {
  if (arg == nullptr || *arg == nullptr) return false;
  auto* repeated = static_cast<NANORepeatedField*>(*arg);
  std::uint64_t value = 0;
  if (!pb_decode_varint(stream, &value)) return false;
  if (repeated->items != nullptr) {
    if (repeated->cursor >= repeated->count) return false;
    if (!NANOSetUInt64Value(&repeated->items[repeated->cursor], value)) return false;
    ++repeated->cursor;
  } else {
    ++repeated->count;
  }
  return true;
}

bool NANODecodeRepeatedString(pb_istream_t* stream, const pb_field_iter_t*, void** arg) {
  return decode_repeated_string(stream, arg);
}
bool NANODecodeRepeatedBytes(pb_istream_t* stream, const pb_field_iter_t*, void** arg) {
  return decode_repeated_string(stream, arg);
}

bool NANOEncodeStringField(pb_ostream_t* stream, const pb_field_iter_t* field, void* const* arg) {
  return encode_string(stream, field, arg);
}
bool NANOEncodeBytesField(pb_ostream_t* stream, const pb_field_iter_t* field, void* const* arg) {
  return encode_string(stream, field, arg);
}

bool NANOEncodeRepeatedVarint(pb_ostream_t* stream, const pb_field_iter_t* field, void* const* arg) {
  if (arg == nullptr || *arg == nullptr) return false;
  auto* repeated = static_cast<const NANORepeatedField*>(*arg);
  if (repeated->items == nullptr) return false;
  for (std::uint32_t i = 0; i < repeated->count; ++i) {
    const void* item = repeated->items[i];
    if (item == nullptr) return false;
    if (!pb_encode_tag_for_field(stream, field) || !pb_encode_varint(stream, cell64(item))) return false;
  }
  return true;
}

bool NANOEncodeRepeatedString(pb_ostream_t* stream, const pb_field_iter_t* field, void* const* arg) {
  return encode_repeated_string(stream, field, arg);
}
bool NANOEncodeRepeatedBytes(pb_ostream_t* stream, const pb_field_iter_t* field, void* const* arg) {
  return encode_repeated_string(stream, field, arg);
}

namespace {

// The output of an appending encode: `out` grows by doubling and holds
// `used` written bytes until the encode ends.
struct AppendSink {
  Bytes* out;
  std::size_t used;
};

bool nanoRuntimeAppend(pb_ostream_t* stream, const pb_byte_t* data, std::size_t count) {
  auto* sink = static_cast<AppendSink*>(stream->state);
  Bytes& out = *sink->out;
  if (out.size() - sink->used < count) out.resize(std::max(out.size() * 2, sink->used + count + 64));
  std::memcpy(out.data() + sink->used, data, count);
  sink->used += count;
  return true;
}

}  // namespace

std::int32_t NANOEncodeToBuffer(const pb_msgdesc_t* fields, const void* source, Bytes* out) {
  if (out == nullptr) return -1;
  pb_ostream_t sizing = PB_OSTREAM_SIZING;
  pb_encode(&sizing, fields, source);  // only the count matters
  const std::size_t size = sizing.bytes_written;
  if (size > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    Bytes().swap(*out);
    return -1;
  }
  Bytes buffer(size);  // the one allocation, exactly the encoded size
  pb_ostream_t stream = pb_ostream_from_buffer(buffer.data(), size);
  if (!pb_encode(&stream, fields, source)) {
    Bytes().swap(*out);
    return -1;
  }
  buffer.resize(stream.bytes_written);
  out->swap(buffer);
  return static_cast<std::int32_t>(stream.bytes_written);
}

bool NANOEncodeAppending(const pb_msgdesc_t* fields, const void* source, Bytes* out) {
  if (out == nullptr) return false;
  // Grows over the whole of `out` (its earlier bytes are dead) and is cut to
  // the written length at the end.
  if (out->size() < out->capacity()) out->resize(out->capacity());
  AppendSink sink{out, 0};
  pb_ostream_t stream{};
  stream.callback = nanoRuntimeAppend;
  stream.state = &sink;
  stream.max_size = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
  const bool ok = pb_encode(&stream, fields, source);
  out->resize(sink.used);
  return ok;
}

}  // namespace wire
