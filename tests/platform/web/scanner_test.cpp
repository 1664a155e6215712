// The HTML scanner: what it finds in well-formed pages and what it makes of junk.
#include <gtest/gtest.h>

#include <string>

#include "platform/web/html_scanner.h"

namespace platform::web {
namespace {

struct Case {
  const char* name;
  std::string html;
  ScannedPage expected;
};

TEST(HtmlScanner, Table) {
  const Case cases[] = {
      {"empty", "", {}},
      {"title collapsed and decoded", "<html><head><TITLE>\n  Tom &amp; Jerry&#33; &#x263A;  </TITLE></head></html>",
       {"Tom & Jerry! \u263A", {}, {}, {}}},
      {"first title wins", "<title>One</title><title>Two</title>", {"One", {}, {}, {}}},
      {"links with targets, quotes of every kind",
       "<a href=\"/a\">A</a><A HREF='/b' TARGET=_blank>B</A><a href=/c target=\"_self\">C</a><a name=x>no href</a>",
       {"", {{"/a", ""}, {"/b", "_blank"}, {"/c", "_self"}}, {}, {}}},
      {"entities in attributes", "<a href=\"/s?a=1&amp;b=2\">x</a>", {"", {{"/s?a=1&b=2", ""}}, {}, {}}},
      {"iframes; empty src skipped", "<iframe src=\"/f/1\"></iframe><iframe src=''></iframe><iframe id=x></iframe><iframe src=/f/2>",
       {"", {}, {"/f/1", "/f/2"}, {}}},
      {"forms: method defaults to GET", "<form action=\"/go\"></form><form method=post action=/save><form method=\"DELETE\">",
       {"", {}, {}, {{"/go", "GET"}, {"/save", "POST"}, {"", "GET"}}}},
      {"comments hide tags", "<!-- <a href=\"/hidden\"> --><a href=\"/shown\">", {"", {{"/shown", ""}}, {}, {}}},
      {"scripts and styles are raw text",
       "<script>var s = '<a href=\"/in-script\">';</script><style>a{}</style><a href=/after>",
       {"", {{"/after", ""}}, {}, {}}},
      {"unclosed title takes the rest", "<title>Half", {"Half", {}, {}, {}}},
      {"unterminated quote ends at the input's end", "<a href=\"/open>text", {"", {{"/open>text", ""}}, {}, {}}},
      {"doctype and stray brackets", "<!DOCTYPE html>< a href=/no> 1 < 2 <a href=/yes>", {"", {{"/yes", ""}}, {}, {}}},
      {"unknown entity kept", "<title>a &bogus; b &#xZZ; c</title>", {"a &bogus; b &#xZZ; c", {}, {}, {}}},
      {"out-of-range reference replaced", "<title>&#1114112;&#0;</title>", {"\xEF\xBF\xBD\xEF\xBF\xBD", {}, {}, {}}},
      {"self-closing and attribute junk", "<a = \"x\" href=/j / target=t/>", {"", {{"/j", "t/"}}, {}, {}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(scan_html(c.html), c.expected);
  }
}

TEST(HtmlScanner, JunkNeverBreaksIt) {
  std::string junk;
  for (int i = 0; i < 4096; ++i) junk += static_cast<char>((i * 7919) % 256);
  const std::string pieces[] = {junk, "<", "<a", "<a href", "<a href=", "<a href='", "<!--", "<title", "<script>",
                                "&", "&#", "&#x", "&#99999999999999999999;", std::string(1, '\0') + "<a href=/z>"};
  for (const auto& p : pieces) (void)scan_html(p);
  EXPECT_EQ(scan_html(std::string("\0<a href=/z>", 12)).links.size(), 1u);
}

}  // namespace
}  // namespace platform::web
