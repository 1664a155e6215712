// Headers, responses built from header fields, and file-name sanitising.
#include <gtest/gtest.h>

#include "platform/net/http.h"

namespace platform::net {
namespace {

using foundation::Url;

TEST(HeadersTest, CaseInsensitiveNamesKeepOrderAndFirstSpelling) {
  Headers h;
  h.set("Content-Type", "text/plain");
  h.set("x-one", "1");
  h.set("CONTENT-TYPE", "application/json");
  h.add("X-One", "2");
  h.add("Accept", "a");
  EXPECT_EQ(h.get("content-type"), "application/json");
  EXPECT_EQ(h.get("X-ONE"), "1, 2");
  std::vector<std::string> names;
  for (const auto& f : h) names.push_back(f.name);
  EXPECT_EQ(names, (std::vector<std::string>{"Content-Type", "x-one", "Accept"}));
  h.remove("ACCEPT");
  EXPECT_FALSE(h.contains("accept"));
  EXPECT_EQ(h, (Headers{{"content-type", "application/json"}, {"X-One", "1, 2"}}));
}

TEST(ResponseTest, FieldsTable) {
  struct Case {
    std::string url;
    Headers fields;
    std::int64_t length;
    std::optional<std::string> mime, encoding, filename;
  };
  const std::vector<Case> cases{
      {"https://h/a/report.pdf", {{"Content-Length", "12"}, {"Content-Type", "Application/PDF"}}, 12, "application/pdf", {}, "report.pdf"},
      {"https://h/x", {{"Content-Type", "text/html; charset=\"ISO-8859-1\""}}, -1, "text/html", "iso-8859-1", "x"},
      {"https://h/x", {{"Content-Length", "12"}, {"Content-Encoding", "gzip"}}, -1, {}, {}, "x"},
      {"https://h/x", {{"Content-Length", "twelve"}}, -1, {}, {}, "x"},
      {"https://h/x", {{"Content-Disposition", "attachment; filename=\"a;b.txt\""}}, -1, {}, {}, "a;b.txt"},
      {"https://h/x", {{"Content-Disposition", "attachment; filename*=UTF-8''na%C3%AFve.txt"}}, -1, {}, {}, "naïve.txt"},
      {"https://h/x", {{"Content-Disposition", "attachment; filename=\"../../etc/passwd\""}}, -1, {}, {}, "passwd"},
      {"https://h/x", {{"Content-Disposition", "attachment; filename=\"..\""}}, -1, {}, {}, "Unknown"},
      {"https://h/x", {{"Content-Disposition", "attachment; filename=\"dir\\\\evil.exe\""}}, -1, {}, {}, "evil.exe"},
      {"https://h/", {}, -1, {}, {}, "Unknown"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url + " " + (c.fields.empty() ? "" : c.fields.begin()->value));
    auto r = Response::http(*Url::parse(c.url), 200, c.fields);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.expected_content_length, c.length);
    EXPECT_EQ(r.mime_type, c.mime);
    EXPECT_EQ(r.text_encoding_name, c.encoding);
    EXPECT_EQ(r.suggested_filename, c.filename);
  }
}

TEST(ResponseTest, SanitizedFilenames) {
  EXPECT_EQ(sanitized_filename("a/b/c.txt"), "c.txt");
  EXPECT_EQ(sanitized_filename("."), "Unknown");
  EXPECT_EQ(sanitized_filename(""), "Unknown");
  EXPECT_EQ(sanitized_filename("dir/"), "Unknown");
  EXPECT_EQ(sanitized_filename("bad\nname\x01.txt"), "badname.txt");
}

}  // namespace
}  // namespace platform::net
