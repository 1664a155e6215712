// The keychain layer and the checkin store over the device's real keychain file.
#include <cerrno>

#include "identity/auth_keychain.h"
#include "identity/checkin_store.h"
#include "platform/foundation/plist.h"
#include "platform/os/system.h"
#include "platform/security/keychain.h"
#include "platform/testing/file_faults.h"
#include "tests/identity/support.h"

namespace identity_test {
namespace {

using namespace identity;
namespace fd = platform::foundation;
namespace sec = platform::security;
namespace kc = platform::security::kc;

// Every generic-password item of the keychain file, as stored.
fd::Array keychainItems() {
  auto parsed = fd::plist::read_file(platform::os::keychain_file());
  fd::Array items;
  if (!parsed || !parsed->array()) return items;
  for (const auto& item : *parsed->array()) {
    if (item[kc::class_] == fd::Value(kc::class_generic_password)) items.push_back(item);
  }
  return items;
}

const FIRInstanceIDCheckinPreferences& record(std::string id, std::string secret) {
  static std::vector<FIRInstanceIDCheckinPreferencesRef> kept;
  auto& r = *kept.emplace_back(FIRInstanceIDCheckinPreferences::initWithDeviceID(std::move(id), std::move(secret)));
  r.updateWithCheckinPlistContents({{std::string(kFIRInstanceIDDigestStringKey), "dg"},
                                    {std::string(kFIRInstanceIDLastCheckinTimeKey), 1234}});
  return r;
}

void addItem(std::string_view service, std::string_view account, std::string_view data,
             std::string_view generic = kFIRInstanceIDCheckinKeychainGeneric) {
  fd::Dict attributes = FIRInstanceIDAuthKeychain::keychainQueryForService(service, account, generic);
  attributes.set(std::string(kc::value_data), fd::Value(fd::to_bytes(data)));
  ASSERT_EQ(sec::item_add(attributes), sec::status::ok);
}

class IdentityCheckinStoreTest : public IdentityHarnessTest {
 protected:
  void SetUp() override {
    boot();
    storage_.emplace(std::string(kFIRInstanceIDCheckinPlistName), std::string(kFIRInstanceIDSubDirectoryName));
  }
  FIRInstanceIDCheckinStore& store() { return *storage_; }
  std::optional<FIRInstanceIDCheckinStore> storage_;
};

TEST_F(IdentityCheckinStoreTest, SaveWritesTheItemAndTheFiveKeyList) {
  ASSERT_TRUE(store().saveCheckinPreferences(record("9223372036854775807", "77"), nullptr));
  const auto items = keychainItems();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0][kc::generic], fd::Value("com.dozada.iid"));
  EXPECT_EQ(items[0][kc::service], fd::Value("com.dozada.iid.checkin"));
  EXPECT_EQ(items[0][kc::account], fd::Value("org.example.intranet"));
  EXPECT_EQ(items[0][kc::accessible], fd::Value("dku"));
  EXPECT_EQ(items[0][kc::value_data], fd::Value(fd::to_bytes("9223372036854775807|77")));

  auto file = fd::plist::read_file(subDirectory() / "g-checkin.plist");
  ASSERT_TRUE(file && file->dict());
  EXPECT_EQ(file->dict()->size(), 5u);
  EXPECT_TRUE(store().hasCheckinPlist());

  auto cached = store().cachedCheckinPreferences();
  ASSERT_TRUE(cached);
  EXPECT_EQ(cached->deviceID(), "9223372036854775807");
  EXPECT_EQ(cached->secretToken(), "77");
  EXPECT_EQ(cached->digest(), "dg");
  EXPECT_EQ(cached->lastCheckinTimestampMillis(), 1234);

  // A second save replaces the item.
  ASSERT_TRUE(store().saveCheckinPreferences(record("1", "2"), nullptr));
  ASSERT_EQ(keychainItems().size(), 1u);
  EXPECT_EQ(keychainItems()[0][kc::value_data], fd::Value(fd::to_bytes("1|2")));
}

TEST_F(IdentityCheckinStoreTest, FailedListWriteLeavesNoItem) {
  platform::testing::fail_next(platform::os::FileOp::write, subDirectory(), ENOSPC);
  EXPECT_FALSE(store().saveCheckinPreferences(record("1", "2"), nullptr));
  EXPECT_TRUE(log_.has(8003));
  EXPECT_TRUE(keychainItems().empty());
  EXPECT_FALSE(store().hasCheckinPlist());
}

TEST_F(IdentityCheckinStoreTest, RecordsWithoutCredentialsOrPreCachedOnesSkipTheKeychain) {
  EXPECT_FALSE(store().saveCheckinPreferences(record("", "2"), nullptr));
  EXPECT_TRUE(log_.has(8000));
  auto preCached = FIRInstanceIDCheckinPreferences::initWithDeviceID("1", "2");
  preCached->setHasPreCachedAuthCredentials(true);
  EXPECT_TRUE(store().saveCheckinPreferences(*preCached, nullptr));
  EXPECT_TRUE(keychainItems().empty());
  EXPECT_TRUE(store().hasCheckinPlist());
}

TEST_F(IdentityCheckinStoreTest, LegacyItemIsMovedOnceAndDeleted) {
  addItem(kFIRInstanceIDLegacyCheckinKeychainService, kFIRInstanceIDLegacyCheckinKeychainAccount, "5|6");
  auto cached = store().cachedCheckinPreferences();
  ASSERT_TRUE(cached);
  EXPECT_EQ(cached->deviceID(), "5");
  EXPECT_EQ(cached->secretToken(), "6");
  EXPECT_TRUE(log_.has(8007));
  const auto items = keychainItems();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0][kc::service], fd::Value("com.dozada.iid.checkin"));
  EXPECT_EQ(items[0][kc::account], fd::Value("org.example.intranet"));
  EXPECT_FALSE(store().migrateCheckinItemIfNeeded());
}

TEST_F(IdentityCheckinStoreTest, SixEntryListCredentialsOverrideTheKeychainFiveDoNot) {
  addItem(kFIRInstanceIDCheckinKeychainService, "org.example.intranet", "1|2");
  FIRInstanceIDBackupExcludedPlist plist{std::string(kFIRInstanceIDCheckinPlistName),
                                         std::string(kFIRInstanceIDSubDirectoryName)};
  fd::Dict five{{std::string(kFIRInstanceIDDigestStringKey), "d"},
                {std::string(kFIRInstanceIDVersionInfoStringKey), "v"},
                {std::string(kFIRInstanceIDLastCheckinTimeKey), 5},
                {std::string(kFIRInstanceIDDeviceAuthIdKey), "30"},
                {std::string(kFIRInstanceIDSecretTokenKey), "40"}};
  ASSERT_TRUE(plist.writeDictionary(five, nullptr));
  {
    FIRInstanceIDCheckinStore store{std::string(kFIRInstanceIDCheckinPlistName), std::string(kFIRInstanceIDSubDirectoryName)};
    auto cached = store.cachedCheckinPreferences();
    ASSERT_TRUE(cached);
    EXPECT_EQ(cached->deviceID(), "1");
    EXPECT_EQ(cached->digest(), "d");
  }
  fd::Dict six = five;
  six.set(std::string(kFIRInstanceIDDeviceDataVersionKey), "dd");
  ASSERT_TRUE(plist.writeDictionary(six, nullptr));
  FIRInstanceIDCheckinStore store{std::string(kFIRInstanceIDCheckinPlistName), std::string(kFIRInstanceIDSubDirectoryName)};
  auto cached = store.cachedCheckinPreferences();
  ASSERT_TRUE(cached);
  EXPECT_EQ(cached->deviceID(), "30");
  EXPECT_EQ(cached->secretToken(), "40");

  // Without a keychain item the list's credentials are used; bad keychain data counts as none.
  ASSERT_TRUE(store.keychain()->removeAllItemsWithError(nullptr));
  addItem(kFIRInstanceIDCheckinKeychainService, "org.example.intranet", "garbage");
  ASSERT_TRUE(plist.writeDictionary(five, nullptr));
  FIRInstanceIDCheckinStore third{std::string(kFIRInstanceIDCheckinPlistName), std::string(kFIRInstanceIDSubDirectoryName)};
  auto fromList = third.cachedCheckinPreferences();
  ASSERT_TRUE(fromList);
  EXPECT_EQ(fromList->deviceID(), "30");
  ASSERT_TRUE(third.plist()->deleteFile(nullptr));
  EXPECT_EQ(third.cachedCheckinPreferences(), nullptr);
}

TEST_F(IdentityCheckinStoreTest, RemoveDeletesItemAndFile) {
  EXPECT_TRUE(store().removeCheckinPreferencesWithError(nullptr));
  ASSERT_TRUE(store().saveCheckinPreferences(record("1", "2"), nullptr));
  EXPECT_TRUE(store().removeCheckinPreferencesWithError(nullptr));
  EXPECT_TRUE(keychainItems().empty());
  EXPECT_FALSE(store().hasCheckinPlist());
  EXPECT_EQ(store().cachedCheckinPreferences(), nullptr);
}

TEST_F(IdentityCheckinStoreTest, KeychainLayerRules) {
  FIRInstanceIDAuthKeychain keychain("com.dozada.iid-tokens");
  FIRInstanceIDAuthKeychain other("com.dozada.iid");
  std::optional<fd::Error> error;
  // Queries leave "*" and empty values out.
  EXPECT_EQ(FIRInstanceIDAuthKeychain::keychainQueryForService("*", "acct", "*"),
            (fd::Dict{{"class", "genp"}, {"acct", "acct"}}));

  ASSERT_TRUE(keychain.setData(fd::to_bytes("a"), "e:s1", std::nullopt, "app", nullptr));
  ASSERT_TRUE(keychain.setData(fd::to_bytes("b"), "e:s2", std::nullopt, "app", nullptr));
  ASSERT_TRUE(other.setData(fd::to_bytes("c"), "other:s1", std::nullopt, "app", nullptr));

  // No "*" item is ever created, and a rejected write keeps the old item.
  for (const auto& [service, account] : std::vector<std::pair<std::string, std::string>>{
           {"*", "app"}, {"e:s1", "*"}, {"", "app"}, {"e:s1", ""}}) {
    error.reset();
    EXPECT_FALSE(keychain.setData(fd::to_bytes("x"), service, std::nullopt, account, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, -1301);
  }
  error.reset();
  EXPECT_FALSE(keychain.setData({}, "e:s1", std::nullopt, "app", &error));
  EXPECT_EQ(error->code, -1301);
  EXPECT_EQ(keychain.itemForService("e:s1", "app", nullptr)->data, fd::to_bytes("a"));
  EXPECT_EQ(keychainItems().size(), 3u);
  for (const auto& item : keychainItems()) {
    EXPECT_NE(item[kc::service], fd::Value("*"));
    EXPECT_NE(item[kc::account], fd::Value("*"));
  }

  // Look-ups: all matches of the identifier; none is an empty answer without error.
  const auto all = keychain.itemsMatchingService("*", "app", nullptr);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].service, "e:s1");
  EXPECT_EQ(all[1].data, fd::to_bytes("b"));
  EXPECT_TRUE(all[0].modificationDate.has_value());
  error.reset();
  EXPECT_TRUE(keychain.itemsMatchingService("none", "app", &error).empty());
  EXPECT_FALSE(error);
  EXPECT_TRUE(keychain.itemsMatchingService("", "app", &error).empty());
  EXPECT_EQ(error->code, -1301);

  // Removal: absent items are fine; removing all keeps other identifiers' items.
  EXPECT_TRUE(keychain.removeItemsMatchingService("none", "app", nullptr));
  EXPECT_TRUE(keychain.removeAllItemsWithError(nullptr));
  EXPECT_TRUE(keychain.itemsMatchingService("*", "*", nullptr).empty());
  EXPECT_EQ(other.itemsMatchingService("*", "*", nullptr).size(), 1u);
}

class IdentityCheckinStoreDeniedTest : public IdentityHarnessTest {};

TEST_F(IdentityCheckinStoreDeniedTest, KeychainRefusalIsReportedWithItsStatus) {
  boot({.profile = {{"keychain_entitlement", false}}});
  FIRInstanceIDCheckinStore store{std::string(kFIRInstanceIDCheckinPlistName), std::string(kFIRInstanceIDSubDirectoryName)};
  std::optional<fd::Error> error;
  EXPECT_FALSE(store.saveCheckinPreferences(record("1", "2"), &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain, "com.dozada.iid");
  EXPECT_EQ(error->code, -34018);
  EXPECT_TRUE(log_.has(8002));
  EXPECT_FALSE(store.hasCheckinPlist());
  EXPECT_EQ(store.cachedCheckinPreferences(), nullptr);
  error.reset();
  EXPECT_FALSE(store.removeCheckinPreferencesWithError(&error));
  EXPECT_EQ(error->code, -34018);
  EXPECT_TRUE(log_.has(8005));
}

}  // namespace
}  // namespace identity_test
