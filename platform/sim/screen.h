#pragma once
#include <string>

namespace platform::sim {

// The key window's view tree as stable text (no addresses): controllers with
// their titles, presented controllers, the visible web view's URL, title and
// load state, alerts with their buttons, and controls with their
// accessibility ids. One item per line, children indented by two spaces.
// "no key window" before launch.
std::string dump_screen();

}  // namespace platform::sim
