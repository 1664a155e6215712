#include "platform/foundation/json.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/foundation/utf8_check.h"

namespace platform::foundation::json {

namespace {

using ordered_json = nlohmann::ordered_json;

Error read_error(std::string text) {
  return Error(std::string(cocoa_error::domain), cocoa_error::json_invalid,
               Dict{{std::string(key_debug_description), Value(std::move(text))}});
}

Error write_error(std::string text) {
  return Error(std::string(cocoa_error::domain), cocoa_error::property_list_write_invalid,
               Dict{{std::string(key_debug_description), Value(std::move(text))}});
}

// Deepest array/object nesting of the text, counted outside strings. Stops
// counting once past the limit.
bool nesting_within_limit(std::span<const std::uint8_t> bytes) {
  int depth = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::uint8_t c = bytes[i];
    if (in_string) {
      if (c == '\\') ++i;
      else if (c == '"') in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > max_depth) return false;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return true;
}

Value from_json(const ordered_json& j) {
  switch (j.type()) {
    case ordered_json::value_t::boolean: return Value(j.get<bool>());
    case ordered_json::value_t::number_integer: return Value(j.get<std::int64_t>());
    case ordered_json::value_t::number_unsigned: {
      auto u = j.get<std::uint64_t>();
      if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        return Value(static_cast<std::int64_t>(u));
      return Value(static_cast<double>(u));
    }
    case ordered_json::value_t::number_float: return Value(j.get<double>());
    case ordered_json::value_t::string: return Value(j.get_ref<const std::string&>());
    case ordered_json::value_t::array: {
      Array a;
      a.reserve(j.size());
      for (const auto& item : j) a.push_back(from_json(item));
      return Value(std::move(a));
    }
    case ordered_json::value_t::object: {
      Dict d;
      for (const auto& [key, item] : j.items()) d.set(key, from_json(item));
      return Value(std::move(d));
    }
    default: return Value();
  }
}

const char* kind_name(Value::Kind k) {
  switch (k) {
    case Value::Kind::data: return "NSData";
    case Value::Kind::date: return "NSDate";
    case Value::Kind::object: return "object";
    default: return "value";
  }
}

class Writer {
 public:
  Writer(Bytes& out, const WriteOptions& options) : out_(out), options_(options) {}

  // Writes value; on failure returns the reason and leaves out_ partial.
  std::optional<Error> write(const Value& v, int depth) {
    if (depth > max_depth) return write_error("JSON nesting too deep");
    switch (v.kind()) {
      case Value::Kind::null: put("null"); return std::nullopt;
      case Value::Kind::boolean: put(*v.as_bool() ? "true" : "false"); return std::nullopt;
      case Value::Kind::integer: {
        char buf[24];
        auto r = std::to_chars(buf, buf + sizeof buf, *v.as_int());
        out_.insert(out_.end(), buf, r.ptr);
        return std::nullopt;
      }
      case Value::Kind::real: {
        double d = *v.as_double();
        if (!std::isfinite(d)) return write_error("Invalid number value (" + format_real(d) + ") in JSON write");
        put(format_real(d));
        return std::nullopt;
      }
      case Value::Kind::string: return string(*v.string());
      case Value::Kind::array: return array(*v.array(), depth);
      case Value::Kind::dict: return dict(*v.dict(), depth);
      case Value::Kind::data:
      case Value::Kind::date:
      case Value::Kind::object:
        return write_error(std::string("Invalid type in JSON write (") + kind_name(v.kind()) + ")");
    }
    return write_error("Invalid type in JSON write");
  }

 private:
  void put(std::string_view s) { out_.insert(out_.end(), s.begin(), s.end()); }
  void put(char c) { out_.push_back(static_cast<std::uint8_t>(c)); }
  void newline(int level) {
    put('\n');
    out_.insert(out_.end(), static_cast<std::size_t>(level) * 2, ' ');
  }

  // Pretty output closes on its own line; an empty container is "[\n\n]".
  void close(char bracket, bool empty, int depth) {
    if (options_.pretty) {
      if (empty) put('\n');
      newline(depth);
    }
    put(bracket);
  }

  std::optional<Error> string(std::string_view s) {
    if (!detail::utf8_valid(s)) return write_error("Invalid UTF-8 string in JSON write");
    static constexpr char hex[] = "0123456789abcdef";
    put('"');
    std::size_t run = 0;   // start of the pending unescaped run
    for (std::size_t i = 0; i < s.size(); ++i) {
      auto c = static_cast<unsigned char>(s[i]);
      const char* esc = nullptr;
      char u[7];
      switch (c) {
        case '"': esc = "\\\""; break;
        case '\\': esc = "\\\\"; break;
        case '/': esc = "\\/"; break;
        case '\b': esc = "\\b"; break;
        case '\f': esc = "\\f"; break;
        case '\n': esc = "\\n"; break;
        case '\r': esc = "\\r"; break;
        case '\t': esc = "\\t"; break;
        default:
          if (c < 0x20) {
            u[0] = '\\', u[1] = 'u', u[2] = '0', u[3] = '0', u[4] = hex[c >> 4], u[5] = hex[c & 15], u[6] = 0;
            esc = u;
          }
      }
      if (!esc) continue;
      put(s.substr(run, i - run));
      put(esc);
      run = i + 1;
    }
    put(s.substr(run));
    put('"');
    return std::nullopt;
  }

  std::optional<Error> array(const Array& a, int depth) {
    put('[');
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (i) put(',');
      if (options_.pretty) newline(depth + 1);
      if (auto e = write(a[i], depth + 1)) return e;
    }
    close(']', a.empty(), depth);
    return std::nullopt;
  }

  std::optional<Error> dict(const Dict& d, int depth) {
    std::vector<const Dict::Entry*> entries;
    entries.reserve(d.size());
    for (const auto& e : d) entries.push_back(&e);
    if (options_.sorted_keys)
      std::sort(entries.begin(), entries.end(), [](const Dict::Entry* a, const Dict::Entry* b) { return a->first < b->first; });
    put('{');
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (i) put(',');
      if (options_.pretty) newline(depth + 1);
      if (auto e = string(entries[i]->first)) return e;
      put(options_.pretty ? " : " : ":");
      if (auto e = write(entries[i]->second, depth + 1)) return e;
    }
    close('}', entries.empty(), depth);
    return std::nullopt;
  }

  Bytes& out_;
  const WriteOptions& options_;
};

bool is_container(const Value& v) { return v.is_array() || v.is_dict(); }

}  // namespace

Expected<Value> parse(std::span<const std::uint8_t> bytes, ReadOptions options) {
  if (bytes.empty()) return read_error("Unable to parse empty data.");
  if (!nesting_within_limit(bytes)) return read_error("JSON nesting deeper than " + std::to_string(max_depth) + " levels.");
  ordered_json j;
  try {
    j = ordered_json::parse(bytes.begin(), bytes.end());
  } catch (const ordered_json::exception& e) {
    std::string what = e.what();
    if (auto end = what.find("] "); what.starts_with("[json.exception.") && end != std::string::npos)
      what.erase(0, end + 2);
    return read_error("Invalid JSON: " + what);
  } catch (const std::bad_alloc&) {
    return read_error("JSON text too large.");
  }
  if (!options.allow_fragments && !j.is_array() && !j.is_object())
    return read_error("JSON text did not start with array or object and option to allow fragments not set.");
  return from_json(j);
}

Expected<Value> parse(std::string_view text, ReadOptions options) {
  return parse(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), options);
}

bool is_valid_object(const Value& value) {
  if (!is_container(value)) return false;
  Bytes scratch;
  WriteOptions options;
  return !Writer(scratch, options).write(value, 0);
}

Expected<Bytes> serialize(const Value& value, WriteOptions options) {
  if (!options.fragments_allowed && !is_container(value)) return write_error("Invalid top-level type in JSON write");
  Bytes out;
  if (auto e = Writer(out, options).write(value, 0)) return *e;
  return out;
}

}  // namespace platform::foundation::json
