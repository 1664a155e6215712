// The hand-written field tables against nanopb's generated descriptors.

#include <set>

#include "tests/wire/wire_test_support.h"

namespace wire {
namespace {

bool has_repeated_beneath(const MessageDescriptor& d) {
  for (std::uint32_t i = 0; i < d.field_count; ++i) {
    if (d.flags[i] & flag::repeated) return true;
    if ((d.flags[i] & flag::message) && has_repeated_beneath(*d.fields[i].type)) return true;
  }
  return false;
}

// The nanopb field type each flag word must have on the wire.
pb_type_t expected_ltype(const MessageDescriptor& d, std::uint32_t index) {
  const NANOFieldFlags f = d.flags[index];
  if (&d == &diagnostics::kLogEvent && index == 12) return PB_LTYPE_SVARINT;
  if (&d == &diagnostics::kLogRequest && index == 3) return PB_LTYPE_VARINT;
  if (f & flag::boolean) return PB_LTYPE_BOOL;
  if (f & (flag::int32 | flag::int64)) return PB_LTYPE_VARINT;
  if (f & (flag::enumeration | flag::uint32 | flag::uint64)) return PB_LTYPE_UVARINT;
  if (f & flag::float32) return PB_LTYPE_FIXED32;
  if (f & flag::float64) return PB_LTYPE_FIXED64;
  if (f & flag::string) return PB_LTYPE_STRING;
  if (f & flag::bytes) return PB_LTYPE_BYTES;
  return PB_LTYPE_SUBMESSAGE;
}

TEST(WireDescriptors, TablesMatchGeneratedDescriptors) {
  ASSERT_EQ(test::all_messages().size(), 24u);
  for (const MessageDescriptor* d : test::all_messages()) {
    SCOPED_TRACE(d->name);
    alignas(std::max_align_t) unsigned char scratch[kMaxPbStructSize] = {};
    pb_field_iter_t it;
    ASSERT_TRUE(pb_field_iter_begin(&it, d->pb, scratch));
    std::set<std::uint32_t> seen;
    do {
      if (PB_LTYPE(it.type) == PB_LTYPE_EXTENSION) {
        EXPECT_EQ(it.tag, 1000u);
        continue;
      }
      std::uint32_t index = d->field_count;
      for (std::uint32_t i = 0; i < d->field_count; ++i)
        if (d->fields[i].tag == it.tag) {
          EXPECT_EQ(index, d->field_count) << "tag " << it.tag << " bound twice";
          index = i;
        }
      ASSERT_LT(index, d->field_count) << "nanopb tag " << it.tag << " missing from the table";
      seen.insert(index);
      const NANOFieldFlags f = d->flags[index];
      SCOPED_TRACE("index " + std::to_string(index));
      EXPECT_EQ((f & flag::repeated) != 0, PB_HTYPE(it.type) == PB_HTYPE_REPEATED);
      EXPECT_EQ((f & flag::singular) != 0, PB_HTYPE(it.type) == PB_HTYPE_OPTIONAL);
      const bool callback = (f & (flag::repeated | flag::string | flag::bytes)) != 0;
      EXPECT_EQ(PB_ATYPE(it.type), callback ? PB_ATYPE_CALLBACK : PB_ATYPE_STATIC);
      EXPECT_EQ(PB_LTYPE(it.type), expected_ltype(*d, index));
      if (f & flag::message) {
        ASSERT_NE(d->fields[index].type, nullptr);
        EXPECT_EQ(it.submsg_desc, d->fields[index].type->pb);
      } else {
        EXPECT_EQ(d->fields[index].type, nullptr);
      }
      if (f & flag::repeated) {
        EXPECT_NE(d->fields[index].name, nullptr);
      }
      if (!callback) {
        EXPECT_NE(it.pSize, nullptr);  // has-flag
      }
    } while (pb_field_iter_next(&it));
    EXPECT_EQ(seen.size(), d->field_count) << "table fields without a nanopb field";
    EXPECT_EQ(d->passes, has_repeated_beneath(*d) ? 2u : 1u);
    // Every field found in the structure; has-flags exactly for static members.
    const MemberLayout* layout = d->layout();
    for (std::uint32_t i = 0; i < d->field_count; ++i) {
      const bool callback = (d->flags[i] & (flag::repeated | flag::string | flag::bytes)) != 0;
      EXPECT_GE(layout[i].data, 0) << i;
      EXPECT_LT(layout[i].data, static_cast<std::int32_t>(d->pb_size)) << i;
      EXPECT_EQ(layout[i].has >= 0, !callback) << i;
    }
    for (std::uint32_t i = 0; i < d->field_count; ++i) EXPECT_EQ(d->flags[i], d->fields[i].flags);
  }
}

TEST(WireDescriptors, ClassNamesFieldCountsAndTypeTags) {
  struct Row {
    const MessageDescriptor* d;
    const char* class_name;
    std::uint32_t fields;
  };
  const Row rows[] = {
      {&measurement::kAudience, "RIDUZAudience", 5},
      {&measurement::kAudienceLeafFilterResult, "RIDUZAudienceLeafFilterResult", 4},
      {&measurement::kDynamicFilterResultTimestamp, "RIDUZDynamicFilterResultTimestamp", 2},
      {&measurement::kEvent, "RIDUZEvent", 5},
      {&measurement::kEventConfig, "RIDUZEventConfig", 4},
      {&measurement::kEventFilter, "RIDUZEventFilter", 7},
      {&measurement::kEventParam, "RIDUZEventParam", 5},
      {&measurement::kFilter, "RIDUZFilter", 6},
      {&measurement::kMeasurementBatch, "RIDUZMeasurementBatch", 1},
      {&measurement::kMeasurementBundle, "RIDUZMeasurementBundle", 37},
      {&measurement::kMeasurementConfig, "RIDUZMeasurementConfig", 7},
      {&measurement::kNumberFilter, "RIDUZNumberFilter", 5},
      {&measurement::kPropertyFilter, "RIDUZPropertyFilter", 5},
      {&measurement::kResultData, "RIDUZResultData", 4},
      {&measurement::kSequenceFilterResultTimestamp, "RIDUZSequenceFilterResultTimestamp", 2},
      {&measurement::kSetting, "RIDUZSetting", 2},
      {&measurement::kStringFilter, "RIDUZStringFilter", 4},
      {&measurement::kUserAttribute, "RIDUZUserAttribute", 6},
      {&diagnostics::kClientInfo, "CLRPBClientInfo", 4},
      {&diagnostics::kIosClientInfo, "CLRPBIosClientInfo", 8},
      {&diagnostics::kLogEvent, "CLRPBLogEvent", 18},
      {&diagnostics::kLogRequest, "CLRPBLogRequest", 9},
      {&diagnostics::kErrorInfo, "FIRPBErrorInfo", 3},
      {&diagnostics::kICoreConfiguration, "FIRPBICoreConfiguration", 34},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.class_name);
    EXPECT_STREQ(row.d->class_name, row.class_name);
    EXPECT_EQ(row.d->field_count, row.fields);
    auto m = test::make(*row.d);
    ASSERT_TRUE(m);
    // Every record and every object of the type carries the one name pointer.
    EXPECT_EQ(m->messageID(), row.d->name);
    EXPECT_EQ(m->messageInfo()->name, row.d->name);
    EXPECT_EQ(m->messageInfo()->flags, row.d->flags);
  }
  EXPECT_EQ(RIDUZEvent::make()->messageID(), measurement::kEvent.name);
  EXPECT_EQ(CLRPBLogRequest::type().name, diagnostics::kLogRequestName);
}

}  // namespace
}  // namespace wire
