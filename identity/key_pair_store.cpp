// The key pair store.
#include "identity/key_pair_store.h"

#include "identity/logger.h"
#include "identity/utilities.h"
#include "platform/security/status.h"

namespace identity {

namespace fd = platform::foundation;

namespace {

constexpr std::string_view kKeyPairStoreFileName = "com.dozada.iid-keypair";
constexpr std::string_view kPublicTagPrefix = "com.dozada.iid.keypair.public-";
constexpr std::string_view kPrivateTagPrefix = "com.dozada.iid.keypair.private-";
constexpr std::string_view kLegacyTagPrefix = "com.dozada.iid-";
// Loads refused by the keychain before the store stops asking it.
constexpr int kMaxMissingEntitlementLoads = 2;

std::string describe(const std::optional<fd::Error>& error) { return error ? error->description() : ""; }

}  // namespace

FIRInstanceIDKeyPairStore::FIRInstanceIDKeyPairStore()
    : plist_(std::make_shared<FIRInstanceIDBackupExcludedPlist>(std::string(kKeyPairStoreFileName),
                                                                std::string(kFIRInstanceIDSubDirectoryName))) {}

void FIRInstanceIDKeyPairStore::setDelegate(std::weak_ptr<FIRInstanceIDKeyPairStoreDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

std::shared_ptr<FIRInstanceIDKeyPairStoreDelegate> FIRInstanceIDKeyPairStore::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_.lock();
}

std::string FIRInstanceIDKeyPairStore::publicTagWithSubtype(std::string_view) {
  static const std::string tag = std::string(kPublicTagPrefix) + FIRInstanceIDAppIdentifier();
  return tag;
}

std::string FIRInstanceIDKeyPairStore::privateTagWithSubtype(std::string_view) {
  static const std::string tag = std::string(kPrivateTagPrefix) + FIRInstanceIDAppIdentifier();
  return tag;
}

std::string FIRInstanceIDKeyPairStore::legacyPublicTagWithSubtype(std::string_view subtype) {
  return std::string(kLegacyTagPrefix) + std::string(subtype) + "|P|";
}

std::string FIRInstanceIDKeyPairStore::legacyPrivateTagWithSubtype(std::string_view subtype) {
  return std::string(kLegacyTagPrefix) + std::string(subtype) + "|K|";
}

std::string FIRInstanceIDKeyPairStore::creationTimeKeyWithSubtype(std::string_view subtype) {
  return std::string(subtype) + "|S|cre";
}

std::string FIRInstanceIDKeyPairStore::keyStoreFileName() { return std::string(kKeyPairStoreFileName); }

void FIRInstanceIDKeyPairStore::invalidateKeyPairsIfNeeded() {
  std::lock_guard lock(mutex_);
  if (!plist_->doesFileExist()) deleteSavedKeyPairWithSubtype("", nullptr);
}

std::shared_ptr<FIRInstanceIDKeyPair> FIRInstanceIDKeyPairStore::loadKeyPairWithError(FIRInstanceIDErrorOut error) {
  // The whole sequence and the answer are taken under the lock, so a
  // deletion on another thread cannot come between them.
  std::lock_guard lock(mutex_);
  if (keyPair_ && keyPair_->isValid()) return keyPair_;
  if (missingEntitlementLoads_ >= kMaxMissingEntitlementLoads) {
    IID_LOG_DEBUG(10002,
                  "Keychain not accessible, Entitlements missing error (-34018). Will not check token in cache.");
    FIRInstanceIDSetError(error, keychainErrorWithStatus(platform::security::status::missing_entitlement));
    return nullptr;
  }
  std::optional<fd::Error> loadError;
  if (!keyPair_) {
    migrateKeyPairCacheIfNeeded();
    keyPair_ = validCachedKeyPairWithSubtype("", &loadError);
  }
  if (!keyPair_) keyPair_ = generateAndSaveKeyWithSubtype("", FIRInstanceIDNowSeconds(), &loadError);
  if (!keyPair_ && loadError && loadError->code == platform::security::status::missing_entitlement) {
    ++missingEntitlementLoads_;
  }
  FIRInstanceIDSetError(error, loadError);
  return keyPair_;
}

std::optional<std::string> FIRInstanceIDKeyPairStore::appIdentityWithError(FIRInstanceIDErrorOut error) {
  std::optional<fd::Error> loadError;
  const auto keyPair = loadKeyPairWithError(&loadError);
  if (!keyPair) {
    IID_LOG_ERROR(10009, "Keypair could not be loaded from Keychain. Error: %s", describe(loadError).c_str());
    FIRInstanceIDSetError(error, loadError);
    return std::nullopt;
  }
  FIRInstanceIDSetError(error, std::nullopt);
  auto identity = FIRInstanceIDKeyPair::appIdentityWithKeyPair(keyPair.get());
  if (!identity || identity->empty()) {
    FIRInstanceIDSetError(error, errorWithFIRInstanceIDErrorCode(kFIRInstanceIDErrorCodeUnknown));
  }
  return identity;
}

std::shared_ptr<FIRInstanceIDKeyPair> FIRInstanceIDKeyPairStore::generateAndSaveKeyWithSubtype(
    std::string_view subtype, std::int64_t creationTime, FIRInstanceIDErrorOut error) {
  std::lock_guard lock(mutex_);
  const std::string publicTag = publicTagWithSubtype(subtype);
  const std::string privateTag = privateTagWithSubtype(subtype);
  auto keyPair = FIRInstanceIDKeyPair::generateRSA2048KeyPairWithPrivateTag(privateTag, publicTag, error);
  if (!keyPair || !keyPair->isValid()) {
    IID_LOG_ERROR(10003, "Unable to generate keypair.");
    return nullptr;
  }
  FIRInstanceIDSetError(error, std::nullopt);
  fd::Dict contents = plist_->contentAsDictionary().value_or(fd::Dict{});
  contents.set(creationTimeKeyWithSubtype(subtype), fd::Value(static_cast<long long>(creationTime)));
  std::optional<fd::Error> writeError;
  if (plist_->writeDictionary(contents, &writeError)) return keyPair;
  FIRInstanceIDKeyPair::deleteKeyPairWithPrivateTag(privateTag, publicTag, nullptr);
  IID_LOG_ERROR(10004, "Failed to save keypair data to plist %s", describe(writeError).c_str());
  FIRInstanceIDSetError(error, writeError);
  return nullptr;
}

std::shared_ptr<FIRInstanceIDKeyPair> FIRInstanceIDKeyPairStore::validCachedKeyPairWithSubtype(
    std::string_view subtype, FIRInstanceIDErrorOut error) {
  std::lock_guard lock(mutex_);
  const auto contents = plist_->contentAsDictionary();
  if (contents && contents->contains(creationTimeKeyWithSubtype(subtype))) {
    return cachedKeyPairWithSubtype(subtype, error);
  }
  std::optional<fd::Error> deleteError;
  if (!deleteSavedKeyPairWithSubtype(subtype, &deleteError)) {
    IID_LOG_DEBUG(10005, "Failed to delete keyPair for subtype %s, error %s", std::string(subtype).c_str(),
                  describe(deleteError).c_str());
  }
  FIRInstanceIDSetError(error, errorWithFIRInstanceIDErrorCode(kFIRInstanceIDErrorCodeInvalidKeyPairCreationTime));
  return nullptr;
}

std::shared_ptr<FIRInstanceIDKeyPair> FIRInstanceIDKeyPairStore::cachedKeyPairWithSubtype(std::string_view subtype,
                                                                                         FIRInstanceIDErrorOut error) {
  return FIRInstanceIDKeyPair::keyPairForPrivateKeyTag(privateTagWithSubtype(subtype), publicTagWithSubtype(subtype),
                                                       error);
}

void FIRInstanceIDKeyPairStore::migrateKeyPairCacheIfNeeded() {
  std::lock_guard lock(mutex_);
  const auto legacy = FIRInstanceIDKeyPair::keyPairForPrivateKeyTag(legacyPrivateTagWithSubtype(""),
                                                                    legacyPublicTagWithSubtype(""), nullptr);
  if (!legacy || !legacy->isValid()) return;
  if (FIRInstanceIDKeyPair::hasMigratedKeyPairWithLegacyPublicKeyTag(legacyPublicTagWithSubtype(""),
                                                                     publicTagWithSubtype(""))) {
    return;
  }
  const bool publicMoved = FIRInstanceIDKeyPair::updateKeyRef(legacy->publicKey(), publicTagWithSubtype(""));
  const bool privateMoved = FIRInstanceIDKeyPair::updateKeyRef(legacy->privateKey(), privateTagWithSubtype(""));
  if (publicMoved && privateMoved) {
    IID_LOG_DEBUG(9005, "Successfully migrated the keypair from legacy ones.");
  } else {
    IID_LOG_ERROR(9004, "Unable to migrate key pair from legacy ones.");
  }
}

bool FIRInstanceIDKeyPairStore::deleteSavedKeyPairWithSubtype(std::string_view subtype, FIRInstanceIDErrorOut error) {
  std::lock_guard lock(mutex_);
  const std::string key = creationTimeKeyWithSubtype(subtype);
  if (auto contents = plist_->contentAsDictionary(); contents && contents->contains(key)) {
    contents->erase(key);
    std::optional<fd::Error> writeError;
    if (!plist_->writeDictionary(*contents, &writeError)) {
      IID_LOG_ERROR(10006, "Unable to remove keypair creation time from plist %s", describe(writeError).c_str());
    }
  }
  FIRInstanceIDSetError(error, std::nullopt);
  const bool deleted = FIRInstanceIDKeyPair::deleteKeyPairWithPrivateTag(privateTagWithSubtype(subtype),
                                                                         publicTagWithSubtype(subtype), error);
  if (!deleted) IID_LOG_ERROR(10007, "Unable to remove RSA keypair");
  FIRInstanceIDKeyPair::deleteKeyPairWithPrivateTag(legacyPrivateTagWithSubtype(subtype),
                                                    legacyPublicTagWithSubtype(subtype), error);
  if (deleted) {
    keyPair_.reset();
    if (auto delegate = delegate_.lock()) delegate->keyPairStoreDidDeleteKeyPair(*this);
  }
  return deleted;
}

bool FIRInstanceIDKeyPairStore::removeKeyPairCreationTimePlistWithError(FIRInstanceIDErrorOut error) {
  std::lock_guard lock(mutex_);
  if (!plist_->deleteFile(error)) {
    IID_LOG_ERROR(10008, "Unable to delete keypair creation times plist");
    return false;
  }
  return true;
}

bool FIRInstanceIDKeyPairStore::hasCachedKeyPairs() {
  std::lock_guard lock(mutex_);
  std::optional<fd::Error> error;
  if (cachedKeyPairWithSubtype("", &error)) return true;
  if (error) IID_LOG_DEBUG(10000, "Failed to get cached keyPair %s", error->description().c_str());
  std::optional<fd::Error> removeError;
  if (!removeKeyPairCreationTimePlistWithError(&removeError)) {
    IID_LOG_DEBUG(10001, "Failed to remove keyPair creationTime plist %s", describe(removeError).c_str());
  }
  return false;
}

}  // namespace identity
