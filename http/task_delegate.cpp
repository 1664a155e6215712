#include "http/task_delegate.h"

#include "http/server_trust.h"
#include "platform/dispatch/clock.h"
#include "platform/os/file_manager.h"

namespace Duvarel {

double Progress::fractionCompleted() const {
  auto total = totalUnitCount();
  if (total <= 0) return 0;
  return static_cast<double>(completedUnitCount()) / static_cast<double>(total);
}

namespace {
std::shared_ptr<dispatch::OperationQueue> makeResponseQueue() {
  auto q = std::make_shared<dispatch::OperationQueue>();
  q->set_max_concurrent(1);
  q->set_suspended(true);
  q->set_quality_of_service(dispatch::Qos::utility);
  return q;
}
}  // namespace

// ---- TaskDelegate -----------------------------------------------------------------

TaskDelegate::TaskDelegate(std::shared_ptr<net::Task> task) : queue_(makeResponseQueue()), task_(std::move(task)) {}

// Work waiting for a completion that can no longer come is dropped without
// running, so the suspended queue does not keep itself alive.
TaskDelegate::~TaskDelegate() {
  if (queue_->is_suspended()) {
    queue_->cancel_all();
    queue_->set_suspended(false);
  }
}

std::optional<Error> TaskDelegate::error() const {
  std::lock_guard lk(m_);
  return error_;
}
void TaskDelegate::setError(std::optional<Error> error) {
  std::lock_guard lk(m_);
  error_ = std::move(error);
}

std::shared_ptr<net::Task> TaskDelegate::task() const {
  std::lock_guard lk(taskLock_);
  return task_;
}
void TaskDelegate::setTask(std::shared_ptr<net::Task> task) {
  std::lock_guard lk(taskLock_);
  task_ = std::move(task);
  reset();
}

std::optional<double> TaskDelegate::initialResponseTime() const {
  std::lock_guard lk(m_);
  return initialResponseTime_;
}
void TaskDelegate::setInitialResponseTime(std::optional<double> t) {
  std::lock_guard lk(m_);
  initialResponseTime_ = t;
}
std::optional<net::Credential> TaskDelegate::credential() const {
  std::lock_guard lk(m_);
  return credential_;
}
void TaskDelegate::setCredential(std::optional<net::Credential> credential) {
  std::lock_guard lk(m_);
  credential_ = std::move(credential);
}
std::shared_ptr<const net::TaskMetrics> TaskDelegate::metrics() const {
  std::lock_guard lk(m_);
  return metrics_;
}
void TaskDelegate::setMetrics(std::shared_ptr<const net::TaskMetrics> metrics) {
  std::lock_guard lk(m_);
  metrics_ = std::move(metrics);
}

void TaskDelegate::reset() {
  std::lock_guard lk(m_);
  resetState();
}
void TaskDelegate::resetState() {
  error_.reset();
  initialResponseTime_.reset();
}

#define DUVAREL_HOOK(Class, Type, getter, setter, field) \
  Class::Type Class::getter() const {                   \
    std::lock_guard lk(m_);                             \
    return field;                                       \
  }                                                     \
  void Class::setter(Type hook) {                       \
    std::lock_guard lk(m_);                             \
    field = std::move(hook);                            \
  }

DUVAREL_HOOK(TaskDelegate, RedirectHook, taskWillPerformHTTPRedirection, setTaskWillPerformHTTPRedirection, redirectHook_)
DUVAREL_HOOK(TaskDelegate, ChallengeHook, taskDidReceiveChallenge, setTaskDidReceiveChallenge, challengeHook_)
DUVAREL_HOOK(TaskDelegate, BodyStreamHook, taskNeedNewBodyStream, setTaskNeedNewBodyStream, bodyStreamHook_)
DUVAREL_HOOK(TaskDelegate, CompleteHook, taskDidCompleteWithError, setTaskDidCompleteWithError, completeHook_)

void TaskDelegate::stampInitialResponseTime() {
  std::lock_guard lk(m_);
  if (!initialResponseTime_) initialResponseTime_ = dispatch::absolute_time();
}

void TaskDelegate::scheduleProgress(const std::optional<ProgressHandler>& handler,
                                    const std::shared_ptr<Progress>& progress) {
  if (!handler || !handler->closure) return;
  handler->queue.async([self = shared_from_this(), closure = handler->closure, progress] { closure(progress); });
}

void TaskDelegate::willPerformHTTPRedirection(net::Session& session, net::Task& task, const net::Response& response,
                                              net::Request request,
                                              std::function<void(std::optional<net::Request>)> handler) {
  if (auto hook = taskWillPerformHTTPRedirection()) return handler(hook(session, task, response, request));
  handler(std::move(request));
}

void TaskDelegate::didReceiveChallenge(net::Session& session, net::Task& task, const net::Challenge& challenge,
                                       net::ChallengeHandler handler) {
  if (auto hook = taskDidReceiveChallenge()) {
    auto [disposition, credential] = hook(session, task, challenge);
    return handler(disposition, std::move(credential));
  }
  if (challenge.space.authentication_method == net::auth_method_server_trust) {
    if (auto answer = evaluateServerTrust(session, challenge)) return handler(answer->first, std::move(answer->second));
    return handler(net::AuthDisposition::perform_default, std::nullopt);
  }
  if (challenge.previous_failure_count > 0) return handler(net::AuthDisposition::reject_protection_space, std::nullopt);
  std::optional<net::Credential> use = credential();
  // Sessions use the process-wide credential storage.
  if (!use) use = net::CredentialStorage::shared()->default_credential(challenge.space);
  if (use) return handler(net::AuthDisposition::use_credential, std::move(use));
  handler(net::AuthDisposition::perform_default, std::nullopt);
}

void TaskDelegate::needNewBodyStream(net::Session& session, net::Task& task,
                                     std::function<void(std::shared_ptr<foundation::InputStream>)> handler) {
  if (auto hook = taskNeedNewBodyStream()) return handler(hook(session, task));
  handler(nullptr);
}

void TaskDelegate::didCompleteWithError(net::Session& session, net::Task& task, std::optional<Error> error) {
  if (auto hook = taskDidCompleteWithError()) return hook(session, task, error);
  if (error) {
    {
      std::lock_guard lk(m_);
      if (!error_) error_ = *error;
    }
    tookCompletionError(*error);
  }
  // The response handlers run on this thread, the delegate queue's: no hand-off per request.
  queue_->resume_here();
}

// ---- DataTaskDelegate -------------------------------------------------------------

DataTaskDelegate::DataTaskDelegate(std::shared_ptr<net::Task> task)
    : TaskDelegate(std::move(task)), progress_(std::make_shared<Progress>(0)) {}

std::optional<Bytes> DataTaskDelegate::data() const {
  {
    std::lock_guard lk(m_);
    if (dataStream_) return std::nullopt;
  }
  return mutableData_;
}

std::shared_ptr<Progress> DataTaskDelegate::progress() const {
  std::lock_guard lk(m_);
  return progress_;
}
std::optional<ProgressHandler> DataTaskDelegate::progressHandler() const {
  std::lock_guard lk(m_);
  return progressHandler_;
}
void DataTaskDelegate::setProgressHandler(std::optional<ProgressHandler> handler) {
  std::lock_guard lk(m_);
  progressHandler_ = std::move(handler);
}
DataTaskDelegate::DataStream DataTaskDelegate::dataStream() const {
  std::lock_guard lk(m_);
  return dataStream_;
}
void DataTaskDelegate::setDataStream(DataStream stream) {
  std::lock_guard lk(m_);
  dataStream_ = std::move(stream);
}
std::int64_t DataTaskDelegate::totalBytesReceived() const {
  std::lock_guard lk(m_);
  return totalBytesReceived_;
}
std::optional<std::int64_t> DataTaskDelegate::expectedContentLength() const {
  std::lock_guard lk(m_);
  return expectedContentLength_;
}

DUVAREL_HOOK(DataTaskDelegate, ResponseHook, dataTaskDidReceiveResponse, setDataTaskDidReceiveResponse, responseHook_)
DUVAREL_HOOK(DataTaskDelegate, BecameDownloadHook, dataTaskDidBecomeDownloadTask, setDataTaskDidBecomeDownloadTask,
             becameDownloadHook_)
DUVAREL_HOOK(DataTaskDelegate, DataHook, dataTaskDidReceiveData, setDataTaskDidReceiveData, dataHook_)
DUVAREL_HOOK(DataTaskDelegate, CacheHook, dataTaskWillCacheResponse, setDataTaskWillCacheResponse, cacheHook_)

void DataTaskDelegate::resetState() {
  TaskDelegate::resetState();
  progress_ = std::make_shared<Progress>(0);
  totalBytesReceived_ = 0;
  mutableData_.clear();
  expectedContentLength_.reset();
}

void DataTaskDelegate::didReceiveResponse(net::Session& session, net::DataTask& task, const net::Response& response,
                                          std::function<void(net::ResponseDisposition)> handler) {
  {
    std::lock_guard lk(m_);
    expectedContentLength_ = response.expected_content_length;
  }
  auto disposition = net::ResponseDisposition::allow;
  if (auto hook = dataTaskDidReceiveResponse()) disposition = hook(session, task, response);
  handler(disposition);
}

void DataTaskDelegate::didBecomeDownloadTask(net::Session& session, net::DataTask& task, net::DownloadTask& download) {
  if (auto hook = dataTaskDidBecomeDownloadTask()) hook(session, task, download);
}

void DataTaskDelegate::didReceiveData(net::Session& session, net::DataTask& task, const Bytes& data) {
  stampInitialResponseTime();
  if (auto hook = dataTaskDidReceiveData()) return hook(session, task, data);

  DataStream stream;
  std::optional<ProgressHandler> handler;
  std::shared_ptr<Progress> progress;
  std::int64_t received;
  {
    std::lock_guard lk(m_);
    stream = dataStream_;
    handler = progressHandler_;
    progress = progress_;
    totalBytesReceived_ += static_cast<std::int64_t>(data.size());
    received = totalBytesReceived_;
  }
  auto response = task.response();
  const std::int64_t total = response ? response->expected_content_length : TransferSizeUnknown;
  if (stream) {
    stream(data);
  } else {
    // One growing buffer; a known length is reserved once up front.
    if (mutableData_.empty() && total > 0 && mutableData_.capacity() < static_cast<std::size_t>(total))
      mutableData_.reserve(static_cast<std::size_t>(total));
    mutableData_.insert(mutableData_.end(), data.begin(), data.end());
  }
  progress->setTotalUnitCount(total);
  progress->setCompletedUnitCount(received);
  scheduleProgress(handler, progress);
}

void DataTaskDelegate::willCacheResponse(net::Session& session, net::DataTask& task, net::CachedResponse proposed,
                                         std::function<void(std::optional<net::CachedResponse>)> handler) {
  if (auto hook = dataTaskWillCacheResponse()) return handler(hook(session, task, proposed));
  handler(std::move(proposed));
}

// ---- DownloadTaskDelegate ---------------------------------------------------------

DownloadTaskDelegate::DownloadTaskDelegate(std::shared_ptr<net::Task> task)
    : TaskDelegate(std::move(task)), progress_(std::make_shared<Progress>(0)) {}

std::shared_ptr<Progress> DownloadTaskDelegate::progress() const {
  std::lock_guard lk(m_);
  return progress_;
}
std::optional<ProgressHandler> DownloadTaskDelegate::progressHandler() const {
  std::lock_guard lk(m_);
  return progressHandler_;
}
void DownloadTaskDelegate::setProgressHandler(std::optional<ProgressHandler> handler) {
  std::lock_guard lk(m_);
  progressHandler_ = std::move(handler);
}
std::optional<Bytes> DownloadTaskDelegate::resumeData() const {
  std::lock_guard lk(m_);
  return resumeData_;
}
void DownloadTaskDelegate::setResumeData(std::optional<Bytes> data) {
  std::lock_guard lk(m_);
  resumeData_ = std::move(data);
}
DownloadDestination DownloadTaskDelegate::destination() const {
  std::lock_guard lk(m_);
  return destination_;
}
void DownloadTaskDelegate::setDestination(DownloadDestination destination) {
  std::lock_guard lk(m_);
  destination_ = std::move(destination);
}
std::optional<foundation::Url> DownloadTaskDelegate::temporaryURL() const {
  std::lock_guard lk(m_);
  return temporaryURL_;
}
std::optional<foundation::Url> DownloadTaskDelegate::destinationURL() const {
  std::lock_guard lk(m_);
  return destinationURL_;
}

DUVAREL_HOOK(DownloadTaskDelegate, FinishHook, downloadTaskDidFinishDownloadingToURL,
             setDownloadTaskDidFinishDownloadingToURL, finishHook_)
DUVAREL_HOOK(DownloadTaskDelegate, WriteHook, downloadTaskDidWriteData, setDownloadTaskDidWriteData, writeHook_)
DUVAREL_HOOK(DownloadTaskDelegate, ResumeHook, downloadTaskDidResumeAtOffset, setDownloadTaskDidResumeAtOffset,
             resumeHook_)

void DownloadTaskDelegate::resetState() {
  TaskDelegate::resetState();
  progress_ = std::make_shared<Progress>(0);
  resumeData_.reset();
}

void DownloadTaskDelegate::tookCompletionError(const Error& error) {
  const foundation::Error platform = error.bridged();
  const foundation::Value* data = platform.user_info.find(foundation::key_resume_data);
  if (data && data->data()) setResumeData(*data->data());
}

void DownloadTaskDelegate::didFinishDownloading(net::Session&, net::DownloadTask& task, const foundation::Url& location) {
  DownloadDestination destination;
  {
    std::lock_guard lk(m_);
    temporaryURL_ = location;
    destination = destination_;
  }
  auto response = task.response();
  if (!destination || !response || !response->status) return;
  auto [target, options] = destination(location, *response);
  {
    std::lock_guard lk(m_);
    destinationURL_ = target;
  }
  auto& files = platform::os::FileManager::shared();
  const auto to = target.file_path();
  auto fail = [&](const foundation::Error& e) { setError(Error(e)); };
  if (options.contains(DownloadOptions::removeExistingFile) && files.exists(to)) {
    if (auto r = files.remove_item(to); !r) return fail(r.error());
  }
  if (options.contains(DownloadOptions::createParentDirectories)) {
    if (auto r = files.create_directory(to.parent_path(), true); !r) return fail(r.error());
  }
  if (auto r = files.move_item(location.file_path(), to); !r) return fail(r.error());
}

void DownloadTaskDelegate::didWriteData(net::Session& session, net::DownloadTask& task, std::int64_t written,
                                        std::int64_t total, std::int64_t expected) {
  stampInitialResponseTime();
  if (auto hook = downloadTaskDidWriteData()) return hook(session, task, written, total, expected);
  auto p = progress();
  p->setTotalUnitCount(expected);
  p->setCompletedUnitCount(total);
  scheduleProgress(progressHandler(), p);
}

void DownloadTaskDelegate::didResumeAtOffset(net::Session& session, net::DownloadTask& task, std::int64_t offset,
                                             std::int64_t expected) {
  if (auto hook = downloadTaskDidResumeAtOffset()) return hook(session, task, offset, expected);
  auto p = progress();
  p->setTotalUnitCount(expected);
  p->setCompletedUnitCount(offset);
}

// ---- UploadTaskDelegate -----------------------------------------------------------

UploadTaskDelegate::UploadTaskDelegate(std::shared_ptr<net::Task> task)
    : DataTaskDelegate(std::move(task)), uploadProgress_(std::make_shared<Progress>(0)) {}

std::shared_ptr<Progress> UploadTaskDelegate::uploadProgress() const {
  std::lock_guard lk(m_);
  return uploadProgress_;
}
std::optional<ProgressHandler> UploadTaskDelegate::uploadProgressHandler() const {
  std::lock_guard lk(m_);
  return uploadProgressHandler_;
}
void UploadTaskDelegate::setUploadProgressHandler(std::optional<ProgressHandler> handler) {
  std::lock_guard lk(m_);
  uploadProgressHandler_ = std::move(handler);
}

DUVAREL_HOOK(UploadTaskDelegate, SendBodyHook, taskDidSendBodyData, setTaskDidSendBodyData, sendBodyHook_)

void UploadTaskDelegate::resetState() {
  DataTaskDelegate::resetState();
  uploadProgress_ = std::make_shared<Progress>(0);
}

void UploadTaskDelegate::didSendBodyData(net::Session& session, net::Task& task, std::int64_t sent,
                                         std::int64_t totalSent, std::int64_t totalExpected) {
  stampInitialResponseTime();
  if (auto hook = taskDidSendBodyData()) return hook(session, task, sent, totalSent, totalExpected);
  auto p = uploadProgress();
  p->setTotalUnitCount(totalExpected);
  p->setCompletedUnitCount(totalSent);
  scheduleProgress(uploadProgressHandler(), p);
}

#undef DUVAREL_HOOK

}  // namespace Duvarel
