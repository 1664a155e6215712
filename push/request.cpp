#include "push/request.h"

#include <array>
#include <cstdio>

#include "platform/foundation/json.h"
#include "platform/foundation/text.h"
#include "platform/foundation/url.h"
#include "platform/security/digest.h"
#include "push/log.h"

namespace push {

namespace {

// Path characters that may stay as they are inside one segment.
constexpr foundation::CharSet kSegmentAllowed = foundation::charsets::url_path_allowed.without("/");

void setIfGiven(foundation::Dict& d, std::string key, const Opt& value) {
  if (value) d.set(std::move(key), *value);
}
void setIfGiven(foundation::Dict& d, std::string key, OptNumber value) {
  if (value) d.set(std::move(key), *value);
}
void setIfNonEmpty(foundation::Dict& d, std::string key, const Opt& value) {
  if (value && !value->empty()) d.set(std::move(key), *value);
}
void setOrNull(foundation::Dict& d, std::string key, const Opt& value) {
  d.set(std::move(key), value ? foundation::Value(*value) : foundation::Value());
}

template <class T>
std::shared_ptr<T> make(std::int32_t method, std::string path, foundation::Dict parameters) {
  auto request = std::make_shared<T>();
  request->setParameters(std::move(parameters));
  request->setMethod(method);
  request->setPath(std::move(path));
  return request;
}

std::string playerPath(const Opt& userId, std::string_view suffix = {}) {
  return "players/" + pathArgument(userId) + std::string(suffix);
}

}  // namespace

std::string_view methodText(std::int32_t method) {
  static constexpr std::array<std::string_view, 8> texts = {"GET",    "POST",    "HEAD",   "PUT",
                                                            "DELETE", "OPTIONS", "CONNECT", "TRACE"};
  return method >= 0 && method < 8 ? texts[static_cast<std::size_t>(method)] : std::string_view{};
}

std::string pathSegment(std::string_view text) {
  if (text == "." || text == "..") {
    std::string dots;
    for (std::size_t i = 0; i < text.size(); ++i) dots += "%2E";
    return dots;
  }
  return foundation::percent_encode(text, kSegmentAllowed);
}

std::string pathArgument(const std::optional<std::string>& text) { return text ? pathSegment(std::string_view(*text)) : "(null)"; }

net::Request RerAvirorRequest::urlRequest() const {
  std::string text(kRestEndpoint);
  text += kApiRoot;
  text += path_.value_or("");
  net::Request request;
  request.url = foundation::Url::parse(text);
  request.headers.set("Content-Type", "application/json");
  request.headers.set("Accept", "application/json");
  request.method = std::string(methodText(method_));
  switch (method_) {
    case POST:
    case PUT:
      attachBodyToRequest(request, parameters_);
      break;
    case GET:
    case DELETE:
      attachQueryParametersToRequest(request, parameters_);
      break;
    default:
      break;
  }
  return request;
}

bool RerAvirorRequest::missingAppId() const {
  if (!parameters_) return true;
  const foundation::Value* appId = parameters_->find("app_id");
  if (!appId) return true;
  const std::string* text = appId->string();
  return text && text->empty();
}

void RerAvirorRequest::attachBodyToRequest(net::Request& request,
                                           const std::optional<foundation::Dict>& parameters) const {
  if (!parameters) return;
  const foundation::Value body(*parameters);
  if (!foundation::json::is_valid_object(body)) {
    writeLogLine(kLogWarn, "RerAviror Attempted to make a request with an invalid JSON body: " + foundation::describe(body));
    return;
  }
  if (auto bytes = foundation::json::serialize(body, {.pretty = true})) request.body = std::move(*bytes);
}

void RerAvirorRequest::attachQueryParametersToRequest(net::Request& request,
                                                      const std::optional<foundation::Dict>& parameters) const {
  if (!parameters) return;
  std::string text = request.url ? request.url->absolute_string() : std::string();
  const std::string query = queryStringForParameters(*parameters);
  if (!query.empty()) text += "?" + query;
  request.url = foundation::Url::parse(text);
}

std::string RerAvirorRequest::queryStringForParameters(const foundation::Dict& parameters) {
  std::string joined;
  for (const auto& [key, value] : parameters) joined += key + "=" + foundation::describe(value) + "&";
  if (!joined.empty()) joined.pop_back();
  return foundation::percent_encode(joined, foundation::charsets::url_query_allowed);
}

// ---- the catalogue ----

std::shared_ptr<OSRequestGetTags> OSRequestGetTags::withUserId(const Opt& userId, const Opt& appId) {
  foundation::Dict p;
  setIfGiven(p, "app_id", appId);
  return make<OSRequestGetTags>(GET, playerPath(userId), std::move(p));
}

std::shared_ptr<OSRequestGetIosParams> OSRequestGetIosParams::withUserId(const Opt& userId, const Opt& appId) {
  std::optional<foundation::Dict> p;
  if (userId) p = foundation::Dict{{"player_id", *userId}};
  auto request = std::make_shared<OSRequestGetIosParams>();
  request->setParameters(std::move(p));
  request->setMethod(GET);
  request->setPath("apps/" + pathArgument(appId) + "/ios_params.js");
  request->setDisableLocalCaching(true);
  return request;
}

std::shared_ptr<OSRequestSendTagsToServer> OSRequestSendTagsToServer::withUserId(
    const Opt& userId, const Opt& appId, const std::optional<foundation::Dict>& tags, OptNumber networkType,
    const Opt& emailAuthHashToken) {
  foundation::Dict p;
  setIfGiven(p, "app_id", appId);
  if (tags) p.set("tags", *tags);
  setIfGiven(p, "net_type", networkType);
  setIfNonEmpty(p, "email_auth_hash", emailAuthHashToken);
  return make<OSRequestSendTagsToServer>(PUT, playerPath(userId), std::move(p));
}

std::shared_ptr<OSRequestPostNotification> OSRequestPostNotification::withAppId(const Opt& appId,
                                                                                foundation::Dict json) {
  if (!json.contains("app_id") && appId) json.set("app_id", *appId);
  return make<OSRequestPostNotification>(POST, "notifications", std::move(json));
}

std::shared_ptr<OSRequestUpdateDeviceToken> OSRequestUpdateDeviceToken::withUserId(
    const Opt& userId, const Opt& appId, const Opt& deviceToken, OptNumber notificationTypes, const Opt& parentId,
    const Opt& emailAuthToken, const Opt& email) {
  foundation::Dict p;
  setIfGiven(p, "app_id", appId);
  setIfGiven(p, "email", email);
  setIfGiven(p, "notification_types", notificationTypes);
  setIfGiven(p, "identifier", deviceToken);
  setIfGiven(p, "parent_player_id", parentId);
  setIfNonEmpty(p, "email_auth_hash", emailAuthToken);
  return make<OSRequestUpdateDeviceToken>(PUT, playerPath(userId), std::move(p));
}

std::shared_ptr<OSRequestCreateDevice> OSRequestCreateDevice::withAppId(const Opt& appId, std::int64_t deviceType,
                                                                        const Opt& email, const Opt& playerId,
                                                                        const Opt& emailAuthHash) {
  foundation::Dict p;
  setIfGiven(p, "app_id", appId);
  p.set("device_type", deviceType);
  setOrNull(p, "identifier", email);
  setOrNull(p, "email_auth_hash", emailAuthHash);
  setOrNull(p, "device_player_id", playerId);
  return make<OSRequestCreateDevice>(POST, "players", std::move(p));
}

std::shared_ptr<OSRequestLogoutEmail> OSRequestLogoutEmail::withAppId(const Opt& appId, const Opt& emailPlayerId,
                                                                      const Opt& devicePlayerId,
                                                                      const Opt& emailAuthHash) {
  foundation::Dict p;
  setOrNull(p, "parent_player_id", emailPlayerId);
  setOrNull(p, "email_auth_hash", emailAuthHash);
  setIfGiven(p, "app_id", appId);
  return make<OSRequestLogoutEmail>(POST, playerPath(devicePlayerId, "/email_logout"), std::move(p));
}

std::shared_ptr<OSRequestUpdateNotificationTypes> OSRequestUpdateNotificationTypes::withUserId(
    const Opt& userId, const Opt& appId, std::int64_t notificationTypes) {
  foundation::Dict p;
  setIfGiven(p, "app_id", appId);
  p.set("notification_types", notificationTypes);
  return make<OSRequestUpdateNotificationTypes>(PUT, playerPath(userId), std::move(p));
}

std::shared_ptr<OSRequestSendPurchases> OSRequestSendPurchases::withUserId(const Opt& userId, const Opt& appId,
                                                                          foundation::Array purchases) {
  foundation::Dict p;
  setIfGiven(p, "app_id", appId);
  p.set("purchases", std::move(purchases));
  return make<OSRequestSendPurchases>(POST, playerPath(userId, "/on_purchase"), std::move(p));
}

std::shared_ptr<OSRequestSendPurchases> OSRequestSendPurchases::withUserId(const Opt& userId,
                                                                          const Opt& emailAuthToken,
                                                                          const Opt& appId,
                                                                          foundation::Array purchases) {
  foundation::Dict p;
  setIfGiven(p, "app_id", appId);
  p.set("purchases", std::move(purchases));
  setOrNull(p, "email_auth_hash", emailAuthToken);
  return make<OSRequestSendPurchases>(POST, playerPath(userId, "/on_purchase"), std::move(p));
}

std::shared_ptr<OSRequestSubmitNotificationOpened> OSRequestSubmitNotificationOpened::withUserId(
    const Opt& userId, const Opt& appId, bool wasOpened, const Opt& messageId) {
  foundation::Dict p;
  setOrNull(p, "player_id", userId);
  setOrNull(p, "app_id", appId);
  p.set("opened", wasOpened);
  return make<OSRequestSubmitNotificationOpened>(PUT, "notifications/" + pathArgument(messageId), std::move(p));
}

std::shared_ptr<OSRequestRegisterUser> OSRequestRegisterUser::withData(foundation::Dict registrationData,
                                                                      const Opt& userId) {
  return make<OSRequestRegisterUser>(POST, userId ? playerPath(userId, "/on_session") : std::string("players"),
                                     std::move(registrationData));
}

std::shared_ptr<OSRequestSyncHashedEmail> OSRequestSyncHashedEmail::withUserId(const Opt& userId, const Opt& appId,
                                                                              std::string_view email,
                                                                              std::int64_t networkType) {
  const std::string lower = foundation::text::lower(email);
  const auto bytes = foundation::to_bytes(lower);
  const std::string md5 = foundation::hex_lower(platform::security::md5(bytes));
  const std::string sha1 = foundation::hex_lower(platform::security::sha1(bytes));
  writeLogLine(kLogDebug, lower + " - MD5: " + md5 + ", SHA1:" + sha1);
  foundation::Dict p;
  setIfGiven(p, "app_id", appId);
  p.set("em_m", md5);
  p.set("em_s", sha1);
  p.set("net_type", networkType);
  return make<OSRequestSyncHashedEmail>(PUT, playerPath(userId), std::move(p));
}

std::shared_ptr<OSRequestSendLocation> OSRequestSendLocation::withUserId(const Opt& userId, const Opt& appId,
                                                                        const OSLastLocation& location,
                                                                        OptNumber networkType, bool backgroundState,
                                                                        const Opt& emailAuthHashToken) {
  foundation::Dict p;
  setIfGiven(p, "app_id", appId);
  p.set("lat", location.latitude);
  p.set("long", location.longitude);
  p.set("loc_acc_vert", location.verticalAccuracy);
  p.set("loc_acc", location.horizontalAccuracy);
  setIfGiven(p, "net_type", networkType);
  p.set("loc_bg", backgroundState);
  setIfNonEmpty(p, "email_auth_hash", emailAuthHashToken);
  return make<OSRequestSendLocation>(PUT, playerPath(userId), std::move(p));
}

std::shared_ptr<OSRequestOnFocus> OSRequestOnFocus::withUserId(const Opt& userId, const Opt& appId,
                                                              OptNumber badgeCount, const Opt& emailAuthToken) {
  foundation::Dict p;
  setIfGiven(p, "app_id", appId);
  setIfGiven(p, "badgeCount", badgeCount);
  setIfNonEmpty(p, "email_auth_hash", emailAuthToken);
  return make<OSRequestOnFocus>(PUT, playerPath(userId), std::move(p));
}

std::shared_ptr<OSRequestOnFocus> OSRequestOnFocus::withUserId(const Opt& userId, const Opt& appId,
                                                              const Opt& state, OptNumber type,
                                                              std::optional<double> activeTime, OptNumber netType,
                                                              const Opt& emailAuthToken) {
  foundation::Dict p;
  setIfGiven(p, "app_id", appId);
  setIfGiven(p, "state", state);
  setIfGiven(p, "type", type);
  if (activeTime) p.set("active_time", *activeTime);
  setIfGiven(p, "net_type", netType);
  setIfNonEmpty(p, "email_auth_hash", emailAuthToken);
  return make<OSRequestOnFocus>(POST, playerPath(userId, "/on_focus"), std::move(p));
}

}  // namespace push
