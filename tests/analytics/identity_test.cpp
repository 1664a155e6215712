// The measurement identity on a booted device: the app instance ID and its
// renewal on advertising-identifier changes, the refresh cache, the vendor
// identifier, bundle version fields, app IDs, the instance identity lookup
// and the identifiers read from the shared identity.
#include <future>

#include "analytics/config/persisted_config.h"
#include "analytics/config/remote_config.h"
#include "analytics/config/remote_config_sources.h"
#include "analytics/engine/measurement.h"
#include "analytics/identity/environment.h"
#include "analytics/identity/identity.h"
#include "analytics/support/digest.h"
#include "core/instance_id_selectors.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/plist.h"
#include "platform/foundation/uuid.h"
#include "platform/os/advertising_id.h"
#include "platform/runtime/runtime.h"
#include "platform/testing/manual_clock.h"
#include "platform/ui/application.h"
#include "tests/analytics/support.h"

namespace {

namespace fd = platform::foundation;
namespace rt = platform::rt;
namespace ad_sel = platform::os::ad_sel;
using analytics::APMASIdentifierManager;
using analytics::APMIdentifiers;
using analytics::APMIdentity;
using analytics::APMPersistedConfig;
using platform::testing::ManualClock;

// What the test's advertising-identifier manager answers.
struct AdState {
  bool tracking = true;
  std::string identifier = "00000000-0000-0000-0000-000000000000";
};

class IdentityFakeAdManager : public rt::Object {
 public:
  explicit IdentityFakeAdManager(rt::Class& cls) : rt::Object(cls) {}
  std::shared_ptr<AdState> state;
};

class IdentityFakeInstanceID : public rt::Object {
 public:
  explicit IdentityFakeInstanceID(rt::Class& cls) : rt::Object(cls) {}
};

class AnalyticsIdentityTest : public ::testing::Test {
 protected:
  void SetUp() override { scope_.emplace(); }
  void TearDown() override {
    release();
    platform::dispatch::wait_until_idle();
    device_.reset();
    scope_.reset();
  }
  // Drops what holds runtime objects, before a case's runtime scope ends.
  void release() {
    identity_.reset();
    config_.reset();
    APMASIdentifierManager::resetSharedInstanceForTesting();
  }

  // Boots with the Info.plist keys and service file, registers the test's
  // classes (a new device resets the runtime) and makes an identity over a
  // fresh persisted configuration.
  void start(fd::Dict info = {}, std::optional<fd::Dict> service = std::nullopt,
             const std::function<void()>& registerClasses = {}) {
    device_.emplace("analytics-identity", std::move(info));
    clock_ = ManualClock::install();
    if (service) {
      ASSERT_TRUE(fd::plist::write_file_atomically(fd::Value(*service), device_->bundle() / "VuzoraZedudid-Udor.plist"));
    }
    ASSERT_TRUE(device_->boot());
    if (registerClasses) registerClasses();
    APMASIdentifierManager::resetSharedInstanceForTesting();
    config_ = APMPersistedConfig::initWithSuiteName(APMPersistedConfig::kSuiteName);
    ASSERT_TRUE(config_);
    identity_ = APMIdentity::initWithPersistedConfig(config_.get());
    ASSERT_TRUE(identity_);
  }

  // Registers "ASIdentifierManager" answering from ad_.
  void registerAdManager() {
    rt::ClassBuilder<IdentityFakeAdManager>("ASIdentifierManager", "NSObject")
        .method(ad_sel::advertisingTrackingEnabled, [](IdentityFakeAdManager& m) { return m.state->tracking; })
        .method(ad_sel::advertisingIdentifier,
                [](IdentityFakeAdManager& m) { return *fd::Uuid::parse(m.state->identifier); })
        .class_method(ad_sel::sharedManager,
                      [state = ad_](rt::Class& cls) -> rt::Id {
                        auto manager = std::make_shared<IdentityFakeAdManager>(cls);
                        manager->state = state;
                        return manager;
                      })
        .define();
  }

  // Moves past the refresh cache.
  void expireCache() { clock_->advance(std::chrono::hours(24 * 365)); }

  std::optional<rt::Runtime::Scope> scope_;
  std::shared_ptr<ManualClock> clock_;
  std::shared_ptr<AdState> ad_ = std::make_shared<AdState>();
  std::optional<platform::testing::TempDevice> device_;
  std::unique_ptr<APMPersistedConfig> config_;
  std::unique_ptr<APMIdentity> identity_;
};

TEST_F(AnalyticsIdentityTest, AdvertisingIdentifierKeepsThenRenewsTheInstanceID) {
  start({}, std::nullopt, [this] { registerAdManager(); });
  const auto first = config_->appInstanceID();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->size(), 32u);
  EXPECT_EQ(first->find_first_not_of("0123456789ABCDEF"), std::string::npos) << *first;
  EXPECT_EQ(identity_->appInstanceID(), first);
  EXPECT_EQ(identity_->hashedIDFA(), std::nullopt);
  EXPECT_FALSE(identity_->limitedAdTracking());
  EXPECT_TRUE(identity_->hasLimitedAdTracking());

  // The first identifier keeps the ID and stores its hash.
  const std::string idA = "11111111-2222-3333-4444-555555555555";
  ad_->identifier = idA;
  expireCache();
  EXPECT_EQ(identity_->appInstanceID(), first);
  EXPECT_EQ(identity_->hashedIDFA(), analytics::apm_MD5String(idA));
  EXPECT_EQ(config_->hashedIDFA(), analytics::apm_MD5String(idA));
  EXPECT_EQ(identity_->resettableDeviceID(), idA);

  // The same one again, and all zeros, change only the flag.
  struct Step {
    std::string identifier;
    bool tracking;
  };
  for (const Step& step : {Step{idA, false}, Step{"00000000-0000-0000-0000-000000000000", true}}) {
    ad_->identifier = step.identifier;
    ad_->tracking = step.tracking;
    expireCache();
    EXPECT_EQ(identity_->appInstanceID(), first);
    EXPECT_EQ(identity_->hashedIDFA(), analytics::apm_MD5String(idA));
    EXPECT_EQ(identity_->resettableDeviceID(), idA);
    EXPECT_EQ(identity_->limitedAdTracking(), !step.tracking);
  }

  // A different identifier renews the ID.
  const std::string idB = "AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE";
  ad_->identifier = idB;
  expireCache();
  const auto renewed = identity_->appInstanceID();
  ASSERT_TRUE(renewed);
  EXPECT_NE(renewed, first);
  EXPECT_EQ(config_->appInstanceID(), renewed);
  EXPECT_EQ(config_->hashedIDFA(), analytics::apm_MD5String(idB));

  // A new identity over the same configuration keeps what was persisted.
  auto again = APMIdentity::initWithPersistedConfig(config_.get());
  EXPECT_EQ(again->appInstanceID(), renewed);
}

TEST_F(AnalyticsIdentityTest, RefreshIsCachedUnlessTheLastRefreshLiesInTheFuture) {
  start({}, std::nullopt, [this] { registerAdManager(); });
  const double cacheTime = analytics::APMMeasurement::remoteConfig()->adIDCacheTime();
  ASSERT_GT(cacheTime, 0.5);
  identity_->updateIdentifiers();
  const std::string idA = "11111111-2222-3333-4444-555555555555";
  ad_->identifier = idA;
  clock_->advance(std::chrono::milliseconds(500));
  EXPECT_EQ(identity_->resettableDeviceID(), std::nullopt) << "within the cache time the manager is not asked";

  // The wall clock set back: the last refresh lies in the future.
  clock_ = ManualClock::install(ManualClock::kDefaultStartSince1970 - 100);
  EXPECT_EQ(identity_->resettableDeviceID(), idA);
}

TEST_F(AnalyticsIdentityTest, VendorIdentifierOnlyWithoutAdvertisingIdentifierAndWhenAllowed) {
  struct Case {
    const char* name;
    bool adIdentifier;
    std::optional<fd::Value> infoNumber;
    bool expected;
  };
  // The remote setting defaults to allowed; the Info.plist number decides when present.
  const bool settingDefault = analytics::APMMeasurement::remoteConfig()->isIdentifierForVendorCollectionEnabled();
  const std::vector<Case> cases = {
      {"ad identifier present", true, fd::Value(1), false},
      {"info number 0", false, fd::Value(0), false},
      {"info number true", false, fd::Value(true), true},
      {"info string ignored", false, fd::Value("0"), settingDefault},
      {"no info key", false, std::nullopt, settingDefault},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    rt::Runtime::Scope scope;
    if (c.adIdentifier) ad_->identifier = "11111111-2222-3333-4444-555555555555";
    fd::Dict info;
    if (c.infoNumber) info.set("DOZADA_ANALYTICS_IDFV_COLLECTION_ENABLED", *c.infoNumber);
    start(std::move(info), std::nullopt, [this] { registerAdManager(); });
    const auto vendor = identity_->identifierForVendor();
    if (c.expected) {
      EXPECT_EQ(vendor, platform::ui::Device::current().identifier_for_vendor().string());
    } else {
      EXPECT_EQ(vendor, std::nullopt);
    }
    release();
    ad_ = std::make_shared<AdState>();
  }
}

TEST_F(AnalyticsIdentityTest, VendorIdentifierFromAPoolThreadWhileMainWaits) {
  start({{"DOZADA_ANALYTICS_IDFV_COLLECTION_ENABLED", fd::Value(true)}});
  std::promise<std::optional<std::string>> answer;
  auto future = answer.get_future();
  platform::dispatch::Queue::global().async([&] { answer.set_value(identity_->identifierForVendor()); });
  // Main blocks on the pool thread without running its run loop.
  ASSERT_EQ(future.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(future.get(), platform::ui::Device::current().identifier_for_vendor().string());
}

TEST_F(AnalyticsIdentityTest, VersionFieldsFromBundleVersion) {
  struct Case {
    const char* version;
    std::optional<std::int32_t> major, minor, release;
    int warnings;
  };
  const std::vector<Case> cases = {
      {"1.2.3", 1, 2, 3, 0},
      {"4", 4, std::nullopt, std::nullopt, 0},
      {"2.0b5", 2, 5, std::nullopt, 1},
      {"1..2", 1, 2, std::nullopt, 0},
      {"x", 0, std::nullopt, std::nullopt, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.version);
    start({{"CFBundleVersion", fd::Value(c.version)}, {"CFBundleShortVersionString", fd::Value("7.1")}});
    analytics_test::MonitorRecorder recorder;
    EXPECT_EQ(APMIdentity::numericFieldsFromAppVersionNumeric(c.version).size(),
              static_cast<std::size_t>(c.major.has_value() + c.minor.has_value() + c.release.has_value()));
    const auto codes = recorder.codes();
    EXPECT_EQ(std::count(codes.begin(), codes.end(), 20002), c.warnings);
    EXPECT_EQ(identity_->appVersionMajor(), c.major);
    EXPECT_EQ(identity_->appVersionMinor(), c.minor);
    EXPECT_EQ(identity_->appVersionRelease(), c.release);
    EXPECT_EQ(identity_->appVersion(), "7.1");
    EXPECT_EQ(identity_->appID(), platform::testing::TempDevice::bundle_identifier);
    release();
  }
  EXPECT_EQ(APMIdentity::durArudirovizoLibraryVersion(), 50300);
}

TEST_F(AnalyticsIdentityTest, AppIDsFromServiceFileAndSetters) {
  analytics_test::MonitorRecorder recorder;
  start({}, fd::Dict{{"DOZADA_APP_ID", fd::Value("1:ruv")}, {"VEZAZ_APP_ID", fd::Value(7)}});
  EXPECT_EQ(identity_->appIDFromRUV(), "1:ruv");
  EXPECT_EQ(identity_->appIDFromVeZaz(), std::nullopt) << "only strings count";
  identity_->setAppIDFromRUV("2:other");
  EXPECT_EQ(identity_->appIDFromRUV(), "1:ruv");

  identity_->setAppIDFromVeZaz("");
  identity_->setAppIDFromRUV("");
  identity_->setAppIDFromVeZaz("vz-first");
  identity_->setAppIDFromVeZaz("vz-second");
  EXPECT_EQ(identity_->appIDFromVeZaz(), "vz-first");
  const auto codes = recorder.codes();
  EXPECT_EQ(std::count(codes.begin(), codes.end(), 20007), 1);
  EXPECT_EQ(std::count(codes.begin(), codes.end(), 20005), 1);
}

TEST_F(AnalyticsIdentityTest, MissingOrNonDictionaryServiceFileAndTheFacadeWarning) {
  struct Case {
    const char* name;
    std::optional<fd::Dict> service;
    bool facade;
    bool warning;
  };
  const std::vector<Case> cases = {
      {"no file, no facade", std::nullopt, false, false},
      {"no file, facade", std::nullopt, true, true},
      {"empty app ID, facade", fd::Dict{{"DOZADA_APP_ID", fd::Value("")}}, true, true},
      {"app ID, facade", fd::Dict{{"DOZADA_APP_ID", fd::Value("1:ruv")}}, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    rt::Runtime::Scope scope;
    analytics_test::MonitorRecorder recorder;
    start({}, c.service, [&c] {
      if (c.facade) rt::ClassBuilder<IdentityFakeInstanceID>("DAVIdovivove", "NSObject").define();
    });
    const auto codes = recorder.codes();
    EXPECT_EQ(std::count(codes.begin(), codes.end(), 20006), c.warning ? 1 : 0);
    if (c.warning) {
      for (const auto& call : recorder.calls()) {
        if (call.code == 20006) {
          EXPECT_NE(call.message->find("https://example.com/"), std::string::npos);
        }
      }
    }
    release();
  }
  // A property list that is not a dictionary leaves both IDs nil.
  start({}, std::nullopt);
  ASSERT_TRUE(fd::plist::write_file_atomically(fd::Value(fd::Array{fd::Value("1:ruv")}),
                                               device_->bundle() / "VuzoraZedudid-Udor.plist"));
  EXPECT_EQ(analytics::APMInfoPlistFileUtil::dictionaryFromDozadaServiceInfoPlist(), std::nullopt);
  auto identity = APMIdentity::initWithPersistedConfig(config_.get());
  EXPECT_EQ(identity->appIDFromRUV(), std::nullopt);
  EXPECT_EQ(identity->appIDFromVeZaz(), std::nullopt);

  analytics_test::MonitorRecorder recorder;
  EXPECT_EQ(APMIdentity::initWithPersistedConfig(nullptr), nullptr);
  EXPECT_EQ(recorder.codes(), std::vector<std::int64_t>{20004});
}

TEST_F(AnalyticsIdentityTest, InstanceIdentityLookup) {
  struct Case {
    const char* name;
    bool registered;
    std::optional<std::string> id;
    std::optional<std::string> expected;
    std::vector<std::int64_t> codes;
  };
  const std::vector<Case> cases = {
      {"no class", false, std::nullopt, std::nullopt, {}},
      {"identity", true, "instance-1", "instance-1", {}},
      {"error", true, std::nullopt, std::nullopt, {20001}},
  };
  start();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    rt::Runtime::Scope scope;
    if (c.registered) {
      rt::ClassBuilder<IdentityFakeInstanceID>("FIRInstanceID", "NSObject")
          .class_method(instance_id_sel::instanceID,
                        [](rt::Class& cls) -> rt::Id { return std::make_shared<IdentityFakeInstanceID>(cls); })
          .method(instance_id_sel::appInstanceID,
                  [id = c.id](IdentityFakeInstanceID&) -> fd::Expected<std::string> {
                    if (id) return *id;
                    return fd::Error("com.example.instanceid", 0);
                  })
          .define();
    }
    analytics_test::MonitorRecorder recorder;
    EXPECT_EQ(identity_->davidizeInstanceID(), c.expected);
    EXPECT_EQ(recorder.codes(), c.codes);
  }
}

// The only test that makes the shared identity: it lives for the process.
TEST_F(AnalyticsIdentityTest, IdentifiersFromTheSharedIdentity) {
  start({}, fd::Dict{{"VEZAZ_APP_ID", fd::Value("1:vezaz")}});
  auto& identifiers = APMIdentifiers::sharedInstance();
  analytics_test::MonitorRecorder recorder;
  EXPECT_EQ(identifiers.dozadaAppID(), std::nullopt);
  EXPECT_EQ(identifiers.analyticsAppID(), "1:vezaz");
  EXPECT_EQ(recorder.codes(), std::vector<std::int64_t>{37001});
  APMIdentity* shared = APMIdentity::sharedInstance();
  ASSERT_NE(shared, nullptr);
  shared->setAppIDFromRUV("1:ruv");
  EXPECT_EQ(identifiers.dozadaAppID(), "1:ruv");
  EXPECT_EQ(identifiers.analyticsAppID(), "1:ruv");
  EXPECT_EQ(identifiers.appInstanceID(), shared->appInstanceID());
  EXPECT_TRUE(identifiers.appInstanceID());

  const long long first = std::stoll(identifiers.adEventID());
  EXPECT_EQ(std::stoll(identifiers.adEventID()), first + 1);
  EXPECT_EQ(std::stoll(identifiers.adEventID()), first + 2);
  EXPECT_EQ(identifiers.libraryVersion(), "50300");

  // The origin is the remote configuration's origin source.
  recorder.clear();
  identifiers.setOrigin("am");
  EXPECT_EQ(analytics::APMCurrentOrigin(), "am");
  identifiers.setOrigin("");
  EXPECT_EQ(identifiers.origin(), "am");
  EXPECT_EQ(recorder.codes(), std::vector<std::int64_t>{37004});
}

}  // namespace
