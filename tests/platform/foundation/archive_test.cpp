#include "platform/foundation/archive.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/foundation/plist.h"
#include "platform/testing/reset.h"

namespace pf = platform::foundation;
namespace archive = platform::foundation::archive;
using archive::Archived;
using pf::Array;
using pf::Bytes;
using pf::Date;
using pf::Dict;
using pf::Value;

namespace {

class ArchiveTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::testing::reset(); }
};

// Kind-by-kind comparison (Value's == treats true, 1 and 1.0 as equal).
bool archive_same_kinds(const Value& a, const Value& b) {
  if (a.kind() != b.kind()) return false;
  if (const Array* x = a.array()) {
    for (std::size_t i = 0; i < x->size() && i < b.array()->size(); ++i)
      if (!archive_same_kinds((*x)[i], (*b.array())[i])) return false;
  }
  if (const Dict* x = a.dict()) {
    if (x->keys() != b.dict()->keys()) return false;
    for (const auto& [key, value] : *x)
      if (!archive_same_kinds(value, b[key])) return false;
  }
  return a == b;
}

Archived token() {
  Archived inner{"Scope", Dict{{"name", "*"}, {"expires", Value()}}};
  return Archived{"TokenInfo",
                  Dict{{"token", "abc:def"},
                       {"issued", Date{1600000000.5}},
                       {"count", 3},
                       {"flag", true},
                       {"ratio", 1.0},
                       {"nothing", Value()},
                       {"blob", Bytes{0, 1, 2}},
                       {"scope", archive::as_value(inner)},
                       {"list", Array{1, Value(), archive::as_value(Archived{"Empty", {}})}},
                       {"plain", Dict{{"a", 1}, {"b", Dict{}}}},
                       {"dollar keys", Dict{{"$class", 5}, {"$null", true}, {"x", Value()}}},
                       {"lookalike", Dict{{"$dict", Dict{}}}},
                       {"extra key object", Dict{{"$class", "X"}, {"$fields", Dict{}}, {"more", 1}}}}};
}

TEST_F(ArchiveTest, RoundTripKeepsEveryField) {
  const Archived original = token();
  const Bytes bytes = archive::archive(original);
  ASSERT_FALSE(bytes.empty());
  auto back = archive::unarchive(bytes);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->class_name, "TokenInfo");
  EXPECT_TRUE(archive_same_kinds(Value(back->fields), Value(original.fields))) << pf::describe(Value(back->fields));

  auto scope = archive::as_archived(back->fields.get("scope"));
  ASSERT_TRUE(scope.has_value());
  EXPECT_EQ(scope->class_name, "Scope");
  EXPECT_TRUE(scope->fields.get("expires").is_null());
  EXPECT_TRUE(scope->fields.contains("expires"));
  EXPECT_FALSE(archive::as_archived(back->fields.get("plain")).has_value());
  EXPECT_FALSE(archive::as_archived(back->fields.get("extra key object")).has_value());
}

TEST_F(ArchiveTest, IsABinaryPropertyListWithTheArchiverHeader) {
  const Bytes bytes = archive::archive(Archived{"Thing", Dict{{"k", "v"}}});
  EXPECT_EQ(pf::to_string(bytes).substr(0, 8), "bplist00");
  auto doc = pf::plist::parse(bytes);
  ASSERT_TRUE(doc.has_value());
  EXPECT_EQ((*doc)["$archiver"], Value("PlatformKeyedArchiver"));
  EXPECT_TRUE((*doc)["$version"].is_integer());
  EXPECT_EQ((*doc)["$version"], Value(1));
  EXPECT_EQ((*doc)["$top"], Value(Dict{{"$class", "Thing"}, {"$fields", Dict{{"k", "v"}}}}));
}

TEST_F(ArchiveTest, AnythingElseIsAbsent) {
  auto doc = [](Value archiver, Value version, Value top) {
    auto b = pf::plist::serialize(Dict{{"$archiver", archiver}, {"$version", version}, {"$top", top}}, pf::plist::Format::binary);
    return b.has_value() ? *b : Bytes{};
  };
  const Value top = Dict{{"$class", "T"}, {"$fields", Dict{}}};
  ASSERT_TRUE(archive::unarchive(doc("PlatformKeyedArchiver", 1, top)).has_value());

  const Bytes good = archive::archive(token());
  struct Case {
    const char* name;
    Bytes bytes;
  };
  const Case cases[] = {
      {"empty", {}},
      {"garbage", pf::to_bytes("not an archive at all")},
      {"truncated", Bytes(good.begin(), good.end() - 20)},
      {"other archiver", doc("NSKeyedArchiver", 1, top)},
      {"version 2", doc("PlatformKeyedArchiver", 2, top)},
      {"version true", doc("PlatformKeyedArchiver", true, top)},
      {"version text", doc("PlatformKeyedArchiver", "1", top)},
      {"top not an object", doc("PlatformKeyedArchiver", 1, Dict{{"a", 1}})},
      {"top class not text", doc("PlatformKeyedArchiver", 1, Dict{{"$class", 1}, {"$fields", Dict{}}})},
      {"unknown reserved key in fields", doc("PlatformKeyedArchiver", 1, Dict{{"$class", "T"}, {"$fields", Dict{{"f", Dict{{"$x", 1}}}}}})},
      {"plain property list", pf::plist::serialize(Dict{{"a", 1}}, pf::plist::Format::binary).value()},
      {"XML property list", pf::to_bytes("<plist><array/></plist>")},
  };
  for (const auto& c : cases) EXPECT_FALSE(archive::unarchive(c.bytes).has_value()) << c.name;
}

TEST_F(ArchiveTest, UnarchivableGraphGivesNoBytes) {
  EXPECT_TRUE(archive::archive(Archived{"T", Dict{{"o", Value::object(std::make_shared<int>(1))}}}).empty());
  EXPECT_TRUE(archive::archive(Archived{"T", Dict{{"list", Array{Value::object(std::make_shared<int>(1))}}}}).empty());
  EXPECT_TRUE(archive::archive(Archived{"T", Dict{{"s", std::string("a\0b", 3)}}}).empty());
}

}  // namespace
