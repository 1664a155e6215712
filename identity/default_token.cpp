// The facade's default token (retries, announcements), the push-token intake
// and the push environment decision.
#include "identity/instance_id.h"

#include "identity/errors.h"
#include "identity/key_pair.h"
#include "identity/logger.h"
#include "identity/push_environment.h"
#include "identity/token_info.h"
#include "identity/token_manager.h"
#include "identity/utilities.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/class_name.h"
#include "platform/os/bundle.h"
#include "platform/os/file_manager.h"
#include "platform/runtime/runtime.h"

namespace identity {

namespace fnd = platform::foundation;
namespace rt = platform::rt;
namespace dispatch = platform::dispatch;

namespace {

bool messaging_class_exists() { return rt::Runtime::shared().find("FIRMessaging") != nullptr; }

// The class name a value would have as an object ("%@" of its class).
std::string class_name_of(const fnd::Value* value) { return value ? fnd::class_name(*value) : "(null)"; }

}  // namespace

std::int64_t FIRInstanceID::retryIntervalToFetchDefaultToken() const {
  const std::int64_t n = retryCountForDefaultToken_;
  if (n >= maxRetryCountForDefaultToken()) return maxRetryIntervalForDefaultTokenInSeconds();
  const std::int64_t interval = minIntervalForDefaultTokenRetry() * n + (std::int32_t{1} << n);
  return std::min(interval, maxRetryIntervalForDefaultTokenInSeconds());
}

void FIRInstanceID::fetchDefaultToken() {
  if (isFetchingDefaultToken_.load()) return;
  auto weak = weak_self();
  defaultTokenWithHandler([weak](std::optional<std::string> token, std::optional<fnd::Error> error) {
    auto self = weak.lock();
    if (!self) return;
    if (error || !token) {
      IID_LOG_ERROR(3007, "Failed to retrieve the default FCM token after %lld retries",
                    static_cast<long long>(self->retryCountForDefaultToken_));
      return;
    }
    IID_LOG_DEBUG(3008, "Got default token %s", token->c_str());
    const auto previous = self->defaultFCMToken_;
    self->setDefaultFCMToken(token);
    self->postDefaultTokenDelivered(*token, previous);
  });
}

void FIRInstanceID::defaultTokenWithHandler(TokenHandler handler) {
  if (isFetchingDefaultToken_.load() || isDefaultTokenFetchScheduled_.load()) return;
  fnd::Dict options;
  const bool messaging = messaging_class_exists();
  if (messaging && apnsTokenData_) {
    const bool sandbox = apnsTokenType_ != 0 ? apnsTokenType_ == 1 : isSandboxApp();
    options.set(std::string(kFIRInstanceIDTokenOptionsAPNSKey), *apnsTokenData_);
    options.set(std::string(kFIRInstanceIDTokenOptionsAPNSIsSandboxKey), sandbox);
  }
  isFetchingDefaultToken_.store(true);
  auto weak = weak_self();
  tokenWithAuthorizedEntity(
      fcmSenderID_.value_or(""), std::string(kFIRInstanceIDDefaultTokenScope), options,
      [weak, handler, options, messaging](std::optional<std::string> token, std::optional<fnd::Error> error) {
        auto self = weak.lock();
        if (!self) return;
        self->isFetchingDefaultToken_.store(false);
        if (error || !token) {
          const fnd::Error failure = error.value_or(fnd::Error(std::string(kFIRInstanceIDDomain), 0));
          IID_LOG_ERROR(3009, "Failed to fetch default token %s", failure.description().c_str());
          fnd::NotificationQueue::default_queue().enqueue(
              fnd::Notification(std::string(kFIRInstanceIDDefaultGCMTokenFailNotification),
                                std::make_shared<const fnd::Value>(fnd::Value::object(std::make_shared<fnd::Error>(failure)))),
              fnd::PostingStyle::post_asap);
          self->retryCountForDefaultToken_ =
              std::min(self->retryCountForDefaultToken_ + 1, maxRetryCountForDefaultToken());
          if (self->retryCountForDefaultToken_ < maxRetryCountForDefaultToken()) {
            const std::int64_t interval = self->retryIntervalToFetchDefaultToken();
            self->isDefaultTokenFetchScheduled_.store(true);
            dispatch::Queue::main().after(std::chrono::seconds(interval), [weak, handler] {
              auto again = weak.lock();
              if (!again) return;
              again->isDefaultTokenFetchScheduled_.store(false);
              again->defaultTokenWithHandler(handler);
            });
          } else if (handler) {
            handler(std::nullopt, failure);
          }
          return;
        }
        const fnd::Value& apnsToken = options.get(kFIRInstanceIDTokenOptionsAPNSKey);
        const bool sandbox = options.get(kFIRInstanceIDTokenOptionsAPNSIsSandboxKey).as_bool().value_or(false);
        const auto tuple = FIRInstanceIDAPNSTupleFromToken(
            apnsToken.data() ? std::optional<fnd::Bytes>(*apnsToken.data()) : std::nullopt, sandbox);
        if ((tuple || self->APNSTupleString_) && tuple != self->APNSTupleString_ && messaging) {
          self->isDefaultTokenFetchScheduled_.store(true);
          dispatch::Queue::main().async([weak, handler] {
            auto again = weak.lock();
            if (!again) return;
            again->isDefaultTokenFetchScheduled_.store(false);
            again->defaultTokenWithHandler(handler);
          });
          IID_LOG_DEBUG(3016, "Received APNS token while fetching default token. Refetching default token.");
          return;
        }
        IID_LOG_INFO(3010, "Successfully fetched default token.");
        if (handler) handler(token, std::nullopt);
      });
}

void FIRInstanceID::notifyAPNSTokenIsSet(const fnd::Notification& notification) {
  const auto* object = static_cast<const fnd::Value*>(notification.object.get());
  if (!object || !object->is_data()) {
    IID_LOG_DEBUG(2002, "Invalid APNS token type %s", class_name_of(object).c_str());
    return;
  }
  const fnd::Bytes& token = *object->data();
  const std::int64_t type = notification.user_info.get(kFIRInstanceIDAPNSTokenType).as_int().value_or(0);
  if (apnsTokenData_ && *apnsTokenData_ == token) {
    IID_LOG_DEBUG(3011, "Trying to reset APNS token to the same value. Will return");
    return;
  }
  apnsTokenType_ = type;
  const bool sandbox = type != 0 ? type == 1 : isSandboxApp();
  apnsTokenData_ = token;
  APNSTupleString_ = FIRInstanceIDAPNSTupleFromToken(token, sandbox);

  auto invalidated = tokenManager_->updateTokensToAPNSDeviceToken(token, sandbox);
  if (invalidated.empty()) return;
  auto weak = weak_self();
  asyncLoadKeyPairWithHandler([weak, invalidated, sandbox](std::shared_ptr<FIRInstanceIDKeyPair> keyPair,
                                                           std::optional<fnd::Error>) {
    auto self = weak.lock();
    if (!self) return;
    fnd::Dict options;
    if (self->apnsTokenData_) options.set(std::string(kFIRInstanceIDTokenOptionsAPNSKey), *self->apnsTokenData_);
    options.set(std::string(kFIRInstanceIDTokenOptionsAPNSIsSandboxKey), sandbox);
    if (self->davidizeAppID_) options.set(std::string(kFIRInstanceIDTokenOptionsDavidizeAppIDKey), *self->davidizeAppID_);
    for (const auto& info : invalidated) {
      if (info->token() == self->defaultFCMToken_) {
        self->fetchDefaultToken();
      } else {
        self->tokenManager_->fetchNewTokenWithAuthorizedEntity(info->authorizedEntity(), info->scope(), keyPair, options,
                                                               [](std::optional<std::string>, std::optional<fnd::Error>) {});
      }
    }
  });
}

bool FIRInstanceID::isSandboxApp() {
  static const bool sandbox = !isProductionApp();
  return sandbox;
}

bool FIRInstanceID::isProductionApp() {
  if (rt::Class* util = rt::Runtime::shared().find("FIRAppEnvironmentUtil")) {
    static const rt::ClassSel<bool()> isSimulator{"isSimulator"};
    if (rt::send_if_responds(*util, isSimulator).value_or(false)) {
      logAPNSConfigurationError("Running InstanceID on a simulator doesn't have APNS. Use prod profile by default.");
      return true;
    }
  }
  const auto path = platform::os::Bundle::main().path() / "embedded.mobileprovision";
  auto bytes = platform::os::FileManager::shared().read(path);
  const PushEnvironmentDecision decision =
      bytes ? decidePushEnvironment(std::span<const std::uint8_t>(*bytes), std::nullopt)
            : decidePushEnvironment(std::nullopt, bytes.error());
  if (decision.provisionedDevices) {
    IID_LOG_DEBUG(3012, "Provisioning profile has specifically provisioned devices, most likely a Dev profile.");
  }
  if (decision.apsEnvironmentText) {
    IID_LOG_DEBUG(3013, "APNS Environment in profile: %s", decision.apsEnvironmentText->c_str());
  }
  if (decision.report) logAPNSConfigurationError(*decision.report);
  return decision.production;
}

void FIRInstanceID::logAPNSConfigurationError(std::string_view message) {
  const std::string text(message);
  if (messaging_class_exists()) {
    IID_LOG_ERROR(3014, "%s", text.c_str());
  } else {
    IID_LOG_DEBUG(3015, "%s", text.c_str());
  }
}

}  // namespace identity
