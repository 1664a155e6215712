#include "platform/foundation/url.h"

#include <system_error>

#include "platform/foundation/text_utf8.h"

namespace platform::foundation {

namespace {

constexpr CharSet unreserved = CharSet::alphanumerics_and("-._~");
constexpr CharSet url_chars = unreserved.with("!$&'()*+,;=").with(":/?#[]@%");
constexpr CharSet scheme_chars = CharSet::alphanumerics_and("+-.");
constexpr CharSet userinfo_chars = unreserved.with("!$&'()*+,;=:%");
constexpr CharSet reg_name_chars = unreserved.with("!$&'()*+,;=%");
constexpr CharSet ip_literal_chars = unreserved.with("!$&'()*+,;=:");
constexpr CharSet pchar = unreserved.with("!$&'()*+,;=:@%");
constexpr CharSet path_chars = pchar.with("/");
constexpr CharSet query_chars = pchar.with("/?");
constexpr char hex_digits[] = "0123456789ABCDEF";

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool all_in(std::string_view s, const CharSet& set) {
  for (char c : s) {
    if (!set.contains(c)) return false;
  }
  return true;
}

// Every byte is a URL character and every "%" starts a valid escape.
bool valid_url_text(std::string_view s) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (!url_chars.contains(s[i])) return false;
    if (s[i] == '%' && (i + 2 >= s.size() || hex_value(s[i + 1]) < 0 || hex_value(s[i + 2]) < 0)) return false;
  }
  return true;
}

// Escape-checked text for a setter: set members plus valid "%XX".
bool valid_component(std::string_view s, const CharSet& set) {
  return all_in(s, set.with("%")) && valid_url_text(s);
}

// Byte-level decoding; nullopt only for a bad escape.
std::optional<std::string> decode_bytes(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      out += s[i];
      continue;
    }
    if (i + 2 >= s.size()) return std::nullopt;
    int hi = hex_value(s[i + 1]), lo = hex_value(s[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return out;
}

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// RFC 3986 section 5.2.4.
std::string remove_dot_segments(std::string_view in) {
  std::string out;
  while (!in.empty()) {
    if (in.starts_with("../")) {
      in.remove_prefix(3);
    } else if (in.starts_with("./")) {
      in.remove_prefix(2);
    } else if (in.starts_with("/./")) {
      in.remove_prefix(2);
    } else if (in == "/.") {
      in = "/";
    } else if (in.starts_with("/../") || in == "/..") {
      if (in == "/..") {
        in = "/";
      } else {
        in.remove_prefix(3);
      }
      auto slash = out.rfind('/');
      out.erase(slash == std::string::npos ? 0 : slash);
    } else if (in == "." || in == "..") {
      in = {};
    } else {
      std::size_t next = in.find('/', 1);
      if (next == std::string_view::npos) next = in.size();
      out.append(in.substr(0, next));
      in.remove_prefix(next);
    }
  }
  return out;
}

struct Parts {
  std::optional<std::string> scheme, authority, query, fragment;
  std::string path;
};

std::string compose(const Parts& p) {
  std::string s;
  if (p.scheme) s += *p.scheme + ":";
  if (p.authority) s += "//" + *p.authority;
  s += p.path;
  if (p.query) s += "?" + *p.query;
  if (p.fragment) s += "#" + *p.fragment;
  return s;
}

std::string strip_trailing_slash(std::string p) {
  if (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

}  // namespace

std::string percent_encode(std::string_view utf8, const CharSet& allowed) {
  std::string out;
  out.reserve(utf8.size());
  for (char c : utf8) {
    if (allowed.contains(c)) {
      out += c;
    } else {
      auto b = static_cast<unsigned char>(c);
      out += '%';
      out += hex_digits[b >> 4];
      out += hex_digits[b & 0x0F];
    }
  }
  return out;
}

std::optional<std::string> percent_decode(std::string_view text) {
  auto out = decode_bytes(text);
  if (!out || !detail::utf8_valid(*out)) return std::nullopt;
  return out;
}

// ---- Url ------------------------------------------------------------------

std::optional<Url> Url::parse(std::string_view text) {
  if (text.empty() || !valid_url_text(text)) return std::nullopt;
  Url u;
  u.text_ = std::string(text);
  std::size_t pos = 0;
  auto range = [](std::size_t b, std::size_t e) { return Range{b, e - b, true}; };

  // Scheme: letters first, then scheme characters, before any "/", "?" or "#".
  std::size_t colon = text.find(':');
  std::size_t delim = text.find_first_of("/?#");
  if (colon != std::string_view::npos && (delim == std::string_view::npos || colon < delim)) {
    std::string_view s = text.substr(0, colon);
    if (s.empty() || !is_alpha(s[0]) || !all_in(s, scheme_chars)) return std::nullopt;   // ":" in a first relative segment
    u.scheme_ = range(0, colon);
    pos = colon + 1;
  }

  if (text.substr(pos).starts_with("//")) {
    u.has_authority_ = true;
    std::size_t begin = pos + 2;
    std::size_t end = text.find_first_of("/?#", begin);
    if (end == std::string_view::npos) end = text.size();
    std::string_view authority = text.substr(begin, end - begin);
    std::size_t host_begin = begin;
    std::size_t at = authority.find('@');
    if (at != std::string_view::npos) {
      std::string_view userinfo = authority.substr(0, at);
      if (!all_in(userinfo, userinfo_chars)) return std::nullopt;
      std::size_t c = userinfo.find(':');
      if (c == std::string_view::npos) {
        u.user_ = range(begin, begin + at);
      } else {
        u.user_ = range(begin, begin + c);
        u.password_ = range(begin + c + 1, begin + at);
      }
      host_begin = begin + at + 1;
    }
    std::string_view hostport = text.substr(host_begin, end - host_begin);
    std::size_t host_end;
    if (hostport.starts_with("[")) {
      std::size_t close = hostport.find(']');
      if (close == std::string_view::npos || close == 1) return std::nullopt;
      if (!all_in(hostport.substr(1, close - 1), ip_literal_chars)) return std::nullopt;
      host_end = host_begin + close + 1;
    } else {
      std::size_t c = hostport.find(':');
      host_end = c == std::string_view::npos ? end : host_begin + c;
      if (!all_in(text.substr(host_begin, host_end - host_begin), reg_name_chars)) return std::nullopt;
    }
    u.host_ = range(host_begin, host_end);
    if (host_end < end) {
      if (text[host_end] != ':') return std::nullopt;
      std::string_view port = text.substr(host_end + 1, end - host_end - 1);
      if (port.size() > 5) return std::nullopt;
      int value = 0;
      for (char c : port) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
      }
      if (value > 65535) return std::nullopt;
      if (!port.empty()) u.port_ = range(host_end + 1, end);
    }
    pos = end;
  }

  std::size_t path_end = text.find_first_of("?#", pos);
  if (path_end == std::string_view::npos) path_end = text.size();
  std::string_view path = text.substr(pos, path_end - pos);
  if (!all_in(path, path_chars)) return std::nullopt;
  if (!u.scheme_.present && !u.has_authority_) {
    std::size_t first = path.find('/');
    if (path.substr(0, first).find(':') != std::string_view::npos) return std::nullopt;
  }
  u.path_ = range(pos, path_end);
  pos = path_end;

  if (pos < text.size() && text[pos] == '?') {
    std::size_t end = text.find('#', pos);
    if (end == std::string_view::npos) end = text.size();
    if (!all_in(text.substr(pos + 1, end - pos - 1), query_chars)) return std::nullopt;
    u.query_ = range(pos + 1, end);
    pos = end;
  }
  if (pos < text.size()) {   // text[pos] == '#'
    if (!all_in(text.substr(pos + 1), query_chars)) return std::nullopt;   // a second "#" fails here
    u.fragment_ = range(pos + 1, text.size());
  }
  return u;
}

std::optional<Url> Url::parse(std::string_view text, const Url& base) {
  std::optional<Url> ref;
  if (text.empty()) {
    if (!valid_url_text(base.text_)) return std::nullopt;
  } else {
    ref = parse(text);
    if (!ref) return std::nullopt;
  }
  auto authority_of = [](const Url& u) -> std::optional<std::string> {
    if (!u.has_authority_) return std::nullopt;
    std::size_t b = u.user_.present ? u.user_.begin : u.host_.begin;
    std::size_t e = u.port_.present ? u.port_.begin + u.port_.size : u.host_.begin + u.host_.size;
    if (u.port_.present == false && e < u.text_.size() && u.text_[e] == ':') ++e;   // keep an empty port as written
    return u.text_.substr(b, e - b);
  };

  Parts t;
  const Parts r = ref ? Parts{ref->scheme(), authority_of(*ref), ref->query(), ref->fragment(), ref->percent_encoded_path()}
                      : Parts{std::nullopt, std::nullopt, std::nullopt, std::nullopt, ""};
  if (r.scheme) {
    t.scheme = r.scheme;
    t.authority = r.authority;
    t.path = remove_dot_segments(r.path);
    t.query = r.query;
  } else {
    if (r.authority) {
      t.authority = r.authority;
      t.path = remove_dot_segments(r.path);
      t.query = r.query;
    } else {
      std::string base_path = base.percent_encoded_path();
      if (r.path.empty()) {
        t.path = base_path;
        t.query = r.query ? r.query : base.query();
      } else {
        if (r.path.starts_with("/")) {
          t.path = remove_dot_segments(r.path);
        } else {
          std::string merged;
          if (base.has_authority_ && base_path.empty()) {
            merged = "/" + r.path;
          } else {
            auto slash = base_path.rfind('/');
            merged = (slash == std::string::npos ? std::string() : base_path.substr(0, slash + 1)) + r.path;
          }
          t.path = remove_dot_segments(merged);
        }
        t.query = r.query;
      }
      t.authority = authority_of(base);
    }
    t.scheme = base.scheme();
  }
  t.fragment = r.fragment;
  if (!t.authority && t.path.starts_with("//")) return std::nullopt;
  return parse(compose(t));
}

Url Url::file(const std::filesystem::path& path, bool is_directory) {
  std::error_code ec;
  std::filesystem::path abs = std::filesystem::absolute(path, ec);
  if (ec) abs = path;
  std::string encoded = percent_encode(abs.string(), charsets::url_path_allowed);
  if (encoded.empty() || encoded[0] != '/') encoded.insert(0, "/");
  if (is_directory && encoded.back() != '/') encoded += '/';
  return *parse("file://" + encoded);
}

std::optional<std::string> Url::part(const Range& r) const {
  if (!r.present) return std::nullopt;
  return text_.substr(r.begin, r.size);
}

std::optional<std::string> Url::scheme() const { return part(scheme_); }
std::optional<std::string> Url::query() const { return part(query_); }
std::optional<std::string> Url::fragment() const { return part(fragment_); }

std::optional<std::string> Url::host() const {
  auto h = part(host_);
  if (!h || h->empty()) return std::nullopt;
  if (h->front() == '[') return h->substr(1, h->size() - 2);
  return decode_bytes(*h);
}

std::optional<std::string> Url::user() const {
  auto u = part(user_);
  return u ? decode_bytes(*u) : std::nullopt;
}

std::optional<std::string> Url::password() const {
  auto p = part(password_);
  return p ? decode_bytes(*p) : std::nullopt;
}

std::optional<int> Url::port() const {
  if (!port_.present) return std::nullopt;
  int value = 0;
  for (std::size_t i = 0; i < port_.size; ++i) value = value * 10 + (text_[port_.begin + i] - '0');
  return value;
}

std::string Url::percent_encoded_path() const { return *part(path_); }

std::string Url::path() const {
  std::string encoded = percent_encoded_path();
  auto decoded = percent_decode(encoded);
  return strip_trailing_slash(decoded ? *decoded : encoded);
}

std::string Url::last_path_component() const {
  std::string p = path();
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  if (p == "/") return p;
  auto slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string Url::path_extension() const {
  std::string last = last_path_component();
  auto dot = last.rfind('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 == last.size()) return "";
  return last.substr(dot + 1);
}

Url Url::appending_path_component(std::string_view component, bool is_directory) const {
  std::string path = percent_encoded_path();
  std::string encoded = percent_encode(component, charsets::url_path_allowed);
  if (path.empty()) {
    if (has_authority_) path = "/";
  } else if (path.back() != '/') {
    path += '/';
  }
  if (!path.empty() && path.back() == '/' && encoded.starts_with("/")) encoded.erase(0, 1);
  path += encoded;
  if (is_directory && (path.empty() || path.back() != '/')) path += '/';
  // A ":" in the first segment of a bare relative path would read as a scheme.
  if (!scheme_.present && !has_authority_ && path.substr(0, path.find('/')).find(':') != std::string::npos) {
    path.insert(0, "./");
  }
  std::string prefix = text_.substr(0, path_.begin);
  std::string suffix = text_.substr(path_.begin + path_.size);
  auto result = parse(prefix + path + suffix);
  return result ? *result : *this;
}

bool Url::is_file_url() const {
  auto s = scheme();
  return s && iequals(*s, "file");
}

std::filesystem::path Url::file_path() const {
  if (!is_file_url()) return {};
  // File names are bytes: decode escapes even when the result is not UTF-8.
  auto decoded = decode_bytes(percent_encoded_path());
  return std::filesystem::path(strip_trailing_slash(decoded ? *decoded : percent_encoded_path()));
}

// ---- UrlComponents -------------------------------------------------------

UrlComponents::UrlComponents(const Url& url)
    : scheme_(url.scheme()),
      user_(url.part(url.user_)),
      password_(url.part(url.password_)),
      host_(url.has_authority_ ? url.part(url.host_) : std::nullopt),
      query_(url.query()),
      fragment_(url.fragment()),
      port_(url.port()),
      path_(url.percent_encoded_path()) {}

std::optional<UrlComponents> UrlComponents::parse(std::string_view text) {
  auto url = Url::parse(text);
  if (!url) return std::nullopt;
  return UrlComponents(*url);
}

std::optional<std::string> UrlComponents::user() const { return user_ ? decode_bytes(*user_) : std::nullopt; }
void UrlComponents::set_user(const std::optional<std::string>& user) {
  user_ = user ? std::optional(percent_encode(*user, charsets::url_user_allowed)) : std::nullopt;
}

std::optional<std::string> UrlComponents::password() const {
  return password_ ? decode_bytes(*password_) : std::nullopt;
}
void UrlComponents::set_password(const std::optional<std::string>& password) {
  password_ = password ? std::optional(percent_encode(*password, charsets::url_password_allowed)) : std::nullopt;
}

std::optional<std::string> UrlComponents::host() const {
  if (!host_) return std::nullopt;
  if (host_->starts_with("[") && host_->ends_with("]")) return host_->substr(1, host_->size() - 2);
  return decode_bytes(*host_);
}
void UrlComponents::set_host(const std::optional<std::string>& host) {
  if (!host) {
    host_.reset();
  } else if (host->find(':') != std::string::npos && !host->starts_with("[")) {
    host_ = "[" + *host + "]";   // an IPv6 address
  } else {
    host_ = percent_encode(*host, charsets::url_host_allowed);
  }
}

std::string UrlComponents::path() const {
  auto decoded = percent_decode(path_);
  return decoded ? *decoded : path_;
}
void UrlComponents::set_path(std::string_view path) {
  path_ = percent_encode(path, charsets::url_path_allowed.with(";"));
}
bool UrlComponents::set_percent_encoded_path(std::string_view path) {
  if (!valid_component(path, path_chars)) return false;
  path_ = std::string(path);
  return true;
}

std::optional<std::string> UrlComponents::query() const { return query_ ? percent_decode(*query_) : std::nullopt; }

bool UrlComponents::set_percent_encoded_query(std::optional<std::string_view> query) {
  if (!query) {
    query_.reset();
    return true;
  }
  if (!valid_component(*query, query_chars)) return false;
  query_ = std::string(*query);
  return true;
}

std::optional<std::vector<UrlComponents::QueryItem>> UrlComponents::query_items() const {
  if (!query_) return std::nullopt;
  std::vector<QueryItem> items;
  if (query_->empty()) return items;
  auto decode = [](std::string_view s) {
    auto d = percent_decode(s);
    return d ? *d : std::string(s);
  };
  std::string_view rest = *query_;
  while (true) {
    std::size_t amp = rest.find('&');
    std::string_view item = rest.substr(0, amp);
    std::size_t eq = item.find('=');
    if (eq == std::string_view::npos) {
      items.push_back({decode(item), std::nullopt});
    } else {
      items.push_back({decode(item.substr(0, eq)), decode(item.substr(eq + 1))});
    }
    if (amp == std::string_view::npos) break;
    rest.remove_prefix(amp + 1);
  }
  return items;
}

void UrlComponents::set_query_items(const std::optional<std::vector<QueryItem>>& items) {
  if (!items) {
    query_.reset();
    return;
  }
  static constexpr CharSet item_allowed = charsets::url_query_allowed.without("&=+");
  std::string q;
  for (std::size_t i = 0; i < items->size(); ++i) {
    const QueryItem& item = (*items)[i];
    if (i > 0) q += '&';
    q += percent_encode(item.name, item_allowed);
    if (item.value) q += "=" + percent_encode(*item.value, item_allowed);
  }
  query_ = std::move(q);
}

std::optional<std::string> UrlComponents::fragment() const {
  return fragment_ ? percent_decode(*fragment_) : std::nullopt;
}
void UrlComponents::set_fragment(const std::optional<std::string>& fragment) {
  fragment_ = fragment ? std::optional(percent_encode(*fragment, charsets::url_fragment_allowed)) : std::nullopt;
}

std::string UrlComponents::string() const {
  std::string s;
  if (scheme_) s += *scheme_ + ":";
  if (host_ || user_ || password_ || port_) {
    s += "//";
    if (user_ || password_) {
      s += user_.value_or("");
      if (password_) s += ":" + *password_;
      s += "@";
    }
    s += host_.value_or("");
    if (port_) s += ":" + std::to_string(*port_);
  }
  s += path_;
  if (query_) s += "?" + *query_;
  if (fragment_) s += "#" + *fragment_;
  return s;
}

std::optional<Url> UrlComponents::url() const {
  bool authority = host_ || user_ || password_ || port_;
  if (authority && !path_.empty() && path_[0] != '/') return std::nullopt;
  if (!authority && path_.starts_with("//")) return std::nullopt;
  if (scheme_ && (scheme_->empty() || !is_alpha((*scheme_)[0]) || !all_in(*scheme_, scheme_chars))) return std::nullopt;
  if (port_ && (*port_ < 0 || *port_ > 65535)) return std::nullopt;
  return Url::parse(string());
}

}  // namespace platform::foundation
