// Text a server controls: a body decoded by the charset its Content-Type names
// (as the response serializer reads it), UUID text and hex tokens.
// Input: a selector byte, then the text. For a body, the first line is the
// charset name and the rest the body.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/support.h"
#include "http/response_serializer.h"
#include "platform/foundation/text.h"
#include "platform/foundation/text_utf8.h"
#include "platform/foundation/url.h"
#include "platform/foundation/uuid.h"
#include "platform/foundation/value.h"
#include "platform/net/http.h"

namespace {

namespace foundation = platform::foundation;
namespace text = foundation::text;

using fuzz::check;

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

void body(std::string_view input) {
  auto newline = input.find('\n');
  std::string_view charset = input.substr(0, newline);
  std::string_view rest = newline == std::string_view::npos ? std::string_view() : input.substr(newline + 1);
  const foundation::Bytes bytes = foundation::to_bytes(rest);

  static const auto url = *foundation::Url::parse("https://intranet.example.org/page");
  platform::net::Headers headers;
  headers.set("Content-Type", "text/plain; charset=" + std::string(charset));
  const Duvarel::HTTPURLResponse response =
      std::make_shared<const platform::net::Response>(platform::net::Response::http(url, 200, headers));
  auto result = Duvarel::serializeResponseString(std::nullopt, response, bytes, std::nullopt);
  if (const std::string* decoded = result.value()) check(foundation::detail::utf8_valid(*decoded));

  if (auto encoding = text::encoding_for_iana_name(charset)) {
    auto decoded = text::decode(bytes, *encoding);
    if (decoded) {
      check(foundation::detail::utf8_valid(*decoded));
      (void)text::encode(*decoded, *encoding);
    }
    if (*encoding == text::Encoding::utf8) {
      check(decoded.has_value() == foundation::detail::utf8_valid(rest));
      if (decoded) check(*decoded == rest);
    }
  }
}

void uuid(std::string_view input) {
  auto parsed = foundation::Uuid::parse(input);
  if (!parsed) return;
  check(input.size() == 36);
  const std::string lower_text = parsed->lower_string();
  for (std::size_t i = 0; i < input.size(); ++i) check(lower(input[i]) == lower_text[i]);
  auto again = foundation::Uuid::parse(parsed->string());
  check(again && *again == *parsed);
}

void hex(std::string_view input) {
  auto parsed = foundation::parse_hex(input);
  if (!parsed) return;
  check(!parsed->empty() && parsed->size() * 2 <= input.size());
  const std::string written = foundation::hex_lower(*parsed);
  check(written.size() == parsed->size() * 2);
  check(foundation::parse_hex(written) == parsed);
  check(foundation::parse_hex(foundation::data_description(*parsed)) == parsed);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 3) {
    case 0: body(input); break;
    case 1: uuid(input); break;
    default: hex(input); break;
  }
  return 0;
}
