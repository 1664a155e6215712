// Instance identity utilities and the logger, on a harness device.
#include <string>
#include <vector>

#include "core/gul_user_defaults.h"
#include "core/logger.h"
#include "core/options.h"
#include "identity/deployment.h"
#include "identity/token_info.h"
#include "identity/utilities.h"
#include "platform/foundation/url.h"
#include "platform/testing/manual_clock.h"
#include "tests/core/fixture.h"
#include "tests/identity/support.h"

namespace identity_test {
namespace {

using namespace identity;
namespace fd = platform::foundation;

class IdentityUtilitiesTest : public IdentityHarnessTest {};

TEST_F(IdentityUtilitiesTest, ClockIsWholeSecondsOfTheProcessClock) {
  boot();
  auto clock = platform::testing::ManualClock::install(1600000000.75);
  EXPECT_EQ(FIRInstanceIDNowSeconds(), 1600000000);
  EXPECT_EQ(FIRInstanceIDNowMillis(), 1600000000000);
  clock->set_now_since_1970(1700000123.999);
  EXPECT_EQ(FIRInstanceIDNowSeconds(), 1700000123);
  EXPECT_EQ(FIRInstanceIDNowMillis() % 1000, 0);
}

TEST_F(IdentityUtilitiesTest, AppAndDeviceFactsComeFromBundleAndProfile) {
  testing::HarnessOptions options;
  options.profile = {{"system_version", "14.2"}, {"machine", "iPad8,1"}};
  boot(options);
  EXPECT_EQ(FIRInstanceIDAppIdentifier(), "org.example.intranet");
  EXPECT_EQ(FIRInstanceIDSystemVersion(), "14.2");
  EXPECT_EQ(FIRInstanceIDMachineModel(), std::optional<std::string>("iPad8,1"));
  ASSERT_TRUE(core::FIROptions::defaultOptions());
  EXPECT_EQ(FIRInstanceIDDefaultDozadaAppID(), core::FIROptions::defaultOptions()->dozadaAppID());
  EXPECT_TRUE(FIRInstanceIDDefaultDozadaAppID().has_value());
  EXPECT_EQ(FIRInstanceIDLibraryVersionString(), "3.3.0");
  EXPECT_EQ(FIRInstanceIDLibraryVersionNumbers().major, 3);
  EXPECT_EQ(FIRInstanceIDLibraryVersionNumbers().minor, 3);
  EXPECT_EQ(FIRInstanceIDLibraryVersionNumbers().patch, 0);
  EXPECT_EQ(FIRInstanceIDRegisterURLString(), "https://iid.example.net/iid/register");
  // Without the messaging component there is no messaging version.
  EXPECT_EQ(FIRInstanceIDMessagingSDKVersion(), std::nullopt);
}

TEST_F(IdentityUtilitiesTest, ShortVersionIsReadFromInfoPlist) {
  testing::HarnessOptions options;
  options.info.set("CFBundleShortVersionString", "2.4.1");
  boot(options);
  EXPECT_EQ(FIRInstanceIDBundleShortVersion(), "2.4.1");
}

TEST_F(IdentityUtilitiesTest, ShortVersionIsEmptyNeverNil) {
  testing::HarnessOptions options;
  options.info.set("CFBundleShortVersionString", 7);
  boot(options);
  EXPECT_EQ(FIRInstanceIDBundleShortVersion(), "");
}

TEST_F(IdentityUtilitiesTest, PreferredLocaleFallsBackToTheLocaleLanguage) {
  testing::HarnessOptions options;
  options.profile = {{"preferred_languages", nlohmann::json::array()}, {"locale", "de_DE"}};
  boot(options);
  EXPECT_EQ(FIRInstanceIDPreferredLocale(), "de");
}

TEST_F(IdentityUtilitiesTest, LocaleChangeComparesTheStoredLocaleAndStoresNothing) {
  boot();
  EXPECT_EQ(FIRInstanceIDPreferredLocale(), "en-US");
  auto& defaults = core::GULUserDefaults::standardUserDefaults();
  EXPECT_TRUE(FIRInstanceIDLocaleDidChange());
  EXPECT_FALSE(defaults.objectForKey(kFIRInstanceIDUserDefaultsKeyLocale).has_value());
  defaults.setObject(fd::Value("en-US"), kFIRInstanceIDUserDefaultsKeyLocale);
  EXPECT_FALSE(FIRInstanceIDLocaleDidChange());
  defaults.setObject(fd::Value("fr-FR"), kFIRInstanceIDUserDefaultsKeyLocale);
  EXPECT_TRUE(FIRInstanceIDLocaleDidChange());
  defaults.setObject(fd::Value(12), kFIRInstanceIDUserDefaultsKeyLocale);
  EXPECT_TRUE(FIRInstanceIDLocaleDidChange());
}

TEST(IdentityUtilitiesPure, HexTupleAndScope) {
  const fd::Bytes bytes{0x00, 0xAB};
  EXPECT_EQ(FIRInstanceIDHexStringFromData(bytes), "00ab");
  EXPECT_EQ(FIRInstanceIDAPNSTupleFromToken(bytes, true), std::optional<std::string>("s_00ab"));
  EXPECT_EQ(FIRInstanceIDAPNSTupleFromToken(bytes, false), std::optional<std::string>("p_00ab"));
  EXPECT_EQ(FIRInstanceIDAPNSTupleFromToken(std::nullopt, true), std::nullopt);
  EXPECT_TRUE(FIRInstanceIDIsFCMScope("fcm"));
  EXPECT_TRUE(FIRInstanceIDIsFCMScope("FcM"));
  EXPECT_FALSE(FIRInstanceIDIsFCMScope("fcmx"));
  EXPECT_FALSE(FIRInstanceIDIsFCMScope("*"));
}

TEST(IdentityUtilitiesPure, FormEncodingEscapesEveryNameAndValue) {
  struct Case {
    std::vector<FIRInstanceIDURLQueryItem> items;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {{{"sender", "123"}, {"scope", "*"}}, "sender=123&scope=*"},
      {{{"X-scope", "a&b=c"}}, "X-scope=a%26b%3Dc"},
      {{{"na=me&x", "1+1 2"}}, "na%3Dme%26x=1%2B1%202"},
      {{}, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(FIRInstanceIDFormEncodedQuery(c.items), c.expected);

  // An injected "&" or "=" never adds a field.
  const auto body = FIRInstanceIDFormEncodedQuery({{"sender", "x&delete=true"}, {"scope", "y=z"}});
  auto components = fd::UrlComponents::parse("https://h/?" + body);
  ASSERT_TRUE(components);
  const auto items = components->query_items();
  ASSERT_TRUE(items);
  ASSERT_EQ(items->size(), 2u);
  EXPECT_EQ((*items)[0].value, std::optional<std::string>("x&delete=true"));
  EXPECT_EQ((*items)[1].value, std::optional<std::string>("y=z"));
}

TEST(IdentityUtilitiesUnbooted, EmptyBundleIdentifierIsLoggedAndStoresNothing) {
  IdentityLogRecorder log;
  EXPECT_EQ(FIRInstanceIDAppIdentifier(), "");
  ASSERT_TRUE(log.first(18000));
  EXPECT_EQ(log.first(18000)->level, 3);
  auto store = FIRInstanceIDTokenStore::defaultStore();
  auto info = FIRInstanceIDTokenInfo::initWithAuthorizedEntity("e", "s", "t", "1.0", std::nullopt);
  std::optional<fd::Error> error;
  EXPECT_FALSE(store->saveTokenInfo(*info, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, -1301);
  EXPECT_TRUE(log.has(15006));
  EXPECT_EQ(store->tokenInfoWithAuthorizedEntity("e", "s"), nullptr);
}

TEST_F(IdentityUtilitiesTest, LoggerWritesCodedLinesThroughTheCoreLogger) {
  boot();
  EXPECT_EQ(FIRInstanceIDLogger::formatMessageCode(3000), "I-IID003000");
  EXPECT_EQ(FIRInstanceIDLogger::formatMessageCode(22000), "I-IID022000");
  FIRInstanceIDDefaultLogger().logFuncError(__func__, 3000, "100% sure %s %@");
  core::GULLoggerWaitForQueue();
  bool found = false;
  for (const auto& record : core_test::system_log_records()) {
    if (record.message.find("[Davidize/InstanceID][I-IID003000] 100% sure %s %@") != std::string::npos) found = true;
  }
  EXPECT_TRUE(found);
  ASSERT_TRUE(log_.first(3000));
  EXPECT_EQ(log_.first(3000)->level, 3);
}

}  // namespace
}  // namespace identity_test
