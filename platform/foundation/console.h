#pragma once

#include <functional>
#include <string>
#include <string_view>

// Process console: standard output, standard error, and the logging line
// (standard error plus the system log). Each goes through an installable sink,
// by default file descriptor 1 or 2, so the driver and tests can capture lines.
namespace platform::foundation::console {

using Sink = std::function<void(std::string_view)>;

void out(std::string_view bytes);         // exactly these bytes to standard output
void out_line(std::string_view line);     // line + "\n"
void err(std::string_view bytes);         // exactly these bytes to standard error
void err_line(std::string_view line);
// One logged line: to the log sink (default: standard error with a newline),
// and to the system log when one is attached.
void log_line(std::string_view line);

// nullptr restores the default sink.
void set_out_sink(Sink sink);
void set_err_sink(Sink sink);
void set_log_sink(Sink sink);
// The system log (installed by the OS layer at boot) also receives log_line().
void set_system_log(Sink sink);

void reset_for_testing();

}  // namespace platform::foundation::console
