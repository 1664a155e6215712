// The key pair store over the real keychain and property list.
#include <cerrno>
#include <thread>

#include "identity/key_pair_store.h"
#include "identity/utilities.h"
#include "platform/foundation/plist.h"
#include "platform/os/system.h"
#include "platform/security/keychain.h"
#include "platform/testing/file_faults.h"
#include "platform/testing/manual_clock.h"
#include "tests/identity/support.h"

namespace identity_test {
namespace {

using namespace identity;
namespace fd = platform::foundation;
namespace kc = platform::security::kc;

class RecordingKeyPairDelegate : public FIRInstanceIDKeyPairStoreDelegate {
 public:
  void keyPairStoreDidDeleteKeyPair(FIRInstanceIDKeyPairStore&) override { ++deletions; }
  std::atomic<int> deletions{0};
};

fd::Array keyItems() {
  auto parsed = fd::plist::read_file(platform::os::keychain_file());
  fd::Array items;
  if (!parsed || !parsed->array()) return items;
  for (const auto& item : *parsed->array()) {
    if (item[kc::class_] == fd::Value(kc::class_key)) items.push_back(item);
  }
  return items;
}

class IdentityKeyPairStoreTest : public IdentityHarnessTest {
 protected:
  std::shared_ptr<FIRInstanceIDKeyPairStore> makeStore() {
    auto store = std::make_shared<FIRInstanceIDKeyPairStore>();
    store->setDelegate(delegate_);
    return store;
  }
  std::shared_ptr<RecordingKeyPairDelegate> delegate_ = std::make_shared<RecordingKeyPairDelegate>();
};

TEST_F(IdentityKeyPairStoreTest, TagsAndNames) {
  boot();
  EXPECT_EQ(FIRInstanceIDKeyPairStore::publicTagWithSubtype("x"), "com.dozada.iid.keypair.public-org.example.intranet");
  EXPECT_EQ(FIRInstanceIDKeyPairStore::privateTagWithSubtype(""), "com.dozada.iid.keypair.private-org.example.intranet");
  EXPECT_EQ(FIRInstanceIDKeyPairStore::legacyPublicTagWithSubtype(""), "com.dozada.iid-|P|");
  EXPECT_EQ(FIRInstanceIDKeyPairStore::legacyPrivateTagWithSubtype("sub"), "com.dozada.iid-sub|K|");
  EXPECT_EQ(FIRInstanceIDKeyPairStore::creationTimeKeyWithSubtype(""), "|S|cre");
  EXPECT_EQ(FIRInstanceIDKeyPairStore::keyStoreFileName(), "com.dozada.iid-keypair");
}

TEST_F(IdentityKeyPairStoreTest, FirstLoadGeneratesOnePairAndRecordsItsCreationTime) {
  boot();
  auto clock = platform::testing::ManualClock::install(1600000000.5);
  auto store = makeStore();
  EXPECT_FALSE(store->hasCachedKeyPairs());
  std::optional<fd::Error> error;
  auto pair = store->loadKeyPairWithError(&error);
  ASSERT_TRUE(pair);
  EXPECT_FALSE(error);
  EXPECT_EQ(store->loadKeyPairWithError(nullptr), pair);

  auto file = fd::plist::read_file(subDirectory() / "com.dozada.iid-keypair.plist");
  ASSERT_TRUE(file && file->dict());
  EXPECT_EQ(*file->dict(), (fd::Dict{{"|S|cre", 1600000000LL}}));

  const auto items = keyItems();
  ASSERT_EQ(items.size(), 2u);
  for (const auto& item : items) {
    const bool isPrivate = item[kc::key_class] == fd::Value("1");
    EXPECT_EQ(item[kc::application_tag],
              fd::Value(fd::to_bytes(isPrivate ? FIRInstanceIDKeyPairStore::privateTagWithSubtype("")
                                               : FIRInstanceIDKeyPairStore::publicTagWithSubtype(""))));
    EXPECT_EQ(item[kc::accessible], fd::Value("dku"));
    EXPECT_EQ(item[kc::is_permanent], fd::Value(true));
  }
  EXPECT_TRUE(store->hasCachedKeyPairs());

  const auto identity = store->appIdentityWithError(&error);
  ASSERT_TRUE(identity);
  EXPECT_FALSE(error);
  EXPECT_EQ(identity, FIRInstanceIDKeyPair::appIdentityWithKeyPair(pair.get()));

  // A second store of the same installation reads the same pair.
  auto again = makeStore();
  again->invalidateKeyPairsIfNeeded();
  EXPECT_EQ(again->appIdentityWithError(nullptr), identity);
  // Only the first load's clean-up of the (empty) unrecorded pair reached the delegate.
  EXPECT_EQ(delegate_->deletions, 1);
}

TEST_F(IdentityKeyPairStoreTest, ReinstallDeletesTheOldPairAndTellsTheDelegate) {
  boot();
  const auto first = makeStore()->appIdentityWithError(nullptr);
  ASSERT_TRUE(first);
  // A reinstall: Application Support goes, the keychain stays.
  std::filesystem::remove_all(applicationSupport());
  createSubDirectory();
  const int before = delegate_->deletions;
  auto store = makeStore();
  store->invalidateKeyPairsIfNeeded();
  EXPECT_EQ(delegate_->deletions, before + 1);
  EXPECT_TRUE(keyItems().empty());
  const auto second = store->appIdentityWithError(nullptr);
  ASSERT_TRUE(second);
  EXPECT_NE(first, second);
}

TEST_F(IdentityKeyPairStoreTest, PairWithoutCreationTimeIsReplaced) {
  boot();
  ASSERT_TRUE(FIRInstanceIDKeyPair::generateRSA2048KeyPairWithPrivateTag(
      FIRInstanceIDKeyPairStore::privateTagWithSubtype(""), FIRInstanceIDKeyPairStore::publicTagWithSubtype(""),
      nullptr));
  const auto stale = FIRInstanceIDKeyPair::keyDataWithTag(FIRInstanceIDKeyPairStore::publicTagWithSubtype(""));
  auto store = makeStore();
  ASSERT_TRUE(store->loadKeyPairWithError(nullptr));
  EXPECT_EQ(delegate_->deletions, 1);
  EXPECT_NE(FIRInstanceIDKeyPair::keyDataWithTag(FIRInstanceIDKeyPairStore::publicTagWithSubtype("")), stale);
  EXPECT_EQ(keyItems().size(), 2u);
}

TEST_F(IdentityKeyPairStoreTest, LegacyPairIsCopiedOnce) {
  boot();
  auto legacy = FIRInstanceIDKeyPair::generateRSA2048KeyPairWithPrivateTag(
      FIRInstanceIDKeyPairStore::legacyPrivateTagWithSubtype(""), FIRInstanceIDKeyPairStore::legacyPublicTagWithSubtype(""),
      nullptr);
  ASSERT_TRUE(legacy);
  FIRInstanceIDBackupExcludedPlist plist("com.dozada.iid-keypair", std::string(kFIRInstanceIDSubDirectoryName));
  ASSERT_TRUE(plist.writeDictionary({{"|S|cre", 1500000000LL}}, nullptr));

  auto store = makeStore();
  store->invalidateKeyPairsIfNeeded();
  EXPECT_EQ(store->appIdentityWithError(nullptr), FIRInstanceIDKeyPair::appIdentityWithKeyPair(legacy.get()));
  EXPECT_EQ(log_.count(9005), 1u);
  EXPECT_TRUE(FIRInstanceIDKeyPair::hasMigratedKeyPairWithLegacyPublicKeyTag(
      FIRInstanceIDKeyPairStore::legacyPublicTagWithSubtype(""), FIRInstanceIDKeyPairStore::publicTagWithSubtype("")));
  // The legacy items stay; a second run copies nothing.
  EXPECT_EQ(keyItems().size(), 4u);
  auto again = makeStore();
  EXPECT_EQ(again->appIdentityWithError(nullptr), FIRInstanceIDKeyPair::appIdentityWithKeyPair(legacy.get()));
  EXPECT_EQ(log_.count(9005), 1u);
  EXPECT_EQ(delegate_->deletions, 0);
  EXPECT_EQ(keyItems().size(), 4u);
}

TEST_F(IdentityKeyPairStoreTest, FailedCreationTimeWriteDeletesTheNewPair) {
  boot();
  auto store = makeStore();
  platform::testing::fail_next(platform::os::FileOp::write, subDirectory(), ENOSPC);
  std::optional<fd::Error> error;
  EXPECT_EQ(store->loadKeyPairWithError(&error), nullptr);
  EXPECT_TRUE(log_.has(10004));
  EXPECT_TRUE(keyItems().empty());
  EXPECT_EQ(store->appIdentityWithError(&error), store->appIdentityWithError(nullptr));
  EXPECT_EQ(keyItems().size(), 2u);
}

TEST_F(IdentityKeyPairStoreTest, ConcurrentLoadsMakeOnePair) {
  boot();
  auto store = makeStore();
  std::vector<std::shared_ptr<FIRInstanceIDKeyPair>> pairs(8);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    threads.emplace_back([&, i] { pairs[i] = store->loadKeyPairWithError(nullptr); });
  }
  for (auto& t : threads) t.join();
  for (const auto& pair : pairs) {
    ASSERT_TRUE(pair);
    EXPECT_EQ(pair, pairs[0]);
  }
  EXPECT_EQ(keyItems().size(), 2u);
  EXPECT_EQ(log_.count(10003), 0u);
}

TEST_F(IdentityKeyPairStoreTest, DeletingWhileLoadingNeverHandsOutADeletedAnswer) {
  boot();
  auto store = makeStore();
  std::atomic<bool> stop{false};
  std::thread deleter([&] {
    while (!stop) store->deleteSavedKeyPairWithSubtype("", nullptr);
  });
  for (int i = 0; i < 5; ++i) {
    auto pair = store->loadKeyPairWithError(nullptr);
    if (pair) {
      EXPECT_TRUE(pair->isValid());
    }
  }
  stop = true;
  deleter.join();
}

TEST_F(IdentityKeyPairStoreTest, CachedPairsCheckRemovesTheListWhenThereIsNoPair) {
  boot();
  FIRInstanceIDBackupExcludedPlist plist("com.dozada.iid-keypair", std::string(kFIRInstanceIDSubDirectoryName));
  ASSERT_TRUE(plist.writeDictionary({{"|S|cre", 1LL}}, nullptr));
  auto store = makeStore();
  EXPECT_FALSE(store->hasCachedKeyPairs());
  EXPECT_TRUE(log_.has(10000));
  EXPECT_FALSE(store->plist()->doesFileExist());
}

class IdentityKeyPairStoreDeniedTest : public IdentityHarnessTest {};

TEST_F(IdentityKeyPairStoreDeniedTest, MissingEntitlementStopsLoadsFromTheThird) {
  boot({.profile = {{"keychain_entitlement", false}}});
  FIRInstanceIDKeyPairStore store;
  std::optional<fd::Error> error;
  EXPECT_EQ(store.loadKeyPairWithError(&error), nullptr);
  EXPECT_EQ(error->code, -34018);
  EXPECT_EQ(store.appIdentityWithError(&error), std::nullopt);
  EXPECT_TRUE(log_.has(10009));
  EXPECT_FALSE(log_.has(10002));
  const auto generations = log_.count(10003);
  EXPECT_EQ(generations, 2u);
  EXPECT_EQ(store.loadKeyPairWithError(&error), nullptr);
  EXPECT_TRUE(log_.has(10002));
  EXPECT_EQ(error->domain, "com.dozada.iid");
  EXPECT_EQ(error->code, -34018);
  EXPECT_EQ(store.appIdentityWithError(nullptr), std::nullopt);
  EXPECT_EQ(log_.count(10002), 2u);
  EXPECT_EQ(log_.count(10003), generations);
}

}  // namespace
}  // namespace identity_test
