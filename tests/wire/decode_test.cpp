// Decoding: nested and repeated messages, skipped tags, first-wins strings,
// the size ceiling, and bad input.

#include "platform/testing/capture.h"
#include "tests/wire/wire_test_support.h"

namespace wire {
namespace {

using test::hex;
using test::to_hex;

const NANORepeatedField* list_of(const NANOMessageBase& m, int index) {
  return static_cast<const NANORepeatedField*>(m.messageInfo()->values[index]);
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes length_delimited(std::uint8_t key, const Bytes& body) {
  Bytes out{key};
  std::size_t n = body.size();
  do {
    std::uint8_t b = n & 0x7F;
    n >>= 7;
    out.push_back(static_cast<std::uint8_t>(b | (n ? 0x80 : 0)));
  } while (n);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

TEST(WireDecode, LogRequestWithClientInfoAndOneEvent) {
  // LogEvent: tag 1 = 5, two test_code items, the second given packed.
  const Bytes event = hex("08 05 A0 01 07 A2 01 01 09");
  const Bytes ios = length_delimited(0x22, length_delimited(0x2A, Bytes{'X'}));
  const Bytes client = length_delimited(0x0A, concat({hex("08 02"), ios}));
  const Bytes request = concat({client, length_delimited(0x1A, event), hex("20 0B")});

  platform::testing::CaptureSinks sinks;
  auto m = CLRPBLogRequest::initWithBuffer(request);
  ASSERT_TRUE(m);
  EXPECT_EQ(sinks.out(), "");
  EXPECT_EQ(list_of(*m, 6)->count, 1u);
  EXPECT_EQ(list_of(*m, 6)->cursor, 0u);
  EXPECT_EQ(list_of(*m, 7)->count, 0u);
  EXPECT_EQ(NANOGetInt64(m.get(), 0), 11);

  auto events = NANOGetArray(m.get(), 6, &diagnostics::kLogEvent);
  ASSERT_TRUE(events && events->size() == 1);
  auto first = (*events)[0].object<CLRPBLogEvent>();
  ASSERT_TRUE(first);
  EXPECT_EQ(list_of(*first, 16)->count, 2u);
  EXPECT_EQ(NANOGetArray(first.get(), 16, nullptr), (Array{Value(7), Value(9)}));
  EXPECT_EQ(NANOGetInt64(first.get(), 0), 5);

  auto info = NANOGetMessage<CLRPBClientInfo>(m.get(), 2);
  ASSERT_TRUE(info);
  EXPECT_EQ(NANOGetInt32(info.get(), 0), 2);
  auto device = NANOGetMessage<CLRPBIosClientInfo>(info.get(), 3);
  ASSERT_TRUE(device);
  EXPECT_EQ(NANOGetString(device.get(), 4), "X");
}

TEST(WireDecode, AbsentSubMessagesStayAbsent) {
  // No tag 1: the prepared ClientInfo is released (the leak checker sees it).
  auto request = CLRPBLogRequest::initWithBuffer(hex("20 01"));
  ASSERT_TRUE(request);
  EXPECT_FALSE(NANOHasField(request.get(), 2));
  EXPECT_EQ(request->messageInfo()->values[2], nullptr);

  // ClientInfo without tag 4 keeps ClientInfo but has no index 3.
  auto with_client = CLRPBLogRequest::initWithBuffer(hex("0A 02 08 01"));
  ASSERT_TRUE(with_client);
  auto client = NANOGetMessage<CLRPBClientInfo>(with_client.get(), 2);
  ASSERT_TRUE(client);
  EXPECT_EQ(NANOGetInt32(client.get(), 0), 1);
  EXPECT_FALSE(NANOHasField(client.get(), 3));

  // A property filter without its Filter.
  auto property = RIDUZPropertyFilter::initWithBuffer(hex("08 04"));
  ASSERT_TRUE(property);
  EXPECT_FALSE(NANOHasField(property.get(), 2));
}

TEST(WireDecode, UnknownAndExtensionTagsAreSkipped) {
  struct Row {
    const MessageDescriptor* type;
    const char* input;
    const char* reencoded;
  };
  const Row rows[] = {
      {&diagnostics::kLogEvent, "08 01 C0 3E 05 C2 3E 01 41", "08 01"},                       // tags 1000, 1000
      {&diagnostics::kLogEvent, "F8 FF FF FF 0F 01 08 02", "08 02"},                          // tag 2^29 - 1
      {&diagnostics::kLogRequest, "C8 3E 07 20 03", "20 03"},                                 // tag 1001
      {&measurement::kMeasurementBundle, "A0 02 09 A2 02 01 41 08 01", "08 01"},              // tag 36
      {&measurement::kMeasurementBundle, "B0 02 01 C0 02 01 08 01", "08 01"},                 // tags 38, 40
      {&measurement::kSetting, "1D 00 00 80 3F 0A 01 6B", "0A 01 6B"},                         // tag 3 fixed32
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.input);
    auto m = test::decode_as(*row.type, hex(row.input));
    ASSERT_TRUE(m);
    EXPECT_EQ(to_hex(*m->protoBuffer()), to_hex(hex(row.reencoded)));
  }
}

TEST(WireDecode, RepeatedSingularStringKeepsItsFirstValue) {
  auto event = RIDUZEvent::initWithBuffer(hex("12 05 66 69 72 73 74 12 06 73 65 63 6F 6E 64"));
  ASSERT_TRUE(event);
  EXPECT_EQ(NANOGetString(event.get(), 1), "first");
  // The same inside a two-pass decode of a repeated element.
  auto bundle = RIDUZMeasurementBundle::initWithBuffer(hex("12 08 12 01 61 12 01 62 18 01"));
  ASSERT_TRUE(bundle);
  auto events = NANOGetArray(bundle.get(), 1, &measurement::kEvent);
  ASSERT_EQ(events->size(), 1u);
  EXPECT_EQ(NANOGetString((*events)[0].object<RIDUZEvent>().get(), 1), "a");
}

TEST(WireDecode, StringFieldCeilingIsOneMebibyte) {
  const Bytes at_limit = length_delimited(0x1A, Bytes(1048576, 'z'));
  platform::testing::CaptureSinks sinks;
  auto ok = FIRPBErrorInfo::initWithBuffer(at_limit);
  ASSERT_TRUE(ok);
  EXPECT_EQ(NANOGetString(ok.get(), 2)->size(), 1048576u);
  EXPECT_EQ(sinks.out(), "");

  const Bytes over = length_delimited(0x1A, Bytes(1048577, 'z'));
  EXPECT_FALSE(FIRPBErrorInfo::initWithBuffer(over));
  EXPECT_EQ(sinks.out(),
            "Unable to process proto stream. Buffer is too big. 1048577 > 1048576"
            "<ERROR> ErrorInfo decoder failed: callback failed\n");

  // Inside a repeated element the first pass only counts; the element's own
  // decode meets the ceiling.
  sinks.clear();
  const Bytes nested = length_delimited(0x22, length_delimited(0x0A, Bytes(1048577, 'z')));
  EXPECT_FALSE(RIDUZMeasurementConfig::initWithBuffer(nested));
  EXPECT_EQ(sinks.out(),
            "Unable to process proto stream. Buffer is too big. 1048577 > 1048576"
            "<ERROR> Setting decoder failed: callback failed\n"
            "<ERROR> Setting decoder failed: Unable to decode repeated Setting\n"
            "<ERROR> MeasurementConfig decoder failed: callback failed\n");
}

TEST(WireDecode, UndecodableElementPrintsElementTextsThenParentLine) {
  // Audience tag 2 holds a PropertyFilter whose varint runs past its end.
  platform::testing::CaptureSinks sinks;
  EXPECT_FALSE(RIDUZAudience::initWithBuffer(hex("08 01 12 02 08 80")));
  EXPECT_EQ(sinks.out(),
            "<ERROR> PropertyFilter decoder failed: end-of-stream\n"
            "<ERROR> PropertyFilter decoder failed: Unable to decode repeated PropertyFilter\n"
            "<ERROR> Audience decoder failed: callback failed\n");
}

TEST(WireDecode, NegativeTenByteVarintForUnsignedFieldFails) {
  platform::testing::CaptureSinks sinks;
  EXPECT_FALSE(RIDUZNumberFilter::initWithBuffer(hex("08 FF FF FF FF FF FF FF FF FF 01")));
  EXPECT_EQ(sinks.out(), "<ERROR> NumberFilter decoder failed: integer too large\n");
  // A repeated enum item takes any varint and keeps its low 32 bits.
  auto core = FIRPBICoreConfiguration::initWithBuffer(hex("30 FF FF FF FF FF FF FF FF FF 01"));
  ASSERT_TRUE(core);
  EXPECT_EQ(NANOGetArray(core.get(), 8, nullptr), Array{Value(-1)});
}

TEST(WireDecode, EmptyInputGivesAnEmptyMessage) {
  for (const MessageDescriptor* d : test::all_messages()) {
    SCOPED_TRACE(d->name);
    auto m = test::decode_as(*d, Bytes{});
    ASSERT_TRUE(m);
    for (std::uint32_t i = 0; i < d->field_count; ++i) {
      if (d->flags[i] & flag::repeated) {
        EXPECT_EQ(list_of(*m, static_cast<int>(i))->count, 0u);
        EXPECT_EQ(list_of(*m, static_cast<int>(i))->items, nullptr);
      } else {
        EXPECT_FALSE(NANOHasField(m.get(), static_cast<std::int32_t>(i)));
      }
    }
  }
}

TEST(WireDecode, TruncatedAndGarbageInputGiveNull) {
  // A populated batch, cut at every length, and a few garbage buffers.
  auto batch = RIDUZMeasurementBatch::make();
  test::populate(*batch, 3);
  const Bytes full = *batch->protoBuffer();
  platform::testing::CaptureSinks sinks;
  int refused = 0;
  for (std::size_t n = 0; n < full.size(); n += 7) {
    Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
    if (!RIDUZMeasurementBatch::initWithBuffer(cut)) ++refused;
  }
  EXPECT_GT(refused, 0);
  for (const char* garbage : {"FF", "0A FF FF FF FF 0F", "0B", "0A 05 01", "12 80 80 80 80 80 80 80 80 80 80 01",
                              "0F 00", "0A 03 0A 01"}) {
    SCOPED_TRACE(garbage);
    // Every type either decodes or refuses; the sanitizer run checks for leaks.
    for (const MessageDescriptor* d : test::all_messages()) (void)test::decode_as(*d, hex(garbage));
  }
  EXPECT_FALSE(RIDUZMeasurementBatch::initWithBuffer(hex("0A 05 01")));
  EXPECT_FALSE(CLRPBLogRequest::initWithBuffer(hex("0A FF FF FF FF 0F")));
}

}  // namespace
}  // namespace wire

namespace wire {
namespace {

TEST(WireDecode, CopiesKeepThirtyTwoBitsOfThirtyTwoBitItems) {
  // A ten-byte -1 decodes into a 64-bit cell; the class's copy keeps the low
  // 32 bits of a 32-bit item and all 64 of a 64-bit one.
  auto event = CLRPBLogEvent::initWithBuffer(test::hex("A0 01 FF FF FF FF FF FF FF FF FF 01"));
  ASSERT_TRUE(event);
  EXPECT_EQ(test::to_hex(*event->protoBuffer()), "A0 01 FF FF FF FF 0F");
  auto results = RIDUZResultData::initWithBuffer(test::hex("10 FF FF FF FF FF FF FF FF FF 01"));
  ASSERT_TRUE(results);
  EXPECT_EQ(test::to_hex(*results->protoBuffer()), "10 FF FF FF FF FF FF FF FF FF 01");
}

}  // namespace
}  // namespace wire
