#pragma once
// Shared helpers for the wire tests: the message type list, hex bytes, and a
// generic filler and comparer that walk a message by its field table.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "wire/diagnostics/diagnostics.h"
#include "wire/measurement/measurement.h"

namespace wire::test {

inline const std::vector<const MessageDescriptor*>& all_messages() {
  static const std::vector<const MessageDescriptor*> all = {
      &measurement::kAudience, &measurement::kAudienceLeafFilterResult, &measurement::kDynamicFilterResultTimestamp,
      &measurement::kEvent, &measurement::kEventConfig, &measurement::kEventFilter, &measurement::kEventParam,
      &measurement::kFilter, &measurement::kMeasurementBatch, &measurement::kMeasurementBundle,
      &measurement::kMeasurementConfig, &measurement::kNumberFilter, &measurement::kPropertyFilter,
      &measurement::kResultData, &measurement::kSequenceFilterResultTimestamp, &measurement::kSetting,
      &measurement::kStringFilter, &measurement::kUserAttribute, &diagnostics::kClientInfo,
      &diagnostics::kIosClientInfo, &diagnostics::kLogEvent, &diagnostics::kLogRequest, &diagnostics::kErrorInfo,
      &diagnostics::kICoreConfiguration};
  return all;
}

inline Bytes hex(std::string_view text) {
  Bytes out;
  int nibble = -1;
  for (char c : text) {
    int v = (c >= '0' && c <= '9') ? c - '0' : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
    if (v < 0) continue;
    if (nibble < 0) {
      nibble = v;
    } else {
      out.push_back(static_cast<std::uint8_t>(nibble * 16 + v));
      nibble = -1;
    }
  }
  return out;
}

inline std::string to_hex(const Bytes& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i) out.push_back(' ');
    out.push_back(digits[bytes[i] >> 4]);
    out.push_back(digits[bytes[i] & 15]);
  }
  return out;
}

inline std::shared_ptr<NANOMessageBase> make(const MessageDescriptor& d) { return d.make(nullptr); }

// Decodes through the codec family as initWithBuffer: does, for any type.
inline std::shared_ptr<NANOMessageBase> decode_as(const MessageDescriptor& d, const Bytes& bytes) {
  NANOMessageInfo* record = detail::new_record_decoded(d, bytes);
  if (record == nullptr) return nullptr;
  auto object = d.make(record);
  codec::free_message_info(d, record);
  return object;
}

// Fills every field of a message with distinct values; sub-messages and
// repeated messages recurse down to `depth` levels.
inline void populate(NANOMessageBase& m, int depth, int seed = 0) {
  const MessageDescriptor& d = m.descriptor();
  NANOMessageInfo* r = m.messageInfo();
  for (std::int32_t i = 0; i < static_cast<std::int32_t>(d.field_count); ++i) {
    const NANOFieldFlags f = d.flags[i];
    const int k = seed * 100 + i + 1;
    switch (f) {
      case 0x22: NANOSetBool(&m, i, k % 2 == 1); break;
      case 0x42:
      case 0x82: NANOSetInt32(&m, i, k % 3 == 0 ? -k : k); break;
      case 0x202: NANOSetInt64(&m, i, (k % 2 ? -1 : 1) * (std::int64_t{k} << 33)); break;
      case 0x802: NANOSetFloatValue(&r->values[i], 0.5f + static_cast<float>(k)); break;
      case 0x1002: NANOSetDouble(&m, i, -0.25 - k); break;
      case 0x2002: NANOSetString(&m, i, "s" + std::to_string(k) + "\xC3\xA9"); break;
      case 0x8002: {
        Bytes b{0, 0xFF, static_cast<std::uint8_t>(k)};
        NANOSetBytes(&m, i, b);
        break;
      }
      case 0x4002: {
        if (depth <= 0) break;
        auto sub = make(*d.fields[i].type);
        populate(*sub, depth - 1, k);
        NANOSetMessage(&m, i, sub.get());
        break;
      }
      case 0x48:
      case 0x88: NANOSetArray(&m, i, Array{Value(-k), Value(k)}); break;
      case 0x208: NANOSetArray(&m, i, Array{Value(-k), Value(static_cast<long long>(std::int64_t{k} << 40))}); break;
      case 0x408: NANOSetArray(&m, i, Array{Value(-1), Value(k)}); break;
      case 0x2008: NANOSetArray(&m, i, Array{Value("e" + std::to_string(k)), Value("")}); break;
      case 0x8008: NANOSetArray(&m, i, Array{Value(Bytes{1, static_cast<std::uint8_t>(k)}), Value(Bytes{})}); break;
      case 0x4008: {
        if (depth <= 0) break;
        Array items;
        for (int n = 0; n < 2; ++n) {
          auto sub = make(*d.fields[i].type);
          populate(*sub, depth - 1, k + n);
          items.push_back(d.fields[i].type->to_value(sub));
        }
        NANOSetArray(&m, i, items);
        break;
      }
      default: ADD_FAILURE() << "unexpected flag word " << f;
    }
  }
}

inline std::shared_ptr<NANOMessageBase> object_of(const Value& v, const MessageDescriptor& d) { return d.from_value(v); }

// Every getter answers alike; singular floats and bytes are compared in the record.
inline void expect_same(const NANOMessageBase& a, const NANOMessageBase& b, const std::string& path = "") {
  const MessageDescriptor& d = a.descriptor();
  ASSERT_EQ(&d, &b.descriptor());
  for (std::int32_t i = 0; i < static_cast<std::int32_t>(d.field_count); ++i) {
    SCOPED_TRACE(path + d.name + "[" + std::to_string(i) + "]");
    const NANOFieldFlags f = d.flags[i];
    ASSERT_EQ(NANOHasField(&a, i), NANOHasField(&b, i));
    const void* va = a.messageInfo()->values[i];
    const void* vb = b.messageInfo()->values[i];
    switch (f) {
      case 0x22: EXPECT_EQ(NANOGetBool(&a, i), NANOGetBool(&b, i)); break;
      case 0x42:
      case 0x82: EXPECT_EQ(NANOGetInt32(&a, i), NANOGetInt32(&b, i)); break;
      case 0x202: EXPECT_EQ(NANOGetInt64(&a, i), NANOGetInt64(&b, i)); break;
      case 0x1002: EXPECT_EQ(NANOGetDouble(&a, i), NANOGetDouble(&b, i)); break;
      case 0x2002: EXPECT_EQ(NANOGetString(&a, i), NANOGetString(&b, i)); break;
      case 0x802:
        if (va != nullptr) {
          EXPECT_EQ(0, std::memcmp(va, vb, sizeof(float)));
        }
        break;
      case 0x8002:
        if (va != nullptr) {
          auto* sa = static_cast<const NANOByteString*>(va);
          auto* sb = static_cast<const NANOByteString*>(vb);
          ASSERT_EQ(sa->length, sb->length);
          EXPECT_EQ(0, std::memcmp(sa->bytes, sb->bytes, sa->length));
        }
        break;
      case 0x4002: {
        auto ma = NANOGetMessage(&a, i, d.fields[i].type);
        auto mb = NANOGetMessage(&b, i, d.fields[i].type);
        ASSERT_EQ(ma == nullptr, mb == nullptr);
        if (ma) expect_same(*ma, *mb, path + d.name + "." + std::to_string(i) + "/");
        break;
      }
      case 0x4008: {
        auto xa = NANOGetArray(&a, i, d.fields[i].type);
        auto xb = NANOGetArray(&b, i, d.fields[i].type);
        ASSERT_TRUE(xa && xb);
        ASSERT_EQ(xa->size(), xb->size());
        for (std::size_t n = 0; n < xa->size(); ++n) {
          auto ea = object_of((*xa)[n], *d.fields[i].type);
          auto eb = object_of((*xb)[n], *d.fields[i].type);
          ASSERT_TRUE(ea && eb);
          expect_same(*ea, *eb, path + d.name + "." + std::to_string(i) + "[" + std::to_string(n) + "]/");
        }
        break;
      }
      default: EXPECT_EQ(NANOGetArray(&a, i, nullptr), NANOGetArray(&b, i, nullptr)); break;
    }
  }
}

}  // namespace wire::test
