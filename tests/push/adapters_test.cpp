#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/notify/center.h"
#include "platform/os/preferences.h"
#include "platform/runtime/runtime.h"
#include "platform/sim/app_image.h"
#include "platform/ui/application.h"
#include "tests/push/passive_adapter.h"
#include "push/notification_settings_adapters.h"
#include "push/reraviror.h"
#include "push/states.h"
#include "testing/harness/harness.h"

namespace {

namespace rt = platform::rt;
namespace ui = platform::ui;
namespace notify = platform::notify;
using namespace push;
using S = notify::Setting;
using A = notify::AuthorizationStatus;

// The OS side of the centre, scripted: settings to answer (or hold), answers
// to authorisation requests, and what was asked. Answers come on the centre's queue.
struct ScriptedCentre {
  std::mutex mutex;
  notify::Settings settings;
  bool hold = false;
  std::vector<notify::SettingsCompletion> held;
  std::atomic<int> settingsQueries{0};
  std::vector<std::uint32_t> requested;
  bool grant = true;

  void install() {
    rt::Class& cls = *rt::Runtime::shared().find(notify::kCenterClass);
    cls.replace_method(notify::sel::get_settings.id,
                       rt::Imp::make(notify::sel::get_settings, [this](rt::Object& self, notify::SettingsCompletion c) {
                         ++settingsQueries;
                         std::lock_guard lock(mutex);
                         if (hold) {
                           held.push_back(std::move(c));
                           return;
                         }
                         dynamic_cast<notify::Center&>(self).queue().async([c, s = settings] { c(s); });
                       }));
    cls.replace_method(notify::sel::request_authorization.id,
                       rt::Imp::make(notify::sel::request_authorization,
                                     [this](rt::Object& self, std::uint32_t options, notify::AuthorizationCompletion c) {
                                       std::lock_guard lock(mutex);
                                       requested.push_back(options);
                                       dynamic_cast<notify::Center&>(self).queue().async(
                                           [c, granted = grant] { c(granted, std::nullopt); });
                                     }));
  }
  // Answers the held queries on the centre's queue.
  void release() {
    std::vector<notify::SettingsCompletion> answers;
    notify::Settings s;
    {
      std::lock_guard lock(mutex);
      answers.swap(held);
      hold = false;
      s = settings;
    }
    for (auto& c : answers) notify::Center::current()->queue().async([c, s] { c(s); });
  }
};

// What an observer of the permission state saw, in order.
class AdaptersRecorder : public OSPermissionStateObserver {
 public:
  void onChanged(const std::shared_ptr<OSPermissionState>& state) override {
    std::lock_guard lock(mutex_);
    seen_.push_back(std::string("accepted=") + (state->accepted() ? "1" : "0") +
                    " answered=" + (state->answeredPrompt() ? "1" : "0") +
                    " provisional=" + (state->provisional() ? "1" : "0"));
  }
  std::vector<std::string> seen() {
    std::lock_guard lock(mutex_);
    return seen_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> seen_;
};

class AdaptersTest : public ::testing::Test {
 protected:
  // Registration work a prompt's answer started must end before the platform goes.
  static void drainRegistration() {
    if (auto queue = RerAviror::getRegisterQueue()) queue->sync([] {});
  }
  void launch(std::string version) {
    drainRegistration();
    harness_.reset();
    RerAviror::clearStatics();
    nlohmann::json profile = {{"system_version", version}};
    if (std::stod(version) < 10.0) profile["frameworks"] = nlohmann::json::array({"WebKit"});
    harness_ = std::make_unique<testing::Harness>(testing::HarnessOptions{.profile = profile});
    platform::sim::AppImage image;
    image.delegate_class = "AdapterTestDelegate";
    image.register_classes = [] {
      rt::ClassBuilder<ui::Responder>("AdapterTestDelegate", "UIResponder").define();
    };
    // The adapters under test are made by hand; the facade's own stays out of the way.
    RerAviror::setOsNotificationSettings(std::make_shared<test::PassiveAdapter>());
    app_ = &harness_->boot_app(image);
    centre_ = std::make_unique<ScriptedCentre>();
    if (notify::Center::current()) centre_->install();
  }
  // clearStatics lets queued registration work end first.
  void TearDown() override { RerAviror::clearStatics(); }

  template <class T>
  T await(std::future<T> future) {
    EXPECT_TRUE(harness_->run_until(
        [&] { return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    return future.get();
  }
  std::shared_ptr<OSPermissionState> query(RerAvirorNotificationSettings& adapter) {
    auto answered = std::make_shared<std::promise<std::shared_ptr<OSPermissionState>>>();
    adapter.getNotificationPermissionState([answered](auto state) { answered->set_value(state); });
    return await(answered->get_future());
  }

  std::unique_ptr<ScriptedCentre> centre_;
  std::unique_ptr<testing::Harness> harness_;
  ui::Application* app_ = nullptr;
  std::thread::id mainThread_ = std::this_thread::get_id();
};

TEST_F(AdaptersTest, TheAdapterIsPickedByTheOsVersion) {
  const struct {
    const char* version;
    const char* kind;
  } rows[] = {{"13.5", "10"}, {"10.0", "10"}, {"9.3", "8"}, {"8.0", "8"}, {"7.1", "7"}};
  for (const auto& row : rows) {
    launch(row.version);
    auto adapter = makeNotificationSettingsAdapter();
    const char* kind = dynamic_cast<RerAvirorNotificationSettingsIOS10*>(adapter.get())  ? "10"
                       : dynamic_cast<RerAvirorNotificationSettingsIOS8*>(adapter.get()) ? "8"
                       : dynamic_cast<RerAvirorNotificationSettingsIOS7*>(adapter.get()) ? "7"
                                                                                         : "?";
    EXPECT_STREQ(kind, row.kind) << row.version;
  }
}

TEST_F(AdaptersTest, TheCentresAnswerFillsTheCurrentStateByTheStatusTable) {
  const struct Row {
    const char* version;
    notify::Settings settings;
    bool answered, provisional, accepted;
    std::int32_t types;
    std::int64_t status;
  } rows[] = {
      {"13.5", {A::provisional, S::disabled, S::disabled, S::disabled, S::disabled}, false, true, false, 64, 3},
      {"11.4", {A::provisional, S::disabled, S::disabled, S::disabled, S::disabled}, false, true, false, 0, 3},
      {"13.5", {A::provisional, S::enabled, S::disabled, S::disabled, S::disabled}, false, true, false, 1, 3},
      {"13.5", {A::denied, S::disabled, S::disabled, S::disabled, S::disabled}, true, false, false, 0, 1},
      {"13.5", {A::authorized, S::enabled, S::enabled, S::enabled, S::enabled}, true, false, true, 15, 2},
      {"13.5", {A::authorized, S::enabled, S::disabled, S::enabled, S::not_supported}, true, false, true, 5, 2},
      {"13.5", {A::not_determined}, false, false, false, 0, 0},
  };
  for (const Row& row : rows) {
    launch(row.version);
    centre_->settings = row.settings;
    RerAvirorNotificationSettingsIOS10 adapter;
    auto state = query(adapter);
    const std::string name = std::string(row.version) + " status " + std::to_string(row.status);
    EXPECT_EQ(state, RerAviror::currentPermissionState()) << name;
    EXPECT_EQ(state->answeredPrompt(), row.answered) << name;
    EXPECT_EQ(state->provisional(), row.provisional) << name;
    EXPECT_EQ(state->accepted(), row.accepted) << name;
    EXPECT_EQ(state->notificationTypes(), row.types) << name;
    EXPECT_EQ(state->status(), row.status) << name;
    EXPECT_EQ(adapter.getNotificationTypes(), row.types) << name;
  }
}

TEST_F(AdaptersTest, ALateAnswerFillsTheStateTheSynchronousQueryAlreadyReturned) {
  launch("13.5");
  centre_->settings = {A::authorized, S::enabled, S::enabled, S::enabled, S::enabled};
  centre_->hold = true;
  RerAvirorNotificationSettingsIOS10 adapter;
  auto state = adapter.getNotificationPermissionState();  // gives up after 100 ms
  EXPECT_EQ(state, RerAviror::currentPermissionState());
  EXPECT_FALSE(state->accepted());
  EXPECT_EQ(state->notificationTypes(), 0);
  centre_->release();
  ASSERT_TRUE(harness_->run_until([&] { return state->accepted(); }));
  EXPECT_EQ(state->notificationTypes(), 15);
  EXPECT_EQ(RerAviror::currentPermissionState(), state);
}

TEST_F(AdaptersTest, ASynchronousQueryOnTheAdaptersOwnQueueAnswersTheDefaultStateAtOnce) {
  launch("13.5");
  centre_->settings = {A::authorized, S::enabled, S::enabled, S::enabled, S::enabled};
  centre_->hold = true;  // a query that reached the centre would find no answer
  RerAvirorNotificationSettingsIOS10 adapter;
  std::shared_ptr<OSPermissionState> answer;
  // Waiting here for the queue's own work would never end: the answer comes without it.
  RerAvirorNotificationSettingsIOS10::getQueue().sync([&] { answer = adapter.getNotificationPermissionState(); });
  RerAvirorNotificationSettingsIOS10::getQueue().sync([] {});
  EXPECT_EQ(answer, RerAviror::currentPermissionState());
  EXPECT_EQ(answer, adapter.defaultPermissionState());
  EXPECT_EQ(answer->notificationTypes(), 0);
  EXPECT_FALSE(answer->accepted());
  EXPECT_EQ(centre_->settingsQueries, 0);  // nothing was left queued to ask it later either
}

TEST_F(AdaptersTest, AQueryFromInsideTheAnswerIsAnsweredAtOnceWithoutAskingTheCentre) {
  launch("13.5");
  centre_->settings = {A::authorized, S::enabled, S::enabled, S::enabled, S::enabled};
  RerAvirorNotificationSettingsIOS10 adapter;
  auto inner = std::make_shared<std::promise<std::pair<bool, bool>>>();
  adapter.getNotificationPermissionState([&adapter, inner](std::shared_ptr<OSPermissionState> outer) {
    auto synchronous = adapter.getNotificationPermissionState();
    bool blockAnsweredInline = false;
    adapter.getNotificationPermissionState([&](auto state) { blockAnsweredInline = state == outer; });
    inner->set_value({synchronous == outer, blockAnsweredInline});
  });
  EXPECT_EQ(await(inner->get_future()), std::make_pair(true, true));
  EXPECT_EQ(centre_->settingsQueries, 1);
  EXPECT_FALSE(adapter.useCachedStatus());
}

TEST_F(AdaptersTest, ThePromptAsksForSevenAndAppliesTheAnswerOnTheMainThread) {
  for (bool grant : {true, false}) {
    launch("13.5");
    centre_->grant = grant;
    RerAvirorNotificationSettingsIOS10 adapter;
    auto recorder = std::make_shared<AdaptersRecorder>();
    auto state = RerAviror::currentPermissionState();
    state->setProvisional(true);
    state->observable()->addObserver(recorder);
    auto answered = std::make_shared<std::promise<bool>>();
    bool onMain = false;
    adapter.promptForNotifications([&, answered](bool accepted) {
      onMain = std::this_thread::get_id() == mainThread_;
      answered->set_value(accepted);
    });
    EXPECT_EQ(await(answered->get_future()), grant);
    EXPECT_TRUE(onMain);
    EXPECT_EQ(centre_->requested, std::vector<std::uint32_t>{7});
    EXPECT_FALSE(state->provisional());
    EXPECT_EQ(state->accepted(), grant);
    EXPECT_TRUE(state->answeredPrompt());
    const std::vector<std::string> expected =
        grant ? std::vector<std::string>{"accepted=0 answered=0 provisional=0", "accepted=1 answered=1 provisional=0"}
              : std::vector<std::string>{"accepted=0 answered=0 provisional=0", "accepted=0 answered=1 provisional=0"};
    EXPECT_EQ(recorder->seen(), expected);
  }
}

TEST_F(AdaptersTest, ThePromptAddsTheOwnSettingsOptionWhenTheAppProvidesThem) {
  launch("13.5");
  RerAviror::initWithLaunchOptions(std::nullopt, std::string("b2f7f966-d8cc-11e4-bed1-df8f05be55ba"), nullptr, nullptr,
                                   platform::foundation::Dict{{std::string(kOSSettingsKeyAutoPrompt), false},
                                                              {std::string(kOSSettingsKeyProvidesAppNotificationSettings),
                                                               true}});
  ASSERT_TRUE(RerAviror::providesAppNotificationSettings());
  RerAvirorNotificationSettingsIOS10 adapter;
  auto answered = std::make_shared<std::promise<bool>>();
  adapter.promptForNotifications([answered](bool accepted) { answered->set_value(accepted); });
  EXPECT_TRUE(await(answered->get_future()));
  EXPECT_EQ(centre_->requested, std::vector<std::uint32_t>{39});
}

TEST_F(AdaptersTest, ProvisionalAuthorisationIsAskedOnlyWhenUndecidedFromTwelveOn) {
  const struct Row {
    const char* version;
    notify::Settings settings;
    bool grant;
    std::vector<std::uint32_t> requested;
    std::optional<bool> block;
    bool provisional;
  } rows[] = {
      {"13.5", {A::not_determined}, true, {64}, true, true},
      {"13.5", {A::not_determined}, false, {64}, false, false},
      {"13.5", {A::denied}, true, {}, true, false},
      {"13.5", {A::authorized, S::enabled, S::enabled, S::enabled}, true, {}, true, false},
      {"11.4", {A::not_determined}, true, {}, std::nullopt, false},
  };
  for (const Row& row : rows) {
    launch(row.version);
    centre_->settings = row.settings;
    centre_->grant = row.grant;
    RerAvirorNotificationSettingsIOS10 adapter;
    std::optional<bool> block;
    adapter.registerForProvisionalAuthorization([&](bool accepted) { block = accepted; });
    if (row.block) harness_->run_until([&] { return block.has_value(); });
    platform::dispatch::RunLoop::main().run_pending();
    EXPECT_EQ(block, row.block) << row.version;
    EXPECT_EQ(centre_->requested, row.requested) << row.version;
    EXPECT_EQ(RerAviror::currentPermissionState()->provisional(), row.provisional) << row.version;
  }
}

TEST_F(AdaptersTest, TheEightAdapterAnswersThePendingPromptThenTheState) {
  launch("9.3");
  auto adapter = makeNotificationSettingsAdapter();
  auto state = RerAviror::currentPermissionState();
  auto recorder = std::make_shared<AdaptersRecorder>();
  std::vector<std::string> order;
  std::vector<bool> first, second;
  adapter->promptForNotifications([&](bool accepted) { first.push_back(accepted); });
  adapter->promptForNotifications([&](bool accepted) {
    second.push_back(accepted);
    order.push_back(std::string("block answered=") + (state->answeredPrompt() ? "1" : "0"));
  });
  state->observable()->addObserver(recorder);
  adapter->onNotificationPromptResponse(0);
  adapter->onNotificationPromptResponse(7);  // no block pending any more
  EXPECT_TRUE(first.empty());  // replaced before the answer: never called
  EXPECT_EQ(second, std::vector<bool>{false});
  EXPECT_EQ(order, std::vector<std::string>{"block answered=0"});
  EXPECT_EQ(recorder->seen(), (std::vector<std::string>{"accepted=0 answered=1 provisional=0",
                                                        "accepted=1 answered=1 provisional=0"}));
  // The registration was asked with types 7.
  EXPECT_TRUE(harness_->run_until([&] { return app_->current_user_notification_settings().types == 7; }));
  EXPECT_EQ(adapter->getNotificationTypes(), 7);
  auto read = adapter->getNotificationPermissionState();
  EXPECT_EQ(read, state);
  EXPECT_EQ(read->notificationTypes(), 7);
  EXPECT_TRUE(read->accepted());
}

TEST_F(AdaptersTest, TheSevenAdapterFollowsTheTokenAnswer) {
  launch("7.1");
  auto adapter = makeNotificationSettingsAdapter();
  auto state = RerAviror::currentPermissionState();
  // A token failure before any prompt: answered, not accepted, no block.
  adapter->onAPNsResponse(false);
  EXPECT_TRUE(state->answeredPrompt());
  EXPECT_FALSE(state->accepted());

  std::vector<bool> answers;
  adapter->promptForNotifications([&](bool accepted) { answers.push_back(accepted); });
  EXPECT_TRUE(RerAviror::waitingForApnsResponse());
  EXPECT_TRUE(platform::os::UserDefaults::standard().boolean("GT_REGISTERED_WITH_APPLE"));
  adapter->onAPNsResponse(true);
  adapter->onAPNsResponse(true);
  EXPECT_EQ(answers, std::vector<bool>{true});
  EXPECT_TRUE(state->accepted());

  auto& defaults = platform::os::UserDefaults::standard();
  defaults.set("GT_DEVICE_TOKEN", std::optional<platform::foundation::Value>(std::in_place, "a1b2"));
  EXPECT_EQ(adapter->getNotificationPermissionState()->notificationTypes(), 7);
  defaults.remove("GT_DEVICE_TOKEN");
  auto read = adapter->getNotificationPermissionState();
  EXPECT_EQ(read->notificationTypes(), 0);
  EXPECT_FALSE(read->accepted());
}

}  // namespace
