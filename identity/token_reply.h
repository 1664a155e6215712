#pragma once
// Reading the token register endpoint's replies: the line parser and the
// classification of fetch and delete replies. Pure functions, any thread.
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>

namespace identity {

// Splits the text at "\n" and each line at "="; a line with at least two
// parts sets result[part 1] = part 2 (the value stops at a second "="; a
// later line with the same key wins).
std::map<std::string, std::string> parseFetchTokenResponse(std::string_view text);

enum class FetchReplyKind {
  token,                     // a non-empty "token"
  phoneRegistrationError,    // "Error" holds the part "PHONE_REGISTRATION_ERROR"
  identityReset,             // "Error" holds the part "RST"
  empty,                     // no body (or a body that is not UTF-8)
  invalid,                   // anything else
};

struct FetchReply {
  FetchReplyKind kind = FetchReplyKind::empty;
  std::string token;  // kind token only
};

FetchReply classifyFetchReply(std::span<const std::uint8_t> body);

enum class DeleteReplyKind { deleted, empty, invalid };

// A body starting "deleted=" or "token=" is a success.
DeleteReplyKind classifyDeleteReply(std::span<const std::uint8_t> body);

}  // namespace identity
