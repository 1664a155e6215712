#include "platform/foundation/value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>

#include "platform/foundation/error.h"
#include "platform/testing/reset.h"

namespace pf = platform::foundation;
using pf::Array;
using pf::Bytes;
using pf::Date;
using pf::Dict;
using pf::Value;

namespace {

class ValueTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::testing::reset(); }
};

struct EqualityCase {
  const char* name;
  Value a, b;
  bool equal;
};

TEST_F(ValueTest, NumbersCompareAsNumbersAcrossKinds) {
  const std::int64_t max = std::numeric_limits<std::int64_t>::max();
  const EqualityCase cases[] = {
      {"true == 1", Value(true), Value(1), true},
      {"false == 0", Value(false), Value(0), true},
      {"true == 1.0", Value(true), Value(1.0), true},
      {"1 == 1.0", Value(1), Value(1.0), true},
      {"-3 == -3.0", Value(-3), Value(-3.0), true},
      {"0.0 == -0.0", Value(0.0), Value(-0.0), true},
      {"true != 2", Value(true), Value(2), false},
      {"1 != 1.5", Value(1), Value(1.5), false},
      {"max != 2^63 as real", Value(max), Value(9223372036854775808.0), false},
      {"NaN != NaN", Value(std::nan("")), Value(std::nan("")), false},
      {"\"1\" != 1", Value("1"), Value(1), false},
      {"\"true\" != true", Value("true"), Value(true), false},
      {"null == null", Value(), Value(nullptr), true},
      {"null != 0", Value(), Value(0), false},
      {"\"\" != null", Value(""), Value(), false},
      {"data by bytes", Value(Bytes{1, 2}), Value(Bytes{1, 2}), true},
      {"data differs", Value(Bytes{1, 2}), Value(Bytes{1, 3}), false},
      {"date by time", Value(Date{5.5}), Value(Date{5.5}), true},
      {"date != its number", Value(Date{5}), Value(5), false},
      {"arrays by order", Value(Array{1, 2}), Value(Array{2, 1}), false},
      {"arrays of equal numbers", Value(Array{true, 2}), Value(Array{1, 2.0}), true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.a == c.b, c.equal) << c.name;
    EXPECT_EQ(c.b == c.a, c.equal) << c.name << " (swapped)";
  }
}

TEST_F(ValueTest, KindsStayDistinctAndExactViewsDoNotCoerce) {
  EXPECT_EQ(Value(true).kind(), Value::Kind::boolean);
  EXPECT_EQ(Value(1).kind(), Value::Kind::integer);
  EXPECT_EQ(Value(1.0).kind(), Value::Kind::real);
  EXPECT_EQ(Value(std::uint32_t{7}).kind(), Value::Kind::integer);

  Value number(1), text("1");
  EXPECT_EQ(number.string(), nullptr);
  EXPECT_EQ(number.data(), nullptr);
  EXPECT_EQ(number.dict(), nullptr);
  EXPECT_FALSE(text.as_int().has_value());
  EXPECT_FALSE(text.as_bool().has_value());
  EXPECT_FALSE(Value().as_double().has_value());

  EXPECT_EQ(Value(true).as_int(), 1);
  EXPECT_EQ(Value(2.9).as_int(), 2);
  EXPECT_EQ(Value(-2.9).as_int(), -2);
  EXPECT_EQ(Value(1e30).as_int(), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(Value(0.0).as_bool(), false);
  EXPECT_EQ(Value(7).as_double(), 7.0);
}

TEST_F(ValueTest, SubscriptsGiveNullWhenAbsent) {
  Value v = Dict{{"list", Array{"a", "b"}}, {"n", 1}};
  EXPECT_EQ(*v["list"][1].string(), "b");
  EXPECT_TRUE(v["list"][2].is_null());
  EXPECT_TRUE(v["list"][-1].is_null());
  EXPECT_TRUE(v["missing"]["deeper"].is_null());
  EXPECT_TRUE(v["n"]["x"].is_null());
  EXPECT_TRUE(v[0].is_null());
}

TEST_F(ValueTest, DictKeepsInsertionOrderAndComparesWithoutOrder) {
  Dict d{{"z", 1}, {"a", 2}, {"m", 3}};
  d.set("a", 20);   // replaced in place
  d.set("b", 4);    // appended
  EXPECT_EQ(d.keys(), (std::vector<std::string>{"z", "a", "m", "b"}));
  EXPECT_EQ(d.get("a"), Value(20));
  EXPECT_TRUE(d.get("nope").is_null());

  Dict same{{"b", 4}, {"m", 3}, {"a", 20.0}, {"z", true}};
  EXPECT_EQ(d, same);
  EXPECT_TRUE(d.erase("m"));
  EXPECT_FALSE(d.erase("m"));
  EXPECT_NE(d, same);
  EXPECT_EQ(d.keys(), (std::vector<std::string>{"z", "a", "b"}));

  Value nested_a = Dict{{"x", Dict{{"p", 1}, {"q", Array{Dict{{"r", "s"}}}}}}};
  Value nested_b = Dict{{"x", Dict{{"q", Array{Dict{{"r", "s"}}}}, {"p", 1}}}};
  Value nested_c = Dict{{"x", Dict{{"q", Array{Dict{{"r", "t"}}}}, {"p", 1}}}};
  EXPECT_EQ(nested_a, nested_b);
  EXPECT_NE(nested_a, nested_c);
  EXPECT_NE(Value(Dict{{"a", 1}}), Value(Dict{{"a", 1}, {"b", Value()}}));
}

TEST_F(ValueTest, CopiesAreDeep) {
  Value original = Dict{{"list", Array{1}}};
  Value copy = original;
  copy.dict()->find("list")->array()->push_back(2);
  EXPECT_EQ(original["list"].array()->size(), 1u);
  EXPECT_EQ(copy["list"].array()->size(), 2u);
}

struct Thing {
  int n = 0;
};

TEST_F(ValueTest, ObjectsCompareByIdentityAndKeepTheirType) {
  auto p = std::make_shared<Thing>(Thing{1});
  Value a = Value::object(p), b = Value::object(p);
  Value c = Value::object(std::make_shared<Thing>(Thing{1}));
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  EXPECT_EQ(a.object<Thing>(), p);
  EXPECT_EQ(a.object<int>(), nullptr);
  const Value number(1);
  EXPECT_EQ(number.object<Thing>(), nullptr);
}

TEST_F(ValueTest, DescribeForms) {
  struct Case {
    const char* name;
    Value value;
    std::string text;
  };
  const Case cases[] = {
      {"null", Value(), "<null>"},
      {"true", Value(true), "1"},
      {"false", Value(false), "0"},
      {"integer", Value(-42), "-42"},
      {"whole real", Value(1.0), "1"},
      {"real", Value(0.1), "0.1"},
      {"top-level string raw", Value("hello world"), "hello world"},
      {"data", Value(Bytes{0xa1, 0xb2, 0xc3, 0xd4, 0xe5}), "<a1b2c3d4 e5>"},
      {"reference date", Value(Date::from_reference_date(0)), "2001-01-01 00:00:00 +0000"},
      {"date", Value(Date{1600000000.9}), "2020-09-13 12:26:40 +0000"},
      {"array", Value(Array{"a", "b c", ""}), "(\n    a,\n    \"b c\",\n    \"\"\n)"},
      {"empty array", Value(Array{}), "(\n)"},
      {"dict", Value(Dict{{"key", "value"}, {"two words", 1}}), "{\n    key = value;\n    \"two words\" = 1;\n}"},
      {"nested", Value(Dict{{"a", Array{1, Dict{{"b", Value()}}}}}),
       "{\n    a = (\n        1,\n        {\n            b = \"<null>\";\n        }\n    );\n}"},
      {"date and data inside", Value(Array{Date::from_reference_date(0), Bytes{1, 2}}),
       "(\n    \"2001-01-01 00:00:00 +0000\",\n    <0102>\n)"},
      {"quoted escapes", Value(Array{"say \"hi\"\n"}), "(\n    \"say \\\"hi\\\"\\n\"\n)"},
  };
  for (const auto& c : cases) EXPECT_EQ(pf::describe(c.value), c.text) << c.name;
}

TEST_F(ValueTest, DescribeObjects) {
  auto thing = std::make_shared<Thing>();
  EXPECT_EQ(pf::describe(Value::object(thing)), "<NSObject: " + pf::pointer_text(thing.get()) + ">");
  EXPECT_EQ(pf::describe(Array{Value::object(thing)}), "(\n    \"<NSObject: " + pf::pointer_text(thing.get()) + ">\"\n)");
  auto error = std::make_shared<pf::Error>("Domain", 7);
  EXPECT_EQ(pf::describe(Value::object(error)), error->description());
  EXPECT_EQ(pf::pointer_text(reinterpret_cast<const void*>(0xabc)), "0xabc");
}

TEST_F(ValueTest, HexAndDataDescription) {
  struct Case {
    Bytes bytes;
    std::string hex, description;
  };
  const Case cases[] = {
      {{}, "", "<>"},
      {{0x00}, "00", "<00>"},
      {{0xa1, 0xb2, 0xc3, 0xd4}, "a1b2c3d4", "<a1b2c3d4>"},
      {{0xa1, 0xb2, 0xc3, 0xd4, 0xe5, 0xf6, 0x07, 0x18, 0xff}, "a1b2c3d4e5f60718ff", "<a1b2c3d4 e5f60718 ff>"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(pf::hex_lower(c.bytes), c.hex);
    EXPECT_EQ(pf::data_description(c.bytes), c.description);
    if (!c.bytes.empty()) {
      EXPECT_EQ(pf::parse_hex(c.hex), c.bytes);
      EXPECT_EQ(pf::parse_hex(c.description), c.bytes);
    }
  }
  EXPECT_EQ(pf::parse_hex("A1b2"), (Bytes{0xa1, 0xb2}));
  for (std::string_view bad : {"", "<>", "abc", "0g", "12 3", "+1"}) EXPECT_EQ(pf::parse_hex(bad), std::nullopt) << bad;
}

TEST_F(ValueTest, Base64StandardPaddedVectors) {
  struct Case {
    std::string plain, encoded;
  };
  const Case cases[] = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
      {std::string("\xff\xfe\xfd", 3), "//79"}, {std::string("\xfb\xff", 2), "+/8="},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(pf::base64_encode(pf::to_bytes(c.plain)), c.encoded);
    auto decoded = pf::base64_decode(c.encoded);
    ASSERT_TRUE(decoded.has_value()) << c.encoded;
    EXPECT_EQ(pf::to_string(*decoded), c.plain);
  }
}

TEST_F(ValueTest, Base64RefusesMalformedText) {
  for (const char* bad : {"Zg=", "Zg", "Z===", "Zg=a", "=Zg=", "Zm9v!A==", "Zm 9v", "Zg==Zg==", "Zm9-", "Zm9_"})
    EXPECT_FALSE(pf::base64_decode(bad).has_value()) << bad;
}

}  // namespace
