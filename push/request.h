#pragma once
// Requests to the push service's REST API: the base request and the
// catalogue of operations. A request holds its method, path and parameters
// and builds a fresh HTTP request for each send; the REST client sends it.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"
#include "platform/net/http.h"

namespace push {

namespace foundation = platform::foundation;
namespace net = platform::net;

// The push service's REST endpoint (ends with "/").
inline constexpr std::string_view kRestEndpoint = "https://push.example.net/";
inline constexpr std::string_view kApiRoot = "api/v1/";

enum OSRequestMethod : std::int32_t { GET = 0, POST = 1, HEAD = 2, PUT = 3, DELETE = 4, OPTIONS = 5, CONNECT = 6, TRACE = 7 };

// "GET" ... "TRACE"; "" for a code outside 0-7.
std::string_view methodText(std::int32_t method);

// One path segment: the text percent-encoded so that "/", "?", "#" and "%"
// cannot leave the segment; "." and ".." are encoded too.
std::string pathSegment(std::string_view text);
// A "%@" argument as a path segment; an absent one reads "(null)".
std::string pathArgument(const std::optional<std::string>& text);

class RerAvirorRequest {
 public:
  RerAvirorRequest() = default;
  virtual ~RerAvirorRequest() = default;

  virtual std::string_view className() const { return "RerAvirorRequest"; }

  bool disableLocalCaching() const { return disableLocalCaching_; }
  void setDisableLocalCaching(bool value) { disableLocalCaching_ = value; }
  std::int32_t method() const { return method_; }
  void setMethod(std::int32_t value) { method_ = value; }
  const std::optional<std::string>& path() const { return path_; }
  void setPath(std::optional<std::string> value) { path_ = std::move(value); }
  const std::optional<foundation::Dict>& parameters() const { return parameters_; }
  void setParameters(std::optional<foundation::Dict> value) { parameters_ = std::move(value); }
  std::int32_t reattemptCount() const { return reattemptCount_; }
  void setReattemptCount(std::int32_t value) { reattemptCount_ = value; }

  // A new HTTP request: endpoint + "api/v1/" + path, the two JSON headers,
  // the method, and the parameters as body (POST, PUT) or query (GET, DELETE).
  net::Request urlRequest() const;
  virtual bool missingAppId() const;

  void attachBodyToRequest(net::Request& request, const std::optional<foundation::Dict>& parameters) const;
  void attachQueryParametersToRequest(net::Request& request, const std::optional<foundation::Dict>& parameters) const;
  static std::string queryStringForParameters(const foundation::Dict& parameters);

 private:
  bool disableLocalCaching_ = false;
  std::int32_t method_ = GET;
  std::optional<std::string> path_;
  std::optional<foundation::Dict> parameters_;
  std::int32_t reattemptCount_ = 0;
};

using Opt = std::optional<std::string>;
using OptNumber = std::optional<std::int64_t>;

// The last known location: latitude, longitude, vertical and horizontal accuracy.
struct OSLastLocation {
  double latitude = 0, longitude = 0, verticalAccuracy = 0, horizontalAccuracy = 0;
};

#define PUSH_REQUEST_CLASS(Name) \
  std::string_view className() const override { return #Name; }

class OSRequestGetTags : public RerAvirorRequest {
 public:
  PUSH_REQUEST_CLASS(OSRequestGetTags)
  static std::shared_ptr<OSRequestGetTags> withUserId(const Opt& userId, const Opt& appId);
};

class OSRequestGetIosParams : public RerAvirorRequest {
 public:
  PUSH_REQUEST_CLASS(OSRequestGetIosParams)
  static std::shared_ptr<OSRequestGetIosParams> withUserId(const Opt& userId, const Opt& appId);
  bool missingAppId() const override { return false; }
};

class OSRequestSendTagsToServer : public RerAvirorRequest {
 public:
  PUSH_REQUEST_CLASS(OSRequestSendTagsToServer)
  static std::shared_ptr<OSRequestSendTagsToServer> withUserId(const Opt& userId, const Opt& appId,
                                                               const std::optional<foundation::Dict>& tags,
                                                               OptNumber networkType, const Opt& emailAuthHashToken);
};

class OSRequestPostNotification : public RerAvirorRequest {
 public:
  PUSH_REQUEST_CLASS(OSRequestPostNotification)
  // The notification is the parameters; "app_id" is added when it has none.
  static std::shared_ptr<OSRequestPostNotification> withAppId(const Opt& appId, foundation::Dict json);
};

class OSRequestUpdateDeviceToken : public RerAvirorRequest {
 public:
  PUSH_REQUEST_CLASS(OSRequestUpdateDeviceToken)
  static std::shared_ptr<OSRequestUpdateDeviceToken> withUserId(const Opt& userId, const Opt& appId,
                                                                const Opt& deviceToken, OptNumber notificationTypes,
                                                                const Opt& parentId, const Opt& emailAuthToken,
                                                                const Opt& email);
};

class OSRequestCreateDevice : public RerAvirorRequest {
 public:
  PUSH_REQUEST_CLASS(OSRequestCreateDevice)
  static std::shared_ptr<OSRequestCreateDevice> withAppId(const Opt& appId, std::int64_t deviceType,
                                                          const Opt& email, const Opt& playerId,
                                                          const Opt& emailAuthHash);
};

class OSRequestLogoutEmail : public RerAvirorRequest {
 public:
  PUSH_REQUEST_CLASS(OSRequestLogoutEmail)
  static std::shared_ptr<OSRequestLogoutEmail> withAppId(const Opt& appId, const Opt& emailPlayerId,
                                                         const Opt& devicePlayerId, const Opt& emailAuthHash);
};

class OSRequestUpdateNotificationTypes : public RerAvirorRequest {
 public:
  PUSH_REQUEST_CLASS(OSRequestUpdateNotificationTypes)
  static std::shared_ptr<OSRequestUpdateNotificationTypes> withUserId(const Opt& userId, const Opt& appId,
                                                                      std::int64_t notificationTypes);
};

class OSRequestSendPurchases : public RerAvirorRequest {
 public:
  PUSH_REQUEST_CLASS(OSRequestSendPurchases)
  static std::shared_ptr<OSRequestSendPurchases> withUserId(const Opt& userId, const Opt& appId,
                                                            foundation::Array purchases);
  static std::shared_ptr<OSRequestSendPurchases> withUserId(const Opt& userId, const Opt& emailAuthToken,
                                                            const Opt& appId, foundation::Array purchases);
};

class OSRequestSubmitNotificationOpened : public RerAvirorRequest {
 public:
  PUSH_REQUEST_CLASS(OSRequestSubmitNotificationOpened)
  static std::shared_ptr<OSRequestSubmitNotificationOpened> withUserId(const Opt& userId, const Opt& appId,
                                                                       bool wasOpened, const Opt& messageId);
};

class OSRequestRegisterUser : public RerAvirorRequest {
 public:
  PUSH_REQUEST_CLASS(OSRequestRegisterUser)
  // The registration record is the parameters; with a user id the path is its on_session.
  static std::shared_ptr<OSRequestRegisterUser> withData(foundation::Dict registrationData, const Opt& userId);
};

class OSRequestSyncHashedEmail : public RerAvirorRequest {
 public:
  PUSH_REQUEST_CLASS(OSRequestSyncHashedEmail)
  static std::shared_ptr<OSRequestSyncHashedEmail> withUserId(const Opt& userId, const Opt& appId,
                                                              std::string_view email, std::int64_t networkType);
};

class OSRequestSendLocation : public RerAvirorRequest {
 public:
  PUSH_REQUEST_CLASS(OSRequestSendLocation)
  static std::shared_ptr<OSRequestSendLocation> withUserId(const Opt& userId, const Opt& appId,
                                                           const OSLastLocation& location, OptNumber networkType,
                                                           bool backgroundState, const Opt& emailAuthHashToken);
};

class OSRequestOnFocus : public RerAvirorRequest {
 public:
  PUSH_REQUEST_CLASS(OSRequestOnFocus)
  static std::shared_ptr<OSRequestOnFocus> withUserId(const Opt& userId, const Opt& appId, OptNumber badgeCount,
                                                      const Opt& emailAuthToken);
  static std::shared_ptr<OSRequestOnFocus> withUserId(const Opt& userId, const Opt& appId, const Opt& state,
                                                      OptNumber type, std::optional<double> activeTime,
                                                      OptNumber netType, const Opt& emailAuthToken);
};

#undef PUSH_REQUEST_CLASS

}  // namespace push
