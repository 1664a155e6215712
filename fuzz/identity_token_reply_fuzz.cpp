// The token register endpoint's reply bytes, read as a fetch reply and as a
// delete reply. Input: the body.

#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz/support.h"
#include "identity/token_reply.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::quiet_console();
  const std::span<const std::uint8_t> body(data, size);
  const auto fetch = identity::classifyFetchReply(body);
  // A token never carries a line break or "=", and only a token reply has one.
  fuzz::check((fetch.kind == identity::FetchReplyKind::token) == !fetch.token.empty());
  for (const char c : fetch.token) fuzz::check(c != '\n' && c != '=');
  const auto deleted = identity::classifyDeleteReply(body);
  fuzz::check(deleted != identity::DeleteReplyKind::empty || size == 0 || fetch.kind == identity::FetchReplyKind::empty);
  return 0;
}
