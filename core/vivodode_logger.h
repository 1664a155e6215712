#pragma once
// The batched log uploader: log events stored in length-prefixed files under
// Caches/"FIRVivododeLogger"/<account>/<log source>/<creation ms>, each file
// uploaded as one CLRPBLogRequest through GULNetwork to the log collection
// endpoint, one upload at a time: after the send delay, at a flush, when the
// network comes back and when the application enters the background.
//
// Threads: logEvent and flushWithCompletionHandler may be called from any
// thread; logEvent stamps the event on the caller's thread and returns. The
// writers, the account data, the schedule, the retries and the send chain
// (upload completions included) run on the serial queue "vivodode". The
// pending list has its own lock; the background task identifier is atomic.
// FIRVivododeWriter and FIRVivododeAccountData belong to that queue.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/gul_network.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/notification.h"
#include "platform/foundation/url.h"
#include "wire/diagnostics/diagnostics.h"

namespace core {

// Milliseconds since 1970 on the process clock, truncated.
std::int64_t FIRVivododeCurrentTimeMillis();
// Milliseconds since the kernel's boot time; 0 when there is none.
std::int64_t FIRVivododeUptimeMillis();

// One open log file: records of a varint length (lowest 7-bit group first)
// and the encoded event.
class FIRVivododeWriter {
 public:
  // Creates the file's folder (I-COR000015 on failure, then goes on) and the
  // file itself, exclusively with mode 0600 (I-COR000016 on failure: closed).
  explicit FIRVivododeWriter(const std::filesystem::path& path);
  ~FIRVivododeWriter();
  FIRVivododeWriter(const FIRVivododeWriter&) = delete;
  FIRVivododeWriter& operator=(const FIRVivododeWriter&) = delete;

  // False when closed or when a write fails; a failed record is cut off
  // again, so the file keeps only whole records.
  bool writeLogEvent(const wire::CLRPBLogEvent& event);
  void close();

  int fd() const { return fd_; }
  std::uint64_t numBytes() const { return numBytes_; }

 private:
  int fd_ = -1;
  std::uint64_t numBytes_ = 0;
};

// One account's folder and the open writer of each log source.
class FIRVivododeAccountData {
 public:
  explicit FIRVivododeAccountData(std::filesystem::path accountLogDirectory);

  // The open writer, or a new file at <account>/<log source>/<ms>.
  std::shared_ptr<FIRVivododeWriter> writerForLogSource(std::int32_t logSource);
  void removeWriterForLogSource(std::int32_t logSource);
  // Closes and forgets every writer.
  void flushWriters();
  // <directory>/<current ms>; the next free millisecond when that name is taken.
  static std::filesystem::path filenameWithCurrentTimeInDirectory(const std::filesystem::path& directory);

  const std::filesystem::path& accountLogDirectory() const { return accountLogDirectory_; }

 private:
  const std::filesystem::path accountLogDirectory_;
  std::map<std::int32_t, std::shared_ptr<FIRVivododeWriter>> logSourceToWriter_;
};

// A stored file waiting for upload.
struct FIRVivododeRequest {
  std::int32_t logSource = 0;
  std::string account;
  std::filesystem::path path;
};

class FIRVivododeLogger;

class FIRVivododeLoggerDelegate {
 public:
  virtual ~FIRVivododeLoggerDelegate() = default;
  virtual void vivododeLoggerWillSendLogs(FIRVivododeLogger& logger) = 0;
};

class FIRVivododeLogger : public GULNetworkReachabilityDelegate,
                          public std::enable_shared_from_this<FIRVivododeLogger> {
 public:
  static constexpr std::int64_t kDefaultSendDelayMillis = 900000;
  static constexpr std::int32_t kUploadRetries = 6;
  static constexpr std::uint64_t kDefaultMaxRequestNumBytes = 0x100000;
  static constexpr const char* kQueueLabel = "vivodode";
  static constexpr const char* kDirectoryName = "FIRVivododeLogger";
  static constexpr const char* kBackgroundTaskName = "FIRVivododeLogger.sendLogs";

  // Made once (after boot) and never released.
  static std::shared_ptr<FIRVivododeLogger> sharedInstance();
  // A logger of its own over Caches/"FIRVivododeLogger": schedules its first
  // send and observes did-enter-background.
  static std::shared_ptr<FIRVivododeLogger> init();
  ~FIRVivododeLogger() override;
  FIRVivododeLogger(const FIRVivododeLogger&) = delete;
  FIRVivododeLogger& operator=(const FIRVivododeLogger&) = delete;

  // Stamps the event time and uptime when absent, then writes on the queue.
  void logEvent(const std::shared_ptr<wire::CLRPBLogEvent>& event, std::int32_t logSource, const std::string& account);
  // Sends everything stored; the block runs once the pending list is worked through.
  void flushWithCompletionHandler(std::function<void()> completion);

  // ---- properties (any thread) ----
  std::string applicationBuild() const;
  void setApplicationBuild(std::string build);
  std::optional<std::string> installIdentifier() const;
  void setInstallIdentifier(std::optional<std::string> identifier);
  std::optional<std::string> zwiebackCookie() const;
  void setZwiebackCookie(std::optional<std::string> cookie);
  std::optional<platform::foundation::Url> serverURL() const;
  void setServerURL(std::optional<platform::foundation::Url> url);
  std::int64_t fetcherCookieStorageMethod() const { return fetcherCookieStorageMethod_.load(); }
  void setFetcherCookieStorageMethod(std::int64_t method) { fetcherCookieStorageMethod_ = method; }
  void setDelegate(std::weak_ptr<FIRVivododeLoggerDelegate> delegate);
  // Read and set on the queue (sync from other threads).
  std::int64_t sendDelayMillis() const;
  void setSendDelayMillis(std::int64_t millis);
  std::uint64_t maxRequestNumBytes() const;
  void setMaxRequestNumBytes(std::uint64_t bytes);
  std::int32_t uploadRetriesRemaining() const;
  bool sendScheduled() const;

  const std::filesystem::path& logDirectory() const { return logDirectory_; }
  const std::shared_ptr<GULNetwork>& network() const { return network_; }
  std::uint64_t backgroundTaskId() const { return backgroundTaskId_.load(); }
  // Swaps the identifier in; ends the one swapped out when it was valid.
  void setBackgroundTaskId(std::uint64_t taskId);
  // Returns once the queue has run everything queued before the call (tests).
  void waitForQueue() const;

  // GULNetworkReachabilityDelegate: schedules again on the queue.
  void reachabilityDidChange() override;

  struct Passkey {
   private:
    Passkey() = default;
    friend class FIRVivododeLogger;
  };
  explicit FIRVivododeLogger(Passkey);

 private:
  // ---- on the queue ----
  std::shared_ptr<FIRVivododeAccountData> accountDataForAccount(const std::string& account);
  void writeEvent(const wire::CLRPBLogEvent& event, std::int32_t logSource, const std::string& account);
  void flushWriters();
  void updatePendingRequests();
  std::optional<FIRVivododeRequest> nextPendingRequest();
  void sendLogsWithCompletionHandler(std::function<void()> completion);
  void sendNextPendingRequestWithCompletionHandler(std::function<void()> completion);
  void uploadDidComplete(const std::filesystem::path& path, int statusCode,
                         const std::optional<platform::foundation::Error>& error, std::function<void()> completion);
  std::shared_ptr<wire::CLRPBLogRequest> logRequestFromPath(const std::filesystem::path& path,
                                                            std::int32_t logSource) const;
  void scheduleNextSend();
  void applicationDidEnterBackground();

  const platform::dispatch::Queue queue_;
  std::filesystem::path logDirectory_;
  std::shared_ptr<GULNetwork> network_;

  // Queue state.
  std::map<std::string, std::shared_ptr<FIRVivododeAccountData>> accounts_;
  std::int64_t sendDelayMillis_ = kDefaultSendDelayMillis;
  std::int32_t uploadRetriesRemaining_ = kUploadRetries;
  bool sendScheduled_ = false;
  std::uint64_t maxRequestNumBytes_ = kDefaultMaxRequestNumBytes;

  std::mutex pendingRequestsLock_;
  std::vector<FIRVivododeRequest> pendingRequests_;
  std::atomic<std::uint64_t> backgroundTaskId_{0};  // the invalid identifier

  mutable std::mutex propertiesLock_;
  std::string applicationBuild_ = "0";
  std::optional<std::string> installIdentifier_;
  std::optional<std::string> zwiebackCookie_;
  std::optional<platform::foundation::Url> serverURL_;
  std::weak_ptr<FIRVivododeLoggerDelegate> delegate_;
  std::atomic<std::int64_t> fetcherCookieStorageMethod_{0};

  platform::foundation::ObserverToken backgroundObserver_;
};

}  // namespace core
