#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>

#include "platform/foundation/json.h"
#include "platform/runtime/runtime.h"
#include "platform/sim/app_image.h"
#include "platform/ui/application.h"
#include "platform/ui/selectors.h"
#include "platform/ui/view_controller.h"
#include "push/notification.h"
#include "push/notification_dispatch.h"
#include "push/reraviror.h"
#include "testing/harness/harness.h"

namespace {

namespace ui = platform::ui;
namespace rt = platform::rt;
namespace json = platform::foundation::json;
using namespace push;
using platform::foundation::Array;
using platform::foundation::Dict;
using platform::foundation::Value;

class NotificationTestDelegate : public ui::Responder {
 public:
  explicit NotificationTestDelegate(rt::Class& cls) : ui::Responder(cls) {}
  bool did_finish(rt::Id, Dict) { return true; }
};

platform::sim::AppImage notification_image() {
  platform::sim::AppImage image;
  image.delegate_class = "PushNotificationTestDelegate";
  image.register_classes = [] {
    rt::ClassBuilder<NotificationTestDelegate>("PushNotificationTestDelegate", "UIResponder")
        .method(ui::sel::did_finish_launching, &NotificationTestDelegate::did_finish)
        .define();
  };
  return image;
}

std::set<std::string> keysOf(const Value& v) {
  std::set<std::string> keys;
  if (const Dict* d = v.dict())
    for (const auto& [k, _] : *d) keys.insert(k);
  return keys;
}

Value parse(const std::string& text) {
  auto parsed = json::parse(text);
  EXPECT_TRUE(parsed) << text;
  return parsed ? *parsed : Value();
}

class NotificationTest : public ::testing::Test {
 protected:
  NotificationTest() { app_ = &harness_.boot_app(notification_image()); }
  ~NotificationTest() override { RerAviror::clearStatics(); }

  std::shared_ptr<OSNotification> make(Dict raw, OSInFocusDisplayMode mode) {
    return std::make_shared<OSNotification>(OSNotificationPayload::parseWithApns(raw), mode);
  }

  testing::Harness harness_;
  ui::Application* app_ = nullptr;
};

const Dict kVisible{{"aps", Dict{{"alert", "Hi"}}}, {"custom", Dict{{"i", "n1"}}}};
const Dict kSilent{{"aps", Dict{{"content-available", 1}}}, {"custom", Dict{{"i", "n2"}}}};

TEST_F(NotificationTest, ShownFollowsSilenceFocusAndTheFacadeMode) {
  ASSERT_EQ(app_->state(), ui::ApplicationState::active);
  struct Case {
    Dict raw;
    std::int64_t facadeMode;
    OSInFocusDisplayMode passed;
    bool shown, silent;
  };
  const Case cases[] = {
      {kVisible, 0, 2, false, false},  // in focus with mode none: not shown, whatever is passed
      {kVisible, 1, 0, true, false},
      {kVisible, 2, 0, true, false},
      {kSilent, 2, 2, false, true},
  };
  for (const auto& c : cases) {
    RerAviror::setInFocusDisplayType(c.facadeMode);
    auto n = make(c.raw, c.passed);
    EXPECT_TRUE(n->wasAppInFocus());
    EXPECT_EQ(n->wasShown(), c.shown) << c.facadeMode;
    EXPECT_EQ(n->isSilentNotification(), c.silent);
    EXPECT_EQ(n->displayType(), c.passed);
  }

  ASSERT_TRUE(harness_.device().background().ok);
  RerAviror::setInFocusDisplayType(0);
  EXPECT_FALSE(make(kVisible, 0)->wasAppInFocus());
  EXPECT_TRUE(make(kVisible, 0)->wasShown());
  EXPECT_FALSE(make(kSilent, 0)->wasShown());  // silent is never shown
}

TEST_F(NotificationTest, MutableContentNeedsTheValueOne) {
  struct Case {
    Value value;
    bool mutableContent;
  };
  const Case cases[] = {{1, true}, {1.0, true}, {0, false}, {"1", false}, {2, false}};
  for (const auto& c : cases) {
    auto n = make(Dict{{"aps", Dict{{"alert", "x"}, {"mutable-content", c.value}}}, {"custom", Dict{{"i", "m"}}}}, 0);
    EXPECT_EQ(n->hasMutableContent(), c.mutableContent) << platform::foundation::describe(c.value);
    EXPECT_TRUE(n->payload()->mutableContent());  // the payload only asks for the key
  }
}

TEST_F(NotificationTest, StringifyWritesPresentKeysOnly) {
  RerAviror::setInFocusDisplayType(2);
  const Dict full{{"aps", Dict{{"alert", Dict{{"title", "T"}, {"subtitle", "S"}, {"body", "B"}}}, {"badge", 3},
                               {"sound", "ding"}, {"content-available", 1}}},
                  {"custom", Dict{{"i", "id/with?chars"}, {"u", "https://example.org"}, {"a", Dict{{"k", "v"}}}}},
                  {"buttons", Array{Dict{{"n", "Yes"}, {"i", "y"}}}}};
  Value v = parse(make(full, 2)->stringify());
  EXPECT_EQ(keysOf(v), (std::set<std::string>{"payload", "displayType", "shown", "isAppInFocus"}));
  EXPECT_EQ(keysOf(v["payload"]),
            (std::set<std::string>{"notificationID", "sound", "title", "body", "subtitle", "additionalData",
                                   "actionButtons", "rawPayload", "launchURL", "contentAvailable", "badge"}));
  EXPECT_EQ(v["payload"]["notificationID"], Value("id/with?chars"));
  EXPECT_EQ(v["payload"]["badge"], Value(3));
  EXPECT_EQ(v["payload"]["contentAvailable"], Value(true));
  EXPECT_EQ(v["payload"]["rawPayload"], Value(full));
  EXPECT_EQ(v["displayType"], Value(2));
  EXPECT_EQ(v["shown"], Value(true));

  // No badge, title or sound: those keys are left out; shown and isAppInFocus stay.
  const Dict bare{{"aps", Dict{{"content-available", 0}}}, {"custom", Dict{{"i", "b"}}}};
  Value b = parse(make(bare, 0)->stringify());
  EXPECT_EQ(keysOf(b), (std::set<std::string>{"payload", "shown", "isAppInFocus", "silentNotification"}));
  EXPECT_EQ(keysOf(b["payload"]),
            (std::set<std::string>{"notificationID", "actionButtons", "rawPayload", "contentAvailable"}));
  EXPECT_EQ(b["shown"], Value(false));
  EXPECT_EQ(b["silentNotification"], Value(true));
}

TEST_F(NotificationTest, OpenedResultStringify) {
  RerAviror::setInFocusDisplayType(2);
  auto n = make(kVisible, 2);
  const Value notification = parse(n->stringify());

  Value plain = parse(OSNotificationOpenedResult(n, std::make_shared<OSNotificationAction>(0, std::nullopt)).stringify());
  EXPECT_EQ(keysOf(plain), (std::set<std::string>{"action", "notification"}));
  EXPECT_EQ(plain["action"], Value(Dict{}));  // no "type" for a plain open
  EXPECT_EQ(plain["notification"], notification);

  Value button = parse(OSNotificationOpenedResult(n, std::make_shared<OSNotificationAction>(1, "y")).stringify());
  EXPECT_EQ(button["action"], Value(Dict{{"actionID", "y"}, {"type", 1}}));
}

// The media download task: ended by its owner, or by its own expiry handler.
TEST_F(NotificationTest, MediaBackgroundTask) {
  EXPECT_EQ(mediaBackgroundTask(), ui::background_task_invalid);
  beginBackgroundMediaTask();
  EXPECT_NE(mediaBackgroundTask(), ui::background_task_invalid);
  EXPECT_EQ(app_->active_background_tasks(), 1u);
  endBackgroundMediaTask();
  EXPECT_EQ(mediaBackgroundTask(), ui::background_task_invalid);
  EXPECT_EQ(app_->active_background_tasks(), 0u);

  // Overlapping users share one task, ended when the last is done.
  beginBackgroundMediaTask();
  beginBackgroundMediaTask();
  EXPECT_EQ(app_->active_background_tasks(), 1u);
  endBackgroundMediaTask();
  EXPECT_EQ(app_->active_background_tasks(), 1u);
  endBackgroundMediaTask();
  EXPECT_EQ(app_->active_background_tasks(), 0u);
  endBackgroundMediaTask();  // one end too many changes nothing
  EXPECT_EQ(app_->active_background_tasks(), 0u);

  beginBackgroundMediaTask();
  beginBackgroundMediaTask();
  ASSERT_TRUE(harness_.device().background());
  ASSERT_TRUE(harness_.device().expire_background_tasks());
  EXPECT_EQ(mediaBackgroundTask(), ui::background_task_invalid);
  EXPECT_EQ(app_->active_background_tasks(), 0u);
  resetDispatchStatics();
}

}  // namespace
