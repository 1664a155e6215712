// The per-request URL-session fetcher of the network client.
#include "core/gul_network_url_session.h"

#include <cmath>
#include <map>
#include <utility>

#include "core/gul_message_code.h"
#include "core/logger.h"
#include "platform/dispatch/operation.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/uuid.h"
#include "platform/net/credential.h"
#include "platform/os/file_manager.h"

namespace core {

namespace {

namespace foundation = platform::foundation;
namespace net = platform::net;
namespace os = platform::os;
namespace security = platform::security;
using platform::dispatch::OperationQueue;
using platform::dispatch::Queue;

constexpr double kGULNetworkTempFolderExpireTime = 3600;
constexpr std::int64_t kFileNotFoundForReading = 260;  // NSFileReadNoSuchFileError
constexpr std::int64_t kNoSuchFile = 4;                // NSFileNoSuchFileError

std::mutex& factoryMutex() {
  static std::mutex m;
  return m;
}
GULNetworkURLSession::SessionFactory& sessionFactory() {
  static GULNetworkURLSession::SessionFactory factory;
  return factory;
}

struct FetcherMap {
  std::mutex lock;
  std::map<std::string, std::weak_ptr<GULNetworkURLSession>, std::less<>> fetchers;
};
FetcherMap& fetcherMap() {
  static FetcherMap* map = new FetcherMap;
  return *map;
}

// One trust evaluation at a time, across all fetchers.
std::mutex& trustEvaluationLock() {
  static std::mutex m;
  return m;
}

foundation::Value errorValue(const foundation::Error& error) {
  return foundation::Value::object(std::make_shared<foundation::Error>(error));
}

foundation::Value urlValue(const std::optional<net::Request>& request) {
  if (!request || !request->url) return foundation::Value();
  return foundation::Value(request->url->absolute_string());
}

foundation::Error networkError(GULNetworkErrorCode code, std::string context) {
  return foundation::Error(std::string(kGULNetworkErrorDomain), code,
                           foundation::Dict{{std::string(kGULNetworkErrorContext), std::move(context)}});
}

}  // namespace

void GULNetworkURLSession::setSessionFactory(SessionFactory factory) {
  std::lock_guard lk(factoryMutex());
  sessionFactory() = std::move(factory);
}

GULNetworkURLSession::GULNetworkURLSession(Passkey, std::weak_ptr<GULNetworkLoggerDelegate> networkLoggerDelegate)
    : sessionID_(std::string(kGULNetworkBackgroundSessionConfigIDPrefix) + "-" +
                 foundation::Uuid::random().string()),
      loggerDelegate_(std::move(networkLoggerDelegate)) {
  // No container before boot: no temporary folder either, so nothing is
  // written relative to the working directory.
  auto support = os::FileManager::shared().url_for(os::Directory::application_support);
  if (!support.empty()) networkDirectoryURL_ = support / "GUL" / "Network" / "GULNetworkTemporaryDirectory";
}

std::shared_ptr<GULNetworkURLSession> GULNetworkURLSession::initWithNetworkLoggerDelegate(
    std::weak_ptr<GULNetworkLoggerDelegate> networkLoggerDelegate) {
  return std::make_shared<GULNetworkURLSession>(Passkey{}, std::move(networkLoggerDelegate));
}

// ---- requests -------------------------------------------------------------------

std::optional<std::string> GULNetworkURLSession::sessionIDFromAsyncPOSTRequest(
    const net::Request& request, GULNetworkURLSessionCompletionHandler handler) {
  uploadingFileURL_ = temporaryFilePathWithSessionID(sessionID_);
  maybeRemoveTempFilesAtURL(networkDirectoryURL_, kGULNetworkTempFolderExpireTime);

  std::shared_ptr<net::Session> session;
  std::shared_ptr<net::Task> task;
  bool fromFile = false;
  const foundation::Bytes body = request.body.value_or(foundation::Bytes{});
  if (backgroundNetworkEnabled_ && ensureTemporaryDirectoryExists()) {
    auto written = os::FileManager::shared().write_atomically(uploadingFileURL_, body);
    if (!written) {
      log(kGULNetworkLogLevelError, kGULNetworkMessageCodeURLSession000, "Failed to write request data to file",
          errorValue(written.error()));
    } else {
      excludeFromBackupForURL(uploadingFileURL_);
      auto config = backgroundSessionConfigWithSessionID(sessionID_);
      populateSessionConfig(config, request);
      session = makeSession(std::move(config));
      if (session) task = session->upload_task(request, foundation::Url::file(uploadingFileURL_));
      fromFile = true;
    }
  }
  // Background sessions take no uploads from memory, so every fallback runs
  // on a default session.
  if (!fromFile) {
    auto config = net::Configuration::default_config();
    populateSessionConfig(config, request);
    session = makeSession(std::move(config));
    if (session) task = session->upload_task(request, body);
  }
  return startTask(session, task, request, std::move(handler));
}

std::optional<std::string> GULNetworkURLSession::sessionIDFromAsyncGETRequest(
    const net::Request& request, GULNetworkURLSessionCompletionHandler handler) {
  auto config = backgroundNetworkEnabled_ ? backgroundSessionConfigWithSessionID(sessionID_)
                                          : net::Configuration::default_config();
  populateSessionConfig(config, request);
  config.has_url_cache = false;
  auto session = makeSession(std::move(config));
  std::shared_ptr<net::Task> task;
  if (session) task = session->download_task(request);
  return startTask(session, task, request, std::move(handler));
}

std::shared_ptr<net::Session> GULNetworkURLSession::makeSession(net::Configuration configuration) {
  {
    std::lock_guard lk(mutex_);
    sessionConfig_ = configuration;
  }
  SessionFactory factory;
  {
    std::lock_guard lk(factoryMutex());
    factory = sessionFactory();
  }
  // The main operation queue lives for the process: shared without ownership.
  std::shared_ptr<OperationQueue> mainQueue(&OperationQueue::main(), [](OperationQueue*) {});
  auto self = shared_from_this();
  if (factory) return factory(std::move(configuration), self, mainQueue);
  return net::Session::make(std::move(configuration), self, mainQueue);
}

std::optional<std::string> GULNetworkURLSession::startTask(const std::shared_ptr<net::Session>& session,
                                                           const std::shared_ptr<net::Task>& task,
                                                           const net::Request& request,
                                                           GULNetworkURLSessionCompletionHandler handler) {
  if (!session || !task) {
    if (session) session->finish_tasks_and_invalidate();
    // No completion will remove a body already written for the upload.
    removeTempItemAtURL(uploadingFileURL_);
    callCompletionHandler(handler, nullptr, std::nullopt,
                          networkError(GULErrorCodeNetworkSessionTaskCreation, "Cannot create network session"));
    return std::nullopt;
  }
  {
    std::lock_guard lk(mutex_);
    URLSession_ = session;
    request_ = request;
    completionHandler_ = std::move(handler);
  }
  setSessionInFetcherMap(shared_from_this(), sessionID_);
  task->resume();
  return sessionID_;
}

// ---- session delegate -----------------------------------------------------------

bool GULNetworkURLSession::implements(net::Callback callback) const {
  switch (callback) {
    case net::Callback::download_finished:
    case net::Callback::task_complete:
    case net::Callback::task_challenge:
    case net::Callback::task_redirect:
    case net::Callback::background_events_finished: return true;
    default: return false;  // trust is decided per task, never per session
  }
}

void GULNetworkURLSession::did_finish_downloading(net::Session&, net::DownloadTask&, const foundation::Url& location) {
  std::optional<foundation::Bytes> data;
  const auto path = location.file_path();
  if (path.empty()) {
    log(kGULNetworkLogLevelError, kGULNetworkMessageCodeURLSession001,
        "Unable to read downloaded data from empty temp path");
  } else {
    auto read = os::FileManager::shared().read(path);
    if (read) {
      data = std::move(*read);
    } else {
      log(kGULNetworkLogLevelError, kGULNetworkMessageCodeURLSession002, "Cannot read the content of downloaded data",
          errorValue(read.error()));
    }
  }
  std::lock_guard lk(mutex_);
  downloadedData_ = std::move(data);
}

void GULNetworkURLSession::did_complete(net::Session& session, net::Task& task,
                                        std::optional<foundation::Error> error) {
  GULNetworkURLSessionCompletionHandler handler;
  std::optional<foundation::Bytes> data;
  {
    std::lock_guard lk(mutex_);
    handler = std::move(completionHandler_);
    completionHandler_ = nullptr;
    data = downloadedData_;
  }
  auto response = task.response();
  // A response means the server took an upload's body. A download cut after
  // its headers still failed: its error is passed on.
  if (response && task.kind() != net::Task::Kind::download) {
    error.reset();
  } else if (!response && !error) {
    error = networkError(GULErrorCodeNetworkInvalidResponse, "Network Error: Empty network response");
  }
  callCompletionHandler(handler, std::move(response), std::move(data), std::move(error));

  removeTempItemAtURL(uploadingFileURL_);
  maybeRemoveTempFilesAtURL(networkDirectoryURL_, kGULNetworkTempFolderExpireTime);

  session.finish_tasks_and_invalidate();
  // A default session has no identifier: its weak entry lapses with the fetcher.
  if (const auto& identifier = session.configuration().identifier) setSessionInFetcherMap(nullptr, *identifier);
}

void GULNetworkURLSession::task_did_receive_challenge(net::Session&, net::Task&, const net::Challenge& challenge,
                                                      net::ChallengeHandler handler) {
  std::optional<net::Request> request;
  {
    std::lock_guard lk(mutex_);
    request = request_;
  }
  if (challenge.space.authentication_method != net::auth_method_server_trust) {
    handler(net::AuthDisposition::perform_default, std::nullopt);
    return;
  }
  auto trust = challenge.server_trust;
  if (!trust) {
    log(kGULNetworkLogLevelDebug, kGULNetworkMessageCodeURLSession004, "Received empty server trust for host. Host",
        urlValue(request));
    handler(net::AuthDisposition::perform_default, std::nullopt);
    return;
  }
  log(kGULNetworkLogLevelDebug, kGULNetworkMessageCodeURLSession006, "Received SSL challenge for host. Host",
      urlValue(request));
  auto self = shared_from_this();
  Queue::global().async([self, trust, request, handler = std::move(handler)] {
    std::lock_guard lk(trustEvaluationLock());
    security::TrustResult result = security::TrustResult::invalid;
    const security::Status status = trust->evaluate(&result);
    bool accepted = false;
    if (status != security::status::ok) {
      self->log(kGULNetworkLogLevelError, kGULNetworkMessageCodeURLSession008, "Cannot evaluate server trust. Error, host",
                std::vector<foundation::Value>{foundation::Value(static_cast<long long>(status)), urlValue(request)});
    } else {
      accepted = result == security::TrustResult::proceed || result == security::TrustResult::unspecified;
    }
    if (accepted) {
      handler(net::AuthDisposition::use_credential, net::Credential::for_trust(trust));
    } else {
      self->log(kGULNetworkLogLevelDebug, kGULNetworkMessageCodeURLSession007,
                "Cancelling authentication challenge for host. Host", urlValue(request));
      handler(net::AuthDisposition::cancel, std::nullopt);
    }
  });
}

void GULNetworkURLSession::will_perform_redirection(net::Session&, net::Task&, const net::Response& response,
                                                    net::Request newRequest,
                                                    std::function<void(std::optional<net::Request>)> handler) {
  const int status = response.status.value_or(0);
  if (status == 302 || status == 301 || status == 307 || status == 300) {
    handler(std::nullopt);
  } else {
    handler(std::move(newRequest));
  }
}

void GULNetworkURLSession::did_finish_events_for_background_session(net::Session& session) {
  const std::string identifier = session.configuration().identifier.value_or("");
  log(kGULNetworkLogLevelDebug, kGULNetworkMessageCodeURLSession003, "Background session finished",
      foundation::Value(identifier));
  callSystemCompletionHandler(identifier);
}

// ---- system completion handlers ------------------------------------------------

void GULNetworkURLSession::addSystemCompletionHandler(GULNetworkSystemCompletionHandler handler,
                                                      const std::string& identifier) {
  if (!handler) {
    log(kGULNetworkLogLevelError, kGULNetworkMessageCodeURLSession009,
        "Cannot store nil system completion handler in network");
    return;
  }
  if (identifier.empty()) {
    log(kGULNetworkLogLevelError, kGULNetworkMessageCodeURLSession010,
        "Cannot store system completion handler with empty network session identifier");
    return;
  }
  auto& handlers = sessionIDToSystemCompletionHandlerDictionary();
  if (handlers.objectForKey(identifier)) {
    log(kGULNetworkLogLevelWarning, kGULNetworkMessageCodeURLSession011,
        "Got multiple system handlers for a single session ID", foundation::Value(identifier));
  }
  handlers.setObject(std::move(handler), identifier);
}

void GULNetworkURLSession::callSystemCompletionHandler(const std::string& identifier) {
  auto& handlers = sessionIDToSystemCompletionHandlerDictionary();
  auto handler = handlers.objectForKey(identifier);
  if (!handler || !*handler) return;
  handlers.removeObjectForKey(identifier);
  Queue::main().async([handler = std::move(*handler)] { handler(); });
}

// ---- configuration and temporary files ----------------------------------------

void GULNetworkURLSession::setSessionID(std::string sessionID) { sessionID_ = std::move(sessionID); }

net::Configuration GULNetworkURLSession::backgroundSessionConfigWithSessionID(const std::string& sessionID) const {
  return net::Configuration::background(sessionID);
}

void GULNetworkURLSession::populateSessionConfig(net::Configuration& sessionConfig, const net::Request& request) {
  sessionConfig.http_additional_headers = request.headers;
  sessionConfig.timeout_for_request = request.timeout;
  sessionConfig.timeout_for_resource = request.timeout;
  sessionConfig.request_cache_policy = request.cache_policy;
}

std::filesystem::path GULNetworkURLSession::temporaryFilePathWithSessionID(const std::string& sessionID) const {
  if (networkDirectoryURL_.empty()) return {};
  return networkDirectoryURL_ / ("GULUpload_temp_" + sessionID);
}

bool GULNetworkURLSession::ensureTemporaryDirectoryExists() {
  if (networkDirectoryURL_.empty()) return false;
  auto& files = os::FileManager::shared();
  auto reachable = files.attributes(networkDirectoryURL_);
  if (reachable) return true;
  if (reachable.error().code != kFileNotFoundForReading) {
    log(kGULNetworkLogLevelWarning, kGULNetworkMessageCodeURLSession014,
        "Error while trying to access Network temp folder. Error", errorValue(reachable.error()));
  }
  auto created = files.create_directory(networkDirectoryURL_, true);
  if (!created) {
    log(kGULNetworkLogLevelError, kGULNetworkMessageCodeURLSession015, "Cannot create temporary directory. Error",
        errorValue(created.error()));
    return false;
  }
  excludeFromBackupForURL(networkDirectoryURL_);
  return true;
}

void GULNetworkURLSession::excludeFromBackupForURL(const std::filesystem::path& url) {
  if (url.empty()) return;
  auto excluded = os::FileManager::shared().set_excluded_from_backup(url, true);
  if (!excluded) {
    log(kGULNetworkLogLevelError, kGULNetworkMessageCodeURLSession016,
        "Cannot exclude temporary folder from iTunes backup");
  }
}

void GULNetworkURLSession::removeTempItemAtURL(const std::filesystem::path& url) {
  if (url.empty()) return;
  auto removed = os::FileManager::shared().remove_item(url);
  if (!removed && removed.error().code != kNoSuchFile) {
    log(kGULNetworkLogLevelError, kGULNetworkMessageCodeURLSession013,
        "Failed to remove temporary uploading data file. Error",
        foundation::Value(removed.error().localized_description()));
  }
}

void GULNetworkURLSession::maybeRemoveTempFilesAtURL(const std::filesystem::path& folderURL, double staleTime) {
  if (folderURL.empty()) return;
  auto& files = os::FileManager::shared();
  auto entries = files.contents_of_directory(folderURL);
  if (!entries) {
    if (entries.error().code != kFileNotFoundForReading) {
      log(kGULNetworkLogLevelDebug, kGULNetworkMessageCodeURLSession012,
          "Cannot get files from the temporary network folder. Error", errorValue(entries.error()));
    }
    return;
  }
  const double now = foundation::Date::now().since_1970;
  for (const auto& entry : *entries) {
    auto attributes = files.attributes(entry);
    if (!attributes) continue;
    if (std::fabs(now - attributes->creation.since_1970) > staleTime) removeTempItemAtURL(entry);
  }
}

void GULNetworkURLSession::callCompletionHandler(const GULNetworkURLSessionCompletionHandler& handler,
                                                 std::shared_ptr<const net::Response> response,
                                                 std::optional<foundation::Bytes> data,
                                                 std::optional<foundation::Error> error) {
  if (error) {
    log(kGULNetworkLogLevelError, kGULNetworkMessageCodeURLSession017, "Encounter network error. Code, error",
        std::vector<foundation::Value>{foundation::Value(static_cast<long long>(error->code)), errorValue(*error)});
  }
  if (!handler) return;
  Queue::main().async([handler, response = std::move(response), data = std::move(data), error = std::move(error),
                       sessionID = sessionID_] { handler(response, data, sessionID, error); });
}

// ---- class-wide state ------------------------------------------------------------

void GULNetworkURLSession::handleEventsForBackgroundURLSessionID(
    const std::string& sessionID, GULNetworkSystemCompletionHandler systemCompletionHandler) {
  if (!sessionID.starts_with(kGULNetworkBackgroundSessionConfigIDPrefix)) return;
  auto fetcher = fetcherWithSessionIdentifier(sessionID);
  if (fetcher) {
    fetcher->addSystemCompletionHandler(std::move(systemCompletionHandler), sessionID);
  } else {
    GULLogErrorMessage("[GULNetwork]", false, GULMessageCode("I-NET", kGULNetworkMessageCodeNetwork003),
                       "Failed to retrieve background session with ID " + sessionID + " after app is relaunched.");
  }
}

std::shared_ptr<GULNetworkURLSession> GULNetworkURLSession::fetcherWithSessionIdentifier(
    const std::string& sessionIdentifier) {
  auto fetcher = sessionFromFetcherMapForSessionID(sessionIdentifier);
  if (!fetcher && sessionIdentifier.starts_with(kGULNetworkBackgroundSessionConfigIDPrefix)) {
    fetcher = initWithNetworkLoggerDelegate({});
    fetcher->setSessionID(sessionIdentifier);
    setSessionInFetcherMap(fetcher, sessionIdentifier);
  }
  return fetcher;
}

void GULNetworkURLSession::setSessionInFetcherMap(const std::shared_ptr<GULNetworkURLSession>& session,
                                                  const std::string& sessionID) {
  auto& map = fetcherMap();
  std::lock_guard lk(map.lock);
  auto it = map.fetchers.find(sessionID);
  auto existing = it == map.fetchers.end() ? nullptr : it->second.lock();
  if (existing && existing != session) {
    if (auto existingSession = existing->URLSession()) existingSession->finish_tasks_and_invalidate();
    if (session) {
      existing->log(kGULNetworkLogLevelInfo, kGULNetworkMessageCodeURLSession019, "Discarding session: " + sessionID);
    }
  }
  if (session) {
    map.fetchers[sessionID] = session;
  } else if (it != map.fetchers.end()) {
    map.fetchers.erase(it);
  }
}

std::shared_ptr<GULNetworkURLSession> GULNetworkURLSession::sessionFromFetcherMapForSessionID(
    const std::string& sessionID) {
  auto& map = fetcherMap();
  std::lock_guard lk(map.lock);
  auto it = map.fetchers.find(sessionID);
  return it == map.fetchers.end() ? nullptr : it->second.lock();
}

GULMutableDictionary<GULNetworkSystemCompletionHandler>&
GULNetworkURLSession::sessionIDToSystemCompletionHandlerDictionary() {
  static auto* handlers = new GULMutableDictionary<GULNetworkSystemCompletionHandler>();
  return *handlers;
}

// ---- logging ------------------------------------------------------------------------

void GULNetworkURLSession::log(GULNetworkLogLevel level, GULNetworkMessageCode code, const std::string& message) const {
  if (auto delegate = loggerDelegate_.lock()) delegate->GULNetwork_logWithLevel(level, code, message);
}

void GULNetworkURLSession::log(GULNetworkLogLevel level, GULNetworkMessageCode code, const std::string& message,
                               const foundation::Value& context) const {
  if (auto delegate = loggerDelegate_.lock()) delegate->GULNetwork_logWithLevel(level, code, message, context);
}

void GULNetworkURLSession::log(GULNetworkLogLevel level, GULNetworkMessageCode code, const std::string& message,
                               const std::vector<foundation::Value>& contexts) const {
  if (auto delegate = loggerDelegate_.lock()) delegate->GULNetwork_logWithLevel(level, code, message, contexts);
}

}  // namespace core
