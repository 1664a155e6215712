// The checkin record: its two stored forms and the validity rule.
#include "core/gul_user_defaults.h"
#include "identity/checkin_preferences.h"
#include "identity/utilities.h"
#include "platform/testing/manual_clock.h"
#include "tests/identity/support.h"

namespace identity_test {
namespace {

using namespace identity;
namespace fd = platform::foundation;

TEST(IdentityCheckinPreferences, KeychainContentForms) {
  FIRInstanceIDCheckinPreferences record("123", "456");
  EXPECT_EQ(record.checkinKeychainContent(), std::optional<std::string>("123|456"));
  EXPECT_EQ(FIRInstanceIDCheckinPreferences("", "456").checkinKeychainContent(), std::nullopt);

  struct Case {
    std::string text;
    bool record;
  };
  for (const auto& c : std::vector<Case>{{"1|2", true}, {"1|", false}, {"|2", false}, {"1|2|3", false}, {"12", false},
                                         {"", false}}) {
    EXPECT_EQ(FIRInstanceIDCheckinPreferences::preferencesFromKeychainContents(c.text) != nullptr, c.record) << c.text;
  }
  auto parsed = FIRInstanceIDCheckinPreferences::preferencesFromKeychainContents("9223372036854775807|77");
  EXPECT_EQ(parsed->deviceID(), "9223372036854775807");
  EXPECT_EQ(parsed->secretToken(), "77");
  EXPECT_EQ(FIRInstanceIDCheckinPreferences::checkinKeychainContent("1|2", 2), std::nullopt);
}

TEST(IdentityCheckinPreferences, PlistContentsRoundTripAndReset) {
  FIRInstanceIDCheckinPreferences empty("1", "2");
  const fd::Dict blank = empty.checkinPlistContents();
  EXPECT_EQ(blank.size(), 5u);
  EXPECT_EQ(blank.get(kFIRInstanceIDDigestStringKey), fd::Value(""));
  EXPECT_EQ(blank.get(kFIRInstanceIDGServicesDictionaryKey), fd::Value(fd::Dict{}));

  FIRInstanceIDCheckinPreferences record("1", "2");
  record.updateWithCheckinPlistContents({{std::string(kFIRInstanceIDDigestStringKey), "dg"},
                                         {std::string(kFIRInstanceIDVersionInfoStringKey), "vi"},
                                         {std::string(kFIRInstanceIDDeviceDataVersionKey), "dd"},
                                         {std::string(kFIRInstanceIDLastCheckinTimeKey), 9007199254740993LL},
                                         {std::string(kFIRInstanceIDGServicesDictionaryKey), fd::Dict{{"k", "v"}}},
                                         {"other", "ignored"}});
  FIRInstanceIDCheckinPreferences copy("1", "2");
  copy.updateWithCheckinPlistContents(record.checkinPlistContents());
  EXPECT_EQ(copy.checkinPlistContents(), record.checkinPlistContents());
  EXPECT_EQ(copy.lastCheckinTimestampMillis(), 9007199254740993LL);
  EXPECT_EQ(copy.gServicesData(), (fd::Dict{{"k", "v"}}));

  // Wrong-typed values read as empty.
  copy.updateWithCheckinPlistContents({{std::string(kFIRInstanceIDDigestStringKey), 5},
                                       {std::string(kFIRInstanceIDGServicesDictionaryKey), "x"}});
  EXPECT_EQ(copy.digest(), "");
  EXPECT_TRUE(copy.gServicesData().empty());

  record.reset();
  EXPECT_FALSE(record.hasCheckinInfo());
  EXPECT_EQ(record.digest(), "");
  EXPECT_EQ(record.lastCheckinTimestampMillis(), 0);
  EXPECT_TRUE(record.gServicesData().empty());
}

class IdentityCheckinValidityTest : public IdentityHarnessTest {};

TEST_F(IdentityCheckinValidityTest, FirstCallStoresTheLocaleThenAgeAndLocaleDecide) {
  boot();
  auto clock = platform::testing::ManualClock::install(1600000000.0);
  auto& defaults = core::GULUserDefaults::standardUserDefaults();
  FIRInstanceIDCheckinPreferences old("1", "2");
  old.setLastCheckinTimestampMillis(0);
  // First call after install: valid whatever the age, and the locale is stored.
  EXPECT_TRUE(old.hasValidCheckinInfo());
  EXPECT_EQ(defaults.objectForKey(kFIRInstanceIDUserDefaultsKeyLocale), fd::Value("en-US"));
  EXPECT_FALSE(old.hasValidCheckinInfo());

  FIRInstanceIDCheckinPreferences fresh("1", "2");
  fresh.setLastCheckinTimestampMillis(FIRInstanceIDNowMillis() - 604799000);
  EXPECT_TRUE(fresh.hasValidCheckinInfo());
  fresh.setLastCheckinTimestampMillis(FIRInstanceIDNowMillis() - 604800000);
  EXPECT_FALSE(fresh.hasValidCheckinInfo());

  // A changed locale makes it invalid once and stores the new locale.
  fresh.setLastCheckinTimestampMillis(FIRInstanceIDNowMillis());
  defaults.setObject(fd::Value("fr-FR"), kFIRInstanceIDUserDefaultsKeyLocale);
  EXPECT_FALSE(fresh.hasValidCheckinInfo());
  EXPECT_EQ(defaults.objectForKey(kFIRInstanceIDUserDefaultsKeyLocale), fd::Value("en-US"));
  EXPECT_TRUE(fresh.hasValidCheckinInfo());

  // Without credentials nothing is valid, and no locale is stored.
  defaults.setObject(std::nullopt, kFIRInstanceIDUserDefaultsKeyLocale);
  FIRInstanceIDCheckinPreferences none("", "");
  EXPECT_FALSE(none.hasValidCheckinInfo());
}

}  // namespace
}  // namespace identity_test
