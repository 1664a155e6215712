// The network client: request building, the requests in flight, reachability
// and the network log.
#include "core/gul_network.h"

#include <utility>

#include "core/deployment.h"
#include "core/gul_message_code.h"
#include "core/gzip.h"
#include "core/logger.h"
#include "platform/foundation/console.h"

namespace core {

namespace {

namespace foundation = platform::foundation;
namespace net = platform::net;
using platform::dispatch::Queue;

constexpr std::string_view kNetworkService = "[GULNetwork]";
constexpr double kGULNetworkTimeOutInterval = 60.0;

Queue queueOrMain(const std::optional<Queue>& queue) { return queue ? *queue : Queue::main(); }

const char* levelName(GULNetworkLogLevel level) {
  switch (level) {
    case kGULNetworkLogLevelError: return "ERROR";
    case kGULNetworkLogLevelWarning: return "WARNING";
    case kGULNetworkLogLevelInfo: return "INFO";
    case kGULNetworkLogLevelDebug: return "DEBUG";
  }
  return "(null)";
}

}  // namespace

GULNetwork::GULNetwork(Passkey) {}

std::shared_ptr<GULNetwork> GULNetwork::init() { return initWithReachabilityHost(kAnalyticsCollectionHost); }

std::shared_ptr<GULNetwork> GULNetwork::initWithReachabilityHost(std::string_view reachabilityHost) {
  auto network = std::make_shared<GULNetwork>(Passkey{});
  network->reachability_ = GULReachabilityChecker::initWithReachabilityDelegate(
      std::weak_ptr<GULReachabilityDelegate>(network), reachabilityHost);
  if (!network->reachability_ || !network->reachability_->start()) return nullptr;
  return network;
}

GULNetwork::~GULNetwork() {
  if (reachability_) {
    reachability_->setReachabilityDelegate({});
    reachability_->stop();
  }
}

// ---- requests ---------------------------------------------------------------------

bool GULNetwork::checkURL(const foundation::Url& url, const std::optional<Queue>& queue,
                          const GULNetworkCompletionHandler& handler) {
  if (!url.absolute_string().empty()) return true;
  handleErrorWithCode(GULErrorCodeNetworkInvalidURL, queue, handler);
  return false;
}

net::Request GULNetwork::requestWithURL(const foundation::Url& url) const {
  net::Request request(url);
  request.cache_policy = net::CachePolicy::reload_ignoring_local;
  const double timeout = timeoutInterval_.load();
  request.timeout = timeout == 0 ? kGULNetworkTimeOutInterval : timeout;
  return request;
}

std::optional<std::string> GULNetwork::postURL(const foundation::Url& url, const foundation::Bytes& payload,
                                               std::optional<Queue> queue, bool usingBackgroundSession,
                                               GULNetworkCompletionHandler handler) {
  if (!checkURL(url, queue, handler)) return std::nullopt;
  net::Request request = requestWithURL(url);

  foundation::Error compressionError;
  auto compressed = gul_dataByGzippingData(payload, &compressionError);
  const bool errorReported = !compressionError.domain.empty();
  if (!compressed || errorReported) {
    if (errorReported || !payload.empty()) {
      handleErrorWithCode(GULErrorCodeNetworkPayloadCompression, queue, handler);
      return std::nullopt;
    }
    compressed = foundation::Bytes{};  // an empty payload is sent as an empty body
  }

  request.headers.set("Content-Length", std::to_string(compressed->size()));
  request.body = std::move(*compressed);
  request.method = "POST";
  request.headers.set("Content-Type", "application/x-www-form-urlencoded");
  request.headers.set("Content-Encoding", "gzip");

  return startRequest(request, std::move(queue), usingBackgroundSession, std::move(handler));
}

std::optional<std::string> GULNetwork::getURL(const foundation::Url& url, const net::Headers& headers,
                                              std::optional<Queue> queue, bool usingBackgroundSession,
                                              GULNetworkCompletionHandler handler) {
  if (!checkURL(url, queue, handler)) return std::nullopt;
  net::Request request = requestWithURL(url);
  request.method = "GET";
  request.headers = headers;

  return startRequest(request, std::move(queue), usingBackgroundSession, std::move(handler));
}

std::optional<std::string> GULNetwork::startRequest(const net::Request& request, std::optional<Queue> queue,
                                                    bool usingBackgroundSession, GULNetworkCompletionHandler handler) {
  auto fetcher = GULNetworkURLSession::initWithNetworkLoggerDelegate(std::weak_ptr<GULNetworkLoggerDelegate>(
      std::static_pointer_cast<GULNetworkLoggerDelegate>(shared_from_this())));
  fetcher->setBackgroundNetworkEnabled(usingBackgroundSession);

  // The client is held weakly until the fetcher's completion reaches the
  // main queue; gone by then, the caller's handler is never called.
  std::weak_ptr<GULNetwork> weakSelf = weak_from_this();
  auto completion = [weakSelf, queue, handler = std::move(handler)](
                        std::shared_ptr<const net::Response> response, std::optional<foundation::Bytes> data,
                        const std::string& sessionID, std::optional<foundation::Error> error) {
    auto self = weakSelf.lock();
    if (!self) return;
    queueOrMain(queue).async([self, handler, response = std::move(response), data = std::move(data),
                              error = std::move(error), sessionID] {
      if (!sessionID.empty()) self->requests_.removeObjectForKey(sessionID);
      if (handler) handler(response, data, error);
    });
  };

  // Stored before the request starts, so a completion on another thread can
  // never remove the entry before it is added. A fetcher that could not
  // start has already handed error 2 to the handler; its entry goes again.
  const std::string sessionID = fetcher->sessionID();
  requests_.setObject(fetcher, sessionID);
  const bool upload = request.method == "POST";
  auto started = upload ? fetcher->sessionIDFromAsyncPOSTRequest(request, std::move(completion))
                        : fetcher->sessionIDFromAsyncGETRequest(request, std::move(completion));
  if (!started) {
    requests_.removeObjectForKey(sessionID);
    return std::nullopt;
  }
  const foundation::Value host(request.url ? request.url->absolute_string() : std::string());
  if (upload) {
    GULNetwork_logWithLevel(kGULNetworkLogLevelDebug, kGULNetworkMessageCodeNetwork000, "Uploading data. Host", host);
  } else {
    GULNetwork_logWithLevel(kGULNetworkLogLevelDebug, kGULNetworkMessageCodeNetwork001, "Downloading data. Host", host);
  }
  return started;
}

bool GULNetwork::hasUploadInProgress() const { return requests_.count() > 0; }

void GULNetwork::handleErrorWithCode(std::int64_t code, std::optional<Queue> queue,
                                     const GULNetworkCompletionHandler& handler) {
  foundation::Error error(std::string(kGULNetworkErrorDomain), code,
                          foundation::Dict{{std::string(kGULNetworkErrorContext), "Failed to create network request"}});
  GULNetwork_logWithLevel(kGULNetworkLogLevelWarning, kGULNetworkMessageCodeNetwork002,
                          "Failed to create network request. Code, error",
                          std::vector<foundation::Value>{foundation::Value(static_cast<long long>(code)),
                                                         foundation::Value::object(
                                                             std::make_shared<foundation::Error>(error))});
  if (!handler) return;
  queueOrMain(queue).async([handler, error] { handler(nullptr, std::nullopt, error); });
}

void GULNetwork::handleEventsForBackgroundURLSessionID(const std::string& sessionID,
                                                       GULNetworkSystemCompletionHandler completionHandler) {
  GULNetworkURLSession::handleEventsForBackgroundURLSessionID(sessionID, std::move(completionHandler));
}

// ---- delegates -------------------------------------------------------------------

void GULNetwork::setLoggerDelegate(std::weak_ptr<GULNetworkLoggerDelegate> loggerDelegate) {
  auto strong = loggerDelegate.lock();
  if (!strong || !strong->implements(GULNetworkLoggerSelector::logWithContexts) ||
      !strong->implements(GULNetworkLoggerSelector::logWithContext) ||
      !strong->implements(GULNetworkLoggerSelector::logWithoutContext)) {
    GULLogErrorMessage(kNetworkService, false, GULMessageCode("I-NET", kGULNetworkMessageCodeNetwork002),
                       "Cannot set the network logger delegate: delegate does not conform to the network logger "
                       "protocol.");
    return;
  }
  std::lock_guard lk(delegateMutex_);
  loggerDelegate_ = std::move(loggerDelegate);
}

std::shared_ptr<GULNetworkLoggerDelegate> GULNetwork::loggerDelegate() const {
  std::lock_guard lk(delegateMutex_);
  return loggerDelegate_.lock();
}

void GULNetwork::setReachabilityDelegate(std::weak_ptr<GULNetworkReachabilityDelegate> reachabilityDelegate) {
  std::lock_guard lk(delegateMutex_);
  reachabilityDelegate_ = std::move(reachabilityDelegate);
}

std::shared_ptr<GULNetworkReachabilityDelegate> GULNetwork::reachabilityDelegate() const {
  std::lock_guard lk(delegateMutex_);
  return reachabilityDelegate_.lock();
}

void GULNetwork::reachabilityStatusChanged(GULReachabilityChecker&, GULReachabilityStatus status) {
  networkConnected_ = status == kGULReachabilityViaWifi || status == kGULReachabilityViaCellular;
  if (auto delegate = reachabilityDelegate()) delegate->reachabilityDidChange();
}

// ---- network log -------------------------------------------------------------------

void GULNetwork::GULNetwork_logWithLevel(GULNetworkLogLevel logLevel, GULNetworkMessageCode messageCode,
                                         const std::optional<std::string>& message,
                                         const std::vector<foundation::Value>& contexts) {
  if (auto delegate = loggerDelegate()) {
    delegate->GULNetwork_logWithLevel(logLevel, messageCode, message, contexts);
    return;
  }
  printLog(logLevel, messageCode, message, contexts);
}

void GULNetwork::GULNetwork_logWithLevel(GULNetworkLogLevel logLevel, GULNetworkMessageCode messageCode,
                                         const std::optional<std::string>& message,
                                         const foundation::Value& context) {
  if (auto delegate = loggerDelegate()) {
    delegate->GULNetwork_logWithLevel(logLevel, messageCode, message, context);
    return;
  }
  std::vector<foundation::Value> contexts;
  if (!context.is_null()) contexts.push_back(context);
  printLog(logLevel, messageCode, message, contexts);
}

void GULNetwork::GULNetwork_logWithLevel(GULNetworkLogLevel logLevel, GULNetworkMessageCode messageCode,
                                         const std::optional<std::string>& message) {
  if (auto delegate = loggerDelegate()) {
    delegate->GULNetwork_logWithLevel(logLevel, messageCode, message);
    return;
  }
  printLog(logLevel, messageCode, message, {});
}

void GULNetwork::printLog(GULNetworkLogLevel logLevel, GULNetworkMessageCode messageCode,
                          const std::optional<std::string>& message,
                          const std::vector<foundation::Value>& contexts) const {
  const bool printed = logLevel == kGULNetworkLogLevelError || logLevel == kGULNetworkLogLevelWarning ||
                       logLevel == kGULNetworkLogLevelInfo;
  if (!isDebugModeEnabled_ && !printed) return;
  std::string text = "<Dozada/Utilities/Network/";
  text += levelName(logLevel);
  text += "> ";
  if (!message) text += "(Message was nil)";
  else if (message->empty()) text += "(Message was empty)";
  else text += *message;
  if (!contexts.empty()) {
    text += ": ";
    for (std::size_t i = 0; i < contexts.size(); ++i) {
      if (i > 0) text += ", ";
      text += contexts[i].is_null() ? "(nil)" : foundation::describe(contexts[i]);
    }
  }
  foundation::console::log_line(text);
  GULLogBasicMessage(static_cast<GULLoggerLevel>(logLevel), kNetworkService, false,
                     GULMessageCode("I-NET", messageCode), text);
}

}  // namespace core
