#include "platform/net/http.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace platform::net {

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

Headers::Headers(std::initializer_list<std::pair<std::string, std::string>> fields) {
  for (const auto& [name, value] : fields) set(name, value);
}

void Headers::set(std::string_view name, std::string value) {
  for (auto& f : fields_) {
    if (iequals(f.name, name)) {
      f.value = std::move(value);
      return;
    }
  }
  fields_.push_back({std::string(name), std::move(value)});
}

void Headers::add(std::string_view name, std::string_view value) {
  for (auto& f : fields_) {
    if (iequals(f.name, name)) {
      f.value += ", ";
      f.value += value;
      return;
    }
  }
  fields_.push_back({std::string(name), std::string(value)});
}

std::optional<std::string> Headers::get(std::string_view name) const {
  for (const auto& f : fields_) {
    if (iequals(f.name, name)) return f.value;
  }
  return std::nullopt;
}

void Headers::remove(std::string_view name) {
  std::erase_if(fields_, [&](const Field& f) { return iequals(f.name, name); });
}

bool operator==(const Headers& a, const Headers& b) {
  if (a.size() != b.size()) return false;
  for (const auto& f : a.fields_) {
    auto v = b.get(f.name);
    if (!v || *v != f.value) return false;
  }
  return true;
}

namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (auto& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string unquote(std::string_view v) {
  v = trim(v);
  if (v.size() >= 2 && v.front() == '"' && v.back() == '"') {
    std::string out;
    for (std::size_t i = 1; i + 1 < v.size(); ++i) {
      if (v[i] == '\\' && i + 2 < v.size()) ++i;
      out += v[i];
    }
    return out;
  }
  return std::string(v);
}

// Splits "a; b=c; d" at semicolons outside quotes.
std::vector<std::string_view> split_params(std::string_view s) {
  std::vector<std::string_view> out;
  bool quoted = false;
  std::size_t start = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '"') quoted = !quoted;
    if (s[i] == ';' && !quoted) {
      out.push_back(trim(s.substr(start, i - start)));
      start = i + 1;
    }
  }
  out.push_back(trim(s.substr(start)));
  return out;
}

std::optional<std::string> disposition_filename(std::string_view value) {
  std::optional<std::string> plain;
  for (auto param : split_params(value)) {
    auto eq = param.find('=');
    if (eq == std::string_view::npos) continue;
    auto key = lower(trim(param.substr(0, eq)));
    auto v = param.substr(eq + 1);
    if (key == "filename*") {
      // RFC 5987: charset'lang'percent-encoded
      auto text = unquote(v);
      auto q1 = text.find('\'');
      auto q2 = q1 == std::string::npos ? std::string::npos : text.find('\'', q1 + 1);
      if (q2 != std::string::npos) {
        if (auto decoded = foundation::percent_decode(text.substr(q2 + 1))) return decoded;
      }
    } else if (key == "filename") {
      plain = unquote(v);
    }
  }
  return plain;
}

}  // namespace

std::string sanitized_filename(std::string_view name) {
  std::string s(name);
  // Keep only the last path component, whatever the separator.
  auto slash = s.find_last_of("/\\");
  if (slash != std::string::npos) s = s.substr(slash + 1);
  std::string out;
  for (char c : s) {
    auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7f) continue;
    out += c;
  }
  auto t = trim(out);
  out = std::string(t);
  if (out.empty() || out == "." || out == "..") return "Unknown";
  return out;
}

Response Response::http(foundation::Url url, int status, Headers fields) {
  Response r{std::move(url), status, std::move(fields), -1, std::nullopt, std::nullopt, std::nullopt};
  if (auto len = r.header_fields.get("Content-Length"); len && !r.header_fields.contains("Content-Encoding")) {
    auto t = trim(*len);
    std::int64_t n = -1;
    auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), n);
    if (ec == std::errc() && p == t.data() + t.size() && n >= 0) r.expected_content_length = n;
  }
  if (auto ct = r.header_fields.get("Content-Type")) {
    auto params = split_params(*ct);
    if (!params.empty() && !params[0].empty()) r.mime_type = lower(params[0]);
    for (std::size_t i = 1; i < params.size(); ++i) {
      auto eq = params[i].find('=');
      if (eq == std::string_view::npos) continue;
      if (lower(trim(params[i].substr(0, eq))) == "charset") r.text_encoding_name = lower(unquote(params[i].substr(eq + 1)));
    }
  }
  std::optional<std::string> name;
  if (auto cd = r.header_fields.get("Content-Disposition")) name = disposition_filename(*cd);
  if (!name || name->empty()) {
    auto last = r.url.last_path_component();
    if (!last.empty() && last != "/") name = last;
  }
  r.suggested_filename = sanitized_filename(name.value_or(""));
  return r;
}

}  // namespace platform::net
