#pragma once
// The shell's console lines, one per call, through foundation::console::out.
// A debug line is the text in double quotes with `"`, `\` and control
// characters escaped (\n \r \t \0, others as \u{XX}); `'` and everything else,
// non-ASCII text included, is written as it is. A plain line is the text unchanged.
#include <string>
#include <string_view>

namespace app {

std::string debug_form(std::string_view text);
void debug_line(std::string_view text);
void plain_line(std::string_view text);

}  // namespace app
