#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/runtime/runtime.h"
#include "platform/sim/app_image.h"
#include "platform/ui/application.h"
#include "platform/ui/selectors.h"
#include "platform/ui/view_controller.h"
#include "push/in_app_alert.h"
#include "push/notification.h"
#include "push/notification_builder.h"
#include "push/notification_dispatch.h"
#include "push/reraviror.h"
#include "testing/harness/harness.h"

namespace {

namespace foundation = platform::foundation;
namespace ui = platform::ui;
namespace rt = platform::rt;
using foundation::Array;
using foundation::Dict;
using foundation::Value;
using namespace push;

class InAppAlertTestDelegate : public ui::Responder {
 public:
  explicit InAppAlertTestDelegate(rt::Class& cls) : ui::Responder(cls) {}
  bool did_finish(rt::Id, Dict) { return true; }
};

platform::sim::AppImage in_app_alert_image() {
  platform::sim::AppImage image;
  image.delegate_class = "PushAlertTestDelegate";
  image.register_classes = [] {
    rt::ClassBuilder<InAppAlertTestDelegate>("PushAlertTestDelegate", "UIResponder")
        .method(ui::sel::did_finish_launching, &InAppAlertTestDelegate::did_finish)
        .define();
  };
  image.define_storyboards = [] {
    ui::Storyboard::define("Main", {.initial = [](ui::Storyboard&) { return std::make_shared<ui::ViewController>(); },
                                    .scenes = {}});
  };
  return image;
}

Array buttonList(std::initializer_list<std::pair<const char*, const char*>> entries) {
  Array list;
  for (const auto& [id, text] : entries) {
    Dict button;
    if (id) button.set("i", id);
    if (text) button.set("n", text);
    list.emplace_back(std::move(button));
  }
  return list;
}

struct Opened {
  std::optional<std::string> notificationId;
  OSOpenActionKind type;
  std::optional<std::string> actionId;
  Dict raw;  // the message as processed
};

class InAppAlertTest : public ::testing::Test {
 protected:
  void SetUp() override {
    harness_ = std::make_unique<testing::Harness>();
    app_ = &harness_->boot_app(in_app_alert_image());
    ASSERT_TRUE(RerAviror::initAppId("a7c3e5f1-9b2d-11e4-8f6a-c4d2e1b0a9f8", std::nullopt));
    RerAviror::setInFocusDisplayType(OSNotificationDisplayTypeInAppAlert);
    installPresentation();
    RerAviror::notificationBlocks(
        [this](const std::shared_ptr<OSNotification>& notification) {
          received_.push_back(notification->payload()->notificationID().value_or("?"));
          alertsWhenReceived_.push_back(app_->visible_alert_views().size());
        },
        [this](const std::shared_ptr<OSNotificationOpenedResult>& result) {
          opened_.push_back({result->notification()->payload()->notificationID(), result->action()->type(),
                             result->action()->actionID(), result->notification()->payload()->rawPayload()});
        });
  }

  // Delivers the push in front; returns the alert it put on screen.
  std::shared_ptr<ui::AlertView> deliver(const Dict& userInfo) {
    std::size_t before = app_->visible_alert_views().size();
    RerAviror::notificationReceived(userInfo, true, false);
    auto alerts = app_->visible_alert_views();
    if (alerts.size() != before + 1) return nullptr;
    return alerts.back();
  }
  void tap(const std::shared_ptr<ui::AlertView>& alert, int index) {
    alert->tap(index);
    platform::dispatch::RunLoop::main().run_pending();
  }

  std::unique_ptr<testing::Harness> harness_;
  ui::Application* app_ = nullptr;
  std::vector<std::string> received_;
  std::vector<std::size_t> alertsWhenReceived_;
  std::vector<Opened> opened_;
};

TEST_F(InAppAlertTest, CloseOpensWithoutAnAction) {
  auto alert = deliver(Dict{{"aps", Dict{{"alert", Dict{{"title", "Title"}, {"body", "Body"}}}}},
                            {"custom", Dict{{"i", "n-close"}}}});
  ASSERT_NE(alert, nullptr);
  EXPECT_EQ(alert->title, "Title");
  EXPECT_EQ(alert->message, "Body");
  ASSERT_EQ(alert->number_of_buttons(), 1);
  EXPECT_EQ(alert->button_title(0), "Close");
  EXPECT_EQ(alert->cancel_button_index(), 0);
  // The received-block ran once, with the alert already on screen.
  EXPECT_EQ(received_, std::vector<std::string>{"n-close"});
  EXPECT_EQ(alertsWhenReceived_, std::vector<std::size_t>{1});

  tap(alert, 0);
  ASSERT_EQ(opened_.size(), 1u);
  EXPECT_EQ(opened_[0].notificationId, "n-close");
  EXPECT_EQ(opened_[0].type, OSNotificationActionTypeOpened);
  EXPECT_EQ(opened_[0].actionId, std::nullopt);
  // Close records no action anywhere in the message.
  EXPECT_FALSE(opened_[0].raw.contains("actionSelected"));
  EXPECT_TRUE(opened_[0].raw.get("custom")["a"]["actionSelected"].is_null());
  EXPECT_EQ(received_.size(), 1u);
  EXPECT_TRUE(RerAvirorAlertViewDelegate::pendingAlertDelegates().empty());
}

TEST_F(InAppAlertTest, ButtonsRecordTheirIdForEveryPayloadShape) {
  const Array ab = buttonList({{"a1", "Alpha"}, {"b1", "Beta"}});
  struct Case {
    const char* name;
    Dict userInfo;
    bool topLevel;  // where the tapped id is recorded: the top level, or under custom.a
  };
  const Case cases[] = {
      {"custom with buttons",
       Dict{{"aps", Dict{{"alert", "hi"}}}, {"custom", Dict{{"i", "n-1"}}}, {"buttons", ab}}, true},
      {"os_data buttons as list",
       Dict{{"aps", Dict{{"alert", "hi"}}}, {"os_data", Dict{{"i", "n-2"}, {"buttons", ab}}}}, true},
      {"os_data buttons as dict",
       Dict{{"aps", Dict{{"alert", "hi"}}}, {"os_data", Dict{{"i", "n-3"}, {"buttons", Dict{{"o", ab}}}}}}, true},
      {"custom short form",
       Dict{{"aps", Dict{}}, {"custom", Dict{{"i", "n-4"}}}, {"m", "hi"}, {"o", ab}}, false},
      {"actionButtons in the data",
       Dict{{"aps", Dict{}},
            {"custom", Dict{{"i", "n-5"},
                            {"a", Dict{{"actionButtons", Array{Dict{{"id", "a1"}, {"text", "Alpha"}},
                                                               Dict{{"id", "b1"}, {"text", "Beta"}}}}}}}},
            {"m", "hi"},
            {"o", ab}},
       false},
  };
  for (const Case& c : cases) {
    opened_.clear();
    auto alert = deliver(c.userInfo);
    ASSERT_NE(alert, nullptr) << c.name;
    ASSERT_EQ(alert->number_of_buttons(), 3) << c.name;
    EXPECT_EQ(alert->button_title(1), "Alpha");
    EXPECT_EQ(alert->button_title(2), "Beta");
    tap(alert, 2);
    ASSERT_EQ(opened_.size(), 1u) << c.name;
    EXPECT_EQ(opened_[0].type, OSNotificationActionTypeActionTaken) << c.name;
    EXPECT_EQ(opened_[0].actionId, "b1") << c.name;
    const Dict& raw = opened_[0].raw;
    const Value nested = raw.get("custom")["a"]["actionSelected"];
    EXPECT_EQ(raw.get("actionSelected"), c.topLevel ? Value("b1") : Value()) << c.name;
    EXPECT_EQ(nested, c.topLevel ? Value() : Value("b1")) << c.name;
  }
}

TEST_F(InAppAlertTest, DroppedButtonDoesNotShiftTheIds) {
  // The first entry has no text, so the alert shows only the second.
  auto alert = deliver(Dict{{"aps", Dict{{"alert", "hi"}}},
                            {"os_data", Dict{{"i", "n-drop"}, {"buttons", buttonList({{"x1", nullptr}, {"y1", "Why"}})}}}});
  ASSERT_NE(alert, nullptr);
  ASSERT_EQ(alert->number_of_buttons(), 2);
  EXPECT_EQ(alert->button_title(1), "Why");
  tap(alert, 1);
  ASSERT_EQ(opened_.size(), 1u);
  EXPECT_EQ(opened_[0].actionId, "y1");
}

TEST_F(InAppAlertTest, EachOfTwoAlertsOpensItsOwnNotification) {
  const Array buttons = buttonList({{"go", "Go"}});
  auto first = deliver(Dict{{"aps", Dict{{"alert", "one"}}}, {"custom", Dict{{"i", "n-first"}}}, {"buttons", buttons}});
  auto second =
      deliver(Dict{{"aps", Dict{{"alert", "two"}}}, {"custom", Dict{{"i", "n-second"}}}, {"buttons", buttons}});
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(received_, (std::vector<std::string>{"n-first", "n-second"}));
  EXPECT_EQ(RerAvirorAlertViewDelegate::pendingAlertDelegates().size(), 2u);

  tap(first, 1);
  ASSERT_EQ(opened_.size(), 1u);
  EXPECT_EQ(opened_[0].notificationId, "n-first");
  EXPECT_EQ(opened_[0].actionId, "go");
  EXPECT_EQ(RerAvirorAlertViewDelegate::pendingAlertDelegates().size(), 1u);

  tap(second, 0);
  ASSERT_EQ(opened_.size(), 2u);
  EXPECT_EQ(opened_[1].notificationId, "n-second");
  EXPECT_EQ(opened_[1].type, OSNotificationActionTypeOpened);
  EXPECT_TRUE(RerAvirorAlertViewDelegate::pendingAlertDelegates().empty());
}

}  // namespace
