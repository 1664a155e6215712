// The batched log uploader: writers, account folders, the pending list, the
// schedule and the send chain.
#include "core/vivodode_logger.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <utility>

#include "core/deployment.h"
#include "core/environment_util.h"
#include "core/logger.h"
#include "platform/dispatch/clock.h"
#include "platform/foundation/fd_io.h"
#include "platform/os/file_manager.h"
#include "platform/ui/application.h"

namespace core {

namespace {

namespace fs = std::filesystem;
namespace foundation = platform::foundation;
namespace os = platform::os;
namespace ui = platform::ui;
using platform::dispatch::Clock;

// Legacy escaping, with "/" escaped too, so an account name is always one folder.
constexpr foundation::CharSet kAccountNameAllowed = foundation::CharSet::alphanumerics_and("-._~!$&'()*+,;=:@?");

std::string describeError(const foundation::Error& error) { return error.description(); }

// The leading decimal integer of a folder name, 0 when there is none; saturated.
std::int32_t intValue(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) break;
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<std::int32_t>(value);
}

struct TimeVal {
  std::int64_t sec;
  std::int64_t usec;
};

TimeVal timeval_of(double seconds) {
  const double whole = std::floor(seconds);
  return {static_cast<std::int64_t>(whole), static_cast<std::int64_t>((seconds - whole) * 1e6)};
}

}  // namespace

// ---- time ----------------------------------------------------------------------------

std::int64_t FIRVivododeCurrentTimeMillis() {
  return static_cast<std::int64_t>(Clock::current().now_since_1970() * 1000.0);
}

std::int64_t FIRVivododeUptimeMillis() {
  const double boot = Clock::current().boot_time_since_1970();
  if (!(boot > 0)) return 0;
  const TimeVal now = timeval_of(Clock::current().now_since_1970());
  const TimeVal since = timeval_of(boot);
  return (now.sec - since.sec) * 1000 + (now.usec - since.usec) / 1000;
}

// ---- writer --------------------------------------------------------------------------

FIRVivododeWriter::FIRVivododeWriter(const fs::path& path) {
  auto created = os::FileManager::shared().create_directory(path.parent_path(), true);
  if (!created) {
    FIRLogError(kFIRLoggerCore, "I-COR000015", "Failed to create directory: %s",
                describeError(created.error()).c_str());
  }
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    const int error = errno;
    FIRLogError(kFIRLoggerCore, "I-COR000016", "Failed to create %s, error (%d)", path.c_str(), error);
  }
}

FIRVivododeWriter::~FIRVivododeWriter() { close(); }

void FIRVivododeWriter::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool FIRVivododeWriter::writeLogEvent(const wire::CLRPBLogEvent& event) {
  if (fd_ < 0) return false;
  const std::optional<foundation::Bytes> encoded = event.protoBuffer();
  if (!encoded) return false;
  std::uint8_t prefix[5];
  std::size_t prefixLength = 0;
  for (auto length = static_cast<std::uint32_t>(encoded->size());; length >>= 7) {
    if (length < 0x80) {
      prefix[prefixLength++] = static_cast<std::uint8_t>(length);
      break;
    }
    prefix[prefixLength++] = static_cast<std::uint8_t>((length & 0x7f) | 0x80);
  }
  // A record that does not go down whole is cut off again: the file keeps
  // only whole records, and the writer is dropped by its owner.
  const std::uint64_t before = numBytes_;
  auto cutBack = [&] {
    if (::ftruncate(fd_, static_cast<off_t>(before)) != 0 || ::lseek(fd_, static_cast<off_t>(before), SEEK_SET) < 0) {
      close();
    }
    numBytes_ = before;
    return false;
  };
  if (foundation::fd_io::write_all(fd_, std::span<const std::uint8_t>(prefix, prefixLength)) != 0) return cutBack();
  numBytes_ += prefixLength;
  if (foundation::fd_io::write_all(fd_, *encoded) != 0) return cutBack();
  numBytes_ += encoded->size();
  return true;
}

// ---- account data --------------------------------------------------------------------

FIRVivododeAccountData::FIRVivododeAccountData(fs::path accountLogDirectory)
    : accountLogDirectory_(std::move(accountLogDirectory)) {}

std::shared_ptr<FIRVivododeWriter> FIRVivododeAccountData::writerForLogSource(std::int32_t logSource) {
  if (auto found = logSourceToWriter_.find(logSource); found != logSourceToWriter_.end()) return found->second;
  const fs::path directory = accountLogDirectory_ / std::to_string(logSource);
  auto writer = std::make_shared<FIRVivododeWriter>(filenameWithCurrentTimeInDirectory(directory));
  logSourceToWriter_[logSource] = writer;
  return writer;
}

void FIRVivododeAccountData::removeWriterForLogSource(std::int32_t logSource) {
  auto found = logSourceToWriter_.find(logSource);
  if (found == logSourceToWriter_.end()) return;
  found->second->close();
  logSourceToWriter_.erase(found);
}

void FIRVivododeAccountData::flushWriters() {
  for (auto& entry : logSourceToWriter_) entry.second->close();
  logSourceToWriter_.clear();
}

fs::path FIRVivododeAccountData::filenameWithCurrentTimeInDirectory(const fs::path& directory) {
  // Files are created exclusively: a name taken by a file of the same
  // millisecond (a roll-over, a flush) moves on to the next free one.
  std::int64_t millis = FIRVivododeCurrentTimeMillis();
  fs::path path = directory / std::to_string(millis);
  std::error_code ec;
  while (fs::symlink_status(path, ec).type() != fs::file_type::not_found && !ec) {
    path = directory / std::to_string(++millis);
  }
  return path;
}

// ---- logger: creation and properties ---------------------------------------------

FIRVivododeLogger::FIRVivododeLogger(Passkey) : queue_(platform::dispatch::Queue::serial(kQueueLabel)) {}

std::shared_ptr<FIRVivododeLogger> FIRVivododeLogger::sharedInstance() {
  static auto* instance = new std::shared_ptr<FIRVivododeLogger>(init());
  return *instance;
}

std::shared_ptr<FIRVivododeLogger> FIRVivododeLogger::init() {
  auto logger = std::make_shared<FIRVivododeLogger>(Passkey{});
  const fs::path caches = os::FileManager::shared().url_for(os::Directory::caches);
  if (!caches.empty()) logger->logDirectory_ = caches / kDirectoryName;
  logger->network_ = GULNetwork::init();
  logger->serverURL_ = foundation::Url::parse(kLogCollectionEndpoint);
  std::weak_ptr<FIRVivododeLogger> weak = logger;
  logger->backgroundObserver_ = foundation::NotificationCenter::default_center().add_observer(
      logger.get(), std::string(ui::notification_name::did_enter_background), nullptr, nullptr,
      [weak](const foundation::Notification&) {
        if (auto self = weak.lock()) self->applicationDidEnterBackground();
      });
  logger->queue_.async([weak] {
    if (auto self = weak.lock()) self->scheduleNextSend();
  });
  return logger;
}

FIRVivododeLogger::~FIRVivododeLogger() {
  backgroundObserver_.remove();
  setBackgroundTaskId(ui::background_task_invalid);
}

std::string FIRVivododeLogger::applicationBuild() const {
  std::lock_guard lock(propertiesLock_);
  return applicationBuild_;
}

void FIRVivododeLogger::setApplicationBuild(std::string build) {
  std::lock_guard lock(propertiesLock_);
  applicationBuild_ = std::move(build);
}

std::optional<std::string> FIRVivododeLogger::installIdentifier() const {
  std::lock_guard lock(propertiesLock_);
  return installIdentifier_;
}

void FIRVivododeLogger::setInstallIdentifier(std::optional<std::string> identifier) {
  std::lock_guard lock(propertiesLock_);
  installIdentifier_ = std::move(identifier);
}

std::optional<std::string> FIRVivododeLogger::zwiebackCookie() const {
  std::lock_guard lock(propertiesLock_);
  return zwiebackCookie_;
}

void FIRVivododeLogger::setZwiebackCookie(std::optional<std::string> cookie) {
  std::lock_guard lock(propertiesLock_);
  zwiebackCookie_ = std::move(cookie);
}

std::optional<foundation::Url> FIRVivododeLogger::serverURL() const {
  std::lock_guard lock(propertiesLock_);
  return serverURL_;
}

void FIRVivododeLogger::setServerURL(std::optional<foundation::Url> url) {
  std::lock_guard lock(propertiesLock_);
  serverURL_ = std::move(url);
}

void FIRVivododeLogger::setDelegate(std::weak_ptr<FIRVivododeLoggerDelegate> delegate) {
  std::lock_guard lock(propertiesLock_);
  delegate_ = std::move(delegate);
}

std::int64_t FIRVivododeLogger::sendDelayMillis() const {
  std::int64_t value = 0;
  queue_.sync([&] { value = sendDelayMillis_; });
  return value;
}

void FIRVivododeLogger::setSendDelayMillis(std::int64_t millis) {
  queue_.sync([&] { sendDelayMillis_ = millis; });
}

std::uint64_t FIRVivododeLogger::maxRequestNumBytes() const {
  std::uint64_t value = 0;
  queue_.sync([&] { value = maxRequestNumBytes_; });
  return value;
}

void FIRVivododeLogger::setMaxRequestNumBytes(std::uint64_t bytes) {
  queue_.sync([&] { maxRequestNumBytes_ = bytes; });
}

std::int32_t FIRVivododeLogger::uploadRetriesRemaining() const {
  std::int32_t value = 0;
  queue_.sync([&] { value = uploadRetriesRemaining_; });
  return value;
}

bool FIRVivododeLogger::sendScheduled() const {
  bool value = false;
  queue_.sync([&] { value = sendScheduled_; });
  return value;
}

void FIRVivododeLogger::waitForQueue() const {
  queue_.sync([] {});
}

void FIRVivododeLogger::setBackgroundTaskId(std::uint64_t taskId) {
  const std::uint64_t previous = backgroundTaskId_.exchange(taskId);
  if (previous == ui::background_task_invalid) return;
  if (ui::Application* application = ui::Application::shared()) application->end_background_task(previous);
}

// ---- logging --------------------------------------------------------------------------

void FIRVivododeLogger::logEvent(const std::shared_ptr<wire::CLRPBLogEvent>& event, std::int32_t logSource,
                                 const std::string& account) {
  if (!event) return;
  if (!wire::NANOHasField(event.get(), 0)) wire::NANOSetInt64(event.get(), 0, FIRVivododeCurrentTimeMillis());
  if (!wire::NANOHasField(event.get(), 1)) wire::NANOSetInt64(event.get(), 1, FIRVivododeUptimeMillis());
  auto self = shared_from_this();
  queue_.async([self, event, logSource, account] { self->writeEvent(*event, logSource, account); });
}

std::shared_ptr<FIRVivododeAccountData> FIRVivododeLogger::accountDataForAccount(const std::string& account) {
  auto& data = accounts_[account];
  if (!data) {
    data = std::make_shared<FIRVivododeAccountData>(logDirectory_ /
                                                    foundation::percent_encode(account, kAccountNameAllowed));
  }
  return data;
}

void FIRVivododeLogger::writeEvent(const wire::CLRPBLogEvent& event, std::int32_t logSource,
                                   const std::string& account) {
  std::shared_ptr<FIRVivododeAccountData> data;
  std::shared_ptr<FIRVivododeWriter> writer;
  if (!logDirectory_.empty()) {  // no Caches folder before boot
    data = accountDataForAccount(account);
    writer = data->writerForLogSource(logSource);
  }
  if (!writer || !writer->writeLogEvent(event)) {
    FIRLogError(kFIRLoggerCore, "I-COR000017", "Failure to write data for account %s, logSource %d. Discarding.",
                account.c_str(), logSource);
    if (data) data->removeWriterForLogSource(logSource);
    return;
  }
  // A file holds at most one event past the cap.
  if (writer->numBytes() > maxRequestNumBytes_) data->removeWriterForLogSource(logSource);
}

// ---- scheduling -------------------------------------------------------------------------

void FIRVivododeLogger::scheduleNextSend() {
  if (sendScheduled_) return;
  if (!network_) return;
  if (!network_->isNetworkConnected()) {
    // The next reachability change schedules again.
    network_->setReachabilityDelegate(std::weak_ptr<GULNetworkReachabilityDelegate>(shared_from_this()));
    return;
  }
  network_->setReachabilityDelegate({});
  sendScheduled_ = true;
  std::weak_ptr<FIRVivododeLogger> weak = weak_from_this();
  queue_.after(platform::dispatch::Duration(static_cast<double>(sendDelayMillis_) / 1000.0), [weak] {
    auto self = weak.lock();
    if (!self) return;
    self->sendScheduled_ = false;
    self->sendLogsWithCompletionHandler(nullptr);
  });
}

void FIRVivododeLogger::reachabilityDidChange() {
  std::weak_ptr<FIRVivododeLogger> weak = weak_from_this();
  queue_.async([weak] {
    if (auto self = weak.lock()) self->scheduleNextSend();
  });
}

void FIRVivododeLogger::applicationDidEnterBackground() { flushWithCompletionHandler(nullptr); }

// ---- the send chain ----------------------------------------------------------------------

void FIRVivododeLogger::flushWithCompletionHandler(std::function<void()> completion) {
  auto self = shared_from_this();
  queue_.async([self, completion = std::move(completion)]() mutable {
    self->sendLogsWithCompletionHandler(std::move(completion));
  });
}

void FIRVivododeLogger::sendLogsWithCompletionHandler(std::function<void()> completion) {
  if (backgroundTaskId_.load() == ui::background_task_invalid) {
    if (ui::Application* application = ui::Application::shared()) {
      std::weak_ptr<FIRVivododeLogger> weak = weak_from_this();
      setBackgroundTaskId(application->begin_background_task(std::string(kBackgroundTaskName), [weak] {
        if (auto self = weak.lock()) self->setBackgroundTaskId(ui::background_task_invalid);
      }));
    }
  }
  std::shared_ptr<FIRVivododeLoggerDelegate> delegate;
  {
    std::lock_guard lock(propertiesLock_);
    delegate = delegate_.lock();
  }
  if (delegate) delegate->vivododeLoggerWillSendLogs(*this);
  flushWriters();
  updatePendingRequests();
  sendNextPendingRequestWithCompletionHandler(std::move(completion));
}

void FIRVivododeLogger::flushWriters() {
  for (auto& entry : accounts_) entry.second->flushWriters();
}

void FIRVivododeLogger::updatePendingRequests() {
  if (logDirectory_.empty()) return;
  auto& files = os::FileManager::shared();
  std::vector<FIRVivododeRequest> found;
  auto accounts = files.contents_of_directory(logDirectory_);
  if (!accounts) return;
  for (const fs::path& accountDirectory : *accounts) {
    const std::string escaped = accountDirectory.filename().string();
    const std::string account = foundation::percent_decode(escaped).value_or(escaped);
    auto sources = files.contents_of_directory(accountDirectory);
    if (!sources) continue;
    for (const fs::path& sourceDirectory : *sources) {
      const std::int32_t logSource = intValue(sourceDirectory.filename().string());
      auto logFiles = files.contents_of_directory(sourceDirectory);
      if (!logFiles) continue;
      for (const fs::path& file : *logFiles) found.push_back({logSource, account, file});
    }
  }
  std::lock_guard lock(pendingRequestsLock_);
  pendingRequests_.insert(pendingRequests_.end(), found.begin(), found.end());
}

std::optional<FIRVivododeRequest> FIRVivododeLogger::nextPendingRequest() {
  std::lock_guard lock(pendingRequestsLock_);
  if (pendingRequests_.empty()) return std::nullopt;
  FIRVivododeRequest request = std::move(pendingRequests_.back());
  pendingRequests_.pop_back();
  return request;
}

void FIRVivododeLogger::sendNextPendingRequestWithCompletionHandler(std::function<void()> completion) {
  if ((network_ && network_->hasUploadInProgress()) || uploadRetriesRemaining_ <= 0) return;
  std::optional<FIRVivododeRequest> request = nextPendingRequest();
  if (!request) {
    scheduleNextSend();
    setBackgroundTaskId(ui::background_task_invalid);
    if (completion) completion();
    return;
  }
  std::shared_ptr<wire::CLRPBLogRequest> logRequest = logRequestFromPath(request->path, request->logSource);
  auto self = shared_from_this();
  if (!logRequest) {
    // Gone or unreadable (also the second entry of a file already sent).
    (void)os::FileManager::shared().remove_item(request->path);
    queue_.async([self, completion = std::move(completion)]() mutable {
      self->sendNextPendingRequestWithCompletionHandler(std::move(completion));
    });
    return;
  }
  wire::NANOSetInt64(logRequest.get(), 0, FIRVivododeCurrentTimeMillis());
  wire::NANOSetInt64(logRequest.get(), 1, FIRVivododeUptimeMillis());
  const std::optional<foundation::Url> url = serverURL();
  if (!network_ || !url) return;
  // The completion continues the chain on this queue, so the retries, the
  // schedule and the writers never see two threads.
  network_->postURL(*url, logRequest->protoBuffer().value_or(foundation::Bytes{}), queue_, false,
                    [self, path = request->path, completion = std::move(completion)](
                        std::shared_ptr<const platform::net::Response> response, std::optional<foundation::Bytes>,
                        std::optional<foundation::Error> error) mutable {
                      const int status = response ? static_cast<int>(response->status.value_or(0)) : 0;
                      self->uploadDidComplete(path, status, error, std::move(completion));
                    });
}

void FIRVivododeLogger::uploadDidComplete(const fs::path& path, int statusCode,
                                          const std::optional<foundation::Error>& error,
                                          std::function<void()> completion) {
  if (error || statusCode != 200) {
    FIRLogError(kFIRLoggerCore, "I-COR000020", "Error posting to Vivodode: %s, with Status Code: %ld",
                error ? describeError(*error).c_str() : "(null)", static_cast<long>(statusCode));
    --uploadRetriesRemaining_;
    scheduleNextSend();
    return;
  }
  (void)os::FileManager::shared().remove_item(path);
  uploadRetriesRemaining_ = kUploadRetries;
  sendNextPendingRequestWithCompletionHandler(std::move(completion));
}

std::shared_ptr<wire::CLRPBLogRequest> FIRVivododeLogger::logRequestFromPath(const fs::path& path,
                                                                            std::int32_t logSource) const {
  auto contents = os::FileManager::shared().read(path);
  if (!contents) return nullptr;
  auto request = wire::CLRPBLogRequest::make();
  auto client = wire::CLRPBClientInfo::make();
  auto ios = wire::CLRPBIosClientInfo::make();
  if (!request || !client || !ios) return nullptr;
  wire::NANOSetInt32(request.get(), 3, logSource);
  // The whole file is one element: its length-prefixed records as they stand.
  wire::NANOSetArray(request.get(), 7, foundation::Array{foundation::Value(std::move(*contents))});
  wire::NANOSetInt32(client.get(), 0, 3);
  wire::NANOSetString(ios.get(), 3, GULAppEnvironmentUtil::systemVersion());
  wire::NANOSetString(ios.get(), 4, applicationBuild());
  if (auto identifier = installIdentifier(); identifier && !identifier->empty()) {
    wire::NANOSetString(ios.get(), 1, *identifier);
  }
  wire::NANOSetMessage(client.get(), 3, ios.get());
  wire::NANOSetMessage(request.get(), 2, client.get());
  if (auto cookie = zwiebackCookie()) wire::NANOSetString(request.get(), 5, *cookie);
  return request;
}

}  // namespace core
