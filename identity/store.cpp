// The identity store: forwarding, the reinstallation check and directory helpers.
#include "identity/store.h"

#include "core/gul_user_defaults.h"
#include "identity/logger.h"
#include "identity/utilities.h"
#include "platform/os/file_manager.h"

namespace identity {

namespace fd = platform::foundation;
namespace os = platform::os;

FIRInstanceIDStore::FIRInstanceIDStore(std::weak_ptr<FIRInstanceIDStoreDelegate> delegate)
    : FIRInstanceIDStore(std::make_shared<FIRInstanceIDCheckinStore>(std::string(kFIRInstanceIDCheckinPlistName),
                                                                     std::string(kFIRInstanceIDSubDirectoryName)),
                         FIRInstanceIDTokenStore::defaultStore(), std::move(delegate)) {}

FIRInstanceIDStore::FIRInstanceIDStore(std::shared_ptr<FIRInstanceIDCheckinStore> checkinStore,
                                       std::shared_ptr<FIRInstanceIDTokenStore> tokenStore,
                                       std::weak_ptr<FIRInstanceIDStoreDelegate> delegate)
    : checkinStore_(std::move(checkinStore)), tokenStore_(std::move(tokenStore)), delegate_(std::move(delegate)) {
  resetCredentialsIfNeeded();
  saveLibraryVersion();
}

std::filesystem::path FIRInstanceIDStore::pathForApplicationSupportSubDirectory(const std::string& subDirectoryName) {
  return os::FileManager::shared().url_for(os::Directory::application_support) / subDirectoryName;
}

bool FIRInstanceIDStore::hasApplicationSupportSubDirectory(const std::string& subDirectoryName) {
  bool isDirectory = false;
  return os::FileManager::shared().exists(pathForApplicationSupportSubDirectory(subDirectoryName), &isDirectory) &&
         isDirectory;
}

bool FIRInstanceIDStore::createApplicationSupportSubDirectory(const std::string& subDirectoryName) {
  const auto path = pathForApplicationSupportSubDirectory(subDirectoryName);
  auto& files = os::FileManager::shared();
  bool isDirectory = false;
  if (files.exists(path, &isDirectory)) {
    if (isDirectory) return true;
    IID_LOG_ERROR(13001, "Found file instead of directory at %s", path.c_str());
    return false;
  }
  const auto created = files.create_directory(path, true);
  if (!created) {
    IID_LOG_ERROR(13000, "Cannot create directory %s, error: %s", path.c_str(), created.error().description().c_str());
    return false;
  }
  return true;
}

bool FIRInstanceIDStore::removeApplicationSupportSubDirectory(const std::string& subDirectoryName,
                                                             FIRInstanceIDErrorOut error) {
  if (!hasApplicationSupportSubDirectory(subDirectoryName)) return true;
  const auto removed = os::FileManager::shared().remove_item(pathForApplicationSupportSubDirectory(subDirectoryName));
  if (!removed) {
    FIRInstanceIDSetError(error, removed.error());
    return false;
  }
  return true;
}

void FIRInstanceIDStore::resetCredentialsIfNeeded() {
  if (hasSavedLibraryVersion()) return;
  FIRInstanceIDCheckinPreferencesRef oldCheckin;
  if (!checkinStore_->hasCheckinPlist()) {
    oldCheckin = checkinStore_->cachedCheckinPreferences();
    std::optional<fd::Error> error;
    if (checkinStore_->removeCheckinPreferencesWithError(&error)) {
      IID_LOG_DEBUG(13002, "Removed cached checkin preferences from Keychain.");
    } else {
      IID_LOG_ERROR(13003, "Couldn't remove cached checkin preferences. Error: %s",
                    error ? error->description().c_str() : "");
    }
  }
  if (oldCheckin && !oldCheckin->deviceID().empty() && !oldCheckin->secretToken().empty()) {
    IID_LOG_DEBUG(13006, "App reset detected. Will delete server registrations.");
    if (auto delegate = delegate_.lock()) delegate->store(*this, oldCheckin);
  } else {
    IID_LOG_DEBUG(13009,
                  "App reset detected but no valid checkin auth preferences found. Will not delete server "
                  "registrations.");
  }
}

void FIRInstanceIDStore::saveLibraryVersion() {
  const std::string version = FIRInstanceIDLibraryVersionString();
  core::GULUserDefaults::standardUserDefaults().setObject(fd::Value(version), kFIRInstanceIDLibraryVersionKey);
  IID_LOG_INFO(13010, "InstanceID library version %s", version.c_str());
}

bool FIRInstanceIDStore::hasSavedLibraryVersion() const {
  return core::GULUserDefaults::standardUserDefaults().objectForKey(kFIRInstanceIDLibraryVersionKey).has_value();
}

std::optional<std::string> FIRInstanceIDStore::currentSavedLibraryVersion() const {
  const auto value = core::GULUserDefaults::standardUserDefaults().objectForKey(kFIRInstanceIDLibraryVersionKey);
  if (!value || !value->string()) return std::nullopt;
  return *value->string();
}

FIRInstanceIDTokenInfoRef FIRInstanceIDStore::tokenInfoWithAuthorizedEntity(std::string_view authorizedEntity,
                                                                            std::string_view scope) {
  if (authorizedEntity.empty() || scope.empty()) return nullptr;
  return tokenStore_->tokenInfoWithAuthorizedEntity(authorizedEntity, scope);
}

std::vector<FIRInstanceIDTokenInfoRef> FIRInstanceIDStore::cachedTokenInfos() { return tokenStore_->cachedTokenInfos(); }

bool FIRInstanceIDStore::saveTokenInfo(FIRInstanceIDTokenInfo& tokenInfo, FIRInstanceIDErrorOut error) {
  return tokenStore_->saveTokenInfo(tokenInfo, error);
}

void FIRInstanceIDStore::removeCachedTokenWithAuthorizedEntity(std::string_view authorizedEntity,
                                                               std::string_view scope) {
  if (authorizedEntity.empty() || scope.empty()) {
    IID_LOG_ERROR(13012, "Will not delete token with invalid entity: %s, scope: %s",
                  std::string(authorizedEntity).c_str(), std::string(scope).c_str());
    return;
  }
  tokenStore_->removeTokenWithAuthorizedEntity(authorizedEntity, scope, nullptr);
}

bool FIRInstanceIDStore::removeAllCachedTokensWithError(FIRInstanceIDErrorOut error) {
  return tokenStore_->removeAllTokensWithError(error);
}

bool FIRInstanceIDStore::saveCheckinPreferences(const FIRInstanceIDCheckinPreferences& preferences,
                                                FIRInstanceIDErrorOut error) {
  return checkinStore_->saveCheckinPreferences(preferences, error);
}

FIRInstanceIDCheckinPreferencesRef FIRInstanceIDStore::cachedCheckinPreferences() {
  return checkinStore_->cachedCheckinPreferences();
}

bool FIRInstanceIDStore::removeCheckinPreferences(FIRInstanceIDErrorOut error) {
  return checkinStore_->removeCheckinPreferencesWithError(error);
}

}  // namespace identity
