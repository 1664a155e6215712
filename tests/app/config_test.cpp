// The configuration file: what each shape of Config.json gives, the error
// line, and the shared service reading the file once.
#include <gtest/gtest.h>

#include "app/config.h"
#include "app/view_controller.h"
#include "tests/app/app_fixture.h"

namespace app::test {
namespace {

const std::string kError = R"("ASConfigService :: readConfigFile :: dictionary error")";

struct ConfigCase {
  std::string name;
  std::optional<std::string> file;  // none: no Config.json
  std::optional<std::string> base;
  bool push_enabled;
  std::optional<std::string> home;
  bool error_line;
};

TEST(ConfigFile, EachShapeGivesItsConfiguration) {
  const std::vector<ConfigCase> cases{
      {"full", kConfig, "https://intranet.example.org", true, "intranet.example.org", false},
      {"missing file", std::nullopt, std::nullopt, false, std::nullopt, false},
      {"not JSON", "{\"base_url\": ", std::nullopt, false, std::nullopt, true},
      {"a JSON true among strings", R"({"base_url":"https://intranet.example.org","push_notifications_enabled":true})",
       std::nullopt, false, std::nullopt, false},
      {"a number value", R"({"base_url":"https://intranet.example.org","x":1})", std::nullopt, false, std::nullopt,
       false},
      {"an array", R"(["https://intranet.example.org"])", std::nullopt, false, std::nullopt, false},
      {"switch in capitals", R"({"base_url":"https://a.example.org","push_notifications_enabled":"TRUE"})",
       "https://a.example.org", false, std::nullopt, false},
      {"empty base_url and home host", R"({"base_url":"","base_url_home_host":""})", std::nullopt, false, "", false},
      {"other keys ignored", R"({"base_url":"https://b.example.org/x","other":"y"})", "https://b.example.org/x", false,
       std::nullopt, false},
  };
  testing::Harness h;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(h.bundle_directory() / "Config.json");
    if (c.file) write_config(h, *c.file);
    h.capture().clear();
    const ASConfig config = ASConfigParser().parse(ASConfigService::readConfigFile());
    EXPECT_EQ(config.baseURL ? std::optional<std::string>(config.baseURL->absolute_string()) : std::nullopt, c.base);
    EXPECT_EQ(config.pushNotificationsEnabled, std::optional<bool>(c.push_enabled));
    EXPECT_EQ(config.baseUrlHomeHost, c.home);
    EXPECT_EQ(h.capture().out(), c.error_line ? kError + "\n" : "");
  }
}

TEST(ConfigFile, TheSharedServiceReadsTheFileOnceAndItsBaseAddressFeedsLaterLoads) {
  testing::Harness h;
  write_config(h, "not json");
  ASConfigService& service = ASConfigService::shared();
  EXPECT_EQ(&service, &ASConfigService::shared());
  EXPECT_FALSE(service.baseURL());
  // The file is not read again: a good file written now changes nothing.
  write_config(h, kConfig);
  EXPECT_EQ(&service, &ASConfigService::shared());
  EXPECT_FALSE(ASConfigService::shared().baseURL());
  EXPECT_EQ(h.capture().out(), kError + "\n");

  service.setBaseURL(platform::foundation::Url::parse("https://intranet.example.org/news"));
  EXPECT_EQ(ASConfigService::shared().baseURL()->absolute_string(), "https://intranet.example.org/news");
  EXPECT_FALSE(ASConfigService::shared().pushNotificationsEnabled().value_or(true));
  EXPECT_FALSE(ASConfigService::shared().baseUrlHomeHost());
}

}  // namespace
}  // namespace app::test
