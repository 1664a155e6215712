#include "platform/foundation/text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "platform/testing/reset.h"

namespace {

using namespace platform::foundation;
namespace text = platform::foundation::text;
using text::Decimal;
using text::Encoding;

class TextTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::testing::reset(); }
};

// ---- encodings ------------------------------------------------------------

TEST_F(TextTest, IanaNamesAreCaseInsensitiveAndUnknownNamesAreRefused) {
  const std::pair<const char*, Encoding> known[] = {
      {"UTF-8", Encoding::utf8},          {"utf8", Encoding::utf8},
      {"US-ASCII", Encoding::ascii},      {"ISO-8859-1", Encoding::iso_latin1},
      {"Latin1", Encoding::iso_latin1},   {"iso_8859-1:1987", Encoding::iso_latin1},
      {"windows-1252", Encoding::windows_1252}, {"CP1252", Encoding::windows_1252},
      {"windows-1251", Encoding::windows_1251}, {"ISO-8859-2", Encoding::iso_latin2},
      {"utf-16", Encoding::utf16},        {"UTF-16LE", Encoding::utf16le},
      {"UTF-16BE", Encoding::utf16be},    {"utf-32", Encoding::utf32},
      {"macintosh", Encoding::mac_roman}, {"Shift_JIS", Encoding::shift_jis},
      {"EUC-JP", Encoding::euc_jp},       {"ISO-2022-JP", Encoding::iso_2022_jp},
      {"GBK", Encoding::gb_18030},        {"Big5", Encoding::big5},
      {"EUC-KR", Encoding::euc_kr},       {"KOI8-R", Encoding::koi8_r},
  };
  for (const auto& [name, encoding] : known) EXPECT_EQ(text::encoding_for_iana_name(name), encoding) << name;
  for (const char* name : {"", "x-unknown", "utf-9", "latin", " utf-8", "utf-8;", "\"utf-8\"", "ebcdic-cp-us"}) {
    EXPECT_EQ(text::encoding_for_iana_name(name), std::nullopt) << name;
  }
}

TEST_F(TextTest, DecodeTable) {
  struct Case {
    Encoding encoding;
    Bytes bytes;
    std::string expected;
  };
  const Case cases[] = {
      {Encoding::iso_latin1, {0x63, 0x61, 0x66, 0xE9}, "caf\xc3\xa9"},
      {Encoding::iso_latin1, {0x80, 0xFF}, "\xc2\x80\xc3\xbf"},
      {Encoding::windows_1252, {0x80}, "\xe2\x82\xac"},
      {Encoding::windows_1252, {0x93, 0x61, 0x94}, "\xe2\x80\x9c" "a" "\xe2\x80\x9d"},
      {Encoding::utf16, {0xFF, 0xFE, 0x41, 0x00, 0xE9, 0x00}, "A\xc3\xa9"},
      {Encoding::utf16, {0xFE, 0xFF, 0x00, 0x41}, "A"},
      {Encoding::utf16, {0x00, 0x41}, "A"},   // no BOM: big-endian
      {Encoding::utf16le, {0x3D, 0xD8, 0x00, 0xDE}, "\xf0\x9f\x98\x80"},
      {Encoding::utf16be, {0x20, 0xAC}, "\xe2\x82\xac"},
      {Encoding::utf32le, {0x00, 0xF6, 0x01, 0x00}, "\xf0\x9f\x98\x80"},
      {Encoding::utf32, {0xFF, 0xFE, 0x00, 0x00, 0x41, 0x00, 0x00, 0x00}, "A"},
      {Encoding::utf32, {0x00, 0x00, 0x00, 0x41}, "A"},
      {Encoding::utf8, {0xE2, 0x82, 0xAC}, "\xe2\x82\xac"},
      {Encoding::ascii, {0x41, 0x7E}, "A~"},
      {Encoding::mac_roman, {0x8E}, "\xc3\xa9"},
      {Encoding::shift_jis, {0x82, 0xA0, 0x5C}, "\xe3\x81\x82\\"},
      {Encoding::euc_jp, {0xA4, 0xA2}, "\xe3\x81\x82"},
      {Encoding::iso_2022_jp, {0x1B, 0x24, 0x42, 0x24, 0x22, 0x1B, 0x28, 0x42}, "\xe3\x81\x82"},
      {Encoding::windows_1251, {0xC0}, "\xd0\x90"},
      {Encoding::koi8_r, {0xE1}, "\xd0\x90"},
      {Encoding::iso_latin2, {0xA3}, "\xc5\x81"},
      {Encoding::gb_18030, {0xC4, 0xE3}, "\xe4\xbd\xa0"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(text::decode(c.bytes, c.encoding), c.expected) << static_cast<int>(c.encoding);
  }
}

TEST_F(TextTest, InvalidBytesDecodeToNothing) {
  const std::pair<Encoding, Bytes> cases[] = {
      {Encoding::utf8, {0xFF}},
      {Encoding::utf8, {0x61, 0xC3}},
      {Encoding::utf8, {0xC0, 0xAF}},
      {Encoding::utf8, {0xED, 0xA0, 0x80}},
      {Encoding::ascii, {0x41, 0x80}},
      {Encoding::windows_1252, {0x81}},
      {Encoding::utf16le, {0x41}},
      {Encoding::utf16le, {0x00, 0xD8}},
      {Encoding::utf32le, {0x00, 0x00, 0x11, 0x00}},
      {Encoding::shift_jis, {0x82}},
      {Encoding::euc_jp, {0xA4}},
  };
  for (const auto& [encoding, bytes] : cases) {
    EXPECT_EQ(text::decode(bytes, encoding), std::nullopt) << static_cast<int>(encoding);
  }
}

TEST_F(TextTest, EncodeTable) {
  struct Case {
    Encoding encoding;
    std::string text;
    std::optional<Bytes> expected;
  };
  const Case cases[] = {
      {Encoding::iso_latin1, "caf\xc3\xa9", Bytes{0x63, 0x61, 0x66, 0xE9}},
      {Encoding::windows_1252, "\xe2\x82\xac", Bytes{0x80}},
      {Encoding::utf16, "A", Bytes{0xFF, 0xFE, 0x41, 0x00}},
      {Encoding::utf16be, "A", Bytes{0x00, 0x41}},
      {Encoding::utf32, "A", Bytes{0xFF, 0xFE, 0x00, 0x00, 0x41, 0x00, 0x00, 0x00}},
      {Encoding::shift_jis, "\xe3\x81\x82", Bytes{0x82, 0xA0}},
      {Encoding::iso_2022_jp, "\xe3\x81\x82", Bytes{0x1B, 0x24, 0x42, 0x24, 0x22, 0x1B, 0x28, 0x42}},
      {Encoding::utf8, "", Bytes{}},
      {Encoding::iso_latin1, "\xe2\x82\xac", std::nullopt},   // not representable
      {Encoding::ascii, "\xc3\xa9", std::nullopt},
      {Encoding::utf8, "\xff", std::nullopt},                 // input is not UTF-8
      {Encoding::utf16le, "a\xc3", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(text::encode(c.text, c.encoding), c.expected) << c.text;
}

TEST_F(TextTest, EveryEncodingRoundTripsAsciiAndEmptyText) {
  for (int e = static_cast<int>(Encoding::utf8); e <= static_cast<int>(Encoding::koi8_r); ++e) {
    auto encoding = static_cast<Encoding>(e);
    for (std::string sample : {"", "Hello, world 123"}) {
      auto bytes = text::encode(sample, encoding);
      ASSERT_TRUE(bytes) << e;
      EXPECT_EQ(text::decode(*bytes, encoding), sample) << e;
    }
  }
}

// ---- code points and categories ---------------------------------------------

TEST_F(TextTest, CodePoints) {
  const std::pair<std::string, std::u32string> cases[] = {
      {"", U""},
      {"abc", U"abc"},
      {"\xc3\xa9", U"\u00e9"},
      {"a\xf0\x9f\x98\x80" "b", U"a\U0001F600b"},
      {"\xff", U"\uFFFD"},
      {"\xe2\x82", U"\uFFFD\uFFFD"},
  };
  for (const auto& [utf8, utf32] : cases) {
    EXPECT_EQ(text::to_utf32(utf8), utf32);
    EXPECT_EQ(text::code_points(utf8), utf32.size());
  }
  std::string forty;
  for (int i = 0; i < 40; ++i) forty += "\xf0\x90\x90\x80";   // outside the basic plane
  EXPECT_EQ(text::code_points(forty), 40u);
}

TEST_F(TextTest, CharacterCategories) {
  for (char32_t c : {U'a', U'Z', U'\u00e9', U'\u05d0', U'\u02b0', U'\U00010400'}) EXPECT_TRUE(text::is_letter(c)) << static_cast<std::uint32_t>(c);
  for (char32_t c : {U'1', U'_', U' ', U'\u0301', U'\u0903', U'\U0001F600'}) EXPECT_FALSE(text::is_letter(c)) << static_cast<std::uint32_t>(c);
  for (char32_t c : {U'\u0301', U'\u0903', U'\u20dd'}) EXPECT_TRUE(text::is_nonbase_mark(c)) << static_cast<std::uint32_t>(c);
  for (char32_t c : {U'a', U'1', U'\u00e9'}) EXPECT_FALSE(text::is_nonbase_mark(c)) << static_cast<std::uint32_t>(c);
  for (char32_t c : {U'0', U'9', U'\u0663', U'\uff10'}) EXPECT_TRUE(text::is_decimal_digit(c)) << static_cast<std::uint32_t>(c);
  for (char32_t c : {U'a', U'\u00b2', U'\u2167'}) EXPECT_FALSE(text::is_decimal_digit(c)) << static_cast<std::uint32_t>(c);
  // Numbers of every kind: decimal digits, letter numbers (Roman), other numbers (superscripts, fractions).
  for (char32_t c : {U'7', U'\u0663', U'\u00b2', U'\u2167', U'\u00bd'}) EXPECT_TRUE(text::is_number(c)) << static_cast<std::uint32_t>(c);
  for (char32_t c : {U'a', U'-', U'.', U'\u0301', U' '}) EXPECT_FALSE(text::is_number(c)) << static_cast<std::uint32_t>(c);
}

// ---- collation and case ---------------------------------------------------

TEST_F(TextTest, CollationOrder) {
  std::vector<std::string> words = {"z", "\xc3\xa9", "B", "b", "2", "A", "e", "10", "a"};
  std::sort(words.begin(), words.end(),
            [](const std::string& x, const std::string& y) { return text::localized_compare(x, y) < 0; });
  EXPECT_EQ(words, (std::vector<std::string>{"10", "2", "a", "A", "b", "B", "e", "\xc3\xa9", "z"}));
  EXPECT_EQ(text::localized_compare("a", "a"), 0);
  EXPECT_EQ(text::localized_compare("a", "b"), -1);
  EXPECT_EQ(text::localized_compare("b", "a"), 1);
  // The locale decides: Swedish puts "ö" after "z".
  EXPECT_EQ(text::localized_compare("\xc3\xb6", "z", "en_US"), -1);
  EXPECT_EQ(text::localized_compare("\xc3\xb6", "z", "sv_SE"), 1);
}

TEST_F(TextTest, CaseInsensitiveCollationIgnoresCaseButNotAccents) {
  std::vector<std::string> words = {"c/3", "b/1", "fire-ios/5.1.7", "A/2", "B/0"};
  std::stable_sort(words.begin(), words.end(), [](const std::string& x, const std::string& y) {
    return text::localized_case_insensitive_compare(x, y) < 0;
  });
  EXPECT_EQ(words, (std::vector<std::string>{"A/2", "B/0", "b/1", "c/3", "fire-ios/5.1.7"}));
  EXPECT_EQ(text::localized_case_insensitive_compare("ABC", "abc"), 0);
  EXPECT_EQ(text::localized_compare("ABC", "abc"), 1);   // the default strength still sees case
  EXPECT_EQ(text::localized_case_insensitive_compare("\xc3\xa9", "E"), 1);
  EXPECT_EQ(text::localized_case_insensitive_compare("\xc3\xb6", "z", "sv_SE"), 1);
}

TEST_F(TextTest, LowerFollowsTheLocale) {
  EXPECT_EQ(text::lower("\xc3\x80" "BC"), "\xc3\xa0" "bc");
  EXPECT_EQ(text::lower("I"), "i");
  EXPECT_EQ(text::lower("I", "tr"), "\xc4\xb1");
  EXPECT_EQ(text::lower("\xce\xa3\xce\x91\xce\xa3"), "\xcf\x83\xce\xb1\xcf\x82");   // final sigma
}

// ---- regular expressions --------------------------------------------------

TEST_F(TextTest, RegexMatchesWholeTextAndCountsMatches) {
  auto decimal = text::Regex::compile("^[+-]?(([0-9]+\\.?)|([0-9]*\\.[0-9]+))$", true);
  ASSERT_TRUE(decimal);
  for (const char* yes : {"12", "12.", ".5", "-0.25", "+3"}) EXPECT_TRUE(decimal.value().matches(yes)) << yes;
  for (const char* no : {"1e5", "1.2.3", ".", "", "12 "}) EXPECT_FALSE(decimal.value().matches(no)) << no;

  auto plus = text::Regex::compile("a+");
  ASSERT_TRUE(plus);
  EXPECT_TRUE(plus.value().matches("aaa"));
  EXPECT_FALSE(plus.value().matches("aab"));   // whole text only
  EXPECT_EQ(plus.value().count_matches("aa b aaa"), 2u);
  EXPECT_EQ(plus.value().count_matches("bbb"), 0u);

  auto property = text::Regex::compile("^_ltv_[A-Z]{3}$");
  EXPECT_EQ(property.value().count_matches("_ltv_USD"), 1u);
  EXPECT_EQ(property.value().count_matches("_ltv_usd"), 0u);
  auto folded = text::Regex::compile("^_ltv_[A-Z]{3}$", true);
  EXPECT_EQ(folded.value().count_matches("_ltv_usd"), 1u);

  auto accents = text::Regex::compile("\xc3\xa9+");
  EXPECT_EQ(accents.value().count_matches("\xc3\xa9\xc3\xa9 x \xc3\xa9"), 2u);
  EXPECT_EQ(accents.value().pattern(), "\xc3\xa9+");
}

TEST_F(TextTest, RegexFirstMatchGivesTextAndByteRange) {
  struct Case {
    const char* pattern;
    const char* text;
    bool found;
    const char* matched;
    std::size_t location;
  };
  const Case cases[] = {
      {"^\\d+:", "1:123:ios:abc", true, "1:", 0},
      {"^\\d+:", "12:x", true, "12:", 0},
      {"^\\d+:", "x1:", false, "", 0},
      {"b+", "aabbbcbb", true, "bbb", 2},            // the first of several
      {"x", "\xc3\xa9\xc3\xa9x", true, "x", 4},        // byte offsets after two-byte characters
      {"\xc3\xa9", "a\xc3\xa9", true, "\xc3\xa9", 1},
      {"a*", "bbb", true, "", 0},                    // an empty match is a match
  };
  for (const Case& c : cases) {
    auto regex = text::Regex::compile(c.pattern);
    ASSERT_TRUE(regex) << c.pattern;
    auto match = regex.value().first_match(c.text);
    ASSERT_EQ(match.has_value(), c.found) << c.pattern << " in " << c.text;
    if (!match) continue;
    EXPECT_EQ(match->text, c.matched) << c.pattern;
    EXPECT_EQ(match->location, c.location) << c.pattern;
    EXPECT_EQ(match->length, std::string(c.matched).size()) << c.pattern;
  }
}

TEST_F(TextTest, RegexSearchFindsAnywhereAndStopsAtTheTimeLimit) {
  const struct {
    const char* pattern;
    const char* text;
    bool found;
  } cases[] = {
      {"a+", "xaa", true}, {"^a", "xaa", false}, {"a$", "xaa", true}, {"b", "xaa", false}, {"a*", "", true},
  };
  for (const auto& c : cases) {
    auto regex = text::Regex::compile(c.pattern);
    ASSERT_TRUE(regex) << c.pattern;
    EXPECT_EQ(regex.value().search(c.text, 1000), std::optional<bool>(c.found)) << c.pattern << " in " << c.text;
  }
  // Catastrophic backtracking: the bounded search gives up instead of running on.
  auto nested = text::Regex::compile("(a+)+$");
  ASSERT_TRUE(nested);
  EXPECT_EQ(nested.value().search(std::string(40, 'a') + "b", 10), std::nullopt);
  EXPECT_EQ(nested.value().search("aaa", 10), std::optional<bool>(true));
}

TEST_F(TextTest, FoldCaseIsFullCaseFolding) {
  EXPECT_EQ(text::fold_case("Shop"), "shop");
  EXPECT_EQ(text::fold_case("Stra\xc3\x9f" "E"), "strasse");
  EXPECT_EQ(text::fold_case("\xce\xa3\xcf\x82"), "\xcf\x83\xcf\x83");   // both sigmas fold alike
  EXPECT_EQ(text::fold_case(""), "");
  EXPECT_EQ(text::fold_case("_1"), "_1");
}

TEST_F(TextTest, BadPatternsGiveAnError) {
  for (const char* pattern : {"(", "[a-", "*", "a{2,1}", "\\"}) {
    auto regex = text::Regex::compile(pattern);
    ASSERT_FALSE(regex) << pattern;
    EXPECT_EQ(regex.error().domain, "NSCocoaErrorDomain");
    EXPECT_EQ(regex.error().code, 2048);
    EXPECT_EQ(regex.error().user_info.get("NSInvalidValue"), Value(std::string(pattern)));
  }
}

// ---- numbers --------------------------------------------------------------

TEST_F(TextTest, ParseNumberWithPositivePattern) {
  const std::pair<const char*, std::optional<double>> cases[] = {
      {"10", 10.0},   {"+3", 3.0},           {"-5.5", -5.5},        {"0", 0.0},
      {"1", 1.0},     {"0.001", 0.001},      {"", std::nullopt},    {"abc", std::nullopt},
      {"12abc", std::nullopt}, {"1 2", std::nullopt}, {"NaN", std::nullopt}, {"\xe2\x88\x9e", std::nullopt},
  };
  for (const auto& [input, expected] : cases) {
    EXPECT_EQ(text::parse_number(input, "en_US", "'+'#"), expected) << input;
  }
  EXPECT_EQ(text::parse_number("1,234.5", "en_US", ""), 1234.5);
  EXPECT_EQ(text::parse_number("1.234,5", "de_DE", ""), 1234.5);
}

TEST_F(TextTest, DecimalTextTable) {
  const std::pair<const char*, const char*> cases[] = {
      {"12", "12"},        {"12.", "12"},         {".5", "0.5"},       {"-.5", "-0.5"},     {"-0.25", "-0.25"},
      {"+3", "3"},         {"1.50", "1.5"},       {"100", "100"},      {"007", "7"},        {"0.0", "0"},
      {"-0", "0"},         {"1e3", "1000"},       {"1.5E-3", "0.0015"}, {"2.5e+2", "250"},
      {"12345678901234567890123456789012345678", "12345678901234567890123456789012345678"},
      {"", "NaN"},         {"abc", "NaN"},        {"1.2.3", "NaN"},    {"1,5", "NaN"},      {" 1", "NaN"},
      {"1 ", "NaN"},       {"1e", "NaN"},         {"e5", "NaN"},       {".", "NaN"},        {"+", "NaN"},
      {"--1", "NaN"},      {"1e999", "NaN"},      {"12abc", "NaN"},
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(Decimal::parse(input).text(), expected) << input;
  EXPECT_TRUE(Decimal::parse("x").is_nan());
  EXPECT_FALSE(Decimal::parse("1").is_nan());
  EXPECT_EQ(Decimal::parse("1,5", "de_DE").text(), "1.5");
  EXPECT_TRUE(Decimal::parse("1.5", "de_DE").is_nan());
}

TEST_F(TextTest, DecimalKeeps38DigitsSoLongInputLosesPrecision) {
  const std::string input = "123456789012345678901234567890123456789012345";   // 45 digits
  Decimal d = Decimal::parse(input);
  ASSERT_FALSE(d.is_nan());
  EXPECT_EQ(d.text(), "123456789012345678901234567890123456790000000");   // rounded at the 38th digit
  EXPECT_EQ(input.find(d.text()), std::string::npos);
  EXPECT_EQ(Decimal::parse("0.99999999999999999999999999999999999999999").text(), "1");
  // Loss-of-precision test as callers use it: the text of the absolute value occurs in the input.
  for (const char* ok : {"0.5", "-0.25", "12", "1.50"}) {
    EXPECT_NE(std::string(ok).find(Decimal::parse(ok).abs().text()), std::string::npos) << ok;
  }
}

TEST_F(TextTest, DecimalComparisonAndConversion) {
  std::vector<Decimal> ascending = {Decimal::parse("-10"), Decimal::parse("-2"),    Decimal::parse("-0.5"),
                                    Decimal(0),            Decimal::parse("0.001"), Decimal(1),
                                    Decimal::parse("1.1"), Decimal::parse("10"),    Decimal::parse("1e20")};
  for (std::size_t i = 0; i + 1 < ascending.size(); ++i) {
    EXPECT_TRUE(ascending[i] < ascending[i + 1]) << ascending[i].text() << " < " << ascending[i + 1].text();
    EXPECT_TRUE(ascending[i + 1] > ascending[i]);
  }
  EXPECT_EQ(Decimal::parse("5.0"), Decimal(5));
  EXPECT_EQ(Decimal::parse("1.10"), Decimal::parse("1.1"));
  EXPECT_EQ(Decimal::parse("-0"), Decimal(0));
  Decimal nan = Decimal::nan();
  EXPECT_FALSE(nan == nan);
  EXPECT_FALSE(nan < Decimal(1));
  EXPECT_FALSE(nan > Decimal(1));
  EXPECT_EQ(Decimal(INT64_MIN).text(), "-9223372036854775808");
  EXPECT_EQ(Decimal(INT64_MAX).text(), "9223372036854775807");
  EXPECT_EQ(Decimal::parse("0.1").to_double(), 0.1);
  EXPECT_EQ(Decimal::parse("-2.5e2").to_double(), -250.0);
  EXPECT_TRUE(std::isnan(nan.to_double()));
}

// ---- dates ----------------------------------------------------------------

class ZoneTest : public TextTest {
 protected:
  void SetUp() override {
    if (const char* tz = std::getenv("TZ")) saved_ = tz;
  }
  void TearDown() override {
    if (saved_) {
      setenv("TZ", saved_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    TextTest::TearDown();
  }
  std::optional<std::string> saved_;
};

TEST_F(ZoneTest, FormatDateInTheProcessTimeZone) {
  constexpr std::string_view iso = "yyyy-MM-dd'T'HH:mm:ssZZZZZ";
  const Date march{1614834367};   // 2021-03-04 05:06:07 UTC
  const Date july{1625140800};    // 2021-07-01 12:00:00 UTC
  struct Case {
    const char* tz;
    Date date;
    const char* expected;
  };
  const Case cases[] = {
      {"UTC", march, "2021-03-04T05:06:07Z"},
      {"Europe/Berlin", march, "2021-03-04T06:06:07+01:00"},
      {"Europe/Berlin", july, "2021-07-01T14:00:00+02:00"},
      {"America/New_York", march, "2021-03-04T00:06:07-05:00"},
      {"Asia/Kolkata", march, "2021-03-04T10:36:07+05:30"},
      {"EST5EDT", july, "2021-07-01T08:00:00-04:00"},
  };
  for (const auto& c : cases) {
    setenv("TZ", c.tz, 1);
    EXPECT_EQ(text::format_date(c.date, iso), c.expected) << c.tz;
  }
  setenv("TZ", "UTC", 1);
  EXPECT_EQ(text::format_date(Date{1614834367.25}, "yyyy-MM-dd HH:mm:ss.SSS"), "2021-03-04 05:06:07.250");
  EXPECT_EQ(text::format_date(Date{-0.5}, iso), "1969-12-31T23:59:59Z");
  EXPECT_EQ(text::format_date(Date{std::numeric_limits<double>::quiet_NaN()}, iso), "");
}

// ---- versions and text views ------------------------------------------------

TEST_F(TextTest, VersionCompare) {
  struct Case {
    const char* a;
    const char* b;
    int expected;
  };
  const Case cases[] = {
      {"7.0", "7.0.1", -1}, {"7.0.1", "7.0", 1}, {"7.0", "7.0", 0},     {"10.0", "9.3", 1},
      {"8.0", "7.0", 1},    {"6.1.4", "7.0", -1}, {"7.0", "7.0.0", -1}, {"7.01", "7.1", 0},
      {"13.5", "13.10", -1}, {"1.2a", "1.2b", -1}, {"", "1", -1},       {"2", "10", -1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(text::compare_versions(c.a, c.b), c.expected) << c.a << " vs " << c.b;
    EXPECT_EQ(text::compare_versions(c.b, c.a), -c.expected) << c.b << " vs " << c.a;
  }
}

TEST_F(TextTest, IntegerViews) {
  const std::pair<const char*, int> cases[] = {
      {"2", 2},       {" 12abc", 12},  {"abc", 0},        {"", 0},
      {"-7", -7},     {"+5", 5},       {" \t\n42", 42},   {"3.9", 3},
      {"- 5", 0},     {"0x10", 0},     {"2147483647", INT_MAX}, {"-2147483648", INT_MIN},
      {"99999999999", INT_MAX},        {"-99999999999", INT_MIN},
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(text::int_value(input), expected) << input;
  EXPECT_EQ(text::integer_value("12345678901"), 12345678901);
  EXPECT_EQ(text::integer_value("9223372036854775807"), INT64_MAX);
  EXPECT_EQ(text::integer_value("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(text::integer_value("99999999999999999999"), INT64_MAX);
  EXPECT_EQ(text::integer_value("-99999999999999999999"), INT64_MIN);
}

TEST_F(TextTest, BoolView) {
  for (const char* yes : {"YES", "yes", "Y", "true", "TRUE", "t", "1", "9", " 1", "-1", "+7", "007", "Yellow"}) {
    EXPECT_TRUE(text::bool_value(yes)) << yes;
  }
  for (const char* no : {"NO", "no", "false", "0", "", " ", "abc", "0.5", "00", "-0", "+", "n"}) {
    EXPECT_FALSE(text::bool_value(no)) << no;
  }
}

TEST_F(TextTest, DoubleView) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::pair<const char*, double> cases[] = {
      {"3.5", 3.5}, {" -2.5e3x", -2500.0}, {"abc", 0.0}, {".5", 0.5},  {"5.", 5.0},   {"1e", 1.0},
      {"1e+", 1.0}, {"inf", 0.0},          {"nan", 0.0}, {"0x1p3", 0.0}, {"1,5", 1.0}, {"1e999", inf},
      {"-1e999", -inf}, {"", 0.0},
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(text::double_value(input), expected) << input;
}

TEST_F(TextTest, PointerText) {
  EXPECT_EQ(text::pointer_text(nullptr), "0x0");
  EXPECT_EQ(text::pointer_text(reinterpret_cast<const void*>(std::uintptr_t{0x1234abcd})), "0x1234abcd");
}

}  // namespace
