#pragma once
// File-type facts: MIME types by extension and PNG dimensions.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace platform::os {

// MIME type of a file-name extension ("png", ".PNG"), from a compiled-in
// table; "application/octet-stream" for anything it does not know.
std::string mime_type_for_extension(std::string_view extension);

// (width, height) from the IHDR chunk of PNG bytes; nullopt when the bytes
// are not a PNG or are cut short. Accepts the optimised form whose IHDR
// follows a leading "CgBI" chunk.
std::optional<std::pair<int, int>> png_size(std::span<const std::uint8_t> bytes);

}  // namespace platform::os
