// The identity store: reinstallation check, library version and directory helpers.
#include <fstream>

#include "core/gul_user_defaults.h"
#include "identity/store.h"
#include "platform/os/system.h"
#include "platform/security/keychain.h"
#include "tests/identity/support.h"

namespace identity_test {
namespace {

using namespace identity;
namespace fd = platform::foundation;

class RecordingStoreDelegate : public FIRInstanceIDStoreDelegate {
 public:
  void store(FIRInstanceIDStore&, FIRInstanceIDCheckinPreferencesRef checkin) override { calls.push_back(checkin); }
  std::vector<FIRInstanceIDCheckinPreferencesRef> calls;
};

class IdentityStoreTest : public IdentityHarnessTest {
 protected:
  void SetUp() override { boot(); }
  static void saveCredentials(const std::string& id, const std::string& secret) {
    FIRInstanceIDCheckinStore checkin{std::string(kFIRInstanceIDCheckinPlistName), std::string(kFIRInstanceIDSubDirectoryName)};
    ASSERT_TRUE(checkin.saveCheckinPreferences(*FIRInstanceIDCheckinPreferences::initWithDeviceID(id, secret), nullptr));
  }
  static std::optional<fd::Value> savedVersion() {
    return core::GULUserDefaults::standardUserDefaults().objectForKey(kFIRInstanceIDLibraryVersionKey);
  }
  std::shared_ptr<RecordingStoreDelegate> delegate_ = std::make_shared<RecordingStoreDelegate>();
};

TEST_F(IdentityStoreTest, ReinstallWithKeychainCredentialsRemovesThemAndTellsTheDelegate) {
  saveCredentials("9223372036854775807", "42");
  // A reinstall: the container (list) is gone, the keychain item stays.
  std::filesystem::remove(subDirectory() / "g-checkin.plist");
  FIRInstanceIDStore store(delegate_);
  ASSERT_EQ(delegate_->calls.size(), 1u);
  EXPECT_EQ(delegate_->calls[0]->deviceID(), "9223372036854775807");
  EXPECT_EQ(delegate_->calls[0]->secretToken(), "42");
  EXPECT_TRUE(log_.has(13002));
  EXPECT_TRUE(log_.has(13006));
  EXPECT_EQ(store.cachedCheckinPreferences(), nullptr);
  EXPECT_EQ(savedVersion(), fd::Value("3.3.0"));
  EXPECT_EQ(store.currentSavedLibraryVersion(), std::optional<std::string>("3.3.0"));
  EXPECT_TRUE(log_.has(13010));

  // The next start finds the version and does nothing.
  saveCredentials("1", "2");
  std::filesystem::remove(subDirectory() / "g-checkin.plist");
  log_.clear();
  FIRInstanceIDStore again(delegate_);
  EXPECT_EQ(delegate_->calls.size(), 1u);
  EXPECT_FALSE(log_.has(13006));
  EXPECT_FALSE(log_.has(13009));
  ASSERT_TRUE(again.cachedCheckinPreferences());
}

TEST_F(IdentityStoreTest, ReinstallWithoutCredentialsOnlyLogs) {
  FIRInstanceIDStore store(delegate_);
  EXPECT_TRUE(delegate_->calls.empty());
  EXPECT_TRUE(log_.has(13009));
  EXPECT_TRUE(store.hasSavedLibraryVersion());
}

TEST_F(IdentityStoreTest, ExistingListMeansNoOldCredentials) {
  saveCredentials("5", "6");
  FIRInstanceIDStore store(delegate_);
  EXPECT_TRUE(delegate_->calls.empty());
  EXPECT_TRUE(log_.has(13009));
  ASSERT_TRUE(store.cachedCheckinPreferences());
}

TEST_F(IdentityStoreTest, AbsentDelegateIsNoCall) {
  saveCredentials("5", "6");
  std::filesystem::remove(subDirectory() / "g-checkin.plist");
  FIRInstanceIDStore store(std::weak_ptr<FIRInstanceIDStoreDelegate>{});
  EXPECT_TRUE(log_.has(13006));
}

TEST_F(IdentityStoreTest, TokenForwardingChecksItsArguments) {
  FIRInstanceIDStore store(delegate_);
  auto info = FIRInstanceIDTokenInfo::initWithAuthorizedEntity("e", "s", "t", "1.0", std::nullopt);
  ASSERT_TRUE(store.saveTokenInfo(*info, nullptr));
  EXPECT_EQ(store.tokenInfoWithAuthorizedEntity("", "s"), nullptr);
  ASSERT_TRUE(store.tokenInfoWithAuthorizedEntity("e", "s"));
  store.removeCachedTokenWithAuthorizedEntity("e", "");
  EXPECT_TRUE(log_.has(13012));
  EXPECT_EQ(store.cachedTokenInfos().size(), 1u);
  store.removeCachedTokenWithAuthorizedEntity("e", "s");
  EXPECT_TRUE(store.cachedTokenInfos().empty());
  EXPECT_TRUE(store.removeAllCachedTokensWithError(nullptr));
}

TEST_F(IdentityStoreTest, DirectoryHelpers) {
  const std::string name = "Dozada/Other";
  EXPECT_FALSE(FIRInstanceIDStore::hasApplicationSupportSubDirectory(name));
  EXPECT_TRUE(FIRInstanceIDStore::removeApplicationSupportSubDirectory(name, nullptr));
  EXPECT_TRUE(FIRInstanceIDStore::createApplicationSupportSubDirectory(name));
  EXPECT_TRUE(FIRInstanceIDStore::hasApplicationSupportSubDirectory(name));
  EXPECT_TRUE(FIRInstanceIDStore::createApplicationSupportSubDirectory(name));
  EXPECT_TRUE(FIRInstanceIDStore::removeApplicationSupportSubDirectory(name, nullptr));
  EXPECT_FALSE(std::filesystem::exists(FIRInstanceIDStore::pathForApplicationSupportSubDirectory(name)));

  std::ofstream(FIRInstanceIDStore::pathForApplicationSupportSubDirectory("plain")) << "x";
  EXPECT_FALSE(FIRInstanceIDStore::createApplicationSupportSubDirectory("plain"));
  EXPECT_TRUE(log_.has(13001));
  EXPECT_FALSE(FIRInstanceIDStore::hasApplicationSupportSubDirectory("plain"));
}

}  // namespace
}  // namespace identity_test
