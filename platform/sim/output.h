#pragma once
// The simulator's line output: every line carries a tag saying where it comes
// from (the OS side, a fake service, the app's console, the system log, the
// scenario player, the screen dump, the final summary).
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::sim {

enum class Tag { os, svc, app, log, step, screen, done };
std::string_view tag_name(Tag tag);  // "os", "svc", ...

using LineSink = std::function<void(Tag, std::string_view text)>;
// nullptr restores the default sink: "<tag padded to 6>| <text>\n" on
// standard output (file descriptor 1, not the captured console).
void set_line_sink(LineSink sink);
// One line per call; text holding line breaks is emitted line by line with
// the same tag. Safe from any thread; lines are never interleaved.
void emit(Tag tag, std::string_view text);

// The app's console as the simulator saw it since boot: each line written to
// standard output or standard error (tag app) and each logged line (tag log).
// Captured by sinks sim::boot installs; lines are also emitted.
std::vector<std::string> console_lines();
std::size_t console_line_count();

// The records the device's system log (os::system_log_file()) received since
// boot, one line each; a record still being written is left out.
std::vector<std::string> system_log_lines();

}  // namespace platform::sim
