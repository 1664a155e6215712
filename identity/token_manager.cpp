// The token manager: fetch, cache, delete and invalidation of tokens.
#include "identity/token_manager.h"

#include "identity/apns_info.h"
#include "identity/auth_service.h"
#include "identity/checkin_preferences.h"
#include "identity/logger.h"
#include "identity/token_errors.h"
#include "identity/token_info.h"
#include "identity/token_operation.h"
#include "identity/utilities.h"
#include "platform/dispatch/queue.h"

namespace identity {

namespace fnd = platform::foundation;
namespace dispatch = platform::dispatch;

FIRInstanceIDTokenManager::FIRInstanceIDTokenManager() { configureTokenOperations(); }

std::shared_ptr<FIRInstanceIDTokenManager> FIRInstanceIDTokenManager::make() {
  auto manager = std::make_shared<FIRInstanceIDTokenManager>();
  // The store's reinstall check may call back into the manager, which must
  // already be reachable (shared) and have its queue.
  manager->instanceIDStore_ =
      std::make_shared<FIRInstanceIDStore>(std::weak_ptr<FIRInstanceIDStoreDelegate>(manager));
  manager->authService_ = FIRInstanceIDAuthService::initWithStore(manager->instanceIDStore_);
  return manager;
}

FIRInstanceIDTokenManager::~FIRInstanceIDTokenManager() { stopAllTokenOperations(); }

void FIRInstanceIDTokenManager::configureTokenOperations() {
  tokenOperations_ = std::make_unique<dispatch::OperationQueue>("com.dozada.iid-token-operations");
  tokenOperations_->set_max_concurrent(1);
  tokenOperations_->set_quality_of_service(dispatch::Qos::utility);
}

void FIRInstanceIDTokenManager::addOperation(std::shared_ptr<FIRInstanceIDTokenOperation> operation) {
  tokenOperations_->add(std::move(operation));
}

std::shared_ptr<FIRInstanceIDTokenFetchOperation> FIRInstanceIDTokenManager::createFetchOperationWithAuthorizedEntity(
    const std::string& authorizedEntity, const std::string& scope, const fnd::Dict& options,
    std::shared_ptr<FIRInstanceIDKeyPair> keyPair) {
  return std::make_shared<FIRInstanceIDTokenFetchOperation>(authorizedEntity, scope, options,
                                                            authService_ ? authService_->checkinPreferences() : nullptr,
                                                            std::move(keyPair));
}

std::shared_ptr<FIRInstanceIDTokenDeleteOperation> FIRInstanceIDTokenManager::createDeleteOperationWithAuthorizedEntity(
    std::optional<std::string> authorizedEntity, std::optional<std::string> scope,
    std::shared_ptr<FIRInstanceIDCheckinPreferences> checkinPreferences, std::shared_ptr<FIRInstanceIDKeyPair> keyPair,
    std::int64_t action) {
  return std::make_shared<FIRInstanceIDTokenDeleteOperation>(std::move(authorizedEntity), std::move(scope),
                                                             std::move(checkinPreferences), std::move(keyPair),
                                                             static_cast<FIRInstanceIDTokenAction>(action));
}

void FIRInstanceIDTokenManager::fetchNewTokenWithAuthorizedEntity(const std::string& authorizedEntity,
                                                                  const std::string& scope,
                                                                  std::shared_ptr<FIRInstanceIDKeyPair> keyPair,
                                                                  const fnd::Dict& options, TokenHandler handler) {
  IID_LOG_DEBUG(14000, "Fetch new token for authorizedEntity: %s, scope: %s", authorizedEntity.c_str(), scope.c_str());
  auto operation = createFetchOperationWithAuthorizedEntity(authorizedEntity, scope, options, std::move(keyPair));
  std::weak_ptr<FIRInstanceIDTokenManager> weak = weak_from_this();
  operation->addCompletionHandler([weak, authorizedEntity, scope, options, handler](
                                      FIRInstanceIDTokenOperationResult, std::optional<std::string> token,
                                      std::optional<fnd::Error> error) {
    dispatch::Queue::main().async([weak, authorizedEntity, scope, options, handler, token, error] {
      if (error) {
        if (handler) handler(std::nullopt, error);
        return;
      }
      if (!token) {
        // Cancelled before it finished: nothing to cache.
        if (handler) handler(std::nullopt, fnd::Error(std::string(fnd::url_error::domain), fnd::url_error::cancelled));
        return;
      }
      auto self = weak.lock();
      auto info = std::make_shared<FIRInstanceIDTokenInfo>(authorizedEntity, scope, *token,
                                                           FIRInstanceIDBundleShortVersion(),
                                                           options.get("ruv_app_id").string()
                                                               ? std::optional<std::string>(*options.get("ruv_app_id").string())
                                                               : std::nullopt);
      info->setAPNSInfo(FIRInstanceIDAPNSInfo::initWithTokenOptionsDictionary(options));
      const bool saved = self && self->instanceIDStore_ && self->instanceIDStore_->saveTokenInfo(*info, nullptr);
      if (saved) {
        IID_LOG_DEBUG(14001, "Token fetch successful, token: %s, authorizedEntity: %s, scope:%s", token->c_str(),
                      authorizedEntity.c_str(), scope.c_str());
        if (handler) handler(token, std::nullopt);
      } else if (handler) {
        handler(std::nullopt, errorWithFIRInstanceIDErrorCode(kFIRInstanceIDErrorCodeFailedToSaveToken));
      }
    });
  });
  addOperation(std::move(operation));
}

std::shared_ptr<FIRInstanceIDTokenInfo> FIRInstanceIDTokenManager::cachedTokenInfoWithAuthorizedEntity(
    const std::string& authorizedEntity, const std::string& scope) const {
  return instanceIDStore_ ? instanceIDStore_->tokenInfoWithAuthorizedEntity(authorizedEntity, scope) : nullptr;
}

namespace {

// The operation's error reaches the handler on the main queue.
void answer_on_main(FIRInstanceIDTokenOperation& operation, FIRInstanceIDTokenManager::DeleteHandler handler) {
  if (!handler) return;
  operation.addCompletionHandler([handler](FIRInstanceIDTokenOperationResult, std::optional<std::string>,
                                           std::optional<fnd::Error> error) {
    dispatch::Queue::main().async([handler, error] { handler(error); });
  });
}

}  // namespace

void FIRInstanceIDTokenManager::deleteTokenWithAuthorizedEntity(const std::string& authorizedEntity,
                                                                const std::string& scope,
                                                                std::shared_ptr<FIRInstanceIDKeyPair> keyPair,
                                                                DeleteHandler handler) {
  if (cachedTokenInfoWithAuthorizedEntity(authorizedEntity, scope)) {
    instanceIDStore_->removeCachedTokenWithAuthorizedEntity(authorizedEntity, scope);
  }
  auto operation = createDeleteOperationWithAuthorizedEntity(
      authorizedEntity, scope, authService_ ? authService_->checkinPreferences() : nullptr, std::move(keyPair),
      FIRInstanceIDTokenActionDelete);
  answer_on_main(*operation, std::move(handler));
  addOperation(std::move(operation));
}

void FIRInstanceIDTokenManager::deleteAllTokensWithKeyPair(std::shared_ptr<FIRInstanceIDKeyPair> keyPair,
                                                           DeleteHandler handler) {
  auto checkin = authService_ ? authService_->checkinPreferences() : nullptr;
  if (!checkin) {
    if (handler) dispatch::Queue::main().async([handler] { handler(std::nullopt); });
    return;
  }
  auto operation = createDeleteOperationWithAuthorizedEntity("*", "*", std::move(checkin), std::move(keyPair),
                                                             FIRInstanceIDTokenActionDeleteAll);
  answer_on_main(*operation, std::move(handler));
  addOperation(std::move(operation));
}

bool FIRInstanceIDTokenManager::deleteAllTokensLocallyWithError(std::optional<fnd::Error>* error) {
  return instanceIDStore_ && instanceIDStore_->removeAllCachedTokensWithError(error);
}

void FIRInstanceIDTokenManager::store(FIRInstanceIDStore&, FIRInstanceIDCheckinPreferencesRef preferences) {
  auto operation = createDeleteOperationWithAuthorizedEntity(std::nullopt, std::nullopt, std::move(preferences),
                                                             nullptr, FIRInstanceIDTokenActionDelete);
  operation->addCompletionHandler(
      [](FIRInstanceIDTokenOperationResult, std::optional<std::string>, std::optional<fnd::Error> error) {
        if (error) {
          IID_LOG_DEBUG(14006, "Failed to delete GCM server registrations on app reset.");
        } else {
          IID_LOG_DEBUG(14007, "Successfully deleted GCM server registrations on app reset");
        }
      });
  addOperation(std::move(operation));
}

void FIRInstanceIDTokenManager::stopAllTokenOperations() {
  if (authService_) authService_->stopCheckinRequest();
  if (!tokenOperations_) return;
  for (auto& operation : tokenOperations_->operations()) {
    if (auto token = std::dynamic_pointer_cast<FIRInstanceIDTokenOperation>(operation)) {
      token->cancel();
    } else {
      operation->cancel();
    }
  }
}

bool FIRInstanceIDTokenManager::checkForTokenRefreshPolicy() {
  if (!instanceIDStore_) return false;
  bool defaultTokenStale = false;
  std::vector<std::shared_ptr<FIRInstanceIDTokenInfo>> toRemove;
  for (auto& info : instanceIDStore_->cachedTokenInfos()) {
    if (info->isFresh()) continue;
    IID_LOG_DEBUG(14012, "Invalidating cached token for %s (%s) due to token is no longer fresh.",
                  info->authorizedEntity().c_str(), info->scope().c_str());
    if (info->scope() == "*") {
      defaultTokenStale = true;
    } else {
      toRemove.push_back(info);
    }
  }
  for (auto& info : toRemove) {
    instanceIDStore_->removeCachedTokenWithAuthorizedEntity(info->authorizedEntity(), info->scope());
  }
  return defaultTokenStale;
}

std::vector<std::shared_ptr<FIRInstanceIDTokenInfo>> FIRInstanceIDTokenManager::updateTokensToAPNSDeviceToken(
    const fnd::Bytes& deviceToken, bool isSandbox) {
  auto info = std::make_shared<FIRInstanceIDAPNSInfo>(deviceToken, isSandbox);
  if (info->isEqualToAPNSInfo(currentAPNSInfo_.get())) return {};
  currentAPNSInfo_ = info;
  std::vector<std::shared_ptr<FIRInstanceIDTokenInfo>> invalidated;
  if (!instanceIDStore_) return invalidated;
  for (auto& cached : instanceIDStore_->cachedTokenInfos()) {
    const auto apns = cached->APNSInfo();
    if (apns && apns->isEqualToAPNSInfo(info.get())) continue;
    IID_LOG_DEBUG(14011, "Invalidating cached token for %s (%s) due to APNs token change.",
                  cached->authorizedEntity().c_str(), cached->scope().c_str());
    instanceIDStore_->removeCachedTokenWithAuthorizedEntity(cached->authorizedEntity(), cached->scope());
    invalidated.push_back(cached);
  }
  return invalidated;
}

}  // namespace identity
