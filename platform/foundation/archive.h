#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/foundation/value.h"

// A self-describing keyed archive: a binary property list
//   {"$archiver": "PlatformKeyedArchiver", "$version": 1,
//    "$top": {"$class": <class name>, "$fields": {<coding key>: <value>, ...}}}
//
// Fields hold any Value kind except opaque objects. A nested object is a dict
// of exactly two entries, {"$class": <string>, "$fields": <dict>}: make one
// with as_value() and read it back with as_archived(). Null is kept (stored as
// {"$null": true}), and a plain dict that has keys starting with "$" is
// stored wrapped as {"$dict": {...}}, so every field reads back as written.
// Dates keep whole microseconds.
namespace platform::foundation::archive {

inline constexpr std::string_view archiver_name = "PlatformKeyedArchiver";

struct Archived {
  std::string class_name;
  Dict fields;

  friend bool operator==(const Archived&, const Archived&) = default;
};

// The archive bytes; empty when the graph holds something no property list
// can (an opaque object, a string with NUL, a date out of range).
Bytes archive(const Archived& root);

// The root object, or nullopt for anything that is not such an archive.
std::optional<Archived> unarchive(std::span<const std::uint8_t> bytes);

// A nested object as stored in a parent's fields, and back.
Value as_value(const Archived& object);
std::optional<Archived> as_archived(const Value& value);

}  // namespace platform::foundation::archive
