#pragma once
// FIRInstanceIDTokenInfo: a cached token with the circumstances it was issued
// under (app version, app ID, push token info, cache time), archived with
// keyed coding. FIRInstanceIDTokenStore: one keychain item per (entity, scope)
// pair of this app. A record is set up by one thread and then read; the store
// has no lock of its own (the keychain serialises its calls); any thread.
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "identity/apns_info.h"
#include "identity/auth_keychain.h"
#include "identity/errors.h"
#include "platform/foundation/archive.h"

namespace identity {

// A cached token older than this is stale.
inline constexpr double kFIRInstanceIDTokenRefreshInterval = 7 * 24 * 60 * 60;
inline constexpr std::string_view kFIRInstanceIDTokenKeychainGeneric = "com.dozada.iid-tokens";

class FIRInstanceIDTokenInfo {
 public:
  FIRInstanceIDTokenInfo(std::string authorizedEntity, std::string scope, std::string token,
                         std::optional<std::string> appVersion, std::optional<std::string> davidizeAppID);
  static std::shared_ptr<FIRInstanceIDTokenInfo> initWithAuthorizedEntity(std::string authorizedEntity,
                                                                          std::string scope, std::string token,
                                                                          std::optional<std::string> appVersion,
                                                                          std::optional<std::string> davidizeAppID);
  // nullptr when a field has the wrong type; undecodable push token info is dropped (info 22000).
  static std::shared_ptr<FIRInstanceIDTokenInfo> initWithCoder(const platform::foundation::archive::Archived& coder);
  platform::foundation::archive::Archived encodeWithCoder() const;
  // The keyed archive with this record as root; nullptr for bytes that are no such archive.
  platform::foundation::Bytes archivedData() const;
  static std::shared_ptr<FIRInstanceIDTokenInfo> unarchive(std::span<const std::uint8_t> data);

  // Same app version, same app ID, same locale, cached less than 7 days ago. Stores nothing.
  bool isFresh() const;

  const std::string& authorizedEntity() const { return authorizedEntity_; }
  const std::string& scope() const { return scope_; }
  const std::string& token() const { return token_; }
  const std::optional<std::string>& appVersion() const { return appVersion_; }
  const std::optional<std::string>& davidizeAppID() const { return davidizeAppID_; }
  const std::shared_ptr<FIRInstanceIDAPNSInfo>& APNSInfo() const { return APNSInfo_; }
  void setAPNSInfo(std::shared_ptr<FIRInstanceIDAPNSInfo> info) { APNSInfo_ = std::move(info); }
  const std::optional<platform::foundation::Date>& cacheTime() const { return cacheTime_; }
  void setCacheTime(std::optional<platform::foundation::Date> time) { cacheTime_ = time; }

 private:
  std::string authorizedEntity_, scope_, token_;
  std::optional<std::string> appVersion_, davidizeAppID_;
  std::shared_ptr<FIRInstanceIDAPNSInfo> APNSInfo_;
  std::optional<platform::foundation::Date> cacheTime_;
};

using FIRInstanceIDTokenInfoRef = std::shared_ptr<FIRInstanceIDTokenInfo>;

class FIRInstanceIDTokenStore {
 public:
  // A store over a new keychain object of "com.dozada.iid-tokens".
  static std::shared_ptr<FIRInstanceIDTokenStore> defaultStore();
  explicit FIRInstanceIDTokenStore(std::shared_ptr<FIRInstanceIDAuthKeychain> keychain);

  static std::string serviceKeyForAuthorizedEntity(std::string_view authorizedEntity, std::string_view scope);
  static FIRInstanceIDTokenInfoRef tokenInfoFromKeychainItem(const FIRInstanceIDAuthKeychainItem& item);

  FIRInstanceIDTokenInfoRef tokenInfoWithAuthorizedEntity(std::string_view authorizedEntity, std::string_view scope);
  std::vector<FIRInstanceIDTokenInfoRef> cachedTokenInfos();
  // Stamps the record's cache time, then replaces the pair's item.
  bool saveTokenInfo(FIRInstanceIDTokenInfo& tokenInfo, FIRInstanceIDErrorOut error);
  bool removeTokenWithAuthorizedEntity(std::string_view authorizedEntity, std::string_view scope,
                                       FIRInstanceIDErrorOut error);
  bool removeAllTokensWithError(FIRInstanceIDErrorOut error);

  const std::shared_ptr<FIRInstanceIDAuthKeychain>& keychain() const { return keychain_; }

 private:
  std::shared_ptr<FIRInstanceIDAuthKeychain> keychain_;
};

}  // namespace identity
