#pragma once
// HTTP cookies and their storage (RFC 6265).
//
// Domains are kept lower-case without a leading dot; `host_only` tells a
// cookie sent to its exact host from one sent to every host under its domain.
// A cookie built by hand with a domain such as ".example.org" is a domain
// cookie; without the dot it is host-only (as the platform's cookie values
// have it). Times come from dispatch::Clock (Date::now()).
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/url.h"
#include "platform/foundation/value.h"

namespace platform::net {

struct Cookie {
  std::string name, value, domain, path = "/";
  std::optional<foundation::Date> expires;  // nullopt: a session cookie
  bool secure = false, http_only = false;
  std::string same_site;                    // "Strict", "Lax", "None" or empty
  bool host_only = true;
  foundation::Date creation = foundation::Date::now();

  bool session_only() const { return !expires.has_value(); }
  bool expired_at(foundation::Date now) const { return expires && *expires <= now; }

  // Parses one Set-Cookie header value received from `response_url` by
  // RFC 6265 section 5.2/5.3: nullopt for a line without "=", an empty name,
  // a response URL without host, or a Domain attribute the host does not
  // domain-match. Never throws.
  static std::optional<Cookie> from_set_cookie(std::string_view header_value, const foundation::Url& response_url);

  // Cookie properties as the platform's cookie stores hand them over:
  // "Name", "Value", "Domain" (a leading dot makes a domain cookie), "Path"
  // (default "/"), "Expires" (date, or real seconds since 2001), "Max-Age"
  // (seconds from now, wins over Expires), "Discard" (true: session cookie),
  // "Secure", "HttpOnly", "SameSite", "Created" (real seconds since 2001),
  // "OriginURL" (its host when there is no Domain). nullopt without name,
  // value or domain.
  static std::optional<Cookie> from_properties(const foundation::Dict& properties);
  foundation::Dict properties() const;

  std::string description() const;
};

// RFC 6265 section 5.1.1 cookie-date; nullopt when the text is not a date.
std::optional<foundation::Date> parse_cookie_date(std::string_view text);
// Section 5.1.3: `host` equals `domain` or ends in "." + domain and is not an IP address.
bool domain_matches(std::string_view host, std::string_view domain);
// Section 5.1.4.
bool path_matches(std::string_view request_path, std::string_view cookie_path);
std::string default_cookie_path(const foundation::Url& url);

enum class CookieAcceptPolicy { always = 0, never = 1, only_from_main_document_domain = 2 };

// Thread-safe. Expired cookies are never returned and are dropped as they are met.
class CookieStorage {
 public:
  // The device's persistent storage: <container>/Library/Cookies/Cookies.plist,
  // read when first asked for (expired cookies dropped, a corrupt file read as
  // empty) and written atomically after each change of its persistent
  // cookies. Session cookies are never written. Before boot there is no
  // container, and the storage made then stays in memory.
  static std::shared_ptr<CookieStorage> shared();
  static std::shared_ptr<CookieStorage> make_in_memory();

  // Stores a cookie as given (normalised: domain lower-case, leading dot
  // turned into a domain cookie, empty path "/"). A cookie with the same name,
  // domain and path is replaced and its creation time kept; an expired one
  // only removes it. Empty name or domain: ignored.
  void set_cookie(const Cookie& cookie);
  void delete_cookie(const Cookie& cookie);
  // Cookies offered for `for_url`: those whose domain does not domain-match
  // the URL's host are dropped; then the accept policy (never: none;
  // only_from_main_document_domain: only those related to the main
  // document's host, checked only when a main document is given).
  void set_cookies(std::span<const Cookie> cookies, const foundation::Url& for_url,
                   std::optional<foundation::Url> main_document);
  // The same under `policy` instead of the storage's own (a session's
  // configuration governs the cookies of its transfers).
  void set_cookies(std::span<const Cookie> cookies, const foundation::Url& for_url,
                   std::optional<foundation::Url> main_document, CookieAcceptPolicy policy);

  std::vector<Cookie> cookies() const;  // in storage order
  // Cookies to send to `url`, longer paths first, then earlier creation.
  std::vector<Cookie> cookies_for(const foundation::Url& url) const;
  // "a=1; b=2" for `url`, nullopt when no cookie applies.
  std::optional<std::string> cookie_header_for(const foundation::Url& url) const;

  CookieAcceptPolicy accept_policy() const { return policy_.load(); }
  void set_accept_policy(CookieAcceptPolicy policy) { policy_.store(policy); }

  ~CookieStorage();
  CookieStorage(const CookieStorage&) = delete;
  CookieStorage& operator=(const CookieStorage&) = delete;

  struct State;

 private:
  CookieStorage();
  std::atomic<CookieAcceptPolicy> policy_{CookieAcceptPolicy::only_from_main_document_domain};
  std::unique_ptr<State> state_;
};

// Drops the shared storage (its file stays). Called by net's reset hook.
void reset_cookie_storage_for_testing();

}  // namespace platform::net
