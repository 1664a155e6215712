// Token register and delete operations.
#include "identity/token_operation.h"

#include <atomic>

#include "identity/checkin_preferences.h"
#include "identity/deployment.h"
#include "identity/key_pair.h"
#include "identity/logger.h"
#include "identity/token_errors.h"
#include "identity/token_reply.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/notification.h"
#include "platform/net/session.h"

namespace identity {

namespace fnd = platform::foundation;
namespace net = platform::net;
namespace dispatch = platform::dispatch;

namespace {

// Touched on the main queue and the session's queue.
std::atomic<int> gPhoneRegistrationRetryCount{0};
constexpr int kMaxPhoneRegistrationErrorRetry = 10;

std::string response_description(const std::shared_ptr<const net::Response>& response) {
  if (!response) return "(null)";
  return "<NSHTTPURLResponse> { URL: " + response->url.absolute_string() + " } { Status Code: " +
         std::to_string(response->status.value_or(0)) + " }";
}

// The record's device ID; none when it has no text.
std::optional<std::string> device_id(const FIRInstanceIDCheckinPreferences& checkin) {
  std::string id = checkin.deviceID();
  if (id.empty()) return std::nullopt;
  return id;
}

}  // namespace

// ---- base ---------------------------------------------------------------------

FIRInstanceIDTokenOperation::FIRInstanceIDTokenOperation(
    FIRInstanceIDTokenAction action, std::optional<std::string> authorizedEntity, std::optional<std::string> scope,
    fnd::Dict options, std::shared_ptr<const FIRInstanceIDCheckinPreferences> checkinPreferences,
    std::shared_ptr<FIRInstanceIDKeyPair> keyPair)
    : action_(action),
      authorizedEntity_(std::move(authorizedEntity)),
      scope_(std::move(scope)),
      options_(std::move(options)),
      checkinPreferences_(std::move(checkinPreferences)),
      keyPair_(std::move(keyPair)) {}

FIRInstanceIDTokenOperation::~FIRInstanceIDTokenOperation() = default;

FIRInstanceIDTokenOperationResult FIRInstanceIDTokenOperation::result() const {
  std::lock_guard lock(mutex_);
  return result_;
}

void FIRInstanceIDTokenOperation::addCompletionHandler(Completion handler) {
  if (!handler) return;
  std::lock_guard lock(mutex_);
  completionHandlers_.push_back(std::move(handler));
}

void FIRInstanceIDTokenOperation::setTestBlock(TestBlock block) {
  std::lock_guard lock(mutex_);
  testBlock_ = std::move(block);
}

void FIRInstanceIDTokenOperation::start() {
  if (is_cancelled()) {
    finishWithResult(FIRInstanceIDTokenOperationCancelled, std::nullopt, std::nullopt);
    return;
  }
  if (checkinPreferences_ && checkinPreferences_->hasCheckinInfo()) {
    set_executing(true);
    performTokenOperation();
  } else {
    finishWithResult(FIRInstanceIDTokenOperationError, std::nullopt,
                     errorWithFIRInstanceIDErrorCode(kFIRInstanceIDErrorCodeRegistrarFailedToCheckIn));
  }
}

void FIRInstanceIDTokenOperation::cancel() {
  Operation::cancel();
  std::shared_ptr<net::Task> task;
  {
    std::lock_guard lock(mutex_);
    task = dataTask_;
  }
  if (task) task->cancel();
  finishWithResult(FIRInstanceIDTokenOperationCancelled, std::nullopt, std::nullopt);
}

void FIRInstanceIDTokenOperation::finishWithResult(FIRInstanceIDTokenOperationResult result,
                                                   std::optional<std::string> token,
                                                   std::optional<fnd::Error> error) {
  std::vector<Completion> handlers;
  {
    std::lock_guard lock(mutex_);
    if (finishing_ || is_finished()) return;
    finishing_ = true;
    dataTask_.reset();
    result_ = result;
    handlers = completionHandlers_;
  }
  for (auto& handler : handlers) handler(result, token, error);
  set_executing(false);
  set_finished(true);
}

std::shared_ptr<net::Session> FIRInstanceIDTokenOperation::sharedURLSession() {
  static const std::shared_ptr<net::Session> session = [] {
    auto configuration = net::Configuration::default_config();
    configuration.timeout_for_resource = 60;
    auto made = net::Session::make(std::move(configuration));
    made->session_description = "com.dozada.iid.tokens.session";
    return made;
  }();
  return session;
}

net::Request FIRInstanceIDTokenOperation::requestWithAuthHeader(const std::string& authHeader) {
  net::Request request;
  request.url = fnd::Url::parse(FIRInstanceIDRegisterURLString());
  request.method = "POST";
  request.headers.set("Authorization", authHeader);
  request.headers.set("app", FIRInstanceIDAppIdentifier());
  return request;
}

std::vector<FIRInstanceIDURLQueryItem> FIRInstanceIDTokenOperation::standardQueryItemsWithDeviceID(
    const std::optional<std::string>& deviceID, const std::optional<std::string>& scope) {
  std::vector<FIRInstanceIDURLQueryItem> items;
  items.push_back({"X-osv", FIRInstanceIDSystemVersion()});
  if (deviceID) items.push_back({"device", *deviceID});
  if (scope) items.push_back({"X-scope", *scope});
  items.push_back({"plat", "2"});
  items.push_back({"app", FIRInstanceIDAppIdentifier()});
  items.push_back({"app_ver", FIRInstanceIDBundleShortVersion()});
  // "%@" of an absent messaging version reads "(null)".
  items.push_back({"X-cliv", "fiid-" + FIRInstanceIDMessagingSDKVersion().value_or("(null)")});
  return items;
}

std::string FIRInstanceIDTokenOperation::HTTPAuthHeaderFromCheckin(const FIRInstanceIDCheckinPreferences& checkin) {
  return "AidLogin " + checkin.deviceID() + ":" + checkin.secretToken();
}

std::vector<FIRInstanceIDURLQueryItem> FIRInstanceIDTokenOperation::queryItemsWithKeyPair(
    const std::shared_ptr<FIRInstanceIDKeyPair>& keyPair) const {
  std::vector<FIRInstanceIDURLQueryItem> items;
  if (!keyPair) return items;
  if (auto identity = FIRInstanceIDKeyPair::appIdentityWithKeyPair(keyPair.get())) items.push_back({"appid", *identity});
  return items;
}

void FIRInstanceIDTokenOperation::send(net::Request request) {
  TestBlock testBlock;
  {
    std::lock_guard lock(mutex_);
    testBlock = testBlock_;
  }
  std::weak_ptr<FIRInstanceIDTokenOperation> weak =
      std::static_pointer_cast<FIRInstanceIDTokenOperation>(shared_from_this());
  ResponseHandler completion = [weak](std::optional<fnd::Bytes> data, std::shared_ptr<const net::Response> response,
                                      std::optional<fnd::Error> error) {
    if (auto self = weak.lock()) self->handleResponseWithData(std::move(data), std::move(response), std::move(error));
  };
  if (testBlock) {
    testBlock(request, std::move(completion));
    return;
  }
  auto task = sharedURLSession()->data_task(std::move(request), std::move(completion));
  {
    std::lock_guard lock(mutex_);
    if (finishing_) return;  // cancelled meanwhile
    dataTask_ = task;
  }
  task->resume();
}

// ---- fetch --------------------------------------------------------------------

FIRInstanceIDTokenFetchOperation::FIRInstanceIDTokenFetchOperation(
    std::string authorizedEntity, std::string scope, fnd::Dict options,
    std::shared_ptr<const FIRInstanceIDCheckinPreferences> checkinPreferences,
    std::shared_ptr<FIRInstanceIDKeyPair> keyPair)
    : FIRInstanceIDTokenOperation(FIRInstanceIDTokenActionFetch, std::move(authorizedEntity), std::move(scope),
                                  std::move(options), std::move(checkinPreferences), std::move(keyPair)) {}

int FIRInstanceIDTokenFetchOperation::phoneRegistrationRetryCount() { return gPhoneRegistrationRetryCount.load(); }

void FIRInstanceIDTokenFetchOperation::performTokenOperation() {
  const auto& checkin = *checkinPreferences();
  net::Request request = requestWithAuthHeader(HTTPAuthHeaderFromCheckin(checkin));
  request.headers.set("info", checkin.versionInfo());

  auto items = standardQueryItemsWithDeviceID(device_id(checkin), scope());
  items.push_back({"sender", authorizedEntity().value_or("")});
  items.push_back({"X-subtype", authorizedEntity().value_or("")});
  for (auto& item : queryItemsWithKeyPair(keyPair())) items.push_back(std::move(item));
  const fnd::Value& apnsToken = options().get("apns_token");
  const fnd::Value& apnsSandbox = options().get("apns_sandbox");
  if (apnsToken.is_data() && apnsSandbox.is_number()) {
    if (auto tuple = FIRInstanceIDAPNSTupleFromToken(*apnsToken.data(), apnsSandbox.as_bool().value_or(false))) {
      items.push_back({"apns_token", *tuple});
    }
  }
  if (const std::string* appID = options().get("ruv_app_id").string()) items.push_back({"ruv_app_id", *appID});

  const std::string content = FIRInstanceIDFormEncodedQuery(items);
  IID_LOG_DEBUG(20000, "Register request to %s content: %s", FIRInstanceIDRegisterURLString().c_str(),
                content.c_str());
  request.body = fnd::to_bytes(content);
  send(std::move(request));
}

void FIRInstanceIDTokenFetchOperation::handleResponseWithData(std::optional<fnd::Bytes> data,
                                                              std::shared_ptr<const net::Response>,
                                                              std::optional<fnd::Error> error) {
  if (error) {
    IID_LOG_DEBUG(20001, "Token fetch HTTP error. Error Code: %lld", static_cast<long long>(error->code));
    finishWithResult(FIRInstanceIDTokenOperationError, std::nullopt, std::move(error));
    return;
  }
  const fnd::Bytes body = data.value_or(fnd::Bytes{});
  const FetchReply reply = classifyFetchReply(body);
  switch (reply.kind) {
    case FetchReplyKind::empty:
      finishWithResult(FIRInstanceIDTokenOperationError, std::nullopt,
                       errorWithFIRInstanceIDErrorCode(kFIRInstanceIDErrorCodeUnknown));
      return;
    case FetchReplyKind::token:
      finishWithResult(FIRInstanceIDTokenOperationSucceeded, reply.token, std::nullopt);
      return;
    case FetchReplyKind::phoneRegistrationError: {
      const int count = gPhoneRegistrationRetryCount.load();
      if (count < kMaxPhoneRegistrationErrorRetry) {
        // The operation stays executing until the retry answers.
        std::weak_ptr<FIRInstanceIDTokenFetchOperation> weak =
            std::static_pointer_cast<FIRInstanceIDTokenFetchOperation>(shared_from_this());
        dispatch::Queue::main().after(std::chrono::seconds(std::int64_t{1} << count), [weak] {
          gPhoneRegistrationRetryCount.fetch_add(1);
          if (auto self = weak.lock()) {
            if (!self->is_finished()) self->performTokenOperation();
          }
        });
        return;
      }
      break;
    }
    case FetchReplyKind::identityReset:
      fnd::NotificationCenter::default_center().post(std::string(kFIRInstanceIDIdentityInvalidatedNotification));
      IID_LOG_DEBUG(2001, "Identity is invalid. Server request identity reset.");
      finishWithResult(FIRInstanceIDTokenOperationError, std::nullopt,
                       errorWithFIRInstanceIDErrorCode(kFIRInstanceIDErrorCodeInvalidIdentity));
      return;
    case FetchReplyKind::invalid:
      break;
  }
  IID_LOG_DEBUG(20002, "Invalid fetch response, expected 'token' or 'Error' key");
  finishWithResult(FIRInstanceIDTokenOperationError, std::nullopt,
                   errorWithFIRInstanceIDErrorCode(kFIRInstanceIDErrorCodeUnknown));
}

// ---- delete -------------------------------------------------------------------

FIRInstanceIDTokenDeleteOperation::FIRInstanceIDTokenDeleteOperation(
    std::optional<std::string> authorizedEntity, std::optional<std::string> scope,
    std::shared_ptr<const FIRInstanceIDCheckinPreferences> checkinPreferences,
    std::shared_ptr<FIRInstanceIDKeyPair> keyPair, FIRInstanceIDTokenAction action)
    : FIRInstanceIDTokenOperation(action, std::move(authorizedEntity), std::move(scope), {},
                                  std::move(checkinPreferences), std::move(keyPair)) {}

void FIRInstanceIDTokenDeleteOperation::performTokenOperation() {
  const auto& checkin = *checkinPreferences();
  net::Request request = requestWithAuthHeader(HTTPAuthHeaderFromCheckin(checkin));
  auto items = standardQueryItemsWithDeviceID(device_id(checkin), scope());
  items.push_back({"delete", "true"});
  if (action() == FIRInstanceIDTokenActionDeleteAll) items.push_back({"iid-operation", "delete"});
  if (authorizedEntity()) items.push_back({"sender", *authorizedEntity()});
  for (auto& item : queryItemsWithKeyPair(keyPair())) items.push_back(std::move(item));

  const std::string content = FIRInstanceIDFormEncodedQuery(items);
  IID_LOG_DEBUG(21000, "Unregister request to %s content: %s", FIRInstanceIDRegisterURLString().c_str(),
                content.c_str());
  request.body = fnd::to_bytes(content);
  send(std::move(request));
}

void FIRInstanceIDTokenDeleteOperation::handleResponseWithData(std::optional<fnd::Bytes> data,
                                                               std::shared_ptr<const net::Response> response,
                                                               std::optional<fnd::Error> error) {
  if (error) {
    IID_LOG_DEBUG(21001, "Device unregister HTTP fetch error. Error code: %lld", static_cast<long long>(error->code));
    finishWithResult(FIRInstanceIDTokenOperationError, std::nullopt, std::move(error));
    return;
  }
  switch (classifyDeleteReply(data.value_or(fnd::Bytes{}))) {
    case DeleteReplyKind::deleted:
      finishWithResult(FIRInstanceIDTokenOperationSucceeded, std::nullopt, std::nullopt);
      return;
    case DeleteReplyKind::empty:
      finishWithResult(FIRInstanceIDTokenOperationError, std::nullopt,
                       errorWithFIRInstanceIDErrorCode(kFIRInstanceIDErrorCodeUnknown));
      return;
    case DeleteReplyKind::invalid:
      IID_LOG_DEBUG(21002, "Invalid unregister response %s", response_description(response).c_str());
      finishWithResult(FIRInstanceIDTokenOperationError, std::nullopt,
                       errorWithFIRInstanceIDErrorCode(kFIRInstanceIDErrorCodeUnknown));
      return;
  }
}

}  // namespace identity
