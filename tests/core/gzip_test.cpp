// Gzip: compression output, round trips, zlib-wrapped input, and the errors
// for corrupt, truncated and trailing input.
#include <zlib.h>

#include <random>

#include <gtest/gtest.h>

#include "core/gzip.h"

namespace {

using core::gul_dataByGzippingData;
using core::gul_dataByInflatingGzippedData;
using platform::foundation::Bytes;
using platform::foundation::Error;

Bytes payload(std::size_t size) {
  // Text-like and partly random, so the stream has both literals and matches.
  Bytes out(size);
  std::mt19937 rng(static_cast<unsigned>(size));
  for (std::size_t i = 0; i < size; ++i) out[i] = (i / 7) % 3 == 0 ? static_cast<std::uint8_t>(rng()) : "intranet"[i % 8];
  return out;
}

const Error kUntouched("untouched", 1);

TEST(CoreGzipTest, EmptyInputGivesNothingAndNoError) {
  Error error = kUntouched;
  EXPECT_FALSE(gul_dataByGzippingData({}, &error));
  EXPECT_FALSE(gul_dataByInflatingGzippedData({}, &error));
  EXPECT_EQ(error, kUntouched);
  EXPECT_FALSE(gul_dataByGzippingData({}));
}

TEST(CoreGzipTest, RoundTripsAndGzipMagic) {
  for (std::size_t size : {std::size_t{1}, std::size_t{64} << 10, std::size_t{1} << 20}) {
    SCOPED_TRACE(size);
    const Bytes input = payload(size);
    Error error = kUntouched;
    auto packed = gul_dataByGzippingData(input, &error);
    ASSERT_TRUE(packed);
    ASSERT_GE(packed->size(), 18u);
    EXPECT_EQ((*packed)[0], 0x1F);
    EXPECT_EQ((*packed)[1], 0x8B);
    auto unpacked = gul_dataByInflatingGzippedData(*packed, &error);
    ASSERT_TRUE(unpacked);
    EXPECT_EQ(*unpacked, input);
    EXPECT_EQ(error, kUntouched);
  }
}

// The gzip trailer's size only sizes the first buffer: output far beyond four
// times the input, and a trailer that claims more or less than the content,
// still give exactly the content or the length-check error.
TEST(CoreGzipTest, TrailerSizeIsOnlyAHint) {
  const Bytes zeros(std::size_t{4} << 20, 0);
  auto packed = gul_dataByGzippingData(zeros);
  ASSERT_TRUE(packed);
  ASSERT_LT(packed->size() * 100, zeros.size());
  auto unpacked = gul_dataByInflatingGzippedData(*packed);
  ASSERT_TRUE(unpacked);
  EXPECT_EQ(*unpacked, zeros);

  for (std::uint8_t top : {std::uint8_t{0x00}, std::uint8_t{0x7f}, std::uint8_t{0xff}}) {
    SCOPED_TRACE(static_cast<int>(top));
    if (packed->back() == top) continue;
    Bytes lying(packed->begin(), packed->end() - 1);
    lying.push_back(top);  // high byte of the stored size
    Error error;
    EXPECT_FALSE(gul_dataByInflatingGzippedData(lying, &error));
    EXPECT_EQ(error.code, 1025);
    EXPECT_EQ(error.user_info.get("GULNSDataZlibErrorKey").as_int(), Z_DATA_ERROR);
  }
}

TEST(CoreGzipTest, ZlibWrappedInputInflates) {
  const Bytes input = payload(5000);
  uLongf size = compressBound(static_cast<uLong>(input.size()));
  Bytes wrapped(size);
  ASSERT_EQ(compress2(wrapped.data(), &size, input.data(), static_cast<uLong>(input.size()), 6), Z_OK);
  wrapped.resize(size);
  ASSERT_EQ(wrapped[0], 0x78);
  auto unpacked = gul_dataByInflatingGzippedData(wrapped);
  ASSERT_TRUE(unpacked);
  EXPECT_EQ(*unpacked, input);
}

TEST(CoreGzipTest, BytesAfterTheStreamAreCounted) {
  auto packed = gul_dataByGzippingData(payload(3000));
  ASSERT_TRUE(packed);
  for (std::size_t extra : {std::size_t{1}, std::size_t{5}}) {
    Bytes input = *packed;
    input.insert(input.end(), extra, 0x42);
    Error error;
    EXPECT_FALSE(gul_dataByInflatingGzippedData(input, &error));
    EXPECT_EQ(error.domain, "com.dozada.GULNSDataZlibErrorDomain");
    EXPECT_EQ(error.code, 1026);
    EXPECT_EQ(error.user_info.get("GULNSDataZlibRemainingBytesKey").as_int(), static_cast<std::int64_t>(extra));
  }
}

struct CorruptCase {
  const char* name;
  Bytes input;
  int zlib_status;
  bool has_message;
};

TEST(CoreGzipTest, CorruptInputGivesZlibError) {
  auto packed = gul_dataByGzippingData(payload(3000));
  ASSERT_TRUE(packed);
  Bytes truncated(packed->begin(), packed->begin() + static_cast<std::ptrdiff_t>(packed->size() / 2));
  Bytes bad_crc = *packed;
  bad_crc[bad_crc.size() - 6] ^= 0xFF;  // inside the CRC-32 trailer

  const CorruptCase cases[] = {
      {"garbage", platform::foundation::to_bytes("this is not compressed at all"), Z_DATA_ERROR, true},
      {"truncated", truncated, Z_BUF_ERROR, false},
      {"bad crc", bad_crc, Z_DATA_ERROR, true},
  };
  for (const CorruptCase& c : cases) {
    SCOPED_TRACE(c.name);
    Error error;
    EXPECT_FALSE(gul_dataByInflatingGzippedData(c.input, &error));
    EXPECT_EQ(error.domain, "com.dozada.GULNSDataZlibErrorDomain");
    EXPECT_EQ(error.code, 1025);
    EXPECT_EQ(error.user_info.get("GULNSDataZlibErrorKey").as_int(), c.zlib_status);
    const auto* message = error.user_info.get("NSLocalizedDescription").string();
    EXPECT_EQ(message != nullptr, c.has_message);
    if (message) {
      EXPECT_FALSE(message->empty());
    }
  }
}

}  // namespace
