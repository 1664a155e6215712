#include <gtest/gtest.h>


#include <atomic>
#include <cctype>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/notify/center.h"
#include "platform/notify/legacy.h"
#include "platform/sim/app_image.h"
#include "platform/testing/manual_clock.h"
#include "platform/ui/application.h"
#include "platform/ui/selectors.h"
#include "platform/ui/view_controller.h"
#include "platform/os/preferences.h"
#include "push/attachments.h"
#include "push/payload.h"
#include "push/reraviror.h"
#include "platform/runtime/runtime.h"
#include "push/notification_builder.h"
#include "testing/fakes/fake_service.h"
#include "testing/harness/harness.h"

namespace {

namespace rt = platform::rt;
namespace notify = platform::notify;
using namespace push;

TEST(SharedInstanceTest, OneObjectOfTheFacadeClassAlsoFromManyThreads) {
  testing::Harness harness;
  std::vector<std::shared_ptr<RerAvirorObject>> seen(8);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&seen, i] { seen[i] = RerAvirorHelper::sharedInstance(); });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_NE(seen[0], nullptr);
  for (const auto& object : seen) EXPECT_EQ(object, seen[0]);
  EXPECT_EQ(RerAvirorHelper::sharedInstance(), seen[0]);

  rt::Class& cls = seen[0]->isa();
  EXPECT_EQ(cls.name(), "RerAviror");
  EXPECT_EQ(cls.superclass()->name(), "NSObject");
  EXPECT_FALSE(cls.declares_protocol("UNUserNotificationCenterDelegate"));
  EXPECT_EQ(rt::Runtime::shared().find("RerAviror"), &cls);
}

TEST(SharedInstanceTest, BecomesTheCentreDelegateOnlyWhenThereIsNone) {
  testing::Harness harness;
  auto center = notify::Center::current();
  ASSERT_NE(center, nullptr);
  RerAvirorHelper::registerAsUNNotificationCenterDelegate();
  EXPECT_EQ(center->delegate(), RerAvirorHelper::sharedInstance());

  auto other = rt::Runtime::shared().find("NSObject")->create();
  center->set_delegate(other);
  RerAvirorHelper::registerAsUNNotificationCenterDelegate();
  EXPECT_EQ(center->delegate(), other);
}

TEST(SharedInstanceTest, WithoutTheCentreClassNothingHappens) {
  testing::Harness harness({.profile = {{"system_version", "9.3"}, {"frameworks", nlohmann::json::array()}}});
  EXPECT_EQ(notify::Center::current(), nullptr);
  RerAvirorHelper::registerAsUNNotificationCenterDelegate();
  EXPECT_NE(RerAvirorHelper::sharedInstance(), nullptr);
}

}  // namespace

namespace {

namespace foundation = platform::foundation;
namespace ui = platform::ui;
namespace fs = std::filesystem;

std::vector<std::string> ids(const std::vector<notify::Action>& actions) {
  std::vector<std::string> out;
  for (const auto& action : actions) out.push_back(action.identifier);
  return out;
}

// A custom-shape push with the given button ids (titles are the ids in lower case).
std::shared_ptr<OSNotificationPayload> payloadWithButtons(const std::vector<std::string>& buttonIds,
                                                          foundation::Dict aps = {{"alert", "Body"}}) {
  foundation::Array buttons;
  for (const auto& id : buttonIds) {
    std::string text = id;
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    buttons.emplace_back(foundation::Dict{{"i", id}, {"n", text}});
  }
  return OSNotificationPayload::parseWithApns(
      foundation::Dict{{"aps", std::move(aps)}, {"custom", foundation::Dict{{"i", "n-1"}}}, {"buttons", buttons}});
}

std::optional<notify::Category> categoryNamed(const std::vector<notify::Category>& categories, std::string_view id) {
  std::optional<notify::Category> found;
  for (const auto& category : categories) {
    if (category.identifier == id) {
      EXPECT_FALSE(found) << "two categories named " << id;
      found = category;
    }
  }
  return found;
}

class BuilderTestDelegate : public ui::Responder {
 public:
  explicit BuilderTestDelegate(rt::Class& cls) : ui::Responder(cls) {}
  bool did_finish(rt::Id, foundation::Dict) { return true; }
};

platform::sim::AppImage builder_image() {
  platform::sim::AppImage image;
  image.delegate_class = "PushBuilderTestDelegate";
  image.register_classes = [] {
    rt::ClassBuilder<BuilderTestDelegate>("PushBuilderTestDelegate", "UIResponder")
        .method(ui::sel::did_finish_launching, &BuilderTestDelegate::did_finish)
        .define();
  };
  image.define_storyboards = [] {
    ui::Storyboard::define("Main", {.initial = [](ui::Storyboard&) { return std::make_shared<ui::ViewController>(); },
                                    .scenes = {}});
  };
  return image;
}

TEST(ActionButtonsTest, DynamicCategoryOnTenAndLater) {
  struct Case {
    std::vector<std::string> buttons;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {{"A"}, {"A"}},
      {{"A", "B"}, {"B", "A"}},
      {{"A", "B", "C"}, {"A", "B", "C"}},
  };
  testing::Harness harness;
  auto center = notify::Center::current();
  ASSERT_NE(center, nullptr);
  for (const Case& c : cases) {
    center->set_notification_categories(
        {notify::Category{"app", {notify::Action{"reply", "Reply", 0}}, {}, 0},
         notify::Category{"__dynamic__", {notify::Action{"stale", "Stale", 4}}, {}, 1}});
    notify::Content content;
    RerAvirorHelper::addActionButtons(*payloadWithButtons(c.buttons), content);
    EXPECT_EQ(content.category_identifier, "__dynamic__");

    auto registered = RerAvirorHelper::existingCategories();
    ASSERT_TRUE(registered);
    ASSERT_EQ(registered->size(), 2u);
    auto app = categoryNamed(*registered, "app");
    ASSERT_TRUE(app);
    EXPECT_EQ(ids(app->actions), std::vector<std::string>{"reply"});
    auto dynamic = categoryNamed(*registered, "__dynamic__");
    ASSERT_TRUE(dynamic);
    EXPECT_EQ(ids(dynamic->actions), c.expected);
    EXPECT_EQ(dynamic->options, 1u);
    EXPECT_TRUE(dynamic->intent_identifiers.empty());
    for (const auto& action : dynamic->actions) {
      EXPECT_EQ(action.options, 4u);
      std::string lower = action.identifier;
      lower[0] = static_cast<char>(std::tolower(lower[0]));
      EXPECT_EQ(action.title, lower);
    }
  }

  // No buttons: no category on the content, the registered ones untouched.
  center->set_notification_categories({notify::Category{"__dynamic__", {notify::Action{"stale", "Stale", 4}}, {}, 1}});
  notify::Content content;
  RerAvirorHelper::addActionButtons(*payloadWithButtons({}), content);
  EXPECT_EQ(content.category_identifier, "");
  auto registered = RerAvirorHelper::existingCategories();
  ASSERT_TRUE(registered);
  EXPECT_EQ(ids(categoryNamed(*registered, "__dynamic__")->actions), std::vector<std::string>{"stale"});
}

TEST(PushBuilderRequestTest, ContentTriggerAndFreshIdentifiers) {
  testing::Harness harness;
  struct Case {
    foundation::Dict aps;
    std::optional<std::int64_t> badge;
    std::optional<std::string> sound;
  };
  const Case cases[] = {
      {{{"alert", foundation::Dict{{"title", "T"}, {"subtitle", "S"}, {"body", "B"}}}, {"badge", 0}}, std::nullopt,
       std::nullopt},
      {{{"alert", foundation::Dict{{"title", "T"}, {"subtitle", "S"}, {"body", "B"}}}, {"badge", 3}, {"sound", "ding.wav"}},
       3, "ding.wav"},
  };
  std::set<std::string> seen;
  for (const Case& c : cases) {
    auto payload = payloadWithButtons({"A", "B"}, c.aps);
    for (int repeat = 0; repeat < 2; ++repeat) {
      notify::Request request = RerAvirorHelper::prepareUNNotificationRequest(*payload);
      EXPECT_EQ(request.identifier.size(), 16u);
      for (char ch : request.identifier) EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(ch))) << request.identifier;
      EXPECT_TRUE(seen.insert(request.identifier).second) << "repeated id " << request.identifier;
      EXPECT_EQ(request.content.title, "T");
      EXPECT_EQ(request.content.subtitle, "S");
      EXPECT_EQ(request.content.body, "B");
      EXPECT_EQ(request.content.user_info, payload->rawPayload());
      EXPECT_EQ(request.content.badge, c.badge);
      ASSERT_TRUE(request.content.sound);
      EXPECT_EQ(request.content.sound->name, c.sound);
      EXPECT_EQ(request.content.category_identifier, "__dynamic__");
      EXPECT_TRUE(request.content.attachments.empty());
      ASSERT_TRUE(request.trigger);
      EXPECT_EQ(request.trigger->kind, notify::Trigger::time_interval);
      EXPECT_EQ(request.trigger->interval, 0.25);
      EXPECT_FALSE(request.trigger->repeats);
    }
  }
}

TEST(PushBuilderRequestTest, FetchCompletionComesBeforeTheCentreAnswers) {
  auto clock = platform::testing::ManualClock::install();
  testing::Harness harness;
  harness.boot_app(builder_image());
  auto center = notify::Center::current();
  ASSERT_NE(center, nullptr);

  // The centre's queue held: its answer to the add cannot come.
  center->queue().suspend();
  std::mutex mutex;
  std::vector<ui::BackgroundFetchResult> results;
  const auto mainThread = std::this_thread::get_id();
  bool offMain = false;
  std::size_t tasksDuringWork = 0;
  ui::Application* app = ui::Application::shared();
  ASSERT_NE(app, nullptr);
  RerAvirorHelper::addNotificationRequest(payloadWithButtons({}), [&](ui::BackgroundFetchResult result) {
    std::lock_guard lock(mutex);
    results.push_back(result);
    // The work runs on the global queue inside the media background task.
    offMain = std::this_thread::get_id() != mainThread;
    tasksDuringWork = app->active_background_tasks();
  });
  RerAvirorHelper::addNotificationRequest(payloadWithButtons({}), nullptr);
  platform::dispatch::wait_until_idle();
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(results, std::vector<ui::BackgroundFetchResult>{ui::BackgroundFetchResult::new_data});
    EXPECT_TRUE(offMain);
    EXPECT_GE(tasksDuringWork, 1u);
  }
  EXPECT_EQ(app->active_background_tasks(), 0u);
  center->queue().resume();

  clock->advance(platform::dispatch::Duration(0.25));
  std::vector<notify::Notification> delivered;
  platform::dispatch::Semaphore answered;
  center->get_delivered([&](std::vector<notify::Notification> got) {
    delivered = std::move(got);
    answered.signal();
  });
  answered.wait();
  ASSERT_EQ(delivered.size(), 2u);
  EXPECT_NE(delivered[0].request.identifier, delivered[1].request.identifier);
  EXPECT_EQ(delivered[0].request.content.body, "Body");
}

class LegacyBuilderTest : public ::testing::Test {
 protected:
  void boot(const std::string& version) {
    harness_ = std::make_unique<testing::Harness>(testing::HarnessOptions{
        .profile = {{"system_version", version}, {"frameworks", nlohmann::json::array({"WebKit"})}}});
    app_ = &harness_->boot_app(builder_image());
    ASSERT_EQ(notify::Center::current(), nullptr);
  }
  std::unique_ptr<testing::Harness> harness_;
  ui::Application* app_ = nullptr;
};

TEST_F(LegacyBuilderTest, CategoryContextsAndSettingsBeforeTen) {
  boot("9.3");
  struct Case {
    std::vector<std::string> buttons;
    std::vector<std::string> defaultContext, minimalContext;
  };
  const Case cases[] = {
      {{}, {}, {}},
      {{"A"}, {"A"}, {}},
      {{"A", "B"}, {"A", "B"}, {"B", "A"}},
      {{"A", "B", "C"}, {"A", "B", "C"}, {"B", "A"}},
  };
  app_->register_user_notification_settings(
      notify::LegacySettings{notify::badge, {notify::Category{"app", {}, {}, 0}}});
  platform::dispatch::RunLoop::main().run_pending();
  for (const Case& c : cases) {
    auto notification = RerAvirorHelper::createUILocalNotification(*payloadWithButtons(c.buttons));
    platform::dispatch::RunLoop::main().run_pending();  // the settings apply on the next main turn
    ASSERT_NE(notification, nullptr);
    EXPECT_EQ(notification->category, "__dynamic__");
    notify::LegacySettings settings = app_->current_user_notification_settings();
    EXPECT_EQ(settings.types, 7u);
    ASSERT_EQ(settings.categories.size(), 2u);
    EXPECT_TRUE(categoryNamed(settings.categories, "app"));
    auto dynamic = categoryNamed(settings.categories, "__dynamic__");
    ASSERT_TRUE(dynamic);
    EXPECT_EQ(ids(dynamic->actions), c.defaultContext);
    EXPECT_EQ(ids(dynamic->minimal_actions), c.minimalContext);
  }
}

TEST_F(LegacyBuilderTest, LocalNotificationContents) {
  boot("9.3");
  auto payload = payloadWithButtons({"A"}, {{"alert", foundation::Dict{{"title", "T"}, {"body", "B"}}}, {"badge", 4}});
  auto notification = RerAvirorHelper::prepareUILocalNotification(*payload);
  EXPECT_EQ(notification->alert_title, "T");
  EXPECT_EQ(notification->alert_body, "B");
  EXPECT_EQ(notification->user_info, payload->rawPayload());
  EXPECT_EQ(notification->sound_name, "UILocalNotificationDefaultSoundName");
  EXPECT_EQ(notification->application_icon_badge_number, 4);
  EXPECT_FALSE(notification->fire_date);

  auto withSound = RerAvirorHelper::prepareUILocalNotification(
      *payloadWithButtons({}, {{"alert", "B"}, {"sound", "ding.wav"}}));
  EXPECT_EQ(withSound->sound_name, "ding.wav");
}

TEST_F(LegacyBuilderTest, NoAlertTitleWhereLocalNotificationsLackIt) {
  boot("8.1");
  auto payload = payloadWithButtons({}, {{"alert", foundation::Dict{{"title", "T"}, {"body", "B"}}}});
  auto notification = RerAvirorHelper::prepareUILocalNotification(*payload);
  EXPECT_FALSE(notification->responds_to(notify::sel::alert_title));
  EXPECT_EQ(notification->alert_title, "");
  EXPECT_EQ(notification->alert_body, "B");
}

// One picture on loopback.
class PictureServer {
 public:
  PictureServer() {
    server_.on("GET", "/pic.png", [this](const ::testing::fakes::HttpRequest&, ::testing::fakes::HttpResponse& response) {
      ++hits;
      response.set_content("picture", "image/png");
    });
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(server_.port()) + "/pic.png"; }
  std::atomic<int> hits{0};

 private:
  ::testing::fakes::FakeService server_{"pictures", {"127.0.0.1"}};
};

// A background push in the short form: two buttons and a media URL.
foundation::Dict backgroundPush(const std::string& mediaUrl) {
  return foundation::Dict{{"aps", foundation::Dict{{"content-available", 1}}},
                          {"custom", foundation::Dict{{"i", "n-bg"}}},
                          {"m", "Picture of the day"},
                          {"o", foundation::Array{foundation::Dict{{"i", "a"}, {"n", "A"}},
                                                  foundation::Dict{{"i", "b"}, {"n", "B"}}}},
                          {"at", foundation::Dict{{"pic", mediaUrl}}}};
}

std::vector<notify::Notification> delivered(notify::Center& center) {
  std::vector<notify::Notification> got;
  platform::dispatch::Semaphore answered;
  center.get_delivered([&](std::vector<notify::Notification> list) {
    got = std::move(list);
    answered.signal();
  });
  answered.wait();
  return got;
}

TEST(BackgroundPushTest, RichPushBecomesOneRequestWithButtonsAndCachedMedia) {
  PictureServer pictures;
  testing::Harness harness;
  ui::Application& app = harness.boot_app(builder_image());
  installPresentation();
  auto center = notify::Center::current();
  ASSERT_NE(center, nullptr);

  std::atomic<int> completions{0};
  EXPECT_TRUE(RerAviror::remoteSilentNotification(&app, backgroundPush(pictures.url()),
                                                  [&](ui::BackgroundFetchResult result) {
                                                    EXPECT_EQ(result, ui::BackgroundFetchResult::new_data);
                                                    ++completions;
                                                  }));
  ASSERT_TRUE(harness.run_until([&] { return !delivered(*center).empty(); }));
  auto requests = delivered(*center);
  ASSERT_EQ(requests.size(), 1u);
  const notify::Content& content = requests[0].request.content;
  EXPECT_EQ(content.body, "Picture of the day");
  EXPECT_EQ(content.category_identifier, "__dynamic__");
  auto dynamic = categoryNamed(RerAvirorHelper::existingCategories().value_or(std::vector<notify::Category>{}),
                               "__dynamic__");
  ASSERT_TRUE(dynamic);
  EXPECT_EQ(ids(dynamic->actions), (std::vector<std::string>{"b", "a"}));

  ASSERT_EQ(content.attachments.size(), 1u);
  fs::path file = content.attachments[0].url.file_path();
  EXPECT_EQ(file.parent_path(), RerAvirorHelper::mediaFolder());
  EXPECT_TRUE(fs::exists(file));
  auto listed = platform::os::UserDefaults::standard().object(kCachedMediaKey);
  ASSERT_TRUE(listed && listed->array());
  EXPECT_EQ(*listed->array(), foundation::Array{file.filename().string()});
  EXPECT_EQ(completions.load(), 1);
  EXPECT_EQ(pictures.hits.load(), 1);
}

TEST(BackgroundPushTest, BeforeTenItSchedulesALocalNotification) {
  testing::Harness harness(testing::HarnessOptions{
      .profile = {{"system_version", "9.3"}, {"frameworks", nlohmann::json::array({"WebKit"})}}});
  ui::Application& app = harness.boot_app(builder_image());
  installPresentation();
  EXPECT_FALSE(RerAviror::remoteSilentNotification(&app, backgroundPush("http://127.0.0.1:1/pic.png"), nullptr));
  auto local = app.delivered_local_notifications();
  auto scheduled = app.scheduled_local_notifications();
  local.insert(local.end(), scheduled.begin(), scheduled.end());
  ASSERT_EQ(local.size(), 1u);
  EXPECT_EQ(local[0]->alert_body, "Picture of the day");
  EXPECT_EQ(local[0]->category, "__dynamic__");
  EXPECT_EQ(local[0]->sound_name, "UILocalNotificationDefaultSoundName");
}

}  // namespace
