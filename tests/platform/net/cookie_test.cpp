#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/net/cookie.h"
#include "platform/testing/manual_clock.h"
#include "tests/platform/net/cookie_fixture.h"

namespace platform::net::test {
namespace {

using foundation::Date;
using foundation::Dict;
using foundation::Url;
using foundation::Value;
using platform::testing::ManualClock;

constexpr double kNow = ManualClock::kDefaultStartSince1970;
constexpr double kLatest = 253402300799.0;  // 9999-12-31T23:59:59Z

Url url(std::string_view text) {
  auto u = Url::parse(text);
  EXPECT_TRUE(u.has_value()) << text;
  return *u;
}

double utc(int y, int mo, int d, int h, int mi, int s) {
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  return static_cast<double>(timegm(&tm));
}

std::vector<Cookie> parse_all(std::initializer_list<std::string_view> lines, const Url& from) {
  std::vector<Cookie> out;
  for (auto line : lines) {
    auto c = Cookie::from_set_cookie(line, from);
    EXPECT_TRUE(c.has_value()) << line;
    if (c) out.push_back(*c);
  }
  return out;
}

std::vector<std::string> names(const std::vector<Cookie>& cookies) {
  std::vector<std::string> out;
  for (const auto& c : cookies) out.push_back(c.name);
  return out;
}

class CookieTest : public DeviceTest {};

// ---- Set-Cookie parsing ---------------------------------------------------------

struct ParseCase {
  std::string header;
  std::string from = "https://intranet.example.org/dir/page";
  bool accepted = true;
  std::string name = "a", value = "b", domain = "intranet.example.org";
  bool host_only = true;
  std::string path = "/dir";
  std::optional<double> expires = std::nullopt;  // nullopt: session cookie
  bool secure = false, http_only = false;
  std::string same_site = {};
};

TEST_F(CookieTest, SetCookieParsingFollowsTheRfcTable) {
  const double when = utc(2015, 10, 21, 7, 28, 0);
  const std::vector<ParseCase> cases = {
      {.header = "a=b"},
      {.header = "  a = b c ;Path=/x ; Secure;HttpOnly; SameSite=lax", .value = "b c", .path = "/x", .secure = true,
       .http_only = true, .same_site = "Lax"},
      {.header = "a=b; PATH=/P; SECURE; httponly; samesite=STRICT", .path = "/P", .secure = true, .http_only = true,
       .same_site = "Strict"},
      {.header = "a=", .value = ""},
      {.header = "a=b=c", .value = "b=c"},
      // Default path: the request path up to its last "/".
      {.header = "a=b; Path=relative"},
      {.header = "a=b; Path="},
      {.header = "a=b", .from = "https://intranet.example.org/page", .path = "/"},
      {.header = "a=b", .from = "https://intranet.example.org", .path = "/"},
      {.header = "a=b", .from = "https://intranet.example.org/dir/sub/", .path = "/dir/sub"},
      {.header = "a=b; Path=/one; Path=/two", .path = "/two"},
      // Domain: leading dot stripped, lower-cased, must cover the host.
      {.header = "a=b; Domain=.Example.ORG", .domain = "example.org", .host_only = false},
      {.header = "a=b; domain=intranet.example.org", .host_only = false},
      {.header = "a=b; Domain=", .host_only = true},
      {.header = "a=b; Domain=.", .host_only = true},
      {.header = "a=b", .from = "https://INTRANET.Example.org/dir/x"},
      {.header = "a=b; Domain=other.com", .accepted = false},
      {.header = "a=b; Domain=ample.org", .accepted = false},
      {.header = "a=b; Domain=sub.intranet.example.org", .accepted = false},
      {.header = "a=b; Domain=org", .accepted = false},
      {.header = "a=b; Domain=0.0.1", .from = "http://10.0.0.1/", .accepted = false},
      {.header = "a=b; Domain=10.0.0.1", .from = "http://10.0.0.1/", .domain = "10.0.0.1", .host_only = false, .path = "/"},
      // Names: the pair needs "=" and a non-empty name.
      {.header = "=b", .accepted = false},
      {.header = "  =b; Path=/", .accepted = false},
      {.header = "nameonly", .accepted = false},
      {.header = "", .accepted = false},
      {.header = "a=b\r\nSet-Cookie: x=y", .accepted = false},
      {.header = "a=b", .from = "file:///tmp/x", .accepted = false},
      // Expires and Max-Age.
      {.header = "a=b; Expires=Wed, 21 Oct 2015 07:28:00 GMT", .expires = when},
      {.header = "a=b; expires=Wed, 21-Oct-15 07:28:00 GMT", .expires = when},
      {.header = "a=b; Expires=Thu, 01 Jan 1970 00:00:00 GMT", .expires = 0},
      {.header = "a=b; Expires=not a date"},
      {.header = "a=b; Expires=Wed, 31 Feb 2021 07:28:00 GMT"},
      {.header = "a=b; Expires=Wed, 21 Oct 2015 24:00:00 GMT"},
      {.header = "a=b; Expires=Wed, 21 Oct 1600 07:28:00 GMT"},
      {.header = "a=b; Expires="},
      {.header = "a=b; Max-Age=60", .expires = kNow + 60},
      {.header = "a=b; Max-Age=60; Expires=Wed, 21 Oct 2015 07:28:00 GMT", .expires = kNow + 60},
      {.header = "a=b; Expires=Wed, 21 Oct 2015 07:28:00 GMT; max-age=60", .expires = kNow + 60},
      {.header = "a=b; Max-Age=abc; Expires=Wed, 21 Oct 2015 07:28:00 GMT", .expires = when},
      {.header = "a=b; Max-Age=1x"},
      {.header = "a=b; Max-Age=+5"},
      {.header = "a=b; Max-Age=-"},
      {.header = "a=b; Max-Age=99999999999999999999999999", .expires = kLatest},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.header + " from " + tc.from);
    auto c = Cookie::from_set_cookie(tc.header, url(tc.from));
    ASSERT_EQ(c.has_value(), tc.accepted);
    if (!c) continue;
    EXPECT_EQ(c->name, tc.name);
    EXPECT_EQ(c->value, tc.value);
    EXPECT_EQ(c->domain, tc.domain);
    EXPECT_EQ(c->host_only, tc.host_only);
    EXPECT_EQ(c->path, tc.path);
    EXPECT_EQ(c->session_only(), !tc.expires.has_value());
    if (tc.expires && c->expires) {
      EXPECT_DOUBLE_EQ(c->expires->since_1970, *tc.expires);
    }
    EXPECT_EQ(c->secure, tc.secure);
    EXPECT_EQ(c->http_only, tc.http_only);
    EXPECT_EQ(c->same_site, tc.same_site);
  }
}

TEST_F(CookieTest, ZeroOrNegativeMaxAgeIsAlreadyExpired) {
  for (const char* header : {"a=b; Max-Age=0", "a=b; Max-Age=-5", "a=b; Expires=Wed, 21 Oct 2099 07:28:00 GMT; Max-Age=0"}) {
    SCOPED_TRACE(header);
    auto c = Cookie::from_set_cookie(header, url("https://intranet.example.org/"));
    ASSERT_TRUE(c.has_value());
    EXPECT_FALSE(c->session_only());
    EXPECT_TRUE(c->expired_at(Date::now()));
  }
}

TEST_F(CookieTest, CookieDatesFollowTheTokenAlgorithm) {
  struct Case {
    std::string text;
    std::optional<double> expected;
  };
  const std::vector<Case> cases = {
      {"Sun, 06 Nov 1994 08:49:37 GMT", utc(1994, 11, 6, 8, 49, 37)},
      {"Sunday, 06-Nov-94 08:49:37 GMT", utc(1994, 11, 6, 8, 49, 37)},
      {"Sun Nov  6 08:49:37 1994", utc(1994, 11, 6, 8, 49, 37)},
      {"6 november 1994 8:9:7", utc(1994, 11, 6, 8, 9, 7)},
      {"06 Nov 69 00:00:00", utc(2069, 11, 6, 0, 0, 0)},
      {"06 Nov 70 00:00:00", utc(1970, 11, 6, 0, 0, 0)},
      {"29 Feb 2020 00:00:00", utc(2020, 2, 29, 0, 0, 0)},
      {"31 Dec 9999 23:59:59", kLatest},
      {"29 Feb 2021 00:00:00", std::nullopt},
      {"06 Nov 1994", std::nullopt},
      {"Nov 1994 08:49:37", std::nullopt},
      {"32 Nov 1994 08:49:37", std::nullopt},
      {"06 Nov 1994 08:60:37", std::nullopt},
      {"06 Nov 19945 08:49:37", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.text);
    auto d = parse_cookie_date(tc.text);
    ASSERT_EQ(d.has_value(), tc.expected.has_value());
    if (d) {
      EXPECT_DOUBLE_EQ(d->since_1970, *tc.expected);
    }
  }
}

TEST_F(CookieTest, PropertiesBuildCookiesAndRoundTrip) {
  auto host_only = Cookie::from_properties(Dict{{"Name", "PHPSESSID"}, {"Value", "s1"}, {"Domain", "Intranet.Example.org"}});
  ASSERT_TRUE(host_only.has_value());
  EXPECT_EQ(host_only->domain, "intranet.example.org");
  EXPECT_TRUE(host_only->host_only);
  EXPECT_EQ(host_only->path, "/");
  EXPECT_TRUE(host_only->session_only());

  auto domain = Cookie::from_properties(Dict{{"Name", "d"}, {"Value", "v"}, {"Domain", ".example.org"}, {"Path", "/p"},
                                             {"Expires", Date{kNow + 100}}, {"Secure", "TRUE"}, {"HttpOnly", true}});
  ASSERT_TRUE(domain.has_value());
  EXPECT_FALSE(domain->host_only);
  EXPECT_EQ(domain->domain, "example.org");
  ASSERT_TRUE(domain->expires.has_value());
  EXPECT_DOUBLE_EQ(domain->expires->since_1970, kNow + 100);
  EXPECT_TRUE(domain->secure);
  EXPECT_TRUE(domain->http_only);

  auto back = Cookie::from_properties(domain->properties());
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->properties(), domain->properties());

  auto origin = Cookie::from_properties(Dict{{"Name", "o"}, {"Value", "v"}, {"OriginURL", "https://push.example.net/x"},
                                             {"Max-Age", "30"}, {"Expires", Date{kNow + 999}}});
  ASSERT_TRUE(origin.has_value());
  EXPECT_EQ(origin->domain, "push.example.net");
  EXPECT_TRUE(origin->host_only);
  EXPECT_DOUBLE_EQ(origin->expires->since_1970, kNow + 30);

  for (const Dict& bad : {Dict{{"Value", "v"}, {"Domain", "a.org"}}, Dict{{"Name", "n"}, {"Domain", "a.org"}},
                          Dict{{"Name", "n"}, {"Value", "v"}}, Dict{{"Name", ""}, {"Value", "v"}, {"Domain", "a.org"}},
                          Dict{{"Name", "n"}, {"Value", "x;y"}, {"Domain", "a.org"}},
                          Dict{{"Name", 5}, {"Value", "v"}, {"Domain", "a.org"}}}) {
    EXPECT_FALSE(Cookie::from_properties(bad).has_value()) << foundation::describe(Value(bad));
  }
}

// ---- storage: matching ------------------------------------------------------------

TEST_F(CookieTest, StorageMatchesDomainPathAndSecureByTheRfc) {
  auto storage = CookieStorage::make_in_memory();
  storage->set_cookies(parse_all({"h=1", "d=2; Domain=example.org; Path=/", "s=3; Path=/; Secure",
                                  "p=4; Domain=example.org; Path=/foo", "q=5; Domain=example.org; Path=/foo/"},
                                 url("https://www.example.org/foo/page")),
                       url("https://www.example.org/foo/page"), std::nullopt);
  ASSERT_EQ(storage->cookies().size(), 5u);

  struct Case {
    std::string request;
    std::optional<std::string> header;
  };
  const std::vector<Case> cases = {
      {"https://www.example.org/foo/page", "q=5; h=1; p=4; d=2; s=3"},
      {"http://www.example.org/foo/page", "q=5; h=1; p=4; d=2"},       // secure only over https
      {"https://WWW.Example.org/foo", "h=1; p=4; d=2; s=3"},           // "/foo/" does not match "/foo"
      {"https://www.example.org/foobar", "d=2; s=3"},                  // "/foo" does not match "/foobar"
      {"https://example.org/foo/", "q=5; p=4; d=2"},                   // host-only cookies stay on www
      {"https://a.b.example.org/foo/x?q=1", "q=5; p=4; d=2"},
      {"https://sub.www.example.org/foo", "p=4; d=2"},
      {"https://notexample.org/foo/x", std::nullopt},
      {"https://www.example.org.evil.com/foo", std::nullopt},
      {"https://org/", std::nullopt},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.request);
    EXPECT_EQ(storage->cookie_header_for(url(tc.request)), tc.header);
  }
}

TEST_F(CookieTest, MatchingHelpers) {
  EXPECT_TRUE(path_matches("/foo", "/foo"));
  EXPECT_TRUE(path_matches("/foo/bar", "/foo"));
  EXPECT_TRUE(path_matches("/foo/bar", "/foo/"));
  EXPECT_FALSE(path_matches("/foobar", "/foo"));
  EXPECT_FALSE(path_matches("/fo", "/foo"));
  EXPECT_TRUE(path_matches("/anything", "/"));
  EXPECT_TRUE(domain_matches("a.example.org", "example.org"));
  EXPECT_FALSE(domain_matches("aexample.org", "example.org"));
  EXPECT_FALSE(domain_matches("example.org", "a.example.org"));
  EXPECT_FALSE(domain_matches("1.2.3.4", "2.3.4"));
  EXPECT_TRUE(domain_matches("1.2.3.4", "1.2.3.4"));
}

TEST_F(CookieTest, RetrievalOrderIsLongerPathThenEarlierCreation) {
  auto storage = CookieStorage::make_in_memory();
  const Url from = url("https://intranet.example.org/a/b/c");
  auto set = [&](std::string_view line) { storage->set_cookies(parse_all({line}, from), from, std::nullopt); };
  set("late=1; Path=/");
  clock_->advance(std::chrono::seconds(1));
  set("later=2; Path=/");
  clock_->advance(std::chrono::seconds(1));
  set("deep=3; Path=/a/b");
  set("mid=4; Path=/a");
  clock_->advance(std::chrono::seconds(1));
  set("late=5; Path=/");  // replaces: keeps its place before "later"
  EXPECT_EQ(storage->cookie_header_for(from), "deep=3; mid=4; late=5; later=2");
}

TEST_F(CookieTest, ReplacementByNameDomainPathKeepsCreationTime) {
  auto storage = CookieStorage::make_in_memory();
  const Url from = url("https://intranet.example.org/");
  storage->set_cookies(parse_all({"a=1"}, from), from, std::nullopt);
  clock_->advance(std::chrono::seconds(30));
  storage->set_cookies(parse_all({"a=2; Max-Age=600", "a=3; Path=/x", "a=4; Domain=example.org"}, from), from, std::nullopt);

  auto all = storage->cookies();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].value, "2");
  EXPECT_DOUBLE_EQ(all[0].creation.since_1970, kNow);
  EXPECT_FALSE(all[0].session_only());
  EXPECT_DOUBLE_EQ(all[1].creation.since_1970, kNow + 30);
  EXPECT_EQ(all[1].path, "/x");
  EXPECT_EQ(all[2].domain, "example.org");
}

TEST_F(CookieTest, ExpiredCookiesAreNeitherReturnedNorKept) {
  auto storage = CookieStorage::make_in_memory();
  const Url from = url("https://intranet.example.org/");
  storage->set_cookies(parse_all({"short=1; Max-Age=60", "long=2; Expires=Sun, 13 Sep 2020 12:28:40 GMT", "session=3",
                                  "gone=4; Expires=Thu, 01 Jan 2015 00:00:00 GMT"},
                                 from),
                       from, std::nullopt);
  EXPECT_EQ(storage->cookie_header_for(from), "short=1; long=2; session=3");

  clock_->advance(std::chrono::seconds(60));
  EXPECT_EQ(storage->cookie_header_for(from), "long=2; session=3");
  clock_->advance(std::chrono::seconds(60));
  EXPECT_EQ(storage->cookie_header_for(from), "session=3");
  EXPECT_EQ(names(storage->cookies()), std::vector<std::string>{"session"});

  // An expired cookie offered again deletes the stored one.
  storage->set_cookies(parse_all({"session=x; Max-Age=0"}, from), from, std::nullopt);
  EXPECT_TRUE(storage->cookies().empty());
  EXPECT_EQ(storage->cookie_header_for(from), std::nullopt);
}

// ---- storage: what is accepted --------------------------------------------------

TEST_F(CookieTest, SetCookiesDropsCookiesOfForeignDomains) {
  // Every cookie of the web view's store is offered for the registration address.
  auto storage = CookieStorage::make_in_memory();
  std::vector<Cookie> offered;
  for (const Dict& p : {Dict{{"Name", "PHPSESSID"}, {"Value", "s1"}, {"Domain", "intranet.example.org"}},
                        Dict{{"Name", "shared"}, {"Value", "s2"}, {"Domain", ".example.org"}},
                        Dict{{"Name", "tracker"}, {"Value", "t"}, {"Domain", ".ads.example.com"}},
                        Dict{{"Name", "push"}, {"Value", "p"}, {"Domain", "push.example.net"}},
                        Dict{{"Name", "child"}, {"Value", "c"}, {"Domain", "www.intranet.example.org"}},
                        Dict{{"Name", "cousin"}, {"Value", "c"}, {"Domain", ".www.intranet.example.org"}}}) {
    auto c = Cookie::from_properties(p);
    ASSERT_TRUE(c.has_value());
    offered.push_back(*c);
  }
  const Url registration = url("https://intranet.example.org/api/reraviror/register");
  storage->set_cookies(offered, registration, std::nullopt);

  EXPECT_EQ(names(storage->cookies()), (std::vector<std::string>{"PHPSESSID", "shared"}));
  EXPECT_EQ(storage->cookie_header_for(registration), "PHPSESSID=s1; shared=s2");
  EXPECT_EQ(storage->cookie_header_for(url("https://push.example.net/")), std::nullopt);
}

TEST_F(CookieTest, AcceptPolicyDecidesWithTheMainDocument) {
  struct Case {
    CookieAcceptPolicy policy;
    std::string line, from;
    std::optional<std::string> main_document;
    bool stored;
  };
  using P = CookieAcceptPolicy;
  const std::string dom = "a=1; Domain=example.org", from = "https://static.example.org/x";
  const std::vector<Case> cases = {
      {P::always, dom, from, std::nullopt, true},
      {P::always, dom, from, "https://www.other.com/", true},
      {P::never, dom, from, std::nullopt, false},
      {P::never, dom, from, "https://intranet.example.org/", false},
      {P::only_from_main_document_domain, dom, from, std::nullopt, true},  // no main document: no check
      {P::only_from_main_document_domain, dom, from, "https://intranet.example.org/", true},
      {P::only_from_main_document_domain, dom, from, "https://example.org/", true},
      {P::only_from_main_document_domain, dom, from, "https://www.other.com/", false},
      {P::only_from_main_document_domain, "a=1", "https://api.example.org/", "https://example.org/", true},
      {P::only_from_main_document_domain, "a=1", "https://api.example.org/", "https://www.example.org/", false},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.line + " from " + tc.from + " main " + tc.main_document.value_or("-"));
    auto storage = CookieStorage::make_in_memory();
    storage->set_accept_policy(tc.policy);
    std::optional<Url> main;
    if (tc.main_document) main = url(*tc.main_document);
    storage->set_cookies(parse_all({tc.line}, url(tc.from)), url(tc.from), main);
    EXPECT_EQ(storage->cookies().size(), tc.stored ? 1u : 0u);
  }
}

TEST_F(CookieTest, CookiesByValueAreNormalisedAndDeletable) {
  auto storage = CookieStorage::make_in_memory();
  Cookie c;
  c.name = "n";
  c.value = "v";
  c.domain = ".Example.ORG";
  c.path = "";
  storage->set_cookie(c);
  auto all = storage->cookies();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].domain, "example.org");
  EXPECT_FALSE(all[0].host_only);
  EXPECT_EQ(all[0].path, "/");
  EXPECT_EQ(storage->cookie_header_for(url("http://a.example.org/")), "n=v");

  Cookie bad = c;
  bad.name = "";
  storage->set_cookie(bad);
  bad = c;
  bad.value = "x\r\nInjected: 1";
  storage->set_cookie(bad);
  bad = c;
  bad.domain = "";
  storage->set_cookie(bad);
  EXPECT_EQ(storage->cookies().size(), 1u);

  storage->delete_cookie(c);
  EXPECT_TRUE(storage->cookies().empty());
}

TEST_F(CookieTest, ConcurrentWritersAndReadersSeeWholeCookies) {
  auto storage = CookieStorage::make_in_memory();
  const Url from = url("https://intranet.example.org/");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        std::string line = "c" + std::to_string(t) + "=" + std::to_string(i);
        storage->set_cookies(parse_all({line}, from), from, std::nullopt);
        auto header = storage->cookie_header_for(from);
        EXPECT_TRUE(header.has_value());
      }
    });
  }
  for (auto& th : threads) th.join();
  auto all = storage->cookies();
  ASSERT_EQ(all.size(), 4u);
  for (const auto& c : all) EXPECT_EQ(c.value, "199") << c.name;
}

// ---- persistence --------------------------------------------------------------------

TEST_F(CookieTest, SharedStoragePersistsOnlyLastingCookies) {
  boot();
  const Url from = url("https://intranet.example.org/");
  auto storage = CookieStorage::shared();
  EXPECT_EQ(storage, CookieStorage::shared());
  storage->set_cookies(parse_all({"session=1", "lasting=2; Max-Age=3600; Domain=example.org; Secure; HttpOnly",
                                  "brief=3; Max-Age=60"},
                                 from),
                       from, std::nullopt);

  auto file = foundation::plist::read_file(cookie_file());
  ASSERT_TRUE(file.has_value());
  ASSERT_TRUE(file->array());
  std::vector<std::string> written;
  for (const auto& item : *file->array()) written.push_back(*item["Name"].string());
  EXPECT_EQ(written, (std::vector<std::string>{"lasting", "brief"}));

  // A new process: the file is read again, the expired cookie dropped.
  platform::net::reset_cookie_storage_for_testing();
  clock_->advance(std::chrono::seconds(120));
  auto reloaded = CookieStorage::shared();
  EXPECT_NE(reloaded, storage);
  auto all = reloaded->cookies();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].name, "lasting");
  EXPECT_EQ(all[0].domain, "example.org");
  EXPECT_FALSE(all[0].host_only);
  EXPECT_TRUE(all[0].secure);
  EXPECT_TRUE(all[0].http_only);
  EXPECT_DOUBLE_EQ(all[0].expires->since_1970, kNow + 3600);
  EXPECT_DOUBLE_EQ(all[0].creation.since_1970, kNow);

  // Deleting a lasting cookie rewrites the file.
  reloaded->delete_cookie(all[0]);
  file = foundation::plist::read_file(cookie_file());
  ASSERT_TRUE(file.has_value());
  EXPECT_TRUE(file->array() && file->array()->empty());
}

TEST_F(CookieTest, SessionCookiesNeverReachTheFile) {
  boot();
  const Url from = url("https://intranet.example.org/");
  CookieStorage::shared()->set_cookies(parse_all({"only=1", "PHPSESSID=abc; Path=/; HttpOnly"}, from), from, std::nullopt);
  EXPECT_FALSE(std::filesystem::exists(cookie_file()));
  platform::net::reset_cookie_storage_for_testing();
  EXPECT_TRUE(CookieStorage::shared()->cookies().empty());
}

TEST_F(CookieTest, UnreadableCookieFileReadsAsEmpty) {
  boot();
  struct Case {
    std::string what;
    std::string bytes;
  };
  const std::vector<Case> cases = {
      {"garbage", std::string("\x00\x01not a plist\xff", 14)},
      {"truncated binary", "bplist00\xd1\x01\x02"},
      {"a dict, not a list", "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>Name</key><string>a</string></dict></plist>"},
      {"empty", ""},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.what);
    platform::net::reset_cookie_storage_for_testing();
    std::filesystem::create_directories(cookie_file().parent_path());
    std::ofstream(cookie_file(), std::ios::binary | std::ios::trunc) << tc.bytes;
    auto storage = CookieStorage::shared();
    EXPECT_TRUE(storage->cookies().empty());
    // The storage still works and writes a readable file again.
    const Url from = url("https://intranet.example.org/");
    storage->set_cookies(parse_all({"a=1; Max-Age=60"}, from), from, std::nullopt);
    EXPECT_TRUE(foundation::plist::read_file(cookie_file()).has_value());
  }
}

TEST_F(CookieTest, MalformedEntriesInTheFileAreSkipped) {
  boot();
  foundation::Array list;
  list.emplace_back("not a dict");
  list.emplace_back(Dict{{"Name", "noexpiry"}, {"Value", "v"}, {"Domain", "intranet.example.org"}});
  list.emplace_back(Dict{{"Value", "v"}, {"Domain", "intranet.example.org"}, {"Expires", kNow - Date::reference_offset + 60}});
  list.emplace_back(Dict{{"Name", "good"}, {"Value", "v"}, {"Domain", "intranet.example.org"},
                         {"Expires", kNow - Date::reference_offset + 60}});
  list.emplace_back(Dict{{"Name", "old"}, {"Value", "v"}, {"Domain", "intranet.example.org"},
                         {"Expires", kNow - Date::reference_offset - 60}});
  std::filesystem::create_directories(cookie_file().parent_path());
  ASSERT_TRUE(foundation::plist::write_file_atomically(Value(list), cookie_file()).has_value());
  EXPECT_EQ(names(CookieStorage::shared()->cookies()), std::vector<std::string>{"good"});
}

}  // namespace
}  // namespace platform::net::test
