// The ICU-backed parts of text.h: collation, case mapping, character
// categories, regular expressions, number parsing and date formatting.

#include <time.h>
#include <unicode/coll.h>
#include <unicode/decimfmt.h>
#include <unicode/locid.h>
#include <unicode/numfmt.h>
#include <unicode/regex.h>
#include <unicode/simpletz.h>
#include <unicode/smpdtfmt.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>

#include <cmath>
#include <map>
#include <mutex>

#include "platform/foundation/text.h"

namespace platform::foundation::text {

namespace {

icu::Locale icu_locale(std::string_view name) { return icu::Locale(std::string(name).c_str()); }

icu::UnicodeString from_utf8(std::string_view s) {
  return icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<std::int32_t>(s.size())));
}

std::string to_utf8(const icu::UnicodeString& s) {
  std::string out;
  s.toUTF8String(out);
  return out;
}

// Collators are created once per locale and strength; comparing through a
// shared collator is thread-safe in ICU.
const icu::Collator* collator_for(std::string_view locale, icu::Collator::ECollationStrength strength) {
  // Callers use one locale over and over: remember the last one per thread and strength.
  const bool secondary = strength == icu::Collator::SECONDARY;
  thread_local std::string last_locale[2];
  thread_local const icu::Collator* last[2] = {nullptr, nullptr};
  if (last[secondary] != nullptr && last_locale[secondary] == locale) return last[secondary];
  static std::mutex mutex;
  static std::map<std::string, std::unique_ptr<icu::Collator>, std::less<>> collators[2];
  std::lock_guard lock(mutex);
  auto& table = collators[secondary];
  auto it = table.find(locale);
  if (it == table.end()) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Collator> collator(icu::Collator::createInstance(icu_locale(locale), status));
    if (U_FAILURE(status)) collator.reset();
    if (collator && secondary) collator->setStrength(strength);
    it = table.emplace(std::string(locale), std::move(collator)).first;
  }
  last_locale[secondary] = std::string(locale);
  last[secondary] = it->second.get();
  return last[secondary];
}

int compare_with(const icu::Collator* collator, std::string_view a, std::string_view b) {
  if (collator == nullptr) {
    int c = a.compare(b);
    return c < 0 ? -1 : c > 0 ? 1 : 0;
  }
  UErrorCode status = U_ZERO_ERROR;
  UCollationResult r = collator->compareUTF8(icu::StringPiece(a.data(), static_cast<std::int32_t>(a.size())),
                                             icu::StringPiece(b.data(), static_cast<std::int32_t>(b.size())), status);
  return r == UCOL_LESS ? -1 : r == UCOL_GREATER ? 1 : 0;
}

// Number formats are not shared between threads: one cache per thread.
icu::DecimalFormat* decimal_format_for(std::string_view locale, std::string_view pattern) {
  thread_local std::map<std::string, std::unique_ptr<icu::DecimalFormat>> formats;
  std::string key = std::string(locale) + '\n' + std::string(pattern);
  auto it = formats.find(key);
  if (it != formats.end()) return it->second.get();
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::NumberFormat> base(icu::NumberFormat::createInstance(icu_locale(locale), status));
  std::unique_ptr<icu::DecimalFormat> format;
  if (U_SUCCESS(status) && dynamic_cast<icu::DecimalFormat*>(base.get()) != nullptr) {
    format.reset(static_cast<icu::DecimalFormat*>(base.release()));
    if (!pattern.empty()) format->applyPattern(from_utf8(pattern), status);
    format->setLenient(true);
    if (U_FAILURE(status)) format.reset();
  }
  return formats.emplace(std::move(key), std::move(format)).first->second.get();
}

}  // namespace

int localized_compare(std::string_view a, std::string_view b, std::string_view locale) {
  return compare_with(collator_for(locale, icu::Collator::TERTIARY), a, b);
}

int localized_case_insensitive_compare(std::string_view a, std::string_view b, std::string_view locale) {
  return compare_with(collator_for(locale, icu::Collator::SECONDARY), a, b);
}

int compare_case_insensitive(std::string_view a, std::string_view b) {
  const icu::UnicodeString left = from_utf8(a);
  const icu::UnicodeString right = from_utf8(b);
  UErrorCode status = U_ZERO_ERROR;
  const std::int32_t r = u_strCaseCompare(left.getBuffer(), left.length(), right.getBuffer(), right.length(),
                                          U_FOLD_CASE_DEFAULT | U_COMPARE_CODE_POINT_ORDER, &status);
  if (U_FAILURE(status)) {
    const int c = a.compare(b);
    return c < 0 ? -1 : c > 0 ? 1 : 0;
  }
  return r < 0 ? -1 : r > 0 ? 1 : 0;
}

std::string fold_case(std::string_view text) {
  icu::UnicodeString s = from_utf8(text);
  s.foldCase(U_FOLD_CASE_DEFAULT);
  return to_utf8(s);
}

std::string lower(std::string_view text, std::string_view locale) {
  icu::UnicodeString s = from_utf8(text);
  s.toLower(icu_locale(locale));
  return to_utf8(s);
}

bool is_letter(char32_t c) { return (U_GET_GC_MASK(static_cast<UChar32>(c)) & U_GC_L_MASK) != 0; }
bool is_nonbase_mark(char32_t c) { return (U_GET_GC_MASK(static_cast<UChar32>(c)) & U_GC_M_MASK) != 0; }
bool is_decimal_digit(char32_t c) { return u_charType(static_cast<UChar32>(c)) == U_DECIMAL_DIGIT_NUMBER; }
bool is_number(char32_t c) { return (U_GET_GC_MASK(static_cast<UChar32>(c)) & U_GC_N_MASK) != 0; }

// ---- Regex ----------------------------------------------------------------

struct Regex::Impl {
  std::string pattern;
  std::unique_ptr<icu::RegexPattern> compiled;
};

Expected<Regex> Regex::compile(std::string_view pattern, bool case_insensitive) {
  UErrorCode status = U_ZERO_ERROR;
  UParseError parse_error;
  std::unique_ptr<icu::RegexPattern> compiled(
      icu::RegexPattern::compile(from_utf8(pattern), case_insensitive ? UREGEX_CASE_INSENSITIVE : 0, parse_error, status));
  if (U_FAILURE(status) || !compiled) {
    return Error(std::string(cocoa_error::domain), 2048, Dict{{"NSInvalidValue", Value(std::string(pattern))}});
  }
  auto impl = std::make_shared<Impl>();
  impl->pattern = std::string(pattern);
  impl->compiled = std::move(compiled);
  return Regex(std::move(impl));
}

const std::string& Regex::pattern() const { return impl_->pattern; }

bool Regex::matches(std::string_view text) const {
  icu::UnicodeString input = from_utf8(text);
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::RegexMatcher> matcher(impl_->compiled->matcher(input, status));
  if (U_FAILURE(status)) return false;
  bool result = matcher->matches(status);
  return U_SUCCESS(status) && result;
}

std::size_t Regex::count_matches(std::string_view text) const {
  icu::UnicodeString input = from_utf8(text);
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::RegexMatcher> matcher(impl_->compiled->matcher(input, status));
  if (U_FAILURE(status)) return 0;
  std::size_t count = 0;
  while (matcher->find(status) && U_SUCCESS(status)) ++count;
  return count;
}

std::optional<bool> Regex::search(std::string_view text, std::int32_t time_limit) const {
  icu::UnicodeString input = from_utf8(text);
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::RegexMatcher> matcher(impl_->compiled->matcher(input, status));
  if (U_FAILURE(status)) return std::nullopt;
  matcher->setTimeLimit(time_limit < 0 ? 0 : time_limit, status);
  if (U_FAILURE(status)) return std::nullopt;
  const bool found = matcher->find(status);
  if (U_FAILURE(status)) return std::nullopt;
  return found;
}

std::optional<Regex::Match> Regex::first_match(std::string_view text) const {
  icu::UnicodeString input = from_utf8(text);
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::RegexMatcher> matcher(impl_->compiled->matcher(input, status));
  if (U_FAILURE(status) || !matcher->find(status) || U_FAILURE(status)) return std::nullopt;
  const std::int32_t start = matcher->start(status);
  const std::int32_t end = matcher->end(status);
  if (U_FAILURE(status)) return std::nullopt;
  // UTF-16 offsets back to byte offsets of the UTF-8 text.
  const std::size_t location = to_utf8(input.tempSubString(0, start)).size();
  std::string matched = to_utf8(input.tempSubString(start, end - start));
  const std::size_t length = matched.size();
  return Match{std::move(matched), location, length};
}

// ---- Numbers --------------------------------------------------------------

std::optional<double> parse_number(std::string_view text, std::string_view locale, std::string_view positive_format) {
  if (text.empty()) return std::nullopt;
  icu::DecimalFormat* format = decimal_format_for(locale, positive_format);
  if (format == nullptr) return std::nullopt;
  icu::UnicodeString input = from_utf8(text);
  icu::Formattable result;
  icu::ParsePosition position(0);
  format->parse(input, result, position);
  if (position.getErrorIndex() >= 0 || position.getIndex() != input.length()) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  double value = result.getDouble(status);
  if (U_FAILURE(status) || !std::isfinite(value)) return std::nullopt;
  return value;
}

// ---- Dates ----------------------------------------------------------------

std::string format_date(Date date, std::string_view pattern) {
  // Beyond this the calendar arithmetic of either library gives no sensible year.
  if (!std::isfinite(date.since_1970) || std::fabs(date.since_1970) > 1e13) return "";
  tzset();
  time_t seconds = static_cast<time_t>(std::floor(date.since_1970));
  struct tm local {};
  if (localtime_r(&seconds, &local) == nullptr) return "";
  icu::SimpleTimeZone zone(static_cast<std::int32_t>(local.tm_gmtoff * 1000),
                           icu::UnicodeString(local.tm_zone != nullptr ? local.tm_zone : "UTC"));
  UErrorCode status = U_ZERO_ERROR;
  icu::SimpleDateFormat format(from_utf8(pattern), icu::Locale("en_US_POSIX"), status);
  if (U_FAILURE(status)) return "";
  format.setTimeZone(zone);
  icu::UnicodeString out;
  format.format(static_cast<UDate>(date.since_1970 * 1000.0), out);
  return to_utf8(out);
}

}  // namespace platform::foundation::text
