#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/os/preferences.h"
#include "platform/runtime/runtime.h"
#include "platform/sim/app_image.h"
#include "platform/testing/manual_clock.h"
#include "platform/ui/application.h"
#include "platform/ui/selectors.h"
#include "platform/ui/view_controller.h"
#include "push/notification_dispatch.h"
#include "push/notification_settings.h"
#include "push/presentation.h"
#include "push/reraviror.h"
#include "push/states.h"
#include "testing/harness/harness.h"

namespace {

namespace ui = platform::ui;
namespace rt = platform::rt;
using namespace push;
using platform::foundation::Array;
using platform::foundation::Dict;
using platform::foundation::Url;
using platform::foundation::Value;

const std::string kProcessingAppId = "1b6a4e2c-5f0d-4c8e-9a3b-7d2f1e0c9b8a";
const std::string kPlayer = "player-1";

class ProcessingTestDelegate : public ui::Responder {
 public:
  explicit ProcessingTestDelegate(rt::Class& cls) : ui::Responder(cls) {}
  bool did_finish(rt::Id, Dict) { return true; }
};

platform::sim::AppImage processing_image() {
  platform::sim::AppImage image;
  image.delegate_class = "PushProcessingTestDelegate";
  image.register_classes = [] {
    rt::ClassBuilder<ProcessingTestDelegate>("PushProcessingTestDelegate", "UIResponder")
        .method(ui::sel::did_finish_launching, &ProcessingTestDelegate::did_finish)
        .define();
  };
  return image;
}

// Records every call that reaches the presentation.
class ProcessingRecorder : public Presentation {
 public:
  std::vector<Dict> alerts;
  std::vector<std::shared_ptr<OSNotificationPayload>> requests, locals;
  std::vector<std::string> urls;
  void showInAppAlert(const Dict& userInfo) override { alerts.push_back(userInfo); }
  void addNotificationRequest(const std::shared_ptr<OSNotificationPayload>& payload, FetchCompletion completion) override {
    requests.push_back(payload);
    if (completion) completion(ui::BackgroundFetchResult::new_data);
  }
  std::shared_ptr<platform::notify::LocalNotification> prepareUILocalNotification(
      const std::shared_ptr<OSNotificationPayload>& payload) override {
    locals.push_back(payload);
    auto local = platform::notify::LocalNotification::make();
    local->alert_body = payload->body().value_or("");
    local->fire_date = platform::foundation::Date{platform::foundation::Date::now().since_1970 + 60};  // stays scheduled
    return local;
  }
  void displayWebView(const Url& url) override { urls.push_back(url.absolute_string()); }
  std::shared_ptr<ui::ViewController> webVC() override { return nullptr; }
  std::optional<platform::notify::Content> didReceiveNotificationExtensionRequest(
      const platform::notify::Request&, std::optional<platform::notify::Content> content) override {
    return content;
  }
  std::optional<platform::notify::Content> serviceExtensionTimeWillExpireRequest(
      const platform::notify::Request&, std::optional<platform::notify::Content> content) override {
    return content;
  }
};

// Answers a fixed set of notification type bits.
class Adapter : public RerAvirorNotificationSettings {
 public:
  std::int32_t types = 7;
  std::int32_t getNotificationTypes() override { return types; }
  std::shared_ptr<OSPermissionState> getNotificationPermissionState() override {
    auto state = RerAviror::currentPermissionState();
    state->setNotificationTypes(types);
    return state;
  }
  void getNotificationPermissionState(std::function<void(std::shared_ptr<OSPermissionState>)> completion) override {
    completion(getNotificationPermissionState());
  }
  void promptForNotifications(std::function<void(bool)>) override {}
  void registerForProvisionalAuthorization(std::function<void(bool)>) override {}
  void onNotificationPromptResponse(std::int32_t) override {}
  void onAPNsResponse(bool) override {}
};

Dict customPush(const std::string& id, Dict extra = {}) {
  Dict d{{"aps", Dict{{"alert", "Hello " + id}}}, {"custom", Dict{{"i", id}}}};
  for (const auto& [k, v] : extra) d.set(k, v);
  return d;
}

class ProcessingTest : public ::testing::Test {
 protected:
  explicit ProcessingTest(std::string systemVersion = "13.5")
      : harness_(testing::HarnessOptions{.fakes = {testing::Fake::push},
                                         .profile = {{"system_version", systemVersion}}}) {
    app_ = &harness_.boot_app(processing_image());
    EXPECT_TRUE(RerAviror::initAppId(kProcessingAppId, std::nullopt));
    RerAviror::currentSubscriptionState()->setUserId(kPlayer);
    RerAviror::setOsNotificationSettings(adapter_);
    setPresentation(recorder_);
    RerAviror::notificationBlocks([this](const std::shared_ptr<OSNotification>& n) { received_.push_back(n); },
                                  [this](const std::shared_ptr<OSNotificationOpenedResult>& r) { opened_.push_back(r); });
    // Records every badge the application's setter is sent.
    rt::Class& cls = app_->isa();
    const rt::Imp original = cls.lookup(ui::sel::set_badge.id);
    cls.replace_method(ui::sel::set_badge, rt::Imp::make(ui::sel::set_badge, [this, original](rt::Object& self,
                                                                                             std::int64_t badge) {
                         badges_.push_back(badge);
                         original.call(ui::sel::set_badge, self, badge);
                       }));
  }
  ~ProcessingTest() override {
    setPresentation(nullptr);
    RerAviror::resetProcessingStatics();
    RerAviror::clearStatics();
  }

  void runMain() { platform::dispatch::RunLoop::main().run_pending(); }
  std::vector<testing::fakes::RecordedRequest> notificationPuts() {
    std::vector<testing::fakes::RecordedRequest> out;
    for (const auto& r : harness_.push().requests())
      if (r.method == "PUT" && r.path.rfind("/api/v1/notifications/", 0) == 0) out.push_back(r);
    return out;
  }
  bool waitForPuts(std::size_t n) {
    return harness_.run_until([&] { return notificationPuts().size() >= n; });
  }

  testing::Harness harness_;
  ui::Application* app_ = nullptr;
  std::shared_ptr<Adapter> adapter_ = std::make_shared<Adapter>();
  std::shared_ptr<ProcessingRecorder> recorder_ = std::make_shared<ProcessingRecorder>();
  std::vector<std::shared_ptr<OSNotification>> received_;
  std::vector<std::shared_ptr<OSNotificationOpenedResult>> opened_;
  std::vector<std::int64_t> badges_;
};

TEST_F(ProcessingTest, DuplicatesAreJudgedPerActivityState) {
  EXPECT_EQ(RerAviror::checkForProcessedDups(nullptr, "x"), std::nullopt);
  const Dict noId{{"u", "https://example.org"}};
  EXPECT_EQ(RerAviror::checkForProcessedDups(&noId, std::nullopt), std::nullopt);
  const Dict wrongType{{"i", 5}};
  EXPECT_EQ(RerAviror::checkForProcessedDups(&wrongType, "5"), std::nullopt);
  const Dict section{{"i", "A"}};
  EXPECT_EQ(RerAviror::checkForProcessedDups(&section, "A"), "dup");
  EXPECT_EQ(RerAviror::checkForProcessedDups(&section, "B"), "A");

  // Mode 1 shows each processed in-focus push as an alert; the inactive road
  // opens it. The same id is processed once per activity state.
  RerAviror::setInFocusDisplayType(1);
  struct Step {
    std::string id;
    bool active;
    std::size_t alerts, opened;
  };
  const Step steps[] = {
      {"A", true, 1, 0}, {"A", true, 1, 0},   // repeat while active
      {"A", false, 1, 1}, {"A", false, 1, 1},  // first time while not active, then a repeat
      {"B", true, 2, 1}, {"A", true, 3, 1},   // A again after B
  };
  for (const auto& s : steps) {
    RerAviror::notificationReceived(customPush(s.id), s.active, /*opened=*/!s.active);
    EXPECT_EQ(recorder_->alerts.size(), s.alerts) << s.id << (s.active ? " active" : " inactive");
    EXPECT_EQ(opened_.size(), s.opened) << s.id << (s.active ? " active" : " inactive");
  }
  EXPECT_TRUE(received_.empty());  // mode 1: the alert, not the received-block
}

TEST_F(ProcessingTest, ReceivedRoadReadsOsDataFirstAndOpenedRoadCustomFirst) {
  RerAviror::setInFocusDisplayType(2);
  // Both sections, each with its own id: the repeat check uses "os_data",
  // the open report "custom".
  const Dict both{{"aps", Dict{{"alert", "Both"}}},
                  {"os_data", Dict{{"i", "from-os-data"}}},
                  {"custom", Dict{{"i", "from-custom"}}}};
  const Dict sameOsData{{"aps", Dict{{"alert", "Again"}}},
                        {"os_data", Dict{{"i", "from-os-data"}}},
                        {"custom", Dict{{"i", "other-custom"}}}};
  RerAviror::notificationReceived(both, false, true);
  ASSERT_TRUE(waitForPuts(1));
  EXPECT_EQ(notificationPuts()[0].path, "/api/v1/notifications/from-custom");
  EXPECT_EQ(opened_.size(), 1u);
  // A second push with the same "os_data" id is a repeat, whatever its "custom" id.
  RerAviror::notificationReceived(sameOsData, false, true);
  EXPECT_EQ(opened_.size(), 1u);
}

TEST_F(ProcessingTest, InFocusRoadPerDisplayMode) {
  struct Case {
    std::int64_t mode;
    Dict push;
    std::size_t alerts, received;
  };
  const Case cases[] = {
      {1, customPush("m1"), 1, 0},
      {1, Dict{{"aps", Dict{{"content-available", 1}}}, {"custom", Dict{{"i", "m1-silent"}}}}, 0, 1},
      {2, customPush("m2"), 0, 1},
      {0, customPush("m0"), 0, 1},
  };
  for (const auto& c : cases) {
    recorder_->alerts.clear();
    received_.clear();
    RerAviror::setInFocusDisplayType(c.mode);
    RerAviror::notificationReceived(c.push, true, false);
    EXPECT_EQ(recorder_->alerts.size(), c.alerts) << c.mode;
    EXPECT_EQ(received_.size(), c.received) << c.mode;
  }
  ASSERT_FALSE(received_.empty());
  EXPECT_EQ(received_.back()->displayType(), 0u);

  // Foreign pushes and a missing application id end silently.
  received_.clear();
  RerAviror::notificationReceived(Dict{{"aps", Dict{{"alert", "x"}}}}, true, true);
  RerAviror::notificationReceived(Dict{{"custom", Dict{{"i", 3}}}}, true, true);
  EXPECT_TRUE(received_.empty());
  EXPECT_TRUE(opened_.empty());
}

TEST_F(ProcessingTest, ActiveTapInModeNoneReportsButCallsNoOpenedBlock) {
  RerAviror::setInFocusDisplayType(0);
  app_->set_badge_original(2);
  RerAviror::notificationReceived(customPush("tap-0", Dict{{"custom", Dict{{"i", "tap-0"}, {"u", " https://example.org/n "}}}}),
                                  true, true);
  ASSERT_TRUE(waitForPuts(1));
  EXPECT_TRUE(opened_.empty());
  EXPECT_EQ(badges_, (std::vector<std::int64_t>{1, 0}));
  ASSERT_TRUE(harness_.run_until([&] { return recorder_->urls.size() == 1; }));
  EXPECT_EQ(recorder_->urls[0], "https://example.org/n");
}

TEST_F(ProcessingTest, OpenReportsOncePerIdAndAgainAfterAnother) {
  RerAviror::setInFocusDisplayType(2);
  const std::string a = "a/1?x", b = "b-2";
  for (const std::string& id : {a, a, b, a}) RerAviror::handleNotificationOpened(customPush(id), false, 0, 2);
  ASSERT_TRUE(waitForPuts(3));
  runMain();
  const auto puts = notificationPuts();
  ASSERT_EQ(puts.size(), 3u);
  for (const auto& put : puts) {
    const auto body = put.json_body();
    EXPECT_EQ(body["player_id"], kPlayer);
    EXPECT_EQ(body["app_id"], kProcessingAppId);
    EXPECT_EQ(body["opened"], true);
  }
  // The id with "/" and "?" is sent escaped: all of it reaches the path, none the query.
  std::multiset<std::string> paths;
  for (const auto& put : puts) {
    paths.insert(put.path);
    EXPECT_TRUE(put.query.empty());
  }
  EXPECT_EQ(paths, (std::multiset<std::string>{"/api/v1/notifications/" + a, "/api/v1/notifications/" + a,
                                               "/api/v1/notifications/" + b}));
  EXPECT_EQ(platform::os::UserDefaults::standard().string("GT_LAST_MESSAGE_OPENED_"), a);
  // The opened-block skips only a repeat of the last opened id.
  ASSERT_EQ(opened_.size(), 3u);
  EXPECT_EQ(opened_[0]->notification()->payload()->notificationID(), a);
  EXPECT_EQ(opened_[1]->notification()->payload()->notificationID(), b);
}

TEST_F(ProcessingTest, OpenIsStoredEvenWhenTheReportFails) {
  harness_.push().set_status_sequence("/api/v1/notifications/lost", {500});
  RerAviror::submitNotificationOpened("lost");
  ASSERT_TRUE(waitForPuts(1));
  EXPECT_EQ(platform::os::UserDefaults::standard().string("GT_LAST_MESSAGE_OPENED_"), "lost");
  RerAviror::submitNotificationOpened("lost");
  RerAviror::submitNotificationOpened(std::nullopt);
  harness_.run_until([] { return false; }, std::chrono::milliseconds(200));
  EXPECT_EQ(notificationPuts().size(), 1u);
}

TEST_F(ProcessingTest, ButtonTapCarriesTheActionId) {
  RerAviror::setInFocusDisplayType(2);
  Dict tapped = customPush("btn", Dict{{"custom", Dict{{"i", "btn"}, {"a", Dict{{"actionSelected", "reply"}}}}}});
  RerAviror::notificationReceived(tapped, false, true);
  Dict topLevel = customPush("btn2", Dict{{"actionSelected", "later"}});
  RerAviror::notificationReceived(topLevel, false, true);
  ASSERT_EQ(opened_.size(), 2u);
  EXPECT_EQ(opened_[0]->action()->type(), 1u);
  EXPECT_EQ(opened_[0]->action()->actionID(), "reply");
  EXPECT_EQ(opened_[1]->action()->actionID(), "later");
}

TEST_F(ProcessingTest, LaunchUrlGoesToThePresentationHalfASecondLater) {
  auto clock = platform::testing::ManualClock::install();
  RerAviror::launchWebURL("\thttps://intranet.example.org/news/4 ");
  RerAviror::launchWebURL("   ");
  RerAviror::launchWebURL(std::nullopt);
  RerAviror::launchWebURL("not a url with spaces");
  runMain();
  clock->advance(std::chrono::milliseconds(499));
  runMain();
  EXPECT_TRUE(recorder_->urls.empty());
  clock->advance(std::chrono::milliseconds(1));
  runMain();
  EXPECT_EQ(recorder_->urls, (std::vector<std::string>{"https://intranet.example.org/news/4"}));
}

TEST_F(ProcessingTest, BadgeClearing) {
  struct Case {
    const char* name;
    std::int64_t badge;
    std::int32_t types;
    bool fromOpen;
    bool answer;
    std::vector<std::int64_t> sent;
  };
  const Case cases[] = {
      {"badge set", 3, 7, false, true, {1, 0}},
      {"badge zero", 0, 7, true, false, {}},  // Foundation of 13.5 is above 1047.25
      {"badges not allowed", 3, 6, true, false, {}},
  };
  for (const auto& c : cases) {
    badges_.clear();
    adapter_->types = c.types;
    app_->set_badge_original(c.badge);
    EXPECT_EQ(RerAviror::clearBadgeCount(c.fromOpen), c.answer) << c.name;
    EXPECT_EQ(badges_, c.sent) << c.name;
  }
  RerAviror::setOsNotificationSettings(nullptr);
  app_->set_badge_original(3);
  EXPECT_FALSE(RerAviror::clearBadgeCount(true));  // no adapter: no badge bit known
}

TEST_F(ProcessingTest, BackgroundPushes) {
  app_->set_badge_original(0);
  ASSERT_TRUE(harness_.device().background());
  int completions = 0;
  auto completion = [&](ui::BackgroundFetchResult) { ++completions; };

  // Rich: buttons dictionary in os_data, or top-level "at"/"o".
  const Dict rich{{"aps", Dict{{"content-available", 1}}},
                  {"os_data", Dict{{"i", "r1"}, {"buttons", Dict{{"m", "Rich"}, {"o", Array{Dict{{"n", "Go"}}}}}}}}};
  EXPECT_TRUE(RerAviror::remoteSilentNotification(app_, rich, completion));
  ASSERT_EQ(recorder_->requests.size(), 1u);
  EXPECT_EQ(recorder_->requests[0]->body(), "Rich");
  EXPECT_EQ(completions, 1);
  EXPECT_TRUE(RerAviror::remoteSilentNotification(app_, customPush("r2", Dict{{"at", Dict{{"i", "x"}}}}), nullptr));
  EXPECT_EQ(recorder_->requests.size(), 2u);

  // A list under "buttons" is not rich: plain, in the background.
  const Dict plainList{{"aps", Dict{{"content-available", 1}}},
                       {"os_data", Dict{{"i", "p1"}, {"buttons", Array{Dict{{"n", "Go"}}}}}}};
  EXPECT_FALSE(RerAviror::remoteSilentNotification(app_, plainList, completion));
  ASSERT_EQ(received_.size(), 1u);
  EXPECT_EQ(received_[0]->displayType(), 2u);  // "os_data" → "buttons" makes it visible
  const Dict silent{{"aps", Dict{{"content-available", 1}}}, {"custom", Dict{{"i", "s1"}}}};
  EXPECT_FALSE(RerAviror::remoteSilentNotification(app_, silent, completion));
  ASSERT_EQ(received_.size(), 2u);
  EXPECT_EQ(received_[1]->displayType(), 0u);
  EXPECT_EQ(completions, 1);  // the caller completes when the answer is NO
  EXPECT_TRUE(opened_.empty());
}

TEST_F(ProcessingTest, PlainPushWhileActiveIsReceivedAndOpened) {
  RerAviror::setInFocusDisplayType(2);
  EXPECT_FALSE(RerAviror::remoteSilentNotification(app_, customPush("act"), nullptr));
  ASSERT_EQ(received_.size(), 1u);
  EXPECT_EQ(received_[0]->displayType(), 2u);
  EXPECT_EQ(opened_.size(), 1u);
  // Silent while active: received, not opened.
  EXPECT_FALSE(RerAviror::remoteSilentNotification(
      app_, Dict{{"aps", Dict{{"content-available", 1}}}, {"custom", Dict{{"i", "quiet"}}}}, nullptr));
  EXPECT_EQ(received_.size(), 2u);
  EXPECT_EQ(opened_.size(), 1u);
}

TEST_F(ProcessingTest, LocalNotificationOpenedInTheBackgroundRunsTheOpenedBlockOnce) {
  ASSERT_TRUE(harness_.device().background());
  auto local = platform::notify::LocalNotification::make();
  local->user_info = Dict{{"custom", Dict{{"i", "loc"}}}, {"o", Array{Dict{{"n", "Yes"}, {"i", "y"}}}}};
  RerAviror::processLocalActionBasedNotification(local, std::string("y"));
  ASSERT_EQ(opened_.size(), 1u);
  EXPECT_EQ(opened_[0]->action()->type(), 1u);
  EXPECT_EQ(opened_[0]->action()->actionID(), "y");

  // No user info, or one the normaliser refuses: nothing.
  RerAviror::processLocalActionBasedNotification(platform::notify::LocalNotification::make(), std::nullopt);
  auto foreign = platform::notify::LocalNotification::make();
  foreign->user_info = Dict{{"aps", Dict{{"alert", "x"}}}};
  RerAviror::processLocalActionBasedNotification(foreign, std::nullopt);
  RerAviror::processLocalActionBasedNotification(nullptr, std::nullopt);
  EXPECT_EQ(opened_.size(), 1u);
}

TEST_F(ProcessingTest, WithoutPresentationEachCallIsANoOp) {
  setPresentation(nullptr);
  RerAviror::setInFocusDisplayType(1);
  RerAviror::notificationReceived(customPush("np"), true, false);
  int completions = 0;
  EXPECT_TRUE(RerAviror::remoteSilentNotification(
      app_, customPush("np2", Dict{{"o", Array{}}}), [&](ui::BackgroundFetchResult r) {
        EXPECT_EQ(r, ui::BackgroundFetchResult::no_data);
        ++completions;
      }));
  EXPECT_EQ(completions, 1);
  platform::notify::Request request;
  request.content.body = "original";
  auto content = RerAviror::didReceiveNotificationExtensionRequest(request, std::nullopt);
  ASSERT_TRUE(content);
  EXPECT_EQ(content->body, "original");
}

class LegacyProcessingTest : public ProcessingTest {
 protected:
  LegacyProcessingTest() : ProcessingTest("9.3") {}
};

TEST_F(LegacyProcessingTest, RichBackgroundPushBecomesAScheduledLocalNotification) {
  const Dict rich = customPush("old", Dict{{"o", Array{Dict{{"n", "Go"}}}}});
  EXPECT_FALSE(RerAviror::remoteSilentNotification(app_, rich, nullptr));
  ASSERT_EQ(recorder_->locals.size(), 1u);
  EXPECT_TRUE(recorder_->requests.empty());
  ASSERT_EQ(app_->scheduled_local_notifications().size(), 1u);
  EXPECT_EQ(app_->scheduled_local_notifications()[0]->alert_body, "Hello old");
}

}  // namespace
