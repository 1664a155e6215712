#pragma once
// GULNetworkURLSession: runs one request of the network client on its own
// URL session and is that session's delegate. A POST is an upload task (from
// a temporary file on a background session, else from memory); a GET is a
// download task whose file is read back into memory.
//
// Threads: the request methods may be called from any thread. Session
// delegate calls run on the main operation queue; trust is evaluated on a
// global queue, one evaluation at a time across all fetchers. The completion
// handler always runs on the main queue. The class-wide fetcher map sits
// under one mutex; the system-handler dictionary is thread-safe itself.
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "core/gul_network_logger.h"
#include "core/mutable_dictionary.h"
#include "platform/foundation/error.h"
#include "platform/foundation/value.h"
#include "platform/net/http.h"
#include "platform/net/session.h"

namespace core {

// (response, data, session ID, error).
using GULNetworkURLSessionCompletionHandler =
    std::function<void(std::shared_ptr<const platform::net::Response>, std::optional<platform::foundation::Bytes>,
                       const std::string& sessionID, std::optional<platform::foundation::Error>)>;
using GULNetworkSystemCompletionHandler = std::function<void()>;

inline constexpr std::string_view kGULNetworkBackgroundSessionConfigIDPrefix = "com.gul.network.background-upload";

class GULNetworkURLSession : public platform::net::SessionDelegate,
                             public std::enable_shared_from_this<GULNetworkURLSession> {
 public:
  // Makes the sessions of every fetcher. By default net::Session::make; tests
  // may replace it (an empty function restores the default).
  using SessionFactory = std::function<std::shared_ptr<platform::net::Session>(
      platform::net::Configuration, std::shared_ptr<platform::net::SessionDelegate>,
      std::shared_ptr<platform::dispatch::OperationQueue>)>;
  static void setSessionFactory(SessionFactory factory);

  static std::shared_ptr<GULNetworkURLSession> initWithNetworkLoggerDelegate(
      std::weak_ptr<GULNetworkLoggerDelegate> networkLoggerDelegate);

  // The session ID, or nullopt after the handler got error 2 (asynchronously).
  std::optional<std::string> sessionIDFromAsyncPOSTRequest(const platform::net::Request& request,
                                                           GULNetworkURLSessionCompletionHandler handler);
  std::optional<std::string> sessionIDFromAsyncGETRequest(const platform::net::Request& request,
                                                          GULNetworkURLSessionCompletionHandler handler);

  // Session delegate.
  bool implements(platform::net::Callback callback) const override;
  void did_finish_downloading(platform::net::Session& session, platform::net::DownloadTask& task,
                              const platform::foundation::Url& location) override;
  void did_complete(platform::net::Session& session, platform::net::Task& task,
                    std::optional<platform::foundation::Error> error) override;
  void task_did_receive_challenge(platform::net::Session& session, platform::net::Task& task,
                                  const platform::net::Challenge& challenge,
                                  platform::net::ChallengeHandler handler) override;
  void will_perform_redirection(platform::net::Session& session, platform::net::Task& task,
                                const platform::net::Response& response, platform::net::Request newRequest,
                                std::function<void(std::optional<platform::net::Request>)> handler) override;
  void did_finish_events_for_background_session(platform::net::Session& session) override;

  void addSystemCompletionHandler(GULNetworkSystemCompletionHandler handler, const std::string& identifier);
  void callSystemCompletionHandler(const std::string& identifier);

  void setSessionID(std::string sessionID);
  const std::string& sessionID() const { return sessionID_; }
  platform::net::Configuration backgroundSessionConfigWithSessionID(const std::string& sessionID) const;
  static void populateSessionConfig(platform::net::Configuration& sessionConfig, const platform::net::Request& request);
  std::filesystem::path temporaryFilePathWithSessionID(const std::string& sessionID) const;
  bool ensureTemporaryDirectoryExists();
  void excludeFromBackupForURL(const std::filesystem::path& url);
  void removeTempItemAtURL(const std::filesystem::path& url);
  void maybeRemoveTempFilesAtURL(const std::filesystem::path& folderURL, double staleTime);
  void callCompletionHandler(const GULNetworkURLSessionCompletionHandler& handler,
                             std::shared_ptr<const platform::net::Response> response,
                             std::optional<platform::foundation::Bytes> data,
                             std::optional<platform::foundation::Error> error);

  // Class-wide: background relaunch and the fetcher map.
  static void handleEventsForBackgroundURLSessionID(const std::string& sessionID,
                                                    GULNetworkSystemCompletionHandler systemCompletionHandler);
  static std::shared_ptr<GULNetworkURLSession> fetcherWithSessionIdentifier(const std::string& sessionIdentifier);
  static void setSessionInFetcherMap(const std::shared_ptr<GULNetworkURLSession>& session,
                                     const std::string& sessionID);
  static std::shared_ptr<GULNetworkURLSession> sessionFromFetcherMapForSessionID(const std::string& sessionID);
  static GULMutableDictionary<GULNetworkSystemCompletionHandler>& sessionIDToSystemCompletionHandlerDictionary();

  bool isBackgroundNetworkEnabled() const { return backgroundNetworkEnabled_; }
  void setBackgroundNetworkEnabled(bool enabled) { backgroundNetworkEnabled_ = enabled; }
  const std::filesystem::path& networkDirectoryURL() const { return networkDirectoryURL_; }
  const std::filesystem::path& uploadingFileURL() const { return uploadingFileURL_; }
  std::shared_ptr<platform::net::Session> URLSession() const { return URLSession_.lock(); }

  struct Passkey {
   private:
    Passkey() = default;
    friend class GULNetworkURLSession;
  };
  GULNetworkURLSession(Passkey, std::weak_ptr<GULNetworkLoggerDelegate> networkLoggerDelegate);

 private:
  // Starts `task` on `session` (both may be null) or reports error 2.
  std::optional<std::string> startTask(const std::shared_ptr<platform::net::Session>& session,
                                       const std::shared_ptr<platform::net::Task>& task,
                                       const platform::net::Request& request,
                                       GULNetworkURLSessionCompletionHandler handler);
  std::shared_ptr<platform::net::Session> makeSession(platform::net::Configuration configuration);
  void log(GULNetworkLogLevel level, GULNetworkMessageCode code, const std::string& message) const;
  void log(GULNetworkLogLevel level, GULNetworkMessageCode code, const std::string& message,
           const platform::foundation::Value& context) const;
  void log(GULNetworkLogLevel level, GULNetworkMessageCode code, const std::string& message,
           const std::vector<platform::foundation::Value>& contexts) const;

  mutable std::mutex mutex_;  // the handler, the downloaded data and the session
  GULNetworkURLSessionCompletionHandler completionHandler_;
  std::string sessionID_;
  platform::net::Configuration sessionConfig_;
  std::filesystem::path networkDirectoryURL_;
  std::optional<platform::foundation::Bytes> downloadedData_;
  std::filesystem::path uploadingFileURL_;
  std::optional<platform::net::Request> request_;
  std::weak_ptr<platform::net::Session> URLSession_;
  bool backgroundNetworkEnabled_ = false;
  std::weak_ptr<GULNetworkLoggerDelegate> loggerDelegate_;
};

}  // namespace core
