// Cached token records: freshness, keyed coding and the keychain store.
#include "core/gul_user_defaults.h"
#include "core/options.h"
#include "identity/token_info.h"
#include "identity/utilities.h"
#include "platform/testing/manual_clock.h"
#include "tests/identity/support.h"

namespace identity_test {
namespace {

using namespace identity;
namespace fd = platform::foundation;

class IdentityTokenStoreTest : public IdentityHarnessTest {
 protected:
  void SetUp() override {
    boot();
    clock_ = platform::testing::ManualClock::install(1600000000.0);
    appID_ = core::FIROptions::defaultOptions()->dozadaAppID().value();
    core::GULUserDefaults::standardUserDefaults().setObject(fd::Value("en-US"), kFIRInstanceIDUserDefaultsKeyLocale);
  }
  FIRInstanceIDTokenInfoRef info(std::string scope = "*") const {
    auto record = FIRInstanceIDTokenInfo::initWithAuthorizedEntity("1234", std::move(scope), "tok", "1.0", appID_);
    record->setCacheTime(fd::Date{1600000000.0 - 10});
    return record;
  }
  std::shared_ptr<platform::testing::ManualClock> clock_;
  std::string appID_;
};

TEST_F(IdentityTokenStoreTest, FreshnessTable) {
  struct Case {
    const char* name;
    std::function<void(FIRInstanceIDTokenInfoRef&)> change;
    bool fresh;
    long code;  // the log line that explains a stale record, 0 for none
  };
  const std::string appID = appID_;
  const std::vector<Case> cases = {
      {"unchanged", [](auto&) {}, true, 0},
      {"app version changed",
       [&](auto& r) { r = FIRInstanceIDTokenInfo::initWithAuthorizedEntity("1234", "*", "tok", "0.9", appID); }, false,
       14004},
      {"app version missing",
       [&](auto& r) { r = FIRInstanceIDTokenInfo::initWithAuthorizedEntity("1234", "*", "tok", std::nullopt, appID); },
       false, 14004},
      {"app ID missing",
       [](auto& r) { r = FIRInstanceIDTokenInfo::initWithAuthorizedEntity("1234", "*", "tok", "1.0", std::nullopt); },
       false, 22001},
      {"app ID changed",
       [](auto& r) { r = FIRInstanceIDTokenInfo::initWithAuthorizedEntity("1234", "*", "tok", "1.0", "1:9:ios:0"); },
       false, 22001},
      {"locale changed",
       [](auto&) { core::GULUserDefaults::standardUserDefaults().setObject(fd::Value("de"), kFIRInstanceIDUserDefaultsKeyLocale); },
       false, 22002},
      {"locale absent",
       [](auto&) { core::GULUserDefaults::standardUserDefaults().setObject(std::nullopt, kFIRInstanceIDUserDefaultsKeyLocale); },
       false, 22002},
      {"604799 s old", [](auto& r) { r->setCacheTime(fd::Date{1600000000.0 - 604799}); }, true, 0},
      {"604800 s old", [](auto& r) { r->setCacheTime(fd::Date{1600000000.0 - 604800}); }, false, 0},
      {"no cache time", [](auto& r) { r->setCacheTime(std::nullopt); }, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    core::GULUserDefaults::standardUserDefaults().setObject(fd::Value("en-US"), kFIRInstanceIDUserDefaultsKeyLocale);
    auto record = info();
    const auto cacheTime = record->cacheTime();
    c.change(record);
    if (!record->cacheTime() && std::string(c.name) != "no cache time") record->setCacheTime(cacheTime);
    log_.clear();
    EXPECT_EQ(record->isFresh(), c.fresh);
    if (c.code) {
      EXPECT_TRUE(log_.has(c.code));
    }
  }
  // isFresh stores no locale.
  core::GULUserDefaults::standardUserDefaults().setObject(std::nullopt, kFIRInstanceIDUserDefaultsKeyLocale);
  EXPECT_FALSE(info()->isFresh());
  EXPECT_FALSE(core::GULUserDefaults::standardUserDefaults().objectForKey(kFIRInstanceIDUserDefaultsKeyLocale));
}

TEST_F(IdentityTokenStoreTest, RecordsRoundTripThroughTheKeychain) {
  auto store = FIRInstanceIDTokenStore::defaultStore();
  auto record = info("fcm");
  record->setAPNSInfo(std::make_shared<FIRInstanceIDAPNSInfo>(fd::Bytes{0xde, 0xad}, true));
  record->setCacheTime(std::nullopt);
  clock_->advance(std::chrono::seconds(5));
  ASSERT_TRUE(store->saveTokenInfo(*record, nullptr));
  EXPECT_EQ(record->cacheTime(), fd::Date{1600000005.0});
  EXPECT_TRUE(log_.has(15007));

  auto read = store->tokenInfoWithAuthorizedEntity("1234", "fcm");
  ASSERT_TRUE(read);
  EXPECT_EQ(read->token(), "tok");
  EXPECT_EQ(read->appVersion(), std::optional<std::string>("1.0"));
  EXPECT_EQ(read->davidizeAppID(), std::optional<std::string>(appID_));
  ASSERT_TRUE(read->APNSInfo());
  EXPECT_TRUE(read->APNSInfo()->isEqualToAPNSInfo(record->APNSInfo().get()));
  EXPECT_EQ(read->cacheTime(), fd::Date{1600000005.0});
  EXPECT_TRUE(read->isFresh());

  // The item: service "<entity>:<scope>", account the bundle identifier.
  const auto item = store->keychain()->itemForService("1234:fcm", "org.example.intranet", nullptr);
  ASSERT_TRUE(item);
  EXPECT_EQ(FIRInstanceIDTokenStore::serviceKeyForAuthorizedEntity("a", "b"), "a:b");
  EXPECT_EQ(store->tokenInfoWithAuthorizedEntity("1234", "other"), nullptr);
}

TEST_F(IdentityTokenStoreTest, DecodeRules) {
  auto base = info()->encodeWithCoder();
  // Undecodable push token data: the record without it.
  auto badAPNS = base;
  badAPNS.fields.set("apns_info", fd::Value(fd::Bytes{1, 2, 3}));
  auto decoded = FIRInstanceIDTokenInfo::initWithCoder(badAPNS);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->APNSInfo(), nullptr);
  EXPECT_TRUE(log_.has(22000));

  struct Case {
    const char* key;
    fd::Value value;
  };
  for (const auto& c : std::vector<Case>{{"apns_info", "text"},
                                         {"token", 5},
                                         {"scope", fd::Bytes{1}},
                                         {"app_version", 3},
                                         {"davidize_app_id", fd::Dict{}},
                                         {"cache_time", "yesterday"}}) {
    auto broken = base;
    broken.fields.set(c.key, c.value);
    EXPECT_EQ(FIRInstanceIDTokenInfo::initWithCoder(broken), nullptr) << c.key;
  }
  auto missing = base;
  missing.fields.erase("authorized_entity");
  EXPECT_EQ(FIRInstanceIDTokenInfo::initWithCoder(missing), nullptr);
  auto optional = base;
  optional.fields.erase("app_version");
  optional.fields.erase("cache_time");
  auto partial = FIRInstanceIDTokenInfo::initWithCoder(optional);
  ASSERT_TRUE(partial);
  EXPECT_FALSE(partial->appVersion());
  EXPECT_FALSE(partial->cacheTime());
  EXPECT_EQ(FIRInstanceIDTokenInfo::unarchive(fd::to_bytes("not an archive")), nullptr);
}

TEST_F(IdentityTokenStoreTest, ScopesAreSeparateItemsAndRemovalIsPerPairOrAll) {
  auto store = FIRInstanceIDTokenStore::defaultStore();
  ASSERT_TRUE(store->saveTokenInfo(*info("a"), nullptr));
  ASSERT_TRUE(store->saveTokenInfo(*info("b"), nullptr));
  // A bad item of this app is skipped by the listing.
  ASSERT_TRUE(store->keychain()->setData(fd::to_bytes("junk"), "1234:junk", std::nullopt, "org.example.intranet", nullptr));
  EXPECT_EQ(store->cachedTokenInfos().size(), 2u);
  EXPECT_EQ(store->tokenInfoWithAuthorizedEntity("1234", "junk"), nullptr);

  ASSERT_TRUE(store->removeTokenWithAuthorizedEntity("1234", "a", nullptr));
  EXPECT_TRUE(log_.has(15009));
  EXPECT_EQ(store->tokenInfoWithAuthorizedEntity("1234", "a"), nullptr);
  ASSERT_TRUE(store->tokenInfoWithAuthorizedEntity("1234", "b"));
  EXPECT_TRUE(store->removeTokenWithAuthorizedEntity("1234", "a", nullptr));

  ASSERT_TRUE(store->removeAllTokensWithError(nullptr));
  EXPECT_TRUE(log_.has(15013));
  EXPECT_TRUE(store->cachedTokenInfos().empty());
  EXPECT_TRUE(store->keychain()->itemsMatchingService("*", "*", nullptr).empty());
}

}  // namespace
}  // namespace identity_test
