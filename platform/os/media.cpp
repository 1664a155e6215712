#include "platform/os/media.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace platform::os {

namespace {

struct MimeEntry {
  std::string_view extension, type;
};

// Sorted by extension for binary search.
constexpr std::array<MimeEntry, 58> kMimeTable{{
    {"3gp", "video/3gpp"},
    {"7z", "application/x-7z-compressed"},
    {"aac", "audio/aac"},
    {"aif", "audio/aiff"},
    {"aiff", "audio/aiff"},
    {"avi", "video/avi"},
    {"bin", "application/octet-stream"},
    {"bmp", "image/bmp"},
    {"caf", "audio/x-caf"},
    {"css", "text/css"},
    {"csv", "text/csv"},
    {"doc", "application/msword"},
    {"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
    {"gif", "image/gif"},
    {"gz", "application/x-gzip"},
    {"heic", "image/heic"},
    {"heif", "image/heif"},
    {"htm", "text/html"},
    {"html", "text/html"},
    {"ico", "image/vnd.microsoft.icon"},
    {"ics", "text/calendar"},
    {"jpe", "image/jpeg"},
    {"jpeg", "image/jpeg"},
    {"jpg", "image/jpeg"},
    {"js", "text/javascript"},
    {"json", "application/json"},
    {"m4a", "audio/x-m4a"},
    {"m4v", "video/x-m4v"},
    {"md", "text/markdown"},
    {"mov", "video/quicktime"},
    {"mp3", "audio/mpeg"},
    {"mp4", "video/mp4"},
    {"mpeg", "video/mpeg"},
    {"mpg", "video/mpeg"},
    {"odt", "application/vnd.oasis.opendocument.text"},
    {"otf", "font/otf"},
    {"pdf", "application/pdf"},
    {"plist", "application/x-plist"},
    {"png", "image/png"},
    {"ppt", "application/vnd.ms-powerpoint"},
    {"pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
    {"rtf", "text/rtf"},
    {"svg", "image/svg+xml"},
    {"tar", "application/x-tar"},
    {"tif", "image/tiff"},
    {"tiff", "image/tiff"},
    {"ttf", "font/ttf"},
    {"txt", "text/plain"},
    {"vcf", "text/vcard"},
    {"wav", "audio/vnd.wave"},
    {"webm", "video/webm"},
    {"webp", "image/webp"},
    {"woff", "font/woff"},
    {"woff2", "font/woff2"},
    {"xls", "application/vnd.ms-excel"},
    {"xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
    {"xml", "application/xml"},
    {"zip", "application/zip"},
}};

constexpr bool table_sorted() {
  for (std::size_t i = 1; i < kMimeTable.size(); ++i) {
    if (!(kMimeTable[i - 1].extension < kMimeTable[i].extension)) return false;
  }
  return true;
}

std::uint32_t be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
}

}  // namespace

std::string mime_type_for_extension(std::string_view extension) {
  static_assert(table_sorted(), "kMimeTable must stay sorted by extension");
  if (!extension.empty() && extension.front() == '.') extension.remove_prefix(1);
  std::string lower(extension);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
  auto it = std::lower_bound(kMimeTable.begin(), kMimeTable.end(), lower,
                             [](const MimeEntry& e, const std::string& key) { return e.extension < key; });
  if (it != kMimeTable.end() && it->extension == lower) return std::string(it->type);
  return "application/octet-stream";
}

std::optional<std::pair<int, int>> png_size(std::span<const std::uint8_t> bytes) {
  static constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  if (bytes.size() < 8 || std::memcmp(bytes.data(), kSignature, 8) != 0) return std::nullopt;
  std::size_t at = 8;
  bool skipped_cgbi = false;
  while (at + 8 <= bytes.size()) {
    std::uint32_t length = be32(bytes.data() + at);
    const std::uint8_t* type = bytes.data() + at + 4;
    if (std::memcmp(type, "IHDR", 4) == 0) {
      if (length < 8 || at + 16 > bytes.size()) return std::nullopt;
      std::uint32_t w = be32(bytes.data() + at + 8), h = be32(bytes.data() + at + 12);
      if (w == 0 || h == 0 || w > 0x7fffffffu || h > 0x7fffffffu) return std::nullopt;
      return std::pair<int, int>{static_cast<int>(w), static_cast<int>(h)};
    }
    if (skipped_cgbi || std::memcmp(type, "CgBI", 4) != 0) return std::nullopt;  // IHDR must come first
    skipped_cgbi = true;
    at += std::size_t{12} + length;  // length, type, data, CRC
  }
  return std::nullopt;
}

}  // namespace platform::os
