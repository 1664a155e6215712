// Query strings and form bodies written by the URL encoding.
#include <gtest/gtest.h>

#include "http/af_error.h"
#include "http/url_encoding.h"

namespace {

using namespace Duvarel;
namespace foundation = platform::foundation;
using foundation::Array;
using foundation::Dict;
using foundation::Value;

URLRequest requestFor(const char* url, const char* method) {
  URLRequest r;
  if (url) r.url = *foundation::Url::parse(url);
  r.method = method;
  return r;
}

std::string queryOf(const Expected<URLRequest>& r) {
  if (!r) return "<error: " + r.error().description() + ">";
  if (!r->url) return "<no url>";
  auto q = r->url->query();
  return q ? *q : "<no query>";
}

TEST(URLEncodingQuery, PairsAreByteExact) {
  const URLEncoding noBrackets(URLEncoding::Destination::methodDependent, URLEncoding::ArrayEncoding::noBrackets);
  const URLEncoding literal(URLEncoding::Destination::methodDependent, URLEncoding::ArrayEncoding::brackets,
                            URLEncoding::BoolEncoding::literal);
  struct Case {
    const char* name;
    const URLEncoding& encoding;
    Parameters parameters;
    std::string expected;
  } cases[] = {
      {"brackets", URLEncoding::standard, {{"b", 1}, {"a", Array{1, 2}}}, "a%5B%5D=1&a%5B%5D=2&b=1"},
      {"no brackets", noBrackets, {{"b", 1}, {"a", Array{1, 2}}}, "a=1&a=2&b=1"},
      {"numeric bool", URLEncoding::standard, {{"flag", true}}, "flag=1"},
      {"numeric false", URLEncoding::standard, {{"flag", false}}, "flag=0"},
      {"literal bool", literal, {{"flag", true}}, "flag=true"},
      {"a number is no boolean (numeric)", URLEncoding::standard, {{"n", 1}}, "n=1"},
      {"a number is no boolean (literal)", literal, {{"n", 1}}, "n=1"},
      {"reserved characters", URLEncoding::standard, {{"q", "a b&c=d/e?f"}}, "q=a%20b%26c%3Dd/e?f"},
      {"nested dictionary", URLEncoding::standard, {{"user", Dict{{"name", "x"}}}}, "user%5Bname%5D=x"},
      {"top-level keys in code-point order", URLEncoding::standard, {{"b", 1}, {"B", 2}, {"a", 3}}, "B=2&a=3&b=1"},
      {"device token form", URLEncoding::standard, {{"device_type", "ios"}, {"device_token", "t"}},
       "device_token=t&device_type=ios"},
      {"empty array and dictionary give no pair", URLEncoding::standard, {{"e", Array{}}, {"d", Dict{}}, {"k", "v"}}, "k=v"},
      {"non-ASCII escaped as UTF-8", URLEncoding::standard, {{"é", "ü ~"}}, "%C3%A9=%C3%BC%20~"},
      {"negative and fractional numbers", URLEncoding::standard, {{"i", -3}, {"r", 1.5}}, "i=-3&r=1.5"},
      {"no parameters", URLEncoding::standard, {}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.encoding.query(c.parameters), c.expected);
  }
}

TEST(URLEncodingQuery, ComposedFormDecidesTheOrder) {
  // "e" + combining acute composes to U+00E9, which sorts after "f"; the key is sent as given.
  EXPECT_EQ(URLEncoding::standard.query({{"e\xCC\x81", 1}, {"f", 2}, {"\xC3\xA9x", 3}}), "f=2&e%CC%81=1&%C3%A9x=3");
}

TEST(URLEncodingEscape, AllowedSetAndInvalidUtf8) {
  EXPECT_EQ(URLEncoding::escape("AZaz09-._~/?"), "AZaz09-._~/?");
  EXPECT_EQ(URLEncoding::escape(":#[]@!$&'()*+,;= %\""), "%3A%23%5B%5D%40%21%24%26%27%28%29%2A%2B%2C%3B%3D%20%25%22");
  // Invalid UTF-8 is escaped byte by byte: "&" and "=" never pass through raw.
  EXPECT_EQ(URLEncoding::escape(std::string("a\xff&b=\xc3", 6)), "a%FF%26b%3D%C3");
  EXPECT_EQ(URLEncoding::standard.query({{std::string("k\xfe"), std::string("x&y=z\xff")}}), "k%FE=x%26y%3Dz%FF");
}

TEST(URLEncodingPlacement, QueryOrBodyByMethodAndDestination) {
  const Parameters p{{"a", 1}};
  struct Case {
    const char* name;
    const URLEncoding& encoding;
    const char* method;
    bool inQuery;
  } cases[] = {
      {"GET", URLEncoding::standard, "GET", true},
      {"HEAD", URLEncoding::standard, "HEAD", true},
      {"DELETE", URLEncoding::standard, "DELETE", true},
      {"OPTIONS", URLEncoding::standard, "OPTIONS", false},
      {"POST", URLEncoding::standard, "POST", false},
      {"PUT", URLEncoding::standard, "PUT", false},
      {"no method counts as GET", URLEncoding::standard, "", true},
      {"lower-case get goes to the body", URLEncoding::standard, "get", false},
      {"lower-case get even in the query string", URLEncoding::inQueryString, "get", false},
      {"unknown method", URLEncoding::inQueryString, "FETCH", false},
      {"POST in the query string", URLEncoding::inQueryString, "POST", true},
      {"GET in the body", URLEncoding::inHTTPBody, "GET", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = c.encoding.encode(requestFor("https://h.example/p#frag", c.method), p);
    ASSERT_TRUE(r) << r.error().description();
    if (c.inQuery) {
      EXPECT_EQ(r->url->absolute_string(), "https://h.example/p?a=1#frag");
      EXPECT_FALSE(r->body);
      EXPECT_FALSE(r->headers.contains("Content-Type"));
    } else {
      EXPECT_EQ(r->url->absolute_string(), "https://h.example/p#frag");
      ASSERT_TRUE(r->body);
      EXPECT_EQ(foundation::to_string(*r->body), "a=1");
      EXPECT_EQ(r->headers.get("Content-Type"), "application/x-www-form-urlencoded; charset=utf-8");
    }
  }
}

TEST(URLEncodingPlacement, ExistingQueriesMissingURLAndEmptyParameters) {
  EXPECT_EQ(queryOf(URLEncoding::standard.encode(requestFor("https://h.example/?x=1", "GET"), Parameters{{"a", 1}})),
            "x=1&a=1");
  EXPECT_EQ(queryOf(URLEncoding::standard.encode(requestFor("https://h.example/?", "GET"), Parameters{{"a", 1}})), "&a=1");
  // An empty array leaves an empty query: a bare "?".
  auto bare = URLEncoding::standard.encode(requestFor("https://h.example/p", "GET"), Parameters{{"e", Array{}}});
  ASSERT_TRUE(bare);
  EXPECT_EQ(bare->url->absolute_string(), "https://h.example/p?");
  // Empty dictionary: GET unchanged, POST gets the type and an empty body.
  auto get = URLEncoding::standard.encode(requestFor("https://h.example/p", "GET"), Parameters{});
  ASSERT_TRUE(get);
  EXPECT_EQ(get->url->absolute_string(), "https://h.example/p");
  auto post = URLEncoding::standard.encode(requestFor("https://h.example/p", "POST"), Parameters{});
  ASSERT_TRUE(post);
  ASSERT_TRUE(post->body);
  EXPECT_TRUE(post->body->empty());
  EXPECT_TRUE(post->headers.contains("Content-Type"));
  // Absent parameters: unchanged, even without a URL.
  auto absent = URLEncoding::standard.encode(requestFor(nullptr, "GET"), std::nullopt);
  ASSERT_TRUE(absent);
  EXPECT_FALSE(absent->url);

  auto missing = URLEncoding::standard.encode(requestFor(nullptr, "GET"), Parameters{{"a", 1}});
  ASSERT_FALSE(missing);
  const AFError* error = missing.error().as<AFError>();
  ASSERT_TRUE(error);
  ASSERT_TRUE(error->parameterEncodingReason());
  EXPECT_EQ(error->parameterEncodingReason()->kind, AFError::ParameterEncodingFailureReason::Kind::missingURL);

  auto postNoURL = URLEncoding::standard.encode(requestFor(nullptr, "POST"), Parameters{{"a", 1}});
  ASSERT_TRUE(postNoURL);
  EXPECT_FALSE(postNoURL->url);
  EXPECT_EQ(foundation::to_string(*postNoURL->body), "a=1");
}

TEST(URLEncodingPlacement, ExistingContentTypeWinsWhateverItsCase) {
  auto r = requestFor("https://h.example/intranet/rest/device/", "POST");
  r.headers.set("content-type", "application/json");
  r.body = foundation::to_bytes("old");
  auto encoded = URLEncoding::standard.encode(r, Parameters{{"device_type", "ios"}, {"device_token", "tok"}});
  ASSERT_TRUE(encoded);
  EXPECT_EQ(encoded->headers.size(), 1u);
  EXPECT_EQ(encoded->headers.get("Content-Type"), "application/json");
  EXPECT_EQ(foundation::to_string(*encoded->body), "device_token=tok&device_type=ios");
}

TEST(URLEncodingPlacement, ConversionErrorPassesThrough) {
  struct Failing {
    Expected<URLRequest> asURLRequest() const { return AFError::invalidURL("bad url"); }
  };
  auto r = URLEncoding::standard.encode(URLRequestConvertible(Failing{}), Parameters{{"a", 1}});
  ASSERT_FALSE(r);
  EXPECT_TRUE(r.error().as<AFError>()->isInvalidURLError());
}

}  // namespace
