#include "platform/foundation/plist.h"

#include "platform/foundation/fd_io.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <plist/plist.h>

#include "platform/foundation/utf8_check.h"

namespace platform::foundation::plist {

namespace {

struct NodeFree {
  void operator()(plist_t node) const { plist_free(node); }
};
using Node = std::unique_ptr<void, NodeFree>;

Error cocoa(std::int64_t code, std::string text) {
  return Error(std::string(cocoa_error::domain), code, Dict{{std::string(key_debug_description), Value(std::move(text))}});
}
Error read_error(std::string text) { return cocoa(cocoa_error::property_list_read_corrupt, std::move(text)); }
Error write_error(std::string text) { return cocoa(cocoa_error::property_list_write_invalid, std::move(text)); }

// ---- input checks ahead of libplist -------------------------------------------
// libplist recurses over nesting when converting and freeing, and expands a
// binary object shared by several references once per reference. These checks
// bound both before libplist sees the input.

constexpr std::string_view binary_magic = "bplist00";

std::uint64_t big_endian(const std::uint8_t* p, unsigned n) {
  std::uint64_t v = 0;
  for (unsigned i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
}

// Nesting and expanded size of a binary plist's object graph. Returns an error
// text when it nests deeper than max_depth, refers back to itself or expands
// to too many objects; an empty text when fine or when the structure is not
// understood (libplist then judges it).
std::string check_binary_graph(std::span<const std::uint8_t> b) {
  constexpr std::size_t trailer_size = 32;
  if (b.size() < binary_magic.size() + trailer_size) return {};
  const std::uint8_t* t = b.data() + b.size() - trailer_size;
  const unsigned offset_size = t[6], ref_size = t[7];
  const std::uint64_t count = big_endian(t + 8, 8), top = big_endian(t + 16, 8), table = big_endian(t + 24, 8);
  if (offset_size < 1 || offset_size > 8 || ref_size < 1 || ref_size > 8) return {};
  if (count == 0 || top >= count || table >= b.size() || count > (b.size() - table) / offset_size) return {};

  // Type, element count and first content byte of an object.
  auto header = [&](std::uint64_t obj, unsigned& type, std::uint64_t& n, std::uint64_t& pos) {
    const std::uint64_t off = big_endian(b.data() + table + obj * offset_size, offset_size);
    if (off >= b.size()) return false;
    type = b[off] >> 4;
    n = b[off] & 0x0F;
    pos = off + 1;
    if (n == 0x0F && (type == 0x4 || type == 0x5 || type == 0x6 || type >= 0xA)) {
      if (pos >= b.size() || (b[pos] >> 4) != 0x1) return false;
      const unsigned len = 1u << (b[pos] & 0x0F);
      if (len > 8 || len > b.size() - pos - 1) return false;
      n = big_endian(b.data() + pos + 1, len);
      pos += 1 + len;
    }
    return true;
  };

  // libplist asserts when a dict key holds NUL, so such keys are refused here.
  auto key_holds_nul = [&](std::uint64_t obj) {
    unsigned type = 0;
    std::uint64_t n = 0, pos = 0;
    if (obj >= count || !header(obj, type, n, pos)) return false;
    const std::uint64_t unit = type == 0x5 ? 1 : type == 0x6 ? 2 : 0;
    if (unit == 0 || n > (b.size() - pos) / unit) return false;
    for (std::uint64_t i = 0; i < n; ++i) {
      const std::uint8_t* c = b.data() + pos + i * unit;
      if (c[0] == 0 && (unit == 1 || c[1] == 0)) return true;
    }
    return false;
  };

  // Refs of a container object, or false for any other (or unreadable)
  // object. bad_key is set for a dict with a key that holds NUL.
  auto children = [&](std::uint64_t obj, std::uint64_t& start, std::uint64_t& n, bool& bad_key) {
    unsigned type = 0;
    std::uint64_t pos = 0;
    if (!header(obj, type, n, pos) || (type != 0xA && type != 0xC && type != 0xD)) return false;
    const std::uint64_t keys = type == 0xD ? n : 0;
    if (type == 0xD) {
      if (n > std::numeric_limits<std::uint64_t>::max() / 2) return false;
      n *= 2;
    }
    if (n > (b.size() - pos) / ref_size) return false;
    start = pos;
    for (std::uint64_t i = 0; i < keys && !bad_key; ++i)
      bad_key = key_holds_nul(big_endian(b.data() + pos + i * ref_size, ref_size));
    return true;
  };

  // Depth-first walk with memoised height and expanded size per object. A
  // frame rereads its current ref once the child it pushed is done.
  const std::uint64_t max_expanded = (std::uint64_t{1} << 20) + 32 * std::uint64_t{b.size()};
  enum : std::uint8_t { unseen, open, done };
  std::vector<std::uint8_t> state(count, unseen);
  std::vector<std::uint32_t> height(count, 0);     // leaves 0, containers 1 + deepest child
  std::vector<std::uint64_t> expanded(count, 1);   // objects after expanding shared refs
  struct Frame {
    std::uint64_t obj, start, n, next = 0;
    std::uint32_t max_child = 0;
    std::uint64_t size = 1;
  };
  std::vector<Frame> stack;
  bool bad_key = false;
  {
    std::uint64_t start = 0, n = 0;
    if (!children(top, start, n, bad_key)) return {};
    if (bad_key) return "Property list dictionary key holds NUL";
    state[top] = open;
    stack.push_back({top, start, n});
  }
  while (!stack.empty()) {
    Frame& f = stack.back();
    if (f.next == f.n) {
      state[f.obj] = done;
      height[f.obj] = f.max_child + 1;
      expanded[f.obj] = f.size;
      if (height[f.obj] > static_cast<std::uint32_t>(max_depth)) return "Property list nesting too deep";
      stack.pop_back();
      continue;
    }
    const std::uint64_t child = big_endian(b.data() + f.start + f.next * ref_size, ref_size);
    if (child >= count) return {};
    if (state[child] == open) return "Property list object refers to itself";
    if (state[child] == unseen) {
      std::uint64_t start = 0, n = 0;
      if (children(child, start, n, bad_key)) {
        if (bad_key) return "Property list dictionary key holds NUL";
        if (stack.size() >= static_cast<std::size_t>(max_depth)) return "Property list nesting too deep";
        state[child] = open;
        stack.push_back({child, start, n});   // f is not used past this point
        continue;
      }
      state[child] = done;
    }
    f.max_child = std::max(f.max_child, height[child]);
    f.size += expanded[child];
    if (f.size > max_expanded) return "Property list expands too far";
    ++f.next;
  }
  return {};
}

// Nesting of array and dict elements in an XML plist. Returns an error text
// when deeper than max_depth or when the tags do not pair up.
std::string check_xml_nesting(std::span<const std::uint8_t> b) {
  const std::string_view s(reinterpret_cast<const char*>(b.data()), b.size());
  std::string open_tags;   // 'a' for array, 'd' for dict
  std::size_t i = 0;
  while ((i = s.find('<', i)) != std::string_view::npos) {
    auto skip_past = [&](std::string_view end) {
      std::size_t e = s.find(end, i);
      i = e == std::string_view::npos ? s.size() : e + end.size();
    };
    std::string_view rest = s.substr(i);
    if (rest.starts_with("<!--")) {
      skip_past("-->");
      continue;
    }
    if (rest.starts_with("<![CDATA[")) {
      skip_past("]]>");
      continue;
    }
    const bool closing = rest.starts_with("</");
    std::size_t name_start = i + (closing ? 2 : 1), name_end = name_start;
    while (name_end < s.size() && ((s[name_end] >= 'a' && s[name_end] <= 'z') || (s[name_end] >= 'A' && s[name_end] <= 'Z')))
      ++name_end;
    const std::string_view name = s.substr(name_start, name_end - name_start);
    const std::size_t tag_end = s.find('>', name_end);
    if (tag_end == std::string_view::npos) return {};
    i = tag_end + 1;
    if (name != "array" && name != "dict") continue;
    const char kind = name[0];
    if (closing) {
      if (open_tags.empty() || open_tags.back() != kind) return "Unbalanced property list tags";
      open_tags.pop_back();
    } else if (s[tag_end - 1] != '/') {
      open_tags.push_back(kind);
      if (open_tags.size() > static_cast<std::size_t>(max_depth)) return "Property list nesting too deep";
    }
  }
  return {};
}

// ---- libplist nodes to Values -------------------------------------------------

// plist_get_date_val truncates the fraction to whole microseconds and drops
// its sign; the exact stored value is found among the neighbours. A stored
// time beyond the 32-bit seconds range (or NaN) comes back as INT32_MIN
// seconds or a nonsense fraction and is refused.
std::optional<Date> date_of(plist_t node) {
  std::int32_t sec = 0, usec = 0;
  plist_get_date_val(node, &sec, &usec);
  if (sec == std::numeric_limits<std::int32_t>::min() || usec < 0 || usec > 999999) return std::nullopt;
  for (std::int32_t u : {usec, -usec, usec + 1, -(usec + 1)}) {
    Node candidate(plist_new_date(sec, u));
    if (plist_compare_node_value(node, candidate.get())) return Date::from_reference_date(sec + u / 1e6);
  }
  return Date::from_reference_date(sec < 0 ? sec - usec / 1e6 : sec + usec / 1e6);
}

Expected<Value> to_value(plist_t node, int depth) {
  if (depth > max_depth) return read_error("Property list nesting too deep");
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      std::uint8_t b = 0;
      plist_get_bool_val(node, &b);
      return Value(b != 0);
    }
    case PLIST_UINT: {
      std::uint64_t u = 0;
      plist_get_uint_val(node, &u);
      return Value(static_cast<std::int64_t>(u));
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      return Value(d);
    }
    case PLIST_STRING:
    case PLIST_KEY: {
      std::uint64_t len = 0;
      const char* p = plist_get_string_ptr(node, &len);
      return Value(p ? std::string(p, len) : std::string());
    }
    case PLIST_DATA: {
      std::uint64_t len = 0;
      const char* p = plist_get_data_ptr(node, &len);
      const auto* u = reinterpret_cast<const std::uint8_t*>(p);
      return Value(p ? Bytes(u, u + len) : Bytes());
    }
    case PLIST_DATE: {
      auto date = date_of(node);
      if (!date) return read_error("Property list date out of range");
      return Value(*date);
    }
    case PLIST_UID: {
      std::uint64_t uid = 0;
      plist_get_uid_val(node, &uid);
      return Value(Dict{{"CF$UID", Value(static_cast<std::int64_t>(uid))}});
    }
    case PLIST_ARRAY: {
      Array a;
      a.reserve(plist_array_get_size(node));
      plist_array_iter it = nullptr;
      plist_array_new_iter(node, &it);
      std::unique_ptr<void, decltype(&std::free)> guard(it, &std::free);
      for (plist_t item = nullptr;;) {
        item = nullptr;
        plist_array_next_item(node, it, &item);
        if (!item) break;
        auto v = to_value(item, depth + 1);
        if (!v) return v;
        a.push_back(std::move(*v));
      }
      return Value(std::move(a));
    }
    case PLIST_DICT: {
      Dict d;
      plist_dict_iter it = nullptr;
      plist_dict_new_iter(node, &it);
      std::unique_ptr<void, decltype(&std::free)> guard(it, &std::free);
      for (;;) {
        // The key is fetched separately: libplist asserts when asked for the
        // text of a key that is not a string, which a binary plist can hold.
        plist_t item = nullptr;
        plist_dict_next_item(node, it, nullptr, &item);
        if (!item) break;
        plist_t key_node = plist_dict_item_get_key(item);
        if (!key_node || plist_get_node_type(key_node) != PLIST_KEY) return read_error("Property list dictionary key is not a string");
        char* key = nullptr;
        plist_get_key_val(key_node, &key);
        std::unique_ptr<char, decltype(&std::free)> key_guard(key, &std::free);
        auto v = to_value(item, depth + 1);
        if (!v) return v;
        d.set(key ? std::string(key) : std::string(), std::move(*v));
      }
      return Value(std::move(d));
    }
    default: return read_error("Unknown property list object");
  }
}

// ---- Values to libplist nodes -------------------------------------------------

bool representable(const std::string& s) { return s.find('\0') == std::string::npos && detail::utf8_valid(s); }

Expected<Node> to_node(const Value& v, int depth) {
  if (depth > max_depth) return write_error("Property list nesting too deep");
  switch (v.kind()) {
    case Value::Kind::null: return write_error("Property list invalid for format (null)");
    case Value::Kind::object: return write_error("Property list invalid for format (object)");
    case Value::Kind::boolean: return Node(plist_new_bool(*v.as_bool() ? 1 : 0));
    case Value::Kind::integer: return Node(plist_new_uint(static_cast<std::uint64_t>(*v.as_int())));
    case Value::Kind::real: return Node(plist_new_real(*v.as_double()));
    case Value::Kind::string: {
      if (!representable(*v.string())) return write_error("Property list string holds NUL or invalid UTF-8");
      return Node(plist_new_string(v.string()->c_str()));
    }
    case Value::Kind::data: {
      const Bytes& b = *v.data();
      return Node(plist_new_data(reinterpret_cast<const char*>(b.data()), b.size()));
    }
    case Value::Kind::date: {
      const double since = v.date()->since_reference_date();
      double whole = std::trunc(since);
      double micros = std::round((since - whole) * 1e6);
      if (std::fabs(micros) >= 1e6) {
        whole += micros > 0 ? 1 : -1;
        micros = 0;
      }
      if (!std::isfinite(since) || whole <= std::numeric_limits<std::int32_t>::min() ||
          whole >= std::numeric_limits<std::int32_t>::max())
        return write_error("Property list date out of range");
      return Node(plist_new_date(static_cast<std::int32_t>(whole), static_cast<std::int32_t>(micros)));
    }
    case Value::Kind::array: {
      Node array(plist_new_array());
      for (const Value& item : *v.array()) {
        auto child = to_node(item, depth + 1);
        if (!child) return child;
        plist_array_append_item(array.get(), child->release());
      }
      return array;
    }
    case Value::Kind::dict: {
      Node dict(plist_new_dict());
      for (const auto& [key, item] : *v.dict()) {
        if (!representable(key)) return write_error("Property list key holds NUL or invalid UTF-8");
        auto child = to_node(item, depth + 1);
        if (!child) return child;
        plist_dict_set_item(dict.get(), key.c_str(), child->release());
      }
      return dict;
    }
  }
  return write_error("Property list invalid for format");
}

// ---- files ----------------------------------------------------------------------

Error file_error(int err, std::int64_t code, const std::filesystem::path& path) {
  Dict info{{std::string(key_file_path), Value(path.string())}};
  info.set(std::string(key_underlying_error),
           Value::object(std::make_shared<Error>(std::string(posix_error::domain), err,
                                                 Dict{{std::string(key_localized_description), Value(std::strerror(err))}})));
  return Error(std::string(cocoa_error::domain), code, std::move(info));
}

std::int64_t read_code(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR: return cocoa_error::file_read_no_such_file;
    case EACCES:
    case EPERM: return cocoa_error::file_read_no_permission;
    default: return cocoa_error::file_read_unknown;
  }
}

std::int64_t write_code(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR: return cocoa_error::file_no_such_file;
    case EACCES:
    case EPERM:
    case EROFS: return cocoa_error::file_write_no_permission;
    case ENOSPC:
    case EDQUOT: return cocoa_error::file_write_out_of_space;
    default: return cocoa_error::file_write_unknown;
  }
}

}  // namespace

Expected<Value> parse(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return read_error("Cannot parse a property list from empty data");
  if (bytes.size() > std::numeric_limits<std::uint32_t>::max()) return read_error("Property list too large");
  const bool binary = std::string_view(reinterpret_cast<const char*>(bytes.data()), std::min<std::size_t>(bytes.size(), 8)) ==
                      binary_magic;
  if (std::string problem = binary ? check_binary_graph(bytes) : check_xml_nesting(bytes); !problem.empty())
    return read_error(problem);
  plist_t raw = nullptr;
  const auto* data = reinterpret_cast<const char*>(bytes.data());
  const auto size = static_cast<std::uint32_t>(bytes.size());
  if (binary) plist_from_bin(data, size, &raw);
  else plist_from_xml(data, size, &raw);
  Node root(raw);
  if (!root) return read_error(binary ? "Malformed binary property list" : "Malformed or unsupported property list (XML and binary only)");
  return to_value(root.get(), 0);
}

Expected<Bytes> serialize(const Value& value, Format format) {
  auto root = to_node(value, 0);
  if (!root) return root.error();
  char* out = nullptr;
  std::uint32_t len = 0;
  if (format == Format::binary) plist_to_bin(root->get(), &out, &len);
  else plist_to_xml(root->get(), &out, &len);
  if (!out) return write_error("Property list could not be written");
  Bytes bytes(reinterpret_cast<const std::uint8_t*>(out), reinterpret_cast<const std::uint8_t*>(out) + len);
  if (format == Format::binary) plist_to_bin_free(out);
  else plist_to_xml_free(out);
  return bytes;
}

Expected<Value> read_file(const std::filesystem::path& path) {
  Bytes bytes;
  int err = fd_io::read_file(path, bytes);
  if (err != 0) return file_error(err, read_code(err), path);
  return parse(bytes);
}

Expected<void> write_file_atomically(const Value& value, const std::filesystem::path& path, Format format) {
  auto bytes = serialize(value, format);
  if (!bytes) return bytes.error();

  std::filesystem::path dir = path.parent_path();
  if (dir.empty()) dir = ".";
  std::string tmpl = (dir / ("." + path.filename().string() + ".XXXXXX")).string();
  int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
  if (fd < 0) return file_error(errno, write_code(errno), path);

  auto fail = [&](int err) -> Expected<void> {
    if (fd >= 0) ::close(fd);
    ::unlink(tmpl.c_str());
    return file_error(err, write_code(err), path);
  };

  struct stat existing {};
  const mode_t mode = ::stat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode) ? existing.st_mode & 07777 : 0644;
  if (::fchmod(fd, mode) != 0) return fail(errno);
  if (int err = fd_io::write_all(fd, *bytes)) return fail(err);
  if (::fsync(fd) != 0) return fail(errno);
  int closed = ::close(fd);
  fd = -1;
  if (closed != 0) return fail(errno);
  if (::rename(tmpl.c_str(), path.c_str()) != 0) return fail(errno);

  // Make the rename itself durable; the file is already in place either way.
  if (int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return {};
}

}  // namespace platform::foundation::plist
