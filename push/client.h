#pragma once
// The REST client: sends push-service requests through one of two sessions,
// refuses requests without consent or app id, turns replies into a parsed
// dictionary or an error, and re-sends after a missing or 5xx answer.
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"
#include "platform/net/session.h"
#include "push/request.h"

namespace push {

inline constexpr std::string_view kErrorDomain = "RerAvirorError";
inline constexpr std::string_view kErrorDomainSpaced = "RerAviror Error";

// The parsed reply; nullopt when the reply had no body. A JSON reply that is
// not an object arrives as an empty dictionary (it has no fields).
using OSResultSuccessBlock = std::function<void(const std::optional<foundation::Dict>& result)>;
using OSFailureBlock = std::function<void(const foundation::Error& error)>;
using OSMultipleSuccessBlock = std::function<void(const std::map<std::string, foundation::Dict>& results)>;
using OSMultipleFailureBlock = std::function<void(const std::map<std::string, foundation::Error>& errors)>;

// A failed request waiting to be sent again.
struct ReattemptRequest {
  std::shared_ptr<RerAvirorRequest> request;
  OSResultSuccessBlock successBlock;
  OSFailureBlock failureBlock;

  static std::shared_ptr<ReattemptRequest> withRequest(std::shared_ptr<RerAvirorRequest> request,
                                                       OSResultSuccessBlock successBlock,
                                                       OSFailureBlock failureBlock);
};

// One success and one failure callback with guarded accessors.
class OSPendingCallbacks {
 public:
  OSResultSuccessBlock successBlock() const;
  void setSuccessBlock(OSResultSuccessBlock block);
  OSFailureBlock failureBlock() const;
  void setFailureBlock(OSFailureBlock block);

 private:
  mutable std::mutex mutex_;
  OSResultSuccessBlock success_;
  OSFailureBlock failure_;
};

class RerAvirorClient {
 public:
  static RerAvirorClient& sharedClient();
  RerAvirorClient();

  const std::shared_ptr<net::Session>& sharedSession() const { return sharedSession_; }
  const std::shared_ptr<net::Session>& noCacheSession() const { return noCacheSession_; }
  // The session an asynchronous send of this request takes.
  const std::shared_ptr<net::Session>& sessionForRequest(const RerAvirorRequest& request) const;
  static net::Configuration configurationWithCachingPolicy(net::CachePolicy policy);

  // Callbacks run on the session's completion queue.
  void executeRequest(std::shared_ptr<RerAvirorRequest> request, OSResultSuccessBlock successBlock,
                      OSFailureBlock failureBlock);
  // Runs the requests together; one answer on the main queue once all ended
  // or 450 s passed. An empty batch never answers.
  void executeSimultaneousRequests(std::map<std::string, std::shared_ptr<RerAvirorRequest>> requests,
                                   OSMultipleSuccessBlock successBlock, OSMultipleFailureBlock failureBlock);
  // Blocks up to 120 s; the reply body is not kept.
  void executeSynchronousRequest(std::shared_ptr<RerAvirorRequest> request, OSResultSuccessBlock successBlock,
                                 OSFailureBlock failureBlock);

  static foundation::Error privacyConsentErrorWithRequestType(std::string_view type);
  static foundation::Error genericTimedOutError();
  bool validRequest(const RerAvirorRequest& request) const;
  void handleMissingAppIdError(const OSFailureBlock& failureBlock, const RerAvirorRequest& request) const;
  void prettyPrintDebugStatementWithRequest(const RerAvirorRequest& request) const;
  bool willReattemptRequest(int statusCode, const std::shared_ptr<RerAvirorRequest>& request,
                            const OSResultSuccessBlock& successBlock, const OSFailureBlock& failureBlock,
                            bool asyncRequest);
  void reattemptRequest(const std::shared_ptr<ReattemptRequest>& reattempt);
  void handleJSONNSURLResponse(const std::shared_ptr<const net::Response>& response,
                               const std::optional<foundation::Bytes>& data,
                               const std::optional<foundation::Error>& error, bool isAsync,
                               const std::shared_ptr<RerAvirorRequest>& request,
                               const OSResultSuccessBlock& successBlock, const OSFailureBlock& failureBlock);

  static constexpr double kTimeoutSeconds = 120;
  static constexpr double kBatchWaitSeconds = 450;
  static constexpr double kReattemptDelaySeconds = 30;
  static constexpr int kMaxReattempts = 2;

 private:
  std::shared_ptr<net::Session> sharedSession_;
  std::shared_ptr<net::Session> noCacheSession_;
};

}  // namespace push
