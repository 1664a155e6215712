#include "platform/foundation/text.h"

#include <iconv.h>
#include <locale.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "platform/foundation/text_utf8.h"

namespace platform::foundation::text {

namespace {

struct NameEntry {
  std::string_view name;
  Encoding encoding;
};

// IANA names and the aliases servers use, lower-case.
constexpr NameEntry iana_names[] = {
    {"utf-8", Encoding::utf8},
    {"utf8", Encoding::utf8},
    {"unicode-1-1-utf-8", Encoding::utf8},
    {"us-ascii", Encoding::ascii},
    {"ascii", Encoding::ascii},
    {"us", Encoding::ascii},
    {"iso646-us", Encoding::ascii},
    {"ansi_x3.4-1968", Encoding::ascii},
    {"iso-ir-6", Encoding::ascii},
    {"cp367", Encoding::ascii},
    {"ibm367", Encoding::ascii},
    {"csascii", Encoding::ascii},
    {"iso-8859-1", Encoding::iso_latin1},
    {"iso_8859-1", Encoding::iso_latin1},
    {"iso_8859-1:1987", Encoding::iso_latin1},
    {"iso8859-1", Encoding::iso_latin1},
    {"latin1", Encoding::iso_latin1},
    {"l1", Encoding::iso_latin1},
    {"iso-ir-100", Encoding::iso_latin1},
    {"ibm819", Encoding::iso_latin1},
    {"cp819", Encoding::iso_latin1},
    {"csisolatin1", Encoding::iso_latin1},
    {"iso-8859-2", Encoding::iso_latin2},
    {"iso_8859-2", Encoding::iso_latin2},
    {"iso_8859-2:1987", Encoding::iso_latin2},
    {"latin2", Encoding::iso_latin2},
    {"l2", Encoding::iso_latin2},
    {"iso-ir-101", Encoding::iso_latin2},
    {"csisolatin2", Encoding::iso_latin2},
    {"iso-8859-15", Encoding::iso_latin9},
    {"iso_8859-15", Encoding::iso_latin9},
    {"latin-9", Encoding::iso_latin9},
    {"latin9", Encoding::iso_latin9},
    {"windows-1250", Encoding::windows_1250},
    {"cp1250", Encoding::windows_1250},
    {"x-cp1250", Encoding::windows_1250},
    {"windows-1251", Encoding::windows_1251},
    {"cp1251", Encoding::windows_1251},
    {"x-cp1251", Encoding::windows_1251},
    {"windows-1252", Encoding::windows_1252},
    {"cp1252", Encoding::windows_1252},
    {"x-cp1252", Encoding::windows_1252},
    {"windows-1253", Encoding::windows_1253},
    {"cp1253", Encoding::windows_1253},
    {"windows-1254", Encoding::windows_1254},
    {"cp1254", Encoding::windows_1254},
    {"macintosh", Encoding::mac_roman},
    {"mac", Encoding::mac_roman},
    {"csmacintosh", Encoding::mac_roman},
    {"x-mac-roman", Encoding::mac_roman},
    {"utf-16", Encoding::utf16},
    {"utf-16be", Encoding::utf16be},
    {"utf-16le", Encoding::utf16le},
    {"utf-32", Encoding::utf32},
    {"utf-32be", Encoding::utf32be},
    {"utf-32le", Encoding::utf32le},
    {"shift_jis", Encoding::shift_jis},
    {"shift-jis", Encoding::shift_jis},
    {"sjis", Encoding::shift_jis},
    {"x-sjis", Encoding::shift_jis},
    {"ms_kanji", Encoding::shift_jis},
    {"csshiftjis", Encoding::shift_jis},
    {"windows-31j", Encoding::shift_jis},
    {"cswindows31j", Encoding::shift_jis},
    {"cp932", Encoding::shift_jis},
    {"euc-jp", Encoding::euc_jp},
    {"x-euc-jp", Encoding::euc_jp},
    {"cseucpkdfmtjapanese", Encoding::euc_jp},
    {"extended_unix_code_packed_format_for_japanese", Encoding::euc_jp},
    {"iso-2022-jp", Encoding::iso_2022_jp},
    {"csiso2022jp", Encoding::iso_2022_jp},
    {"gb18030", Encoding::gb_18030},
    {"gbk", Encoding::gb_18030},
    {"x-gbk", Encoding::gb_18030},
    {"gb2312", Encoding::gb_18030},
    {"csgb2312", Encoding::gb_18030},
    {"cp936", Encoding::gb_18030},
    {"ms936", Encoding::gb_18030},
    {"windows-936", Encoding::gb_18030},
    {"big5", Encoding::big5},
    {"csbig5", Encoding::big5},
    {"x-x-big5", Encoding::big5},
    {"euc-kr", Encoding::euc_kr},
    {"cseuckr", Encoding::euc_kr},
    {"ks_c_5601-1987", Encoding::euc_kr},
    {"windows-949", Encoding::euc_kr},
    {"cp949", Encoding::euc_kr},
    {"koi8-r", Encoding::koi8_r},
    {"cskoi8r", Encoding::koi8_r},
};

const char* iconv_name(Encoding e) {
  switch (e) {
    case Encoding::utf8: return "UTF-8";
    case Encoding::ascii: return "ASCII";
    case Encoding::iso_latin1: return "ISO-8859-1";
    case Encoding::iso_latin2: return "ISO-8859-2";
    case Encoding::iso_latin9: return "ISO-8859-15";
    case Encoding::windows_1250: return "CP1250";
    case Encoding::windows_1251: return "CP1251";
    case Encoding::windows_1252: return "CP1252";
    case Encoding::windows_1253: return "CP1253";
    case Encoding::windows_1254: return "CP1254";
    case Encoding::mac_roman: return "MACINTOSH";
    case Encoding::utf16: return "UTF-16";
    case Encoding::utf16be: return "UTF-16BE";
    case Encoding::utf16le: return "UTF-16LE";
    case Encoding::utf32: return "UTF-32";
    case Encoding::utf32be: return "UTF-32BE";
    case Encoding::utf32le: return "UTF-32LE";
    case Encoding::shift_jis: return "CP932";
    case Encoding::euc_jp: return "EUC-JP";
    case Encoding::iso_2022_jp: return "ISO-2022-JP";
    case Encoding::gb_18030: return "GB18030";
    case Encoding::big5: return "BIG5";
    case Encoding::euc_kr: return "CP949";
    case Encoding::koi8_r: return "KOI8-R";
  }
  return nullptr;
}

// One strict iconv pass; nullopt on an invalid or incomplete sequence, or on a
// character the target cannot hold.
std::optional<std::string> convert(const char* to, const char* from, std::string_view in) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out;
  out.resize(in.size() * 2 + 16);
  char* src = const_cast<char*>(in.data());
  std::size_t src_left = in.size();
  std::size_t done = 0;
  bool ok = true;
  bool flushing = false;
  while (true) {
    char* dst = out.data() + done;
    std::size_t dst_left = out.size() - done;
    std::size_t r = flushing ? iconv(cd, nullptr, nullptr, &dst, &dst_left) : iconv(cd, &src, &src_left, &dst, &dst_left);
    done = out.size() - dst_left;
    if (r != static_cast<std::size_t>(-1)) {
      if (flushing) break;
      flushing = true;   // write any closing shift sequence
      continue;
    }
    if (errno == E2BIG) {
      out.resize(out.size() * 2);
      continue;
    }
    ok = false;   // EILSEQ or EINVAL
    break;
  }
  iconv_close(cd);
  if (!ok) return std::nullopt;
  out.resize(done);
  return out;
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::size_t skip_space(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && is_space(s[i])) ++i;
  return i;
}

template <class Int>
Int scan_integer(std::string_view s) {
  std::size_t i = skip_space(s);
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  // Accumulate negatively so the minimum value fits.
  constexpr Int min = std::numeric_limits<Int>::min();
  constexpr Int max = std::numeric_limits<Int>::max();
  Int value = 0;
  bool overflow = false;
  for (; i < s.size() && is_digit(s[i]); ++i) {
    Int d = static_cast<Int>(s[i] - '0');
    if (overflow || value < (min + d) / 10) {
      overflow = true;
      continue;
    }
    value = static_cast<Int>(value * 10 - d);
  }
  if (overflow) return negative ? min : max;
  if (!negative) return value == min ? max : static_cast<Int>(-value);
  return value;
}

}  // namespace

std::optional<Encoding> encoding_for_iana_name(std::string_view name) {
  std::string lowered(name);
  for (char& c : lowered) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  for (const auto& entry : iana_names) {
    if (entry.name == lowered) return entry.encoding;
  }
  return std::nullopt;
}

std::optional<std::string> decode(std::span<const std::uint8_t> bytes, Encoding encoding) {
  std::string_view in(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (encoding == Encoding::utf8) {
    if (!detail::utf8_valid(in)) return std::nullopt;
    return std::string(in);
  }
  // The byte-order mark decides; without one the data is big-endian (glibc
  // would assume the host order).
  if (encoding == Encoding::utf16) {
    if (in.starts_with("\xFF\xFE")) return convert("UTF-8", "UTF-16LE", in.substr(2));
    if (in.starts_with("\xFE\xFF")) return convert("UTF-8", "UTF-16BE", in.substr(2));
    return convert("UTF-8", "UTF-16BE", in);
  }
  if (encoding == Encoding::utf32) {
    using namespace std::string_view_literals;
    if (in.starts_with("\xFF\xFE\x00\x00"sv)) return convert("UTF-8", "UTF-32LE", in.substr(4));
    if (in.starts_with("\x00\x00\xFE\xFF"sv)) return convert("UTF-8", "UTF-32BE", in.substr(4));
    return convert("UTF-8", "UTF-32BE", in);
  }
  return convert("UTF-8", iconv_name(encoding), in);
}

std::optional<Bytes> encode(std::string_view utf8, Encoding encoding) {
  if (!detail::utf8_valid(utf8)) return std::nullopt;
  Bytes out;
  const char* target = iconv_name(encoding);
  if (encoding == Encoding::utf16) {
    out = {0xFF, 0xFE};
    target = "UTF-16LE";
  } else if (encoding == Encoding::utf32) {
    out = {0xFF, 0xFE, 0x00, 0x00};
    target = "UTF-32LE";
  }
  if (encoding == Encoding::utf8) {
    out.assign(utf8.begin(), utf8.end());
    return out;
  }
  auto converted = convert(target, "UTF-8", utf8);
  if (!converted) return std::nullopt;
  out.insert(out.end(), converted->begin(), converted->end());
  return out;
}

std::size_t code_points(std::string_view utf8) {
  std::size_t count = 0;
  char32_t cp;
  std::size_t len;
  for (std::size_t i = 0; i < utf8.size(); i += len, ++count) {
    if (!detail::utf8_next(utf8, i, cp, len)) len = 1;
  }
  return count;
}

std::u32string to_utf32(std::string_view utf8) {
  std::u32string out;
  out.reserve(utf8.size());
  char32_t cp;
  std::size_t len;
  for (std::size_t i = 0; i < utf8.size(); i += len) {
    if (!detail::utf8_next(utf8, i, cp, len)) {
      cp = 0xFFFD;
      len = 1;
    }
    out += cp;
  }
  return out;
}

std::string pointer_text(const void* pointer) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "0x%llx",
                static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(pointer)));
  return buffer;
}

int compare_versions(std::string_view a, std::string_view b) {
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (is_digit(a[i]) && is_digit(b[j])) {
      std::size_t ei = i, ej = j;
      while (ei < a.size() && is_digit(a[ei])) ++ei;
      while (ej < b.size() && is_digit(b[ej])) ++ej;
      std::string_view x = a.substr(i, ei - i), y = b.substr(j, ej - j);
      while (x.size() > 1 && x[0] == '0') x.remove_prefix(1);
      while (y.size() > 1 && y[0] == '0') y.remove_prefix(1);
      if (x.size() != y.size()) return x.size() < y.size() ? -1 : 1;
      if (int c = x.compare(y); c != 0) return c < 0 ? -1 : 1;
      i = ei;
      j = ej;
      continue;
    }
    auto x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[j]);
    if (x != y) return x < y ? -1 : 1;
    ++i;
    ++j;
  }
  if (i < a.size()) return 1;
  if (j < b.size()) return -1;
  return 0;
}

int int_value(std::string_view text) { return scan_integer<int>(text); }
std::int64_t integer_value(std::string_view text) { return scan_integer<std::int64_t>(text); }

double double_value(std::string_view text) {
  std::size_t i = skip_space(text);
  std::size_t begin = i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  std::size_t digits = 0;
  while (i < text.size() && is_digit(text[i])) ++i, ++digits;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && is_digit(text[i])) ++i, ++digits;
  }
  if (digits == 0) return 0.0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    std::size_t k = i + 1;
    if (k < text.size() && (text[k] == '+' || text[k] == '-')) ++k;
    if (k < text.size() && is_digit(text[k])) {
      while (k < text.size() && is_digit(text[k])) ++k;
      i = k;
    }
  }
  // strtod_l with the C locale: the decimal point is always ".".
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  std::string number(text.substr(begin, i - begin));
  return strtod_l(number.c_str(), nullptr, c_locale);
}

bool bool_value(std::string_view text) {
  std::size_t i = skip_space(text);
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  while (i < text.size() && text[i] == '0') ++i;
  if (i == text.size()) return false;
  char c = text[i];
  return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

}  // namespace platform::foundation::text
