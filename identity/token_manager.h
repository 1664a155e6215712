#pragma once
// FIRInstanceIDTokenManager: fetches, caches, deletes and invalidates tokens.
// Owns the identity store (as its delegate), the checkin service and the
// one-at-a-time queue "com.dozada.iid-token-operations".
//
// Threads: fetch and delete results reach the caller on the main queue (a
// fetched token is saved there first); the other methods run on the
// caller's thread and touch the store directly.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "identity/store.h"
#include "platform/dispatch/operation.h"
#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

namespace identity {

class FIRInstanceIDAPNSInfo;
class FIRInstanceIDAuthService;
class FIRInstanceIDCheckinPreferences;
class FIRInstanceIDKeyPair;
class FIRInstanceIDTokenInfo;
class FIRInstanceIDTokenOperation;
class FIRInstanceIDTokenFetchOperation;
class FIRInstanceIDTokenDeleteOperation;

class FIRInstanceIDTokenManager : public FIRInstanceIDStoreDelegate,
                                  public std::enable_shared_from_this<FIRInstanceIDTokenManager> {
 public:
  using TokenHandler = std::function<void(std::optional<std::string> token, std::optional<platform::foundation::Error>)>;
  using DeleteHandler = std::function<void(std::optional<platform::foundation::Error>)>;

  // The queue first, then the store (whose reinstall check may already
  // queue a delete through this manager), then the checkin service.
  static std::shared_ptr<FIRInstanceIDTokenManager> make();
  ~FIRInstanceIDTokenManager() override;

  const std::shared_ptr<FIRInstanceIDAuthService>& authService() const { return authService_; }
  const std::shared_ptr<FIRInstanceIDStore>& instanceIDStore() const { return instanceIDStore_; }
  platform::dispatch::OperationQueue& tokenOperations() { return *tokenOperations_; }
  std::shared_ptr<FIRInstanceIDAPNSInfo> currentAPNSInfo() const { return currentAPNSInfo_; }

  void fetchNewTokenWithAuthorizedEntity(const std::string& authorizedEntity, const std::string& scope,
                                         std::shared_ptr<FIRInstanceIDKeyPair> keyPair,
                                         const platform::foundation::Dict& options, TokenHandler handler);
  std::shared_ptr<FIRInstanceIDTokenInfo> cachedTokenInfoWithAuthorizedEntity(const std::string& authorizedEntity,
                                                                             const std::string& scope) const;
  void deleteTokenWithAuthorizedEntity(const std::string& authorizedEntity, const std::string& scope,
                                       std::shared_ptr<FIRInstanceIDKeyPair> keyPair, DeleteHandler handler);
  void deleteAllTokensWithKeyPair(std::shared_ptr<FIRInstanceIDKeyPair> keyPair, DeleteHandler handler);
  bool deleteAllTokensLocallyWithError(std::optional<platform::foundation::Error>* error);
  // Stops the checkin request, then cancels every queued operation.
  void stopAllTokenOperations();
  // True when a "*"-scoped record is stale; stale records of other scopes are removed.
  bool checkForTokenRefreshPolicy();
  // The records invalidated by a new push token.
  std::vector<std::shared_ptr<FIRInstanceIDTokenInfo>> updateTokensToAPNSDeviceToken(
      const platform::foundation::Bytes& deviceToken, bool isSandbox);

  // store:didDeleteFCMScopedTokensForCheckin:, the identity store's
  // reinstall check: the old checkin's registrations go.
  void store(FIRInstanceIDStore& identityStore, FIRInstanceIDCheckinPreferencesRef preferences) override;

  std::shared_ptr<FIRInstanceIDTokenFetchOperation> createFetchOperationWithAuthorizedEntity(
      const std::string& authorizedEntity, const std::string& scope, const platform::foundation::Dict& options,
      std::shared_ptr<FIRInstanceIDKeyPair> keyPair);
  std::shared_ptr<FIRInstanceIDTokenDeleteOperation> createDeleteOperationWithAuthorizedEntity(
      std::optional<std::string> authorizedEntity, std::optional<std::string> scope,
      std::shared_ptr<FIRInstanceIDCheckinPreferences> checkinPreferences,
      std::shared_ptr<FIRInstanceIDKeyPair> keyPair, std::int64_t action);

  FIRInstanceIDTokenManager();

 private:
  void configureTokenOperations();
  void addOperation(std::shared_ptr<FIRInstanceIDTokenOperation> operation);

  std::unique_ptr<platform::dispatch::OperationQueue> tokenOperations_;
  std::shared_ptr<FIRInstanceIDStore> instanceIDStore_;
  std::shared_ptr<FIRInstanceIDAuthService> authService_;
  std::shared_ptr<FIRInstanceIDAPNSInfo> currentAPNSInfo_;
};

}  // namespace identity
