#include "wire/runtime/codec.h"

#include <cstdlib>
#include <cstring>

#include "wire/runtime/message.h"
#include "wire/runtime/output.h"

namespace wire::codec {

namespace {

constexpr std::size_t kElementStackBytes = 4096;

bool repeated(NANOFieldFlags f) { return (f & flag::repeated) != 0; }
bool message_kind(NANOFieldFlags f) { return (f & flag::message) != 0; }
bool byte_kind(NANOFieldFlags f) { return (f & (flag::string | flag::bytes)) != 0; }
bool callback_kind(NANOFieldFlags f) { return repeated(f) || byte_kind(f); }

// The values array is followed, in the same allocation, by one cell per
// field: a record's scalars and string records live there rather than in
// allocations of their own. Cells put in slots by the public cell routines
// stay separate allocations; the address tells the two apart.
struct alignas(8) FieldCell {
  unsigned char bytes[16];
};
static_assert(sizeof(NANOByteString) <= sizeof(FieldCell) && sizeof(std::uint64_t) <= sizeof(FieldCell));

std::size_t slot_table_bytes(const MessageDescriptor& d) {
  return d.field_count * (sizeof(void*) + sizeof(FieldCell));
}

FieldCell* cells_of(const MessageDescriptor& d, const NANOMessageInfo* record) {
  return reinterpret_cast<FieldCell*>(record->values + d.field_count);
}

// A record made by new_record holds its slot table right behind itself. An
// allocation of its own never starts there: the record's allocation ends
// there and every allocator keeps distinct blocks apart.
void** inline_values(NANOMessageInfo* record) { return reinterpret_cast<void**>(record + 1); }

// Fills a record whose slot table is `values`; false (nothing to undo beyond
// the repeated records already made) when an allocation fails.
bool fill_record(const MessageDescriptor& d, NANOMessageInfo* record, void** values) {
  record->name = d.name;
  record->values = values;
  for (std::uint32_t i = 0; i < d.field_count; ++i) {
    if (!repeated(d.fields[i].flags)) continue;
    record->values[i] = std::calloc(1, sizeof(NANORepeatedField));
    if (record->values[i] == nullptr) return false;
  }
  record->flags = d.flags;
  return true;
}

// A nanopb structure on the stack, zeroed up to the message's size.
struct Scratch {
  alignas(std::max_align_t) unsigned char bytes[kMaxPbStructSize];
  explicit Scratch(const MessageDescriptor& d) { std::memset(bytes, 0, d.pb_size); }
};

// Structure members by field index, from the type's layout.
class Members {
 public:
  Members(const MessageDescriptor& d, const void* pb_struct)
      : layout_(d.layout()), base_(static_cast<unsigned char*>(const_cast<void*>(pb_struct))) {}
  void* data(std::uint32_t index) const { return layout_[index].data < 0 ? nullptr : base_ + layout_[index].data; }
  bool* has(std::uint32_t index) const {
    return layout_[index].has < 0 ? nullptr : reinterpret_cast<bool*>(base_ + layout_[index].has);
  }

 private:
  const MemberLayout* layout_;
  unsigned char* base_;
};

// Static scalar value of a structure member into a record slot.
void store_static(NANOFieldFlags f, const void* data, void** slot) {
  if (f & flag::boolean) {
    NANOSetUInt32Value(slot, *static_cast<const bool*>(data) ? 1 : 0);
  } else if (f & (flag::enumeration | flag::int32 | flag::uint32)) {
    std::uint32_t v;
    std::memcpy(&v, data, sizeof v);
    NANOSetUInt32Value(slot, v);
  } else if (f & (flag::int64 | flag::uint64)) {
    std::uint64_t v;
    std::memcpy(&v, data, sizeof v);
    NANOSetUInt64Value(slot, v);
  } else if (f & flag::float32) {
    float v;
    std::memcpy(&v, data, sizeof v);
    NANOSetFloatValue(slot, v);
  } else if (f & flag::float64) {
    double v;
    std::memcpy(&v, data, sizeof v);
    NANOSetDoubleValue(slot, v);
  }
}

// A record cell into a static structure member.
void load_static(NANOFieldFlags f, const void* cell, void* data) {
  if (f & flag::boolean) {
    *static_cast<bool*>(data) = static_cast<const std::uint8_t*>(cell)[0] != 0;
  } else if (f & (flag::enumeration | flag::int32 | flag::uint32 | flag::float32)) {
    std::memcpy(data, cell, 4);
  } else if (f & (flag::int64 | flag::uint64 | flag::float64)) {
    std::memcpy(data, cell, 8);
  }
}

// Copies one cell by the field's kind; 32-bit integers keep their low 32 bits.
bool copy_cell(NANOFieldFlags f, const void* cell, void** slot) {
  if (f & flag::boolean) return NANOSetUInt32Value(slot, static_cast<const std::uint8_t*>(cell)[0] != 0 ? 1 : 0);
  if (f & (flag::enumeration | flag::int32 | flag::uint32)) {
    std::uint32_t v;
    std::memcpy(&v, cell, sizeof v);
    return NANOSetUInt32Value(slot, v);
  }
  if (f & (flag::int64 | flag::uint64)) {
    std::uint64_t v;
    std::memcpy(&v, cell, sizeof v);
    return NANOSetUInt64Value(slot, v);
  }
  if (f & flag::float32) {
    float v;
    std::memcpy(&v, cell, sizeof v);
    return NANOSetFloatValue(slot, v);
  }
  if (f & flag::float64) {
    double v;
    std::memcpy(&v, cell, sizeof v);
    return NANOSetDoubleValue(slot, v);
  }
  return false;
}

bool copy_string(const void* source, void** slot) {
  auto* s = static_cast<const NANOByteString*>(source);
  return NANOSetStringValue(slot, s->bytes, s->bytes != nullptr ? s->length : 0);
}

// One allocation for the record, its slot table and its cells.
NANOMessageInfo* new_record(const MessageDescriptor& d) {
  auto* record = static_cast<NANOMessageInfo*>(std::calloc(1, sizeof(NANOMessageInfo) + slot_table_bytes(d)));
  if (record != nullptr && !fill_record(d, record, inline_values(record))) {
    free_message_info(d, record);
    return nullptr;
  }
  return record;
}

// Brings a decoded record to the state a deep copy of it would have: list
// cursors at 0 and repeated integer items cut as copy_cell cuts them. False
// where the copy would fail (a missing item).
bool settle_decoded(const MessageDescriptor& d, NANOMessageInfo* record) {
  if (record->values == nullptr) return true;
  for (std::uint32_t i = 0; i < d.field_count; ++i) {
    const FieldSpec& field = d.fields[i];
    void* value = record->values[i];
    if (value == nullptr) continue;
    if (repeated(field.flags)) {
      auto* list = static_cast<NANORepeatedField*>(value);
      list->cursor = 0;
      if (list->count == 0) continue;
      if (list->items == nullptr) return false;
      const bool narrow = (field.flags & (flag::boolean | flag::enumeration | flag::int32 | flag::uint32)) != 0;
      for (std::uint32_t k = 0; k < list->count; ++k) {
        void* item = list->items[k];
        if (item == nullptr) return false;
        if (message_kind(field.flags)) {
          if (!settle_decoded(*field.type, static_cast<NANOMessageInfo*>(item))) return false;
        } else if (!byte_kind(field.flags) && narrow) {
          auto* cell = static_cast<std::uint8_t*>(item);
          std::uint64_t wide;
          if (field.flags & flag::boolean) {
            wide = cell[0] != 0 ? 1 : 0;
          } else {
            std::uint32_t v;
            std::memcpy(&v, cell, sizeof v);
            wide = v;
          }
          std::memcpy(cell, &wide, sizeof wide);
        }
      }
    } else if (message_kind(field.flags)) {
      if (!settle_decoded(*field.type, static_cast<NANOMessageInfo*>(value))) return false;
    }
  }
  return true;
}

// A string or bytes slot the decoder has pointed at the record's own cell
// before the field was met: no bytes and a length no record ever has.
constexpr std::uint32_t kUnmetLength = 0xFFFFFFFFu;

bool unmet(const void* cell) {
  auto* s = static_cast<const NANOByteString*>(cell);
  return s->bytes == nullptr && s->length == kUnmetLength;
}

// Decodes a string or bytes field into the slot's record; a slot still
// unmet becomes an empty record first, as a fresh one would be.
bool decode_own_string(pb_istream_t* stream, const pb_field_iter_t* field, void** arg) {
  if (arg != nullptr && *arg != nullptr) {
    void** slot = static_cast<void**>(*arg);
    if (*slot != nullptr && unmet(*slot)) {
      auto* record = static_cast<NANOByteString*>(*slot);
      record->length = 0;
      return read_string(stream, record);
    }
  }
  return NANODecodeStringField(stream, field, arg);
}

// Empties the slots whose field never came, here and in the sub-records
// decoded along with this one.
void drop_unmet(const MessageDescriptor& d, NANOMessageInfo* record) {
  if (record == nullptr || record->values == nullptr) return;
  for (std::uint32_t i = 0; i < d.field_count; ++i) {
    const FieldSpec& field = d.fields[i];
    void*& slot = record->values[i];
    if (slot == nullptr || repeated(field.flags)) continue;
    if (byte_kind(field.flags)) {
      if (unmet(slot)) slot = nullptr;
    } else if (message_kind(field.flags)) {
      drop_unmet(*field.type, static_cast<NANOMessageInfo*>(slot));
    }
  }
}

}  // namespace

void find_members(const MessageDescriptor& d, MemberLayout* out) {
  if (d.pb == nullptr) return;
  Scratch s(d);
  pb_field_iter_t it;
  if (!pb_field_iter_begin(&it, d.pb, s.bytes)) return;
  for (std::uint32_t i = 0; i < d.field_count; ++i) {
    if (!pb_field_iter_find(&it, static_cast<pb_size_t>(d.fields[i].tag))) continue;
    out[i].data = static_cast<std::int32_t>(static_cast<unsigned char*>(it.pData) - s.bytes);
    if (PB_ATYPE(it.type) == PB_ATYPE_STATIC && it.pSize != nullptr)
      out[i].has = static_cast<std::int32_t>(static_cast<unsigned char*>(it.pSize) - s.bytes);
  }
}

bool decode(const MessageDescriptor& d, const std::uint8_t* bytes, std::size_t length, NANOMessageInfo* record) {
  if (record == nullptr) {
    output::line(output::format("<ERROR> %s decoder failed: message_info is NULL", d.name));
    return false;
  }
  Scratch s(d);
  if (!set_decoders(d, record, s.bytes)) {
    drop_unmet(d, record);
    output::line(output::format("<ERROR> %s decoder failed: Unable to set decoders", d.name));
    return false;
  }
  pb_istream_t stream = pb_istream_from_buffer(bytes, length);
  bool ok = pb_decode(&stream, d.pb, s.bytes);
  if (ok && d.passes == 2) {
    // The first pass only counted the repeated fields.
    if (!allocate_arrays(d, record)) {
      drop_unmet(d, record);
      output::line(output::format("<ERROR> %s decoder failed: Unable to allocate arrays", d.name));
      return false;
    }
    stream = pb_istream_from_buffer(bytes, length);
    ok = pb_decode(&stream, d.pb, s.bytes);
  }
  drop_unmet(d, record);
  if (!ok) {
    output::printf("<ERROR> %s decoder failed: %s\n", d.name, PB_GET_ERROR(&stream));
    return false;
  }
  copy_statics(d, s.bytes, record);
  return true;
}

bool set_decoders(const MessageDescriptor& d, NANOMessageInfo* record, void* pb_struct) {
  if (record == nullptr || pb_struct == nullptr || record->values == nullptr) return false;
  Members members(d, pb_struct);
  for (std::uint32_t i = 0; i < d.field_count; ++i) {
    const FieldSpec& field = d.fields[i];
    if (!callback_kind(field.flags) && !message_kind(field.flags)) continue;
    void* member = members.data(i);
    if (member == nullptr) return false;
    if (repeated(field.flags)) {
      auto* list = static_cast<NANORepeatedField*>(record->values[i]);
      NANOFreeBytesArray(list);
      auto* callback = static_cast<pb_callback_t*>(member);
      if (message_kind(field.flags))
        callback->funcs.decode = field.type->element_decode;
      else if (field.flags & flag::bytes)
        callback->funcs.decode = NANODecodeRepeatedBytes;
      else if (field.flags & flag::string)
        callback->funcs.decode = NANODecodeRepeatedString;
      else
        callback->funcs.decode = NANODecodeRepeatedVarint;
      callback->arg = list;
    } else if (byte_kind(field.flags)) {
      auto* callback = static_cast<pb_callback_t*>(member);
      if (record->values[i] == nullptr) {
        auto* cell = static_cast<NANOByteString*>(*field_slot(d, record, i));
        cell->length = kUnmetLength;
      }
      callback->funcs.decode = decode_own_string;
      callback->arg = &record->values[i];
    } else {
      // A fresh sub-record takes the nested structure's callbacks.
      dealloc_message_field(d, record, static_cast<std::int32_t>(i));
      NANOMessageInfo* sub = new_record(*field.type);
      record->values[i] = sub;
      if (sub == nullptr || !set_decoders(*field.type, sub, member)) return false;
    }
  }
  return true;
}

void copy_statics(const MessageDescriptor& d, const void* pb_struct, NANOMessageInfo* record) {
  Members members(d, pb_struct);
  for (std::uint32_t i = 0; i < d.field_count; ++i) {
    const FieldSpec& field = d.fields[i];
    if (callback_kind(field.flags)) continue;
    void* member = members.data(i);
    const bool* has = members.has(i);
    if (member == nullptr || has == nullptr) continue;
    const bool present = *has;
    if (message_kind(field.flags)) {
      auto* sub = static_cast<NANOMessageInfo*>(record->values[i]);
      if (present) {
        if (sub != nullptr) copy_statics(*field.type, member, sub);
      } else {
        free_message_info(*field.type, sub);  // an absent sub-message stays absent
        record->values[i] = nullptr;
      }
    } else if (present) {
      store_static(field.flags, member, field_slot(d, record, i));
    }
  }
}

bool decode_element(const MessageDescriptor& d, pb_istream_t* stream, void** arg) {
  if (arg == nullptr || *arg == nullptr) {
    output::line(output::format("<ERROR> %s decoder failed: Invalid arg parameter", d.name));
    return false;
  }
  auto* list = static_cast<NANORepeatedField*>(*arg);
  if (list->items == nullptr) {
    if (!pb_read(stream, nullptr, stream->bytes_left)) {
      output::printf("<ERROR> %s decoder failed: %s\n", d.name, PB_GET_ERROR(stream));
      return false;
    }
    ++list->count;
    return true;
  }
  if (list->cursor >= list->count) return false;  // never write past the counted array
  const std::size_t length = stream->bytes_left;
  // The element's bytes: read in place from a memory stream, else copied
  // (on the stack when small).
  static const auto memory_reader = pb_istream_from_buffer(nullptr, 0).callback;
  std::uint8_t small[kElementStackBytes];
  std::uint8_t* heap = nullptr;
  const std::uint8_t* buffer = nullptr;
  if (stream->callback == memory_reader && stream->state != nullptr) {
    buffer = static_cast<const std::uint8_t*>(stream->state);
    if (!pb_read(stream, nullptr, length)) buffer = nullptr;
  } else {
    heap = length > sizeof small ? static_cast<std::uint8_t*>(std::malloc(length)) : nullptr;
    std::uint8_t* copy = length > sizeof small ? heap : small;
    if (copy != nullptr && pb_read(stream, copy, length)) buffer = copy;
  }
  if (buffer == nullptr) {
    output::line(output::format("<ERROR> %s decoder failed: Unable to extract buffer from stream", d.name));
    std::free(heap);
    return false;
  }
  void** slot = &list->items[list->cursor];
  NANOMessageInfo* element = new_record(d);
  if (element == nullptr) {
    output::line(output::format("<ERROR> %s decoder failed: Unable to initialize MessageInfo", d.name));
    std::free(heap);
    return false;
  }
  *slot = element;
  if (!decode(d, buffer, length, element)) {
    output::line(output::format("<ERROR> %s decoder failed: Unable to decode repeated %s", d.name, d.name));
    std::free(heap);
    return false;
  }
  ++list->cursor;
  std::free(heap);
  return true;
}

bool set_encoders(const MessageDescriptor& d, const NANOMessageInfo* record, void* pb_struct) {
  if (record == nullptr || pb_struct == nullptr || record->values == nullptr) return false;
  Members members(d, pb_struct);
  for (std::uint32_t i = 0; i < d.field_count; ++i) {
    const FieldSpec& field = d.fields[i];
    void* value = record->values[i];
    if (repeated(field.flags)) {
      if (value == nullptr) {
        output::line(output::format("<ERROR> %s Encoder: '%s' should have been allocated", d.name, field.name));
        return false;
      }
      auto* list = static_cast<NANORepeatedField*>(value);
      if (list->count == 0) continue;
      void* member = members.data(i);
      if (member == nullptr) return false;
      auto* callback = static_cast<pb_callback_t*>(member);
      if (message_kind(field.flags))
        callback->funcs.encode = field.type->element_encode;
      else if (field.flags & flag::bytes)
        callback->funcs.encode = NANOEncodeRepeatedBytes;
      else if (field.flags & flag::string)
        callback->funcs.encode = NANOEncodeRepeatedString;
      else
        callback->funcs.encode = NANOEncodeRepeatedVarint;
      callback->arg = list;
      continue;
    }
    if (value == nullptr) continue;
    void* member = members.data(i);
    if (member == nullptr) return false;
    if (byte_kind(field.flags)) {
      auto* callback = static_cast<pb_callback_t*>(member);
      callback->funcs.encode = (field.flags & flag::bytes) ? NANOEncodeBytesField : NANOEncodeStringField;
      callback->arg = value;
    } else {
      bool* has = members.has(i);
      if (has == nullptr) return false;
      *has = true;
      if (message_kind(field.flags)) {
        if (!set_encoders(*field.type, static_cast<const NANOMessageInfo*>(value), member)) return false;
      } else {
        load_static(field.flags, value, member);
      }
    }
  }
  return true;
}

std::int32_t encode_to_buffer(const MessageDescriptor& d, const NANOMessageInfo* record, Bytes* out) {
  if (out == nullptr) return -1;
  Scratch s(d);
  if (!set_encoders(d, record, s.bytes)) return -1;
  // One encoding pass into a growing buffer, cut to size after.
  Bytes buffer;
  if (NANOEncodeAppending(d.pb, s.bytes, &buffer)) {
    buffer.shrink_to_fit();
    out->swap(buffer);
    return static_cast<std::int32_t>(out->size());
  }
  // A failed encode says why once more, as a sizing pass followed by the
  // writing pass would.
  pb_ostream_t sizing = PB_OSTREAM_SIZING;
  pb_encode(&sizing, d.pb, s.bytes);
  Bytes().swap(*out);
  return -1;
}

bool encode_element(const MessageDescriptor& d, pb_ostream_t* stream, const pb_field_iter_t* field, void* const* arg) {
  if (arg == nullptr || *arg == nullptr) return false;
  auto* list = static_cast<const NANORepeatedField*>(*arg);
  if (list->count > 0 && list->items == nullptr) return false;
  // Each element is encoded once into a buffer and written as bytes: the
  // submessage path would encode it twice (size, then data), and again at
  // every level below.
  Bytes encoded;
  for (std::uint32_t i = 0; i < list->count; ++i) {
    Scratch s(d);
    if (!set_encoders(d, static_cast<const NANOMessageInfo*>(list->items[i]), s.bytes)) return false;
    if (!NANOEncodeAppending(d.pb, s.bytes, &encoded)) return false;
    if (!pb_encode_tag_for_field(stream, field)) return false;
    if (!pb_encode_string(stream, encoded.data(), encoded.size())) return false;
  }
  return true;
}

bool init_message_info(const MessageDescriptor& d, NANOMessageInfo* record) {
  if (record == nullptr) return false;
  record->name = d.name;
  auto* values = static_cast<void**>(std::calloc(1, slot_table_bytes(d) == 0 ? 1 : slot_table_bytes(d)));
  if (values == nullptr) {
    record->values = nullptr;
    return false;
  }
  return fill_record(d, record, values);
}

void** field_slot(const MessageDescriptor& d, NANOMessageInfo* record, std::uint32_t index) {
  void** slot = &record->values[index];
  if (*slot == nullptr) {
    FieldCell* cell = &cells_of(d, record)[index];
    std::memset(cell, 0, sizeof *cell);
    *slot = cell;
  }
  return slot;
}

bool is_own_cell(const MessageDescriptor& d, const NANOMessageInfo* record, const void* cell) {
  auto at = reinterpret_cast<std::uintptr_t>(cell);
  auto first = reinterpret_cast<std::uintptr_t>(cells_of(d, record));
  return at >= first && at < first + d.field_count * sizeof(FieldCell);
}

bool has_arrays(const MessageDescriptor& d) { return d.passes == 2; }

bool allocate_arrays(const MessageDescriptor& d, NANOMessageInfo* record) {
  if (record == nullptr || record->values == nullptr) return false;
  for (std::uint32_t i = 0; i < d.field_count; ++i) {
    const FieldSpec& field = d.fields[i];
    if (!repeated(field.flags)) continue;
    auto* list = static_cast<NANORepeatedField*>(record->values[i]);
    if (list == nullptr) {
      output::line(output::format("<ERROR> Cannot allocate %s arrays. Missing params field (%s)", d.name, field.name));
      return false;
    }
    if (list->count > 0) {
      std::free(list->items);
      list->items = static_cast<void**>(std::calloc(list->count, sizeof(void*)));
      if (list->items == nullptr) {
        list->count = 0;
        return false;
      }
    }
    list->cursor = 0;
  }
  for (std::uint32_t i = 0; i < d.field_count; ++i) {
    const FieldSpec& field = d.fields[i];
    if (repeated(field.flags) || !message_kind(field.flags) || !has_arrays(*field.type)) continue;
    if (record->values[i] != nullptr)
      allocate_arrays(*field.type, static_cast<NANOMessageInfo*>(record->values[i]));
  }
  return true;
}

bool dealloc_message_field(const MessageDescriptor& d, NANOMessageInfo* record, std::int32_t index) {
  if (record == nullptr) return false;
  if (index < 0 || static_cast<std::uint32_t>(index) >= d.field_count) {
    output::printf("<ERROR> %s: Cannot deallocate field %d: Unknown field\n", d.name, index);
    return false;
  }
  if (record->values == nullptr) return true;
  const FieldSpec& field = d.fields[index];
  void*& slot = record->values[index];
  if (repeated(field.flags)) {
    auto* list = static_cast<NANORepeatedField*>(slot);
    if (list == nullptr) return true;
    if (list->items != nullptr) {
      for (std::uint32_t i = 0; i < list->count; ++i) {
        void* item = list->items[i];
        if (item == nullptr) continue;
        if (message_kind(field.flags)) {
          free_message_info(*field.type, static_cast<NANOMessageInfo*>(item));
        } else {
          if (byte_kind(field.flags)) NANOFreeString(static_cast<NANOByteString*>(item));
          std::free(item);
        }
      }
    }
    NANOFreeBytesArray(list);
    return true;
  }
  if (slot == nullptr) return true;
  if (message_kind(field.flags)) {
    free_message_info(*field.type, static_cast<NANOMessageInfo*>(slot));
  } else {
    if (byte_kind(field.flags)) NANOFreeString(static_cast<NANOByteString*>(slot));
    if (!is_own_cell(d, record, slot)) std::free(slot);
  }
  slot = nullptr;
  return true;
}

bool free_message_info(const MessageDescriptor& d, NANOMessageInfo* record) {
  if (record == nullptr) return false;
  if (record->values != nullptr) {
    for (std::uint32_t i = 0; i < d.field_count; ++i) {
      if (!dealloc_message_field(d, record, static_cast<std::int32_t>(i))) return false;
      if (repeated(d.fields[i].flags)) {
        std::free(record->values[i]);
        record->values[i] = nullptr;
      }
    }
  }
  if (record->values != inline_values(record)) std::free(record->values);
  std::free(record);
  return true;
}

namespace {

// A cell as copy_cell would write it.
bool cell_as_copied(NANOFieldFlags f, const void* cell) {
  if ((f & (flag::boolean | flag::enumeration | flag::int32 | flag::uint32)) == 0) return true;
  std::uint64_t wide;
  std::memcpy(&wide, cell, sizeof wide);
  return (f & flag::boolean) ? wide <= 1 : (wide >> 32) == 0;
}

bool item_as_copied(const FieldSpec& field, const void* item) {
  if (item == nullptr) return false;
  if (message_kind(field.flags)) return copies_as_is(*field.type, static_cast<const NANOMessageInfo*>(item));
  if (byte_kind(field.flags)) return static_cast<const NANOByteString*>(item)->bytes != nullptr;
  return cell_as_copied(field.flags, item);
}

}  // namespace

bool copies_as_is(const MessageDescriptor& d, const NANOMessageInfo* record) {
  if (record == nullptr || record->values == nullptr || record->name != d.name || record->flags != d.flags)
    return false;
  for (std::uint32_t i = 0; i < d.field_count; ++i) {
    const FieldSpec& field = d.fields[i];
    const void* value = record->values[i];
    if (!repeated(field.flags)) {
      if (value != nullptr && !item_as_copied(field, value)) return false;
      continue;
    }
    auto* list = static_cast<const NANORepeatedField*>(value);
    if (list == nullptr || list->cursor != 0 || (list->items == nullptr) != (list->count == 0)) return false;
    for (std::uint32_t k = 0; k < list->count; ++k) {
      if (!item_as_copied(field, list->items[k])) return false;
    }
  }
  return true;
}

bool copy_message_info(const MessageDescriptor& d, NANOMessageInfo** destination, const NANOMessageInfo* source) {
  if (destination == nullptr || source == nullptr) return false;
  if (*destination != nullptr) {
    free_message_info(d, *destination);
    *destination = nullptr;
  }
  NANOMessageInfo* record = new_record(d);
  *destination = record;
  if (record == nullptr) return false;
  if (source->values == nullptr) return true;
  for (std::uint32_t i = 0; i < d.field_count; ++i) {
    const FieldSpec& field = d.fields[i];
    const void* value = source->values[i];
    if (value == nullptr) continue;
    if (repeated(field.flags)) {
      auto* from = static_cast<const NANORepeatedField*>(value);
      if (from->count == 0) continue;
      auto* to = static_cast<NANORepeatedField*>(record->values[i]);
      to->items = static_cast<void**>(std::calloc(from->count, sizeof(void*)));
      if (to->items == nullptr) return false;
      to->count = from->count;
      for (std::uint32_t k = 0; k < from->count; ++k) {
        const void* item = from->items != nullptr ? from->items[k] : nullptr;
        if (item == nullptr) return false;
        bool copied;
        if (message_kind(field.flags))
          copied = copy_message_info(*field.type, reinterpret_cast<NANOMessageInfo**>(&to->items[k]),
                                     static_cast<const NANOMessageInfo*>(item));
        else if (byte_kind(field.flags))
          copied = copy_string(item, &to->items[k]);
        else
          copied = copy_cell(field.flags, item, &to->items[k]);
        if (!copied) return false;
      }
    } else if (message_kind(field.flags)) {
      if (!copy_message_info(*field.type, reinterpret_cast<NANOMessageInfo**>(&record->values[i]),
                             static_cast<const NANOMessageInfo*>(value)))
        return false;
    } else if (byte_kind(field.flags)) {
      if (!copy_string(value, field_slot(d, record, i))) return false;
    } else {
      if (!copy_cell(field.flags, value, field_slot(d, record, i))) return false;
    }
  }
  return true;
}

}  // namespace wire::codec

namespace wire::detail {

NANOMessageInfo* new_record_copy(const MessageDescriptor& d, const NANOMessageInfo* source) {
  if (source == nullptr) return codec::new_record(d);
  if (source->name != d.name) return nullptr;  // the type tag is the pointer
  NANOMessageInfo* record = nullptr;
  if (!codec::copy_message_info(d, &record, source)) {
    codec::free_message_info(d, record);
    return nullptr;
  }
  return record;
}

NANOMessageInfo* new_record_decoded(const MessageDescriptor& d, std::span<const std::uint8_t> data) {
  NANOMessageInfo* record = codec::new_record(d);
  if (record == nullptr) return nullptr;
  if (!codec::decode(d, data.data(), data.size(), record) || !codec::settle_decoded(d, record)) {
    codec::free_message_info(d, record);
    return nullptr;
  }
  return record;
}

NANOMessageInfo* take_record(NANOMessageBase& message) { return message.releaseMessageInfo(); }

void release_record(const MessageDescriptor& d, NANOMessageInfo* record) {
  if (record != nullptr) codec::free_message_info(d, record);
}

std::optional<Bytes> encode_record(const MessageDescriptor& d, const NANOMessageInfo* record) {
  if (record == nullptr) return std::nullopt;
  Bytes out;
  if (codec::encode_to_buffer(d, record, &out) < 0) return std::nullopt;
  return out;
}

}  // namespace wire::detail
