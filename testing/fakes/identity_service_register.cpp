// The identity service's token register route and its form reader.
#include "testing/fakes/identity_service.h"

namespace testing::fakes {

namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string percent_decode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      const int hi = hex_digit(text[i + 1]);
      const int lo = hex_digit(text[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        continue;
      }
    }
    out.push_back(text[i]);
  }
  return out;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> IdentityService::form_fields(std::string_view body) {
  std::vector<std::pair<std::string, std::string>> fields;
  while (!body.empty()) {
    const auto amp = body.find('&');
    const std::string_view pair = body.substr(0, amp);
    if (!pair.empty()) {
      const auto eq = pair.find('=');
      fields.emplace_back(percent_decode(pair.substr(0, eq)),
                          eq == std::string_view::npos ? std::string() : percent_decode(pair.substr(eq + 1)));
    }
    if (amp == std::string_view::npos) break;
    body.remove_prefix(amp + 1);
  }
  return fields;
}

std::string IdentityService::form_field(std::string_view body, std::string_view name) {
  for (auto& [key, value] : form_fields(body)) {
    if (key == name) return value;
  }
  return {};
}

std::string IdentityService::token_for(std::string_view sender) {
  std::string token = "tok-";
  for (const char c : sender) {
    if (c != '=' && c != '\n' && c != '\r') token.push_back(c);
  }
  return token;
}

void IdentityService::add_register_route() {
  route("POST", kRegisterPath, [](const HttpRequest& req, HttpResponse& res) {
    std::string body;
    if (form_field(req.body, "delete") == "true") {
      body = "deleted=" + form_field(req.body, "device");
    } else {
      body = "token=" + token_for(form_field(req.body, "sender"));
    }
    res.set_content(body, "text/plain");
  });
}

}  // namespace testing::fakes
