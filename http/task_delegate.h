#pragma once
// Per-task state of one request: the task, its error and timing, the response
// body, progress, and the suspended operation queue on which response work
// waits until the task completes.
//
// Threading: the session delegate calls the session-task operations one at a
// time on the session's delegate queue; completion may also arrive from a
// retry path on another thread. Fields set by callers (handlers, hooks, the
// stream closure, the credential) and fields read by response work are guarded
// by the delegate's own mutex, which is always the innermost lock and is never
// held while user code runs.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "http/error.h"
#include "platform/dispatch/operation.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/url.h"
#include "platform/net/session.h"

namespace Duvarel {

namespace net = platform::net;
namespace dispatch = platform::dispatch;
namespace foundation = platform::foundation;
using Bytes = foundation::Bytes;

// Transfer-size value for a total that is not known.
inline constexpr std::int64_t TransferSizeUnknown = -1;

// Progress of one transfer: a total and a completed unit count. Readable from
// any thread.
class Progress {
 public:
  explicit Progress(std::int64_t total = 0) : total_(total) {}
  std::int64_t totalUnitCount() const { return total_.load(); }
  std::int64_t completedUnitCount() const { return completed_.load(); }
  void setTotalUnitCount(std::int64_t n) { total_.store(n); }
  void setCompletedUnitCount(std::int64_t n) { completed_.store(n); }
  // completed / total; 0 when the total is not positive.
  double fractionCompleted() const;

 private:
  std::atomic<std::int64_t> total_;
  std::atomic<std::int64_t> completed_{0};
};

using ProgressClosure = std::function<void(std::shared_ptr<Progress>)>;
struct ProgressHandler {
  ProgressClosure closure;
  dispatch::Queue queue;
};

class DownloadOptions;
using DownloadDestination =
    std::function<std::pair<foundation::Url, DownloadOptions>(const foundation::Url& temporaryURL, const net::Response&)>;

// A set of download options over an unsigned 64-bit raw value.
class DownloadOptions {
 public:
  constexpr DownloadOptions() = default;
  constexpr explicit DownloadOptions(std::uint64_t raw) : rawValue(raw) {}
  constexpr DownloadOptions(std::initializer_list<DownloadOptions> list) {
    for (auto o : list) rawValue |= o.rawValue;
  }
  static const DownloadOptions createParentDirectories;
  static const DownloadOptions removeExistingFile;

  constexpr bool contains(DownloadOptions o) const { return (rawValue & o.rawValue) == o.rawValue; }
  constexpr bool isEmpty() const { return rawValue == 0; }
  constexpr bool isSubset(DownloadOptions of) const { return (rawValue & ~of.rawValue) == 0; }
  constexpr DownloadOptions unionWith(DownloadOptions o) const { return DownloadOptions(rawValue | o.rawValue); }
  constexpr DownloadOptions intersection(DownloadOptions o) const { return DownloadOptions(rawValue & o.rawValue); }
  constexpr DownloadOptions symmetricDifference(DownloadOptions o) const { return DownloadOptions(rawValue ^ o.rawValue); }
  constexpr DownloadOptions subtracting(DownloadOptions o) const { return DownloadOptions(rawValue & ~o.rawValue); }
  friend constexpr DownloadOptions operator|(DownloadOptions a, DownloadOptions b) { return a.unionWith(b); }
  friend constexpr DownloadOptions operator&(DownloadOptions a, DownloadOptions b) { return a.intersection(b); }
  friend constexpr DownloadOptions operator^(DownloadOptions a, DownloadOptions b) { return a.symmetricDifference(b); }
  friend constexpr DownloadOptions operator-(DownloadOptions a, DownloadOptions b) { return a.subtracting(b); }
  friend constexpr bool operator==(DownloadOptions, DownloadOptions) = default;

  std::uint64_t rawValue = 0;
};
inline constexpr DownloadOptions DownloadOptions::createParentDirectories{1};
inline constexpr DownloadOptions DownloadOptions::removeExistingFile{2};

using ChallengeAnswer = std::pair<net::AuthDisposition, std::optional<net::Credential>>;

class TaskDelegate : public std::enable_shared_from_this<TaskDelegate> {
 public:
  using RedirectHook = std::function<std::optional<net::Request>(net::Session&, net::Task&, const net::Response&,
                                                                 const net::Request&)>;
  using ChallengeHook = std::function<ChallengeAnswer(net::Session&, net::Task&, const net::Challenge&)>;
  using BodyStreamHook = std::function<std::shared_ptr<foundation::InputStream>(net::Session&, net::Task&)>;
  using CompleteHook = std::function<void(net::Session&, net::Task&, const std::optional<Error>&)>;

  explicit TaskDelegate(std::shared_ptr<net::Task> task);
  TaskDelegate() = delete;
  virtual ~TaskDelegate();
  TaskDelegate(const TaskDelegate&) = delete;
  TaskDelegate& operator=(const TaskDelegate&) = delete;

  // The serial queue (one at a time, utility, created suspended) on which
  // response work waits for completion.
  dispatch::OperationQueue& queue() const { return *queue_; }

  // The response body: none for the base class.
  virtual std::optional<Bytes> data() const { return std::nullopt; }

  virtual std::optional<Error> error() const;
  virtual void setError(std::optional<Error> error);
  virtual std::shared_ptr<net::Task> task() const;
  // Stores the task and resets the per-attempt state, under the task lock.
  virtual void setTask(std::shared_ptr<net::Task> task);
  virtual std::optional<double> initialResponseTime() const;
  virtual void setInitialResponseTime(std::optional<double> t);
  virtual std::optional<net::Credential> credential() const;
  virtual void setCredential(std::optional<net::Credential> credential);
  virtual std::shared_ptr<const net::TaskMetrics> metrics() const;
  virtual void setMetrics(std::shared_ptr<const net::TaskMetrics> metrics);

  // Clears the per-attempt state (error, initial response time).
  virtual void reset();

  virtual RedirectHook taskWillPerformHTTPRedirection() const;
  virtual void setTaskWillPerformHTTPRedirection(RedirectHook hook);
  virtual ChallengeHook taskDidReceiveChallenge() const;
  virtual void setTaskDidReceiveChallenge(ChallengeHook hook);
  virtual BodyStreamHook taskNeedNewBodyStream() const;
  virtual void setTaskNeedNewBodyStream(BodyStreamHook hook);
  virtual CompleteHook taskDidCompleteWithError() const;
  virtual void setTaskDidCompleteWithError(CompleteHook hook);

  // Session-task operations.
  virtual void willPerformHTTPRedirection(net::Session& session, net::Task& task, const net::Response& response,
                                          net::Request request, std::function<void(std::optional<net::Request>)> handler);
  virtual void didReceiveChallenge(net::Session& session, net::Task& task, const net::Challenge& challenge,
                                   net::ChallengeHandler handler);
  virtual void needNewBodyStream(net::Session& session, net::Task& task,
                                 std::function<void(std::shared_ptr<foundation::InputStream>)> handler);
  virtual void didCompleteWithError(net::Session& session, net::Task& task, std::optional<Error> error);

 protected:
  // Stamps the initial response time when none is set yet.
  void stampInitialResponseTime();
  // Schedules a progress closure on its queue, keeping this delegate alive until it ran.
  void scheduleProgress(const std::optional<ProgressHandler>& handler, const std::shared_ptr<Progress>& progress);
  // Called by the completion after the error is recorded (downloads take their resume data).
  virtual void tookCompletionError(const Error&) {}
  // Per-class reset of the subclass state; called with m_ held. Overrides call their base first.
  virtual void resetState();

  mutable std::mutex m_;  // guards the state below and the subclasses' state

 private:

  const std::shared_ptr<dispatch::OperationQueue> queue_;
  std::optional<Error> error_;
  std::optional<double> initialResponseTime_;
  std::optional<net::Credential> credential_;
  std::shared_ptr<const net::TaskMetrics> metrics_;
  RedirectHook redirectHook_;
  ChallengeHook challengeHook_;
  BodyStreamHook bodyStreamHook_;
  CompleteHook completeHook_;

  mutable std::mutex taskLock_;
  std::shared_ptr<net::Task> task_;
};

class DataTaskDelegate : public TaskDelegate {
 public:
  using ResponseHook = std::function<net::ResponseDisposition(net::Session&, net::DataTask&, const net::Response&)>;
  using BecameDownloadHook = std::function<void(net::Session&, net::DataTask&, net::DownloadTask&)>;
  using DataHook = std::function<void(net::Session&, net::DataTask&, const Bytes&)>;
  using CacheHook = std::function<std::optional<net::CachedResponse>(net::Session&, net::DataTask&, const net::CachedResponse&)>;
  using DataStream = std::function<void(const Bytes&)>;

  explicit DataTaskDelegate(std::shared_ptr<net::Task> task);

  // None while a data stream is set; otherwise the collected body (empty, not
  // none, when no body arrived). A copy: read it once the task has completed.
  std::optional<Bytes> data() const override;
  // The collected body in place, for work queued behind the completion.
  const Bytes& mutableData() const { return mutableData_; }

  std::shared_ptr<Progress> progress() const;
  std::optional<ProgressHandler> progressHandler() const;
  void setProgressHandler(std::optional<ProgressHandler> handler);
  DataStream dataStream() const;
  void setDataStream(DataStream stream);
  std::int64_t totalBytesReceived() const;
  std::optional<std::int64_t> expectedContentLength() const;

  ResponseHook dataTaskDidReceiveResponse() const;
  void setDataTaskDidReceiveResponse(ResponseHook hook);
  BecameDownloadHook dataTaskDidBecomeDownloadTask() const;
  void setDataTaskDidBecomeDownloadTask(BecameDownloadHook hook);
  DataHook dataTaskDidReceiveData() const;
  void setDataTaskDidReceiveData(DataHook hook);
  CacheHook dataTaskWillCacheResponse() const;
  void setDataTaskWillCacheResponse(CacheHook hook);

  virtual void didReceiveResponse(net::Session& session, net::DataTask& task, const net::Response& response,
                                  std::function<void(net::ResponseDisposition)> handler);
  virtual void didBecomeDownloadTask(net::Session& session, net::DataTask& task, net::DownloadTask& download);
  virtual void didReceiveData(net::Session& session, net::DataTask& task, const Bytes& data);
  virtual void willCacheResponse(net::Session& session, net::DataTask& task, net::CachedResponse proposed,
                                 std::function<void(std::optional<net::CachedResponse>)> handler);

 protected:
  void resetState() override;

 private:
  std::shared_ptr<Progress> progress_;
  std::optional<ProgressHandler> progressHandler_;
  DataStream dataStream_;
  std::int64_t totalBytesReceived_ = 0;
  Bytes mutableData_;  // written on the delegate queue only
  std::optional<std::int64_t> expectedContentLength_;
  ResponseHook responseHook_;
  BecameDownloadHook becameDownloadHook_;
  DataHook dataHook_;
  CacheHook cacheHook_;
};

class DownloadTaskDelegate : public TaskDelegate {
 public:
  using FinishHook = std::function<foundation::Url(net::Session&, net::DownloadTask&, const foundation::Url&)>;
  using WriteHook = std::function<void(net::Session&, net::DownloadTask&, std::int64_t, std::int64_t, std::int64_t)>;
  using ResumeHook = std::function<void(net::Session&, net::DownloadTask&, std::int64_t, std::int64_t)>;

  explicit DownloadTaskDelegate(std::shared_ptr<net::Task> task);

  // The resume data.
  std::optional<Bytes> data() const override { return resumeData(); }

  std::shared_ptr<Progress> progress() const;
  std::optional<ProgressHandler> progressHandler() const;
  void setProgressHandler(std::optional<ProgressHandler> handler);
  std::optional<Bytes> resumeData() const;
  void setResumeData(std::optional<Bytes> data);
  DownloadDestination destination() const;
  void setDestination(DownloadDestination destination);
  std::optional<foundation::Url> temporaryURL() const;
  std::optional<foundation::Url> destinationURL() const;

  FinishHook downloadTaskDidFinishDownloadingToURL() const;
  void setDownloadTaskDidFinishDownloadingToURL(FinishHook hook);
  WriteHook downloadTaskDidWriteData() const;
  void setDownloadTaskDidWriteData(WriteHook hook);
  ResumeHook downloadTaskDidResumeAtOffset() const;
  void setDownloadTaskDidResumeAtOffset(ResumeHook hook);

  virtual void didFinishDownloading(net::Session& session, net::DownloadTask& task, const foundation::Url& location);
  virtual void didWriteData(net::Session& session, net::DownloadTask& task, std::int64_t written, std::int64_t total,
                            std::int64_t expected);
  virtual void didResumeAtOffset(net::Session& session, net::DownloadTask& task, std::int64_t offset,
                                 std::int64_t expected);

 protected:
  void tookCompletionError(const Error& error) override;
  void resetState() override;

 private:

  std::shared_ptr<Progress> progress_;
  std::optional<ProgressHandler> progressHandler_;
  std::optional<Bytes> resumeData_;
  DownloadDestination destination_;
  std::optional<foundation::Url> temporaryURL_, destinationURL_;
  FinishHook finishHook_;
  WriteHook writeHook_;
  ResumeHook resumeHook_;
};

class UploadTaskDelegate : public DataTaskDelegate {
 public:
  using SendBodyHook = std::function<void(net::Session&, net::Task&, std::int64_t, std::int64_t, std::int64_t)>;

  explicit UploadTaskDelegate(std::shared_ptr<net::Task> task);

  std::shared_ptr<Progress> uploadProgress() const;
  std::optional<ProgressHandler> uploadProgressHandler() const;
  void setUploadProgressHandler(std::optional<ProgressHandler> handler);
  SendBodyHook taskDidSendBodyData() const;
  void setTaskDidSendBodyData(SendBodyHook hook);

  virtual void didSendBodyData(net::Session& session, net::Task& task, std::int64_t sent, std::int64_t totalSent,
                               std::int64_t totalExpected);

 protected:
  void resetState() override;

 private:
  std::shared_ptr<Progress> uploadProgress_;
  std::optional<ProgressHandler> uploadProgressHandler_;
  SendBodyHook sendBodyHook_;
};


}  // namespace Duvarel
