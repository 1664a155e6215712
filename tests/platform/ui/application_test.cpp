// Remote-notification tokens, background tasks, URLs, once-only completions
// and the main-thread checker.
#include <gtest/gtest.h>

#include <thread>

#include "fixture.h"
#include "platform/os/profile.h"
#include "platform/security/digest.h"
#include "platform/testing/capture.h"
#include "platform/ui/main_thread.h"
#include "platform/ui/once.h"

namespace platform::ui::test {
namespace {

struct TokenRecord {
  std::vector<foundation::Bytes> tokens;
  std::vector<std::int64_t> errors;
};
TokenRecord& record() {
  static TokenRecord r;
  return r;
}

class TokenDelegate : public Responder {
 public:
  explicit TokenDelegate(rt::Class& cls) : Responder(cls) {}
  void token(rt::Id, foundation::Bytes t) { record().tokens.push_back(std::move(t)); }
  void failed(rt::Id, foundation::Error e) { record().errors.push_back(e.code); }
};

class ApplicationTest : public UiTest {
 protected:
  void SetUp() override {
    UiTest::SetUp();
    record() = {};
  }
  // Restarts the device with `profile` and launches with the token delegate.
  Application& launch(std::optional<os::DeviceProfile> profile) {
    stop();
    start(std::move(profile));
    rt::ClassBuilder<TokenDelegate>("TokenDelegate", "UIResponder")
        .method(sel::did_register_for_remote_notifications, &TokenDelegate::token)
        .method(sel::did_fail_to_register_for_remote_notifications, &TokenDelegate::failed)
        .define();
    MainOptions options;
    options.delegate_class = "TokenDelegate";
    return application_launch(0, nullptr, options);
  }
};

foundation::Bytes auto_token() {
  const std::string& vendor = os::profile().vendor_identifier;
  auto d = security::sha256(std::span(reinterpret_cast<const std::uint8_t*>(vendor.data()), vendor.size()));
  return foundation::Bytes(d.begin(), d.end());
}

TEST_F(ApplicationTest, AutoTokenIsStableAcrossBootsAndArrivesAfterTheDelay) {
  os::DeviceProfile profile;
  profile.push.token_delay_s = 2;
  for (int boot = 0; boot < 2; ++boot) {
    Application& app = launch(profile);
    app.register_for_remote_notifications();
    advance(1.9);
    EXPECT_TRUE(record().tokens.size() == static_cast<std::size_t>(boot)) << "boot " << boot;
    EXPECT_FALSE(app.is_registered_for_remote_notifications());
    advance(0.2);
    ASSERT_EQ(record().tokens.size(), static_cast<std::size_t>(boot + 1));
    EXPECT_EQ(record().tokens.back(), auto_token());
    EXPECT_TRUE(app.is_registered_for_remote_notifications());
  }
  EXPECT_EQ(record().tokens[0].size(), 32u);
  EXPECT_EQ(record().tokens[0], record().tokens[1]);
}

struct TokenCase {
  std::string name;
  std::string device_token;
  std::optional<std::int64_t> error_code;
  std::optional<foundation::Bytes> token;  // nullopt: none delivered
  std::vector<std::int64_t> errors;
};

class TokenTable : public ApplicationTest, public ::testing::WithParamInterface<TokenCase> {};

TEST_P(TokenTable, AnswersPerProfile) {
  const TokenCase& c = GetParam();
  os::DeviceProfile profile;
  profile.push.device_token = c.device_token;
  profile.push.token_error_code = c.error_code;
  Application& app = launch(profile);
  app.register_for_remote_notifications();
  advance(0);
  EXPECT_TRUE(record().tokens.empty());
  EXPECT_TRUE(record().errors.empty());
  advance(1);
  if (c.token) {
    EXPECT_EQ(record().tokens, std::vector<foundation::Bytes>{*c.token});
  } else {
    EXPECT_TRUE(record().tokens.empty());
  }
  EXPECT_EQ(record().errors, c.errors);
}

INSTANTIATE_TEST_SUITE_P(Profiles, TokenTable,
                         ::testing::Values(TokenCase{"Hex", "0a0BfF", std::nullopt, foundation::Bytes{0x0a, 0x0b, 0xff}, {}},
                                           TokenCase{"None", "none", std::nullopt, std::nullopt, {}},
                                           TokenCase{"BadHex", "xyz", std::nullopt, std::nullopt, {}},
                                           TokenCase{"Error", "auto", 3000, std::nullopt, {3000}}),
                         [](const auto& param_info) { return param_info.param.name; });

TEST_F(ApplicationTest, BackgroundTaskExpiresAfterTheAllowedTimeUnlessEnded) {
  os::DeviceProfile profile;
  profile.background_time_allowed = 30;
  Application& app = launch(profile);
  int expired_a = 0, expired_b = 0;
  BackgroundTaskId a = app.begin_background_task("a", [&] { ++expired_a; });
  BackgroundTaskId b = app.begin_background_task(std::nullopt, [&] { ++expired_b; });
  EXPECT_NE(a, background_task_invalid);
  EXPECT_NE(a, b);
  EXPECT_EQ(app.background_time_remaining(), std::numeric_limits<double>::max());
  app.enter_background();
  advance(10);
  EXPECT_DOUBLE_EQ(app.background_time_remaining(), 20);
  app.end_background_task(b);
  advance(19.9);
  EXPECT_EQ(expired_a, 0);
  advance(0.2);
  EXPECT_EQ(expired_a, 1);
  EXPECT_EQ(expired_b, 0);
  EXPECT_EQ(app.background_time_remaining(), 0);
}

TEST_F(ApplicationTest, OpenUrlFollowsTheProfileSchemesAndCompletesLater) {
  os::DeviceProfile profile;
  profile.can_open_schemes = {"https", "intranet"};
  Application& app = launch(profile);
  auto url = [](std::string_view s) { return *foundation::Url::parse(s); };
  EXPECT_TRUE(app.can_open_url(url("HTTPS://example.org/")));
  EXPECT_FALSE(app.can_open_url(url("mailto:a@example.org")));
  EXPECT_TRUE(app.open_url(url("intranet://x")));
  EXPECT_FALSE(app.open_url(url("tel:123")));
  std::vector<bool> results;
  app.open_url(url("https://example.org/a"), {}, [&](bool ok) { results.push_back(ok); });
  app.open_url(url("tel:1"), {}, [&](bool ok) { results.push_back(ok); });
  EXPECT_TRUE(results.empty());
  dispatch::RunLoop::main().run_pending();
  EXPECT_EQ(results, (std::vector<bool>{true, false}));
  EXPECT_EQ(app.opened_urls(), (std::vector<std::string>{"intranet://x", "https://example.org/a"}));
}

TEST_F(ApplicationTest, HandedOutCompletionsActOnlyOnce) {
  launch(std::nullopt);
  platform::testing::CaptureSinks sinks;
  std::vector<BackgroundFetchResult> results;
  auto completion = once<BackgroundFetchResult>(
      "fetch completion", std::function<void(BackgroundFetchResult)>([&](BackgroundFetchResult r) { results.push_back(r); }));
  completion(BackgroundFetchResult::new_data);
  completion(BackgroundFetchResult::failed);
  EXPECT_EQ(results, std::vector<BackgroundFetchResult>{BackgroundFetchResult::new_data});
  auto log = sinks.system_log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_NE(log[0].find("fetch completion"), std::string::npos);
}

TEST_F(ApplicationTest, OffMainThreadUiCallsAreLoggedAndGoOn) {
  launch(std::nullopt);
  platform::testing::CaptureSinks sinks;
  auto parent = std::make_shared<View>();
  auto child = std::make_shared<View>();
  std::thread([&] { parent->add_subview(child); }).join();
  EXPECT_EQ(child->superview(), parent.get());
  // Other launch work may log too: count only the checker's lines.
  auto checker_lines = [&] {
    std::vector<std::string> found;
    for (const auto& line : sinks.system_log())
      if (line.find("[platform] UI API called off the main thread") != std::string::npos) found.push_back(line);
    return found;
  };
  auto log = checker_lines();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_NE(log[0].find("[platform] UI API called off the main thread: -[UIView addSubview:]"), std::string::npos);
  parent->add_subview(std::make_shared<View>());
  EXPECT_EQ(checker_lines().size(), 1u);
}

TEST_F(ApplicationTest, FatalCheckerAbortsOffTheMainThread) {
  launch(std::nullopt);
  set_main_thread_check_fatal(true);
  auto view = std::make_shared<View>();
  EXPECT_DEATH(std::thread([&] { view->add_subview(std::make_shared<View>()); }).join(), "");
}

}  // namespace
}  // namespace platform::ui::test
