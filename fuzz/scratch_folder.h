#pragma once
// A scratch folder for targets that read their input from a file: made once
// per process (in /dev/shm when there is one, else the temporary folder),
// removed at exit. Called from the fuzzing thread only.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <unistd.h>

namespace fuzz {

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
