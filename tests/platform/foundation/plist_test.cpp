#include "platform/foundation/plist.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <string>

#include <sys/stat.h>

#include "platform/testing/reset.h"

namespace fs = std::filesystem;
namespace pf = platform::foundation;
namespace plist = platform::foundation::plist;
using pf::Array;
using pf::Bytes;
using pf::Date;
using pf::Dict;
using pf::Value;
using plist::Format;

namespace {

constexpr std::int64_t int64_min = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t int64_max = std::numeric_limits<std::int64_t>::max();

class PlistTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "plist_test.XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    fs::remove_all(dir_);
    platform::testing::reset();
  }
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  static std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  fs::path dir_;
};

// Kind-by-kind comparison (Value's == treats true, 1 and 1.0 as equal), with
// dict key order.
::testing::AssertionResult plist_same_kinds(const Value& a, const Value& b, const std::string& at = "root") {
  if (a.kind() != b.kind()) return ::testing::AssertionFailure() << "kind differs at " << at;
  if (const Array* x = a.array()) {
    if (x->size() != b.array()->size()) return ::testing::AssertionFailure() << "size differs at " << at;
    for (std::size_t i = 0; i < x->size(); ++i)
      if (auto r = plist_same_kinds((*x)[i], (*b.array())[i], at + "/" + std::to_string(i)); !r) return r;
  }
  if (const Dict* x = a.dict()) {
    if (x->keys() != b.dict()->keys()) return ::testing::AssertionFailure() << "keys differ at " << at;
    for (const auto& [key, value] : *x)
      if (auto r = plist_same_kinds(value, b[key], at + "/" + key); !r) return r;
  }
  if (!(a == b)) return ::testing::AssertionFailure() << "value differs at " << at << ": " << pf::describe(a) << " vs " << pf::describe(b);
  return ::testing::AssertionSuccess();
}

Value sample() {
  return Dict{{"true", true},
              {"false", false},
              {"zero", 0},
              {"int", 42},
              {"minus one", -1},
              {"int64 min", int64_min},
              {"int64 max", int64_max},
              {"real", 0.1},
              {"whole real", 2.0},
              {"negative real", -1.5e-300},
              {"string", "h\xc3\xa9llo <&> \"q\" 'a' \xf0\x9f\x98\x80"},
              {"empty string", ""},
              {"data", Bytes{0x00, 0x01, 0xfe, 0xff}},
              {"empty data", Bytes{}},
              {"date", Date{1600000000}},
              {"array", Array{1, "two", Array{}, Dict{}, Array{true, Array{-1}}}},
              {"nested", Dict{{"z", 1}, {"a", Dict{{"deep", Array{false, 3.25}}}}}}};
}

Bytes serialized(const Value& v, Format f) {
  auto out = plist::serialize(v, f);
  EXPECT_TRUE(out.has_value()) << out.error().description();
  return out.has_value() ? *out : Bytes{};
}

TEST_F(PlistTest, RoundTripsInBothFormats) {
  const Value original = sample();
  for (Format f : {Format::xml, Format::binary}) {
    auto back = plist::parse(serialized(original, f));
    ASSERT_TRUE(back.has_value()) << back.error().description();
    EXPECT_TRUE(plist_same_kinds(original, *back)) << (f == Format::xml ? "xml" : "binary");
  }
}

TEST_F(PlistTest, TopLevelScalarsRoundTrip) {
  for (const Value& v : {Value(true), Value(-1), Value(int64_min), Value(2.5), Value("s"), Value(Bytes{9}), Value(Date{1e9})})
    for (Format f : {Format::xml, Format::binary}) {
      auto back = plist::parse(serialized(v, f));
      ASSERT_TRUE(back.has_value()) << pf::describe(v);
      EXPECT_TRUE(plist_same_kinds(v, *back));
    }
}

TEST_F(PlistTest, FormatsLookAsExpected) {
  const Value v = Dict{{"on", true}, {"n", -1}, {"x", 1.0}};
  const std::string xml = pf::to_string(serialized(v, Format::xml));
  EXPECT_NE(xml.find("<plist version=\"1.0\">"), std::string::npos);
  EXPECT_NE(xml.find("<key>on</key>"), std::string::npos);
  EXPECT_NE(xml.find("<true/>"), std::string::npos);
  EXPECT_NE(xml.find("<integer>-1</integer>"), std::string::npos);
  EXPECT_NE(xml.find("<real>"), std::string::npos);
  EXPECT_LT(xml.find("<key>on</key>"), xml.find("<key>x</key>"));
  EXPECT_EQ(pf::to_string(serialized(v, Format::binary)).substr(0, 8), "bplist00");
}

TEST_F(PlistTest, ReadsHandWrittenXml) {
  const std::string xml = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <!-- <array> in a comment does not nest -->
  <key>CFBundleIdentifier</key><string>org.example.intranet</string>
  <key>Enabled</key><false/>
  <key>Count</key><integer>-5</integer>
  <key>When</key><date>2001-01-01T00:00:10Z</date>
  <key>Blob</key><data>AAEC/w==</data>
  <key>Ratio</key><real>0.25</real>
  <key>Enabled</key><true/>
</dict>
</plist>)";
  auto v = plist::parse(pf::to_bytes(xml));
  ASSERT_TRUE(v.has_value()) << v.error().description();
  EXPECT_EQ(v->dict()->keys(), (std::vector<std::string>{"CFBundleIdentifier", "Enabled", "Count", "When", "Blob", "Ratio"}));
  EXPECT_EQ(*(*v)["CFBundleIdentifier"].string(), "org.example.intranet");
  EXPECT_TRUE((*v)["Enabled"].is_bool());
  EXPECT_EQ((*v)["Enabled"].as_bool(), true);   // the later duplicate wins
  EXPECT_TRUE((*v)["Count"].is_integer());
  EXPECT_EQ((*v)["Count"].as_int(), -5);
  EXPECT_EQ((*v)["When"], Value(Date{978307210}));
  EXPECT_EQ((*v)["Blob"], Value(Bytes{0, 1, 2, 0xff}));
  EXPECT_TRUE((*v)["Ratio"].is_real());
}

TEST_F(PlistTest, BinaryDatesKeepMicrosecondsAndSign) {
  struct Case {
    const char* name;
    double since_1970;
  };
  const Case cases[] = {
      {"quarter second", 1600000000.25},
      {"microseconds", 1600000000.123456},
      {"half second before 2001", Date::reference_offset - 0.5},
      {"a second and a quarter before 2001", Date::reference_offset - 1.25},
      {"1970", 0.0},
      {"1970 plus a fraction", 0.75},
      {"reference date", Date::reference_offset},
      {"2060", 2840140800.999999},
  };
  for (const auto& c : cases) {
    auto back = plist::parse(serialized(Value(Date{c.since_1970}), Format::binary));
    ASSERT_TRUE(back.has_value()) << c.name;
    ASSERT_TRUE(back->is_date()) << c.name;
    EXPECT_NEAR(back->date()->since_1970, c.since_1970, 1e-6) << c.name;
  }
  // Exact when the time is a whole number of microseconds representable both ways.
  auto exact = plist::parse(serialized(Value(Date{Date::reference_offset - 0.5}), Format::binary));
  EXPECT_EQ(*exact->date(), Date{Date::reference_offset - 0.5});
}

// A binary plist holding one date, stored as seconds since 2001.
Bytes binary_date(double since_2001) {
  Bytes out = pf::to_bytes("bplist00");
  out.push_back(0x33);
  std::uint64_t bits = 0;
  std::memcpy(&bits, &since_2001, sizeof bits);
  for (int s = 56; s >= 0; s -= 8) out.push_back(static_cast<std::uint8_t>(bits >> s));
  out.push_back(8);   // offset table: object 0 at byte 8
  const std::uint8_t trailer[32] = {0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 1,
                                    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 17};
  out.insert(out.end(), trailer, trailer + 32);
  return out;
}

TEST_F(PlistTest, DatesOutsideTheSupportedRangeAreRefusedOnRead) {
  auto fine = plist::parse(binary_date(-0.25));
  ASSERT_TRUE(fine.has_value()) << fine.error().description();
  EXPECT_EQ(*fine->date(), Date::from_reference_date(-0.25));
  for (double far : {63113904000.0, -63114076800.0, 3e9, std::nan("")}) {
    auto v = plist::parse(binary_date(far));
    ASSERT_FALSE(v.has_value()) << far;
    EXPECT_EQ(v.error().code, 3840);
  }
  auto xml = plist::parse(pf::to_bytes("<plist><date>4001-01-01T00:00:00Z</date></plist>"));
  ASSERT_FALSE(xml.has_value());
  EXPECT_EQ(xml.error().code, 3840);
}

TEST_F(PlistTest, XmlDatesKeepWholeSeconds) {
  auto back = plist::parse(serialized(Value(Date{1600000000.75}), Format::xml));
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back->date(), Date{1600000000});
  auto before = plist::parse(serialized(Value(Date{Date::reference_offset - 86400}), Format::xml));
  EXPECT_EQ(*before->date(), Date{Date::reference_offset - 86400});
}

TEST_F(PlistTest, WhatNoPropertyListHoldsIs3851) {
  struct Case {
    const char* name;
    Value value;
  };
  const Case cases[] = {
      {"null", Value()},
      {"null in array", Array{1, Value()}},
      {"null in dict", Dict{{"a", Dict{{"b", Value()}}}}},
      {"object", Dict{{"o", Value::object(std::make_shared<int>(3))}}},
      {"string with NUL", Array{std::string("a\0b", 3)}},
      {"key with NUL", Dict{{std::string("k\0", 2), 1}}},
      {"invalid UTF-8", Array{std::string("\xc3", 1)}},
      {"date beyond 2069", Array{Date{Date::reference_offset + 3e9}}},
      {"date NaN", Array{Date{std::nan("")}}},
  };
  for (const auto& c : cases) {
    for (Format f : {Format::xml, Format::binary}) {
      auto out = plist::serialize(c.value, f);
      ASSERT_FALSE(out.has_value()) << c.name;
      EXPECT_EQ(out.error().domain, "NSCocoaErrorDomain");
      EXPECT_EQ(out.error().code, 3851) << c.name;
    }
  }
  Value deep = Array{};
  for (int i = 0; i < plist::max_depth + 5; ++i) deep = Array{std::move(deep)};
  EXPECT_EQ(plist::serialize(deep, Format::binary).error().code, 3851);
}

// A binary plist whose objects are all arrays, each given as its refs to
// other objects.
Bytes binary_graph(const std::vector<std::vector<std::uint16_t>>& arrays, std::uint64_t top = 0) {
  Bytes out = pf::to_bytes("bplist00");
  std::vector<std::uint32_t> offsets;
  for (const auto& refs : arrays) {
    offsets.push_back(static_cast<std::uint32_t>(out.size()));
    if (refs.size() < 15) {
      out.push_back(static_cast<std::uint8_t>(0xA0 | refs.size()));
    } else {
      out.push_back(0xAF);
      out.push_back(0x11);
      out.push_back(static_cast<std::uint8_t>(refs.size() >> 8));
      out.push_back(static_cast<std::uint8_t>(refs.size()));
    }
    for (std::uint16_t r : refs) {
      out.push_back(static_cast<std::uint8_t>(r >> 8));
      out.push_back(static_cast<std::uint8_t>(r));
    }
  }
  const std::uint64_t table = out.size();
  for (std::uint32_t off : offsets)
    for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<std::uint8_t>(off >> s));
  auto put64 = [&](std::uint64_t v) {
    for (int s = 56; s >= 0; s -= 8) out.push_back(static_cast<std::uint8_t>(v >> s));
  };
  for (int i = 0; i < 6; ++i) out.push_back(0);
  out.push_back(4);   // offset size
  out.push_back(2);   // ref size
  put64(arrays.size());
  put64(top);
  put64(table);
  return out;
}

// A chain of depth nested arrays: object i holds object i + 1.
std::vector<std::vector<std::uint16_t>> chain(int depth) {
  std::vector<std::vector<std::uint16_t>> arrays;
  for (int i = 0; i < depth - 1; ++i) arrays.push_back({static_cast<std::uint16_t>(i + 1)});
  arrays.push_back({});
  return arrays;
}

TEST_F(PlistTest, HandBuiltBinaryGraphs) {
  // Sanity: the builder makes what libplist reads.
  auto pair = plist::parse(binary_graph({{1, 1}, {}}));
  ASSERT_TRUE(pair.has_value()) << pair.error().description();
  EXPECT_EQ(*pair, Value(Array{Array{}, Array{}}));
  auto fine = plist::parse(binary_graph(chain(plist::max_depth)));
  ASSERT_TRUE(fine.has_value()) << fine.error().description();

  struct Case {
    const char* name;
    std::vector<std::vector<std::uint16_t>> arrays;
  };
  std::vector<Case> cases = {
      {"contains itself", {{0}}},
      {"cycle of two", {{1}, {0}}},
      {"deeper than the limit", chain(plist::max_depth + 1)},
      {"very deep", chain(60000)},
  };
  // Each level refers twice to the next: 2^40 objects once expanded.
  std::vector<std::vector<std::uint16_t>> doubling;
  for (std::uint16_t i = 0; i < 40; ++i) doubling.push_back({static_cast<std::uint16_t>(i + 1), static_cast<std::uint16_t>(i + 1)});
  doubling.push_back({});
  cases.push_back({"expands exponentially", doubling});
  for (const auto& c : cases) {
    auto v = plist::parse(binary_graph(c.arrays));
    ASSERT_FALSE(v.has_value()) << c.name;
    EXPECT_EQ(v.error().code, 3840) << c.name;
  }
}

// A binary plist holding {key: true}, the key given as its object bytes.
Bytes binary_dict_with_key(const Bytes& key_object) {
  Bytes out = pf::to_bytes("bplist00");
  out.insert(out.end(), {0xD1, 0x01, 0x02});
  out.insert(out.end(), key_object.begin(), key_object.end());
  out.push_back(0x09);   // true
  const auto key_at = static_cast<std::uint8_t>(11), value_at = static_cast<std::uint8_t>(11 + key_object.size());
  const auto table = static_cast<std::uint8_t>(out.size());
  out.insert(out.end(), {8, key_at, value_at});
  const std::uint8_t trailer[32] = {0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 3,
                                    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, table};
  out.insert(out.end(), trailer, trailer + 32);
  return out;
}

TEST_F(PlistTest, BinaryKeysHoldingNulAreRefused) {
  auto plain = plist::parse(binary_dict_with_key({0x53, 'a', '-', 'b'}));
  ASSERT_TRUE(plain.has_value()) << plain.error().description();
  EXPECT_EQ(*plain, Value(Dict{{"a-b", true}}));
  auto wide = plist::parse(binary_dict_with_key({0x62, 0x00, 'a', 0x00, 0xe9}));
  ASSERT_TRUE(wide.has_value()) << wide.error().description();
  EXPECT_EQ(*wide, Value(Dict{{"a\xc3\xa9", true}}));

  for (const Bytes& key : {Bytes{0x53, 'a', 0, 'b'}, Bytes{0x62, 0x00, 'a', 0x00, 0x00}, Bytes{0x10, 0x05}}) {
    auto v = plist::parse(binary_dict_with_key(key));
    ASSERT_FALSE(v.has_value());
    EXPECT_EQ(v.error().code, 3840);
  }
}

TEST_F(PlistTest, MalformedInputIs3840) {
  const Bytes good_binary = serialized(sample(), Format::binary);
  const Bytes good_xml = serialized(sample(), Format::xml);
  auto nested_xml = [](int depth) {
    std::string s = "<plist>";
    for (int i = 0; i < depth; ++i) s += "<array>";
    for (int i = 0; i < depth; ++i) s += "</array>";
    return s + "</plist>";
  };
  struct Case {
    const char* name;
    Bytes bytes;
  };
  const Case cases[] = {
      {"empty", {}},
      {"garbage", pf::to_bytes("garbage")},
      {"old-style ASCII dict", pf::to_bytes("{ a = b; }")},
      {"old-style ASCII array", pf::to_bytes("(1, 2)")},
      {"JSON", pf::to_bytes(R"({"a":1})")},
      {"magic only", pf::to_bytes("bplist00")},
      {"binary truncated", Bytes(good_binary.begin(), good_binary.end() - 10)},
      {"binary missing the trailer", Bytes(good_binary.begin(), good_binary.end() - 32)},
      {"binary header on noise", [] { Bytes b = pf::to_bytes("bplist00"); b.resize(200, 0xAB); return b; }()},
      {"XML truncated", Bytes(good_xml.begin(), good_xml.begin() + static_cast<std::ptrdiff_t>(good_xml.size() / 2))},
      {"XML empty plist", pf::to_bytes("<plist></plist>")},
      {"XML unknown element", pf::to_bytes("<plist><foo/></plist>")},
      {"XML dict without keys", pf::to_bytes("<plist><dict><integer>1</integer></dict></plist>")},
      {"XML tags crossed", pf::to_bytes("<plist><array><dict></array></dict></plist>")},
      {"XML too deep", pf::to_bytes(nested_xml(plist::max_depth + 1))},
      {"XML very deep", pf::to_bytes(nested_xml(400000))},
  };
  for (const auto& c : cases) {
    auto v = plist::parse(c.bytes);
    ASSERT_FALSE(v.has_value()) << c.name;
    EXPECT_EQ(v.error().domain, "NSCocoaErrorDomain") << c.name;
    EXPECT_EQ(v.error().code, 3840) << c.name;
  }
  EXPECT_TRUE(plist::parse(pf::to_bytes(nested_xml(plist::max_depth))).has_value());
}

// ---- files --------------------------------------------------------------------

TEST_F(PlistTest, FilesRoundTripInBothFormats) {
  for (Format f : {Format::xml, Format::binary}) {
    const fs::path path = dir_ / (f == Format::xml ? "a.plist" : "b.plist");
    ASSERT_TRUE(plist::write_file_atomically(sample(), path, f).has_value());
    auto back = plist::read_file(path);
    ASSERT_TRUE(back.has_value()) << back.error().description();
    EXPECT_TRUE(plist_same_kinds(sample(), *back));
  }
  EXPECT_EQ(slurp(dir_ / "a.plist").substr(0, 5), "<?xml");   // XML is the default format
  EXPECT_EQ(slurp(dir_ / "b.plist").substr(0, 8), "bplist00");
  EXPECT_EQ(entries(), (std::vector<std::string>{"a.plist", "b.plist"}));
}

TEST_F(PlistTest, AtomicWriteReplacesTheOldFileAndLeavesNoTemporary) {
  const fs::path path = dir_ / "prefs.plist";
  ASSERT_TRUE(plist::write_file_atomically(Dict{{"v", 1}, {"old", true}}, path).has_value());
  ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
  ASSERT_TRUE(plist::write_file_atomically(Dict{{"v", 2}}, path, Format::binary).has_value());
  auto back = plist::read_file(path);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, Value(Dict{{"v", 2}}));
  EXPECT_EQ(entries(), (std::vector<std::string>{"prefs.plist"}));
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);   // the replaced file's permissions stay

  ASSERT_TRUE(plist::write_file_atomically(Dict{}, dir_ / "new.plist").has_value());
  ASSERT_EQ(::stat((dir_ / "new.plist").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST_F(PlistTest, FailedWritesLeaveTheOldFileAndNoTemporary) {
  const fs::path path = dir_ / "keep.plist";
  ASSERT_TRUE(plist::write_file_atomically(Dict{{"v", 1}}, path).has_value());
  const std::string before = slurp(path);

  auto invalid = plist::write_file_atomically(Dict{{"v", Value()}}, path);
  ASSERT_FALSE(invalid.has_value());
  EXPECT_EQ(invalid.error().code, 3851);
  EXPECT_EQ(slurp(path), before);

  // The destination is a folder: the rename fails after the temporary file was written.
  fs::create_directory(dir_ / "folder");
  auto onto_folder = plist::write_file_atomically(Dict{{"v", 2}}, dir_ / "folder", Format::binary);
  ASSERT_FALSE(onto_folder.has_value());
  EXPECT_EQ(onto_folder.error().domain, "NSCocoaErrorDomain");
  EXPECT_EQ(*onto_folder.error().user_info.get("NSFilePath").string(), (dir_ / "folder").string());
  EXPECT_NE(onto_folder.error().user_info.get("NSUnderlyingError").object<pf::Error>(), nullptr);

  auto no_folder = plist::write_file_atomically(Dict{{"v", 3}}, dir_ / "missing" / "x.plist");
  ASSERT_FALSE(no_folder.has_value());
  EXPECT_EQ(no_folder.error().code, 4);

  EXPECT_EQ(entries(), (std::vector<std::string>{"folder", "keep.plist"}));
  EXPECT_TRUE(fs::is_empty(dir_ / "folder"));
  EXPECT_EQ(slurp(path), before);
}

TEST_F(PlistTest, ReadFileErrors) {
  auto missing = plist::read_file(dir_ / "absent.plist");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().domain, "NSCocoaErrorDomain");
  EXPECT_EQ(missing.error().code, 260);
  EXPECT_EQ(*missing.error().user_info.get("NSFilePath").string(), (dir_ / "absent.plist").string());

  auto folder = plist::read_file(dir_);
  ASSERT_FALSE(folder.has_value());
  EXPECT_EQ(folder.error().code, 256);

  std::ofstream(dir_ / "junk.plist") << "{ not = a plist; }";
  auto junk = plist::read_file(dir_ / "junk.plist");
  ASSERT_FALSE(junk.has_value());
  EXPECT_EQ(junk.error().code, 3840);

  std::ofstream(dir_ / "empty.plist").close();
  EXPECT_EQ(plist::read_file(dir_ / "empty.plist").error().code, 3840);
}

}  // namespace
