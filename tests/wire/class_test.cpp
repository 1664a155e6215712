// The message classes: type tags, deep copies, buffers and round trips.

#include "platform/testing/capture.h"
#include "tests/wire/wire_test_support.h"

namespace wire {
namespace {

using platform::testing::CaptureSinks;

TEST(WireClasses, TypeTagIsTheNamePointer) {
  auto event = CLRPBLogEvent::make();
  NANOSetInt64(event.get(), 0, 1);
  EXPECT_TRUE(CLRPBLogEvent::initWithMessageInfo(event->messageInfo()));
  // Another type's record.
  EXPECT_FALSE(CLRPBLogRequest::initWithMessageInfo(event->messageInfo()));
  // Equal text at another address.
  static const char other_name[] = "LogEvent";
  NANOMessageInfo forged = *event->messageInfo();
  forged.name = other_name;
  ASSERT_STREQ(forged.name, event->messageID());
  EXPECT_FALSE(CLRPBLogEvent::initWithMessageInfo(&forged));
  EXPECT_FALSE(diagnostics::kLogEvent.make(&forged));
}

TEST(WireClasses, CopyIsIndependentOfItsSource) {
  auto bundle = RIDUZMeasurementBundle::make();
  test::populate(*bundle, 2);
  auto copy = RIDUZMeasurementBundle::initWithMessageInfo(bundle->messageInfo());
  ASSERT_TRUE(copy);
  test::expect_same(*bundle, *copy);
  const Bytes before = *copy->protoBuffer();
  EXPECT_EQ(before, *bundle->protoBuffer());

  for (std::int32_t i = 0; i < 37; ++i) NANOClearField(bundle.get(), i);
  NANOSetString(bundle.get(), 8, "changed");
  EXPECT_EQ(*copy->protoBuffer(), before);

  NANOSetArray(copy.get(), 1, std::nullopt);
  EXPECT_EQ(NANOGetString(bundle.get(), 8), "changed");
}

TEST(WireClasses, EmptyDataAndEmptyMessageMapToEachOther) {
  for (const MessageDescriptor* d : test::all_messages()) {
    SCOPED_TRACE(d->name);
    auto empty = test::make(*d);
    auto bytes = empty->protoBuffer();
    ASSERT_TRUE(bytes.has_value());
    EXPECT_TRUE(bytes->empty());
    auto decoded = test::decode_as(*d, Bytes{});
    ASSERT_TRUE(decoded);
    test::expect_same(*empty, *decoded);
  }
  auto request = CLRPBLogRequest::initWithBuffer(Bytes{});
  ASSERT_TRUE(request);
  EXPECT_TRUE(request->protoBuffer()->empty());
}

TEST(WireClasses, PopulatedMessagesSurviveTheirOwnBuffer) {
  for (const MessageDescriptor* d : test::all_messages()) {
    SCOPED_TRACE(d->name);
    auto original = test::make(*d);
    test::populate(*original, 3);
    CaptureSinks sinks;
    auto bytes = original->protoBuffer();
    ASSERT_TRUE(bytes.has_value());
    EXPECT_FALSE(bytes->empty());
    auto rebuilt = test::decode_as(*d, *bytes);
    ASSERT_TRUE(rebuilt);
    test::expect_same(*original, *rebuilt);
    EXPECT_EQ(*rebuilt->protoBuffer(), *bytes);
    EXPECT_EQ(sinks.out(), "");
    EXPECT_TRUE(sinks.log_lines().empty());
  }
}

// Walks a copied record beside its source.
void expect_private_copy(const MessageDescriptor& d, const NANOMessageInfo* copy, const NANOMessageInfo* source) {
  ASSERT_NE(copy, source);
  ASSERT_NE(copy->values, source->values);
  for (std::uint32_t i = 0; i < d.field_count; ++i) {
    SCOPED_TRACE(std::string(d.name) + "[" + std::to_string(i) + "]");
    const NANOFieldFlags f = d.flags[i];
    const void* c = copy->values[i];
    const void* s = source->values[i];
    ASSERT_EQ(c == nullptr, s == nullptr);
    if (c == nullptr) continue;
    EXPECT_NE(c, s);
    if (f & flag::repeated) {
      auto* cl = static_cast<const NANORepeatedField*>(c);
      auto* sl = static_cast<const NANORepeatedField*>(s);
      EXPECT_EQ(cl->count, sl->count);
      EXPECT_EQ(cl->cursor, 0u);
      for (std::uint32_t k = 0; k < cl->count; ++k) {
        EXPECT_NE(cl->items[k], sl->items[k]);
        if (f & flag::message) {
          expect_private_copy(*d.fields[i].type, static_cast<const NANOMessageInfo*>(cl->items[k]),
                              static_cast<const NANOMessageInfo*>(sl->items[k]));
        } else if (f & (flag::string | flag::bytes)) {
          auto* cs = static_cast<const NANOByteString*>(cl->items[k]);
          EXPECT_EQ(cs->length, static_cast<const NANOByteString*>(sl->items[k])->length);
          EXPECT_EQ(cs->bytes[cs->length], 0);
        }
      }
    } else if (f & flag::message) {
      expect_private_copy(*d.fields[i].type, static_cast<const NANOMessageInfo*>(c),
                          static_cast<const NANOMessageInfo*>(s));
    } else if (f & (flag::string | flag::bytes)) {
      auto* cs = static_cast<const NANOByteString*>(c);
      EXPECT_EQ(cs->length, static_cast<const NANOByteString*>(s)->length);
      EXPECT_EQ(cs->bytes[cs->length], 0);
    }
  }
}

TEST(WireClasses, CopyOfADecodedRecordIsPrivateAndTerminated) {
  for (const MessageDescriptor* d : {&measurement::kMeasurementBatch, &measurement::kMeasurementConfig,
                                     &diagnostics::kLogRequest, &diagnostics::kICoreConfiguration,
                                     &measurement::kAudienceLeafFilterResult}) {
    SCOPED_TRACE(d->name);
    auto original = test::make(*d);
    test::populate(*original, 3);
    const Bytes bytes = *original->protoBuffer();
    auto* decoded = static_cast<NANOMessageInfo*>(std::calloc(1, sizeof(NANOMessageInfo)));
    ASSERT_TRUE(codec::init_message_info(*d, decoded));
    ASSERT_TRUE(codec::decode(*d, bytes.data(), bytes.size(), decoded));
    auto copy = d->make(decoded);
    ASSERT_TRUE(copy);
    expect_private_copy(*d, copy->messageInfo(), decoded);
    codec::free_message_info(*d, decoded);
  }
}

TEST(WireClasses, DamagedRecordCannotBeEncoded) {
  struct Row {
    const MessageDescriptor* type;
    int index;
    const char* text;
  };
  const Row rows[] = {
      {&diagnostics::kLogRequest, 7, "<ERROR> LogRequest Encoder: 'serialized_log_events' should have been allocated\n"},
      {&diagnostics::kLogRequest, 6, "<ERROR> LogRequest Encoder: 'log_event' should have been allocated\n"},
      {&diagnostics::kLogEvent, 16, "<ERROR> LogEvent Encoder: 'test_code' should have been allocated\n"},
      {&diagnostics::kICoreConfiguration, 12,
       "<ERROR> ICoreConfiguration Encoder: 'subspec_error_info' should have been allocated\n"},
      {&measurement::kEventFilter, 2, "<ERROR> EventFilter Encoder: 'filters' should have been allocated\n"},
  };
  for (const Row& row : rows) {
    auto m = row.type->make(nullptr);
    std::free(m->messageInfo()->values[row.index]);
    m->messageInfo()->values[row.index] = nullptr;
    CaptureSinks sinks;
    EXPECT_FALSE(m->protoBuffer());
    EXPECT_EQ(sinks.out(), row.text);
  }
  // Beneath a parent the whole encode fails; the sizing pass meets it first.
  auto audience = RIDUZAudience::make();
  NANOSetArray(audience.get(), 2, Array{Value::object(RIDUZEventFilter::make())});
  auto* list = static_cast<NANORepeatedField*>(audience->messageInfo()->values[2]);
  auto* element = static_cast<NANOMessageInfo*>(list->items[0]);
  std::free(element->values[2]);
  element->values[2] = nullptr;
  CaptureSinks sinks;
  EXPECT_FALSE(audience->protoBuffer());
  EXPECT_EQ(sinks.out(), "<ERROR> EventFilter Encoder: 'filters' should have been allocated\n"
                         "<ERROR> EventFilter Encoder: 'filters' should have been allocated\n");
}

TEST(WireClasses, AllocateArraysNeedsEveryRepeatedRecord) {
  auto request = CLRPBLogRequest::make();
  std::free(request->messageInfo()->values[6]);
  request->messageInfo()->values[6] = nullptr;
  CaptureSinks sinks;
  EXPECT_FALSE(codec::allocate_arrays(diagnostics::kLogRequest, request->messageInfo()));
  EXPECT_EQ(sinks.out(), "<ERROR> Cannot allocate LogRequest arrays. Missing params field (log_event)\n");
}

TEST(WireClasses, FunctionHandOutsWorkOnAnyRecord) {
  auto event = RIDUZEvent::make();
  NANOSetString(event.get(), 1, "open");
  auto* fresh = static_cast<NANOMessageInfo*>(std::calloc(1, sizeof(NANOMessageInfo)));
  ASSERT_TRUE(event->initMessageInfoFn()(fresh));
  EXPECT_EQ(fresh->name, event->messageID());
  ASSERT_TRUE(event->copyMessageInfoFn()(&fresh, event->messageInfo()));
  auto copy = RIDUZEvent::initWithMessageInfo(fresh);
  EXPECT_EQ(NANOGetString(copy.get(), 1), "open");
  EXPECT_TRUE(event->deallocMessageFieldFn()(fresh, 1));
  EXPECT_TRUE(codec::free_message_info(measurement::kEvent, fresh));
  EXPECT_FALSE(codec::free_message_info(measurement::kEvent, nullptr));
  EXPECT_FALSE(event->copyMessageInfoFn()(nullptr, event->messageInfo()));
}

}  // namespace
}  // namespace wire
