// The push environment from a provisioning profile: binary junk around an
// XML plist, and every fallback with its report.
#include <gtest/gtest.h>

#include <string>

#include "identity/push_environment.h"
#include "platform/foundation/value.h"

namespace {

namespace fnd = platform::foundation;

constexpr const char* kNoEnvironment =
    "No aps-environment set. If testing on a device APNS is not correctly configured. Please recheck your "
    "provisioning profiles. If testing on a simulator this is fine since APNS doesn't work on the simulator.";

std::string plist_with(const std::string& inner) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" + inner + "</dict></plist>";
}

std::string entitlements(const std::string& environment) {
  return "<key>Entitlements</key><dict><key>aps-environment</key><string>" + environment + "</string></dict>";
}

// Signed-data junk before and after the plist, with bytes above 0x7f and NULs.
fnd::Bytes wrapped(const std::string& plist) {
  using namespace std::string_literals;
  return fnd::to_bytes("\x30\x82\x00\xff\x06\x09\x2a"s + plist + "\x00\xa0\x82\x01"s);
}

identity::PushEnvironmentDecision decide(const fnd::Bytes& bytes) {
  return identity::decidePushEnvironment(std::span<const std::uint8_t>(bytes), std::nullopt);
}

TEST(IdentityPushEnvironmentTest, DevelopmentIsSandboxAndOtherValuesAreProduction) {
  auto development = decide(wrapped(plist_with(entitlements("development") + "<key>ProvisionedDevices</key><array/>")));
  EXPECT_FALSE(development.production);
  EXPECT_FALSE(development.report);
  EXPECT_TRUE(development.provisionedDevices);
  EXPECT_EQ(development.apsEnvironmentText, "development");

  auto production = decide(wrapped(plist_with(entitlements("production"))));
  EXPECT_TRUE(production.production);
  EXPECT_FALSE(production.report);
  EXPECT_FALSE(production.provisionedDevices);
}

TEST(IdentityPushEnvironmentTest, FallbacksAnswerProductionWithTheirReports) {
  struct Case {
    const char* what;
    fnd::Bytes bytes;
    std::optional<std::string> report;
  };
  const std::string no_env = plist_with("<key>Name</key><string>x</string>");
  const Case cases[] = {
      {"no <plist", wrapped("just junk"), std::nullopt},
      {"leading <plist", fnd::to_bytes(plist_with(entitlements("development")).substr(39)), std::nullopt},
      {"no aps-environment", wrapped(no_env), std::string(kNoEnvironment)},
      {"empty aps-environment", wrapped(plist_with(entitlements(""))), std::string(kNoEnvironment)},
      {"not a dictionary", wrapped("<plist version=\"1.0\"><string>x</string></plist>"),
       std::string("Error while converting assumed plist to dict (null)")},
  };
  for (const auto& c : cases) {
    const auto decision = decide(c.bytes);
    EXPECT_TRUE(decision.production) << c.what;
    EXPECT_EQ(decision.report, c.report) << c.what;
  }
  // A plist cut short (no closing tag) and one that does not parse report the parser's text.
  const auto unparsable = decide(wrapped("<plist version=\"1.0\"><dict><key>a</key>"));
  EXPECT_TRUE(unparsable.production);
  ASSERT_TRUE(unparsable.report);
  EXPECT_TRUE(unparsable.report->starts_with("Error while converting assumed plist to dict ")) << *unparsable.report;
  EXPECT_NE(*unparsable.report, "Error while converting assumed plist to dict (null)");
}

TEST(IdentityPushEnvironmentTest, MissingOrEmptyFileReportsTheReadError) {
  const fnd::Error missing("NSCocoaErrorDomain", 260);
  const auto absent = identity::decidePushEnvironment(std::nullopt, missing);
  EXPECT_TRUE(absent.production);
  ASSERT_TRUE(absent.report);
  EXPECT_EQ(*absent.report, "Error while reading embedded mobileprovision " + missing.description());

  const auto empty = decide({});
  EXPECT_TRUE(empty.production);
  EXPECT_EQ(empty.report, "Error while reading embedded mobileprovision (null)");
}

}  // namespace
