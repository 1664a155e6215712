#pragma once
// The network log's protocol, levels and message codes, shared by the network
// client and its URL-session fetchers.
//
// Threads: a logger delegate may be called from any thread (fetchers log on
// the main thread and, for trust, on a global queue).
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/value.h"

namespace core {

enum GULNetworkLogLevel : std::int64_t {
  kGULNetworkLogLevelError = 3,
  kGULNetworkLogLevelWarning = 4,
  kGULNetworkLogLevelInfo = 6,
  kGULNetworkLogLevelDebug = 7,
};

enum GULNetworkMessageCode : std::int64_t {
  // GULNetwork
  kGULNetworkMessageCodeNetwork000 = 900000,  // Uploading data.
  kGULNetworkMessageCodeNetwork001 = 900001,  // Downloading data.
  kGULNetworkMessageCodeNetwork002 = 900002,  // Failed to create a request / bad logger delegate.
  kGULNetworkMessageCodeNetwork003 = 900003,  // No background session at relaunch.
  // GULNetworkURLSession
  kGULNetworkMessageCodeURLSession000 = 901000,
  kGULNetworkMessageCodeURLSession001 = 901001,
  kGULNetworkMessageCodeURLSession002 = 901002,
  kGULNetworkMessageCodeURLSession003 = 901003,
  kGULNetworkMessageCodeURLSession004 = 901004,
  kGULNetworkMessageCodeURLSession005 = 901005,
  kGULNetworkMessageCodeURLSession006 = 901006,
  kGULNetworkMessageCodeURLSession007 = 901007,
  kGULNetworkMessageCodeURLSession008 = 901008,
  kGULNetworkMessageCodeURLSession009 = 901009,
  kGULNetworkMessageCodeURLSession010 = 901010,
  kGULNetworkMessageCodeURLSession011 = 901011,
  kGULNetworkMessageCodeURLSession012 = 901012,
  kGULNetworkMessageCodeURLSession013 = 901013,
  kGULNetworkMessageCodeURLSession014 = 901014,
  kGULNetworkMessageCodeURLSession015 = 901015,
  kGULNetworkMessageCodeURLSession016 = 901016,
  kGULNetworkMessageCodeURLSession017 = 901017,
  kGULNetworkMessageCodeURLSession018 = 901018,
  kGULNetworkMessageCodeURLSession019 = 901019,
  // GULReachabilityChecker
  kGULNetworkMessageCodeReachabilityChecker000 = 902000,
  kGULNetworkMessageCodeReachabilityChecker001 = 902001,
  kGULNetworkMessageCodeReachabilityChecker002 = 902002,
  kGULNetworkMessageCodeReachabilityChecker003 = 902003,
  kGULNetworkMessageCodeReachabilityChecker004 = 902004,
  kGULNetworkMessageCodeReachabilityChecker005 = 902005,
};

// The three forms of the logger protocol, for implements().
enum class GULNetworkLoggerSelector { logWithContexts, logWithContext, logWithoutContext };

// Messages may be nullopt (nil). A null Value in the contexts is a null placeholder.
class GULNetworkLoggerDelegate {
 public:
  virtual ~GULNetworkLoggerDelegate() = default;
  // Whether the object answers that form (responds-to).
  virtual bool implements(GULNetworkLoggerSelector) const { return true; }
  virtual void GULNetwork_logWithLevel(GULNetworkLogLevel logLevel, GULNetworkMessageCode messageCode,
                                       const std::optional<std::string>& message,
                                       const std::vector<platform::foundation::Value>& contexts) = 0;
  virtual void GULNetwork_logWithLevel(GULNetworkLogLevel logLevel, GULNetworkMessageCode messageCode,
                                       const std::optional<std::string>& message,
                                       const platform::foundation::Value& context) = 0;
  virtual void GULNetwork_logWithLevel(GULNetworkLogLevel logLevel, GULNetworkMessageCode messageCode,
                                       const std::optional<std::string>& message) = 0;
};

// The network client's error domain and its one user-info key.
inline constexpr std::string_view kGULNetworkErrorDomain = "com.gul.network.ErrorDomain";
inline constexpr std::string_view kGULNetworkErrorContext = "Context";

enum GULNetworkErrorCode : std::int64_t {
  GULErrorCodeNetworkInvalidURL = 1,
  GULErrorCodeNetworkSessionTaskCreation = 2,
  GULErrorCodeNetworkPayloadCompression = 3,
  GULErrorCodeNetworkRequestCreation = 4,
  GULErrorCodeNetworkInvalidResponse = 5,
};

}  // namespace core
