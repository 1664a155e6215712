#pragma once
// Helpers the fuzz targets share: property checks, a silenced console and a
// scratch folder for decoders that read files. Called from the fuzzing thread only.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <unistd.h>

#include "platform/foundation/console.h"

namespace fuzz {

// A broken property stops the run with the input that broke it, naming the line.
inline void check(bool condition, const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
  if (condition) return;
  std::fprintf(stderr, "property broken at %s:%d\n", file, line);
  __builtin_trap();
}

// Control characters (tab aside) that must never reach a header line.
inline bool has_control(std::string_view s) {
  for (char c : s) {
    auto b = static_cast<unsigned char>(c);
    if ((b < 0x20 && b != '\t') || b == 0x7f) return true;
  }
  return false;
}

// Drops the console and log lines the decoders write on bad input.
inline void quiet_console() {
  static const bool done = [] {
    platform::foundation::console::set_out_sink([](std::string_view) {});
    platform::foundation::console::set_log_sink([](std::string_view) {});
    return true;
  }();
  (void)done;
}

// A scratch folder for targets that read their input from a file: made once
// per process (in /dev/shm when there is one, else the temporary folder),
// removed at exit.
inline const std::filesystem::path& scratch_folder(std::string_view name) {
  namespace fs = std::filesystem;
  // Never destroyed, so the exit handler can still read it.
  static const fs::path* const folder = [name] {
    std::error_code ec;
    fs::path base = fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path();
    std::string pattern = (base / (std::string(name) + ".XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) std::abort();
    std::atexit([] {
      std::error_code ignored;
      fs::remove_all(*folder, ignored);
    });
    return new fs::path(pattern);
  }();
  return *folder;
}

// Replaces `file` with exactly `bytes`.
inline void write_file(const std::filesystem::path& file, std::string_view bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) std::abort();
}

}  // namespace fuzz
