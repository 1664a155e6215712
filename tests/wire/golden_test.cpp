// Golden byte vectors in both directions, and the encoded form read back by
// protoc's raw decoder.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>

#include "platform/testing/capture.h"
#include "tests/wire/wire_test_support.h"

namespace wire {
namespace {

using test::hex;
using test::to_hex;

const NANOByteString* byte_string(const NANOMessageBase& m, int index) {
  return static_cast<const NANOByteString*>(m.messageInfo()->values[index]);
}

struct Golden {
  const char* name;
  const MessageDescriptor* type;
  std::function<void(NANOMessageBase&)> fill;
  const char* bytes;
  std::function<void(const NANOMessageBase&)> check;  // on the decoded message
};

TEST(WireGolden, EncodesAndDecodesTheTabledBytes) {
  const Golden cases[] = {
      {"bundle index 6 carries tag 26", &measurement::kMeasurementBundle,
       [](NANOMessageBase& m) { NANOSetInt64(&m, 6, 5); }, "D0 01 05",
       [](const NANOMessageBase& m) {
         EXPECT_EQ(NANOGetInt64(&m, 6), 5);
         EXPECT_FALSE(NANOHasField(&m, 7));
       }},
      {"bundle index 20 carries tag 27", &measurement::kMeasurementBundle,
       [](NANOMessageBase& m) { NANOSetString(&m, 20, "v"); }, "DA 01 01 76",
       [](const NANOMessageBase& m) { EXPECT_EQ(NANOGetString(&m, 20), "v"); }},
      {"bundle index 21 carries tag 20", &measurement::kMeasurementBundle,
       [](NANOMessageBase& m) { NANOSetBool(&m, 21, true); }, "A0 01 01",
       [](const NANOMessageBase& m) { EXPECT_TRUE(NANOGetBool(&m, 21)); }},
      {"bundle index 35 carries tag 39", &measurement::kMeasurementBundle,
       [](NANOMessageBase& m) { NANOSetInt32(&m, 35, 3); }, "B8 02 03",
       [](const NANOMessageBase& m) { EXPECT_EQ(NANOGetInt32(&m, 35), 3); }},
      {"bundle index 36 carries tag 41", &measurement::kMeasurementBundle,
       [](NANOMessageBase& m) { NANOSetString(&m, 36, "a"); }, "CA 02 01 61",
       [](const NANOMessageBase& m) { EXPECT_EQ(NANOGetString(&m, 36), "a"); }},
      {"log event index 12 is zig-zag", &diagnostics::kLogEvent,
       [](NANOMessageBase& m) { NANOSetInt64(&m, 12, -1); }, "78 01",
       [](const NANOMessageBase& m) { EXPECT_EQ(NANOGetInt64(&m, 12), -1); }},
      {"test_code item -1 is five bytes", &diagnostics::kLogEvent,
       [](NANOMessageBase& m) { NANOSetArray(&m, 16, Array{Value(-1)}); }, "A0 01 FF FF FF FF 0F",
       [](const NANOMessageBase& m) { EXPECT_EQ(NANOGetArray(&m, 16, nullptr), Array{Value(-1)}); }},
      {"core configuration index 0 is tag 16, index 1 tag 1", &diagnostics::kICoreConfiguration,
       [](NANOMessageBase& m) {
         NANOSetInt32(&m, 0, 2);
         NANOSetInt32(&m, 1, 3);
       },
       "08 03 80 01 02",
       [](const NANOMessageBase& m) {
         EXPECT_EQ(NANOGetInt32(&m, 0), 2);
         EXPECT_EQ(NANOGetInt32(&m, 1), 3);
       }},
      {"log source -1 is a signed varint", &diagnostics::kLogRequest,
       [](NANOMessageBase& m) { NANOSetInt32(&m, 3, -1); }, "10 FF FF FF FF FF FF FF FF FF 01",
       [](const NANOMessageBase& m) { EXPECT_EQ(NANOGetInt32(&m, 3), -1); }},
      {"number filter enum -1 is unsigned", &measurement::kNumberFilter,
       [](NANOMessageBase& m) { NANOSetInt32(&m, 0, -1); }, "08 FF FF FF FF 0F",
       [](const NANOMessageBase& m) { EXPECT_EQ(NANOGetInt32(&m, 0), -1); }},
      {"repeated enum item -1 is unsigned", &diagnostics::kICoreConfiguration,
       [](NANOMessageBase& m) { NANOSetArray(&m, 8, Array{Value(-1), Value(2)}); }, "30 FF FF FF FF 0F 30 02",
       [](const NANOMessageBase& m) { EXPECT_EQ(NANOGetArray(&m, 8, nullptr), (Array{Value(-1), Value(2)})); }},
      {"singular int32 -1 takes ten bytes", &measurement::kEvent,
       [](NANOMessageBase& m) { NANOSetInt32(&m, 4, -1); }, "28 FF FF FF FF FF FF FF FF FF 01",
       [](const NANOMessageBase& m) { EXPECT_EQ(NANOGetInt32(&m, 4), -1); }},
      {"uint64 items", &measurement::kResultData,
       [](NANOMessageBase& m) { NANOSetArray(&m, 0, Array{Value(-1), Value(5)}); },
       "08 FF FF FF FF FF FF FF FF FF 01 08 05",
       [](const NANOMessageBase& m) { EXPECT_EQ(NANOGetArray(&m, 0, nullptr), (Array{Value(-1), Value(5)})); }},
      {"event param float and double", &measurement::kEventParam,
       [](NANOMessageBase& m) {
         NANOSetFloatValue(&m.messageInfo()->values[3], 1.5f);
         NANOSetDouble(&m, 4, 2.0);
       },
       "25 00 00 C0 3F 29 00 00 00 00 00 00 00 40",
       [](const NANOMessageBase& m) {
         float f;
         std::memcpy(&f, m.messageInfo()->values[3], sizeof f);
         EXPECT_EQ(f, 1.5f);
         EXPECT_EQ(NANOGetDouble(&m, 4), 2.0);
       }},
      {"user attribute float", &measurement::kUserAttribute,
       [](NANOMessageBase& m) { NANOSetFloatValue(&m.messageInfo()->values[4], -2.0f); }, "2D 00 00 00 C0",
       [](const NANOMessageBase& m) {
         float f;
         std::memcpy(&f, m.messageInfo()->values[4], sizeof f);
         EXPECT_EQ(f, -2.0f);
       }},
      {"log event bytes fields", &diagnostics::kLogEvent,
       [](NANOMessageBase& m) {
         NANOSetBytes(&m, 7, Bytes{1, 2});
         NANOSetBytes(&m, 8, Bytes{});
         NANOSetBytes(&m, 13, Bytes{0});
       },
       "22 02 01 02 32 00 92 01 01 00",
       [](const NANOMessageBase& m) {
         ASSERT_NE(byte_string(m, 7), nullptr);
         EXPECT_EQ(byte_string(m, 7)->length, 2u);
         EXPECT_EQ(byte_string(m, 7)->bytes[1], 2);
         ASSERT_NE(byte_string(m, 8), nullptr);  // present and empty
         EXPECT_EQ(byte_string(m, 8)->length, 0u);
         EXPECT_NE(byte_string(m, 8)->bytes, nullptr);
         EXPECT_EQ(byte_string(m, 13)->length, 1u);
       }},
      {"empty message", &diagnostics::kLogRequest, [](NANOMessageBase&) {}, "",
       [](const NANOMessageBase& m) { EXPECT_FALSE(NANOHasField(&m, 2)); }},
  };
  for (const Golden& c : cases) {
    SCOPED_TRACE(c.name);
    auto m = test::make(*c.type);
    c.fill(*m);
    auto encoded = m->protoBuffer();
    ASSERT_TRUE(encoded.has_value());
    EXPECT_EQ(to_hex(*encoded), to_hex(hex(c.bytes)));
    auto decoded = test::decode_as(*c.type, hex(c.bytes));
    ASSERT_TRUE(decoded);
    c.check(*decoded);
    EXPECT_EQ(to_hex(*decoded->protoBuffer()), to_hex(hex(c.bytes)));
  }
}

// Runs protoc's raw decoder over the bytes and answers its text.
std::string decode_raw(const Bytes& bytes) {
  auto path = std::filesystem::temp_directory_path() / ("wire_raw_" + std::to_string(::getpid()) + ".bin");
  {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  std::string command = "protoc --decode_raw < " + path.string();
  std::string text;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
    EXPECT_EQ(::pclose(pipe), 0);
  }
  std::filesystem::remove(path);
  return text;
}

TEST(WireGolden, ProtocReadsAMeasurementBatch) {
  auto param = RIDUZEventParam::make();
  NANOSetString(param.get(), 0, "currency");
  NANOSetString(param.get(), 1, "EUR");
  auto event = RIDUZEvent::make();
  NANOSetString(event.get(), 1, "purchase");
  NANOSetInt64(event.get(), 2, 1700000000123);
  NANOSetArray(event.get(), 0, Array{Value::object(param), Value::object(param)});
  auto bundle = RIDUZMeasurementBundle::make();
  NANOSetInt32(bundle.get(), 0, 1);
  NANOSetInt64(bundle.get(), 6, 1699999999000);
  NANOSetString(bundle.get(), 8, "ios");
  NANOSetString(bundle.get(), 20, "vendor-1");
  NANOSetInt32(bundle.get(), 35, 2);
  NANOSetArray(bundle.get(), 1, Array{Value::object(event)});
  auto batch = RIDUZMeasurementBatch::make();
  NANOSetArray(batch.get(), 0, Array{Value::object(bundle)});

  const std::string text = decode_raw(*batch->protoBuffer());
  for (const char* expected : {"1 {", "2 {", "1: \"currency\"", "2: \"EUR\"", "2: \"purchase\"", "3: 1700000000123",
                               "26: 1699999999000", "8: \"ios\"", "27: \"vendor-1\"", "39: 2"}) {
    EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
  }
  // Two parameters, each with its own tag.
  EXPECT_NE(text.find("1: \"currency\""), text.rfind("1: \"currency\""));
}

TEST(WireGolden, ProtocReadsALogRequest) {
  auto ios = CLRPBIosClientInfo::make();
  NANOSetString(ios.get(), 4, "iPhone10,3");
  auto client = CLRPBClientInfo::make();
  NANOSetInt32(client.get(), 0, 2);
  NANOSetMessage(client.get(), 3, ios.get());
  auto event = CLRPBLogEvent::make();
  NANOSetInt64(event.get(), 0, 1234);
  NANOSetInt64(event.get(), 12, -3600);
  NANOSetArray(event.get(), 16, Array{Value(7), Value(-1)});
  auto request = CLRPBLogRequest::make();
  NANOSetMessage(request.get(), 2, client.get());
  NANOSetInt32(request.get(), 3, 137);
  NANOSetInt64(request.get(), 0, 1700000000000);
  NANOSetArray(request.get(), 6, Array{Value::object(event)});
  NANOSetArray(request.get(), 7, Array{Value(Bytes{'h', 'i', '!'})});

  const std::string text = decode_raw(*request->protoBuffer());
  for (const char* expected : {"1 {", "1: 2", "4 {", "5: \"iPhone10,3\"", "2: 137", "3 {", "1: 1234",
                               "15: 7199", "20: 7", "20: 4294967295", "4: 1700000000000", "5: \"hi!\""}) {
    EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
  }
}

}  // namespace
}  // namespace wire
