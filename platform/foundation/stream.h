#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

namespace platform::dispatch {
class RunLoop;
}

namespace platform::foundation {

class Url;

enum class StreamStatus { not_open, opening, open, reading, writing, at_end, closed, error };

enum StreamEvent : unsigned {
  open_completed = 1,
  has_bytes_available = 2,
  has_space_available = 4,
  error_occurred = 8,
  end_encountered = 16,
};

// Common state of input and output streams: status, error, and event
// delivery to a delegate on a run loop.
//
// A stream is used by one thread at a time; status() and error() may be read
// from any thread. Errors of file streams are in NSPOSIXErrorDomain with the
// errno as code (a missing file is code ENOENT). Reading or writing a stream
// that is not open returns -1 and leaves status and error unchanged.
class Stream {
 public:
  virtual ~Stream();
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  virtual void open() = 0;
  virtual void close() = 0;

  StreamStatus status() const;
  std::optional<Error> error() const;

  // Events from now on are delivered to `delegate` on `loop` (one perform per
  // event, so they arrive when that loop runs). Scheduling an open stream
  // that can read or write at once delivers that event first. close() and
  // destruction drop the delegate; events still waiting are then not delivered.
  void schedule(dispatch::RunLoop& loop, std::function<void(StreamEvent)> delegate);

 protected:
  Stream() = default;

  void set_status(StreamStatus status);
  // Sets the error status and error, and delivers error_occurred.
  void fail(Error error);
  // Delivers an event to the scheduled delegate, if any.
  void notify(StreamEvent event);
  // Drops the delegate (close).
  void unschedule();
  // The event scheduling an open stream delivers (0 = none).
  virtual unsigned ready_event() const = 0;

  static Error posix_error(int err);

 private:
  mutable std::mutex mutex_;
  StreamStatus status_ = StreamStatus::not_open;
  std::optional<Error> error_;
  dispatch::RunLoop* loop_ = nullptr;
  std::shared_ptr<std::function<void(StreamEvent)>> delegate_;
};

// A source of bytes. Subclasses implement open/close/read/has_bytes_available
// and report through set_status/fail/notify.
//
// read() returns the number of bytes read, 0 at the end (the status becomes
// at_end), or -1 on an error (status error, error() set).
// has_bytes_available() is true while the stream is open and not at its end.
class InputStream : public Stream {
 public:
  static std::shared_ptr<InputStream> from_data(Bytes data);
  // Opens the file at open(); a missing or unreadable file makes open() fail.
  static std::shared_ptr<InputStream> from_file(const std::filesystem::path& path);
  // The same for a file URL; nullptr for any other URL.
  static std::shared_ptr<InputStream> from_file(const Url& url);

  virtual std::ptrdiff_t read(std::span<std::uint8_t> buffer) = 0;
  virtual bool has_bytes_available() const = 0;

 protected:
  unsigned ready_event() const override;
};

// A sink of bytes. write() writes all the bytes and returns their count, or
// returns -1 with status error and error() set; a write that stops part-way
// (a full disk) counts as failed. has_space_available() is true while the
// stream is open and has not failed.
class OutputStream : public Stream {
 public:
  // The file is created (or truncated unless `append`) at open().
  static std::shared_ptr<OutputStream> to_file(const std::filesystem::path& path, bool append);
  // The same for a file URL; nullptr for any other URL.
  static std::shared_ptr<OutputStream> to_file(const Url& url, bool append);
  static std::shared_ptr<OutputStream> to_memory();

  virtual std::ptrdiff_t write(std::span<const std::uint8_t> bytes) = 0;
  virtual bool has_space_available() const = 0;
  // The bytes written so far to a memory stream (also after close); empty for other streams.
  virtual Bytes memory_contents() const { return {}; }

 protected:
  unsigned ready_event() const override;
};

}  // namespace platform::foundation
