#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "platform/foundation/expected.h"
#include "platform/foundation/value.h"

// JSON reading and writing.
//
// Reading goes through nlohmann's ordered_json, so object members keep their
// order; a repeated key keeps its first position and its last value. Numbers
// keep their kind: true/false are booleans, integral numbers integers (an
// integer above INT64_MAX becomes a real), the rest reals. Nesting deeper than
// max_depth is refused. Failures are Error{NSCocoaErrorDomain, 3840} with an
// NSDebugDescription.
//
// Writing is our own code with fixed bytes: "/" is written "\/", control
// characters as \b \f \n \r \t or \u00xx, other text (UTF-8) as is; integers
// plain, reals in the shortest form that reads back ("1" for 1.0), booleans
// true/false. Compact output has no spaces; pretty output indents by two
// spaces, writes `"key" : value`, and an empty container as "[\n\n]"/"{\n\n}".
// Keys keep insertion order unless sorted_keys (byte order). Anything that is
// not JSON (non-finite number, data, date, object, invalid UTF-8, or a
// top-level scalar without fragments_allowed) fails with 3851; nothing is
// ever written as null in its place.
namespace platform::foundation::json {

inline constexpr int max_depth = 512;

struct ReadOptions {
  bool allow_fragments = false;      // accept a top-level string, number, boolean or null
  bool mutable_containers = false;   // no effect: Values are always mutable
};

struct WriteOptions {
  bool pretty = false;
  bool sorted_keys = false;
  bool fragments_allowed = false;    // accept a top-level scalar
};

Expected<Value> parse(std::span<const std::uint8_t> bytes, ReadOptions options = {});
Expected<Value> parse(std::string_view text, ReadOptions options = {});

// Top-level array or dict whose leaves are strings, finite numbers, booleans
// and nulls, nested in arrays and dicts.
bool is_valid_object(const Value& value);

Expected<Bytes> serialize(const Value& value, WriteOptions options = {});

}  // namespace platform::foundation::json
