// Checkin credentials in the keychain and the checkin property list.
#include "identity/checkin_store.h"

#include "identity/logger.h"
#include "identity/utilities.h"

namespace identity {

namespace fd = platform::foundation;

FIRInstanceIDCheckinStore::FIRInstanceIDCheckinStore(std::string checkinFilename,
                                                     std::string applicationSupportSubDirectory)
    : FIRInstanceIDCheckinStore(
          std::make_shared<FIRInstanceIDBackupExcludedPlist>(std::move(checkinFilename),
                                                             std::move(applicationSupportSubDirectory)),
          std::make_shared<FIRInstanceIDAuthKeychain>(std::string(kFIRInstanceIDCheckinKeychainGeneric))) {}

FIRInstanceIDCheckinStore::FIRInstanceIDCheckinStore(std::shared_ptr<FIRInstanceIDBackupExcludedPlist> plist,
                                                     std::shared_ptr<FIRInstanceIDAuthKeychain> keychain)
    : plist_(std::move(plist)), keychain_(std::move(keychain)) {}

bool FIRInstanceIDCheckinStore::hasCheckinPlist() const { return plist_->doesFileExist(); }

std::string FIRInstanceIDCheckinStore::bundleIdentifierForKeychainAccount() {
  static const std::string account = FIRInstanceIDAppIdentifier();
  return account;
}

bool FIRInstanceIDCheckinStore::saveCheckinPreferences(const FIRInstanceIDCheckinPreferences& preferences,
                                                       FIRInstanceIDErrorOut error) {
  const fd::Dict plistContents = preferences.checkinPlistContents();
  const auto keychainContent = preferences.checkinKeychainContent();
  if (!keychainContent || keychainContent->empty()) {
    IID_LOG_DEBUG(8000, "Failed to get checkin keychain content from memory.");
    return false;
  }
  if (plistContents.empty()) {
    IID_LOG_DEBUG(8001, "Failed to get checkin plist contents from memory.");
    return false;
  }
  const std::string account = bundleIdentifierForKeychainAccount();
  if (!preferences.hasPreCachedAuthCredentials()) {
    std::optional<fd::Error> keychainError;
    if (!keychain_->setData(fd::to_bytes(*keychainContent), kFIRInstanceIDCheckinKeychainService, std::nullopt, account,
                            &keychainError)) {
      IID_LOG_DEBUG(8002, "Failed to save checkin auth credentials to Keychain %s",
                    keychainError ? keychainError->description().c_str() : "");
      FIRInstanceIDSetError(error, keychainError);
      return false;
    }
  }
  if (plist_->writeDictionary(plistContents, error)) return true;
  IID_LOG_DEBUG(8003, "Failed to save checkin plist contents.Will delete auth credentials");
  std::optional<fd::Error> removeError;
  if (!keychain_->removeItemsMatchingService(kFIRInstanceIDCheckinKeychainService, account, &removeError)) {
    IID_LOG_DEBUG(8004, "Failed to remove checkin auth credentials from Keychain %s.",
                  removeError ? removeError->description().c_str() : "");
  }
  return false;
}

bool FIRInstanceIDCheckinStore::removeCheckinPreferencesWithError(FIRInstanceIDErrorOut error) {
  std::optional<fd::Error> removeError;
  if (keychain_->removeItemsMatchingService(kFIRInstanceIDCheckinKeychainService, bundleIdentifierForKeychainAccount(),
                                            &removeError)) {
    return plist_->deleteFile(error);
  }
  IID_LOG_ERROR(8005, "Failed to remove checkin auth credentials from Keychain %s",
                removeError ? removeError->description().c_str() : "");
  FIRInstanceIDSetError(error, removeError);
  return false;
}

FIRInstanceIDCheckinPreferencesRef FIRInstanceIDCheckinStore::cachedCheckinPreferences() {
  migrateCheckinItemIfNeeded();
  std::optional<fd::Error> error;
  const auto item =
      keychain_->itemForService(kFIRInstanceIDCheckinKeychainService, bundleIdentifierForKeychainAccount(), &error);
  if (error) {
    if (error->code != -25300) {
      IID_LOG_ERROR(8006, "Failed to read checkin auth credentials from keychain %s", error->description().c_str());
    }
    return nullptr;
  }
  FIRInstanceIDCheckinPreferencesRef record =
      item ? FIRInstanceIDCheckinPreferences::preferencesFromKeychainContents(fd::to_string(item->data)) : nullptr;
  const fd::Dict contents = plist_->contentAsDictionary().value_or(fd::Dict{});
  const std::string* deviceID = contents.get(kFIRInstanceIDDeviceAuthIdKey).string();
  const std::string* secret = contents.get(kFIRInstanceIDSecretTokenKey).string();
  const bool plistHasCredentials = deviceID && secret && !deviceID->empty() && !secret->empty();
  if (!record) {
    if (!plistHasCredentials) return nullptr;
    record = FIRInstanceIDCheckinPreferences::initWithDeviceID(*deviceID, *secret);
  } else if (contents.size() == 6 && plistHasCredentials) {
    record = FIRInstanceIDCheckinPreferences::initWithDeviceID(*deviceID, *secret);
  }
  record->updateWithCheckinPlistContents(contents);
  return record;
}

bool FIRInstanceIDCheckinStore::migrateCheckinItemIfNeeded() {
  const auto legacy = keychain_->itemForService(kFIRInstanceIDLegacyCheckinKeychainService,
                                                kFIRInstanceIDLegacyCheckinKeychainAccount, nullptr);
  if (!legacy) return false;
  std::optional<fd::Error> error;
  // The legacy item goes only once its data is stored under the current item.
  if (keychain_->setData(legacy->data, kFIRInstanceIDCheckinKeychainService, std::nullopt,
                         bundleIdentifierForKeychainAccount(), &error)) {
    keychain_->removeItemsMatchingService(kFIRInstanceIDLegacyCheckinKeychainService,
                                          kFIRInstanceIDLegacyCheckinKeychainAccount, &error);
  }
  if (error) {
    IID_LOG_DEBUG(8008, "Unable to migrate checkin. Error: %s", error->description().c_str());
    return false;
  }
  IID_LOG_DEBUG(8007, "Migrated checkin to new Keychain service/account");
  return true;
}

}  // namespace identity
