#pragma once
// FIRInstanceIDCheckinStore: checkin credentials in a keychain item (device ID
// and secret) and the rest of the record in the backup-excluded list
// "g-checkin", kept in step; reads older layouts and moves the legacy
// keychain item. No lock: callers serialise (the auth service's completion,
// the identity store at start).
#include <memory>
#include <string>

#include "identity/auth_keychain.h"
#include "identity/backup_excluded_plist.h"
#include "identity/checkin_preferences.h"
#include "identity/errors.h"

namespace identity {

inline constexpr std::string_view kFIRInstanceIDCheckinKeychainGeneric = "com.dozada.iid";
inline constexpr std::string_view kFIRInstanceIDCheckinKeychainService = "com.dozada.iid.checkin";
inline constexpr std::string_view kFIRInstanceIDLegacyCheckinKeychainService = "com.dozada.iid.checkin-service";
inline constexpr std::string_view kFIRInstanceIDLegacyCheckinKeychainAccount = "com.dozada.iid.checkin-account";
inline constexpr std::string_view kFIRInstanceIDCheckinPlistName = "g-checkin";

class FIRInstanceIDCheckinStore {
 public:
  FIRInstanceIDCheckinStore(std::string checkinFilename, std::string applicationSupportSubDirectory);
  FIRInstanceIDCheckinStore(std::shared_ptr<FIRInstanceIDBackupExcludedPlist> plist,
                            std::shared_ptr<FIRInstanceIDAuthKeychain> keychain);

  bool hasCheckinPlist() const;
  // The app's bundle identifier, read once per process ("" with error 18000 when it has none).
  static std::string bundleIdentifierForKeychainAccount();
  bool saveCheckinPreferences(const FIRInstanceIDCheckinPreferences& preferences, FIRInstanceIDErrorOut error);
  bool removeCheckinPreferencesWithError(FIRInstanceIDErrorOut error);
  FIRInstanceIDCheckinPreferencesRef cachedCheckinPreferences();
  bool migrateCheckinItemIfNeeded();

  const std::shared_ptr<FIRInstanceIDBackupExcludedPlist>& plist() const { return plist_; }
  const std::shared_ptr<FIRInstanceIDAuthKeychain>& keychain() const { return keychain_; }

 private:
  std::shared_ptr<FIRInstanceIDBackupExcludedPlist> plist_;
  std::shared_ptr<FIRInstanceIDAuthKeychain> keychain_;
};

}  // namespace identity
