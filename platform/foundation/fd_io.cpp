#include "platform/foundation/fd_io.h"

#include <fcntl.h>
#include <sys/stat.h>
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

int read_file(const std::filesystem::path& path, Bytes& out) {
  // O_NONBLOCK keeps a FIFO from holding the open until a writer comes.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat st {};
  int e = ::fstat(fd, &st) != 0 ? errno : 0;
  if (e == 0 && !S_ISREG(st.st_mode)) e = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  if (e == 0) {
    if (st.st_size > 0) out.reserve(out.size() + static_cast<std::size_t>(st.st_size));
    e = read_all(fd, out);
  }
  ::close(fd);
  return e;
}

}  // namespace platform::foundation::fd_io
