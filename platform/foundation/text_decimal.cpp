// Decimal: a sign, up to 38 significant digits and a power-of-ten exponent.

#include <unicode/dcfmtsym.h>
#include <unicode/locid.h>

#include <algorithm>
#include <charconv>
#include <limits>
#include <map>

#include "platform/foundation/text.h"

namespace platform::foundation::text {

namespace {

constexpr std::size_t max_digits = 38;
constexpr int min_exponent = -128;
constexpr int max_exponent = 127;

const std::string& decimal_separator(std::string_view locale) {
  thread_local std::map<std::string, std::string, std::less<>> separators;
  auto it = separators.find(locale);
  if (it != separators.end()) return it->second;
  UErrorCode status = U_ZERO_ERROR;
  icu::DecimalFormatSymbols symbols(icu::Locale(std::string(locale).c_str()), status);
  std::string separator = ".";
  if (U_SUCCESS(status)) {
    separator.clear();
    symbols.getConstSymbol(icu::DecimalFormatSymbols::kDecimalSeparatorSymbol).toUTF8String(separator);
    if (separator.empty()) separator = ".";
  }
  return separators.emplace(std::string(locale), std::move(separator)).first->second;
}

// Drops `count` low digits, rounding half up; dropping them all leaves zero.
void drop_low_digits(std::string& digits, int& exponent, std::size_t count) {
  if (count == 0) return;
  if (count > digits.size()) {
    digits.clear();
    return;
  }
  bool round_up = digits[digits.size() - count] >= '5';
  digits.resize(digits.size() - count);
  exponent += static_cast<int>(count);
  if (round_up) {
    std::size_t i = digits.size();
    while (i > 0 && digits[i - 1] == '9') digits[--i] = '0';
    if (i == 0) {
      digits.insert(digits.begin(), '1');
    } else {
      ++digits[i - 1];
    }
  }
}

void strip_trailing_zeros(std::string& digits, int& exponent) {
  while (!digits.empty() && digits.back() == '0') {
    digits.pop_back();
    ++exponent;
  }
}

// Brings raw digits into canonical form; false on overflow.
bool normalize(std::string& digits, int& exponent) {
  std::size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) {
    digits.clear();
    exponent = 0;
    return true;
  }
  digits.erase(0, first);
  strip_trailing_zeros(digits, exponent);
  if (digits.size() > max_digits) {
    drop_low_digits(digits, exponent, digits.size() - max_digits);
    if (digits.size() > max_digits) drop_low_digits(digits, exponent, 1);   // carry made a 39th digit
    strip_trailing_zeros(digits, exponent);
  }
  if (exponent < min_exponent) {
    drop_low_digits(digits, exponent, static_cast<std::size_t>(min_exponent - exponent));
    strip_trailing_zeros(digits, exponent);
    if (digits.empty()) exponent = 0;
  }
  // Trailing zeros can be moved back into the mantissa while it has room.
  return digits.empty() || exponent <= max_exponent + static_cast<int>(max_digits - digits.size());
}

}  // namespace

Decimal::Decimal(std::int64_t value) {
  negative_ = value < 0;
  std::uint64_t magnitude = negative_ ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  digits_ = std::to_string(magnitude);
  normalize(digits_, exponent_);
  if (digits_.empty()) negative_ = false;
}

Decimal Decimal::nan() {
  Decimal d;
  d.nan_ = true;
  return d;
}

Decimal Decimal::parse(std::string_view text, std::string_view locale) {
  const std::string& separator = decimal_separator(locale);
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::string digits;
  int exponent = 0;
  std::size_t count = 0;
  auto is_digit = [&](std::size_t k) { return k < text.size() && text[k] >= '0' && text[k] <= '9'; };
  for (; is_digit(i); ++i, ++count) digits += text[i];
  if (text.substr(i).starts_with(separator)) {
    i += separator.size();
    for (; is_digit(i); ++i, ++count) {
      digits += text[i];
      --exponent;
    }
  }
  if (count == 0) return nan();
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool exp_negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) exp_negative = text[i++] == '-';
    if (!is_digit(i)) return nan();
    long e = 0;
    for (; is_digit(i); ++i) e = std::min(e * 10 + (text[i] - '0'), 100000L);
    exponent += static_cast<int>(exp_negative ? -e : e);
  }
  if (i != text.size()) return nan();
  Decimal d;
  if (!normalize(digits, exponent)) return nan();
  d.digits_ = std::move(digits);
  d.exponent_ = exponent;
  d.negative_ = negative && !d.digits_.empty();
  return d;
}

std::string Decimal::text() const {
  if (nan_) return "NaN";
  if (digits_.empty()) return "0";
  std::string out = negative_ ? "-" : "";
  if (exponent_ >= 0) {
    out += digits_;
    out.append(static_cast<std::size_t>(exponent_), '0');
    return out;
  }
  long point = static_cast<long>(digits_.size()) + exponent_;
  if (point > 0) {
    out += digits_.substr(0, static_cast<std::size_t>(point));
    out += '.';
    out += digits_.substr(static_cast<std::size_t>(point));
  } else {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits_;
  }
  return out;
}

double Decimal::to_double() const {
  if (nan_) return std::numeric_limits<double>::quiet_NaN();
  if (digits_.empty()) return 0.0;
  std::string scientific = digits_ + "e" + std::to_string(exponent_);
  double value = 0;
  std::from_chars(scientific.data(), scientific.data() + scientific.size(), value);
  return negative_ ? -value : value;
}

Decimal Decimal::abs() const {
  Decimal d = *this;
  d.negative_ = false;
  return d;
}

std::partial_ordering operator<=>(const Decimal& a, const Decimal& b) {
  if (a.nan_ || b.nan_) return std::partial_ordering::unordered;
  if (a.negative_ != b.negative_) return a.negative_ ? std::partial_ordering::less : std::partial_ordering::greater;
  // Same sign: compare magnitudes, then flip for negatives.
  auto magnitude = [&]() -> std::strong_ordering {
    if (a.digits_.empty() || b.digits_.empty()) return !a.digits_.empty() <=> !b.digits_.empty();
    long top_a = static_cast<long>(a.digits_.size()) + a.exponent_;
    long top_b = static_cast<long>(b.digits_.size()) + b.exponent_;
    if (top_a != top_b) return top_a <=> top_b;
    int c = a.digits_.compare(b.digits_);   // aligned at the top digit; a prefix is the smaller
    return c <=> 0;
  }();
  if (a.negative_) return 0 <=> magnitude;
  return magnitude;
}

}  // namespace platform::foundation::text
