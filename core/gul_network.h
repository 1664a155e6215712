#pragma once
// GULNetwork: the HTTP facade of the core and the analytics engine. It sends
// a gzip-compressed POST or a GET with the caller's headers, each in its own
// URL-session fetcher, keeps the requests in flight, follows the
// reachability of one host and owns the network log.
//
// Threads: the request methods may be called from any thread; the handler
// runs on the queue given with the request (the main queue when none).
// Reachability reports and fetcher callbacks arrive on the main thread. The
// delegates, the debug flag and the timeout may be set from any thread.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/gul_network_logger.h"
#include "core/gul_network_url_session.h"
#include "core/gul_reachability_checker.h"
#include "core/mutable_dictionary.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/error.h"
#include "platform/foundation/url.h"
#include "platform/net/http.h"

namespace core {

// (HTTP response, data, error).
using GULNetworkCompletionHandler =
    std::function<void(std::shared_ptr<const platform::net::Response>, std::optional<platform::foundation::Bytes>,
                       std::optional<platform::foundation::Error>)>;

class GULNetworkReachabilityDelegate {
 public:
  virtual ~GULNetworkReachabilityDelegate() = default;
  virtual void reachabilityDidChange() = 0;
};

class GULNetwork : public GULReachabilityDelegate,
                   public GULNetworkLoggerDelegate,
                   public std::enable_shared_from_this<GULNetwork> {
 public:
  // For the analytics collection host.
  static std::shared_ptr<GULNetwork> init();
  // nullptr when the host's reachability checker does not start.
  static std::shared_ptr<GULNetwork> initWithReachabilityHost(std::string_view reachabilityHost);
  ~GULNetwork() override;
  GULNetwork(const GULNetwork&) = delete;
  GULNetwork& operator=(const GULNetwork&) = delete;

  // The session ID, or nullopt after the handler was given the error (asynchronously).
  std::optional<std::string> postURL(const platform::foundation::Url& url, const platform::foundation::Bytes& payload,
                                     std::optional<platform::dispatch::Queue> queue, bool usingBackgroundSession,
                                     GULNetworkCompletionHandler handler);
  std::optional<std::string> getURL(const platform::foundation::Url& url, const platform::net::Headers& headers,
                                    std::optional<platform::dispatch::Queue> queue, bool usingBackgroundSession,
                                    GULNetworkCompletionHandler handler);

  bool hasUploadInProgress() const;
  bool isNetworkConnected() const { return networkConnected_.load(); }

  // Refused (900002) unless the object answers all three forms; the previous one then stays.
  void setLoggerDelegate(std::weak_ptr<GULNetworkLoggerDelegate> loggerDelegate);
  std::shared_ptr<GULNetworkLoggerDelegate> loggerDelegate() const;
  void setReachabilityDelegate(std::weak_ptr<GULNetworkReachabilityDelegate> reachabilityDelegate);
  std::shared_ptr<GULNetworkReachabilityDelegate> reachabilityDelegate() const;
  void setIsDebugModeEnabled(bool enabled) { isDebugModeEnabled_ = enabled; }
  bool isDebugModeEnabled() const { return isDebugModeEnabled_.load(); }
  // 0 counts as 60 when a request is built.
  void setTimeoutInterval(double seconds) { timeoutInterval_ = seconds; }
  double timeoutInterval() const { return timeoutInterval_.load(); }

  // Logs the error of `code` and hands it to the handler asynchronously on `queue` (main when none).
  void handleErrorWithCode(std::int64_t code, std::optional<platform::dispatch::Queue> queue,
                           const GULNetworkCompletionHandler& handler);

  // The system woke the app for a background session's events.
  static void handleEventsForBackgroundURLSessionID(const std::string& sessionID,
                                                    GULNetworkSystemCompletionHandler completionHandler);

  // GULReachabilityDelegate.
  void reachabilityStatusChanged(GULReachabilityChecker& reachability, GULReachabilityStatus status) override;

  // GULNetworkLoggerDelegate: forwarded to the logger delegate, else printed.
  void GULNetwork_logWithLevel(GULNetworkLogLevel logLevel, GULNetworkMessageCode messageCode,
                               const std::optional<std::string>& message,
                               const std::vector<platform::foundation::Value>& contexts) override;
  void GULNetwork_logWithLevel(GULNetworkLogLevel logLevel, GULNetworkMessageCode messageCode,
                               const std::optional<std::string>& message,
                               const platform::foundation::Value& context) override;
  void GULNetwork_logWithLevel(GULNetworkLogLevel logLevel, GULNetworkMessageCode messageCode,
                               const std::optional<std::string>& message) override;

  const std::shared_ptr<GULReachabilityChecker>& reachability() const { return reachability_; }

  struct Passkey {
   private:
    Passkey() = default;
    friend class GULNetwork;
  };
  explicit GULNetwork(Passkey);

 private:
  // False after reporting error 1 for an empty URL.
  bool checkURL(const platform::foundation::Url& url, const std::optional<platform::dispatch::Queue>& queue,
                const GULNetworkCompletionHandler& handler);
  // The request of both methods: reloading, with the timeout (0 counts as 60).
  platform::net::Request requestWithURL(const platform::foundation::Url& url) const;
  // Runs a POST (upload) or GET request on a new fetcher, kept in `requests` while it runs.
  std::optional<std::string> startRequest(const platform::net::Request& request,
                                          std::optional<platform::dispatch::Queue> queue, bool usingBackgroundSession,
                                          GULNetworkCompletionHandler handler);
  void printLog(GULNetworkLogLevel logLevel, GULNetworkMessageCode messageCode,
                const std::optional<std::string>& message,
                const std::vector<platform::foundation::Value>& contexts) const;

  std::shared_ptr<GULReachabilityChecker> reachability_;
  GULMutableDictionary<std::shared_ptr<GULNetworkURLSession>> requests_;
  std::atomic<bool> networkConnected_{false};
  std::atomic<bool> isDebugModeEnabled_{false};
  mutable std::mutex delegateMutex_;
  std::weak_ptr<GULNetworkReachabilityDelegate> reachabilityDelegate_;
  std::weak_ptr<GULNetworkLoggerDelegate> loggerDelegate_;
  std::atomic<double> timeoutInterval_{60.0};
};

}  // namespace core
