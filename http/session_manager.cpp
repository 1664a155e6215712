#include "http/session_manager.h"

#include "http/default_headers.h"
#include "platform/dispatch/clock.h"
#include "platform/foundation/uuid.h"

namespace Duvarel {

namespace {
dispatch::Queue makeManagerQueue() {
  return dispatch::Queue::serial("org.duvarel.session-manager." + foundation::Uuid::random().string());
}
dispatch::Queue utilityQueue() { return dispatch::Queue::global(dispatch::Qos::utility); }
}  // namespace

const HTTPHeaders& SessionManager::defaultHeaders() {
  static const HTTPHeaders headers = makeDefaultHeaders();
  return headers;
}

const std::shared_ptr<SessionManager>& SessionManager::shared() {
  static const auto* manager = [] {
    auto configuration = net::Configuration::default_config();
    for (const auto& [name, value] : defaultHeaders()) configuration.http_additional_headers.set(name, value);
    return new std::shared_ptr<SessionManager>(init(std::move(configuration)));
  }();
  return *manager;
}

std::shared_ptr<SessionManager> SessionManager::init(net::Configuration configuration,
                                                     std::shared_ptr<SessionDelegate> delegate,
                                                     std::shared_ptr<ServerTrustPolicyManager> serverTrustPolicyManager) {
  return make<SessionManager>(std::move(configuration), std::move(delegate), std::move(serverTrustPolicyManager));
}

std::shared_ptr<SessionManager> SessionManager::initWithSession(
    std::shared_ptr<net::Session> session, std::shared_ptr<SessionDelegate> delegate,
    std::shared_ptr<ServerTrustPolicyManager> serverTrustPolicyManager) {
  if (!session || !delegate || session->delegate() != static_cast<net::SessionDelegate*>(delegate.get())) return nullptr;
  return make<SessionManager>(std::move(session), std::move(delegate), std::move(serverTrustPolicyManager));
}

SessionManager::SessionManager(net::Configuration configuration, std::shared_ptr<SessionDelegate> delegate,
                               std::shared_ptr<ServerTrustPolicyManager> serverTrustPolicyManager)
    : queue_(makeManagerQueue()),
      delegate_(std::move(delegate)),
      session_(net::Session::make(std::move(configuration), delegate_)) {
  attachServerTrustPolicyManager(*session_, std::move(serverTrustPolicyManager));
}

SessionManager::SessionManager(std::shared_ptr<net::Session> session, std::shared_ptr<SessionDelegate> delegate,
                               std::shared_ptr<ServerTrustPolicyManager> serverTrustPolicyManager)
    : queue_(makeManagerQueue()), delegate_(std::move(delegate)), session_(std::move(session)) {
  attachServerTrustPolicyManager(*session_, std::move(serverTrustPolicyManager));
}

SessionManager::~SessionManager() { session_->invalidate_and_cancel(); }

void SessionManager::bind() {
  std::weak_ptr<SessionManager> weakSelf = weak_from_this();
  delegate_->setSessionManager(weakSelf);
  delegate_->setSessionDidFinishEventsForBackgroundURLSession([weakSelf](net::Session&) {
    auto self = weakSelf.lock();
    if (!self) return;
    dispatch::Queue::main().async([self] {
      if (auto handler = self->backgroundCompletionHandler()) handler();
    });
  });
}

std::shared_ptr<RequestAdapter> SessionManager::adapter() const {
  std::lock_guard lk(fieldsLock_);
  return adapter_;
}
void SessionManager::setAdapter(std::shared_ptr<RequestAdapter> adapter) {
  std::lock_guard lk(fieldsLock_);
  adapter_ = std::move(adapter);
}
std::function<void()> SessionManager::backgroundCompletionHandler() const {
  std::lock_guard lk(fieldsLock_);
  return backgroundCompletionHandler_;
}
void SessionManager::setBackgroundCompletionHandler(std::function<void()> handler) {
  std::lock_guard lk(fieldsLock_);
  backgroundCompletionHandler_ = std::move(handler);
}

template <class R>
void SessionManager::finishTaskPath(const std::shared_ptr<R>& request, const std::shared_ptr<net::Task>& task) {
  delegate_->setRequestForTask(*task, request);  // registered before it may start
  if (startRequestsImmediately()) request->resume();
}

// ---- data -------------------------------------------------------------------------

std::shared_ptr<DataRequest> SessionManager::makeDataRequest(const URLConvertible& url, HTTPMethod method,
                                                             std::optional<Parameters> parameters,
                                                             const ParameterEncoding& encoding,
                                                             std::optional<HTTPHeaders> headers) {
  Expected<URLRequest> built = makeURLRequest(url, method, headers);
  if (!built) return SessionManager::makeFailedDataRequest(std::nullopt, built.error());
  Expected<URLRequest> encoded = encoding.encode(*built, parameters);
  if (!encoded) return SessionManager::makeFailedDataRequest(*built, encoded.error());
  return makeDataRequestWithURLRequest(*encoded);
}

std::shared_ptr<DataRequest> SessionManager::makeDataRequestWithURLRequest(const URLRequestConvertible& urlRequest) {
  Expected<URLRequest> converted = urlRequest.asURLRequest();
  if (!converted) return SessionManager::makeFailedDataRequest(std::nullopt, converted.error());
  auto requestable = std::make_shared<const DataRequest::Requestable>(std::move(converted).value());
  auto task = requestable->task(*session_, adapter(), queue_);
  if (!task) return SessionManager::makeFailedDataRequest(requestable->urlRequest, task.error());
  auto request = std::make_shared<DataRequest>(session_, Request::RequestTask::data(requestable, *task));
  finishTaskPath(request, *task);
  return request;
}

std::shared_ptr<DataRequest> SessionManager::makeFailedDataRequest(std::optional<URLRequest> urlRequest,
                                                                   const Error& error) {
  std::shared_ptr<const TaskConvertible> requestable;
  if (urlRequest) requestable = std::make_shared<const DataRequest::Requestable>(std::move(*urlRequest));
  Error underlying = underlyingError(error);
  auto request = std::make_shared<DataRequest>(session_, Request::RequestTask::data(requestable, nullptr), underlying);
  if (auto retrier = this->retrier(); retrier && error.is<AdaptError>()) {
    SessionManager::consultRetrier(retrier, request, underlying);
    return request;
  }
  if (startRequestsImmediately()) request->resume();
  return request;
}

// ---- download ---------------------------------------------------------------------

std::shared_ptr<DownloadRequest> SessionManager::makeDownloadRequest(const URLConvertible& url, HTTPMethod method,
                                                                     std::optional<Parameters> parameters,
                                                                     const ParameterEncoding& encoding,
                                                                     std::optional<HTTPHeaders> headers,
                                                                     DownloadDestination destination) {
  Expected<URLRequest> built = makeURLRequest(url, method, headers);
  if (!built) return SessionManager::makeFailedDownloadRequest(std::nullopt, std::move(destination), built.error());
  Expected<URLRequest> encoded = encoding.encode(*built, parameters);
  if (!encoded) return SessionManager::makeFailedDownloadRequest(std::nullopt, std::move(destination), encoded.error());
  return makeDownloadRequestWithURLRequest(*encoded, std::move(destination));
}

std::shared_ptr<DownloadRequest> SessionManager::makeDownloadRequestWithURLRequest(const URLRequestConvertible& urlRequest,
                                                                                   DownloadDestination destination) {
  Expected<URLRequest> converted = urlRequest.asURLRequest();
  if (!converted) return SessionManager::makeFailedDownloadRequest(std::nullopt, std::move(destination), converted.error());
  return SessionManager::makeDownloadRequestWithDownloadable(Downloadable::request(std::move(converted).value()),
                                                             std::move(destination));
}

std::shared_ptr<DownloadRequest> SessionManager::makeDownloadRequestResumingWithData(Bytes resumeData,
                                                                                     DownloadDestination destination) {
  return SessionManager::makeDownloadRequestWithDownloadable(Downloadable::resumeData(std::move(resumeData)),
                                                             std::move(destination));
}

std::shared_ptr<DownloadRequest> SessionManager::makeDownloadRequestWithDownloadable(const Downloadable& downloadable,
                                                                                     DownloadDestination destination) {
  auto factory = std::make_shared<const Downloadable>(downloadable);
  auto task = factory->task(*session_, adapter(), queue_);
  if (!task) return SessionManager::makeFailedDownloadRequest(downloadable, std::move(destination), task.error());
  auto request = std::make_shared<DownloadRequest>(session_, Request::RequestTask::download(factory, *task));
  std::static_pointer_cast<DownloadTaskDelegate>(request->taskDelegate())->setDestination(std::move(destination));
  finishTaskPath(request, *task);
  return request;
}

std::shared_ptr<DownloadRequest> SessionManager::makeFailedDownloadRequest(std::optional<Downloadable> downloadable,
                                                                           DownloadDestination destination,
                                                                           const Error& error) {
  std::shared_ptr<const TaskConvertible> factory;
  if (downloadable) factory = std::make_shared<const Downloadable>(std::move(*downloadable));
  Error underlying = underlyingError(error);
  auto request = std::make_shared<DownloadRequest>(session_, Request::RequestTask::download(factory, nullptr), underlying);
  std::static_pointer_cast<DownloadTaskDelegate>(request->taskDelegate())->setDestination(std::move(destination));
  if (auto retrier = this->retrier(); retrier && error.is<AdaptError>()) {
    SessionManager::consultRetrier(retrier, request, underlying);
    return request;
  }
  if (startRequestsImmediately()) request->resume();
  return request;
}

// ---- upload -----------------------------------------------------------------------

std::shared_ptr<UploadRequest> SessionManager::makeFileUploadRequest(const foundation::Url& fileURL,
                                                                     const URLConvertible& url, HTTPMethod method,
                                                                     std::optional<HTTPHeaders> headers) {
  Expected<URLRequest> built = makeURLRequest(url, method, headers);
  if (!built) return SessionManager::makeFailedUploadRequest(std::nullopt, built.error());
  return makeFileUploadRequestWithURLRequest(fileURL, *built);
}

std::shared_ptr<UploadRequest> SessionManager::makeFileUploadRequestWithURLRequest(const foundation::Url& fileURL,
                                                                                   const URLRequestConvertible& urlRequest) {
  Expected<URLRequest> converted = urlRequest.asURLRequest();
  if (!converted) return SessionManager::makeFailedUploadRequest(std::nullopt, converted.error());
  return SessionManager::makeUploadRequestWithUploadable(Uploadable::file(fileURL, std::move(converted).value()));
}

std::shared_ptr<UploadRequest> SessionManager::makeDataUploadRequest(Bytes data, const URLConvertible& url,
                                                                     HTTPMethod method, std::optional<HTTPHeaders> headers) {
  Expected<URLRequest> built = makeURLRequest(url, method, headers);
  if (!built) return SessionManager::makeFailedUploadRequest(std::nullopt, built.error());
  return makeDataUploadRequestWithURLRequest(std::move(data), *built);
}

std::shared_ptr<UploadRequest> SessionManager::makeDataUploadRequestWithURLRequest(Bytes data,
                                                                                   const URLRequestConvertible& urlRequest) {
  Expected<URLRequest> converted = urlRequest.asURLRequest();
  if (!converted) return SessionManager::makeFailedUploadRequest(std::nullopt, converted.error());
  return SessionManager::makeUploadRequestWithUploadable(Uploadable::data(std::move(data), std::move(converted).value()));
}

std::shared_ptr<UploadRequest> SessionManager::makeStreamUploadRequest(std::shared_ptr<foundation::InputStream> stream,
                                                                       const URLConvertible& url, HTTPMethod method,
                                                                       std::optional<HTTPHeaders> headers) {
  Expected<URLRequest> built = makeURLRequest(url, method, headers);
  if (!built) return SessionManager::makeFailedUploadRequest(std::nullopt, built.error());
  return makeStreamUploadRequestWithURLRequest(std::move(stream), *built);
}

std::shared_ptr<UploadRequest> SessionManager::makeStreamUploadRequestWithURLRequest(
    std::shared_ptr<foundation::InputStream> stream, const URLRequestConvertible& urlRequest) {
  Expected<URLRequest> converted = urlRequest.asURLRequest();
  if (!converted) return SessionManager::makeFailedUploadRequest(std::nullopt, converted.error());
  return SessionManager::makeUploadRequestWithUploadable(Uploadable::stream(std::move(stream), std::move(converted).value()));
}

std::shared_ptr<UploadRequest> SessionManager::makeUploadRequestWithUploadable(const Uploadable& uploadable) {
  auto factory = std::make_shared<const Uploadable>(uploadable);
  auto task = factory->task(*session_, adapter(), queue_);
  if (!task) return SessionManager::makeFailedUploadRequest(uploadable, task.error());
  auto request = std::make_shared<UploadRequest>(session_, Request::RequestTask::upload(factory, *task));
  if (auto* s = std::get_if<Uploadable::Stream>(&factory->value)) {
    request->taskDelegate()->setTaskNeedNewBodyStream(
        [stream = s->stream](net::Session&, net::Task&) { return stream; });
  }
  finishTaskPath(request, *task);
  return request;
}

std::shared_ptr<UploadRequest> SessionManager::makeFailedUploadRequest(std::optional<Uploadable> uploadable,
                                                                       const Error& error) {
  std::shared_ptr<const TaskConvertible> factory;
  if (uploadable) factory = std::make_shared<const Uploadable>(std::move(*uploadable));
  Error underlying = underlyingError(error);
  auto request = std::make_shared<UploadRequest>(session_, Request::RequestTask::upload(factory, nullptr), underlying);
  if (auto retrier = this->retrier(); retrier && error.is<AdaptError>()) {
    SessionManager::consultRetrier(retrier, request, underlying);
    return request;
  }
  if (startRequestsImmediately()) request->resume();
  return request;
}

// ---- stream -----------------------------------------------------------------------

std::shared_ptr<StreamRequest> SessionManager::makeStreamRequest(const std::string& hostName, int port) {
  return SessionManager::makeStreamRequestWithStreamable(Streamable::stream(hostName, port));
}

std::shared_ptr<StreamRequest> SessionManager::makeStreamRequestWithNetService(const NetService& netService) {
  return SessionManager::makeStreamRequestWithStreamable(Streamable::netService(netService));
}

std::shared_ptr<StreamRequest> SessionManager::makeStreamRequestWithStreamable(const Streamable& streamable) {
  auto factory = std::make_shared<const Streamable>(streamable);
  auto task = factory->task(*session_, adapter(), queue_);
  if (!task) {
    // Kept as thrown, never offered to the retrier, never registered.
    auto request = std::make_shared<StreamRequest>(session_, Request::RequestTask::stream(nullptr, nullptr), task.error());
    if (startRequestsImmediately()) request->resume();
    return request;
  }
  auto request = std::make_shared<StreamRequest>(session_, Request::RequestTask::stream(factory, *task));
  finishTaskPath(request, *task);
  return request;
}

// ---- retry ------------------------------------------------------------------------

bool SessionManager::retry(const std::shared_ptr<Request>& request) {
  auto original = request->originalTask();
  if (!original) return false;
  auto task = original->task(*session_, adapter(), queue_);
  if (!task) {
    request->taskDelegate()->setError(underlyingError(task.error()));
    return false;
  }
  if (auto old = request->task()) delegate_->setRequestForTask(*old, nullptr);
  request->taskDelegate()->setTask(*task);
  request->incrementRetryCount();
  request->setStartTime(dispatch::absolute_time());
  request->setEndTime(std::nullopt);
  // Registered before it starts: a task that fails at once would otherwise
  // complete before its caller enters it, and the request would never finish.
  delegate_->setRequestForTask(**task, request);
  (*task)->resume();
  return true;
}

void SessionManager::consultRetrier(const std::shared_ptr<RequestRetrier>& retrier,
                                    const std::shared_ptr<Request>& request, const Error& error) {
  std::weak_ptr<SessionManager> weakSelf = weak_from_this();
  utilityQueue().async([weakSelf, retrier, request, error] {
    auto self = weakSelf.lock();
    if (!self) return;
    auto answered = std::make_shared<std::atomic<bool>>(false);
    retrier->shouldRetry(self, request, error, [weakSelf, request, answered](bool shouldRetry, double timeDelay) {
      if (answered->exchange(true)) return;  // a second answer is ignored
      auto manager = weakSelf.lock();
      if (!manager) return;
      if (!shouldRetry) {
        if (manager->startRequestsImmediately()) request->resume();
        return;
      }
      manager.reset();
      DispatchQueue::after(utilityQueue(), timeDelay, [weakSelf, request] {
        auto later = weakSelf.lock();
        if (!later) return;
        if (later->SessionManager::retry(request)) {
          if (auto task = request->task()) {
            later->delegate_->setRequestForTask(*task, request);
            return;
          }
        }
        if (later->startRequestsImmediately()) request->resume();
      });
    });
  });
}

}  // namespace Duvarel
