#include "platform/os/file_manager.h"

#include "platform/foundation/fd_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <memory>
#include <random>
#include <system_error>

#include "platform/dispatch/clock.h"
#include "platform/foundation/error.h"
#include "platform/os/detail.h"
#include "platform/os/file_faults.h"

namespace platform::os {

namespace fs = std::filesystem;
using foundation::Bytes;
using foundation::Date;
using foundation::Dict;
using foundation::Error;
using foundation::Expected;
using foundation::Value;
namespace cocoa = foundation::cocoa_error;

namespace {

constexpr std::array<const char*, 3> kCarriedXattrs{kCreatedXattr, kBackupExcludedXattr, kProtectionXattr};

Error file_error(std::int64_t code, const fs::path& path, int error_number) {
  Dict info{{std::string(foundation::key_file_path), path.string()}};
  if (error_number != 0) {
    auto underlying = std::make_shared<Error>(std::string(foundation::posix_error::domain), error_number);
    info.set(std::string(foundation::key_underlying_error), Value::object(underlying));
  }
  return Error(std::string(cocoa::domain), code, std::move(info));
}

std::int64_t read_code(int e) {
  switch (e) {
    case ENOENT:
    case ENOTDIR: return cocoa::file_read_no_such_file;
    case EACCES:
    case EPERM: return cocoa::file_read_no_permission;
    default: return cocoa::file_read_unknown;
  }
}

std::int64_t write_code(int e) {
  switch (e) {
    case ENOENT:
    case ENOTDIR: return cocoa::file_no_such_file;
    case EEXIST: return cocoa::file_write_file_exists;
    case ENOSPC:
    case EDQUOT: return cocoa::file_write_out_of_space;
    case EACCES:
    case EPERM:
    case EROFS: return cocoa::file_write_no_permission;
    default: return cocoa::file_write_unknown;
  }
}

Error read_error(const fs::path& p, int e) { return file_error(read_code(e), p, e); }
Error write_error(const fs::path& p, int e) { return file_error(write_code(e), p, e); }

double now_since_1970() { return dispatch::Clock::current().now_since_1970(); }

std::string date_text(double since_1970) { return foundation::format_real(since_1970); }

std::optional<std::string> get_xattr(const fs::path& p, const char* name) {
  std::array<char, 256> buf{};
  ssize_t n = ::getxattr(p.c_str(), name, buf.data(), buf.size());
  if (n < 0) return std::nullopt;
  return std::string(buf.data(), static_cast<std::size_t>(n));
}

int set_xattr(const fs::path& p, const char* name, std::string_view value) {
  return ::setxattr(p.c_str(), name, value.data(), value.size(), 0) == 0 ? 0 : errno;
}

int remove_xattr(const fs::path& p, const char* name) {
  if (::removexattr(p.c_str(), name) == 0 || errno == ENODATA) return 0;
  return errno;
}

std::optional<double> parse_date(const std::string& text) {
  double d = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), d);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return d;
}

double timestamp(const struct statx_timestamp& t) { return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9; }

int fsync_directory(const fs::path& dir) {
  int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  int rc = ::fsync(fd) == 0 ? 0 : errno;
  ::close(fd);
  return rc;
}

std::string random_suffix() {
  static thread_local std::mt19937_64 gen{std::random_device{}()};
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(gen()));
  return buf;
}

// Copies the platform's attributes of every entry of `from` to the same entry under `to`.
void copy_platform_xattrs(const fs::path& from, const fs::path& to) {
  for (const char* name : kCarriedXattrs) {
    if (auto v = get_xattr(from, name)) set_xattr(to, name, *v);
  }
  std::error_code ec;
  if (!fs::is_directory(from, ec)) return;
  for (auto it = fs::recursive_directory_iterator(from, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    fs::path target = to / it->path().lexically_relative(from);
    for (const char* name : kCarriedXattrs) {
      if (auto v = get_xattr(it->path(), name)) set_xattr(target, name, *v);
    }
  }
}

// Moves across file systems: copy everything, then remove the source.
int move_by_copy(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
  if (ec) {
    std::error_code ignored;
    fs::remove_all(to, ignored);
    return ec.value();
  }
  copy_platform_xattrs(from, to);
  fs::remove_all(from, ec);
  return ec ? ec.value() : 0;
}

}  // namespace

FileManager& FileManager::shared() {
  static FileManager manager;
  return manager;
}

fs::path FileManager::url_for(Directory directory) const {
  const fs::path& container = detail::state().container_dir;
  if (container.empty()) return {};
  switch (directory) {
    case Directory::documents: return container / "Documents";
    case Directory::library: return container / "Library";
    case Directory::application_support: return container / "Library" / "Application Support";
    case Directory::caches: return container / "Library" / "Caches";
    case Directory::temporary: return container / "tmp";
  }
  return {};
}

bool FileManager::exists(const fs::path& path, bool* is_directory) const {
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return false;
  if (is_directory) *is_directory = S_ISDIR(st.st_mode);
  return true;
}

Expected<void> FileManager::create_directory(const fs::path& path, bool intermediates) {
  if (auto e = take_file_fault(FileOp::create_directory, path)) return write_error(path, *e);
  if (path.empty()) return write_error(path, ENOENT);
  std::vector<fs::path> chain;  // the folders to create, outermost first
  if (intermediates) {
    for (fs::path p = path; !p.empty(); p = p.parent_path()) {
      struct stat st {};
      if (::stat(p.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) return write_error(path, p == path ? EEXIST : ENOTDIR);
        break;
      }
      chain.push_back(p);
      if (p == p.parent_path()) break;
    }
    std::reverse(chain.begin(), chain.end());
  } else {
    chain.push_back(path);
  }
  const std::string now = date_text(now_since_1970());
  for (const fs::path& p : chain) {
    if (::mkdir(p.c_str(), 0755) != 0) {
      if (errno == EEXIST && intermediates && fs::is_directory(p)) continue;  // created meanwhile
      return write_error(path, errno);
    }
    set_xattr(p, kCreatedXattr, now);
  }
  return {};
}

Expected<void> FileManager::remove_item(const fs::path& path) {
  if (auto e = take_file_fault(FileOp::remove, path)) return write_error(path, *e);
  struct stat st {};
  if (path.empty() || ::lstat(path.c_str(), &st) != 0) return file_error(cocoa::file_no_such_file, path, ENOENT);
  if (get_xattr(path, kImmutableXattr).value_or("") == "1") return file_error(cocoa::file_write_no_permission, path, EPERM);
  std::error_code ec;
  fs::remove_all(path, ec);
  if (ec) return write_error(path, ec.value());
  return {};
}

Expected<void> FileManager::move_item(const fs::path& from, const fs::path& to) {
  if (auto e = take_file_fault(FileOp::move, from)) return write_error(from, *e);
  struct stat st {};
  if (from.empty() || ::lstat(from.c_str(), &st) != 0) return file_error(cocoa::file_no_such_file, from, ENOENT);
  if (to.empty()) return write_error(to, ENOENT);
  if (::lstat(to.c_str(), &st) == 0) return file_error(cocoa::file_write_file_exists, to, EEXIST);
  int rc = ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0 ? 0 : errno;
  if (rc == EINVAL || rc == ENOSYS) rc = ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
  if (rc == EXDEV) rc = move_by_copy(from, to);
  if (rc != 0) return write_error(rc == EEXIST ? to : from, rc);
  return {};
}

Expected<std::vector<fs::path>> FileManager::contents_of_directory(const fs::path& path) {
  if (auto e = take_file_fault(FileOp::list, path)) return read_error(path, *e);
  std::error_code ec;
  fs::directory_iterator it(path, ec);
  if (ec) return read_error(path, ec.value());
  std::vector<fs::path> entries;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) return read_error(path, ec.value());
    entries.push_back(it->path());
  }
  if (ec) return read_error(path, ec.value());
  std::sort(entries.begin(), entries.end());
  return entries;
}

Expected<FileAttributes> FileManager::attributes(const fs::path& path) {
  if (auto e = take_file_fault(FileOp::attributes, path)) return read_error(path, *e);
  struct statx sx {};
  if (path.empty()) return read_error(path, ENOENT);
  if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) return read_error(path, errno);
  FileAttributes a;
  a.size = sx.stx_size;
  a.is_directory = S_ISDIR(sx.stx_mode);
  a.modification = Date{timestamp(sx.stx_mtime)};
  std::optional<double> created;
  if (auto text = get_xattr(path, kCreatedXattr)) created = parse_date(*text);
  if (!created && (sx.stx_mask & STATX_BTIME)) created = timestamp(sx.stx_btime);
  a.creation = Date{created.value_or(a.modification.since_1970)};
  a.protection = get_xattr(path, kProtectionXattr);
  a.immutable = get_xattr(path, kImmutableXattr).value_or("") == "1";
  return a;
}

Expected<void> FileManager::set_attributes(const fs::path& path, const FileAttributes& attributes) {
  if (auto e = take_file_fault(FileOp::set_attributes, path)) return write_error(path, *e);
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return file_error(cocoa::file_no_such_file, path, ENOENT);
  if (int e = set_xattr(path, kCreatedXattr, date_text(attributes.creation.since_1970))) return write_error(path, e);
  double m = attributes.modification.since_1970;
  double whole = std::floor(m);
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(whole);
  times[1].tv_nsec = std::clamp(static_cast<long>((m - whole) * 1e9), 0L, 999999999L);
  if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) return write_error(path, errno);
  int e = attributes.protection ? set_xattr(path, kProtectionXattr, *attributes.protection)
                                : remove_xattr(path, kProtectionXattr);
  if (e) return write_error(path, e);
  e = attributes.immutable ? set_xattr(path, kImmutableXattr, "1") : remove_xattr(path, kImmutableXattr);
  if (e) return write_error(path, e);
  return {};
}

Expected<bool> FileManager::is_excluded_from_backup(const fs::path& path) {
  if (auto e = take_file_fault(FileOp::attributes, path)) return read_error(path, *e);
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return read_error(path, ENOENT);
  auto v = get_xattr(path, kBackupExcludedXattr);
  return v.has_value() && *v == "1";
}

Expected<void> FileManager::set_excluded_from_backup(const fs::path& path, bool excluded) {
  if (auto e = take_file_fault(FileOp::set_attributes, path)) return write_error(path, *e);
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return file_error(cocoa::file_no_such_file, path, ENOENT);
  int e = excluded ? set_xattr(path, kBackupExcludedXattr, "1") : remove_xattr(path, kBackupExcludedXattr);
  if (e) return write_error(path, e);
  return {};
}

Expected<Bytes> FileManager::read(const fs::path& path) {
  if (auto e = take_file_fault(FileOp::read, path)) return read_error(path, *e);
  if (path.empty()) return read_error(path, ENOENT);
  Bytes out;
  if (int e = foundation::fd_io::read_file(path, out)) return read_error(path, e);
  return out;
}

Expected<void> FileManager::write_atomically(const fs::path& path, std::span<const std::uint8_t> bytes) {
  if (auto e = take_file_fault(FileOp::write, path)) return write_error(path, *e);
  if (path.empty() || !path.has_filename()) return write_error(path, ENOENT);
  const fs::path temp = path.parent_path() / ("." + path.filename().string() + ".tmp-" + random_suffix());
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return write_error(path, errno);
  auto fail = [&](int e) -> Expected<void> {
    if (fd >= 0) ::close(fd);
    ::unlink(temp.c_str());
    return write_error(path, e);
  };
  if (int e = foundation::fd_io::write_all(fd, bytes)) return fail(e);
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    for (const char* name : kCarriedXattrs) {
      if (auto v = get_xattr(path, name)) set_xattr(temp, name, *v);
    }
  }
  if (!get_xattr(temp, kCreatedXattr)) set_xattr(temp, kCreatedXattr, date_text(now_since_1970()));
  if (::fsync(fd) != 0) return fail(errno);
  if (::close(fd) != 0) {
    fd = -1;
    return fail(errno);
  }
  fd = -1;
  if (::rename(temp.c_str(), path.c_str()) != 0) return fail(errno);
  fsync_directory(path.parent_path());
  return {};
}

Expected<std::pair<std::uint64_t, std::uint64_t>> FileManager::file_system_size_and_free(const fs::path& path) {
  struct statvfs sv {};
  if (path.empty() || ::statvfs(path.c_str(), &sv) != 0) return read_error(path, path.empty() ? ENOENT : errno);
  std::uint64_t unit = sv.f_frsize ? sv.f_frsize : sv.f_bsize;
  return std::pair<std::uint64_t, std::uint64_t>{static_cast<std::uint64_t>(sv.f_blocks) * unit,
                                                 static_cast<std::uint64_t>(sv.f_bavail) * unit};
}

}  // namespace platform::os
