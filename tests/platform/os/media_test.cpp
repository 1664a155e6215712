#include "platform/os/media.h"

#include <gtest/gtest.h>

#include <vector>

namespace platform::os::test {
namespace {

TEST(MediaTest, MimeTypesFromTheTable) {
  struct Case {
    const char* extension;
    const char* type;
  };
  const Case cases[] = {
      {"png", "image/png"},          {"PNG", "image/png"},        {".jpg", "image/jpeg"},
      {"jpeg", "image/jpeg"},        {"json", "application/json"}, {"txt", "text/plain"},
      {"html", "text/html"},         {"pdf", "application/pdf"},  {"mp4", "video/mp4"},
      {"gif", "image/gif"},          {"zip", "application/zip"},  {"7z", "application/x-7z-compressed"},
      {"xyz", "application/octet-stream"},                        {"", "application/octet-stream"},
      {"png.exe", "application/octet-stream"},
  };
  for (const Case& c : cases) EXPECT_EQ(mime_type_for_extension(c.extension), c.type) << c.extension;
}

std::vector<std::uint8_t> png(std::uint32_t w, std::uint32_t h, bool crushed = false) {
  std::vector<std::uint8_t> b{0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  auto be32 = [&](std::uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<std::uint8_t>(v >> s));
  };
  if (crushed) {
    be32(4);
    b.insert(b.end(), {'C', 'g', 'B', 'I', 0x50, 0x00, 0x20, 0x02, 0, 0, 0, 0});
  }
  be32(13);
  b.insert(b.end(), {'I', 'H', 'D', 'R'});
  be32(w);
  be32(h);
  b.insert(b.end(), {8, 6, 0, 0, 0, 0, 0, 0, 0});
  return b;
}

TEST(MediaTest, PngSizeFromTheHeaderChunk) {
  EXPECT_EQ(png_size(png(180, 120)), (std::pair<int, int>{180, 120}));
  EXPECT_EQ(png_size(png(1024, 1024, true)), (std::pair<int, int>{1024, 1024}));

  auto bad_signature = png(1, 1);
  bad_signature[1] = 'X';
  auto cut = png(1, 1);
  cut.resize(20);
  auto zero = png(0, 5);
  auto huge = png(0x80000000u, 1);
  auto not_ihdr = png(1, 1);
  not_ihdr[12] = 'J';
  for (const auto& bytes : {bad_signature, cut, zero, huge, not_ihdr, std::vector<std::uint8_t>{}}) {
    EXPECT_EQ(png_size(bytes), std::nullopt);
  }
}

}  // namespace
}  // namespace platform::os::test
