#pragma once
// FIRInstanceIDStore: the checkin store and the token store behind one
// interface. At creation it detects a reinstallation (no saved library
// version) and asks its delegate to delete the registrations the previous
// installation left, then saves the library version. No lock of its own: the
// stores it forwards to are called from the client's queues.
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "identity/checkin_store.h"
#include "identity/errors.h"
#include "identity/token_info.h"

namespace identity {

// The user default whose presence marks that this installation ran the client before.
inline constexpr std::string_view kFIRInstanceIDLibraryVersionKey = "REREzozeredED-version";

class FIRInstanceIDStore;

// Implemented by the token manager.
class FIRInstanceIDStoreDelegate {
 public:
  virtual ~FIRInstanceIDStoreDelegate() = default;
  // store:didDeleteFCMScopedTokensForCheckin: the old installation's checkin.
  virtual void store(FIRInstanceIDStore& store, FIRInstanceIDCheckinPreferencesRef didDeleteFCMScopedTokensForCheckin) = 0;
};

class FIRInstanceIDStore {
 public:
  // The checkin store of "g-checkin" in the client's subdirectory and the default token store.
  explicit FIRInstanceIDStore(std::weak_ptr<FIRInstanceIDStoreDelegate> delegate);
  FIRInstanceIDStore(std::shared_ptr<FIRInstanceIDCheckinStore> checkinStore,
                     std::shared_ptr<FIRInstanceIDTokenStore> tokenStore,
                     std::weak_ptr<FIRInstanceIDStoreDelegate> delegate);

  // Directories under application support.
  static std::filesystem::path pathForApplicationSupportSubDirectory(const std::string& subDirectoryName);
  static bool hasApplicationSupportSubDirectory(const std::string& subDirectoryName);
  static bool createApplicationSupportSubDirectory(const std::string& subDirectoryName);
  static bool removeApplicationSupportSubDirectory(const std::string& subDirectoryName, FIRInstanceIDErrorOut error);

  void resetCredentialsIfNeeded();
  void saveLibraryVersion();
  bool hasSavedLibraryVersion() const;
  std::optional<std::string> currentSavedLibraryVersion() const;

  // Tokens.
  FIRInstanceIDTokenInfoRef tokenInfoWithAuthorizedEntity(std::string_view authorizedEntity, std::string_view scope);
  std::vector<FIRInstanceIDTokenInfoRef> cachedTokenInfos();
  bool saveTokenInfo(FIRInstanceIDTokenInfo& tokenInfo, FIRInstanceIDErrorOut error);
  void removeCachedTokenWithAuthorizedEntity(std::string_view authorizedEntity, std::string_view scope);
  bool removeAllCachedTokensWithError(FIRInstanceIDErrorOut error);

  // Checkin.
  bool saveCheckinPreferences(const FIRInstanceIDCheckinPreferences& preferences, FIRInstanceIDErrorOut error);
  FIRInstanceIDCheckinPreferencesRef cachedCheckinPreferences();
  bool removeCheckinPreferences(FIRInstanceIDErrorOut error);

  const std::shared_ptr<FIRInstanceIDCheckinStore>& checkinStore() const { return checkinStore_; }
  const std::shared_ptr<FIRInstanceIDTokenStore>& tokenStore() const { return tokenStore_; }
  std::shared_ptr<FIRInstanceIDStoreDelegate> delegate() const { return delegate_.lock(); }

 private:
  std::shared_ptr<FIRInstanceIDCheckinStore> checkinStore_;
  std::shared_ptr<FIRInstanceIDTokenStore> tokenStore_;
  std::weak_ptr<FIRInstanceIDStoreDelegate> delegate_;
};

}  // namespace identity
