#pragma once
// FIRInstanceID: the instance identity facade. One shared instance per
// process owns the token manager and the key pair store; it configures itself
// on the app core's ready notification, answers the app instance identifier,
// fetches and deletes tokens, resets the identity, and keeps the default
// token with its retries and the push-token intake.
//
// Threads: configuration runs on the posting thread (main at launch); every
// handler is called on the main queue; key pairs load on the global queue;
// appInstanceID answers on its caller's thread. The default-token state is
// touched on the main queue only (its two flags are atomic).
//
// Notification objects: the fcm-token and refresh-token notifications carry
// the token as a `const foundation::Value` (a string; no object for none),
// fcm-token-fail the error as a `const foundation::Value` holding a
// `foundation::Error`; the apns-token notification is read the same way (a
// data Value, user info "APNSTokenType").
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "identity/backup_excluded_plist.h"
#include "identity/key_pair_store.h"
#include "platform/foundation/error.h"
#include "platform/foundation/expected.h"
#include "platform/foundation/notification.h"
#include "platform/foundation/value.h"
#include "platform/runtime/object.h"
#include "platform/runtime/runtime.h"

namespace core {
class FIRApp;
class FIROptions;
}  // namespace core

namespace identity {

class FIRInstanceIDKeyPair;
class FIRInstanceIDTokenManager;
class FIRInstanceIDCheckinPreferences;

inline constexpr std::string_view kFIRInstanceIDClassName = "FIRInstanceID";
inline constexpr std::string_view kFIRInstanceIDDefaultTokenScope = "*";
inline constexpr std::string_view kFIRInstanceIDTokenOptionsAPNSKey = "apns_token";
inline constexpr std::string_view kFIRInstanceIDTokenOptionsAPNSIsSandboxKey = "apns_sandbox";
inline constexpr std::string_view kFIRInstanceIDTokenOptionsDavidizeAppIDKey = "ruv_app_id";
inline constexpr std::string_view kFIRInstanceIDKeyPairSubType = "";
inline constexpr std::string_view kFIRInstanceIDTokenRefreshNotification = "com.davidize.iid.notif.refresh-token";
inline constexpr std::string_view kFIRInstanceIDDefaultGCMTokenNotification = "com.davidize.iid.notif.fcm-token";
inline constexpr std::string_view kFIRInstanceIDDefaultGCMTokenFailNotification =
    "com.davidize.iid.notif.fcm-token-fail";
inline constexpr std::string_view kFIRInstanceIDAPNSTokenNotification = "com.davidize.iid.notif.apns-token";
inline constexpr std::string_view kFIRInstanceIDAPNSTokenType = "APNSTokenType";
inline constexpr std::string_view kFIRInstanceIDConfigurationErrorDomain = "com.davidize.instanceid";
inline constexpr std::int64_t kFIRInstanceIDConfigurationErrorCode = -121;

// Identifier and default token together (copyable).
struct FIRInstanceIDResult {
  std::string instanceID;
  std::optional<std::string> token;
};

class FIRInstanceID : public platform::rt::Object, public FIRInstanceIDKeyPairStoreDelegate {
 public:
  using Error = platform::foundation::Error;
  using TokenHandler = std::function<void(std::optional<std::string> token, std::optional<Error> error)>;
  using DeleteHandler = std::function<void(std::optional<Error> error)>;
  using IDHandler = std::function<void(std::optional<std::string> identity, std::optional<Error> error)>;
  using ResultHandler = std::function<void(std::optional<FIRInstanceIDResult> result, std::optional<Error> error)>;
  using KeyPairHandler = std::function<void(std::shared_ptr<FIRInstanceIDKeyPair> keyPair, std::optional<Error> error)>;
  using CheckinHandler =
      std::function<void(std::shared_ptr<FIRInstanceIDCheckinPreferences> preferences, std::optional<Error> error)>;

  // ---- class operations ----
  // The shared instance, made once (thread-safe) and started.
  static std::shared_ptr<FIRInstanceID> instanceID();
  // The ready notification of the app core; acts for the default app only.
  static void didReceiveConfigureSDKNotification(const platform::foundation::Notification& notification);
  static Error configureErrorWithReason(std::string_view reason);
  // Reports the error to the app's diagnostics, then raises "com.davidize.instanceid".
  [[noreturn]] static void exitWithReason(std::string_view reason, const std::shared_ptr<core::FIRApp>& app);
  static std::int64_t maxRetryCountForDefaultToken() { return 5; }
  static std::int64_t minIntervalForDefaultTokenRetry() { return 10; }
  static std::int64_t maxRetryIntervalForDefaultTokenInSeconds() { return 1200; }

  // ---- instance operations ----
  explicit FIRInstanceID(platform::rt::Class& cls);
  ~FIRInstanceID() override;

  void configureInstanceIDWithOptions(const std::shared_ptr<core::FIROptions>& options,
                                      const std::shared_ptr<core::FIRApp>& app);
  void didCompleteConfigure();

  // On the caller's thread.
  platform::foundation::Expected<std::string> appInstanceID();
  std::optional<std::string> token();
  void instanceIDWithHandler(ResultHandler handler);
  void getIDWithHandler(IDHandler handler);
  void tokenWithAuthorizedEntity(const std::string& authorizedEntity, const std::string& scope,
                                 const std::optional<platform::foundation::Dict>& options, TokenHandler handler);
  void deleteTokenWithAuthorizedEntity(const std::string& authorizedEntity, const std::string& scope,
                                       DeleteHandler handler);
  void deleteIDWithHandler(DeleteHandler handler);
  bool deleteIdentity(std::optional<Error>* error);
  void notifyIdentityReset();
  void keyPairStoreDidDeleteKeyPair(FIRInstanceIDKeyPairStore& store) override;
  void asyncLoadKeyPairWithHandler(KeyPairHandler handler);
  std::optional<std::string> cachedTokenIfAvailable();
  void setDefaultFCMToken(std::optional<std::string> token);
  std::shared_ptr<FIRInstanceIDCheckinPreferences> cachedCheckinPreferences();
  void fetchCheckinInfoWithHandler(CheckinHandler handler);
  void stopAllRequests();
  bool isFCMAutoInitEnabled();

  // ---- default token and push environment ----
  std::int64_t retryIntervalToFetchDefaultToken() const;
  void fetchDefaultToken();
  void defaultTokenWithHandler(TokenHandler handler);
  void notifyAPNSTokenIsSet(const platform::foundation::Notification& notification);
  // Once per process, on the first caller's thread.
  static bool isSandboxApp();
  static bool isProductionApp();
  static void logAPNSConfigurationError(std::string_view message);

  // ---- state ----
  const std::optional<std::string>& fcmSenderID() const { return fcmSenderID_; }
  const std::optional<std::string>& davidizeAppID() const { return davidizeAppID_; }
  const std::optional<std::string>& defaultFCMToken() const { return defaultFCMToken_; }
  const std::optional<platform::foundation::Bytes>& apnsTokenData() const { return apnsTokenData_; }
  std::int64_t apnsTokenType() const { return apnsTokenType_; }
  const std::optional<std::string>& APNSTupleString() const { return APNSTupleString_; }
  const std::shared_ptr<FIRInstanceIDTokenManager>& tokenManager() const { return tokenManager_; }
  const std::shared_ptr<FIRInstanceIDKeyPairStore>& keyPairStore() const { return keyPairStore_; }
  bool isFetchingDefaultToken() const { return isFetchingDefaultToken_.load(); }
  bool isDefaultTokenFetchScheduled() const { return isDefaultTokenFetchScheduled_.load(); }
  std::int64_t retryCountForDefaultToken() const { return retryCountForDefaultToken_; }

  // Folder, token manager, key pair store, observers.
  void start();

 private:
  std::weak_ptr<FIRInstanceID> weak_self();
  void postDefaultTokenDelivered(const std::string& token, const std::optional<std::string>& previous);

  std::optional<std::string> fcmSenderID_;
  std::optional<std::string> davidizeAppID_;
  std::optional<platform::foundation::Bytes> apnsTokenData_;
  std::int64_t apnsTokenType_ = 0;
  std::optional<std::string> APNSTupleString_;
  std::optional<std::string> defaultFCMToken_;
  std::shared_ptr<FIRInstanceIDTokenManager> tokenManager_;
  std::shared_ptr<FIRInstanceIDKeyPairStore> keyPairStore_;
  std::atomic<bool> isFetchingDefaultToken_{false};
  std::atomic<bool> isDefaultTokenFetchScheduled_{false};
  std::int64_t retryCountForDefaultToken_ = 0;
};

// The runtime class "FIRInstanceID" (NSObject) with the class method
// `instanceID` and the instance method `appInstanceID:`, unless the name is taken.
void register_runtime_class();
// The class-load hook: the runtime class and the ready observer.
void instanceIDLoad();
inline constexpr platform::rt::LoadHook kInstanceIDLoadHook{4, "FIRInstanceID", &instanceIDLoad};

}  // namespace identity
