#pragma once

#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <typeindex>
#include <utility>
#include <variant>
#include <vector>

namespace platform::foundation {

using Bytes = std::vector<std::uint8_t>;

// Seconds since 1970 as a double, the unit used throughout.
struct Date {
  double since_1970 = 0;
  static Date now();                                  // from the process clock (dispatch::Clock)
  static constexpr double reference_offset = 978307200.0;   // 2001-01-01 in seconds since 1970
  static Date from_reference_date(double since_2001) { return Date{since_2001 + reference_offset}; }
  double since_reference_date() const { return since_1970 - reference_offset; }
  auto operator<=>(const Date&) const = default;
};

class Value;
using Array = std::vector<Value>;

// String-keyed dictionary that keeps insertion order. Lookup is linear: the
// dictionaries that flow through the system are small.
class Dict {
 public:
  using Entry = std::pair<std::string, Value>;
  using const_iterator = std::vector<Entry>::const_iterator;

  Dict() = default;
  Dict(std::initializer_list<Entry> entries);

  const Value* find(std::string_view key) const;
  Value* find(std::string_view key);
  const Value& get(std::string_view key) const;       // null Value when absent
  void set(std::string key, Value value);             // replaces in place or appends
  bool erase(std::string_view key);
  bool contains(std::string_view key) const { return find(key) != nullptr; }
  // Defined below Value: the entries need the complete type.
  std::size_t size() const;
  bool empty() const;
  void clear();
  const_iterator begin() const;
  const_iterator end() const;
  std::vector<std::string> keys() const;

  friend bool operator==(const Dict& a, const Dict& b);   // deep, order-insensitive

 private:
  std::vector<Entry> entries_;
};

// Class name and description of objects carried inside a Value. Specialise
// for types that need a specific class name or description text.
template <class T>
struct ObjectTraits {
  static constexpr std::string_view class_name = "NSObject";
};

// A live object inside a Value (URL, user activity, runtime object, key...).
// Compared by identity.
struct Opaque {
  std::shared_ptr<void> ptr;
  std::type_index type = typeid(void);
  std::string_view class_name;
  std::string (*describe)(const void*) = nullptr;      // nullptr: "<ClassName: 0x...>"
};

std::string pointer_text(const void* p);                   // "0x" + lower-case hex

namespace detail {
template <class T>
concept HasDescribe = requires(const T& t) {
  { ObjectTraits<T>::describe(t) } -> std::convertible_to<std::string>;
};
}  // namespace detail

class Value {
 public:
  enum class Kind { null, boolean, integer, real, string, data, date, array, dict, object };

  Value() = default;
  Value(std::nullptr_t) {}
  Value(bool b) : v_(b) {}
  Value(int i) : v_(std::int64_t{i}) {}
  Value(long i) : v_(std::int64_t{i}) {}
  Value(long long i) : v_(std::int64_t{i}) {}
  Value(unsigned i) : v_(std::int64_t{i}) {}
  Value(double d) : v_(d) {}
  Value(std::string s) : v_(std::move(s)) {}
  Value(const char* s) : v_(std::string(s)) {}
  Value(std::string_view s) : v_(std::string(s)) {}
  Value(Bytes b) : v_(std::move(b)) {}
  Value(Date d) : v_(d) {}
  Value(Array a) : v_(std::move(a)) {}
  Value(Dict d) : v_(std::move(d)) {}

  template <class T>
  static Value object(std::shared_ptr<T> p) {
    Value v;
    Opaque o;
    o.type = typeid(T);
    o.class_name = ObjectTraits<T>::class_name;
    if constexpr (detail::HasDescribe<T>) {
      o.describe = [](const void* raw) -> std::string { return ObjectTraits<T>::describe(*static_cast<const T*>(raw)); };
    }
    o.ptr = std::const_pointer_cast<std::remove_const_t<T>>(std::move(p));
    v.v_ = std::move(o);
    return v;
  }

  Kind kind() const { return static_cast<Kind>(v_.index()); }
  bool is_null() const { return kind() == Kind::null; }
  bool is_bool() const { return kind() == Kind::boolean; }
  bool is_integer() const { return kind() == Kind::integer; }
  bool is_real() const { return kind() == Kind::real; }
  bool is_number() const { return is_bool() || is_integer() || is_real(); }
  bool is_string() const { return kind() == Kind::string; }
  bool is_data() const { return kind() == Kind::data; }
  bool is_date() const { return kind() == Kind::date; }
  bool is_array() const { return kind() == Kind::array; }
  bool is_dict() const { return kind() == Kind::dict; }
  bool is_object() const { return kind() == Kind::object; }

  // Number views: defined for booleans, integers and reals only.
  std::optional<bool> as_bool() const;
  std::optional<std::int64_t> as_int() const;       // reals truncate toward zero (saturating)
  std::optional<double> as_double() const;

  // Exact views: nullptr when the kind differs. No coercion.
  const std::string* string() const { return std::get_if<std::string>(&v_); }
  std::string* string() { return std::get_if<std::string>(&v_); }
  const Bytes* data() const { return std::get_if<Bytes>(&v_); }
  Bytes* data() { return std::get_if<Bytes>(&v_); }
  const Date* date() const { return std::get_if<Date>(&v_); }
  const Array* array() const { return std::get_if<Array>(&v_); }
  Array* array() { return std::get_if<Array>(&v_); }
  const Dict* dict() const { return std::get_if<Dict>(&v_); }
  Dict* dict() { return std::get_if<Dict>(&v_); }
  const Opaque* opaque() const { return std::get_if<Opaque>(&v_); }

  template <class T>
  std::shared_ptr<T> object() const {
    const Opaque* o = opaque_of(typeid(T));
    return o ? std::static_pointer_cast<T>(o->ptr) : nullptr;
  }

  const Value& operator[](std::string_view key) const;       // null Value unless a dict holding key
  const Value& operator[](std::size_t index) const;          // null Value unless an array with index
  const Value& operator[](int index) const { return index < 0 ? null_value() : (*this)[static_cast<std::size_t>(index)]; }

  friend bool operator==(const Value& a, const Value& b);

  static const Value& null_value();

 private:
  // The object when it is of the given type. Out of line: inlined, the type
  // comparison trips g++'s maybe-uninitialized analysis in sanitizer builds.
  const Opaque* opaque_of(const std::type_info& type) const;

  std::variant<std::monostate, bool, std::int64_t, double, std::string, Bytes, Date, Array, Dict, Opaque> v_;
};

inline std::size_t Dict::size() const { return entries_.size(); }
inline bool Dict::empty() const { return entries_.empty(); }
inline void Dict::clear() { entries_.clear(); }
inline Dict::const_iterator Dict::begin() const { return entries_.begin(); }
inline Dict::const_iterator Dict::end() const { return entries_.end(); }

// The "%@" text of a value: raw text for a top-level string, the classic
// property-list style for containers, "<null>" for null.
std::string describe(const Value& value);

// Shortest text that reads back to the same double ("1" for 1.0).
std::string format_real(double d);

std::string hex_lower(std::span<const std::uint8_t> bytes);
// Bytes of a hex text in either case; spaces, "<" and ">" are skipped (so the
// data_description form reads back). nullopt for other characters, an odd
// digit count or no digits.
std::optional<Bytes> parse_hex(std::string_view text);
// "<a1b2c3d4 e5f6>": groups of four bytes.
std::string data_description(std::span<const std::uint8_t> bytes);

// Standard padded Base64.
std::string base64_encode(std::span<const std::uint8_t> bytes);
std::optional<Bytes> base64_decode(std::string_view text);   // nullopt on invalid input

inline Bytes to_bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }
inline std::string to_string(std::span<const std::uint8_t> b) { return std::string(b.begin(), b.end()); }

}  // namespace platform::foundation
