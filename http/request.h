#pragma once
// Requests: one HTTP exchange each, owning its task through a task delegate,
// with lifecycle notifications, credentials and two textual descriptions; the
// four kinds and the task factories they are made from.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "http/error.h"
#include "http/task_delegate.h"
#include "http/url_convertible.h"
#include "platform/dispatch/queue.h"
#include "platform/net/session.h"
#include "platform/os/file_manager.h"

namespace Duvarel {

// Lifecycle notifications, posted on the default notification centre.
namespace Notification {
namespace Name::Task {
inline const std::string didResume = "org.duvarel.notification.name.task.didResume";
inline const std::string didSuspend = "org.duvarel.notification.name.task.didSuspend";
inline const std::string didCancel = "org.duvarel.notification.name.task.didCancel";
inline const std::string didComplete = "org.duvarel.notification.name.task.didComplete";
}  // namespace Name::Task
namespace Key {
inline const std::string task = "org.duvarel.notification.key.task";
inline const std::string responseData = "org.duvarel.notification.key.responseData";
}  // namespace Key
}  // namespace Notification

// Rewrites each URL request before its task is made.
class RequestAdapter {
 public:
  virtual ~RequestAdapter() = default;
  virtual Expected<URLRequest> adapt(URLRequest urlRequest) = 0;
};

// Makes the task of a request on a session. An adapter error comes back as an AdaptError.
class TaskConvertible {
 public:
  virtual ~TaskConvertible() = default;
  // The adapter runs on the caller's thread; the task is made inside `queue.sync`,
  // so this must never be called on that queue.
  virtual Expected<std::shared_ptr<net::Task>> task(net::Session& session, const std::shared_ptr<RequestAdapter>& adapter,
                                                    const dispatch::Queue& queue) const = 0;
};

// A service-discovery target. Linux has no service discovery: its stream task
// fails when resumed.
struct NetService {
  std::string domain, type, name;
  int port = -1;
};

class Request : public std::enable_shared_from_this<Request> {
 public:
  struct RequestTask {
    enum class Kind { data, download, upload, stream };
    static RequestTask data(std::shared_ptr<const TaskConvertible> f, std::shared_ptr<net::Task> t) {
      return {Kind::data, std::move(f), std::move(t)};
    }
    static RequestTask download(std::shared_ptr<const TaskConvertible> f, std::shared_ptr<net::Task> t) {
      return {Kind::download, std::move(f), std::move(t)};
    }
    static RequestTask upload(std::shared_ptr<const TaskConvertible> f, std::shared_ptr<net::Task> t) {
      return {Kind::upload, std::move(f), std::move(t)};
    }
    static RequestTask stream(std::shared_ptr<const TaskConvertible> f, std::shared_ptr<net::Task> t) {
      return {Kind::stream, std::move(f), std::move(t)};
    }
    Kind kind;
    std::shared_ptr<const TaskConvertible> factory;  // none when not given
    std::shared_ptr<net::Task> task;                 // none when making it failed
  };

  Request(std::shared_ptr<net::Session> session, RequestTask requestTask, std::optional<Error> error = std::nullopt);
  virtual ~Request();
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;

  const std::shared_ptr<net::Session>& session() const { return session_; }
  const std::shared_ptr<const TaskConvertible>& originalTask() const { return originalTask_; }

  virtual std::shared_ptr<TaskDelegate> taskDelegate() const;
  void setTaskDelegate(std::shared_ptr<TaskDelegate> delegate);
  virtual std::shared_ptr<net::Task> task() const;
  virtual std::optional<URLRequest> request() const;
  // The task's response when it is an HTTP response.
  virtual std::shared_ptr<const net::Response> response() const;
  virtual std::uint64_t retryCount() const { return retryCount_.load(); }
  void incrementRetryCount() { retryCount_.fetch_add(1); }

  virtual Request& authenticate(const std::string& user, const std::string& password,
                                net::Credential::Persistence persistence = net::Credential::for_session);
  virtual Request& authenticate(net::Credential credential);
  // ("Authorization", "Basic " + Base64 of "user:password").
  static std::optional<std::pair<std::string, std::string>> authorizationHeader(const std::string& user,
                                                                                const std::string& password);

  virtual void resume();
  virtual void suspend();
  virtual void cancel();

  // Absolute times (seconds) of the first resume and of the completion.
  std::optional<double> startTime() const;
  void setStartTime(std::optional<double> t);
  std::optional<double> endTime() const;
  void setEndTime(std::optional<double> t);

  // Closures the session delegate runs at each task completion.
  void addValidation(std::function<void()> validation);
  std::vector<std::function<void()>> validations() const;

  // "METHOD URL (status)", parts left out when unknown.
  std::string description() const;
  // A curl command that repeats the request.
  std::string curlRepresentation() const;

 protected:
  // Posts a lifecycle notification for the task with this request as sender.
  void postLifecycle(const std::string& name, const std::shared_ptr<net::Task>& task);

 private:
  struct Timing {
    mutable std::mutex m;
    std::optional<double> start, end;
  };

  const std::shared_ptr<net::Session> session_;
  std::atomic<std::uint64_t> retryCount_{0};
  const std::shared_ptr<const TaskConvertible> originalTask_;
  const std::shared_ptr<Timing> timing_;
  mutable std::mutex validationsLock_;
  std::vector<std::function<void()>> validations_;
  mutable std::mutex taskDelegateLock_;
  std::shared_ptr<TaskDelegate> taskDelegate_;
};

class DataRequest : public Request {
 public:
  struct Requestable final : TaskConvertible {
    explicit Requestable(URLRequest r) : urlRequest(std::move(r)) {}
    Expected<std::shared_ptr<net::Task>> task(net::Session& session, const std::shared_ptr<RequestAdapter>& adapter,
                                              const dispatch::Queue& queue) const override;
    URLRequest urlRequest;
  };

  using Request::Request;

  std::optional<URLRequest> request() const override;
  std::shared_ptr<Progress> progress() const;
  // Received bytes go to the closure instead of being collected.
  DataRequest& streamData(std::function<void(const Bytes&)> closure);
  // The closure runs on `queue` (the main queue by default) after each chunk.
  DataRequest& observeDownloadProgress(ProgressClosure closure, std::optional<dispatch::Queue> queue = std::nullopt);

 protected:
  std::shared_ptr<DataTaskDelegate> dataDelegate() const;
};

enum class SearchPathDomain : unsigned { user = 1, local = 2, network = 4, system = 8, all = 0x0ffff };

class DownloadRequest : public Request {
 public:
  using DownloadOptions = Duvarel::DownloadOptions;
  using DownloadDestination = Duvarel::DownloadDestination;

  struct Downloadable final : TaskConvertible {
    static Downloadable request(URLRequest r) {
      Downloadable d;
      d.urlRequest_ = std::move(r);
      return d;
    }
    static Downloadable resumeData(Bytes data) {
      Downloadable d;
      d.resumeData_ = std::move(data);
      return d;
    }
    Expected<std::shared_ptr<net::Task>> task(net::Session& session, const std::shared_ptr<RequestAdapter>& adapter,
                                              const dispatch::Queue& queue) const override;
    // The request of the request case; none for resume data.
    const URLRequest* urlRequest() const { return urlRequest_ ? &*urlRequest_ : nullptr; }
    // The data of the resumeData case.
    const Bytes* data() const { return resumeData_ ? &*resumeData_ : nullptr; }

   private:
    Downloadable() = default;
    std::optional<URLRequest> urlRequest_;
    std::optional<Bytes> resumeData_;
  };

  using Request::Request;

  std::optional<URLRequest> request() const override;
  // Cancels producing resume data; didCancel is posted at once, the data arrives later.
  void cancel() override;
  std::optional<Bytes> resumeData() const;
  std::shared_ptr<Progress> progress() const;
  DownloadRequest& observeDownloadProgress(ProgressClosure closure, std::optional<dispatch::Queue> queue = std::nullopt);

  // The response's suggested file name (reduced to a safe base name) in the
  // first URL of the directory, no options; the temporary URL when the
  // directory has no URL in the domain.
  static DownloadDestination suggestedDownloadDestination(
      platform::os::Directory directory = platform::os::Directory::documents,
      SearchPathDomain domain = SearchPathDomain::user);

 protected:
  std::shared_ptr<DownloadTaskDelegate> downloadDelegate() const;
};

class UploadRequest : public DataRequest {
 public:
  struct Uploadable final : TaskConvertible {
    struct Data {
      Bytes data;
      URLRequest urlRequest;
    };
    struct File {
      foundation::Url file;
      URLRequest urlRequest;
    };
    struct Stream {
      std::shared_ptr<foundation::InputStream> stream;
      URLRequest urlRequest;
    };
    static Uploadable data(Bytes d, URLRequest r) { return Uploadable(Data{std::move(d), std::move(r)}); }
    static Uploadable file(foundation::Url f, URLRequest r) { return Uploadable(File{std::move(f), std::move(r)}); }
    static Uploadable stream(std::shared_ptr<foundation::InputStream> s, URLRequest r) {
      return Uploadable(Stream{std::move(s), std::move(r)});
    }
    Expected<std::shared_ptr<net::Task>> task(net::Session& session, const std::shared_ptr<RequestAdapter>& adapter,
                                              const dispatch::Queue& queue) const override;
    const URLRequest& urlRequest() const;
    std::variant<Data, File, Stream> value;

   private:
    explicit Uploadable(std::variant<Data, File, Stream> v) : value(std::move(v)) {}
  };

  using DataRequest::DataRequest;

  std::optional<URLRequest> request() const override;
  std::shared_ptr<Progress> uploadProgress() const;
  UploadRequest& observeUploadProgress(ProgressClosure closure, std::optional<dispatch::Queue> queue = std::nullopt);
};

class StreamRequest : public Request {
 public:
  struct Streamable final : TaskConvertible {
    struct HostPort {
      std::string hostName;
      int port = 0;
    };
    static Streamable stream(std::string hostName, int port) { return Streamable(HostPort{std::move(hostName), port}); }
    static Streamable netService(NetService service) { return Streamable(std::move(service)); }
    Expected<std::shared_ptr<net::Task>> task(net::Session& session, const std::shared_ptr<RequestAdapter>& adapter,
                                              const dispatch::Queue& queue) const override;
    std::variant<HostPort, NetService> value;

   private:
    explicit Streamable(std::variant<HostPort, NetService> v) : value(std::move(v)) {}
  };

  using Request::Request;
};

}  // namespace Duvarel
