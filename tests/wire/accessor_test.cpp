// The field accessors against every flag word, their texts and neutral
// results, the array conversions, and the cell and record routines.

#include <functional>

#include "platform/testing/capture.h"
#include "tests/wire/wire_test_support.h"

namespace wire {
namespace {

using platform::testing::CaptureSinks;

// A record-only message type for the flag words no schema uses
// (repeated bool, uint32, float, double, a word with no type bit, singular uint32).
inline constexpr FieldSpec kProbeFields[] = {{0x28, 1, nullptr, "flags"},   {0x108, 2, nullptr, "counts"},
                                             {0x808, 3, nullptr, "ratios"}, {0x1008, 4, nullptr, "amounts"},
                                             {0x08, 5, nullptr, "unknown"}, {0x102, 6}};
inline constexpr char kProbeName[] = "Probe";
inline constexpr auto kProbeFlags = flags_of(kProbeFields);
inline constexpr MessageDescriptor kProbe{kProbeName,          "Probe",
                                          6,                   kProbeFlags.data(),
                                          kProbeFields,        2,
                                          nullptr,             0,
                                          nullptr,             nullptr,
                                          &make_message<kProbe>, &message_to_value<kProbe>,
                                          &message_from_value<kProbe>, &codec::init_fn<kProbe>,
                                          &codec::dealloc_fn<kProbe>, &codec::copy_fn<kProbe>,
                                          &codec::layout_fn<kProbe>};

enum class Op { GetBool, SetBool, GetInt32, SetInt32, GetInt64, SetInt64, GetDouble, SetDouble, GetString,
                SetString, SetBytes, GetMessage, SetMessage, GetArray, SetArray };
constexpr Op kOps[] = {Op::GetBool,   Op::SetBool,   Op::GetInt32,  Op::SetInt32,   Op::GetInt64,
                       Op::SetInt64,  Op::GetDouble, Op::SetDouble, Op::GetString,  Op::SetString,
                       Op::SetBytes,  Op::GetMessage, Op::SetMessage, Op::GetArray, Op::SetArray};

const char* type_text(Op op) {
  switch (op) {
    case Op::GetBool: case Op::SetBool: return "a scalar BOOL";
    case Op::GetInt32: case Op::SetInt32: return "a scalar INT32";
    case Op::GetInt64: case Op::SetInt64: return "a scalar INT64";
    case Op::GetDouble: case Op::SetDouble: return "a scalar DOUBLE";
    case Op::GetString: case Op::SetString: return "a scalar STRING";
    case Op::SetBytes: return "a scalar BYTES";
    case Op::GetMessage: case Op::SetMessage: return "a scalar MESSAGE";
    case Op::GetArray: case Op::SetArray: return "REPEATED";
  }
  return "";
}

// A value array that fits the field's element type.
Array fitting_array(const MessageDescriptor& d, int index) {
  const NANOFieldFlags f = d.flags[index];
  if (f & flag::message) return Array{d.fields[index].type->to_value(d.fields[index].type->make(nullptr))};
  if (f & flag::string) return Array{Value("x")};
  if (f & flag::bytes) return Array{Value(Bytes{7})};
  return Array{Value(5)};
}

// Runs one operation; answers true when it gave a non-neutral result or changed the field.
bool run(Op op, NANOMessageBase* m, int index) {
  const MessageDescriptor& d = m->descriptor();
  switch (op) {
    case Op::GetBool: return NANOGetBool(m, index);
    case Op::SetBool: NANOSetBool(m, index, true); return NANOGetBool(m, index);
    case Op::GetInt32: return NANOGetInt32(m, index) != 0;
    case Op::SetInt32: NANOSetInt32(m, index, -7); return NANOGetInt32(m, index) == -7;
    case Op::GetInt64: return NANOGetInt64(m, index) != 0;
    case Op::SetInt64: NANOSetInt64(m, index, -(std::int64_t{1} << 40)); return NANOGetInt64(m, index) == -(std::int64_t{1} << 40);
    case Op::GetDouble: return NANOGetDouble(m, index) != 0.0;
    case Op::SetDouble: NANOSetDouble(m, index, 3.25); return NANOGetDouble(m, index) == 3.25;
    case Op::GetString: return NANOGetString(m, index).has_value();
    case Op::SetString: NANOSetString(m, index, "txt"); return NANOGetString(m, index) == "txt";
    case Op::SetBytes: {
      NANOSetBytes(m, index, Bytes{9, 8});
      auto* s = static_cast<const NANOByteString*>(m->messageInfo()->values[index]);
      return s != nullptr && s->length == 2 && s->bytes[0] == 9;
    }
    case Op::GetMessage: return NANOGetMessage(m, index, d.fields[index].type) != nullptr;
    case Op::SetMessage: {
      const MessageDescriptor* type = d.fields[index].type != nullptr ? d.fields[index].type : &measurement::kSetting;
      auto value = type->make(nullptr);
      NANOSetMessage(m, index, value.get());
      // The filled field now holds the empty value.
      auto back = d.fields[index].type != nullptr ? NANOGetMessage(m, index, type) : nullptr;
      return back && back->protoBuffer()->empty();
    }
    case Op::GetArray: return NANOGetArray(m, index, d.fields[index].type).has_value();
    case Op::SetArray: {
      Array values = fitting_array(d, index);
      NANOSetArray(m, index, values);
      auto back = NANOGetArray(m, index, d.fields[index].type);
      return back && back->size() == 1;
    }
  }
  return false;
}

std::string field_state(NANOMessageBase& m, int index) {
  if (m.descriptor().pb != nullptr) return test::to_hex(*m.protoBuffer());
  auto a = NANOGetArray(&m, index, nullptr);
  return a ? std::to_string(a->size()) : "none";
}

TEST(WireAccessors, EveryOperationAgainstEveryFlagWord) {
  struct Row {
    NANOFieldFlags flags;
    const MessageDescriptor* type;
    int index;
    std::vector<Op> accepted;
  };
  const Row rows[] = {
      {0x22, &measurement::kEventConfig, 1, {Op::GetBool, Op::SetBool}},
      {0x42, &measurement::kNumberFilter, 0, {Op::GetInt32, Op::SetInt32}},
      {0x82, &measurement::kEventConfig, 3, {Op::GetInt32, Op::SetInt32}},
      {0x102, &kProbe, 5, {Op::GetInt32, Op::SetInt32}},
      {0x202, &measurement::kEvent, 2, {Op::GetInt64, Op::SetInt64}},
      {0x802, &measurement::kEventParam, 3, {}},
      {0x1002, &measurement::kEventParam, 4, {Op::GetDouble, Op::SetDouble}},
      {0x2002, &measurement::kEventParam, 0, {Op::GetString, Op::SetString}},
      {0x8002, &diagnostics::kLogEvent, 7, {Op::SetBytes}},
      {0x4002, &measurement::kFilter, 0, {Op::GetMessage, Op::SetMessage}},
      {0x48, &diagnostics::kICoreConfiguration, 8, {Op::GetArray, Op::SetArray}},
      {0x88, &diagnostics::kLogEvent, 16, {Op::GetArray, Op::SetArray}},
      {0x208, &measurement::kSequenceFilterResultTimestamp, 1, {Op::GetArray, Op::SetArray}},
      {0x408, &measurement::kResultData, 0, {Op::GetArray, Op::SetArray}},
      {0x2008, &measurement::kStringFilter, 3, {Op::GetArray, Op::SetArray}},
      {0x4008, &measurement::kEvent, 0, {Op::GetArray, Op::SetArray}},
      {0x8008, &diagnostics::kLogRequest, 7, {Op::GetArray, Op::SetArray}},
      {0x28, &kProbe, 0, {Op::GetArray, Op::SetArray}},
      {0x108, &kProbe, 1, {Op::GetArray, Op::SetArray}},
      {0x808, &kProbe, 2, {Op::GetArray, Op::SetArray}},
      {0x1008, &kProbe, 3, {Op::GetArray, Op::SetArray}},
  };
  for (const Row& row : rows) {
    ASSERT_EQ(row.type->flags[row.index], row.flags);
    for (Op op : kOps) {
      SCOPED_TRACE(std::string(row.type->name) + " flags " + std::to_string(row.flags) + " op " +
                   std::to_string(static_cast<int>(op)));
      const bool accepted = std::find(row.accepted.begin(), row.accepted.end(), op) != row.accepted.end();
      auto m = row.type->make(nullptr);
      if (row.type->pb != nullptr) {
        test::populate(*m, 1);
      } else {
        NANOSetArray(m.get(), row.index, Array{Value(1), Value(0)});
      }
      const std::string before = field_state(*m, row.index);
      CaptureSinks sinks;
      const bool result = run(op, m.get(), row.index);
      if (accepted) {
        EXPECT_EQ(sinks.log_lines(), std::vector<std::string>{});
        if (op != Op::GetBool && op != Op::GetInt32 && op != Op::GetInt64) {
          EXPECT_TRUE(result);
        }
      } else {
        EXPECT_FALSE(result);
        const std::string text = std::string("<Nano/Failure> Field type isn't ") + type_text(op) +
                                 ". Message: " + row.type->name + ", field ID: " + std::to_string(row.index);
        // A setter that reads back logs the getter's refusal too.
        ASSERT_FALSE(sinks.log_lines().empty());
        EXPECT_EQ(sinks.log_lines()[0], text);
        EXPECT_EQ(field_state(*m, row.index), before);
      }
      EXPECT_EQ(sinks.out(), "");
    }
  }
}

TEST(WireAccessors, UninitialisedMessageLogsTheOperationsText) {
  struct Row {
    std::function<void()> call;
    const char* text;
  };
  const Row rows[] = {
      {[] { EXPECT_FALSE(NANOHasField(nullptr, 0)); },
       "ProtocolBuffer message hasn't been initialized. HasField operation can't be performed. Message name (null)"},
      {[] { NANOClearField(nullptr, 0); }, "ProtocolBuffer message hasn't been initialized. ClearField can't be performed"},
      {[] { EXPECT_FALSE(NANOGetBool(nullptr, 0)); }, "ProtocolBuffer message hasn't been initialized. GetBool can't be performed"},
      {[] { NANOSetBool(nullptr, 0, true); }, "ProtocolBuffer message hasn't been initialized. SetBool can't be performed"},
      {[] { EXPECT_EQ(NANOGetInt32(nullptr, 0), 0); }, "ProtocolBuffer message hasn't been initialized. GetInt32 can't be performed"},
      {[] { NANOSetInt32(nullptr, 0, 1); }, "ProtocolBuffer message hasn't been initialized. SetInt32 can't be performed"},
      {[] { EXPECT_EQ(NANOGetInt64(nullptr, 0), 0); }, "ProtocolBuffer message hasn't been initialized. GetInt64 can't be performed"},
      {[] { NANOSetInt64(nullptr, 0, 1); }, "ProtocolBuffer message hasn't been initialized. SetInt64 can't be performed"},
      {[] { EXPECT_EQ(NANOGetDouble(nullptr, 0), 0.0); }, "ProtocolBuffer message hasn't been initialized. GetDouble can't be performed"},
      {[] { NANOSetDouble(nullptr, 0, 1); }, "ProtocolBuffer message hasn't been initialized. SetDouble can't be performed"},
      {[] { EXPECT_FALSE(NANOGetString(nullptr, 0)); }, "ProtocolBuffer message hasn't been initialized. GetString can't be performed"},
      {[] { NANOSetString(nullptr, 0, "x"); }, "ProtocolBuffer message hasn't been initialized. SetString can't be performed"},
      {[] { NANOSetBytes(nullptr, 0, Bytes{1}); }, "ProtocolBuffer message hasn't been initialized. SetBytes can't be performed"},
      {[] { EXPECT_FALSE(NANOGetMessage(nullptr, 0, &measurement::kEvent)); },
       "ProtocolBuffer message hasn't been initialized. GetMessage can't be performed"},
      {[] { NANOSetMessage(nullptr, 0, nullptr); }, "ProtocolBuffer message hasn't been initialized. SetMessage can't be performed"},
      {[] { EXPECT_FALSE(NANOGetArray(nullptr, 0, nullptr)); }, "ProtocolBuffer message hasn't been initialized. GetArray can't be performed"},
      {[] { NANOSetArray(nullptr, 0, Array{}); }, "ProtocolBuffer message hasn't been initialized. SetArray can't be performed"},
  };
  for (const Row& row : rows) {
    CaptureSinks sinks;
    row.call();
    EXPECT_EQ(sinks.log_lines(), std::vector<std::string>{row.text});
    EXPECT_EQ(sinks.out(), "");
  }
}

TEST(WireAccessors, IndexesOutsideTheMessageAreRefused) {
  auto config = RIDUZEventConfig::make();
  NANOSetInt32(config.get(), 3, 9);
  const Bytes before = *config->protoBuffer();
  for (int index : {4, -1, 1000}) {
    CaptureSinks sinks;
    const std::string text =
        "<Nano/Failure> Field index is out of range. Message: EventConfig, field ID: " + std::to_string(index);
    EXPECT_FALSE(NANOHasField(config.get(), index));
    EXPECT_EQ(NANOGetInt32(config.get(), index), 0);
    NANOSetInt32(config.get(), index, 1);
    NANOSetString(config.get(), index, "x");
    NANOClearField(config.get(), index);
    EXPECT_FALSE(NANOGetArray(config.get(), index, nullptr));
    NANOSetArray(config.get(), index, Array{Value(1)});
    EXPECT_EQ(sinks.log_lines(), std::vector<std::string>(7, text));
    EXPECT_EQ(*config->protoBuffer(), before);
  }
}

TEST(WireAccessors, FieldReleaseChecksItsIndex) {
  auto filter = RIDUZFilter::make();
  NANOSetBool(filter.get(), 5, true);
  CaptureSinks sinks;
  EXPECT_TRUE(filter->deallocMessageFieldFn()(filter->messageInfo(), 5));
  EXPECT_FALSE(NANOHasField(filter.get(), 5));
  EXPECT_FALSE(filter->deallocMessageFieldFn()(filter->messageInfo(), 6));
  EXPECT_FALSE(filter->deallocMessageFieldFn()(filter->messageInfo(), -2));
  EXPECT_EQ(sinks.out(),
            "<ERROR> Filter: Cannot deallocate field 6: Unknown field\n"
            "<ERROR> Filter: Cannot deallocate field -2: Unknown field\n");
}

TEST(WireAccessors, NewMessageHasOnlyItsRepeatedFields) {
  for (const MessageDescriptor* d : test::all_messages()) {
    auto m = test::make(*d);
    for (std::int32_t i = 0; i < static_cast<std::int32_t>(d->field_count); ++i)
      EXPECT_EQ(NANOHasField(m.get(), i), (d->flags[i] & flag::repeated) != 0) << d->name << " " << i;
  }
}

TEST(WireAccessors, StringsKeepTheirRecordAndClearWithNull) {
  auto param = RIDUZEventParam::make();
  NANOSetString(param.get(), 0, "first");
  void* record = param->messageInfo()->values[0];
  NANOSetString(param.get(), 0, "second, longer");
  EXPECT_EQ(param->messageInfo()->values[0], record);
  EXPECT_EQ(NANOGetString(param.get(), 0), "second, longer");
  NANOSetString(param.get(), 0, "");
  EXPECT_TRUE(NANOHasField(param.get(), 0));
  EXPECT_EQ(NANOGetString(param.get(), 0), "");  // present and empty, not absent
  NANOSetString(param.get(), 0, std::nullopt);
  EXPECT_FALSE(NANOHasField(param.get(), 0));
  EXPECT_EQ(NANOGetString(param.get(), 0), std::nullopt);

  auto event = CLRPBLogEvent::make();
  NANOSetBytes(event.get(), 7, Bytes{1});
  NANOSetBytes(event.get(), 7, std::nullopt);
  EXPECT_FALSE(NANOHasField(event.get(), 7));
}

TEST(WireAccessors, SetMessageChecksTypeCopiesAndClears) {
  auto filter = RIDUZFilter::make();
  auto strings = RIDUZStringFilter::make();
  NANOSetString(strings.get(), 1, "abc");
  NANOSetMessage(filter.get(), 0, strings.get());
  // The stored value is a copy: later changes to the source do not reach it.
  NANOSetString(strings.get(), 1, "changed");
  EXPECT_EQ(NANOGetString(NANOGetMessage<RIDUZStringFilter>(filter.get(), 0).get(), 1), "abc");

  // Another message type is refused and the field keeps its value.
  auto numbers = RIDUZNumberFilter::make();
  CaptureSinks sinks;
  NANOSetMessage(filter.get(), 0, numbers.get());
  EXPECT_EQ(sinks.log_lines(),
            std::vector<std::string>{"<Nano/Failure> Field type isn't a scalar MESSAGE. Message: Filter, field ID: 0"});
  EXPECT_EQ(NANOGetString(NANOGetMessage<RIDUZStringFilter>(filter.get(), 0).get(), 1), "abc");

  // The returned object is a copy until it is written back.
  auto copy = NANOGetMessage<RIDUZStringFilter>(filter.get(), 0);
  NANOSetString(copy.get(), 1, "edited");
  EXPECT_EQ(NANOGetString(NANOGetMessage<RIDUZStringFilter>(filter.get(), 0).get(), 1), "abc");
  NANOSetMessage(filter.get(), 0, copy.get());
  EXPECT_EQ(NANOGetString(NANOGetMessage<RIDUZStringFilter>(filter.get(), 0).get(), 1), "edited");

  // Null clears.
  NANOSetMessage(filter.get(), 0, nullptr);
  EXPECT_FALSE(NANOHasField(filter.get(), 0));
  EXPECT_TRUE(sinks.log_lines().size() == 1);
}

TEST(WireAccessors, SetMessageWhoseCopyFailsLeavesTheFieldAbsent) {
  auto filter = RIDUZFilter::make();
  NANOSetMessage(filter.get(), 0, RIDUZStringFilter::make().get());
  // A damaged value: a counted expression_list item that is missing.
  auto damaged = RIDUZStringFilter::make();
  NANOSetArray(damaged.get(), 3, Array{Value("a")});
  auto* list = static_cast<NANORepeatedField*>(damaged->messageInfo()->values[3]);
  NANOFreeString(static_cast<NANOByteString*>(list->items[0]));
  std::free(list->items[0]);
  list->items[0] = nullptr;
  NANOSetMessage(filter.get(), 0, damaged.get());
  EXPECT_FALSE(NANOHasField(filter.get(), 0));
  EXPECT_EQ(filter->messageInfo()->values[0], nullptr);
}

TEST(WireAccessors, GetMessageNeedsTheStoredType) {
  auto filter = RIDUZFilter::make();
  NANOSetMessage(filter.get(), 1, RIDUZNumberFilter::make().get());
  CaptureSinks sinks;
  EXPECT_EQ(NANOGetMessage(filter.get(), 1, &measurement::kStringFilter), nullptr);
  EXPECT_TRUE(sinks.log_lines().empty());
  EXPECT_EQ(NANOGetMessage(filter.get(), 1, nullptr), nullptr);
  EXPECT_EQ(sinks.log_lines(), std::vector<std::string>{
                                   "<ERROR> Provided class doesn't implement initWithMessageInfo: method. Class: (null)"});
  EXPECT_NE(NANOGetMessage(filter.get(), 1, &measurement::kNumberFilter), nullptr);
}

TEST(WireAccessors, SetArrayRefusesWrongElementsAndEmptiesTheField) {
  struct Row {
    const MessageDescriptor* type;
    int index;
    Value wrong;
    const char* text;
  };
  const Row rows[] = {
      {&kProbe, 0, Value("s"), "<ERROR> Invalid object type. Boolean fields expect NSNumber. Type: NSString"},
      {&diagnostics::kLogEvent, 16, Value("s"), "<ERROR> Invalid object type. Int32 fields expect NSNumber. Type: NSString"},
      {&kProbe, 1, Value(Bytes{}), "<ERROR> Invalid object type. Int32 fields expect NSNumber. Type: NSData"},
      {&measurement::kSequenceFilterResultTimestamp, 1, Value("s"),
       "<ERROR> Invalid object type. Int64 fields expect NSNumber. Type: NSString"},
      {&measurement::kResultData, 1, Value(), "<ERROR> Invalid object type. Int64 fields expect NSNumber. Type: NSNull"},
      {&kProbe, 2, Value(Array{}), "<ERROR> Invalid object type. Float fields expect NSNumber. Type: NSArray"},
      {&kProbe, 3, Value("s"), "<ERROR> Invalid object type. Double fields expect NSNumber. Type: NSString"},
      {&diagnostics::kICoreConfiguration, 9, Value("s"),
       "<ERROR> Invalid object type. Enum fields expect NSNumber. Type: NSString"},
      {&measurement::kStringFilter, 3, Value(1), "<ERROR> Invalid object type. String fields expect NSString. Type: NSNumber"},
      {&measurement::kStringFilter, 3, Value(), "<ERROR> Invalid object type. String fields expect NSString. Type: NSNull"},
      {&diagnostics::kLogRequest, 7, Value("s"), "<ERROR> Invalid object type. Bytes fields expect NSData. Type: NSString"},
      {&measurement::kEvent, 0, Value(1), "<ERROR> Invalid object type. Message fields expect NANOMessageBase. Type: NSNumber"},
      {&measurement::kEvent, 0, Value::object(RIDUZSetting::make()),
       "<ERROR> Invalid object type. Message fields expect NANOMessageBase. Type: RIDUZSetting"},
      {&kProbe, 4, Value(1), "<ERROR> Unable to convert ObjC object to byte data. Unknown type. 8"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    auto m = row.type->make(nullptr);
    const Array good = row.index == 4 && row.type == &kProbe ? Array{} : fitting_array(*row.type, row.index);
    NANOSetArray(m.get(), row.index, good);  // earlier content goes too
    Array values = good;
    values.push_back(row.wrong);
    values.insert(values.end(), good.begin(), good.end());
    CaptureSinks sinks;
    NANOSetArray(m.get(), row.index, values);
    EXPECT_EQ(sinks.log_lines(), std::vector<std::string>{row.text});
    EXPECT_EQ(NANOGetArray(m.get(), row.index, row.type->fields[row.index].type), Array{});
    EXPECT_EQ(static_cast<NANORepeatedField*>(m->messageInfo()->values[row.index])->items, nullptr);
  }
  // Null empties the field.
  auto event = CLRPBLogEvent::make();
  NANOSetArray(event.get(), 16, Array{Value(1), Value(2)});
  NANOSetArray(event.get(), 16, std::nullopt);
  EXPECT_EQ(NANOGetArray(event.get(), 16, nullptr), Array{});
}

TEST(WireAccessors, GetArrayConvertsInOrderAndSkipsWhatItCannot) {
  auto probe = kProbe.make(nullptr);
  NANOSetArray(probe.get(), 0, Array{Value(true), Value(0), Value(2.5)});
  NANOSetArray(probe.get(), 1, Array{Value(-1), Value(7)});
  NANOSetArray(probe.get(), 2, Array{Value(0.5), Value(-3)});
  NANOSetArray(probe.get(), 3, Array{Value(0.125)});
  EXPECT_EQ(NANOGetArray(probe.get(), 0, nullptr), (Array{Value(true), Value(false), Value(true)}));
  EXPECT_EQ(NANOGetArray(probe.get(), 1, nullptr), (Array{Value(4294967295u), Value(7)}));
  EXPECT_EQ(NANOGetArray(probe.get(), 2, nullptr), (Array{Value(0.5), Value(-3.0)}));
  EXPECT_EQ(NANOGetArray(probe.get(), 3, nullptr), (Array{Value(0.125)}));

  // Null items are skipped with a text, the rest keep their order.
  auto event = CLRPBLogEvent::make();
  NANOSetArray(event.get(), 16, Array{Value(1), Value(2), Value(3)});
  auto* list = static_cast<NANORepeatedField*>(event->messageInfo()->values[16]);
  std::free(list->items[1]);
  list->items[1] = nullptr;
  CaptureSinks sinks;
  EXPECT_EQ(NANOGetArray(event.get(), 16, nullptr), (Array{Value(1), Value(3)}));
  EXPECT_EQ(sinks.log_lines(), std::vector<std::string>{"<ERROR> Unable to convert NULL data to an ObjC object"});

  // A word without a type bit.
  sinks.clear();
  auto* unknown = static_cast<NANORepeatedField*>(probe->messageInfo()->values[4]);
  unknown->items = static_cast<void**>(std::calloc(1, sizeof(void*)));
  unknown->count = 1;
  NANOSetUInt64Value(&unknown->items[0], 1);
  EXPECT_EQ(NANOGetArray(probe.get(), 4, nullptr), Array{});
  EXPECT_EQ(sinks.log_lines(),
            std::vector<std::string>{"<ERROR> Unable to convert byte data to an ObjC object. Unknown type. 8"});

  // Message items need their own type.
  sinks.clear();
  auto bundle = RIDUZMeasurementBundle::make();
  NANOSetArray(bundle.get(), 1, Array{Value::object(RIDUZEvent::make()), Value::object(RIDUZEvent::make())});
  EXPECT_EQ(NANOGetArray(bundle.get(), 1, &measurement::kSetting), Array{});
  EXPECT_TRUE(sinks.log_lines().empty());
  EXPECT_EQ(NANOGetArray(bundle.get(), 1, nullptr), Array{});
  EXPECT_EQ(sinks.log_lines(), std::vector<std::string>(2, "<ERROR> Provided class doesn't implement "
                                                           "initWithMessageInfo: method. Class: (null)"));
  EXPECT_EQ(NANOGetArray(bundle.get(), 1, &measurement::kEvent)->size(), 2u);
}

TEST(WireAccessors, GetArrayOnMissingOrUnfilledRecords) {
  auto event = CLRPBLogEvent::make();
  auto* list = static_cast<NANORepeatedField*>(event->messageInfo()->values[16]);
  list->count = 3;  // counted but never allocated
  EXPECT_EQ(NANOGetArray(event.get(), 16, nullptr), Array{});
  list->count = 0;

  CaptureSinks sinks;
  EXPECT_EQ(NANOGetArray(event.get(), 0, nullptr), std::nullopt);
  std::free(event->messageInfo()->values[16]);
  event->messageInfo()->values[16] = nullptr;
  EXPECT_EQ(NANOGetArray(event.get(), 16, nullptr), std::nullopt);
  NANOSetArray(event.get(), 16, Array{Value(1)});
  EXPECT_EQ(sinks.log_lines(), (std::vector<std::string>{
                                   "<Nano/Failure> Field type isn't REPEATED. Message: LogEvent, field ID: 0",
                                   "<ERROR> Repeated field should have been allocated",
                                   "<ERROR> Repeated field should have been allocated"}));
}

TEST(WireAccessors, CellAndRecordRoutinesOnNullPrintTheirTexts) {
  CaptureSinks sinks;
  EXPECT_FALSE(NANOSetBoolValue(nullptr, true));
  EXPECT_FALSE(NANOSetUInt32Value(nullptr, 1));
  EXPECT_FALSE(NANOSetUInt64Value(nullptr, 1));
  EXPECT_FALSE(NANOSetFloatValue(nullptr, 1));
  EXPECT_FALSE(NANOSetDoubleValue(nullptr, 1));
  EXPECT_FALSE(NANOSetStringValue(nullptr, nullptr, 0));
  EXPECT_FALSE(NANOSetBytesValue(nullptr, nullptr, 0));
  NANOFreeString(nullptr);
  NANOFreeBytesArray(static_cast<NANORepeatedField*>(nullptr));
  EXPECT_EQ(sinks.out(),
            "<ERROR> Unable to set bool. Destination pointer is NULL\n"
            "<ERROR> Unable to set uint32. Destination pointer is NULL\n"
            "<ERROR> Unable to set uint64. Destination pointer is NULL\n"
            "<ERROR> Unable to set float. Destination pointer is NULL\n"
            "<ERROR> Unable to set double. Destination pointer is NULL\n"
            "<ERROR> Unable to set string. Destination array is NULL\n"
            "<ERROR> Unable to set string. Destination array is NULL\n"
            "<ERROR> Unable to dealloc string field. String struct is NULL\n"
            "<ERROR> Unable to initialize the array. Array pointer is NULL\n");
  EXPECT_TRUE(sinks.log_lines().empty());
}

TEST(WireAccessors, CellsAreEightBytesAndCopiedStringsCarryANul) {
  void* cell = nullptr;
  ASSERT_TRUE(NANOSetUInt32Value(&cell, 0xFFFFFFFFu));
  std::uint64_t wide;
  std::memcpy(&wide, cell, 8);  // all eight bytes written
  EXPECT_EQ(wide, 0xFFFFFFFFull);
  void* same = cell;
  NANOSetUInt32Value(&cell, 5);
  EXPECT_EQ(cell, same);
  std::free(cell);

  void* slot = nullptr;
  const std::uint8_t text[] = {'a', 'b'};
  ASSERT_TRUE(NANOSetStringValue(&slot, text, 2));
  auto* s = static_cast<NANOByteString*>(slot);
  EXPECT_EQ(s->length, 2u);
  EXPECT_EQ(s->bytes[2], 0);
  NANOFreeString(s);
  EXPECT_EQ(s->bytes, nullptr);
  EXPECT_EQ(s->length, 0u);
  std::free(s);

  NANOByteString record{};
  const Value number(1);
  const Value string("hé");
  EXPECT_TRUE(NANOStringToBytes(nullptr, &record));
  EXPECT_EQ(record.bytes, nullptr);
  EXPECT_FALSE(NANOStringToBytes(&number, &record));
  EXPECT_FALSE(NANODataToBytes(&string, &record));
  ASSERT_TRUE(NANOStringToBytes(&string, &record));
  EXPECT_EQ(record.length, 3u);  // UTF-8 bytes
  NANOFreeBytesArray(&record);
  EXPECT_EQ(record.bytes, nullptr);
}

TEST(WireAccessors, EncodeToBufferSizesExactlyAndFailsCleanly) {
  auto empty = CLRPBLogEvent::make();
  Bytes out{1, 2, 3};
  EXPECT_EQ(codec::encode_to_buffer(diagnostics::kLogEvent, empty->messageInfo(), &out), 0);
  EXPECT_TRUE(out.empty());
  ASSERT_TRUE(empty->protoBuffer().has_value());

  // A string record without bytes cannot be written: -1 and no buffer.
  auto event = CLRPBLogEvent::make();
  NANOSetString(event.get(), 3, "tag");
  NANOFreeString(static_cast<NANOByteString*>(event->messageInfo()->values[3]));
  out = Bytes{1};
  EXPECT_EQ(codec::encode_to_buffer(diagnostics::kLogEvent, event->messageInfo(), &out), -1);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(out.capacity(), 0u);
  EXPECT_FALSE(event->protoBuffer());
}

TEST(WireAccessors, SecondEntryPointsAreDistinctRoutines) {
  EXPECT_NE(&NANODecodeStringField, &NANODecodeBytesField);
  EXPECT_NE(&NANODecodeRepeatedString, &NANODecodeRepeatedBytes);
  EXPECT_NE(&NANOEncodeStringField, &NANOEncodeBytesField);
  EXPECT_NE(&NANOEncodeRepeatedString, &NANOEncodeRepeatedBytes);
}

TEST(WireAccessors, MovingSetTakesTheRecordsOfItemsNothingElseHolds) {
  auto make_param = [](const char* name, std::int64_t value) {
    auto param = RIDUZEventParam::make();
    NANOSetString(param.get(), 0, name);
    NANOSetInt64(param.get(), 2, value);
    return param;
  };
  // Reference: the copying set of equal items.
  auto copied = RIDUZEvent::make();
  NANOSetArray(copied.get(), 0, Array{Value::object(make_param("a", 1)), Value::object(make_param("b", 2))});

  auto sole = make_param("a", 1);
  NANOMessageInfo* sole_record = sole->messageInfo();
  auto shared = make_param("b", 2);
  Array items{Value::object(sole), Value::object(shared)};
  sole.reset();
  auto event = RIDUZEvent::make();
  NANOSetArray(event.get(), 0, std::move(items));
  EXPECT_EQ(*event->protoBuffer(), *copied->protoBuffer());
  auto* list = static_cast<NANORepeatedField*>(event->messageInfo()->values[0]);
  ASSERT_EQ(list->count, 2u);
  EXPECT_EQ(list->items[0], sole_record);  // taken, not copied
  EXPECT_EQ(items[0].object<RIDUZEventParam>()->messageInfo(), nullptr);
  // The item held elsewhere is copied and stays its holder's own.
  EXPECT_NE(list->items[1], shared->messageInfo());
  NANOSetString(shared.get(), 0, "changed");
  EXPECT_EQ(*event->protoBuffer(), *copied->protoBuffer());
  EXPECT_EQ(NANOGetString(shared.get(), 0), "changed");
}

TEST(WireAccessors, MovingSetCopiesWhenAnyItemCannotGoInAsIs) {
  struct Row {
    const char* what;
    std::function<Value()> last;  // the item after a sole, sound one
    bool stored;
  };
  const Row rows[] = {
      {"an item of another type", [] { return Value::object(RIDUZSetting::make()); }, false},
      {"not a message", [] { return Value(1); }, false},
      {"a string record without bytes",
       [] {
         auto param = RIDUZEventParam::make();
         NANOSetString(param.get(), 0, "x");
         NANOFreeString(static_cast<NANOByteString*>(param->messageInfo()->values[0]));
         return Value::object(param);
       },
       true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    auto first = RIDUZEventParam::make();
    NANOSetString(first.get(), 0, "kept");
    std::weak_ptr<RIDUZEventParam> watch = first;
    NANOMessageInfo* first_record = first->messageInfo();
    Array items{Value::object(std::move(first)), row.last()};
    auto event = RIDUZEvent::make();
    CaptureSinks sinks;
    NANOSetArray(event.get(), 0, std::move(items));
    // Nothing was taken: the first item, still alive in the array, keeps its record.
    auto alive = watch.lock();
    ASSERT_TRUE(alive);
    EXPECT_EQ(alive->messageInfo(), first_record);
    EXPECT_EQ(NANOGetString(alive.get(), 0), "kept");
    const auto stored = NANOGetArray(event.get(), 0, &measurement::kEventParam);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->size(), row.stored ? 2u : 0u);
    if (row.stored) {
      // The copy turns a record without bytes into an empty text.
      auto last = stored->back().object<RIDUZEventParam>();
      EXPECT_EQ(NANOGetString(last.get(), 0), "");
    }
  }
}

}  // namespace
}  // namespace wire
