#include "platform/foundation/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>

#include "platform/testing/reset.h"

namespace pf = platform::foundation;
namespace json = platform::foundation::json;
using pf::Array;
using pf::Bytes;
using pf::Date;
using pf::Dict;
using pf::Value;

namespace {

class JsonTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::testing::reset(); }
};

std::string json_text(const pf::Expected<Bytes>& bytes) { return pf::to_string(*bytes); }

// Kind-by-kind comparison: Value's == treats true, 1 and 1.0 as equal.
bool json_same_kinds(const Value& a, const Value& b) {
  if (a.kind() != b.kind()) return false;
  if (const Array* x = a.array()) {
    const Array* y = b.array();
    if (x->size() != y->size()) return false;
    for (std::size_t i = 0; i < x->size(); ++i)
      if (!json_same_kinds((*x)[i], (*y)[i])) return false;
  }
  if (const Dict* x = a.dict()) {
    if (x->keys() != b.dict()->keys()) return false;
    for (const auto& [key, value] : *x)
      if (!json_same_kinds(value, b[key])) return false;
  }
  return a == b;
}

void expect_cocoa_error(const pf::Error& e, std::int64_t code) {
  EXPECT_EQ(e.domain, "NSCocoaErrorDomain");
  EXPECT_EQ(e.code, code);
  const std::string* why = e.user_info.get("NSDebugDescription").string();
  ASSERT_NE(why, nullptr);
  EXPECT_FALSE(why->empty());
}

// ---- writer -------------------------------------------------------------------

TEST_F(JsonTest, WriterBytes) {
  const json::WriteOptions compact{}, pretty{.pretty = true}, sorted{.sorted_keys = true},
      pretty_sorted{.pretty = true, .sorted_keys = true};
  struct Case {
    const char* name;
    Value value;
    json::WriteOptions options;
    std::string bytes;
  };
  const Case cases[] = {
      {"compact keeps insertion order", Dict{{"b", 1}, {"a", true}, {"c", Value()}}, compact, R"({"b":1,"a":true,"c":null})"},
      {"sorted", Dict{{"b", 1}, {"a", true}, {"c", Value()}}, sorted, R"({"a":true,"b":1,"c":null})"},
      {"sorted by bytes", Dict{{"b", 1}, {"\xc3\xa9", 2}, {"aa", 3}, {"B", 4}, {"a", 5}}, sorted,
       "{\"B\":4,\"a\":5,\"aa\":3,\"b\":1,\"\xc3\xa9\":2}"},
      {"sorted nested", Dict{{"z", Dict{{"y", 1}, {"x", 2}}}, {"a", Array{Dict{{"k", 1}, {"j", 2}}}}}, sorted,
       R"({"a":[{"j":2,"k":1}],"z":{"x":2,"y":1}})"},
      {"pretty", Dict{{"b", 1}, {"a", Array{true, Dict{{"x", "y"}}}}}, pretty,
       "{\n  \"b\" : 1,\n  \"a\" : [\n    true,\n    {\n      \"x\" : \"y\"\n    }\n  ]\n}"},
      {"pretty sorted", Dict{{"b", 1}, {"a", 2}}, pretty_sorted, "{\n  \"a\" : 2,\n  \"b\" : 1\n}"},
      {"pretty empty containers", Array{Array{}, Dict{}}, pretty, "[\n  [\n\n  ],\n  {\n\n  }\n]"},
      {"compact empty containers", Array{Array{}, Dict{}}, compact, "[[],{}]"},
      {"slash escaped", Array{"a/b", "</script>"}, compact, R"(["a\/b","<\/script>"])"},
      {"booleans are words", Array{true, false}, compact, "[true,false]"},
      {"integers plain", Array{0, -1, std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::int64_t>::min()},
       compact, "[0,-1,9223372036854775807,-9223372036854775808]"},
      {"reals shortest", Array{1.0, -2.0, 0.1, 1.5, 1.0 / 3, 1e21, 1e-7, 123456789012.0}, compact,
       "[1,-2,0.1,1.5,0.3333333333333333,1e+21,1e-07,123456789012]"},
      {"escapes", Array{std::string("\"\\\b\f\n\r\t\x01\x1f\x7f", 10)}, compact, R"(["\"\\\b\f\n\r\t\u0001\u001f)" "\x7f" R"("])"},
      {"NUL", Array{std::string("a\0b", 3)}, compact, R"(["a\u0000b"])"},
      {"UTF-8 passes through", Array{"caf\xc3\xa9 \xf0\x9f\x98\x80 \xe2\x80\xa8"}, compact,
       "[\"caf\xc3\xa9 \xf0\x9f\x98\x80 \xe2\x80\xa8\"]"},
      {"keys escaped", Dict{{"a/\"b", 1}}, compact, R"({"a\/\"b":1})"},
  };
  for (const auto& c : cases) {
    auto out = json::serialize(c.value, c.options);
    ASSERT_TRUE(out.has_value()) << c.name << ": " << out.error().description();
    EXPECT_EQ(json_text(out), c.bytes) << c.name;
  }
}

TEST_F(JsonTest, RegistrationBodyIsOneCompactLine) {
  auto out = json::serialize(Dict{{"player-id", "8d1c2f3e-0b4a-4c55-9e43-2f1a7b9c0d11"}});
  ASSERT_TRUE(out.has_value());
  EXPECT_EQ(json_text(out), R"({"player-id":"8d1c2f3e-0b4a-4c55-9e43-2f1a7b9c0d11"})");
  EXPECT_EQ(json_text(json::serialize(Dict{})), "{}");
}

TEST_F(JsonTest, FragmentsOnlyWithTheOption) {
  const json::WriteOptions fragments{.fragments_allowed = true};
  struct Case {
    Value value;
    std::string bytes;
  };
  const Case cases[] = {{Value("x/y"), R"("x\/y")"}, {Value(1.0), "1"}, {Value(true), "true"}, {Value(), "null"}, {Value(-7), "-7"}};
  for (const auto& c : cases) {
    auto refused = json::serialize(c.value);
    ASSERT_FALSE(refused.has_value()) << c.bytes;
    expect_cocoa_error(refused.error(), 3851);
    EXPECT_FALSE(json::is_valid_object(c.value));
    EXPECT_EQ(json_text(json::serialize(c.value, fragments)), c.bytes);

    EXPECT_FALSE(json::parse(c.bytes).has_value()) << c.bytes;
    auto parsed = json::parse(c.bytes, {.allow_fragments = true});
    ASSERT_TRUE(parsed.has_value()) << c.bytes;
    EXPECT_TRUE(json_same_kinds(*parsed, c.value.is_real() ? Value(1) : c.value)) << c.bytes;
  }
  expect_cocoa_error(json::parse("12").error(), 3840);
}

TEST_F(JsonTest, WhatIsNotJsonIsRefusedNeverWrittenAsNull) {
  struct Case {
    const char* name;
    Value leaf;
  };
  const Case cases[] = {
      {"NaN", Value(std::nan(""))},
      {"infinity", Value(std::numeric_limits<double>::infinity())},
      {"-infinity", Value(-std::numeric_limits<double>::infinity())},
      {"data", Value(Bytes{1, 2, 3})},
      {"date", Value(Date{0})},
      {"object", Value::object(std::make_shared<int>(1))},
      {"invalid UTF-8", Value(std::string("\xc3(", 2))},
      {"surrogate in UTF-8", Value(std::string("\xed\xa0\x80", 3))},
  };
  for (const auto& c : cases) {
    for (const Value& holder : {Value(Array{1, c.leaf}), Value(Dict{{"ok", 1}, {"bad", Dict{{"deeper", c.leaf}}}})}) {
      EXPECT_FALSE(json::is_valid_object(holder)) << c.name;
      for (bool pretty : {false, true}) {
        auto out = json::serialize(holder, {.pretty = pretty});
        ASSERT_FALSE(out.has_value()) << c.name;
        expect_cocoa_error(out.error(), 3851);
      }
    }
    EXPECT_FALSE(json::serialize(c.leaf, {.fragments_allowed = true}).has_value()) << c.name;
  }
  auto bad_key = json::serialize(Dict{{std::string("\xff", 1), 1}});
  ASSERT_FALSE(bad_key.has_value());
  EXPECT_EQ(bad_key.error().code, 3851);
}

TEST_F(JsonTest, ValidObjects) {
  EXPECT_TRUE(json::is_valid_object(Dict{}));
  EXPECT_TRUE(json::is_valid_object(Array{}));
  EXPECT_TRUE(json::is_valid_object(Dict{{"a", Array{1, 2.5, true, Value(), "s", Dict{{"b", Array{}}}}}}));
}

// ---- reader -------------------------------------------------------------------

TEST_F(JsonTest, ReaderKeepsNumberKinds) {
  auto v = json::parse("[true, false, 1, -0, 1.0, 1e2, 0.5, 9223372036854775807, 9223372036854775808, "
                       "-9223372036854775808, 18446744073709551616, null]");
  ASSERT_TRUE(v.has_value()) << v.error().description();
  const Array& a = *v->array();
  ASSERT_EQ(a.size(), 12u);
  using K = Value::Kind;
  const K kinds[] = {K::boolean, K::boolean, K::integer, K::integer, K::real, K::real,
                     K::real,    K::integer, K::real,    K::integer, K::real, K::null};
  for (std::size_t i = 0; i < a.size(); ++i) EXPECT_EQ(a[i].kind(), kinds[i]) << "element " << i;
  EXPECT_EQ(a[7].as_int(), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(a[8].as_double(), 9223372036854775808.0);
  EXPECT_EQ(a[9].as_int(), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(a[10].as_double(), 18446744073709551616.0);
  EXPECT_EQ(a[5].as_double(), 100.0);
}

TEST_F(JsonTest, RoundTripKeepsBooleansIntegersAndReals) {
  Value original = Dict{{"flag", true},   {"count", 1},   {"ratio", 1.5},           {"whole", 2.0},
                        {"off", false},   {"zero", 0},    {"text", "a/b \"q\" \xc3\xa9"}, {"none", Value()},
                        {"list", Array{true, 1, 1.25}},   {"nested", Dict{{"z", 1}, {"a", false}}}};
  for (bool pretty : {false, true}) {
    auto bytes = json::serialize(original, {.pretty = pretty});
    ASSERT_TRUE(bytes.has_value());
    auto back = json::parse(*bytes);
    ASSERT_TRUE(back.has_value()) << back.error().description();
    EXPECT_EQ(back->kind(), Value::Kind::dict);
    EXPECT_EQ((*back)["flag"].kind(), Value::Kind::boolean);
    EXPECT_EQ((*back)["count"].kind(), Value::Kind::integer);
    EXPECT_EQ((*back)["ratio"].kind(), Value::Kind::real);
    EXPECT_EQ((*back)["whole"].kind(), Value::Kind::integer);   // written "2": a JSON integer
    EXPECT_EQ((*back)["nested"].dict()->keys(), (std::vector<std::string>{"z", "a"}));
    EXPECT_EQ(*back, original);
    EXPECT_EQ(json_text(json::serialize(*back, {.pretty = pretty})), json_text(bytes));
  }
}

TEST_F(JsonTest, ReaderKeepsKeyOrderAndTheLastDuplicate) {
  auto v = json::parse(R"({"z":1,"a":2,"m":{"y":1,"x":2},"a":3})");
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(v->dict()->keys(), (std::vector<std::string>{"z", "a", "m"}));
  EXPECT_EQ((*v)["a"], Value(3));
  EXPECT_EQ((*v)["m"].dict()->keys(), (std::vector<std::string>{"y", "x"}));
}

TEST_F(JsonTest, ReaderDecodesEscapes) {
  auto v = json::parse(R"(["\u00e9\ud83d\ude00\/\"\\\b\f\n\r\t", "a\u0000b", "caf)" "\xc3\xa9" R"("])");
  ASSERT_TRUE(v.has_value()) << v.error().description();
  EXPECT_EQ(*(*v)[0].string(), "\xc3\xa9\xf0\x9f\x98\x80/\"\\\b\f\n\r\t");
  EXPECT_EQ(*(*v)[1].string(), std::string("a\0b", 3));
  EXPECT_EQ(*(*v)[2].string(), "caf\xc3\xa9");

  std::string all_controls;
  for (int c = 0; c < 0x20; ++c) all_controls.push_back(static_cast<char>(c));
  auto bytes = json::serialize(Array{all_controls});
  ASSERT_TRUE(bytes.has_value());
  auto back = json::parse(*bytes);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*(*back)[0].string(), all_controls);
}

TEST_F(JsonTest, MalformedInputIsError3840) {
  const std::string cases[] = {
      "",
      " ",
      "{",
      "[1,]",
      R"({"a" 1})",
      R"({"a":1,})",
      "[1] x",
      "[1][2]",
      "nul",
      "['a']",
      "[01]",
      "{1:2}",
      R"(["\x"])",
      "[\"\xff\"]",
      "[\"\xc3\"]",
      R"(["\ud800"])",
      "[1e400]",
      "[NaN]",
      "[Infinity]",
      "/* comment */ []",
      "[\"unterminated]",
      std::string("[1,\0 2]", 7),
      "\xfe\xff",
  };
  for (const auto& c : cases) {
    for (bool fragments : {false, true}) {
      auto v = json::parse(c, {.allow_fragments = fragments});
      ASSERT_FALSE(v.has_value()) << "accepted: " << c;
      expect_cocoa_error(v.error(), 3840);
    }
  }
}

TEST_F(JsonTest, NestingIsBounded) {
  auto nested = [](int depth) { return std::string(static_cast<std::size_t>(depth), '[') + std::string(static_cast<std::size_t>(depth), ']'); };
  EXPECT_TRUE(json::parse(nested(json::max_depth)).has_value());
  auto too_deep = json::parse(nested(json::max_depth + 1));
  ASSERT_FALSE(too_deep.has_value());
  EXPECT_EQ(too_deep.error().code, 3840);
  EXPECT_FALSE(json::parse(std::string(1000000, '[')).has_value());
  // Brackets inside strings do not count.
  EXPECT_TRUE(json::parse("[\"" + std::string(5000, '[') + "\\\"\"]").has_value());

  Value deep = Array{};
  for (int i = 0; i < json::max_depth + 5; ++i) deep = Array{std::move(deep)};
  auto out = json::serialize(deep);
  ASSERT_FALSE(out.has_value());
  EXPECT_EQ(out.error().code, 3851);
}

TEST_F(JsonTest, SpanAndTextOverloadsAgree) {
  const std::string body = R"({"k":[1,2]})";
  auto from_text = json::parse(body);
  auto from_bytes = json::parse(std::span<const std::uint8_t>(pf::to_bytes(body)));
  ASSERT_TRUE(from_text.has_value());
  ASSERT_TRUE(from_bytes.has_value());
  EXPECT_EQ(*from_text, *from_bytes);
  EXPECT_EQ(json_text(json::serialize(*from_bytes)), body);
}

}  // namespace
