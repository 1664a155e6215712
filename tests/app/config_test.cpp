// The configuration file: what each shape of Config.json gives, the error
// line for a path that cannot be read, and the shared service reading the file once.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>

#include "app/config.h"
#include "platform/testing/file_faults.h"
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

// Ways a bundle can hold a Config.json that is found but cannot be read as a file.
enum class Unreadable { folder, fifo };

void make_unreadable(testing::Harness& h, Unreadable kind) {
  const auto path = h.bundle_directory() / "Config.json";
  std::filesystem::remove_all(path);
  if (kind == Unreadable::folder) {
    std::filesystem::create_directories(path / "inner");
  } else {
    ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0) << path;
  }
}

TEST(ConfigFile, APathThatCannotBeReadIsTheReadErrorAndAnEmptyConfiguration) {
  struct Case {
    std::string name;
    std::function<void(testing::Harness&)> prepare;
  };
  const std::vector<Case> cases{
      {"a folder", [](testing::Harness& h) { make_unreadable(h, Unreadable::folder); }},
      {"a FIFO without a writer", [](testing::Harness& h) { make_unreadable(h, Unreadable::fifo); }},
      {"a file gone between the look-up and the read",
       [](testing::Harness& h) {
         std::filesystem::remove_all(h.bundle_directory() / "Config.json");  // the FIFO of the case before
         write_config(h, kConfig);
         platform::testing::fail_next(platform::testing::FileOp::read, h.bundle_directory() / "Config.json", ENOENT);
       }},
  };
  testing::Harness h;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.prepare(h);
    h.capture().clear();
    const ASConfig config = ASConfigParser().parse(ASConfigService::readConfigFile());
    EXPECT_FALSE(config.baseURL);
    EXPECT_EQ(config.pushNotificationsEnabled, std::optional<bool>(false));
    EXPECT_FALSE(config.baseUrlHomeHost);
    EXPECT_EQ(h.capture().out(), kError + "\n");
  }
}

class ConfigUnreadableLaunch : public ::testing::TestWithParam<Unreadable> {};

TEST_P(ConfigUnreadableLaunch, TheLaunchRunsOnWithTheErrorLineAndTheFirstScreenLoadsNothing) {
  testing::Harness h{{.fakes = {::testing::Fake::intranet}}};
  make_unreadable(h, GetParam());
  record_push_calls();
  h.boot_app(app::image());
  EXPECT_TRUE(has_line(h, kError));
  ViewController* screen = top_screen();
  ASSERT_TRUE(screen);
  EXPECT_FALSE(ASConfigService::shared().baseURL());
  EXPECT_FALSE(h.run_until([&] { return h.intranet().count() > 0; }, std::chrono::milliseconds(300)));
  EXPECT_FALSE(screen->wkWebView->url());
}

INSTANTIATE_TEST_SUITE_P(Shapes, ConfigUnreadableLaunch, ::testing::Values(Unreadable::folder, Unreadable::fifo),
                         [](const auto& param_info) { return param_info.param == Unreadable::folder ? "Folder" : "Fifo"; });

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
