// Token register replies: line parser and classification.
#include "identity/token_reply.h"

#include <vector>

#include "platform/foundation/utf8_check.h"

namespace identity {

namespace {

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    const auto at = text.find(separator, start);
    if (at == std::string_view::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, at - start));
    start = at + 1;
  }
}

// The body as UTF-8 text; empty when it is not valid UTF-8 (no text at all).
std::string_view utf8_text(std::span<const std::uint8_t> body) {
  const std::string_view text(reinterpret_cast<const char*>(body.data()), body.size());
  return platform::foundation::detail::utf8_valid(text) ? text : std::string_view{};
}

}  // namespace

std::map<std::string, std::string> parseFetchTokenResponse(std::string_view text) {
  std::map<std::string, std::string> result;
  for (const std::string_view line : split(text, '\n')) {
    const auto parts = split(line, '=');
    if (parts.size() >= 2) result[std::string(parts[0])] = std::string(parts[1]);
  }
  return result;
}

FetchReply classifyFetchReply(std::span<const std::uint8_t> body) {
  const std::string_view text = utf8_text(body);
  if (text.empty()) return {};
  auto fields = parseFetchTokenResponse(text);
  if (auto it = fields.find("token"); it != fields.end() && !it->second.empty()) {
    return {FetchReplyKind::token, it->second};
  }
  if (auto it = fields.find("Error"); it != fields.end() && !it->second.empty()) {
    const auto parts = split(it->second, ':');
    for (const std::string_view part : parts) {
      if (part == "PHONE_REGISTRATION_ERROR") return {FetchReplyKind::phoneRegistrationError, {}};
    }
    for (const std::string_view part : parts) {
      if (part == "RST") return {FetchReplyKind::identityReset, {}};
    }
  }
  return {FetchReplyKind::invalid, {}};
}

DeleteReplyKind classifyDeleteReply(std::span<const std::uint8_t> body) {
  const std::string_view text = utf8_text(body);
  if (text.empty()) return DeleteReplyKind::empty;
  if (text.starts_with("deleted=") || text.starts_with("token=")) return DeleteReplyKind::deleted;
  return DeleteReplyKind::invalid;
}

}  // namespace identity
