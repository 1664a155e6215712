// Token register replies: the line parser and the fetch and delete verdicts.
#include <gtest/gtest.h>

#include <string>

#include "identity/token_reply.h"
#include "platform/foundation/value.h"

namespace {

using identity::DeleteReplyKind;
using identity::FetchReplyKind;

platform::foundation::Bytes bytes(std::string_view text) { return platform::foundation::to_bytes(text); }

TEST(IdentityTokenReplyTest, ParserCutsValuesAtTheSecondEqualsAndLaterLinesWin) {
  const auto fields = identity::parseFetchTokenResponse("token=abc=def\nError=X\nnoequals\ntoken=second\n=lone");
  EXPECT_EQ(fields.at("token"), "second");
  EXPECT_EQ(fields.at("Error"), "X");
  EXPECT_EQ(fields.at(""), "lone");
  EXPECT_FALSE(fields.contains("noequals"));
  EXPECT_EQ(identity::parseFetchTokenResponse("token=abc=def").at("token"), "abc");
}

TEST(IdentityTokenReplyTest, FetchVerdicts) {
  struct Case {
    const char* body;
    FetchReplyKind kind;
    const char* token;
  };
  const Case cases[] = {
      {"token=tok-1", FetchReplyKind::token, "tok-1"},
      {"token=ab=cd", FetchReplyKind::token, "ab"},
      {"Error=PHONE_REGISTRATION_ERROR", FetchReplyKind::phoneRegistrationError, ""},
      {"Error=SERVICE:PHONE_REGISTRATION_ERROR", FetchReplyKind::phoneRegistrationError, ""},
      {"Error=SERVICE:RST", FetchReplyKind::identityReset, ""},
      {"Error=RST", FetchReplyKind::identityReset, ""},
      {"Error=RSTX", FetchReplyKind::invalid, ""},
      {"Error=", FetchReplyKind::invalid, ""},
      {"token=\nError=RST", FetchReplyKind::identityReset, ""},
      {"<html>junk</html>", FetchReplyKind::invalid, ""},
      {"", FetchReplyKind::empty, ""},
  };
  for (const auto& c : cases) {
    const auto reply = identity::classifyFetchReply(bytes(c.body));
    EXPECT_EQ(reply.kind, c.kind) << c.body;
    EXPECT_EQ(reply.token, c.token) << c.body;
  }
  const platform::foundation::Bytes not_utf8{'t', 'o', 'k', 'e', 'n', '=', 0xff};
  EXPECT_EQ(identity::classifyFetchReply(not_utf8).kind, FetchReplyKind::empty);
}

TEST(IdentityTokenReplyTest, DeleteVerdicts) {
  EXPECT_EQ(identity::classifyDeleteReply(bytes("deleted=123")), DeleteReplyKind::deleted);
  EXPECT_EQ(identity::classifyDeleteReply(bytes("token=x")), DeleteReplyKind::deleted);
  EXPECT_EQ(identity::classifyDeleteReply(bytes("")), DeleteReplyKind::empty);
  EXPECT_EQ(identity::classifyDeleteReply(bytes("Error=RST")), DeleteReplyKind::invalid);
  EXPECT_EQ(identity::classifyDeleteReply(bytes(" deleted=1")), DeleteReplyKind::invalid);
}

}  // namespace
