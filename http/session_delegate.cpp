#include "http/session_delegate.h"

#include <atomic>

#include "http/server_trust.h"
#include "http/session_manager.h"
#include "platform/foundation/notification.h"
#include "platform/os/process_info.h"

namespace Duvarel {

struct SessionDelegate::Closures {
#define DUVAREL_FIELD(Type, getter, setter) Type getter;
  DUVAREL_SESSION_CLOSURES(DUVAREL_FIELD)
#undef DUVAREL_FIELD
  std::any streamTaskReadClosed, streamTaskWriteClosed, streamTaskBetterRouteDiscovered, streamTaskDidBecomeInputStream;
};

SessionDelegate::SessionDelegate() : closures_(std::make_unique<Closures>()) {}
SessionDelegate::~SessionDelegate() = default;

#define DUVAREL_CLOSURE(Type, getter, setter)      \
  SessionDelegate::Type SessionDelegate::getter() const { \
    std::lock_guard lk(closuresLock_);             \
    return closures_->getter;                      \
  }                                                \
  void SessionDelegate::setter(Type closure) {     \
    std::lock_guard lk(closuresLock_);             \
    closures_->getter = std::move(closure);        \
  }
DUVAREL_SESSION_CLOSURES(DUVAREL_CLOSURE)
#undef DUVAREL_CLOSURE

std::any SessionDelegate::storedStreamClosure(StreamClosure which) const {
  std::lock_guard lk(closuresLock_);
  switch (which) {
    case StreamClosure::readClosed: return closures_->streamTaskReadClosed;
    case StreamClosure::writeClosed: return closures_->streamTaskWriteClosed;
    case StreamClosure::betterRouteDiscovered: return closures_->streamTaskBetterRouteDiscovered;
    case StreamClosure::didBecomeInputStream: return closures_->streamTaskDidBecomeInputStream;
  }
  return {};
}

void SessionDelegate::setStoredStreamClosure(StreamClosure which, std::any value) {
  std::lock_guard lk(closuresLock_);
  switch (which) {
    case StreamClosure::readClosed: closures_->streamTaskReadClosed = std::move(value); break;
    case StreamClosure::writeClosed: closures_->streamTaskWriteClosed = std::move(value); break;
    case StreamClosure::betterRouteDiscovered: closures_->streamTaskBetterRouteDiscovered = std::move(value); break;
    case StreamClosure::didBecomeInputStream: closures_->streamTaskDidBecomeInputStream = std::move(value); break;
  }
}

namespace {
template <class F>
F castClosure(const std::any& value) {
  if (const F* f = std::any_cast<F>(&value)) return *f;
  return nullptr;
}
template <class F>
std::any eraseClosure(F f) {
  return f ? std::any(std::move(f)) : std::any();
}
}  // namespace

#define DUVAREL_STREAM_CLOSURE(Type, getter, setter, which)                                              \
  SessionDelegate::Type SessionDelegate::getter() const { return castClosure<Type>(storedStreamClosure(which)); } \
  void SessionDelegate::setter(Type closure) { setStoredStreamClosure(which, eraseClosure(std::move(closure))); }
DUVAREL_STREAM_CLOSURE(StreamTaskReadClosed, streamTaskReadClosed, setStreamTaskReadClosed, StreamClosure::readClosed)
DUVAREL_STREAM_CLOSURE(StreamTaskWriteClosed, streamTaskWriteClosed, setStreamTaskWriteClosed, StreamClosure::writeClosed)
DUVAREL_STREAM_CLOSURE(StreamTaskBetterRouteDiscovered, streamTaskBetterRouteDiscovered,
                       setStreamTaskBetterRouteDiscovered, StreamClosure::betterRouteDiscovered)
DUVAREL_STREAM_CLOSURE(StreamTaskDidBecomeInputStream, streamTaskDidBecomeInputStream, setStreamTaskDidBecomeInputStream,
                       StreamClosure::didBecomeInputStream)
#undef DUVAREL_STREAM_CLOSURE

std::shared_ptr<RequestRetrier> SessionDelegate::retrier() const {
  std::lock_guard lk(closuresLock_);
  return retrier_;
}
void SessionDelegate::setRetrier(std::shared_ptr<RequestRetrier> retrier) {
  std::lock_guard lk(closuresLock_);
  retrier_ = std::move(retrier);
}
std::shared_ptr<SessionManager> SessionDelegate::sessionManager() const {
  std::lock_guard lk(closuresLock_);
  return sessionManager_.lock();
}
void SessionDelegate::setSessionManager(std::weak_ptr<SessionManager> manager) {
  std::lock_guard lk(closuresLock_);
  sessionManager_ = std::move(manager);
}

std::shared_ptr<Request> SessionDelegate::requestForTask(const net::Task& task) const {
  std::lock_guard lk(lock_);
  auto it = requests_.find(static_cast<std::int64_t>(task.identifier()));
  return it == requests_.end() ? nullptr : it->second;
}

void SessionDelegate::setRequestForTask(const net::Task& task, std::shared_ptr<Request> request) {
  std::lock_guard lk(lock_);
  auto id = static_cast<std::int64_t>(task.identifier());
  if (request) requests_[id] = std::move(request);
  else requests_.erase(id);
}

std::size_t SessionDelegate::requestCount() const {
  std::lock_guard lk(lock_);
  return requests_.size();
}

// ---- availability -----------------------------------------------------------------

bool SessionDelegate::implements(net::Callback callback) const {
  using C = net::Callback;
  switch (callback) {
    case C::background_events_finished: return sessionDidFinishEventsForBackgroundURLSession() != nullptr;
    case C::session_invalid: return sessionDidBecomeInvalidWithError() != nullptr;
    case C::session_challenge:
      return sessionDidReceiveChallenge() != nullptr || sessionDidReceiveChallengeWithCompletion() != nullptr;
    case C::task_redirect:
      return taskWillPerformHTTPRedirection() != nullptr || taskWillPerformHTTPRedirectionWithCompletion() != nullptr;
    case C::data_response:
      return dataTaskDidReceiveResponse() != nullptr || dataTaskDidReceiveResponseWithCompletion() != nullptr;
    case C::stream_read_closed:
    case C::stream_write_closed:
    case C::stream_better_route:
    case C::stream_became_streams: {
      if (platform::os::ProcessInfo::shared().operating_system_version().major < 9) return true;
      if (callback == C::stream_read_closed) return streamTaskReadClosed() != nullptr;
      if (callback == C::stream_write_closed) return streamTaskWriteClosed() != nullptr;
      if (callback == C::stream_better_route) return streamTaskBetterRouteDiscovered() != nullptr;
      return streamTaskDidBecomeInputStream() != nullptr;
    }
    default: return true;
  }
}

// ---- session-level ----------------------------------------------------------------

void SessionDelegate::did_become_invalid(Session& session, std::optional<foundation::Error> error) {
  if (auto f = sessionDidBecomeInvalidWithError()) f(session, error ? std::optional<Error>(Error(*error)) : std::nullopt);
}

void SessionDelegate::did_receive_challenge(Session& session, const net::Challenge& challenge,
                                            net::ChallengeHandler handler) {
  if (auto f = sessionDidReceiveChallengeWithCompletion()) return f(session, challenge, std::move(handler));
  ChallengeAnswer answer{net::AuthDisposition::perform_default, std::nullopt};
  if (auto f = sessionDidReceiveChallenge()) {
    answer = f(session, challenge);
  } else if (challenge.space.authentication_method == net::auth_method_server_trust) {
    if (auto evaluated = evaluateServerTrust(session, challenge)) answer = std::move(*evaluated);
  }
  handler(answer.first, std::move(answer.second));
}

void SessionDelegate::did_finish_events_for_background_session(Session& session) {
  if (auto f = sessionDidFinishEventsForBackgroundURLSession()) f(session);
}

// ---- task-level -------------------------------------------------------------------

void SessionDelegate::will_perform_redirection(Session& session, Task& task, const net::Response& response,
                                               net::Request newRequest, RequestHandler handler) {
  if (auto f = taskWillPerformHTTPRedirectionWithCompletion()) return f(session, task, response, newRequest, std::move(handler));
  std::optional<net::Request> follow = std::move(newRequest);
  if (auto f = taskWillPerformHTTPRedirection()) follow = f(session, task, response, *follow);
  handler(std::move(follow));
}

void SessionDelegate::task_did_receive_challenge(Session& session, Task& task, const net::Challenge& challenge,
                                                 net::ChallengeHandler handler) {
  if (auto f = taskDidReceiveChallengeWithCompletion()) return f(session, task, challenge, std::move(handler));
  if (auto f = taskDidReceiveChallenge()) {
    auto [disposition, credential] = f(session, task, challenge);
    return handler(disposition, std::move(credential));
  }
  if (auto request = requestForTask(task))
    return request->taskDelegate()->didReceiveChallenge(session, task, challenge, std::move(handler));
  did_receive_challenge(session, challenge, std::move(handler));
}

void SessionDelegate::need_new_body_stream(Session& session, Task& task, StreamHandler handler) {
  if (auto f = taskNeedNewBodyStreamWithCompletion()) return f(session, task, std::move(handler));
  if (auto f = taskNeedNewBodyStream()) return handler(f(session, task));
  if (auto request = requestForTask(task)) {
    auto hook = request->taskDelegate()->taskNeedNewBodyStream();
    return handler(hook ? hook(session, task) : nullptr);
  }
  handler(nullptr);  // no stream: the task fails
}

void SessionDelegate::did_send_body_data(Session& session, Task& task, std::int64_t sent, std::int64_t totalSent,
                                         std::int64_t totalExpected) {
  if (auto f = taskDidSendBodyData()) return f(session, task, sent, totalSent, totalExpected);
  auto request = requestForTask(task);
  if (!request) return;
  if (auto upload = std::dynamic_pointer_cast<UploadTaskDelegate>(request->taskDelegate()))
    upload->didSendBodyData(session, task, sent, totalSent, totalExpected);
}

void SessionDelegate::did_finish_collecting_metrics(Session&, Task& task, const net::TaskMetrics& metrics) {
  if (auto request = requestForTask(task)) request->taskDelegate()->setMetrics(std::make_shared<net::TaskMetrics>(metrics));
}

void SessionDelegate::did_complete(Session& session, Task& task, std::optional<foundation::Error> platformError) {
  std::optional<Error> error;
  if (platformError) error = Error(std::move(*platformError));
  auto request = requestForTask(task);
  auto manager = sessionManager();
  if (!request || !manager) return completeTask(session, task, error);

  for (const auto& validation : request->validations()) validation();
  if (auto delegateError = request->taskDelegate()->error()) error = delegateError;

  auto retrier = this->retrier();
  if (!retrier || !error) return completeTask(session, task, error);

  std::weak_ptr<SessionDelegate> weakSelf = weak_from_this();
  auto sessionRef = std::static_pointer_cast<net::Session>(session.shared_from_this());
  auto taskRef = task.shared_from_this();
  auto answered = std::make_shared<std::atomic<bool>>(false);
  Error decided = *error;
  retrier->shouldRetry(manager, request, decided, [=](bool shouldRetry, double timeDelay) {
    if (answered->exchange(true)) return;  // a second answer is ignored
    auto self = weakSelf.lock();
    if (!self) return;
    if (!shouldRetry) return self->completeTask(*sessionRef, *taskRef, decided);
    DispatchQueue::after(dispatch::Queue::global(dispatch::Qos::utility), timeDelay, [=] {
      auto strongSelf = weakSelf.lock();
      if (!strongSelf) return;
      auto strongManager = strongSelf->sessionManager();
      if (strongManager && strongManager->retry(request)) {
        if (auto newTask = request->task()) {
          strongSelf->setRequestForTask(*newTask, request);
          return;
        }
      }
      strongSelf->completeTask(*sessionRef, *taskRef, decided);
    });
  });
}

void SessionDelegate::completeTask(net::Session& session, net::Task& task, const std::optional<Error>& error) {
  if (auto f = taskDidComplete()) f(session, task, error);
  if (auto request = requestForTask(task)) request->taskDelegate()->didCompleteWithError(session, task, error);

  foundation::Dict info{{Notification::Key::task, foundation::Value::object(task.shared_from_this())}};
  if (auto request = requestForTask(task)) {
    auto data = std::dynamic_pointer_cast<DataTaskDelegate>(request->taskDelegate());
    if (data && !data->dataStream()) info.set(Notification::Key::responseData, foundation::Value(data->mutableData()));
  }
  foundation::NotificationCenter::default_center().post(
      foundation::Notification(Notification::Name::Task::didComplete, this, std::move(info)));
  setRequestForTask(task, nullptr);
}

// ---- data tasks -------------------------------------------------------------------

void SessionDelegate::did_receive_response(Session& session, net::DataTask& task, const net::Response& response,
                                           DispositionHandler handler) {
  if (auto f = dataTaskDidReceiveResponseWithCompletion()) return f(session, task, response, std::move(handler));
  auto disposition = net::ResponseDisposition::allow;
  if (auto f = dataTaskDidReceiveResponse()) disposition = f(session, task, response);
  handler(disposition);
}

void SessionDelegate::did_become_download_task(Session& session, net::DataTask& task, net::DownloadTask& download) {
  if (auto f = dataTaskDidBecomeDownloadTask()) return f(session, task, download);
  if (auto request = requestForTask(download))
    request->setTaskDelegate(std::make_shared<DownloadTaskDelegate>(download.shared_from_this()));
}

void SessionDelegate::did_receive_data(Session& session, net::DataTask& task, const Bytes& data) {
  if (auto f = dataTaskDidReceiveData()) return f(session, task, data);
  auto request = requestForTask(task);
  if (!request) return;
  if (auto delegate = std::dynamic_pointer_cast<DataTaskDelegate>(request->taskDelegate()))
    delegate->didReceiveData(session, task, data);
}

void SessionDelegate::will_cache_response(Session& session, net::DataTask& task, net::CachedResponse proposed,
                                          CacheHandler handler) {
  if (auto f = dataTaskWillCacheResponseWithCompletion()) return f(session, task, proposed, std::move(handler));
  if (auto f = dataTaskWillCacheResponse()) return handler(f(session, task, proposed));
  if (auto request = requestForTask(task)) {
    if (auto delegate = std::dynamic_pointer_cast<DataTaskDelegate>(request->taskDelegate())) {
      if (auto hook = delegate->dataTaskWillCacheResponse()) return handler(hook(session, task, proposed));
    }
  }
  handler(std::move(proposed));
}

// ---- download tasks ---------------------------------------------------------------

void SessionDelegate::did_finish_downloading(Session& session, net::DownloadTask& task, const foundation::Url& location) {
  if (auto f = downloadTaskDidFinishDownloadingToURL()) return f(session, task, location);
  auto request = requestForTask(task);
  if (!request) return;
  if (auto delegate = std::dynamic_pointer_cast<DownloadTaskDelegate>(request->taskDelegate()))
    delegate->didFinishDownloading(session, task, location);
}

void SessionDelegate::did_write_data(Session& session, net::DownloadTask& task, std::int64_t written, std::int64_t total,
                                     std::int64_t expected) {
  if (auto f = downloadTaskDidWriteData()) return f(session, task, written, total, expected);
  auto request = requestForTask(task);
  if (!request) return;
  if (auto delegate = std::dynamic_pointer_cast<DownloadTaskDelegate>(request->taskDelegate()))
    delegate->didWriteData(session, task, written, total, expected);
}

void SessionDelegate::did_resume_at_offset(Session& session, net::DownloadTask& task, std::int64_t offset,
                                           std::int64_t expected) {
  if (auto f = downloadTaskDidResumeAtOffset()) return f(session, task, offset, expected);
  auto request = requestForTask(task);
  if (!request) return;
  auto delegate = std::dynamic_pointer_cast<DownloadTaskDelegate>(request->taskDelegate());
  if (!delegate) return;
  if (auto hook = delegate->downloadTaskDidResumeAtOffset()) return hook(session, task, offset, expected);
  auto progress = delegate->progress();
  progress->setTotalUnitCount(expected);
  progress->setCompletedUnitCount(offset);
}

// ---- stream tasks -----------------------------------------------------------------

void SessionDelegate::read_closed(Session& session, net::StreamTask& task) {
  if (auto f = streamTaskReadClosed()) f(session, task);
}
void SessionDelegate::write_closed(Session& session, net::StreamTask& task) {
  if (auto f = streamTaskWriteClosed()) f(session, task);
}
void SessionDelegate::better_route_discovered(Session& session, net::StreamTask& task) {
  if (auto f = streamTaskBetterRouteDiscovered()) f(session, task);
}
void SessionDelegate::did_become_input_stream(Session& session, net::StreamTask& task,
                                              std::shared_ptr<foundation::InputStream> input,
                                              std::shared_ptr<foundation::OutputStream> output) {
  if (auto f = streamTaskDidBecomeInputStream()) f(session, task, std::move(input), std::move(output));
}

}  // namespace Duvarel
