#pragma once
// A small, forgiving HTML scanner: finds the title, links with their target,
// iframes and forms. It never fails: unclosed tags, stray quotes, comments,
// binary junk and truncated input give whatever could be read.
#include <string>
#include <string_view>
#include <vector>

namespace platform::web {

struct ScannedLink {
  std::string href;    // as written (entities decoded)
  std::string target;  // "" when absent
  bool operator==(const ScannedLink&) const = default;
};

struct ScannedForm {
  std::string action;  // as written; "" when absent
  std::string method;  // upper case: "GET" (the default) or "POST"
  bool operator==(const ScannedForm&) const = default;
};

struct ScannedPage {
  std::string title;  // whitespace collapsed and trimmed
  std::vector<ScannedLink> links;
  std::vector<std::string> iframes;  // src of each iframe that has one
  std::vector<ScannedForm> forms;
  bool operator==(const ScannedPage&) const = default;
};

ScannedPage scan_html(std::string_view html);

}  // namespace platform::web
