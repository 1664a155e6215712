#include "platform/os/profile.h"

#include "fixture.h"

namespace platform::os::test {
namespace {

using ProfileTest = OsTest;

TEST_F(ProfileTest, DefaultsAreTheIos135Phone) {
  DeviceProfile p;
  EXPECT_EQ(p.system_version, "13.5");
  EXPECT_EQ(p.os_build, "17F75");
  EXPECT_EQ(p.machine, "iPhone12,1");
  EXPECT_EQ(p.hw_model, "N104AP");
  EXPECT_EQ(p.time_zone, "Europe/Berlin");
  EXPECT_EQ(p.frameworks, (std::set<std::string>{"UserNotifications", "WebKit", "StoreKit"}));
  EXPECT_TRUE(p.network.reachable);
  EXPECT_FALSE(p.network.wwan);
  EXPECT_EQ(p.push.device_token, "auto");
  EXPECT_DOUBLE_EQ(p.background_time_allowed, 180);
  EXPECT_DOUBLE_EQ(p.request_timeout_limit_s, 0);  // no cap
  // Before boot the process sees the defaults.
  EXPECT_EQ(profile().machine, "iPhone12,1");
}

TEST_F(ProfileTest, LoadsEveryFieldAndIgnoresUnknownKeys) {
  write_text(device_ / "device.json", R"({
    "system_version": "9.3.5", "os_build": "13G36", "machine": "iPhone8,1", "hw_model": "N71AP", "model": "iPhone",
    "device_name": "Test iPhone", "vendor_identifier": "0A0B0C0D-0000-4000-8000-000000000001",
    "locale": "de_DE", "preferred_languages": ["de-DE", "en-US"], "time_zone": "America/New_York",
    "frameworks": ["WebKit"], "distribution": "app_store",
    "network": {"reachable": false, "wwan": true, "connection_required": true, "on_demand": true,
                "intervention_required": true, "future_flag": 1},
    "push": {"prompt_answer": "ask", "device_token": "00ff", "token_error_code": 3010, "token_delay_s": 1},
    "can_open_schemes": ["https"], "hosts": {"intranet.example.org:443": "127.0.0.1:41001"},
    "trust_anchors": ["anchors/root.pem", "/etc/ssl/extra.pem"], "launch_arguments": ["-FIRDebugEnabled"],
    "environment": {"A": "1"}, "debugger_attached": true, "low_power_mode": true, "multitasking": false,
    "keychain_entitlement": false, "background_time_allowed": 30, "request_timeout_limit_s": 2.5,
    "screen_width": 320, "screen_height": 568,
    "not_a_profile_key": {"anything": [1, 2, 3]}
  })");
  auto loaded = DeviceProfile::load(device_ / "device.json");
  ASSERT_TRUE(loaded.has_value()) << loaded.error().description();
  const DeviceProfile& p = *loaded;
  EXPECT_EQ(p.system_version, "9.3.5");
  EXPECT_EQ(p.os_build, "13G36");
  EXPECT_EQ(p.machine, "iPhone8,1");
  EXPECT_EQ(p.hw_model, "N71AP");
  EXPECT_EQ(p.device_name, "Test iPhone");
  EXPECT_EQ(p.vendor_identifier, "0A0B0C0D-0000-4000-8000-000000000001");
  EXPECT_EQ(p.locale, "de_DE");
  EXPECT_EQ(p.preferred_languages, (std::vector<std::string>{"de-DE", "en-US"}));
  EXPECT_EQ(p.time_zone, "America/New_York");
  EXPECT_EQ(p.frameworks, std::set<std::string>{"WebKit"});
  EXPECT_EQ(p.distribution, "app_store");
  EXPECT_EQ(p.network, (NetworkState{false, true, true, true, true}));
  EXPECT_EQ(p.push.prompt_answer, "ask");
  EXPECT_EQ(p.push.device_token, "00ff");
  EXPECT_EQ(p.push.token_error_code, 3010);
  EXPECT_DOUBLE_EQ(p.push.token_delay_s, 1.0);
  EXPECT_EQ(p.can_open_schemes, std::vector<std::string>{"https"});
  EXPECT_EQ(p.hosts.at("intranet.example.org:443"), "127.0.0.1:41001");
  ASSERT_EQ(p.trust_anchors.size(), 2u);
  EXPECT_EQ(p.trust_anchors[0], device_ / "anchors/root.pem");  // relative to the profile's folder
  EXPECT_EQ(p.trust_anchors[1], fs::path("/etc/ssl/extra.pem"));
  EXPECT_EQ(p.launch_arguments, std::vector<std::string>{"-FIRDebugEnabled"});
  EXPECT_EQ(p.environment.at("A"), "1");
  EXPECT_TRUE(p.debugger_attached);
  EXPECT_TRUE(p.low_power_mode);
  EXPECT_FALSE(p.multitasking);
  EXPECT_FALSE(p.keychain_entitlement);
  EXPECT_DOUBLE_EQ(p.background_time_allowed, 30);
  EXPECT_DOUBLE_EQ(p.request_timeout_limit_s, 2.5);
  EXPECT_DOUBLE_EQ(p.screen_width, 320);
  EXPECT_DOUBLE_EQ(p.screen_height, 568);
}

TEST_F(ProfileTest, PartialFileKeepsDefaultsForTheRest) {
  write_text(device_ / "device.json", R"({"system_version": "12.4", "network": {"wwan": true}})");
  auto p = DeviceProfile::load(device_ / "device.json");
  ASSERT_TRUE(p.has_value());
  EXPECT_EQ(p->system_version, "12.4");
  EXPECT_EQ(p->machine, "iPhone12,1");
  EXPECT_TRUE(p->network.reachable);
  EXPECT_TRUE(p->network.wwan);
}

TEST_F(ProfileTest, MalformedInputIsAnErrorValue) {
  struct Case {
    const char* json;
    const char* mentions;  // in the debug description
  };
  const Case cases[] = {
      {R"({"system_version": 13.5})", "system_version"},
      {R"({"frameworks": "WebKit"})", "frameworks"},
      {R"({"frameworks": ["WebKit", 1]})", "frameworks"},
      {R"({"network": {"reachable": "yes"}})", "network.reachable"},
      {R"({"network": []})", "network"},
      {R"({"push": {"token_error_code": 1.5}})", "push.token_error_code"},
      {R"({"push": {"token_error_code": 18446744073709551615}})", "push.token_error_code"},
      {R"({"hosts": {"a": 1}})", "hosts"},
      {R"({"debugger_attached": 1})", "debugger_attached"},
      {R"({"screen_width": "375"})", "screen_width"},
      {R"({"trust_anchors": [null]})", "trust_anchors"},
      {R"([1, 2])", "object"},
      {R"("13.5")", "object"},
      {R"({"system_version": )", "JSON"},
      {"{\"device_name\": \"\xff\"}", "JSON"},
      {"", "JSON"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    write_text(device_ / "device.json", c.json);
    auto p = DeviceProfile::load(device_ / "device.json");
    ASSERT_FALSE(p.has_value());
    EXPECT_EQ(p.error().domain, "NSCocoaErrorDomain");
    EXPECT_EQ(p.error().code, 3840);
    const std::string* why = p.error().user_info.get("NSDebugDescription").string();
    ASSERT_NE(why, nullptr);
    EXPECT_NE(why->find(c.mentions), std::string::npos) << *why;
  }
}

TEST_F(ProfileTest, MissingFileIs260WithItsPath) {
  auto p = DeviceProfile::load(device_ / "nope.json");
  ASSERT_FALSE(p.has_value());
  EXPECT_EQ(p.error().code, 260);
  EXPECT_EQ(p.error().user_info.get("NSFilePath"), Value((device_ / "nope.json").string()));
}

}  // namespace
}  // namespace platform::os::test
