#include "platform/foundation/stream.h"

#include "platform/foundation/fd_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/dispatch/run_loop.h"
#include "platform/foundation/url.h"

namespace platform::foundation {

// ---- Stream -----------------------------------------------------------------

Stream::~Stream() = default;

StreamStatus Stream::status() const {
  std::lock_guard lock(mutex_);
  return status_;
}

std::optional<Error> Stream::error() const {
  std::lock_guard lock(mutex_);
  return error_;
}

void Stream::schedule(dispatch::RunLoop& loop, std::function<void(StreamEvent)> delegate) {
  {
    std::lock_guard lock(mutex_);
    loop_ = &loop;
    delegate_ = delegate ? std::make_shared<std::function<void(StreamEvent)>>(std::move(delegate)) : nullptr;
  }
  if (status() == StreamStatus::open) {
    if (unsigned ev = ready_event()) notify(static_cast<StreamEvent>(ev));
  }
}

void Stream::set_status(StreamStatus status) {
  std::lock_guard lock(mutex_);
  status_ = status;
}

void Stream::fail(Error error) {
  {
    std::lock_guard lock(mutex_);
    status_ = StreamStatus::error;
    error_ = std::move(error);
  }
  notify(StreamEvent::error_occurred);
}

void Stream::notify(StreamEvent event) {
  dispatch::RunLoop* loop;
  std::weak_ptr<std::function<void(StreamEvent)>> weak;
  {
    std::lock_guard lock(mutex_);
    if (!delegate_) return;
    loop = loop_;
    weak = delegate_;
  }
  loop->perform([weak, event] {
    if (auto d = weak.lock()) (*d)(event);
  });
}

void Stream::unschedule() {
  std::lock_guard lock(mutex_);
  delegate_.reset();
  loop_ = nullptr;
}

Error Stream::posix_error(int err) {
  return Error(std::string(posix_error::domain), err,
               Dict{{std::string(key_localized_description), Value(std::string(std::strerror(err)))}});
}

unsigned InputStream::ready_event() const {
  return has_bytes_available() ? StreamEvent::has_bytes_available : 0u;
}

unsigned OutputStream::ready_event() const {
  return has_space_available() ? StreamEvent::has_space_available : 0u;
}

namespace {

bool is_open(StreamStatus s) {
  return s == StreamStatus::open || s == StreamStatus::reading || s == StreamStatus::writing;
}

// ---- input from memory -------------------------------------------------------

class DataInputStream final : public InputStream {
 public:
  explicit DataInputStream(Bytes data) : data_(std::move(data)) {}

  void open() override {
    if (status() != StreamStatus::not_open) return;
    set_status(data_.empty() ? StreamStatus::at_end : StreamStatus::open);
    notify(StreamEvent::open_completed);
    notify(data_.empty() ? StreamEvent::end_encountered : StreamEvent::has_bytes_available);
  }

  void close() override {
    unschedule();
    set_status(StreamStatus::closed);
  }

  std::ptrdiff_t read(std::span<std::uint8_t> buffer) override {
    StreamStatus s = status();
    if (s == StreamStatus::at_end) return 0;
    if (!is_open(s)) return -1;
    std::size_t n = std::min(buffer.size(), data_.size() - offset_);
    std::copy_n(data_.begin() + static_cast<std::ptrdiff_t>(offset_), n, buffer.begin());
    offset_ += n;
    if (offset_ == data_.size()) {
      set_status(StreamStatus::at_end);
      notify(StreamEvent::end_encountered);
    } else if (n > 0) {
      notify(StreamEvent::has_bytes_available);
    }
    return static_cast<std::ptrdiff_t>(n);
  }

  bool has_bytes_available() const override { return is_open(status()) && offset_ < data_.size(); }

 private:
  Bytes data_;
  std::size_t offset_ = 0;
};

// ---- input from a file -------------------------------------------------------

class FileInputStream final : public InputStream {
 public:
  explicit FileInputStream(std::filesystem::path path) : path_(std::move(path)) {}
  ~FileInputStream() override {
    if (fd_ >= 0) ::close(fd_);
  }

  void open() override {
    if (status() != StreamStatus::not_open) return;
    fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
      fail(posix_error(errno));
      return;
    }
    set_status(StreamStatus::open);
    notify(StreamEvent::open_completed);
    notify(StreamEvent::has_bytes_available);
  }

  void close() override {
    unschedule();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    set_status(StreamStatus::closed);
  }

  std::ptrdiff_t read(std::span<std::uint8_t> buffer) override {
    StreamStatus s = status();
    if (s == StreamStatus::at_end) return 0;
    if (!is_open(s)) return -1;
    if (buffer.empty()) return 0;
    ssize_t n;
    do {
      n = ::read(fd_, buffer.data(), buffer.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
      fail(posix_error(errno));
      return -1;
    }
    if (n == 0) {
      set_status(StreamStatus::at_end);
      notify(StreamEvent::end_encountered);
    } else {
      notify(StreamEvent::has_bytes_available);
    }
    return n;
  }

  bool has_bytes_available() const override { return is_open(status()); }

 private:
  std::filesystem::path path_;
  int fd_ = -1;
};

// ---- output to memory ----------------------------------------------------------

class MemoryOutputStream final : public OutputStream {
 public:
  void open() override {
    if (status() != StreamStatus::not_open) return;
    set_status(StreamStatus::open);
    notify(StreamEvent::open_completed);
    notify(StreamEvent::has_space_available);
  }

  void close() override {
    unschedule();
    set_status(StreamStatus::closed);
  }

  std::ptrdiff_t write(std::span<const std::uint8_t> bytes) override {
    if (!is_open(status())) return -1;
    {
      std::lock_guard lock(mutex_);
      data_.insert(data_.end(), bytes.begin(), bytes.end());
    }
    notify(StreamEvent::has_space_available);
    return static_cast<std::ptrdiff_t>(bytes.size());
  }

  bool has_space_available() const override { return is_open(status()); }

  Bytes memory_contents() const override {
    std::lock_guard lock(mutex_);
    return data_;
  }

 private:
  mutable std::mutex mutex_;
  Bytes data_;
};

// ---- output to a file ------------------------------------------------------------

class FileOutputStream final : public OutputStream {
 public:
  FileOutputStream(std::filesystem::path path, bool append) : path_(std::move(path)), append_(append) {}
  ~FileOutputStream() override {
    if (fd_ >= 0) ::close(fd_);
  }

  void open() override {
    if (status() != StreamStatus::not_open) return;
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (append_ ? O_APPEND : O_TRUNC);
    fd_ = ::open(path_.c_str(), flags, 0644);
    if (fd_ < 0) {
      fail(posix_error(errno));
      return;
    }
    set_status(StreamStatus::open);
    notify(StreamEvent::open_completed);
    notify(StreamEvent::has_space_available);
  }

  void close() override {
    unschedule();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    set_status(StreamStatus::closed);
  }

  std::ptrdiff_t write(std::span<const std::uint8_t> bytes) override {
    if (!is_open(status())) return -1;
    if (int e = fd_io::write_all(fd_, bytes)) {
      fail(posix_error(e));
      return -1;
    }
    notify(StreamEvent::has_space_available);
    return static_cast<std::ptrdiff_t>(bytes.size());
  }

  bool has_space_available() const override { return is_open(status()); }

 private:
  std::filesystem::path path_;
  bool append_;
  int fd_ = -1;
};

}  // namespace

std::shared_ptr<InputStream> InputStream::from_data(Bytes data) {
  return std::make_shared<DataInputStream>(std::move(data));
}

std::shared_ptr<InputStream> InputStream::from_file(const std::filesystem::path& path) {
  return std::make_shared<FileInputStream>(path);
}

std::shared_ptr<InputStream> InputStream::from_file(const Url& url) {
  return url.is_file_url() ? from_file(url.file_path()) : nullptr;
}

std::shared_ptr<OutputStream> OutputStream::to_file(const std::filesystem::path& path, bool append) {
  return std::make_shared<FileOutputStream>(path, append);
}

std::shared_ptr<OutputStream> OutputStream::to_file(const Url& url, bool append) {
  return url.is_file_url() ? to_file(url.file_path(), append) : nullptr;
}

std::shared_ptr<OutputStream> OutputStream::to_memory() {
  return std::make_shared<MemoryOutputStream>();
}

}  // namespace platform::foundation
