#include "platform/foundation/value.h"

#include "platform/dispatch/clock.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>

namespace platform::foundation {

// ---- Dict -------------------------------------------------------------------

Dict::Dict(std::initializer_list<Entry> entries) {
  for (const auto& e : entries) set(e.first, e.second);
}

const Value* Dict::find(std::string_view key) const {
  for (const auto& e : entries_)
    if (e.first == key) return &e.second;
  return nullptr;
}

Value* Dict::find(std::string_view key) {
  for (auto& e : entries_)
    if (e.first == key) return &e.second;
  return nullptr;
}

const Value& Dict::get(std::string_view key) const {
  const Value* v = find(key);
  return v ? *v : Value::null_value();
}

void Dict::set(std::string key, Value value) {
  if (Value* existing = find(key)) {
    *existing = std::move(value);
    return;
  }
  entries_.emplace_back(std::move(key), std::move(value));
}

bool Dict::erase(std::string_view key) {
  auto it = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.first == key; });
  if (it == entries_.end()) return false;
  entries_.erase(it);
  return true;
}

std::vector<std::string> Dict::keys() const {
  std::vector<std::string> out;
  out.reserve(entries_.size());
  for (const auto& e : entries_) out.push_back(e.first);
  return out;
}

bool operator==(const Dict& a, const Dict& b) {
  if (a.size() != b.size()) return false;
  for (const auto& [key, value] : a) {
    const Value* other = b.find(key);
    if (!other || !(*other == value)) return false;
  }
  return true;
}

// ---- Value ------------------------------------------------------------------

const Value& Value::null_value() {
  static const Value null;
  return null;
}

std::optional<bool> Value::as_bool() const {
  switch (kind()) {
    case Kind::boolean: return std::get<bool>(v_);
    case Kind::integer: return std::get<std::int64_t>(v_) != 0;
    case Kind::real: return std::get<double>(v_) != 0.0;
    default: return std::nullopt;
  }
}

std::optional<std::int64_t> Value::as_int() const {
  switch (kind()) {
    case Kind::boolean: return std::get<bool>(v_) ? 1 : 0;
    case Kind::integer: return std::get<std::int64_t>(v_);
    case Kind::real: {
      double d = std::get<double>(v_);
      if (std::isnan(d)) return 0;
      if (d >= 9223372036854775807.0) return std::numeric_limits<std::int64_t>::max();
      if (d <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
      return static_cast<std::int64_t>(d);
    }
    default: return std::nullopt;
  }
}

std::optional<double> Value::as_double() const {
  switch (kind()) {
    case Kind::boolean: return std::get<bool>(v_) ? 1.0 : 0.0;
    case Kind::integer: return static_cast<double>(std::get<std::int64_t>(v_));
    case Kind::real: return std::get<double>(v_);
    default: return std::nullopt;
  }
}

const Opaque* Value::opaque_of(const std::type_info& type) const {
  const Opaque* o = opaque();
  return o && o->type == std::type_index(type) ? o : nullptr;
}

const Value& Value::operator[](std::string_view key) const {
  if (const Dict* d = dict()) return d->get(key);
  return null_value();
}

const Value& Value::operator[](std::size_t index) const {
  if (const Array* a = array(); a && index < a->size()) return (*a)[index];
  return null_value();
}

namespace {

// Exact numeric equality across integer and real, as number objects compare.
bool numbers_equal(const Value& a, const Value& b) {
  if (a.is_real() || b.is_real()) {
    if (a.is_real() && b.is_real()) return *a.as_double() == *b.as_double();
    const Value& r = a.is_real() ? a : b;
    const Value& i = a.is_real() ? b : a;
    double d = *r.as_double();
    if (!std::isfinite(d) || d != std::trunc(d)) return false;
    if (d < -9223372036854775808.0 || d >= 9223372036854775808.0) return false;
    return static_cast<std::int64_t>(d) == *i.as_int();
  }
  return *a.as_int() == *b.as_int();
}

}  // namespace

bool operator==(const Value& a, const Value& b) {
  if (a.is_number() && b.is_number()) return numbers_equal(a, b);
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case Value::Kind::null: return true;
    case Value::Kind::string: return *a.string() == *b.string();
    case Value::Kind::data: return *a.data() == *b.data();
    case Value::Kind::date: return *a.date() == *b.date();
    case Value::Kind::array: return *a.array() == *b.array();
    case Value::Kind::dict: return *a.dict() == *b.dict();
    case Value::Kind::object: return a.opaque()->ptr == b.opaque()->ptr;
    default: return false;
  }
}

// ---- text helpers -----------------------------------------------------------

std::string pointer_text(const void* p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(p)));
  return buf;
}

std::string format_real(double d) {
  if (std::isnan(d)) return "nan";
  if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
  if (d == 0) return std::signbit(d) ? "-0" : "0";
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, d);
  return std::string(buf, res.ptr);
}

std::optional<Bytes> parse_hex(std::string_view text) {
  Bytes out;
  int high = -1;
  for (char c : text) {
    if (c == ' ' || c == '<' || c == '>') continue;
    int v = (c >= '0' && c <= '9') ? c - '0'
            : (c >= 'a' && c <= 'f')                   ? c - 'a' + 10
            : (c >= 'A' && c <= 'F')                   ? c - 'A' + 10
                                                       : -1;
    if (v < 0) return std::nullopt;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<std::uint8_t>(high * 16 + v));
      high = -1;
    }
  }
  if (high >= 0 || out.empty()) return std::nullopt;
  return out;
}

std::string hex_lower(std::span<const std::uint8_t> bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

std::string data_description(std::span<const std::uint8_t> bytes) {
  std::string out = "<";
  for (std::size_t i = 0; i < bytes.size(); i += 4) {
    if (i) out.push_back(' ');
    out += hex_lower(bytes.subspan(i, std::min<std::size_t>(4, bytes.size() - i)));
  }
  out.push_back('>');
  return out;
}

static constexpr char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64_encode(std::span<const std::uint8_t> bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    std::uint32_t n = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    out += {kB64[n >> 18], kB64[(n >> 12) & 63], kB64[(n >> 6) & 63], kB64[n & 63]};
  }
  if (std::size_t rest = bytes.size() - i; rest == 1) {
    std::uint32_t n = bytes[i] << 16;
    out += {kB64[n >> 18], kB64[(n >> 12) & 63], '=', '='};
  } else if (rest == 2) {
    std::uint32_t n = (bytes[i] << 16) | (bytes[i + 1] << 8);
    out += {kB64[n >> 18], kB64[(n >> 12) & 63], kB64[(n >> 6) & 63], '='};
  }
  return out;
}

std::optional<Bytes> base64_decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  auto index = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  Bytes out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    int pad = 0;
    std::uint32_t n = 0;
    for (std::size_t j = 0; j < 4; ++j) {
      char c = text[i + j];
      if (c == '=') {
        // Padding only in the last quantum, only in its last two places, and nothing after it.
        if (i + 4 != text.size() || j < 2) return std::nullopt;
        ++pad;
        n <<= 6;
        continue;
      }
      if (pad) return std::nullopt;
      int v = index(c);
      if (v < 0) return std::nullopt;
      n = (n << 6) | static_cast<std::uint32_t>(v);
    }
    out.push_back(static_cast<std::uint8_t>(n >> 16));
    if (pad < 2) out.push_back(static_cast<std::uint8_t>((n >> 8) & 0xff));
    if (pad < 1) out.push_back(static_cast<std::uint8_t>(n & 0xff));
  }
  return out;
}

// ---- description ------------------------------------------------------------

namespace {

bool needs_quotes(std::string_view s) {
  if (s.empty()) return true;
  for (unsigned char c : s) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '$' ||
                 c == '/' || c == ':' || c == '.' || c == '-' || c >= 0x80;
    if (!plain) return true;
  }
  return false;
}

std::string quoted_text(std::string_view s) {
  if (!needs_quotes(s)) return std::string(s);
  std::string out = "\"";
  for (char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      default: out.push_back(c);
    }
  }
  out.push_back('"');
  return out;
}

std::string date_text(const Date& d) {
  double secs = std::floor(d.since_1970);
  std::time_t t = static_cast<std::time_t>(secs);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[64];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S +0000", &tm);
  return buf;
}

void describe_into(const Value& v, std::string& out, int level, bool nested);

void indent(std::string& out, int level) { out.append(static_cast<std::size_t>(level) * 4, ' '); }

void describe_into(const Value& v, std::string& out, int level, bool nested) {
  switch (v.kind()) {
    // Inside containers, descriptions that need quoting (null's "<null>", a
    // date, an object's "<Name: 0x...>") are quoted like strings.
    case Value::Kind::null: out += nested ? quoted_text("<null>") : "<null>"; return;
    case Value::Kind::boolean: out += *v.as_bool() ? "1" : "0"; return;
    case Value::Kind::integer: out += std::to_string(*v.as_int()); return;
    case Value::Kind::real: out += format_real(*v.as_double()); return;
    case Value::Kind::string: out += nested ? quoted_text(*v.string()) : *v.string(); return;
    case Value::Kind::data: out += data_description(*v.data()); return;
    case Value::Kind::date: out += nested ? quoted_text(date_text(*v.date())) : date_text(*v.date()); return;
    case Value::Kind::object: {
      const Opaque* o = v.opaque();
      std::string text = o->describe ? o->describe(o->ptr.get())
                                     : "<" + std::string(o->class_name) + ": " + pointer_text(o->ptr.get()) + ">";
      out += nested ? quoted_text(text) : text;
      return;
    }
    case Value::Kind::array: {
      out += "(\n";
      const Array& a = *v.array();
      for (std::size_t i = 0; i < a.size(); ++i) {
        indent(out, level + 1);
        describe_into(a[i], out, level + 1, true);
        if (i + 1 < a.size()) out += ",";
        out += "\n";
      }
      indent(out, level);
      out += ")";
      return;
    }
    case Value::Kind::dict: {
      out += "{\n";
      for (const auto& [key, value] : *v.dict()) {
        indent(out, level + 1);
        out += quoted_text(key);
        out += " = ";
        describe_into(value, out, level + 1, true);
        out += ";\n";
      }
      indent(out, level);
      out += "}";
      return;
    }
  }
}

}  // namespace

std::string describe(const Value& value) {
  std::string out;
  describe_into(value, out, 0, false);
  return out;
}

}  // namespace platform::foundation

namespace platform::foundation {
// The process clock, so a test's ManualClock controls it.
Date Date::now() { return Date{dispatch::Clock::current().now_since_1970()}; }
}  // namespace platform::foundation
