// A response head as a server sends it: the status and header lines, then what
// the response makes of them (length, MIME type, charset, suggested file name)
// and the first authentication challenge. Input: the head, one line per "\n".

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz/support.h"
#include "platform/foundation/url.h"
#include "platform/net/http.h"
#include "platform/net/session_internal.h"

namespace {

namespace net = platform::net;
using net::detail::HeaderLine;

using fuzz::check;

void check_response(const net::Response& response) {
  check(response.expected_content_length >= -1);
  // The suggested name is one path component a folder can hold.
  const std::string& name = *response.suggested_filename;
  check(!name.empty() && name != "." && name != "..");
  check(name.find('/') == std::string::npos && name.find('\\') == std::string::npos);
  for (char c : name) check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f);
  if (response.mime_type) {
    for (char c : *response.mime_type) check(!(c >= 'A' && c <= 'Z'));
  }
}

void check_offer(std::string_view value) {
  auto offer = net::detail::parse_auth_offer(value);
  if (!offer) return;
  check(offer->scheme == "basic" || offer->scheme == "digest");
  check(offer->realm.size() <= value.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const auto url = *platform::foundation::Url::parse("https://intranet.example.org/files/report.pdf?x=1");
  std::string_view input(reinterpret_cast<const char*>(data), size);

  int status = 0;
  net::Headers headers;
  auto finish_block = [&] {
    check_response(net::Response::http(url, status, headers));
    for (const char* name : {"WWW-Authenticate", "Proxy-Authenticate"}) {
      if (auto value = headers.get(name)) check_offer(*value);
    }
  };
  while (!input.empty()) {
    auto end = input.find('\n');
    std::string_view raw = input.substr(0, end == std::string_view::npos ? input.size() : end + 1);
    input.remove_prefix(raw.size());
    const HeaderLine line = net::detail::parse_header_line(raw);
    switch (line.kind) {
      case HeaderLine::Kind::status:
        check(line.status >= -99 && line.status <= 999);
        status = line.status;
        headers = net::Headers();
        break;
      case HeaderLine::Kind::end:
        finish_block();
        break;
      case HeaderLine::Kind::field:
        check(line.name.size() + line.value.size() < raw.size());
        headers.add(line.name, line.value);
        check_offer(line.value);
        break;
      case HeaderLine::Kind::other:
        break;
    }
  }
  finish_block();
  return 0;
}
