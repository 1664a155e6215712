#include "platform/sim/output.h"

#include <mutex>

#include "platform/foundation/console.h"
#include "platform/foundation/fd_io.h"
#include "platform/sim/internal.h"

namespace platform::sim {

namespace {

struct OutputState {
  std::mutex mutex;  // one line at a time through the sink
  LineSink sink;
  std::mutex console_mutex;
  std::vector<std::string> console;
  std::string pending_out, pending_err;  // partial lines
  bool capturing = false;
};

OutputState& output_state() {
  static OutputState s;
  return s;
}

void default_sink(Tag tag, std::string_view text) {
  std::string line(tag_name(tag));
  line.resize(6, ' ');
  line += "| ";
  line += text;
  line += '\n';
  (void)foundation::fd_io::write_all(1, line);
}

thread_local bool t_in_sink = false;

// Calls `each` for every line of `text` ("" gives one empty line).
template <class F>
void for_each_line(std::string_view text, F each) {
  std::size_t start = 0;
  while (true) {
    std::size_t nl = text.find('\n', start);
    if (nl == std::string_view::npos) {
      if (start < text.size() || start == 0) each(text.substr(start));
      return;
    }
    each(text.substr(start, nl - start));
    start = nl + 1;
  }
}

// The lines of `text` go out together, never interleaved with another emit.
void emit_one(Tag tag, std::string_view text) {
  // A sink that writes through the captured console comes back here: its
  // lines go straight out instead of deadlocking on the sink's lock.
  if (t_in_sink) return for_each_line(text, [&](std::string_view line) { default_sink(tag, line); });
  OutputState& s = output_state();
  std::lock_guard lock(s.mutex);
  t_in_sink = true;
  try {
    for_each_line(text, [&](std::string_view line) {
      if (s.sink) {
        s.sink(tag, line);
      } else {
        default_sink(tag, line);
      }
    });
  } catch (...) {
    t_in_sink = false;
    throw;
  }
  t_in_sink = false;
}

void console_line(Tag tag, std::string_view line) {
  {
    std::lock_guard lock(output_state().console_mutex);
    output_state().console.emplace_back(line);
  }
  emit_one(tag, line);
}

// Splits written bytes into lines; the rest waits for its line break.
void console_bytes(std::string OutputState::*pending, std::string_view bytes) {
  std::vector<std::string> lines;
  {
    std::lock_guard lock(output_state().console_mutex);
    std::string& buffer = output_state().*pending;
    buffer.append(bytes);
    std::size_t start = 0;
    for (std::size_t nl; (nl = buffer.find('\n', start)) != std::string::npos; start = nl + 1) {
      lines.push_back(buffer.substr(start, nl - start));
    }
    buffer.erase(0, start);
  }
  for (const std::string& line : lines) console_line(Tag::app, line);
}

}  // namespace

std::string_view tag_name(Tag tag) {
  switch (tag) {
    case Tag::os: return "os";
    case Tag::svc: return "svc";
    case Tag::app: return "app";
    case Tag::log: return "log";
    case Tag::step: return "step";
    case Tag::screen: return "screen";
    case Tag::done: return "done";
  }
  return "os";
}

void set_line_sink(LineSink sink) {
  std::lock_guard lock(output_state().mutex);
  output_state().sink = std::move(sink);
}

void emit(Tag tag, std::string_view text) { emit_one(tag, text); }

std::vector<std::string> console_lines() {
  std::lock_guard lock(output_state().console_mutex);
  return output_state().console;
}

std::size_t console_line_count() {
  std::lock_guard lock(output_state().console_mutex);
  return output_state().console.size();
}

namespace detail {

void install_console_capture() {
  {
    std::lock_guard lock(output_state().console_mutex);
    if (output_state().capturing) return;
    output_state().capturing = true;
  }
  foundation::console::set_out_sink([](std::string_view bytes) { console_bytes(&OutputState::pending_out, bytes); });
  foundation::console::set_err_sink([](std::string_view bytes) { console_bytes(&OutputState::pending_err, bytes); });
  foundation::console::set_log_sink([](std::string_view line) { console_line(Tag::log, line); });
}

void remove_console_capture() {
  {
    std::lock_guard lock(output_state().console_mutex);
    if (!output_state().capturing) return;
    output_state().capturing = false;
  }
  foundation::console::set_out_sink(nullptr);
  foundation::console::set_err_sink(nullptr);
  foundation::console::set_log_sink(nullptr);
}

void reset_output() {
  remove_console_capture();
  {
    std::lock_guard lock(output_state().console_mutex);
    output_state().console.clear();
    output_state().pending_out.clear();
    output_state().pending_err.clear();
  }
  set_line_sink(nullptr);
}

}  // namespace detail
}  // namespace platform::sim
