#pragma once
// The one delegate of a session manager's URL session: override closures, the
// request table by task identifier, and the end of every task (validations,
// the retrier and its delay, the task delegate's completion, the completion
// notification, the removal from the table).
//
// Locks: the table lock and the closure lock are each held for one read or
// write only, never while a closure, a task delegate, the retrier or the
// manager runs, and never together with a request's or task delegate's lock.
#include <any>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "http/error.h"
#include "http/request.h"
#include "http/task_delegate.h"
#include "platform/net/session.h"

// The override closures stored as they are: X(Type, getter, setter) each.
#define DUVAREL_SESSION_CLOSURES(X) \
  X(SessionDidBecomeInvalidWithError, sessionDidBecomeInvalidWithError, setSessionDidBecomeInvalidWithError) \
  X(SessionDidReceiveChallenge, sessionDidReceiveChallenge, setSessionDidReceiveChallenge) \
  X(SessionDidReceiveChallengeWithCompletion, sessionDidReceiveChallengeWithCompletion, setSessionDidReceiveChallengeWithCompletion) \
  X(SessionDidFinishEventsForBackgroundURLSession, sessionDidFinishEventsForBackgroundURLSession, setSessionDidFinishEventsForBackgroundURLSession) \
  X(TaskWillPerformHTTPRedirection, taskWillPerformHTTPRedirection, setTaskWillPerformHTTPRedirection) \
  X(TaskWillPerformHTTPRedirectionWithCompletion, taskWillPerformHTTPRedirectionWithCompletion, setTaskWillPerformHTTPRedirectionWithCompletion) \
  X(TaskDidReceiveChallenge, taskDidReceiveChallenge, setTaskDidReceiveChallenge) \
  X(TaskDidReceiveChallengeWithCompletion, taskDidReceiveChallengeWithCompletion, setTaskDidReceiveChallengeWithCompletion) \
  X(TaskNeedNewBodyStream, taskNeedNewBodyStream, setTaskNeedNewBodyStream) \
  X(TaskNeedNewBodyStreamWithCompletion, taskNeedNewBodyStreamWithCompletion, setTaskNeedNewBodyStreamWithCompletion) \
  X(TaskDidSendBodyData, taskDidSendBodyData, setTaskDidSendBodyData) \
  X(TaskDidComplete, taskDidComplete, setTaskDidComplete) \
  X(DataTaskDidReceiveResponse, dataTaskDidReceiveResponse, setDataTaskDidReceiveResponse) \
  X(DataTaskDidReceiveResponseWithCompletion, dataTaskDidReceiveResponseWithCompletion, setDataTaskDidReceiveResponseWithCompletion) \
  X(DataTaskDidBecomeDownloadTask, dataTaskDidBecomeDownloadTask, setDataTaskDidBecomeDownloadTask) \
  X(DataTaskDidReceiveData, dataTaskDidReceiveData, setDataTaskDidReceiveData) \
  X(DataTaskWillCacheResponse, dataTaskWillCacheResponse, setDataTaskWillCacheResponse) \
  X(DataTaskWillCacheResponseWithCompletion, dataTaskWillCacheResponseWithCompletion, setDataTaskWillCacheResponseWithCompletion) \
  X(DownloadTaskDidFinishDownloadingToURL, downloadTaskDidFinishDownloadingToURL, setDownloadTaskDidFinishDownloadingToURL) \
  X(DownloadTaskDidWriteData, downloadTaskDidWriteData, setDownloadTaskDidWriteData) \
  X(DownloadTaskDidResumeAtOffset, downloadTaskDidResumeAtOffset, setDownloadTaskDidResumeAtOffset)

namespace Duvarel {

class SessionManager;

// Decides whether and after what delay a failed request is made again. The
// completion may be called on any thread; only its first call counts.
class RequestRetrier {
 public:
  using RequestRetryCompletion = std::function<void(bool shouldRetry, double timeDelay)>;
  virtual ~RequestRetrier() = default;
  virtual void shouldRetry(const std::shared_ptr<SessionManager>& manager, const std::shared_ptr<Request>& request,
                           const Error& error, RequestRetryCompletion completion) = 0;
};

class SessionDelegate : public net::SessionDelegate, public std::enable_shared_from_this<SessionDelegate> {
 public:
  using Session = net::Session;
  using Task = net::Task;
  using RequestHandler = std::function<void(std::optional<net::Request>)>;
  using StreamHandler = std::function<void(std::shared_ptr<foundation::InputStream>)>;
  using DispositionHandler = std::function<void(net::ResponseDisposition)>;
  using CacheHandler = std::function<void(std::optional<net::CachedResponse>)>;

  using SessionDidBecomeInvalidWithError = std::function<void(Session&, const std::optional<Error>&)>;
  using SessionDidReceiveChallenge = std::function<ChallengeAnswer(Session&, const net::Challenge&)>;
  using SessionDidReceiveChallengeWithCompletion =
      std::function<void(Session&, const net::Challenge&, net::ChallengeHandler)>;
  using SessionDidFinishEventsForBackgroundURLSession = std::function<void(Session&)>;
  using TaskWillPerformHTTPRedirection =
      std::function<std::optional<net::Request>(Session&, Task&, const net::Response&, const net::Request&)>;
  using TaskWillPerformHTTPRedirectionWithCompletion =
      std::function<void(Session&, Task&, const net::Response&, const net::Request&, RequestHandler)>;
  using TaskDidReceiveChallenge = std::function<ChallengeAnswer(Session&, Task&, const net::Challenge&)>;
  using TaskDidReceiveChallengeWithCompletion =
      std::function<void(Session&, Task&, const net::Challenge&, net::ChallengeHandler)>;
  using TaskNeedNewBodyStream = std::function<std::shared_ptr<foundation::InputStream>(Session&, Task&)>;
  using TaskNeedNewBodyStreamWithCompletion = std::function<void(Session&, Task&, StreamHandler)>;
  using TaskDidSendBodyData = std::function<void(Session&, Task&, std::int64_t, std::int64_t, std::int64_t)>;
  using TaskDidComplete = std::function<void(Session&, Task&, const std::optional<Error>&)>;
  using DataTaskDidReceiveResponse = std::function<net::ResponseDisposition(Session&, net::DataTask&, const net::Response&)>;
  using DataTaskDidReceiveResponseWithCompletion =
      std::function<void(Session&, net::DataTask&, const net::Response&, DispositionHandler)>;
  using DataTaskDidBecomeDownloadTask = std::function<void(Session&, net::DataTask&, net::DownloadTask&)>;
  using DataTaskDidReceiveData = std::function<void(Session&, net::DataTask&, const Bytes&)>;
  using DataTaskWillCacheResponse =
      std::function<std::optional<net::CachedResponse>(Session&, net::DataTask&, const net::CachedResponse&)>;
  using DataTaskWillCacheResponseWithCompletion =
      std::function<void(Session&, net::DataTask&, const net::CachedResponse&, CacheHandler)>;
  using DownloadTaskDidFinishDownloadingToURL = std::function<void(Session&, net::DownloadTask&, const foundation::Url&)>;
  using DownloadTaskDidWriteData = std::function<void(Session&, net::DownloadTask&, std::int64_t, std::int64_t, std::int64_t)>;
  using DownloadTaskDidResumeAtOffset = std::function<void(Session&, net::DownloadTask&, std::int64_t, std::int64_t)>;
  using StreamTaskReadClosed = std::function<void(Session&, net::StreamTask&)>;
  using StreamTaskWriteClosed = std::function<void(Session&, net::StreamTask&)>;
  using StreamTaskBetterRouteDiscovered = std::function<void(Session&, net::StreamTask&)>;
  using StreamTaskDidBecomeInputStream = std::function<void(Session&, net::StreamTask&, std::shared_ptr<foundation::InputStream>,
                                                            std::shared_ptr<foundation::OutputStream>)>;

  SessionDelegate();
  ~SessionDelegate() override;

#define DUVAREL_CLOSURE(Type, getter, setter) \
  virtual Type getter() const;                \
  virtual void setter(Type closure);
  DUVAREL_SESSION_CLOSURES(DUVAREL_CLOSURE)
  // The four stream-task closures are stored type-erased; a stored value of
  // another type reads as none.
  DUVAREL_CLOSURE(StreamTaskReadClosed, streamTaskReadClosed, setStreamTaskReadClosed)
  DUVAREL_CLOSURE(StreamTaskWriteClosed, streamTaskWriteClosed, setStreamTaskWriteClosed)
  DUVAREL_CLOSURE(StreamTaskBetterRouteDiscovered, streamTaskBetterRouteDiscovered, setStreamTaskBetterRouteDiscovered)
  DUVAREL_CLOSURE(StreamTaskDidBecomeInputStream, streamTaskDidBecomeInputStream, setStreamTaskDidBecomeInputStream)
#undef DUVAREL_CLOSURE

  // The type-erased storage of the stream-task closures.
  enum class StreamClosure { readClosed, writeClosed, betterRouteDiscovered, didBecomeInputStream };
  std::any storedStreamClosure(StreamClosure which) const;
  void setStoredStreamClosure(StreamClosure which, std::any value);

  std::shared_ptr<RequestRetrier> retrier() const;
  void setRetrier(std::shared_ptr<RequestRetrier> retrier);
  std::shared_ptr<SessionManager> sessionManager() const;
  void setSessionManager(std::weak_ptr<SessionManager> manager);

  // The request table, keyed by task identifier.
  virtual std::shared_ptr<Request> requestForTask(const net::Task& task) const;
  virtual void setRequestForTask(const net::Task& task, std::shared_ptr<Request> request);
  std::size_t requestCount() const;

  // Runs the end of a task: taskDidComplete, the task delegate's completion,
  // the didComplete post, then the removal of the table entry.
  void completeTask(net::Session& session, net::Task& task, const std::optional<Error>& error);

  // net::SessionDelegate
  bool implements(net::Callback callback) const override;
  void did_become_invalid(Session& session, std::optional<foundation::Error> error) override;
  void did_receive_challenge(Session& session, const net::Challenge& challenge, net::ChallengeHandler handler) override;
  void did_finish_events_for_background_session(Session& session) override;
  void will_perform_redirection(Session& session, Task& task, const net::Response& response, net::Request newRequest,
                                RequestHandler handler) override;
  void task_did_receive_challenge(Session& session, Task& task, const net::Challenge& challenge,
                                  net::ChallengeHandler handler) override;
  void need_new_body_stream(Session& session, Task& task, StreamHandler handler) override;
  void did_send_body_data(Session& session, Task& task, std::int64_t sent, std::int64_t totalSent,
                          std::int64_t totalExpected) override;
  void did_finish_collecting_metrics(Session& session, Task& task, const net::TaskMetrics& metrics) override;
  void did_complete(Session& session, Task& task, std::optional<foundation::Error> error) override;
  void did_receive_response(Session& session, net::DataTask& task, const net::Response& response,
                            DispositionHandler handler) override;
  void did_become_download_task(Session& session, net::DataTask& task, net::DownloadTask& download) override;
  void did_receive_data(Session& session, net::DataTask& task, const Bytes& data) override;
  void will_cache_response(Session& session, net::DataTask& task, net::CachedResponse proposed,
                           CacheHandler handler) override;
  void did_finish_downloading(Session& session, net::DownloadTask& task, const foundation::Url& location) override;
  void did_write_data(Session& session, net::DownloadTask& task, std::int64_t written, std::int64_t total,
                      std::int64_t expected) override;
  void did_resume_at_offset(Session& session, net::DownloadTask& task, std::int64_t offset, std::int64_t expected) override;
  void read_closed(Session& session, net::StreamTask& task) override;
  void write_closed(Session& session, net::StreamTask& task) override;
  void better_route_discovered(Session& session, net::StreamTask& task) override;
  // The platform sends no such callback on Linux; routed for completeness.
  virtual void did_become_input_stream(Session& session, net::StreamTask& task,
                                       std::shared_ptr<foundation::InputStream> input,
                                       std::shared_ptr<foundation::OutputStream> output);

 private:
  struct Closures;
  mutable std::mutex closuresLock_;
  std::unique_ptr<Closures> closures_;
  std::shared_ptr<RequestRetrier> retrier_;
  std::weak_ptr<SessionManager> sessionManager_;

  mutable std::mutex lock_;
  std::map<std::int64_t, std::shared_ptr<Request>> requests_;
};

}  // namespace Duvarel
