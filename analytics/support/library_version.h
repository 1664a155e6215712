#pragma once
// The analytics library version, part of every monitoring key. Callable from
// any thread.
#include <cstdint>
#include <string_view>

namespace analytics {

inline constexpr std::string_view kAPMLibraryVersionText = "50300000";

// The version text without its last three characters, as a number; 0 for a
// text shorter than 4 or one that is not a number.
std::int64_t APMLibraryVersionFromText(std::string_view text);
// APMLibraryVersionFromText(kAPMLibraryVersionText): 50300.
std::int64_t APMLibraryVersion();

}  // namespace analytics
