#include "platform/foundation/fd_io.h"

#include <unistd.h>

#include <cerrno>

namespace platform::foundation::fd_io {

int write_all(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return ENOSPC;
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return 0;
}

int read_all(int fd, Bytes& out) {
  std::uint8_t buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return 0;
    out.insert(out.end(), buf, buf + n);
  }
}

}  // namespace platform::foundation::fd_io
