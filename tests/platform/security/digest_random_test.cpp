#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/foundation/value.h"
#include "platform/security/digest.h"
#include "platform/security/random.h"

namespace platform::security {
namespace {

using foundation::hex_lower;

TEST(Digest, KnownVectors) {
  struct Case {
    std::string input, md5, sha1, sha256;
  };
  const std::string million_a(1000000, 'a');
  const Case cases[] = {
      {"abc", "900150983cd24fb0d6963f7d28e17f72", "a9993e364706816aba3e25717850c26c9cd0d89d",
       "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"", "d41d8cd98f00b204e9800998ecf8427e", "da39a3ee5e6b4b0d3255bfef95601890afd80709",
       "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "8215ef0796a20bcaaae116d3876c664a",
       "84983e441c3bd26ebaae4aa1f95129e5e54670f1", "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {million_a, "7707d6ae4e027c70eea2a935c2296f21", "34aa973cd4c4daa4f61eeb2bdbad27316534016f",
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input.substr(0, 20));
    EXPECT_EQ(hex_lower(md5(bytes_of(c.input))), c.md5);
    EXPECT_EQ(hex_lower(sha1(bytes_of(c.input))), c.sha1);
    EXPECT_EQ(hex_lower(sha256(bytes_of(c.input))), c.sha256);
  }
}

TEST(Random, BytesFillTheWholeSpan) {
  // Two 64-byte draws that were both left zero, or equal, would mean the span was not filled.
  std::vector<std::uint8_t> a(64), b(64);
  EXPECT_EQ(random_bytes(a), status::ok);
  EXPECT_EQ(random_bytes(b), status::ok);
  EXPECT_NE(a, b);
  EXPECT_NE(a, std::vector<std::uint8_t>(64, 0));
  EXPECT_EQ(random_bytes({}), status::ok);
}

TEST(Random, UniformEdgesAndRange) {
  EXPECT_EQ(random_uniform(0), 0u);
  EXPECT_EQ(random_uniform(1), 0u);
  for (std::uint32_t upper : {2u, 3u, 7u, 1000u, 0x80000001u, 0xffffffffu}) {
    for (int i = 0; i < 200; ++i) ASSERT_LT(random_uniform(upper), upper) << upper;
  }
}

TEST(Random, UniformHasNoModuloBias) {
  // With upper = 3 * 2^30, plain r % upper would give the values below 2^30
  // twice the weight of the others (1/2 instead of 1/3 of all draws).
  const std::uint32_t upper = 3u << 30;
  const int draws = 30000;
  int low = 0;
  for (int i = 0; i < draws; ++i)
    if (random_uniform(upper) < (1u << 30)) ++low;
  const double share = double(low) / draws;
  EXPECT_NEAR(share, 1.0 / 3.0, 0.02);   // about 7 standard deviations of slack
}

TEST(Random, U32CoversHighBits) {
  std::uint32_t seen_or = 0, seen_and = 0xffffffffu;
  for (int i = 0; i < 256; ++i) {
    const std::uint32_t r = random_u32();
    seen_or |= r;
    seen_and &= r;
  }
  EXPECT_EQ(seen_or, 0xffffffffu);
  EXPECT_EQ(seen_and, 0u);
}

// The drand48 recurrence: x' = (0x5DEECE66D x + 0xB) mod 2^48, value x / 2^48.
std::uint64_t next48(std::uint64_t x) { return (0x5DEECE66Dull * x + 0xBull) & ((1ull << 48) - 1); }
constexpr double two48 = 281474976710656.0;

TEST(Random, Uniform48FollowsThe48BitRecurrence) {
  // Each value carries the whole 48-bit state, so the next one is predictable
  // whatever ran before in this process.
  double v = uniform48();
  for (int i = 0; i < 5; ++i) {
    const std::uint64_t state = static_cast<std::uint64_t>(std::ldexp(v, 48));
    const double next = uniform48();
    EXPECT_EQ(next, double(next48(state)) / two48);
    EXPECT_GE(next, 0.0);
    EXPECT_LT(next, 1.0);
    v = next;
  }
}

TEST(Random, Uniform48IsUnseeded) {
  // In a fresh process glibc's generator starts from state 0, so the first
  // value is 11 / 2^48 on every run. The threadsafe style re-runs this test in
  // a new process, where nothing has drawn before.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const double expected = double(next48(0)) / two48;
  EXPECT_EXIT(std::exit(uniform48() == expected ? 0 : 1), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace platform::security
