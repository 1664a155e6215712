// Cached token records and their keychain store.
#include "identity/token_info.h"

#include "identity/logger.h"
#include "identity/utilities.h"

namespace identity {

namespace fd = platform::foundation;

namespace {

constexpr std::string_view kClassName = "FIRInstanceIDTokenInfo";

// Absent (or null) is fine; any other kind but a string is not.
bool optionalString(const fd::Value* value, std::optional<std::string>* out) {
  if (!value || value->is_null()) return true;
  if (!value->string()) return false;
  *out = *value->string();
  return true;
}

}  // namespace

FIRInstanceIDTokenInfo::FIRInstanceIDTokenInfo(std::string authorizedEntity, std::string scope, std::string token,
                                               std::optional<std::string> appVersion,
                                               std::optional<std::string> davidizeAppID)
    : authorizedEntity_(std::move(authorizedEntity)),
      scope_(std::move(scope)),
      token_(std::move(token)),
      appVersion_(std::move(appVersion)),
      davidizeAppID_(std::move(davidizeAppID)) {}

FIRInstanceIDTokenInfoRef FIRInstanceIDTokenInfo::initWithAuthorizedEntity(std::string authorizedEntity,
                                                                          std::string scope, std::string token,
                                                                          std::optional<std::string> appVersion,
                                                                          std::optional<std::string> davidizeAppID) {
  return std::make_shared<FIRInstanceIDTokenInfo>(std::move(authorizedEntity), std::move(scope), std::move(token),
                                                  std::move(appVersion), std::move(davidizeAppID));
}

FIRInstanceIDTokenInfoRef FIRInstanceIDTokenInfo::initWithCoder(const fd::archive::Archived& coder) {
  const fd::Dict& fields = coder.fields;
  const std::string* entity = fields.get("authorized_entity").string();
  const std::string* scope = fields.get("scope").string();
  const std::string* token = fields.get("token").string();
  if (!entity || !scope || !token) return nullptr;
  std::optional<std::string> appVersion, appID;
  if (!optionalString(fields.find("app_version"), &appVersion)) return nullptr;
  if (!optionalString(fields.find("davidize_app_id"), &appID)) return nullptr;

  std::shared_ptr<FIRInstanceIDAPNSInfo> apnsInfo;
  if (const fd::Value* raw = fields.find("apns_info"); raw && !raw->is_null()) {
    if (!raw->data()) return nullptr;
    const auto archived = fd::archive::unarchive(*raw->data());
    if (archived) apnsInfo = FIRInstanceIDAPNSInfo::initWithCoder(*archived);
    if (!apnsInfo) IID_LOG_INFO(22000, "Could not parse raw APNS Info while parsing archived token info.");
  }
  std::optional<fd::Date> cacheTime;
  if (const fd::Value* raw = fields.find("cache_time"); raw && !raw->is_null()) {
    if (!raw->date()) return nullptr;
    cacheTime = *raw->date();
  }
  auto info = initWithAuthorizedEntity(*entity, *scope, *token, std::move(appVersion), std::move(appID));
  info->APNSInfo_ = std::move(apnsInfo);
  info->cacheTime_ = cacheTime;
  return info;
}

fd::archive::Archived FIRInstanceIDTokenInfo::encodeWithCoder() const {
  fd::archive::Archived archived;
  archived.class_name = std::string(kClassName);
  archived.fields.set("authorized_entity", fd::Value(authorizedEntity_));
  archived.fields.set("scope", fd::Value(scope_));
  archived.fields.set("token", fd::Value(token_));
  if (appVersion_) archived.fields.set("app_version", fd::Value(*appVersion_));
  if (davidizeAppID_) archived.fields.set("davidize_app_id", fd::Value(*davidizeAppID_));
  if (APNSInfo_) archived.fields.set("apns_info", fd::Value(fd::archive::archive(APNSInfo_->encodeWithCoder())));
  if (cacheTime_) archived.fields.set("cache_time", fd::Value(*cacheTime_));
  return archived;
}

fd::Bytes FIRInstanceIDTokenInfo::archivedData() const { return fd::archive::archive(encodeWithCoder()); }

FIRInstanceIDTokenInfoRef FIRInstanceIDTokenInfo::unarchive(std::span<const std::uint8_t> data) {
  const auto archived = fd::archive::unarchive(data);
  if (!archived) return nullptr;
  return initWithCoder(*archived);
}

bool FIRInstanceIDTokenInfo::isFresh() const {
  if (!cacheTime_) return false;
  if (!appVersion_ || *appVersion_ != FIRInstanceIDBundleShortVersion()) {
    IID_LOG_DEBUG(14004, "Invalidating cached token for %s (%s) due to app version change.", authorizedEntity_.c_str(),
                  scope_.c_str());
    return false;
  }
  const auto currentAppID = FIRInstanceIDDefaultDozadaAppID();
  if (!davidizeAppID_ || davidizeAppID_ != currentAppID) {
    IID_LOG_DEBUG(22001, "Invalidating cached token due to Davidize App IID change from %s to %s",
                  davidizeAppID_ ? davidizeAppID_->c_str() : "(null)", currentAppID ? currentAppID->c_str() : "(null)");
    return false;
  }
  if (FIRInstanceIDLocaleDidChange()) {
    IID_LOG_DEBUG(22002, "Invalidating cached token due to locale change");
    return false;
  }
  const double age = static_cast<double>(FIRInstanceIDNowSeconds()) - cacheTime_->since_1970;
  return age < kFIRInstanceIDTokenRefreshInterval;
}

std::shared_ptr<FIRInstanceIDTokenStore> FIRInstanceIDTokenStore::defaultStore() {
  return std::make_shared<FIRInstanceIDTokenStore>(
      std::make_shared<FIRInstanceIDAuthKeychain>(std::string(kFIRInstanceIDTokenKeychainGeneric)));
}

FIRInstanceIDTokenStore::FIRInstanceIDTokenStore(std::shared_ptr<FIRInstanceIDAuthKeychain> keychain)
    : keychain_(std::move(keychain)) {}

std::string FIRInstanceIDTokenStore::serviceKeyForAuthorizedEntity(std::string_view authorizedEntity,
                                                                   std::string_view scope) {
  return std::string(authorizedEntity) + ":" + std::string(scope);
}

FIRInstanceIDTokenInfoRef FIRInstanceIDTokenStore::tokenInfoFromKeychainItem(const FIRInstanceIDAuthKeychainItem& item) {
  if (item.data.empty()) return nullptr;
  return FIRInstanceIDTokenInfo::unarchive(item.data);
}

FIRInstanceIDTokenInfoRef FIRInstanceIDTokenStore::tokenInfoWithAuthorizedEntity(std::string_view authorizedEntity,
                                                                                 std::string_view scope) {
  std::optional<fd::Error> error;
  const auto item = keychain_->itemForService(serviceKeyForAuthorizedEntity(authorizedEntity, scope),
                                              FIRInstanceIDAppIdentifier(), &error);
  if (!item) {
    if (error && error->code != -25300) {
      IID_LOG_INFO(15000, "Couldn't retrieve token from Keychain: %s", error->description().c_str());
    }
    return nullptr;
  }
  return tokenInfoFromKeychainItem(*item);
}

std::vector<FIRInstanceIDTokenInfoRef> FIRInstanceIDTokenStore::cachedTokenInfos() {
  std::optional<fd::Error> error;
  const auto items = keychain_->itemsMatchingService("*", FIRInstanceIDAppIdentifier(), &error);
  if (error) IID_LOG_WARNING(15014, "Couldn't retrieve cached tokens from Keychain: %s", error->description().c_str());
  std::vector<FIRInstanceIDTokenInfoRef> infos;
  for (const auto& item : items) {
    if (auto info = tokenInfoFromKeychainItem(item)) infos.push_back(std::move(info));
  }
  return infos;
}

bool FIRInstanceIDTokenStore::saveTokenInfo(FIRInstanceIDTokenInfo& tokenInfo, FIRInstanceIDErrorOut error) {
  tokenInfo.setCacheTime(fd::Date::now());
  const fd::Bytes data = tokenInfo.archivedData();
  std::optional<fd::Error> writeError;
  const bool saved =
      keychain_->setData(data, serviceKeyForAuthorizedEntity(tokenInfo.authorizedEntity(), tokenInfo.scope()),
                         std::nullopt, FIRInstanceIDAppIdentifier(), &writeError);
  if (saved || !writeError) {
    IID_LOG_INFO(15007, "Cached new token info for authorizedEntity: %s, scope: %s",
                 tokenInfo.authorizedEntity().c_str(), tokenInfo.scope().c_str());
  } else {
    IID_LOG_ERROR(15006, "Error unable to save token info to keychain %s", writeError->description().c_str());
  }
  FIRInstanceIDSetError(error, writeError);
  return saved;
}

bool FIRInstanceIDTokenStore::removeTokenWithAuthorizedEntity(std::string_view authorizedEntity,
                                                             std::string_view scope, FIRInstanceIDErrorOut error) {
  std::optional<fd::Error> removeError;
  const bool removed = keychain_->removeItemsMatchingService(serviceKeyForAuthorizedEntity(authorizedEntity, scope),
                                                             FIRInstanceIDAppIdentifier(), &removeError);
  if (removed) {
    IID_LOG_INFO(15009, "Successfully removed token from keychain for auth entity: %s scope: %s",
                 std::string(authorizedEntity).c_str(), std::string(scope).c_str());
  } else {
    IID_LOG_ERROR(15008, "Error failed to delete token from Keychain %s",
                  removeError ? removeError->description().c_str() : "");
  }
  FIRInstanceIDSetError(error, removeError);
  return removed;
}

bool FIRInstanceIDTokenStore::removeAllTokensWithError(FIRInstanceIDErrorOut error) {
  std::optional<fd::Error> removeError;
  const bool removed = keychain_->removeItemsMatchingService("*", FIRInstanceIDAppIdentifier(), &removeError);
  if (removed) {
    IID_LOG_INFO(15013, "Successfully removed all IID tokens");
  } else {
    IID_LOG_ERROR(15012, "Error failed to remove all tokens from keychain %s",
                  removeError ? removeError->description().c_str() : "");
  }
  FIRInstanceIDSetError(error, removeError);
  return removed;
}

}  // namespace identity
