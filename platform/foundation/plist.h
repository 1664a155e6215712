#pragma once

#include <cstdint>
#include <filesystem>
#include <span>

#include "platform/foundation/expected.h"
#include "platform/foundation/value.h"

// Property lists over libplist: XML and binary ("bplist00"). Old-style ASCII
// property lists are not supported and fail to parse.
//
// Kinds map one to one: booleans stay booleans, integers (signed 64-bit, both
// directions) stay integers, reals stay reals, and data, dates, strings,
// arrays and dicts keep theirs. Dict order is kept; a repeated key keeps its
// last value. A keyed-archive UID reads as {"CF$UID": n}.
//
// Dates: binary keeps microseconds, XML whole seconds (the XML date form has
// no fraction). Dates must lie within the 32-bit seconds range around
// 2001-01-01 (about 1933 to 2069): libplist carries no other; a date outside
// it fails to read (3840) and to write (3851).
//
// Parsing refuses nesting deeper than max_depth and binary object graphs that
// refer back to themselves or expand far beyond their size. Failures are
// Error{NSCocoaErrorDomain, 3840}. Writing null, an object, a string holding
// NUL or invalid UTF-8, a date out of range or a too deep value is
// Error{NSCocoaErrorDomain, 3851}.
namespace platform::foundation::plist {

enum class Format { xml, binary };

inline constexpr int max_depth = 512;

Expected<Value> parse(std::span<const std::uint8_t> bytes);
Expected<Bytes> serialize(const Value& value, Format format);

// File errors: 260 when the file is missing, 257 without permission, 256
// otherwise (NSFilePath set); then the parse errors above.
Expected<Value> read_file(const std::filesystem::path& path);

// Serializes, writes a temporary file in the destination folder, syncs it and
// renames it over the destination; on any failure the temporary file is
// removed and the destination is untouched. An existing file keeps its
// permissions; a new one gets 0644. File errors: 4 when the folder is
// missing, 513 without permission, 640 when out of space, 512 otherwise.
Expected<void> write_file_atomically(const Value& value, const std::filesystem::path& path, Format format = Format::xml);

}  // namespace platform::foundation::plist
