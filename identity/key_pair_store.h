#pragma once
// FIRInstanceIDKeyPairStore: which keychain items hold the installation's key
// pair, its creation on first need (recorded in the backup-excluded list
// "com.dozada.iid-keypair"), the move of a pair under the older tag scheme,
// the removal of a pair that outlived a reinstallation, and the app instance
// identifier.
//
// Threads: every operation may be called from any thread (the facade's
// queues, analytics on its own thread); one recursive lock serialises them,
// so two loads never generate two pairs. The delegate is called with the lock
// held and must not wait for another thread that uses the store.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "identity/backup_excluded_plist.h"
#include "identity/errors.h"
#include "identity/key_pair.h"

namespace identity {

class FIRInstanceIDKeyPairStore;

// Implemented by the facade.
class FIRInstanceIDKeyPairStoreDelegate {
 public:
  virtual ~FIRInstanceIDKeyPairStoreDelegate() = default;
  virtual void keyPairStoreDidDeleteKeyPair(FIRInstanceIDKeyPairStore& store) = 0;
};

class FIRInstanceIDKeyPairStore {
 public:
  FIRInstanceIDKeyPairStore();

  void setDelegate(std::weak_ptr<FIRInstanceIDKeyPairStoreDelegate> delegate);
  std::shared_ptr<FIRInstanceIDKeyPairStoreDelegate> delegate() const;

  // Current tags ignore the subtype; they are built once per process.
  static std::string publicTagWithSubtype(std::string_view subtype);
  static std::string privateTagWithSubtype(std::string_view subtype);
  static std::string legacyPublicTagWithSubtype(std::string_view subtype);
  static std::string legacyPrivateTagWithSubtype(std::string_view subtype);
  static std::string creationTimeKeyWithSubtype(std::string_view subtype);
  static std::string keyStoreFileName();

  // Deletes a keychain pair left without its creation-time list.
  void invalidateKeyPairsIfNeeded();
  std::shared_ptr<FIRInstanceIDKeyPair> loadKeyPairWithError(FIRInstanceIDErrorOut error);
  std::optional<std::string> appIdentityWithError(FIRInstanceIDErrorOut error);
  std::shared_ptr<FIRInstanceIDKeyPair> generateAndSaveKeyWithSubtype(std::string_view subtype,
                                                                      std::int64_t creationTime,
                                                                      FIRInstanceIDErrorOut error);
  std::shared_ptr<FIRInstanceIDKeyPair> validCachedKeyPairWithSubtype(std::string_view subtype,
                                                                      FIRInstanceIDErrorOut error);
  std::shared_ptr<FIRInstanceIDKeyPair> cachedKeyPairWithSubtype(std::string_view subtype,
                                                                 FIRInstanceIDErrorOut error);
  void migrateKeyPairCacheIfNeeded();
  bool deleteSavedKeyPairWithSubtype(std::string_view subtype, FIRInstanceIDErrorOut error);
  bool removeKeyPairCreationTimePlistWithError(FIRInstanceIDErrorOut error);
  bool hasCachedKeyPairs();

  const std::shared_ptr<FIRInstanceIDBackupExcludedPlist>& plist() const { return plist_; }

 private:
  mutable std::recursive_mutex mutex_;
  std::shared_ptr<FIRInstanceIDBackupExcludedPlist> plist_;
  std::shared_ptr<FIRInstanceIDKeyPair> keyPair_;
  std::weak_ptr<FIRInstanceIDKeyPairStoreDelegate> delegate_;
  // Loads that ended with the keychain's missing-entitlement status.
  int missingEntitlementLoads_ = 0;
};

}  // namespace identity
