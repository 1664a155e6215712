// The debug form of console lines.
#include <gtest/gtest.h>

#include "app/console_lines.h"

namespace app {
namespace {

TEST(ConsoleLines, DebugFormQuotesAndEscapes) {
  struct Case {
    std::string text, form;
  };
  const std::vector<Case> cases{
      {"Notification tapped", R"("Notification tapped")"},
      {"", R"("")"},
      {R"(say "hi")", R"("say \"hi\"")"},
      {R"(C:\path)", R"("C:\\path")"},
      {"a\nb\rc\td", R"("a\nb\rc\td")"},
      {std::string("nul\0end", 7), R"("nul\0end")"},
      {"\x1b[0m and \x7f", R"("\u{1B}[0m and \u{7F}")"},
      {"it's", R"("it's")"},  // a single quote is not escaped
      {"Grüße ✓", "\"Grüße ✓\""},
      {"https://intranet.example.org/a?b=c&d", R"("https://intranet.example.org/a?b=c&d")"},
  };
  for (const auto& c : cases) EXPECT_EQ(debug_form(c.text), c.form) << c.form;
}

}  // namespace
}  // namespace app
