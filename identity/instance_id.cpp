// The instance identity facade: creation, configuration, identifier, tokens,
// deletion and the identity reset.
#include "identity/instance_id.h"

#include <mutex>

#include "core/app.h"
#include "core/instance_id_selectors.h"
#include "core/options.h"
#include "identity/apns_info.h"
#include "identity/auth_service.h"
#include "identity/checkin_preferences.h"
#include "identity/key_pair.h"
#include "identity/logger.h"
#include "identity/store.h"
#include "identity/token_errors.h"
#include "identity/token_info.h"
#include "identity/token_manager.h"
#include "identity/token_operation.h"
#include "identity/utilities.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/exception.h"

namespace identity {

namespace fnd = platform::foundation;
namespace rt = platform::rt;
namespace dispatch = platform::dispatch;

namespace {

// The checks a token request and a token deletion share, in their order:
// the entity, the scope, and whether the instance was started.
std::optional<std::int64_t> instanceIDRequestError(const std::string& authorizedEntity, const std::string& scope,
                                                   bool started) {
  if (authorizedEntity.empty()) return kFIRInstanceIDErrorCodeInvalidAuthorizedEntity;
  if (scope.empty()) return kFIRInstanceIDErrorCodeInvalidScope;
  if (!started) return kFIRInstanceIDErrorCodeInvalidStart;
  return std::nullopt;
}

void on_main(std::function<void()> block) { dispatch::Queue::main().async(std::move(block)); }

// Runs at once on the main thread, else on the main queue.
void run_on_main(std::function<void()> block) {
  if (dispatch::is_main_thread()) {
    block();
  } else {
    dispatch::Queue::main().async(std::move(block));
  }
}

fnd::Error instance_id_error(std::int64_t code) { return errorWithFIRInstanceIDErrorCode(code); }

}  // namespace

// ---- creation -----------------------------------------------------------------

FIRInstanceID::FIRInstanceID(rt::Class& cls) : rt::Object(cls) {}

FIRInstanceID::~FIRInstanceID() { fnd::NotificationCenter::default_center().remove_all(this); }

std::weak_ptr<FIRInstanceID> FIRInstanceID::weak_self() {
  return std::static_pointer_cast<FIRInstanceID>(shared_from_this());
}

std::shared_ptr<FIRInstanceID> FIRInstanceID::instanceID() {
  static std::once_flag once;
  static std::shared_ptr<FIRInstanceID> shared;
  std::call_once(once, [] {
    auto& runtime = rt::Runtime::shared();
    if (!runtime.find(kFIRInstanceIDClassName)) register_runtime_class();
    auto made = std::make_shared<FIRInstanceID>(*runtime.find(kFIRInstanceIDClassName));
    made->start();
    shared = std::move(made);
  });
  return shared;
}

void FIRInstanceID::start() {
  const std::string subDirectory(kFIRInstanceIDSubDirectoryName);
  if (!FIRInstanceIDStore::hasApplicationSupportSubDirectory(subDirectory)) {
    FIRInstanceIDStore::createApplicationSupportSubDirectory(subDirectory);
  }
  tokenManager_ = FIRInstanceIDTokenManager::make();
  keyPairStore_ = std::make_shared<FIRInstanceIDKeyPairStore>();
  keyPairStore_->setDelegate(std::static_pointer_cast<FIRInstanceIDKeyPairStoreDelegate>(
      std::static_pointer_cast<FIRInstanceID>(shared_from_this())));
  keyPairStore_->invalidateKeyPairsIfNeeded();

  auto& center = fnd::NotificationCenter::default_center();
  center.remove_all(this);
  auto weak = weak_self();
  // Both may be posted off the main queue (the identity reset comes from a
  // token reply); the facade's state is kept on the main queue.
  center.add_observer(this, std::string(kFIRInstanceIDIdentityInvalidatedNotification), nullptr, nullptr,
                      [weak](const fnd::Notification&) {
                        run_on_main([weak] {
                          if (auto self = weak.lock()) self->notifyIdentityReset();
                        });
                      });
  center.add_observer(this, std::string(kFIRInstanceIDAPNSTokenNotification), nullptr, nullptr,
                      [weak](const fnd::Notification& notification) {
                        run_on_main([weak, notification] {
                          if (auto self = weak.lock()) self->notifyAPNSTokenIsSet(notification);
                        });
                      });
}

// ---- configuration ------------------------------------------------------------

void FIRInstanceID::didReceiveConfigureSDKNotification(const fnd::Notification& notification) {
  const fnd::Dict& info = notification.user_info;
  if (const fnd::Value* isDefault = info.find(core::FIRAppIsDefaultAppKey)) {
    if (!isDefault->as_bool().value_or(false)) {
      IID_LOG_DEBUG(1002, "Davidize Instance ID only works with the default app.");
      return;
    }
  }
  const fnd::Value& nameValue = info.get(core::FIRAppNameKey);
  const std::string name = nameValue.string() ? *nameValue.string() : std::string();
  auto app = core::FIRApp::appNamed(name);
  if (!app) exitWithReason("Could not find FIRApp named '" + (nameValue.string() ? name : "(null)") + "'", nullptr);
  instanceID()->configureInstanceIDWithOptions(app->options(), app);
}

void FIRInstanceID::configureInstanceIDWithOptions(const std::shared_ptr<core::FIROptions>& options,
                                                   const std::shared_ptr<core::FIRApp>& app) {
  const auto senderID = options ? options->GCMSenderID() : std::nullopt;
  if (!senderID || senderID->empty()) {
    IID_LOG_ERROR(1000, "Davidize not set up correctly, nil or empty senderID.");
    exitWithReason("GCM_SENDER_ID must not be nil or empty.", app);
  }
  fcmSenderID_ = senderID;
  davidizeAppID_ = options->dozadaAppID();
  didCompleteConfigure();
}

fnd::Error FIRInstanceID::configureErrorWithReason(std::string_view reason) {
  fnd::Dict userInfo;
  userInfo.set(std::string(fnd::key_localized_description), "Configuration failed for service InstanceID.");
  userInfo.set("NSLocalizedFailureReason", reason.empty() ? std::string("Unknown reason") : std::string(reason));
  return fnd::Error(std::string(kFIRInstanceIDConfigurationErrorDomain), kFIRInstanceIDConfigurationErrorCode,
                    std::move(userInfo));
}

void FIRInstanceID::exitWithReason(std::string_view reason, const std::shared_ptr<core::FIRApp>& app) {
  const fnd::Error error = configureErrorWithReason(reason);
  if (app) app->sendLogsWithServiceName("InstanceID", FIRInstanceIDLibraryVersionString(), error);
  fnd::Exception::raise(std::string(kFIRInstanceIDConfigurationErrorDomain),
                        "Could not configure Davidize InstanceID. " + std::string(reason));
}

void FIRInstanceID::didCompleteConfigure() {
  if (cachedTokenIfAvailable()) {
    if (tokenManager_->checkForTokenRefreshPolicy()) fetchDefaultToken();
    setDefaultFCMToken(token());
  } else if (isFCMAutoInitEnabled()) {
    fetchDefaultToken();
    setDefaultFCMToken(token());
  }
  if (isFCMAutoInitEnabled()) tokenManager_->authService()->scheduleCheckin(true);
}

bool FIRInstanceID::isFCMAutoInitEnabled() {
  rt::Class* messaging = rt::Runtime::shared().find("FIRMessaging");
  if (!messaging) return false;
  static const rt::ClassSel<rt::Id()> messagingSel{"messaging"};
  static const rt::Sel<bool()> autoInitSel{"isAutoInitEnabled"};
  auto object = rt::send_if_responds(*messaging, messagingSel);
  if (!object) return true;
  if (!*object) return true;
  return rt::send_if_responds(**object, autoInitSel).value_or(true);
}

// ---- identifier and key pair --------------------------------------------------

fnd::Expected<std::string> FIRInstanceID::appInstanceID() {
  std::optional<fnd::Error> error;
  std::optional<std::string> identity = keyPairStore_ ? keyPairStore_->appIdentityWithError(&error) : std::nullopt;
  if (identity) return *identity;
  return error.value_or(instance_id_error(kFIRInstanceIDErrorCodeInvalidStart));
}

void FIRInstanceID::asyncLoadKeyPairWithHandler(KeyPairHandler handler) {
  auto weak = weak_self();
  dispatch::Queue::global().async([weak, handler] {
    auto self = weak.lock();
    std::optional<fnd::Error> error;
    std::shared_ptr<FIRInstanceIDKeyPair> keyPair =
        self && self->keyPairStore_ ? self->keyPairStore_->loadKeyPairWithError(&error) : nullptr;
    on_main([handler, keyPair, error] {
      if (error) {
        IID_LOG_DEBUG(3002, "Failed to retreieve keyPair %s", error->description().c_str());
        handler(nullptr, error);
      } else if (keyPair) {
        handler(keyPair, std::nullopt);
      } else {
        handler(nullptr, instance_id_error(kFIRInstanceIDErrorCodeInvalidKeyPair));
      }
    });
  });
}

void FIRInstanceID::getIDWithHandler(IDHandler handler) {
  if (!handler) {
    IID_LOG_ERROR(3003, "Invalid nil handler.");
    return;
  }
  if (!keyPairStore_) {
    on_main([handler] { handler(std::nullopt, instance_id_error(kFIRInstanceIDErrorCodeInvalidStart)); });
    return;
  }
  auto weak = weak_self();
  dispatch::Queue::global().async([weak, handler] {
    auto self = weak.lock();
    std::optional<fnd::Error> error;
    std::optional<std::string> identity = self ? self->keyPairStore_->appIdentityWithError(&error) : std::nullopt;
    // token() starts a default-token fetch through the main queue when none is cached.
    if (identity && self) (void)self->token();
    on_main([handler, identity, error] { handler(identity, error); });
  });
}

void FIRInstanceID::instanceIDWithHandler(ResultHandler handler) {
  auto weak = weak_self();
  getIDWithHandler([weak, handler](std::optional<std::string> identity, std::optional<fnd::Error> error) {
    auto self = weak.lock();
    if (error || !identity || !self) {
      if (handler) handler(std::nullopt, error ? error : std::optional(instance_id_error(kFIRInstanceIDErrorCodeUnknown)));
      return;
    }
    FIRInstanceIDResult result{*identity, std::nullopt};
    if (auto cached = self->cachedTokenIfAvailable()) {
      result.token = cached;
      if (handler) handler(result, std::nullopt);
      return;
    }
    self->defaultTokenWithHandler([weak, handler, result](std::optional<std::string> token,
                                                          std::optional<fnd::Error> tokenError) mutable {
      auto inner = weak.lock();
      if (tokenError || !token) {
        IID_LOG_ERROR(3007, "Failed to retrieve the default FCM token after %lld retries",
                      static_cast<long long>(inner ? inner->retryCountForDefaultToken_ : 0));
        if (handler) handler(std::nullopt, tokenError);
        return;
      }
      if (inner) {
        IID_LOG_DEBUG(3008, "Got default token %s", token->c_str());
        const auto previous = inner->defaultFCMToken_;
        inner->setDefaultFCMToken(token);
        inner->postDefaultTokenDelivered(*token, previous);
      }
      result.token = token;
      if (handler) handler(result, std::nullopt);
    });
  });
}

// ---- tokens -------------------------------------------------------------------

std::optional<std::string> FIRInstanceID::cachedTokenIfAvailable() {
  if (!tokenManager_ || !fcmSenderID_) return std::nullopt;
  auto info = tokenManager_->cachedTokenInfoWithAuthorizedEntity(*fcmSenderID_, std::string(kFIRInstanceIDDefaultTokenScope));
  if (!info) return std::nullopt;
  return info->token();
}

std::optional<std::string> FIRInstanceID::token() {
  if (!fcmSenderID_ || fcmSenderID_->empty()) return std::nullopt;
  if (auto cached = cachedTokenIfAvailable()) return cached;
  // The default-token state lives on the main queue, whichever thread asks.
  auto weak = weak_self();
  run_on_main([weak] {
    if (auto self = weak.lock()) self->fetchDefaultToken();
  });
  return std::nullopt;
}

void FIRInstanceID::tokenWithAuthorizedEntity(const std::string& authorizedEntity, const std::string& scope,
                                              const std::optional<fnd::Dict>& options, TokenHandler handler) {
  if (!handler) {
    IID_LOG_ERROR(3000, "Invalid nil handler.");
    return;
  }
  fnd::Dict tokenOptions = options.value_or(fnd::Dict{});
  if (tokenOptions.contains(kFIRInstanceIDTokenOptionsAPNSKey) &&
      !tokenOptions.contains(kFIRInstanceIDTokenOptionsAPNSIsSandboxKey)) {
    tokenOptions.set(std::string(kFIRInstanceIDTokenOptionsAPNSIsSandboxKey), isSandboxApp());
  }

  std::optional<std::int64_t> invalid;
  const bool fcmScope = FIRInstanceIDIsFCMScope(scope);
  const fnd::Value* apnsToken = tokenOptions.find(kFIRInstanceIDTokenOptionsAPNSKey);
  if (fcmScope && !apnsToken) {
    invalid = kFIRInstanceIDErrorCodeMissingAPNSToken;
  } else if (fcmScope && !apnsToken->is_data()) {
    invalid = kFIRInstanceIDErrorCodeInvalidPushTokenType;
  } else {
    invalid = instanceIDRequestError(authorizedEntity, scope, keyPairStore_ != nullptr);
  }
  if (invalid) {
    const fnd::Error error = instance_id_error(*invalid);
    on_main([handler, error] { handler(std::nullopt, error); });
    return;
  }
  if (davidizeAppID_) tokenOptions.set(std::string(kFIRInstanceIDTokenOptionsDavidizeAppIDKey), *davidizeAppID_);

  auto weak = weak_self();
  tokenManager_->authService()->fetchCheckinInfoWithHandler(
      [weak, authorizedEntity, scope, tokenOptions, handler](std::shared_ptr<FIRInstanceIDCheckinPreferences>,
                                                             std::optional<fnd::Error> checkinError) {
        // Checkin handlers may run on the session's queue: the rest runs on main.
        on_main([weak, authorizedEntity, scope, tokenOptions, handler, checkinError] {
          if (checkinError) {
            handler(std::nullopt, checkinError);
            return;
          }
          auto self = weak.lock();
          if (!self) return;
          if (auto cached = self->tokenManager_->cachedTokenInfoWithAuthorizedEntity(authorizedEntity, scope)) {
            auto requested = FIRInstanceIDAPNSInfo::initWithTokenOptionsDictionary(tokenOptions);
            auto cachedAPNS = cached->APNSInfo();
            if ((!requested && !cachedAPNS) || (cachedAPNS && cachedAPNS->isEqualToAPNSInfo(requested.get()))) {
              handler(cached->token(), std::nullopt);
              return;
            }
          }
          self->asyncLoadKeyPairWithHandler([weak, authorizedEntity, scope, tokenOptions, handler](
                                                std::shared_ptr<FIRInstanceIDKeyPair> keyPair,
                                                std::optional<fnd::Error>) {
            auto inner = weak.lock();
            if (!keyPair || !inner) {
              handler(std::nullopt, instance_id_error(kFIRInstanceIDErrorCodeInvalidKeyPair));
              return;
            }
            inner->tokenManager_->fetchNewTokenWithAuthorizedEntity(authorizedEntity, scope, keyPair, tokenOptions,
                                                                    handler);
          });
        });
      });
}

void FIRInstanceID::deleteTokenWithAuthorizedEntity(const std::string& authorizedEntity, const std::string& scope,
                                                    DeleteHandler handler) {
  if (!handler) {
    IID_LOG_ERROR(3001, "Invalid nil handler.");
    return;
  }
  const std::optional<std::int64_t> invalid = instanceIDRequestError(authorizedEntity, scope, keyPairStore_ != nullptr);
  if (invalid) {
    const fnd::Error error = instance_id_error(*invalid);
    on_main([handler, error] { handler(error); });
    return;
  }
  auto weak = weak_self();
  tokenManager_->authService()->fetchCheckinInfoWithHandler(
      [weak, authorizedEntity, scope, handler](std::shared_ptr<FIRInstanceIDCheckinPreferences>,
                                               std::optional<fnd::Error> checkinError) {
        on_main([weak, authorizedEntity, scope, handler, checkinError] {
          if (checkinError) {
            handler(checkinError);
            return;
          }
          auto self = weak.lock();
          if (!self) return;
          self->asyncLoadKeyPairWithHandler([weak, authorizedEntity, scope, handler](
                                                std::shared_ptr<FIRInstanceIDKeyPair> keyPair,
                                                std::optional<fnd::Error>) {
            auto inner = weak.lock();
            if (!keyPair || !inner) {
              handler(instance_id_error(kFIRInstanceIDErrorCodeInvalidKeyPair));
              return;
            }
            inner->tokenManager_->deleteTokenWithAuthorizedEntity(
                authorizedEntity, scope, keyPair, [weak, authorizedEntity, scope, handler](std::optional<fnd::Error> error) {
                  auto last = weak.lock();
                  if (!error && last && last->fcmSenderID_ == authorizedEntity && scope == kFIRInstanceIDDefaultTokenScope) {
                    last->setDefaultFCMToken(std::nullopt);
                  }
                  handler(error);
                });
          });
        });
      });
}

// ---- identity deletion --------------------------------------------------------

void FIRInstanceID::deleteIDWithHandler(DeleteHandler handler) {
  if (!handler) {
    IID_LOG_ERROR(3004, "Invalid nil handler.");
    return;
  }
  if (!keyPairStore_) {
    on_main([handler] { handler(instance_id_error(kFIRInstanceIDErrorCodeInvalidStart)); });
    return;
  }
  auto weak = weak_self();
  asyncLoadKeyPairWithHandler([weak, handler](std::shared_ptr<FIRInstanceIDKeyPair> keyPair, std::optional<fnd::Error>) {
    auto self = weak.lock();
    if (!keyPair || !self) {
      handler(instance_id_error(kFIRInstanceIDErrorCodeInvalidKeyPair));
      return;
    }
    self->tokenManager_->deleteAllTokensWithKeyPair(keyPair, [weak, handler](std::optional<fnd::Error> error) {
      if (error) {
        handler(error);
        return;
      }
      auto inner = weak.lock();
      std::optional<fnd::Error> deleteError;
      if (inner) inner->deleteIdentity(&deleteError);
      handler(deleteError);
    });
  });
}

bool FIRInstanceID::deleteIdentity(std::optional<fnd::Error>* error) {
  std::optional<fnd::Error> tokensError;
  const bool tokensDeleted = tokenManager_->deleteAllTokensLocallyWithError(&tokensError);
  setDefaultFCMToken(std::nullopt);
  if (!tokensDeleted || tokensError) {
    IID_LOG_DEBUG(2000, "Failed to delete tokens from the cache %s",
                  tokensError ? tokensError->description().c_str() : "(null)");
    if (error) *error = tokensError;
    return false;
  }
  std::optional<fnd::Error> keyPairError, plistError;
  keyPairStore_->deleteSavedKeyPairWithSubtype(std::string(kFIRInstanceIDKeyPairSubType), &keyPairError);
  keyPairStore_->removeKeyPairCreationTimePlistWithError(&plistError);
  if (keyPairError || plistError) {
    fnd::Dict userInfo;
    userInfo.set(std::string(fnd::key_underlying_error),
                 fnd::Value::object(std::make_shared<fnd::Error>(keyPairError ? *keyPairError : *plistError)));
    if (error) *error = errorWithFIRInstanceIDErrorCode(kFIRInstanceIDErrorCodeUnknown, std::move(userInfo));
    return false;
  }
  std::optional<fnd::Error> checkinError;
  tokenManager_->authService()->resetCheckin(&checkinError);
  if (!checkinError && isFCMAutoInitEnabled()) {
    auto weak = weak_self();
    dispatch::Queue::main().after(std::chrono::milliseconds(500), [weak] {
      if (auto self = weak.lock()) self->fetchDefaultToken();
    });
  }
  if (error) *error = std::nullopt;
  return true;
}

void FIRInstanceID::notifyIdentityReset() { deleteIdentity(nullptr); }

void FIRInstanceID::keyPairStoreDidDeleteKeyPair(FIRInstanceIDKeyPairStore&) {
  if (tokenManager_) tokenManager_->deleteAllTokensLocallyWithError(nullptr);
}

// ---- default token announcements and checkin forwarding -----------------------

void FIRInstanceID::setDefaultFCMToken(std::optional<std::string> token) {
  if (token && defaultFCMToken_ && *token == *defaultFCMToken_) return;
  defaultFCMToken_ = std::move(token);
  fnd::ObjectRef object;
  if (defaultFCMToken_) object = std::make_shared<const fnd::Value>(*defaultFCMToken_);
  fnd::NotificationQueue::default_queue().enqueue(
      fnd::Notification(std::string(kFIRInstanceIDDefaultGCMTokenNotification), std::move(object)),
      fnd::PostingStyle::post_asap);
}

void FIRInstanceID::postDefaultTokenDelivered(const std::string& token, const std::optional<std::string>& previous) {
  if (!defaultFCMToken_ || defaultFCMToken_->empty() || defaultFCMToken_ == previous) return;
  fnd::NotificationQueue::default_queue().enqueue(
      fnd::Notification(std::string(kFIRInstanceIDTokenRefreshNotification), std::make_shared<const fnd::Value>(token)),
      fnd::PostingStyle::post_asap);
}

std::shared_ptr<FIRInstanceIDCheckinPreferences> FIRInstanceID::cachedCheckinPreferences() {
  return tokenManager_ ? tokenManager_->authService()->checkinPreferences() : nullptr;
}

void FIRInstanceID::fetchCheckinInfoWithHandler(CheckinHandler handler) {
  if (tokenManager_) tokenManager_->authService()->fetchCheckinInfoWithHandler(std::move(handler));
}

void FIRInstanceID::stopAllRequests() {
  if (tokenManager_) tokenManager_->stopAllTokenOperations();
}

// ---- runtime class and load hook ----------------------------------------------

void register_runtime_class() {
  auto& runtime = rt::Runtime::shared();
  if (runtime.find(kFIRInstanceIDClassName)) return;
  rt::ClassBuilder<FIRInstanceID>(std::string(kFIRInstanceIDClassName), "NSObject")
      .class_method(instance_id_sel::instanceID, [](rt::Class&) -> rt::Id { return FIRInstanceID::instanceID(); })
      .method(instance_id_sel::appInstanceID, [](FIRInstanceID& self) { return self.appInstanceID(); })
      .define(runtime);
}

void instanceIDLoad() {
  register_runtime_class();
  fnd::NotificationCenter::default_center().add_observer(
      nullptr, std::string(core::FIRAppReadyToConfigureSDKNotification), nullptr, nullptr,
      [](const fnd::Notification& notification) {
        rt::Class* appClass = rt::Runtime::shared().find(core::kFIRAppClassName);
        if (!appClass || notification.sender() != appClass) return;
        FIRInstanceID::didReceiveConfigureSDKNotification(notification);
      });
}

}  // namespace identity
