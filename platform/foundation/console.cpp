#include "platform/foundation/console.h"

#include <memory>
#include <mutex>

#include "platform/foundation/fd_io.h"

namespace platform::foundation::console {
namespace {

// A console line that cannot be written has nowhere to report to.
void write_fd(int fd, std::string_view bytes) { (void)fd_io::write_all(fd, bytes); }

struct Sinks {
  std::mutex mutex;
  std::shared_ptr<Sink> out, err, log, system_log;
};

// Never destroyed: threads still running at exit may write a line.
Sinks& sinks() {
  static auto* s = new Sinks;
  return *s;
}

std::shared_ptr<Sink> load(std::shared_ptr<Sink> Sinks::*which) {
  std::lock_guard lock(sinks().mutex);
  return sinks().*which;
}

void store(std::shared_ptr<Sink> Sinks::*which, Sink sink) {
  std::lock_guard lock(sinks().mutex);
  sinks().*which = sink ? std::make_shared<Sink>(std::move(sink)) : nullptr;
}

}  // namespace

void out(std::string_view bytes) {
  if (auto s = load(&Sinks::out)) (*s)(bytes);
  else write_fd(1, bytes);
}

void out_line(std::string_view line) { out(std::string(line) + "\n"); }

void err(std::string_view bytes) {
  if (auto s = load(&Sinks::err)) (*s)(bytes);
  else write_fd(2, bytes);
}

void err_line(std::string_view line) { err(std::string(line) + "\n"); }

void log_line(std::string_view line) {
  if (auto s = load(&Sinks::log)) (*s)(line);
  else write_fd(2, std::string(line) + "\n");
  if (auto s = load(&Sinks::system_log)) (*s)(line);
}

void set_out_sink(Sink sink) { store(&Sinks::out, std::move(sink)); }
void set_err_sink(Sink sink) { store(&Sinks::err, std::move(sink)); }
void set_log_sink(Sink sink) { store(&Sinks::log, std::move(sink)); }
void set_system_log(Sink sink) { store(&Sinks::system_log, std::move(sink)); }

void reset_for_testing() {
  std::lock_guard lock(sinks().mutex);
  sinks().out = sinks().err = sinks().log = sinks().system_log = nullptr;
}

}  // namespace platform::foundation::console
