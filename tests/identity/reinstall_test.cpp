// A reinstall that left checkin credentials in the keychain: on the first
// launch the old registrations are deleted once at the identity service,
// through the delete queued while the token manager is being made.
#include <algorithm>

#include "identity/checkin_preferences.h"
#include "identity/checkin_store.h"
#include "tests/identity/facade_fixture.h"

namespace identity_test {
namespace {

using testing::fakes::IdentityService;

TEST_F(IdentityFacadeTest, ReinstallDeletesTheOldServerRegistrationsOnce) {
  boot({}, {}, [] {
    // The previous installation's credentials survive in the keychain; its
    // container (the checkin property list, the version default) is gone.
    identity::FIRInstanceIDCheckinStore store(std::string(identity::kFIRInstanceIDCheckinPlistName),
                                              "Dozada/DavidizeInstanceID");
    auto old = identity::FIRInstanceIDCheckinPreferences::initWithDeviceID("4242", "9999");
    ASSERT_TRUE(store.saveCheckinPreferences(*old, nullptr));
    ASSERT_TRUE(store.plist()->deleteFile(nullptr));
  });
  ASSERT_TRUE(h().run_until([&] { return logged(14007) || logged(14006); }));
  auto requests = service().requests("POST", IdentityService::kRegisterPath);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].header("Authorization"), "AidLogin 4242:9999");
  EXPECT_FALSE(requests[0].has_header("info"));
  EXPECT_EQ(IdentityService::form_field(requests[0].body, "delete"), "true");
  EXPECT_EQ(IdentityService::form_field(requests[0].body, "device"), "4242");
  for (const char* absent : {"X-scope", "sender", "appid", "iid-operation"}) {
    for (const auto& field : IdentityService::form_fields(requests[0].body)) EXPECT_NE(field.first, absent);
  }
  // 13006 (reset detected) comes before 14007 (deleted).
  const auto all = codes();
  const auto reset = std::find(all.begin(), all.end(), 13006);
  const auto deleted = std::find(all.begin(), all.end(), 14007);
  ASSERT_NE(reset, all.end());
  ASSERT_NE(deleted, all.end());
  EXPECT_LT(reset, deleted);
  EXPECT_EQ(service().count("POST", "/checkin"), 0u);
  // Only once: the version default is written, so nothing more happens.
  h().run_until([] { return false; }, std::chrono::milliseconds(100));
  EXPECT_EQ(service().count(), 1u);
}

}  // namespace
}  // namespace identity_test
