#pragma once
// Where the layer's texts go: accessor failures to the system log, cell,
// record, callback and codec failures to standard output.

#include <string>
#include <string_view>

namespace wire::output {

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// A puts line: the text and a line end.
void line(std::string_view text);
// A printf format, written as formatted (its own line end, if any).
void printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Text written exactly as given.
void raw(std::string_view text);
// One system-log line from a printf format.
void log(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace wire::output
