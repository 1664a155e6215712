#pragma once

// Text services: character encodings over glibc iconv, collation, regular
// expressions, number parsing and case mapping over ICU, date formatting,
// code points, version comparison and the lenient text-to-number views.

#include <compare>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/foundation/expected.h"
#include "platform/foundation/value.h"

namespace platform::foundation::text {

enum class Encoding {
  utf8,
  ascii,
  iso_latin1,
  iso_latin2,
  iso_latin9,      // ISO-8859-15
  windows_1250,
  windows_1251,
  windows_1252,
  windows_1253,
  windows_1254,
  mac_roman,
  utf16,           // decode: BOM decides, big-endian without one; encode: BOM + little-endian
  utf16be,
  utf16le,
  utf32,           // as utf16
  utf32be,
  utf32le,
  shift_jis,       // the Windows superset (code page 932), which servers labelled Shift_JIS send
  euc_jp,
  iso_2022_jp,
  gb_18030,        // also serves GBK and GB2312, its subsets
  big5,
  euc_kr,          // the Windows superset (code page 949)
  koi8_r,
};

// Case-insensitive IANA charset name or alias ("utf-8", "ISO-8859-1", "latin1",
// "windows-1252", "Shift_JIS", ...). An unknown name is nullopt, never a guess.
std::optional<Encoding> encoding_for_iana_name(std::string_view name);

// To UTF-8. nullopt when the bytes are not valid in the encoding. A UTF-8
// byte-order mark is kept as text; UTF-16/32 marks are consumed.
std::optional<std::string> decode(std::span<const std::uint8_t> bytes, Encoding encoding);
// From UTF-8. nullopt when the text is not valid UTF-8 or holds a character the
// encoding cannot represent.
std::optional<Bytes> encode(std::string_view utf8, Encoding encoding);

// Code points of UTF-8 text; each byte of an invalid sequence counts as one
// (U+FFFD in to_utf32).
std::size_t code_points(std::string_view utf8);
std::u32string to_utf32(std::string_view utf8);

// ICU general categories: letters are L* (Lu Ll Lt Lm Lo), non-base marks are
// M* (Mn Mc Me), decimal digits are Nd.
bool is_letter(char32_t c);
bool is_nonbase_mark(char32_t c);
bool is_decimal_digit(char32_t c);
// Numbers of any kind, N* (Nd Nl No).
bool is_number(char32_t c);

// ICU collation for the locale at its default strength: -1, 0 or 1.
int localized_compare(std::string_view a, std::string_view b, std::string_view locale = "en_US");
// Full case folding (ICU default folding), then code-point order: -1, 0 or 1.
// Tells no letter case apart and orders "_" and digits by their code points.
int compare_case_insensitive(std::string_view a, std::string_view b);
// The text after full case folding (ICU default folding): "Straße" and
// "STRASSE" both give "strasse".
std::string fold_case(std::string_view text);
// The same at secondary strength: letter case is ignored, accents still count.
int localized_case_insensitive_compare(std::string_view a, std::string_view b, std::string_view locale = "en_US");
// Locale-aware lower-casing (ICU).
std::string lower(std::string_view text, std::string_view locale = "en_US");

// An ICU regular expression. Copies share the compiled pattern; all members
// are safe to call from several threads.
class Regex {
 public:
  // Error: NSCocoaErrorDomain 2048 with "NSInvalidValue" = the pattern.
  static Expected<Regex> compile(std::string_view pattern, bool case_insensitive = false);
  bool matches(std::string_view text) const;             // the whole text
  std::size_t count_matches(std::string_view text) const;   // non-overlapping matches anywhere
  // Whether the pattern is found anywhere in the text, with the matcher bound
  // to `time_limit` steps of the match engine (ICU's time limit, roughly
  // milliseconds; 0 means no limit). nullopt when the limit is hit or the
  // engine fails otherwise (its backtracking stack overflows).
  std::optional<bool> search(std::string_view text, std::int32_t time_limit) const;
  // The first match anywhere in the text: its text and its byte range.
  struct Match {
    std::string text;
    std::size_t location = 0;
    std::size_t length = 0;
  };
  std::optional<Match> first_match(std::string_view text) const;
  const std::string& pattern() const;

 private:
  struct Impl;
  explicit Regex(std::shared_ptr<const Impl> impl) : impl_(std::move(impl)) {}
  std::shared_ptr<const Impl> impl_;
};

// ICU DecimalFormat of the locale, with `positive_format` as its pattern when
// not empty. Parsing is lenient (so the pattern's prefix, such as "'+'", is
// optional), but the whole text must be consumed and the value finite.
std::optional<double> parse_number(std::string_view text, std::string_view locale = "en_US",
                                   std::string_view positive_format = "");

// A decimal number: up to 38 significant digits, a power-of-ten exponent in
// [-128, 127], and NaN. Digits beyond 38 are rounded (half up), so the text of
// such a number differs from its input: the loss-of-precision test.
class Decimal {
 public:
  Decimal() = default;   // zero
  explicit Decimal(std::int64_t value);
  static Decimal nan();
  // Optional sign, digits with the locale's decimal separator, optional
  // exponent ("e"/"E"). Anything else (empty text, grouping, spaces,
  // trailing characters) or an exponent out of range gives NaN.
  static Decimal parse(std::string_view text, std::string_view locale = "en_US");

  bool is_nan() const { return nan_; }
  bool is_negative() const { return negative_; }
  // Plain notation without exponent and without trailing fraction zeros:
  // "1.5", "-0.25", "100", "0"; "NaN".
  std::string text() const;
  double to_double() const;
  Decimal abs() const;

  // NaN is unordered against everything, itself included.
  friend std::partial_ordering operator<=>(const Decimal& a, const Decimal& b);
  friend bool operator==(const Decimal& a, const Decimal& b) { return (a <=> b) == 0; }

 private:
  bool nan_ = false;
  bool negative_ = false;
  std::string digits_;   // significant digits, no leading or trailing zeros; empty for zero
  int exponent_ = 0;     // value = digits_ * 10^exponent_
};

// The date as text in the process time zone (TZ), through an ICU pattern with
// the "en_US_POSIX" locale. "yyyy-MM-dd'T'HH:mm:ssZZZZZ" gives
// "2021-03-04T05:06:07Z" at UTC and "...+01:00" at one hour east. "" for an
// invalid pattern or a non-finite date.
std::string format_date(Date date, std::string_view pattern);

// "%@" text of a value.
using foundation::describe;
// "%p": "0x" + lower-case hex ("0x0" for null).
std::string pointer_text(const void* pointer);

// Compares versions as numbers run by run: digit runs by value, other
// characters by code. "7.0" < "7.0.1", "10.0" > "9.3", "7.01" == "7.1". A text
// that is a prefix of the other is smaller, so "7.0" < "7.0.0". Returns -1, 0, 1.
int compare_versions(std::string_view a, std::string_view b);

// Lenient text-to-number views. Leading ASCII white space is skipped, an
// optional sign and the longest run of digits are read, the rest is ignored:
// "2" -> 2, " 12abc" -> 12, "abc" -> 0. Out-of-range values saturate.
int int_value(std::string_view text);
std::int64_t integer_value(std::string_view text);
// Decimal digits with optional fraction and exponent; 0.0 when none; infinite
// on overflow.
double double_value(std::string_view text);
// True when, after white space, an optional sign and leading zeros, the text
// starts with 'Y', 'y', 'T', 't' or a digit 1-9: "YES", "true", "1", "-5".
bool bool_value(std::string_view text);

}  // namespace platform::foundation::text
