#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string_view>

#include "platform/foundation/value.h"

// Whole-buffer reads and writes on a file descriptor, retried on EINTR.
namespace platform::foundation::fd_io {

// Writes every byte; 0 on success, else the errno (ENOSPC when write makes no progress).
int write_all(int fd, std::span<const std::uint8_t> bytes);
inline int write_all(int fd, std::string_view text) {
  return write_all(fd, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

// Appends everything up to end of file to `out`; 0 on success, else the errno.
int read_all(int fd, Bytes& out);

// Appends the whole regular file at `path` to `out`; 0 on success, else the errno.
// A folder is EISDIR; a FIFO, socket or device is EINVAL, without waiting for a writer.
int read_file(const std::filesystem::path& path, Bytes& out);

}  // namespace platform::foundation::fd_io
