#pragma once
// The session manager: one URL session, its session delegate, a private
// serial queue for task creation, the adapter and the retrier; the factory of
// every request. Factories never fail: a request that cannot be made carries
// its error to its response handlers.
//
// Make managers with init / initWithSession, or make<Subclass>(...) for a
// subclass: the delegate's weak back-reference needs the shared owner.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "http/encoding.h"
#include "http/error.h"
#include "http/http_method.h"
#include "http/request.h"
#include "http/server_trust.h"
#include "http/session_delegate.h"
#include "http/url_convertible.h"
#include "platform/dispatch/queue.h"
#include "platform/net/session.h"

namespace Duvarel {

class MultipartFormData;
struct MultipartFormDataEncodingResult;

class SessionManager : public std::enable_shared_from_this<SessionManager> {
 public:
  using Downloadable = DownloadRequest::Downloadable;
  using Uploadable = UploadRequest::Uploadable;
  using Streamable = StreamRequest::Streamable;

  static constexpr std::uint64_t multipartMemoryThreshold = 10'000'000;

  // The process-wide manager: default configuration with the default headers,
  // a new session delegate, no trust policies. Made once, never released.
  static const std::shared_ptr<SessionManager>& shared();
  // Accept-Encoding, Accept-Language and User-Agent, built once on first use.
  static const HTTPHeaders& defaultHeaders();

  static std::shared_ptr<SessionManager> init(
      net::Configuration configuration = net::Configuration::default_config(),
      std::shared_ptr<SessionDelegate> delegate = std::make_shared<SessionDelegate>(),
      std::shared_ptr<ServerTrustPolicyManager> serverTrustPolicyManager = nullptr);
  // Wraps an existing session; none when the session's delegate is not `delegate`.
  static std::shared_ptr<SessionManager> initWithSession(
      std::shared_ptr<net::Session> session, std::shared_ptr<SessionDelegate> delegate,
      std::shared_ptr<ServerTrustPolicyManager> serverTrustPolicyManager = nullptr);
  template <class M, class... A>
  static std::shared_ptr<M> make(A&&... args) {
    auto manager = std::make_shared<M>(std::forward<A>(args)...);
    manager->bind();
    return manager;
  }

  // Makes a new session on the configuration with the delegate.
  SessionManager(net::Configuration configuration, std::shared_ptr<SessionDelegate> delegate,
                 std::shared_ptr<ServerTrustPolicyManager> serverTrustPolicyManager);
  // Wraps `session`, whose delegate must be `delegate` (initWithSession checks it).
  SessionManager(std::shared_ptr<net::Session> session, std::shared_ptr<SessionDelegate> delegate,
                 std::shared_ptr<ServerTrustPolicyManager> serverTrustPolicyManager);
  // Invalidates the session, cancelling its tasks.
  virtual ~SessionManager();
  SessionManager(const SessionManager&) = delete;
  SessionManager& operator=(const SessionManager&) = delete;

  const std::shared_ptr<net::Session>& session() const { return session_; }
  const std::shared_ptr<SessionDelegate>& delegate() const { return delegate_; }
  const dispatch::Queue& queue() const { return queue_; }

  virtual bool startRequestsImmediately() const { return startRequestsImmediately_.load(); }
  virtual void setStartRequestsImmediately(bool value) { startRequestsImmediately_.store(value); }
  virtual std::shared_ptr<RequestAdapter> adapter() const;
  virtual void setAdapter(std::shared_ptr<RequestAdapter> adapter);
  // Stored in the session delegate.
  virtual std::shared_ptr<RequestRetrier> retrier() const { return delegate_->retrier(); }
  virtual void setRetrier(std::shared_ptr<RequestRetrier> retrier) { delegate_->setRetrier(std::move(retrier)); }
  // Called on the main queue when the session's background events are finished.
  virtual std::function<void()> backgroundCompletionHandler() const;
  virtual void setBackgroundCompletionHandler(std::function<void()> handler);

  // ---- data ----
  virtual std::shared_ptr<DataRequest> makeDataRequest(const URLConvertible& url, HTTPMethod method = HTTPMethod::get,
                                                       std::optional<Parameters> parameters = std::nullopt,
                                                       const ParameterEncoding& encoding = JSONEncoding::standard,
                                                       std::optional<HTTPHeaders> headers = std::nullopt);
  virtual std::shared_ptr<DataRequest> makeDataRequestWithURLRequest(const URLRequestConvertible& urlRequest);
  virtual std::shared_ptr<DataRequest> makeFailedDataRequest(std::optional<URLRequest> urlRequest, const Error& error);

  // ---- download ----
  virtual std::shared_ptr<DownloadRequest> makeDownloadRequest(const URLConvertible& url, HTTPMethod method,
                                                               std::optional<Parameters> parameters,
                                                               const ParameterEncoding& encoding,
                                                               std::optional<HTTPHeaders> headers = std::nullopt,
                                                               DownloadDestination destination = nullptr);
  virtual std::shared_ptr<DownloadRequest> makeDownloadRequestWithURLRequest(const URLRequestConvertible& urlRequest,
                                                                             DownloadDestination destination = nullptr);
  virtual std::shared_ptr<DownloadRequest> makeDownloadRequestResumingWithData(Bytes resumeData,
                                                                               DownloadDestination destination = nullptr);
  virtual std::shared_ptr<DownloadRequest> makeDownloadRequestWithDownloadable(const Downloadable& downloadable,
                                                                               DownloadDestination destination);
  virtual std::shared_ptr<DownloadRequest> makeFailedDownloadRequest(std::optional<Downloadable> downloadable,
                                                                     DownloadDestination destination, const Error& error);

  // ---- upload ----
  virtual std::shared_ptr<UploadRequest> makeFileUploadRequest(const foundation::Url& fileURL, const URLConvertible& url,
                                                               HTTPMethod method = HTTPMethod::post,
                                                               std::optional<HTTPHeaders> headers = std::nullopt);
  virtual std::shared_ptr<UploadRequest> makeFileUploadRequestWithURLRequest(const foundation::Url& fileURL,
                                                                             const URLRequestConvertible& urlRequest);
  virtual std::shared_ptr<UploadRequest> makeDataUploadRequest(Bytes data, const URLConvertible& url,
                                                               HTTPMethod method = HTTPMethod::post,
                                                               std::optional<HTTPHeaders> headers = std::nullopt);
  virtual std::shared_ptr<UploadRequest> makeDataUploadRequestWithURLRequest(Bytes data,
                                                                             const URLRequestConvertible& urlRequest);
  virtual std::shared_ptr<UploadRequest> makeStreamUploadRequest(std::shared_ptr<foundation::InputStream> stream,
                                                                 const URLConvertible& url,
                                                                 HTTPMethod method = HTTPMethod::post,
                                                                 std::optional<HTTPHeaders> headers = std::nullopt);
  virtual std::shared_ptr<UploadRequest> makeStreamUploadRequestWithURLRequest(
      std::shared_ptr<foundation::InputStream> stream, const URLRequestConvertible& urlRequest);
  virtual std::shared_ptr<UploadRequest> makeUploadRequestWithUploadable(const Uploadable& uploadable);
  virtual std::shared_ptr<UploadRequest> makeFailedUploadRequest(std::optional<Uploadable> uploadable, const Error& error);

  // ---- stream ----
  virtual std::shared_ptr<StreamRequest> makeStreamRequest(const std::string& hostName, int port);
  virtual std::shared_ptr<StreamRequest> makeStreamRequestWithNetService(const NetService& netService);
  virtual std::shared_ptr<StreamRequest> makeStreamRequestWithStreamable(const Streamable& streamable);

  // ---- multipart (http/multipart_upload.h) ----
  using MultipartFormDataEncodingResult = Duvarel::MultipartFormDataEncodingResult;
  // The closure fills the form on the global utility queue; the completion runs once, on main.
  virtual void makeMultipartUpload(std::function<void(MultipartFormData&)> multipartFormData,
                                   std::uint64_t encodingMemoryThreshold, const URLConvertible& url, HTTPMethod method,
                                   std::optional<HTTPHeaders> headers = std::nullopt,
                                   std::function<void(MultipartFormDataEncodingResult)> encodingCompletion = nullptr);
  virtual void makeMultipartUploadWithURLRequest(
      std::function<void(MultipartFormData&)> multipartFormData, std::uint64_t encodingMemoryThreshold,
      const URLRequestConvertible& urlRequest,
      std::function<void(MultipartFormDataEncodingResult)> encodingCompletion = nullptr);

  // Gives the request a new task from its original factory and starts it
  // (no resume notification, not registered); false when no task could be made.
  virtual bool retry(const std::shared_ptr<Request>& request);
  // Asks the retrier on the global utility queue about a request that failed
  // at creation; retries after its delay or resumes with the error.
  virtual void consultRetrier(const std::shared_ptr<RequestRetrier>& retrier, const std::shared_ptr<Request>& request,
                              const Error& error);

  // Sets the delegate's back-reference and background-events closure.
  void bind();

 private:
  template <class R>
  void finishTaskPath(const std::shared_ptr<R>& request, const std::shared_ptr<net::Task>& task);

  const dispatch::Queue queue_;
  std::shared_ptr<SessionDelegate> delegate_;
  std::shared_ptr<net::Session> session_;
  std::atomic<bool> startRequestsImmediately_{true};
  mutable std::mutex fieldsLock_;
  std::shared_ptr<RequestAdapter> adapter_;
  std::function<void()> backgroundCompletionHandler_;
};

}  // namespace Duvarel
