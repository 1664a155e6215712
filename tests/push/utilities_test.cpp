#include <gtest/gtest.h>

#include <cctype>
#include <optional>
#include <string>

#include "platform/foundation/url.h"
#include "platform/os/profile.h"
#include "platform/testing/reset.h"
#include "platform/testing/temp_device.h"
#include "push/utilities.h"

namespace {

using namespace push;
using platform::foundation::Url;

TEST(PushUtilities, DigestsStopAtTheFirstNul) {
  struct Case {
    std::string text;
    const char* md5;
    const char* sha1;
  };
  const Case cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {std::string("abc\0def", 7), "900150983cd24fb0d6963f7d28e17f72", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"user@example.org", "572c3489ea700045927076136a969e27", "547e41ffe2031bcdc35ffc6687f10d498c4626c6"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(hashUsingMD5(c.text), c.md5) << c.text;
    EXPECT_EQ(hashUsingSha1(c.text), c.sha1) << c.text;
  }
}

TEST(PushUtilities, EmailCheck) {
  struct Case {
    std::optional<std::string> text;
    bool valid;
  };
  const Case cases[] = {
      {"first.last+tag@example.org", true},
      {"USER@EXAMPLE.ORG", true},
      {"ops@[192.168.0.1]", true},
      {"a@b-c.example.co", true},
      {"name@example.c", false},        // last label of one letter
      {"name.example.org", false},      // no at sign
      {"name@@example.org", false},
      {"name@[1234.1.1.1]", false},     // more than three digits
      {"name@example.org ", false},
      {"", false},
      {std::nullopt, false},
  };
  for (const auto& c : cases) EXPECT_EQ(isValidEmail(c.text), c.valid) << c.text.value_or("<none>");
}

TEST(PushUtilities, UrlText) {
  EXPECT_FALSE(verifyURL(std::nullopt));
  EXPECT_TRUE(verifyURL("https://intranet.example.org/news?id=4"));

  struct Trim {
    std::optional<std::string> in, out;
  };
  const Trim trims[] = {
      {" \thttps://example.org/a b\t", "https://example.org/a b"},
      {"\nhttps://example.org\n", "\nhttps://example.org\n"},  // line breaks stay
      {" \t ", ""},
      {std::nullopt, std::nullopt},
  };
  for (const auto& t : trims) EXPECT_EQ(trimURLSpacing(t.in), t.out) << t.in.value_or("<none>");

  struct Scheme {
    const char* url;
    bool www;
  };
  const Scheme schemes[] = {{"HTTPS://example.org", true}, {"http://example.org", true},
                            {"ftp://example.org", false}, {"intranet://news/4", false}};
  for (const auto& s : schemes) {
    auto url = Url::parse(s.url);
    ASSERT_TRUE(url) << s.url;
    EXPECT_EQ(isWWWScheme(*url), s.www) << s.url;
  }
}

TEST(PushUtilities, SemanticVersion) {
  struct Case {
    std::string compact, dotted;
  };
  const Case cases[] = {
      {"020809", "2.8.9"}, {"100012", "10.0.12"}, {"000000", "0.0.0"}, {"011100", "1.11.0"},
      // Short input comes back unchanged instead of reading past its end.
      {"0208", "0208"}, {"", ""}, {"12345", "12345"},
  };
  for (const auto& c : cases) EXPECT_EQ(one_getSemanticVersion(c.compact), c.dotted) << c.compact;
  EXPECT_EQ(one_substringAfter("abc", "x"), "abc");
  EXPECT_EQ(one_substringAfter("a0b0", "0"), "b0");
}

TEST(PushUtilities, RandomStringUsesTheAlphabet) {
  EXPECT_EQ(randomStringWithLength(0), "");
  EXPECT_EQ(randomStringWithLength(-3), "");
  const std::string s = randomStringWithLength(16);
  ASSERT_EQ(s.size(), 16u);
  for (char c : s) EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c))) << c;
  // A long draw reaches all three character groups.
  const std::string many = randomStringWithLength(2000);
  EXPECT_NE(many.find_first_of("abcdefghijklmnopqrstuvwxyz"), std::string::npos);
  EXPECT_NE(many.find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ"), std::string::npos);
  EXPECT_NE(many.find_first_of("0123456789"), std::string::npos);
}

TEST(PushUtilities, SystemVersionIsReadAsAFloat) {
  struct Case {
    const char* system;
    double threshold;
    bool atLeast;
  };
  const Case cases[] = {
      {"10.0.1", 10.0, true}, {"9.3.5", 10.0, false}, {"10.3.1", 10.3, true},
      {"13.5", 12.0, true},   {"7.1", 8.0, false},    {"8.0", 8.0, true},
  };
  for (const auto& c : cases) {
    platform::testing::TempDevice device("push-utilities");
    platform::os::DeviceProfile profile;
    profile.system_version = c.system;
    auto booted = device.boot({.profile = profile});
    ASSERT_TRUE(booted) << booted.error().description();
    EXPECT_EQ(isIOSVersionGreaterOrEqual(c.threshold), c.atLeast) << c.system << " vs " << c.threshold;
    platform::testing::reset();
  }
}

}  // namespace
