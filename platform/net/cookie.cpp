#include "platform/net/cookie.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <mutex>

#include "platform/foundation/plist.h"
#include "platform/os/file_manager.h"
#include "platform/os/system.h"

namespace platform::net {

using foundation::Date;
using foundation::Dict;
using foundation::Url;
using foundation::Value;

namespace {

// 1601-01-01 (the earliest cookie-date) and 9999-12-31T23:59:59Z.
constexpr double kEarliest = -11644473600.0;
constexpr double kLatest = 253402300799.0;

char lower_ascii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string to_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = lower_ascii(c);
  return out;
}

bool iequals_ascii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower_ascii(a[i]) != lower_ascii(b[i])) return false;
  }
  return true;
}

std::string_view trim_wsp(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Control characters other than tab never reach a header.
bool has_control(std::string_view s) {
  return std::any_of(s.begin(), s.end(), [](char c) {
    auto b = static_cast<unsigned char>(c);
    return (b < 0x20 && b != '\t') || b == 0x7f;
  });
}

bool is_ip_address(const std::string& host) {
  unsigned char buf[16];
  return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

std::optional<std::string> canonical_host(const Url& url) {
  auto host = url.host();
  if (!host || host->empty()) return std::nullopt;
  return to_lower(*host);
}

// ---- cookie-date (section 5.1.1) ----

bool is_delimiter(unsigned char c) {
  return c == 0x09 || (c >= 0x20 && c <= 0x2f) || (c >= 0x3b && c <= 0x40) || (c >= 0x5b && c <= 0x60) ||
         (c >= 0x7b && c <= 0x7e);
}

// Reads min..max digits at `pos`; the digits must be followed by the end or a non-digit.
bool read_digits(std::string_view t, std::size_t& pos, std::size_t min, std::size_t max, int& out) {
  std::size_t start = pos;
  int v = 0;
  while (pos < t.size() && pos - start < max && is_digit(t[pos])) v = v * 10 + (t[pos++] - '0');
  if (pos - start < min) return false;
  if (pos < t.size() && is_digit(t[pos])) return false;
  out = v;
  return true;
}

bool parse_time_token(std::string_view t, int& h, int& m, int& s) {
  std::size_t pos = 0;
  auto field = [&](int& out) {
    std::size_t start = pos;
    int v = 0;
    while (pos < t.size() && pos - start < 2 && is_digit(t[pos])) v = v * 10 + (t[pos++] - '0');
    out = v;
    return pos > start;
  };
  if (!field(h) || pos >= t.size() || t[pos++] != ':') return false;
  if (!field(m) || pos >= t.size() || t[pos++] != ':') return false;
  if (!field(s)) return false;
  return pos == t.size() || !is_digit(t[pos]);
}

int month_of(std::string_view t) {
  static constexpr std::string_view names[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                               "jul", "aug", "sep", "oct", "nov", "dec"};
  if (t.size() < 3) return 0;
  for (int i = 0; i < 12; ++i) {
    if (iequals_ascii(t.substr(0, 3), names[i])) return i + 1;
  }
  return 0;
}

bool is_leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(int y, int m) {
  static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && is_leap(y) ? 29 : days[m - 1];
}

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

std::string format_gmt(Date d) {
  if (!std::isfinite(d.since_1970)) return "-";
  auto t = static_cast<std::time_t>(std::floor(std::clamp(d.since_1970, kEarliest, kLatest)));
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d +0000", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

bool valid_name(std::string_view name) {
  return !name.empty() && !has_control(name) && name.find_first_of(";=") == std::string_view::npos;
}

bool valid_value(std::string_view value) { return !has_control(value) && value.find(';') == std::string_view::npos; }

// Normalised form of a cookie handed in by value; nullopt when it cannot be stored.
std::optional<Cookie> normalised(Cookie c) {
  if (!valid_name(c.name) || !valid_value(c.value)) return std::nullopt;
  if (!c.domain.empty() && c.domain.front() == '.') {
    c.domain.erase(0, 1);
    c.host_only = false;
  }
  c.domain = to_lower(c.domain);
  if (c.domain.empty() || has_control(c.domain)) return std::nullopt;
  if (c.path.empty() || c.path.front() != '/') c.path = "/";
  if (has_control(c.path) || c.path.find(';') != std::string::npos) return std::nullopt;
  if (c.expires && std::isnan(c.expires->since_1970)) return std::nullopt;
  return c;
}

bool same_key(const Cookie& a, const Cookie& b) { return a.name == b.name && a.domain == b.domain && a.path == b.path; }

bool host_allows(const Cookie& c, const std::string& host) {
  return c.host_only ? host == c.domain : domain_matches(host, c.domain);
}

std::optional<bool> bool_of(const Value& v) {
  if (v.is_bool() || v.is_integer()) return v.as_bool();
  if (const auto* s = v.string()) return iequals_ascii(*s, "true") || iequals_ascii(*s, "yes") || *s == "1";
  return std::nullopt;
}

std::optional<double> number_of(const Value& v) {
  if (v.is_integer() || v.is_real()) return v.as_double();
  return std::nullopt;
}

}  // namespace

// ---- matching ----

bool domain_matches(std::string_view host, std::string_view domain) {
  if (host.empty() || domain.empty()) return false;
  if (host == domain) return true;
  if (host.size() <= domain.size() + 1 || !host.ends_with(domain)) return false;
  if (host[host.size() - domain.size() - 1] != '.') return false;
  return !is_ip_address(std::string(host));
}

bool path_matches(std::string_view request_path, std::string_view cookie_path) {
  if (request_path == cookie_path) return true;
  if (cookie_path.empty() || !request_path.starts_with(cookie_path)) return false;
  return cookie_path.back() == '/' || request_path[cookie_path.size()] == '/';
}

std::string default_cookie_path(const Url& url) {
  std::string path = url.percent_encoded_path();
  if (path.empty() || path.front() != '/') return "/";
  auto slash = path.rfind('/');
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::optional<Date> parse_cookie_date(std::string_view text) {
  bool found_time = false, found_day = false, found_month = false, found_year = false;
  int hour = 0, minute = 0, second = 0, day = 0, month = 0, year = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && is_delimiter(static_cast<unsigned char>(text[i]))) ++i;
    std::size_t start = i;
    while (i < text.size() && !is_delimiter(static_cast<unsigned char>(text[i]))) ++i;
    std::string_view token = text.substr(start, i - start);
    if (token.empty()) continue;
    std::size_t pos = 0;
    int v = 0;
    if (!found_time && parse_time_token(token, hour, minute, second)) {
      found_time = true;
    } else if (!found_day && read_digits(token, pos, 1, 2, v)) {
      found_day = true;
      day = v;
    } else if (!found_month && (v = month_of(token)) != 0) {
      found_month = true;
      month = v;
    } else if (pos = 0; !found_year && read_digits(token, pos, 2, 4, v)) {
      found_year = true;
      year = v;
    }
  }
  if (!found_time || !found_day || !found_month || !found_year) return std::nullopt;
  if (year >= 70 && year <= 99) year += 1900;
  if (year >= 0 && year <= 69) year += 2000;
  if (year < 1601 || hour > 23 || minute > 59 || second > 59) return std::nullopt;
  if (day < 1 || day > days_in_month(year, month)) return std::nullopt;
  double t = static_cast<double>(days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day))) * 86400.0 +
             hour * 3600.0 + minute * 60.0 + second;
  return Date{t};
}

// ---- Cookie ----

std::optional<Cookie> Cookie::from_set_cookie(std::string_view header_value, const Url& response_url) {
  if (has_control(header_value)) return std::nullopt;
  auto host = canonical_host(response_url);
  if (!host) return std::nullopt;

  auto semi = header_value.find(';');
  std::string_view pair = header_value.substr(0, semi);
  std::string_view rest = semi == std::string_view::npos ? std::string_view{} : header_value.substr(semi + 1);
  auto eq = pair.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  std::string_view name = trim_wsp(pair.substr(0, eq));
  std::string_view value = trim_wsp(pair.substr(eq + 1));
  if (name.empty()) return std::nullopt;

  Cookie c;
  c.name = std::string(name);
  c.value = std::string(value);
  std::optional<Date> expires_attr;
  std::optional<Date> max_age_attr;
  std::optional<std::string> domain_attr;
  std::optional<std::string> path_attr;
  const Date now = Date::now();

  while (!rest.empty()) {
    auto next = rest.find(';');
    std::string_view av = rest.substr(0, next);
    rest = next == std::string_view::npos ? std::string_view{} : rest.substr(next + 1);
    auto aeq = av.find('=');
    std::string_view aname = trim_wsp(av.substr(0, aeq));
    std::string_view avalue = aeq == std::string_view::npos ? std::string_view{} : trim_wsp(av.substr(aeq + 1));
    if (iequals_ascii(aname, "expires")) {
      if (auto d = parse_cookie_date(avalue)) expires_attr = Date{std::clamp(d->since_1970, kEarliest, kLatest)};
    } else if (iequals_ascii(aname, "max-age")) {
      if (avalue.empty() || !(is_digit(avalue[0]) || avalue[0] == '-')) continue;
      std::string_view digits = avalue[0] == '-' ? avalue.substr(1) : avalue;
      if (digits.empty() || !std::all_of(digits.begin(), digits.end(), is_digit)) continue;
      double delta = 0;
      for (char d : digits) {
        delta = delta * 10 + (d - '0');
        if (delta > kLatest - kEarliest) break;  // beyond any representable date either way
      }
      if (avalue[0] == '-') delta = -delta;
      max_age_attr = delta <= 0 ? Date{kEarliest} : Date{std::min(now.since_1970 + delta, kLatest)};
    } else if (iequals_ascii(aname, "domain")) {
      if (avalue.empty()) continue;
      std::string_view d = avalue.front() == '.' ? avalue.substr(1) : avalue;
      domain_attr = to_lower(d);
    } else if (iequals_ascii(aname, "path")) {
      path_attr = avalue.empty() || avalue.front() != '/' ? std::optional<std::string>{} : std::string(avalue);
    } else if (iequals_ascii(aname, "secure")) {
      c.secure = true;
    } else if (iequals_ascii(aname, "httponly")) {
      c.http_only = true;
    } else if (iequals_ascii(aname, "samesite")) {
      if (iequals_ascii(avalue, "strict")) c.same_site = "Strict";
      else if (iequals_ascii(avalue, "lax")) c.same_site = "Lax";
      else if (iequals_ascii(avalue, "none")) c.same_site = "None";
    }
  }

  c.expires = max_age_attr ? max_age_attr : expires_attr;
  if (domain_attr && !domain_attr->empty()) {
    // A Domain the host does not domain-match is refused, and so is a bare
    // top-level label (no public suffix list: "org" would cover every site).
    if (!domain_matches(*host, *domain_attr)) return std::nullopt;
    if (domain_attr->find('.') == std::string::npos && *domain_attr != *host) return std::nullopt;
    c.domain = *domain_attr;
    c.host_only = false;
  } else {
    c.domain = *host;
    c.host_only = true;
  }
  c.path = path_attr ? *path_attr : default_cookie_path(response_url);
  c.creation = now;
  return c;
}

std::optional<Cookie> Cookie::from_properties(const Dict& p) {
  const auto* name = p.get("Name").string();
  const auto* value = p.get("Value").string();
  if (!name || !value) return std::nullopt;
  Cookie c;
  c.name = *name;
  c.value = *value;
  if (const auto* domain = p.get("Domain").string(); domain && !domain->empty()) {
    c.domain = *domain;
  } else if (const auto* origin = p.get("OriginURL").string()) {
    auto url = Url::parse(*origin);
    if (!url || !url->host()) return std::nullopt;
    c.domain = *url->host();
  } else {
    return std::nullopt;
  }
  if (const auto* path = p.get("Path").string()) c.path = *path;

  const Value& expires = p.get("Expires");
  if (const auto* d = expires.date()) c.expires = *d;
  else if (auto n = number_of(expires)) c.expires = Date::from_reference_date(*n);
  const Value& max_age = p.get("Max-Age");
  std::optional<double> age = number_of(max_age);
  if (const auto* s = max_age.string()) {
    std::string_view digits = *s;
    if (!digits.empty() && std::all_of(digits.begin(), digits.end(), is_digit) && digits.size() < 15) age = std::stod(*s);
  }
  if (age && std::isfinite(*age)) c.expires = *age <= 0 ? Date{kEarliest} : Date{std::min(Date::now().since_1970 + *age, kLatest)};
  if (bool_of(p.get("Discard")).value_or(false)) c.expires.reset();
  if (c.expires && !std::isfinite(c.expires->since_1970)) return std::nullopt;

  c.secure = bool_of(p.get("Secure")).value_or(false);
  c.http_only = bool_of(p.get("HttpOnly")).value_or(false);
  if (const auto* s = p.get("SameSite").string()) c.same_site = *s;
  if (auto created = number_of(p.get("Created")); created && std::isfinite(*created)) {
    c.creation = Date::from_reference_date(*created);
  }
  auto n = normalised(std::move(c));
  if (!n) return std::nullopt;
  return n;
}

Dict Cookie::properties() const {
  Dict d;
  d.set("Name", name);
  d.set("Value", value);
  d.set("Domain", host_only ? domain : "." + domain);
  d.set("Path", path);
  if (expires) d.set("Expires", expires->since_reference_date());
  d.set("Secure", secure);
  d.set("HttpOnly", http_only);
  if (!same_site.empty()) d.set("SameSite", same_site);
  d.set("Created", creation.since_reference_date());
  return d;
}

std::string Cookie::description() const {
  std::string out = "<Cookie name:\"" + name + "\" value:\"" + value + "\" domain:" + (host_only ? "" : ".") + domain +
                    " path:" + path + " expires:" + (expires ? format_gmt(*expires) : "(null)") +
                    " created:" + format_gmt(creation) + " sessionOnly:" + (session_only() ? "TRUE" : "FALSE") +
                    " secure:" + (secure ? "TRUE" : "FALSE") + " httpOnly:" + (http_only ? "TRUE" : "FALSE") +
                    " sameSite:" + (same_site.empty() ? "none" : same_site) + ">";
  return out;
}

// ---- CookieStorage ----

struct CookieStorage::State {
  struct Entry {
    Cookie cookie;
    std::uint64_t seq;
  };
  mutable std::mutex m;
  std::vector<Entry> entries;
  std::uint64_t next_seq = 0;
  std::filesystem::path file;  // empty: kept in memory only

  // Drops expired cookies; true when a persistent one went.
  bool purge_locked(Date now) {
    bool persistent = false;
    std::erase_if(entries, [&](const Entry& e) {
      bool gone = e.cookie.expired_at(now);
      persistent = persistent || (gone && !e.cookie.session_only());
      return gone;
    });
    return persistent;
  }

  // Inserts or replaces; true when the persistent set changed.
  bool store_locked(Cookie c, Date now) {
    bool changed = false;
    auto it = std::find_if(entries.begin(), entries.end(), [&](const Entry& e) { return same_key(e.cookie, c); });
    if (it != entries.end()) {
      changed = !it->cookie.session_only();
      if (c.expired_at(now)) {
        entries.erase(it);
        return changed;
      }
      c.creation = it->cookie.creation;
      it->cookie = std::move(c);
      return changed || !it->cookie.session_only();
    }
    if (c.expired_at(now)) return false;
    c.creation = now;
    changed = !c.session_only();
    entries.push_back(Entry{std::move(c), next_seq++});
    return changed;
  }

  void save_locked() const {
    if (file.empty()) return;
    const Date now = Date::now();
    foundation::Array list;
    for (const auto& e : entries) {
      if (!e.cookie.session_only() && !e.cookie.expired_at(now)) list.emplace_back(e.cookie.properties());
    }
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);
    (void)foundation::plist::write_file_atomically(Value(std::move(list)), file);
  }

  void load_locked() {
    if (file.empty()) return;
    auto read = foundation::plist::read_file(file);
    if (!read) return;
    const auto* list = read->array();
    if (!list) return;
    const Date now = Date::now();
    for (const auto& item : *list) {
      const auto* props = item.dict();
      if (!props) continue;
      auto c = Cookie::from_properties(*props);
      if (!c || c->session_only() || c->expired_at(now)) continue;
      auto it = std::find_if(entries.begin(), entries.end(), [&](const Entry& e) { return same_key(e.cookie, *c); });
      if (it != entries.end()) it->cookie = std::move(*c);
      else entries.push_back(Entry{std::move(*c), next_seq++});
    }
  }
};

namespace {
std::mutex g_shared_m;
std::shared_ptr<CookieStorage> g_shared;
}  // namespace

CookieStorage::CookieStorage() : state_(std::make_unique<State>()) {}
CookieStorage::~CookieStorage() = default;

std::shared_ptr<CookieStorage> CookieStorage::make_in_memory() {
  return std::shared_ptr<CookieStorage>(new CookieStorage());
}

std::shared_ptr<CookieStorage> CookieStorage::shared() {
  std::lock_guard lk(g_shared_m);
  if (!g_shared) {
    auto s = std::shared_ptr<CookieStorage>(new CookieStorage());
    auto library = os::FileManager::shared().url_for(os::Directory::library);
    if (!library.empty()) {
      std::lock_guard slk(s->state_->m);
      s->state_->file = library / "Cookies" / "Cookies.plist";
      s->state_->load_locked();
    }
    g_shared = std::move(s);
  }
  return g_shared;
}

void reset_cookie_storage_for_testing() {
  std::lock_guard lk(g_shared_m);
  g_shared.reset();
}

void CookieStorage::set_cookie(const Cookie& cookie) {
  auto c = normalised(cookie);
  if (!c) return;
  const Date now = Date::now();
  std::lock_guard lk(state_->m);
  bool changed = state_->purge_locked(now);
  changed = state_->store_locked(std::move(*c), now) || changed;
  if (changed) state_->save_locked();
}

void CookieStorage::delete_cookie(const Cookie& cookie) {
  auto c = normalised(cookie);
  if (!c) return;
  std::lock_guard lk(state_->m);
  auto& entries = state_->entries;
  auto it = std::find_if(entries.begin(), entries.end(), [&](const State::Entry& e) { return same_key(e.cookie, *c); });
  if (it == entries.end()) return;
  bool persistent = !it->cookie.session_only();
  entries.erase(it);
  if (persistent) state_->save_locked();
}

void CookieStorage::set_cookies(std::span<const Cookie> cookies, const Url& for_url, std::optional<Url> main_document) {
  set_cookies(cookies, for_url, std::move(main_document), accept_policy());
}

void CookieStorage::set_cookies(std::span<const Cookie> cookies, const Url& for_url, std::optional<Url> main_document,
                                CookieAcceptPolicy policy) {
  if (policy == CookieAcceptPolicy::never) return;
  auto host = canonical_host(for_url);
  if (!host) return;
  std::optional<std::string> main_host;
  if (main_document && policy == CookieAcceptPolicy::only_from_main_document_domain) {
    main_host = canonical_host(*main_document);
    if (!main_host) return;
  }
  const Date now = Date::now();
  std::lock_guard lk(state_->m);
  bool changed = state_->purge_locked(now);
  for (const auto& offered : cookies) {
    auto c = normalised(offered);
    if (!c || !host_allows(*c, *host)) continue;
    if (main_host && !domain_matches(*main_host, c->domain) && !domain_matches(c->domain, *main_host)) continue;
    changed = state_->store_locked(std::move(*c), now) || changed;
  }
  if (changed) state_->save_locked();
}

std::vector<Cookie> CookieStorage::cookies() const {
  std::lock_guard lk(state_->m);
  state_->purge_locked(Date::now());
  std::vector<Cookie> out;
  out.reserve(state_->entries.size());
  for (const auto& e : state_->entries) out.push_back(e.cookie);
  return out;
}

std::vector<Cookie> CookieStorage::cookies_for(const Url& url) const {
  auto host = canonical_host(url);
  if (!host) return {};
  const bool https = iequals_ascii(url.scheme().value_or(""), "https");
  std::string path = url.percent_encoded_path();
  if (path.empty()) path = "/";
  std::vector<State::Entry> matched;
  {
    std::lock_guard lk(state_->m);
    state_->purge_locked(Date::now());
    for (const auto& e : state_->entries) {
      const Cookie& c = e.cookie;
      if (!host_allows(c, *host) || !path_matches(path, c.path) || (c.secure && !https)) continue;
      matched.push_back(e);
    }
  }
  std::stable_sort(matched.begin(), matched.end(), [](const State::Entry& a, const State::Entry& b) {
    if (a.cookie.path.size() != b.cookie.path.size()) return a.cookie.path.size() > b.cookie.path.size();
    if (a.cookie.creation != b.cookie.creation) return a.cookie.creation < b.cookie.creation;
    return a.seq < b.seq;
  });
  std::vector<Cookie> out;
  out.reserve(matched.size());
  for (auto& e : matched) out.push_back(std::move(e.cookie));
  return out;
}

std::optional<std::string> CookieStorage::cookie_header_for(const Url& url) const {
  auto list = cookies_for(url);
  if (list.empty()) return std::nullopt;
  std::string header;
  for (const auto& c : list) {
    if (!header.empty()) header += "; ";
    header += c.name;
    header += '=';
    header += c.value;
  }
  return header;
}

}  // namespace platform::net
