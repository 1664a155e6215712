#include "platform/web/html_scanner.h"

#include <cstdint>
#include <optional>

namespace platform::web {

namespace {

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }
bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool iequal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// Position of `needle` (lower-case ASCII) in `text` from `from`, ignoring case; npos when absent.
std::size_t ifind(std::string_view text, std::string_view needle, std::size_t from) {
  if (needle.empty() || text.size() < needle.size()) return std::string_view::npos;
  for (std::size_t i = from; i + needle.size() <= text.size(); ++i) {
    if (iequal(text.substr(i, needle.size()), needle)) return i;
  }
  return std::string_view::npos;
}

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Decodes character references; an unknown or malformed one stays as written.
std::string decode_entities(std::string_view text) {
  static constexpr std::pair<std::string_view, std::string_view> named[] = {
      {"amp", "&"}, {"lt", "<"}, {"gt", ">"}, {"quot", "\""}, {"apos", "'"}, {"nbsp", "\xC2\xA0"}};
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] != '&') {
      out += text[i++];
      continue;
    }
    std::size_t semi = text.find(';', i + 1);
    if (semi == std::string_view::npos || semi - i > 12) {
      out += text[i++];
      continue;
    }
    std::string_view name = text.substr(i + 1, semi - i - 1);
    std::optional<std::uint32_t> cp;
    if (name.size() >= 2 && name[0] == '#') {
      bool hex = name[1] == 'x' || name[1] == 'X';
      std::string_view digits = name.substr(hex ? 2 : 1);
      std::uint32_t value = 0;
      bool ok = !digits.empty();
      for (char c : digits) {
        int d = -1;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (hex && lower(c) >= 'a' && lower(c) <= 'f') d = lower(c) - 'a' + 10;
        if (d < 0) {
          ok = false;
          break;
        }
        value = value * (hex ? 16 : 10) + static_cast<std::uint32_t>(d);
        if (value > 0x10FFFF) value = 0x110000;  // stays out of range, no overflow
      }
      if (ok) cp = value;
    }
    if (cp) {
      append_utf8(out, *cp);
      i = semi + 1;
      continue;
    }
    bool found = false;
    for (const auto& [n, v] : named) {
      if (name == n) {
        out += v;
        found = true;
        break;
      }
    }
    if (found) {
      i = semi + 1;
    } else {
      out += text[i++];
    }
  }
  return out;
}

std::string collapse_whitespace(std::string_view text) {
  std::string out;
  bool pending_space = false;
  for (char c : text) {
    if (is_space(c)) {
      pending_space = !out.empty();
      continue;
    }
    if (pending_space) out += ' ';
    pending_space = false;
    out += c;
  }
  return out;
}

struct Attribute {
  std::string name;  // lower case
  std::string value;
};

struct Tag {
  std::string name;  // lower case
  bool closing = false;
  std::vector<Attribute> attributes;
  std::size_t end = 0;  // index after '>' (or the end of the input)

  const std::string* get(std::string_view n) const {
    for (const auto& a : attributes) {
      if (a.name == n) return &a.value;
    }
    return nullptr;
  }
};

// Reads a tag starting at text[pos] == '<' followed by a letter or "/".
Tag read_tag(std::string_view text, std::size_t pos) {
  Tag tag;
  std::size_t i = pos + 1;
  if (i < text.size() && text[i] == '/') {
    tag.closing = true;
    ++i;
  }
  while (i < text.size() && !is_space(text[i]) && text[i] != '>' && text[i] != '/') tag.name += lower(text[i++]);
  while (i < text.size()) {
    while (i < text.size() && (is_space(text[i]) || text[i] == '/')) ++i;
    if (i >= text.size()) break;
    if (text[i] == '>') {
      ++i;
      break;
    }
    Attribute attribute;
    while (i < text.size() && !is_space(text[i]) && text[i] != '>' && text[i] != '=' && text[i] != '/') {
      attribute.name += lower(text[i++]);
    }
    std::size_t j = i;
    while (j < text.size() && is_space(text[j])) ++j;
    if (j < text.size() && text[j] == '=') {
      i = j + 1;
      while (i < text.size() && is_space(text[i])) ++i;
      if (i < text.size() && (text[i] == '"' || text[i] == '\'')) {
        char quote = text[i++];
        std::size_t close = text.find(quote, i);
        if (close == std::string_view::npos) close = text.size();
        attribute.value = decode_entities(text.substr(i, close - i));
        i = close < text.size() ? close + 1 : close;
      } else {
        std::size_t start = i;
        while (i < text.size() && !is_space(text[i]) && text[i] != '>') ++i;
        attribute.value = decode_entities(text.substr(start, i - start));
      }
    } else if (attribute.name.empty()) {
      ++i;  // a stray character such as '=' or a quote: skip it
      continue;
    }
    if (!attribute.name.empty()) tag.attributes.push_back(std::move(attribute));
  }
  tag.end = i;
  return tag;
}

std::string trimmed(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && is_space(s[b])) ++b;
  while (e > b && is_space(s[e - 1])) --e;
  return s.substr(b, e - b);
}

}  // namespace

ScannedPage scan_html(std::string_view html) {
  ScannedPage page;
  bool have_title = false;
  std::size_t i = 0;
  while (i < html.size()) {
    std::size_t lt = html.find('<', i);
    if (lt == std::string_view::npos || lt + 1 >= html.size()) break;
    char next = html[lt + 1];
    if (html.compare(lt, 4, "<!--") == 0) {
      std::size_t close = html.find("-->", lt + 4);
      i = close == std::string_view::npos ? html.size() : close + 3;
      continue;
    }
    if (next == '!' || next == '?') {  // doctype, processing instruction
      std::size_t close = html.find('>', lt + 2);
      i = close == std::string_view::npos ? html.size() : close + 1;
      continue;
    }
    if (!is_alpha(next) && next != '/') {
      i = lt + 1;
      continue;
    }
    Tag tag = read_tag(html, lt);
    i = std::max(tag.end, lt + 1);
    if (tag.closing) continue;
    if (tag.name == "title" || tag.name == "script" || tag.name == "style" || tag.name == "textarea") {
      // Raw text up to the matching end tag.
      std::string end = "</" + tag.name;
      std::size_t close = ifind(html, end, i);
      std::string_view content = html.substr(i, (close == std::string_view::npos ? html.size() : close) - i);
      if (tag.name == "title" && !have_title) {
        page.title = collapse_whitespace(decode_entities(content));
        have_title = true;
      }
      if (close == std::string_view::npos) break;
      std::size_t gt = html.find('>', close);
      i = gt == std::string_view::npos ? html.size() : gt + 1;
    } else if (tag.name == "a") {
      if (const auto* href = tag.get("href")) {
        const auto* target = tag.get("target");
        page.links.push_back({trimmed(*href), target ? trimmed(*target) : std::string()});
      }
    } else if (tag.name == "iframe") {
      if (const auto* src = tag.get("src"); src && !trimmed(*src).empty()) page.iframes.push_back(trimmed(*src));
    } else if (tag.name == "form") {
      const auto* action = tag.get("action");
      const auto* method = tag.get("method");
      page.forms.push_back({action ? trimmed(*action) : std::string(),
                            method && iequal(trimmed(*method), "post") ? "POST" : "GET"});
    }
  }
  return page;
}

}  // namespace platform::web
