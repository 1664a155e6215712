// Encoded-message surgery against the message classes: scanning, tag-ordered
// replacement compared with set-and-encode, and the decodability check
// compared with the decoder.

#include "tests/wire/wire_test_support.h"
#include "wire/runtime/encoded_fields.h"

namespace wire {
namespace {

using test::hex;

TEST(EncodedFields, ScanReadsEveryTopLevelFieldAndRefusesMalformedBytes) {
  // 1: varint 150, 2: "ab", 3: fixed64, 4: fixed32.
  const Bytes bytes = hex("089601" "12026162" "190102030405060708" "2501020304");
  const auto fields = NANOScanFields(bytes);
  ASSERT_TRUE(fields);
  ASSERT_EQ(fields->size(), 4u);
  EXPECT_EQ((*fields)[0].tag, 1u);
  EXPECT_EQ((*fields)[0].size, 3u);
  EXPECT_EQ((*fields)[1].wire_type, kWireLengthDelimited);
  EXPECT_EQ((*fields)[1].value_offset, 5u);
  EXPECT_EQ((*fields)[1].value_size, 2u);
  EXPECT_EQ((*fields)[2].size, 9u);
  EXPECT_EQ((*fields)[3].offset, 16u);
  EXPECT_EQ(NANOFindLengthDelimited(bytes, *fields, 2), "ab");
  EXPECT_EQ(NANOFindLengthDelimited(bytes, *fields, 1), std::nullopt);  // not length-delimited

  struct Case {
    const char* name;
    const char* bytes;
  };
  const Case malformed[] = {
      {"truncated varint", "0896"},     {"length past the end", "120361"}, {"truncated fixed64", "1901020304"},
      {"truncated fixed32", "250102"},  {"group start", "0b"},             {"tag zero", "0001"},
      {"wire type 7", "0f00"},          {"key past the end", "80"},
  };
  for (const auto& c : malformed) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(NANOScanFields(hex(c.bytes)));
  }
  EXPECT_TRUE(NANOScanFields(Bytes{}));
}

TEST(EncodedFields, ReplacementWritesWhatTheMessageClassesEncode) {
  // A bundle with fields below, between and above the replaced tags.
  auto base = RIDUZMeasurementBundle::make();
  NANOSetInt32(base.get(), 0, 1);              // tag 1
  NANOSetString(base.get(), 8, "ios");          // tag 8
  NANOSetString(base.get(), 14, "app");         // tag 14
  NANOSetInt64(base.get(), 17, 50300);          // tag 17
  NANOSetString(base.get(), 19, "ad");          // tag 19
  NANOSetInt32(base.get(), 24, 7);              // tag 23
  auto event = RIDUZEvent::make();
  NANOSetString(event.get(), 1, "e");
  NANOSetArray(base.get(), 1, Array{Value::object(event), Value::object(event)});  // tag 2, twice

  struct Case {
    const char* name;
    std::int64_t uploadTime;   // index 3, tag 4
    std::int64_t libraryAtUpload;  // index 18, tag 18
    std::int32_t retries;          // index 35, tag 39 (0: left alone)
    bool preset;                   // the fields already hold other values
  };
  const Case cases[] = {
      {"absent fields", 1600000000123, 50300, 0, false},
      {"present fields replaced", 1600000000999, 50301, 3, true},
      {"negative values as ten-byte varints", -5, -1, -2, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto message = RIDUZMeasurementBundle::initWithMessageInfo(base->messageInfo());
    if (c.preset) {
      NANOSetInt64(message.get(), 3, 1);
      NANOSetInt64(message.get(), 18, 2);
      NANOSetInt32(message.get(), 35, 9);
    }
    const auto before = message->protoBuffer();
    ASSERT_TRUE(before);
    NANOSetInt64(message.get(), 3, c.uploadTime);
    NANOSetInt64(message.get(), 18, c.libraryAtUpload);
    if (c.retries != 0) NANOSetInt32(message.get(), 35, c.retries);
    const auto expected = message->protoBuffer();
    ASSERT_TRUE(expected);

    Bytes time, library, retry;
    NANOAppendVarintField(time, 4, static_cast<std::uint64_t>(c.uploadTime));
    NANOAppendVarintField(library, 18, static_cast<std::uint64_t>(c.libraryAtUpload));
    NANOAppendVarintField(retry, 39, static_cast<std::uint64_t>(static_cast<std::int64_t>(c.retries)));
    std::vector<NANOFieldReplacement> replacements{{4, time}, {18, library}};
    if (c.retries != 0) replacements.push_back({39, retry});
    const auto fields = NANOScanFields(*before);
    ASSERT_TRUE(fields);
    Bytes out;
    ASSERT_TRUE(NANOReplaceFields(*before, *fields, replacements, out));
    EXPECT_EQ(test::to_hex(out), test::to_hex(*expected));
  }
}

TEST(EncodedFields, SplicedRepeatedFieldAndLengthDelimitedHelpersMatchTheEncoder) {
  auto head = RIDUZMeasurementBundle::make();
  NANOSetInt32(head.get(), 0, 1);           // tag 1, before the events
  NANOSetString(head.get(), 14, "app");     // after them
  std::vector<std::shared_ptr<RIDUZEvent>> events;
  Bytes spliced;
  for (const std::string& name : {std::string("a"), std::string(), std::string(200, 'x')}) {
    auto event = RIDUZEvent::make();
    NANOSetString(event.get(), 1, name);
    NANOSetInt64(event.get(), 2, 1000);
    const auto bytes = event->protoBuffer();
    ASSERT_TRUE(bytes);
    EXPECT_EQ(NANOLengthDelimitedFieldSize(2, bytes->size()), bytes->size() + 1 + (bytes->size() < 128 ? 1 : 2));
    NANOAppendLengthDelimitedField(spliced, 2, *bytes);
    events.push_back(event);
  }
  const auto headBytes = head->protoBuffer();
  ASSERT_TRUE(headBytes);
  const auto fields = NANOScanFields(*headBytes);
  ASSERT_TRUE(fields);
  const NANOFieldReplacement replacement{2, spliced};
  Bytes out;
  ASSERT_TRUE(NANOReplaceFields(*headBytes, *fields, std::span(&replacement, 1), out));

  Array items;
  for (const auto& event : events) items.push_back(Value::object(event));
  NANOSetArray(head.get(), 1, items);
  const auto expected = head->protoBuffer();
  ASSERT_TRUE(expected);
  EXPECT_EQ(test::to_hex(out), test::to_hex(*expected));
}

TEST(EncodedFields, DecodabilityAgreesWithTheDecoder) {
  // Every message type, filled and encoded by the runtime: decodable.
  for (const MessageDescriptor* type : test::all_messages()) {
    SCOPED_TRACE(type->class_name);
    auto message = test::make(*type);
    test::populate(*message, 2);
    const auto bytes = message->protoBuffer();
    ASSERT_TRUE(bytes);
    EXPECT_TRUE(NANOIsDecodable(*type, *bytes));
    EXPECT_TRUE(test::decode_as(*type, *bytes));
  }

  const auto& bundle = RIDUZMeasurementBundle::type();
  struct Case {
    const char* name;
    const char* bytes;
    bool decodable;
  };
  const Case cases[] = {
      {"empty", "", true},
      {"unknown field skipped", "f80301", true},
      {"string with a varint wire type: read from the value", "4001", true},  // tag 8
      {"event with a varint wire type: not a message", "1001", false},         // tag 2
      {"int32 with a length-delimited wire type", "0a0101", false},         // tag 1
      {"event with a truncated inner field", "12020a05", false},           // tag 2 -> params
      {"event with a well-formed inner field", "1203120161", true},        // tag 2 -> name "a"
      {"audience result with packed status bits", "ea010612040a020101", true},  // tag 29 -> 2 -> 1, packed
      {"truncated top level", "0896", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes bytes = hex(c.bytes);
    EXPECT_EQ(NANOIsDecodable(bundle, bytes), c.decodable);
    EXPECT_EQ(test::decode_as(bundle, bytes) != nullptr, c.decodable);
  }
}

}  // namespace
}  // namespace wire
