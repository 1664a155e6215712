#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <string>

#include "platform/foundation/plist.h"
#include "platform/os/bundle.h"
#include "platform/os/preferences.h"
#include "platform/os/system.h"
#include "platform/testing/reset.h"
#include "platform/testing/temp_device.h"
#include "platform/notify/center.h"
#include "push/analytics_bridge.h"
#include "push/extension_handlers.h"
#include "push/notification_builder.h"
#include "push/payload.h"
#include "testing/harness/harness.h"

namespace {

namespace fs = std::filesystem;
namespace foundation = platform::foundation;
namespace os = platform::os;
using platform::testing::TempDevice;
using push::RerAvirorExtensionBadgeHandler;

constexpr const char* kDefaultGroup = "group.org.example.intranet.reraviror";

// An extension bundle inside the temporary app: App.app/PlugIns/Service.appex.
fs::path makeExtension(const TempDevice& device) {
  fs::path appex = device.bundle() / "PlugIns" / "Service.appex";
  fs::create_directories(appex);
  foundation::Dict info{{"CFBundleIdentifier", "org.example.intranet.service"}, {"CFBundleExecutable", "Service"}};
  EXPECT_TRUE(foundation::plist::write_file_atomically(foundation::Value(info), appex / "Info.plist"));
  return appex;
}

TEST(AppGroupTest, NameFromInfoPlistIsTrimmedOfSpacesAndTabs) {
  struct Case {
    const char* configured;
    const char* expected;
  };
  const Case cases[] = {
      {"group.custom ", "group.custom"},
      {"\t group.custom\t", "group.custom"},
      {"group. inner space", "group. inner space"},
  };
  for (const Case& c : cases) {
    TempDevice device("push-group", {{"RerAviror_app_groups_key", c.configured}});
    ASSERT_TRUE(device.boot());
    EXPECT_EQ(RerAvirorExtensionBadgeHandler::appGroupName(), c.expected) << c.configured;
  }
}

TEST(AppGroupTest, DefaultNameIsTheSameInTheAppAndItsExtension) {
  TempDevice device("push-group");
  fs::path appex = makeExtension(device);
  ASSERT_TRUE(device.boot());
  EXPECT_EQ(RerAvirorExtensionBadgeHandler::primaryBundleIdentifier(), "org.example.intranet");
  EXPECT_EQ(RerAvirorExtensionBadgeHandler::appGroupName(), kDefaultGroup);
  RerAvirorExtensionBadgeHandler::updateCachedBadgeValue(4);
  platform::testing::reset();

  ASSERT_TRUE(os::boot(device.device(), appex));
  ASSERT_EQ(os::Bundle::main().identifier(), "org.example.intranet.service");
  EXPECT_EQ(RerAvirorExtensionBadgeHandler::primaryBundleIdentifier(), "org.example.intranet");
  EXPECT_EQ(RerAvirorExtensionBadgeHandler::appGroupName(), kDefaultGroup);
  // The extension reads the count the app stored.
  EXPECT_EQ(RerAvirorExtensionBadgeHandler::currentCachedBadgeValue(), 4);
}

TEST(AppGroupTest, WrongTypedInfoKeyCountsAsAbsent) {
  TempDevice device("push-group", {{"RerAviror_app_groups_key", 7}});
  ASSERT_TRUE(device.boot());
  EXPECT_EQ(RerAvirorExtensionBadgeHandler::appGroupName(), kDefaultGroup);
}

TEST(BadgeCacheTest, CountIsKeptInTheAppGroupFile) {
  TempDevice device("push-badge");
  ASSERT_TRUE(device.boot());
  EXPECT_EQ(RerAvirorExtensionBadgeHandler::currentCachedBadgeValue(), 0);
  RerAvirorExtensionBadgeHandler::updateCachedBadgeValue(9);
  EXPECT_EQ(RerAvirorExtensionBadgeHandler::currentCachedBadgeValue(), 9);

  // Written at once to the group container, not to the app's own defaults.
  fs::path file = os::Preferences::shared().file_for_domain(kDefaultGroup);
  ASSERT_TRUE(fs::exists(file)) << file;
  auto stored = foundation::plist::read_file(file);
  ASSERT_TRUE(stored);
  EXPECT_EQ((*stored)["reravirorBadgeCount"].as_int(), 9);
  EXPECT_FALSE(os::UserDefaults::standard().object("reravirorBadgeCount"));
}

namespace notify = platform::notify;
using foundation::Array;
using foundation::Dict;

std::shared_ptr<push::OSNotificationPayload> badgePayload(std::optional<std::int64_t> badge,
                                                          std::optional<std::int64_t> increment) {
  Dict aps{{"alert", "hi"}};
  if (badge) aps.set("badge", *badge);
  Dict custom{{"i", "n-1"}};
  if (increment) custom.set("badge_inc", *increment);
  return push::OSNotificationPayload::parseWithApns(Dict{{"aps", aps}, {"custom", custom}});
}

TEST(BadgeCountTest, IncrementsBadgesAndTheStoredCount) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
  struct Case {
    const char* name;
    std::optional<std::int64_t> stored, badge, increment;
    std::optional<std::int64_t> delivered;  // the content's badge as it came
    std::int64_t expectStored;
    std::optional<std::int64_t> expectContent;
  };
  const Case cases[] = {
      {"3 + 2", 3, std::nullopt, 2, std::nullopt, 5, 5},
      {"1 - 4", 1, std::nullopt, -4, 9, 0, 0},
      {"nothing stored + 1", std::nullopt, std::nullopt, 1, std::nullopt, 1, 1},
      {"clamped at the top", kMax, std::nullopt, 1, std::nullopt, kMax, kMax},
      {"far below", -kMax, std::nullopt, -kMax, std::nullopt, 0, 0},
      {"badge only", 2, 7, std::nullopt, 9, 7, 9},
      {"both: increment wins", 3, 7, 2, 9, 5, 5},
      {"badge 0 keeps the count", 4, 0, std::nullopt, std::nullopt, 4, std::nullopt},
  };
  for (const Case& c : cases) {
    TempDevice device("push-badge");
    ASSERT_TRUE(device.boot());
    if (c.stored) RerAvirorExtensionBadgeHandler::updateCachedBadgeValue(*c.stored);
    notify::Content content;
    content.badge = c.delivered;
    RerAvirorExtensionBadgeHandler::handleBadgeCountWithNotificationRequest(
        notify::Request{}, *badgePayload(c.badge, c.increment), content);
    EXPECT_EQ(RerAvirorExtensionBadgeHandler::currentCachedBadgeValue(), c.expectStored) << c.name;
    EXPECT_EQ(content.badge, c.expectContent) << c.name;
  }
}

class ServiceExtensionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    harness_ = std::make_unique<testing::Harness>();
    std::ofstream(harness_->bundle_directory() / "banner.png") << "png";
    center_ = notify::Center::current();
    ASSERT_NE(center_, nullptr);
    center_->set_notification_categories({notify::Category{"app", {}, {}, 0}});
    RerAvirorExtensionBadgeHandler::updateCachedBadgeValue(3);
  }

  // A remote request with two buttons, a badge increment and a bundle attachment.
  notify::Request request(std::string category = "") {
    Dict raw{{"aps", Dict{{"alert", "hi"}, {"mutable-content", 1}}},
             {"custom", Dict{{"i", "n-ext"}, {"badge_inc", 2}}},
             {"buttons", Array{Dict{{"i", "a"}, {"n", "A"}}, Dict{{"i", "b"}, {"n", "B"}}}},
             {"att", Dict{{"pic", "banner.png"}}}};
    notify::Request r;
    r.identifier = "remote-1";
    r.content.body = "hi";
    r.content.user_info = raw;
    r.content.category_identifier = std::move(category);
    return r;
  }
  std::optional<notify::Category> dynamicCategory() {
    std::vector<notify::Category> categories = push::RerAvirorHelper::existingCategories().value_or(
        std::vector<notify::Category>{});
    for (const notify::Category& category : categories) {
      if (category.identifier == "__dynamic__") return category;
    }
    return std::nullopt;
  }

  std::unique_ptr<testing::Harness> harness_;
  std::shared_ptr<notify::Center> center_;
};

TEST_F(ServiceExtensionTest, ReceivedRequestGetsBadgeButtonsAndAttachments) {
  notify::Content content =
      push::RerAvirorNotificationServiceExtensionHandler::didReceiveNotificationExtensionRequest(request(), std::nullopt);
  EXPECT_EQ(content.body, "hi");
  EXPECT_EQ(content.badge, 5);
  EXPECT_EQ(RerAvirorExtensionBadgeHandler::currentCachedBadgeValue(), 5);
  EXPECT_EQ(content.category_identifier, "__dynamic__");
  auto dynamic = dynamicCategory();
  ASSERT_TRUE(dynamic);
  ASSERT_EQ(dynamic->actions.size(), 2u);
  EXPECT_EQ(dynamic->actions[0].identifier, "b");
  ASSERT_EQ(content.attachments.size(), 1u);
  EXPECT_EQ(content.attachments[0].identifier, "pic");
  EXPECT_EQ(content.attachments[0].url.last_path_component(), "banner.png");

  // A replacement content given by the extension is the one enriched.
  notify::Content replacement;
  replacement.title = "Replaced";
  notify::Content enriched =
      push::RerAvirorNotificationServiceExtensionHandler::didReceiveNotificationExtensionRequest(request(), replacement);
  EXPECT_EQ(enriched.title, "Replaced");
  EXPECT_EQ(enriched.body, "");
  EXPECT_EQ(enriched.badge, 7);
}

TEST_F(ServiceExtensionTest, OnlyTheReceivedRequestRecordsTheReceivedEvent) {
  using push::RerAvirorTrackDavidizeAnalytics;
  RerAvirorTrackDavidizeAnalytics::updateFromDownloadParams(Dict{{"fba", true}});
  auto group = platform::os::UserDefaults::suite(RerAvirorTrackDavidizeAnalytics::appGroupKey());
  ASSERT_NE(group, nullptr);
  push::RerAvirorNotificationServiceExtensionHandler::serviceExtensionTimeWillExpireRequest(request(), std::nullopt);
  EXPECT_FALSE(group->object("OS_LAST_RECIEVED_NOTIFICATION_ID"));
  push::RerAvirorNotificationServiceExtensionHandler::didReceiveNotificationExtensionRequest(request(), std::nullopt);
  EXPECT_EQ(group->string("OS_LAST_RECIEVED_NOTIFICATION_ID"), "n-ext");
  EXPECT_TRUE(group->object("OS_LAST_RECIEVED_TIME"));
  RerAvirorTrackDavidizeAnalytics::reset();
}

TEST_F(ServiceExtensionTest, SenderCategoryStaysButAttachmentsAreAdded) {
  notify::Content content = push::RerAvirorNotificationServiceExtensionHandler::didReceiveNotificationExtensionRequest(
      request("sender"), std::nullopt);
  EXPECT_EQ(content.category_identifier, "sender");
  EXPECT_FALSE(dynamicCategory());
  EXPECT_EQ(content.attachments.size(), 1u);
  EXPECT_EQ(content.badge, 5);
}

TEST_F(ServiceExtensionTest, TimeRunningOutAddsOnlyTheButtons) {
  notify::Content content =
      push::RerAvirorNotificationServiceExtensionHandler::serviceExtensionTimeWillExpireRequest(request(), std::nullopt);
  EXPECT_EQ(content.category_identifier, "__dynamic__");
  EXPECT_TRUE(dynamicCategory());
  EXPECT_EQ(content.badge, std::nullopt);
  EXPECT_TRUE(content.attachments.empty());
  EXPECT_EQ(RerAvirorExtensionBadgeHandler::currentCachedBadgeValue(), 3);
}

}  // namespace
