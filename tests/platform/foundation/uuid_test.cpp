#include "platform/foundation/uuid.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <string>

#include "platform/testing/reset.h"

using platform::foundation::Uuid;

namespace {

class UuidTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::testing::reset(); }
};

bool is_upper_form(const std::string& s) {
  if (s.size() != 36) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (s[i] != '-') return false;
    } else if (!std::isxdigit(static_cast<unsigned char>(s[i])) || std::islower(static_cast<unsigned char>(s[i]))) {
      return false;
    }
  }
  return true;
}

TEST_F(UuidTest, RandomIsVersion4InUpperCaseText) {
  std::set<std::string> seen;
  for (int i = 0; i < 64; ++i) {
    const Uuid u = Uuid::random();
    const std::string s = u.string();
    EXPECT_TRUE(is_upper_form(s)) << s;
    EXPECT_EQ(s[14], '4') << s;
    EXPECT_NE(std::string("89AB").find(s[19]), std::string::npos) << s;
    std::string lower = s;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    EXPECT_EQ(u.lower_string(), lower);
    seen.insert(s);
  }
  EXPECT_EQ(seen.size(), 64u);
}

TEST_F(UuidTest, TextRoundTrips) {
  const auto known = Uuid::parse("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
  ASSERT_TRUE(known.has_value());
  EXPECT_EQ(known->bytes[0], 0xE6);
  EXPECT_EQ(known->bytes[4], 0xC3);
  EXPECT_EQ(known->bytes[15], 0x5F);
  EXPECT_EQ(known->string(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
  EXPECT_EQ(known->lower_string(), "e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
  EXPECT_EQ(Uuid::parse("e621e1f8-c36c-495a-93fc-0c247a3e6e5f"), known);
  EXPECT_EQ(Uuid::parse("e621E1F8-c36c-495A-93fc-0C247A3E6E5F"), known);

  const Uuid r = Uuid::random();
  EXPECT_EQ(Uuid::parse(r.string()), r);
  EXPECT_EQ(Uuid::parse(r.lower_string()), r);
  EXPECT_NE(Uuid::random(), r);
  EXPECT_EQ(Uuid().string(), "00000000-0000-0000-0000-000000000000");
}

TEST_F(UuidTest, MalformedTextIsRefused) {
  for (const char* bad : {"", "E621E1F8", "E621E1F8C36C495A93FC0C247A3E6E5F", "E621E1F8-C36C-495A-93FC-0C247A3E6E5",
                          "E621E1F8-C36C-495A-93FC-0C247A3E6E5F0", "E621E1F-8C36C-495A-93FC-0C247A3E6E5F",
                          "G621E1F8-C36C-495A-93FC-0C247A3E6E5F", "{E621E1F8-C36C-495A-93FC-0C247A3E6E5F}",
                          " E621E1F8-C36C-495A-93FC-0C247A3E6E5", "E621E1F8_C36C_495A_93FC_0C247A3E6E5F",
                          "+621E1F8-C36C-495A-93FC-0C247A3E6E5F"})
    EXPECT_FALSE(Uuid::parse(bad).has_value()) << bad;
}

}  // namespace
