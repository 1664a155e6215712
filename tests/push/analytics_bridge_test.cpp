#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/os/preferences.h"
#include "platform/runtime/runtime.h"
#include "platform/testing/manual_clock.h"
#include "platform/testing/reset.h"
#include "platform/testing/temp_device.h"
#include "push/analytics_bridge.h"
#include "push/extension_handlers.h"
#include "push/notification.h"
#include "push/notification_dispatch.h"
#include "push/payload.h"
#include "push/reraviror.h"

namespace {

namespace rt = platform::rt;
using namespace push;
using platform::foundation::Dict;
using platform::foundation::Value;
using namespace std::chrono_literals;

struct Event {
  std::string name;
  Dict parameters;
};

class AnalyticsBridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto booted = device_.boot();
    ASSERT_TRUE(booted) << booted.error().description();
    clock_ = platform::testing::ManualClock::install();
  }
  void TearDown() override {
    RerAviror::resetProcessingStatics();
    RerAviror::clearStatics();
    platform::testing::reset();
  }

  // Registers the analytics class, recording what it is sent.
  void registerAnalyticsClass() {
    rt::ClassBuilder<rt::Object>(std::string(kAnalyticsClassName), "NSObject")
        .class_method(kLogEventWithNameParameters,
                      [this](rt::Class&, std::string name, Dict parameters) {
                        events_.push_back({std::move(name), std::move(parameters)});
                      })
        .define();
  }
  std::shared_ptr<platform::os::UserDefaults> group() {
    return platform::os::UserDefaults::suite(RerAvirorExtensionBadgeHandler::appGroupName());
  }
  static OSNotificationPayload payload(Dict custom, Dict alert = Dict{{"title", "A title"}}) {
    return OSNotificationPayload(Dict{{"aps", Dict{{"alert", alert}}}, {"custom", custom}});
  }
  static std::shared_ptr<OSNotificationOpenedResult> opened(Dict custom) {
    auto p = std::make_shared<OSNotificationPayload>(payload(std::move(custom)));
    return std::make_shared<OSNotificationOpenedResult>(std::make_shared<OSNotification>(p, 0),
                                                        std::make_shared<OSNotificationAction>(0, std::nullopt));
  }
  static Dict params(const std::string& id, const std::string& campaign) {
    return Dict{{"source", "RerAviror"}, {"medium", "notification"}, {"notification_id", id}, {"campaign", campaign}};
  }

  platform::testing::TempDevice device_{"push-analytics"};
  std::shared_ptr<platform::testing::ManualClock> clock_;
  std::vector<Event> events_;
};

TEST_F(AnalyticsBridgeTest, WithoutTheAnalyticsClassNothingIsSent) {
  EXPECT_FALSE(RerAvirorTrackDavidizeAnalytics::needsRemoteParams());
  RerAviror::startAnalyticsBridge();
  RerAvirorTrackDavidizeAnalytics::updateFromDownloadParams(Dict{{"fba", true}});
  RerAvirorTrackDavidizeAnalytics::trackOpenEvent(*opened(Dict{{"i", "n1"}}));
  RerAvirorTrackDavidizeAnalytics::trackReceivedEvent(payload(Dict{{"i", "n1"}}));
  RerAvirorTrackDavidizeAnalytics::trackInfluenceOpenEvent();
  EXPECT_TRUE(events_.empty());
}

TEST_F(AnalyticsBridgeTest, SwitchFollowsThePresenceOfFba) {
  registerAnalyticsClass();
  EXPECT_TRUE(RerAvirorTrackDavidizeAnalytics::needsRemoteParams());
  struct Case {
    Dict params;
    bool enabled;
  };
  const Case cases[] = {
      {Dict{{"fba", true}}, true},
      {Dict{{"fba", false}}, true},  // present counts, whatever the value
      {Dict{{"other", 1}}, false},
      {Dict{{"fba", "no"}}, true},
  };
  for (const auto& c : cases) {
    RerAvirorTrackDavidizeAnalytics::updateFromDownloadParams(c.params);
    EXPECT_EQ(RerAvirorTrackDavidizeAnalytics::eventsEnabled(), c.enabled);
    EXPECT_EQ(group()->object("OS_ENABLE_DAVIDIZE_ANALYTICS"),
              c.enabled ? std::optional<Value>(Value(true)) : std::nullopt);
  }
  // Start-up loads the stored switch.
  group()->set("OS_ENABLE_DAVIDIZE_ANALYTICS", Value(true));
  RerAvirorTrackDavidizeAnalytics::reset();
  RerAviror::startAnalyticsBridge();
  EXPECT_TRUE(RerAvirorTrackDavidizeAnalytics::eventsEnabled());

  RerAvirorTrackDavidizeAnalytics::updateFromDownloadParams(Dict{});
  RerAvirorTrackDavidizeAnalytics::trackOpenEvent(*opened(Dict{{"i", "n1"}}));
  EXPECT_TRUE(events_.empty());
}

TEST_F(AnalyticsBridgeTest, AnAppGroupNamedLikeTheAppIsNoSuiteAndEveryCallDoesNothingThere) {
  // A device whose app names its own bundle identifier as the app group.
  platform::testing::reset();
  platform::testing::TempDevice own("push-analytics-own",
                                    Dict{{"RerAviror_app_groups_key", platform::testing::TempDevice::bundle_identifier}});
  ASSERT_TRUE(own.boot());
  clock_ = platform::testing::ManualClock::install();
  registerAnalyticsClass();
  ASSERT_EQ(group(), nullptr);

  RerAviror::startAnalyticsBridge();  // reads the switch: none
  EXPECT_FALSE(RerAvirorTrackDavidizeAnalytics::eventsEnabled());
  RerAvirorTrackDavidizeAnalytics::updateFromDownloadParams(Dict{{"fba", true}});
  EXPECT_TRUE(RerAvirorTrackDavidizeAnalytics::eventsEnabled());  // the process still follows the answer
  RerAvirorTrackDavidizeAnalytics::trackReceivedEvent(payload(Dict{{"i", "n1"}}));
  RerAvirorTrackDavidizeAnalytics::trackInfluenceOpenEvent();  // nothing stored to read back
  RerAvirorTrackDavidizeAnalytics::trackOpenEvent(*opened(Dict{{"i", "n1"}}));
  RerAvirorTrackDavidizeAnalytics::updateFromDownloadParams(Dict{});
  std::vector<std::string> names;
  for (const auto& e : events_) names.push_back(e.name);
  EXPECT_EQ(names, (std::vector<std::string>{"os_notification_received", "os_notification_opened"}));
  // Nothing reached the app's own defaults either.
  auto& standard = platform::os::UserDefaults::standard();
  for (const char* key : {"OS_ENABLE_DAVIDIZE_ANALYTICS", "OS_LAST_RECIEVED_TIME", "OS_LAST_RECIEVED_NOTIFICATION_ID"})
    EXPECT_FALSE(standard.object(key)) << key;
  platform::testing::reset();
}

TEST_F(AnalyticsBridgeTest, CampaignName) {
  struct Case {
    const char* name;
    Dict custom;
    Dict alert;
    std::string campaign;
  };
  const Case cases[] = {
      {"template", Dict{{"i", "n"}, {"tn", "Spring"}, {"ti", "t-1"}}, Dict{{"title", "ignored"}}, "Spring - t-1"},
      {"long title", Dict{{"i", "n"}}, Dict{{"title", "A title of 25 characters."}}, "A title of"},
      {"short title", Dict{{"i", "n"}}, Dict{{"title", "Hi"}}, "Hi"},
      {"template name only", Dict{{"i", "n"}, {"tn", "Spring"}}, Dict{{"title", "Fallback title"}}, "Fallback t"},
      {"no title", Dict{{"i", "n"}}, Dict{{"body", "b"}}, ""},
      // Ten characters, not ten bytes: multi-byte text is never split.
      {"accented title", Dict{{"i", "n"}}, Dict{{"title", "Éléphants à l'école"}}, "Éléphants "},
      {"emoji title", Dict{{"i", "n"}}, Dict{{"title", "🎉🎉🎉🎉🎉🎉🎉🎉🎉🎉🎉"}}, "🎉🎉🎉🎉🎉🎉🎉🎉🎉🎉"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(RerAvirorTrackDavidizeAnalytics::getCampaignNameFromPayload(payload(c.custom, c.alert)), c.campaign)
        << c.name;
}

TEST_F(AnalyticsBridgeTest, OpenedAndReceivedEvents) {
  registerAnalyticsClass();
  RerAvirorTrackDavidizeAnalytics::updateFromDownloadParams(Dict{{"fba", true}});

  RerAvirorTrackDavidizeAnalytics::trackOpenEvent(*opened(Dict{{"i", "n1"}}));
  ASSERT_EQ(events_.size(), 1u);
  EXPECT_EQ(events_[0].name, "os_notification_opened");
  EXPECT_EQ(events_[0].parameters, params("n1", "A title"));

  RerAvirorTrackDavidizeAnalytics::trackReceivedEvent(payload(Dict{{"i", "n2"}}, Dict{{"body", "b"}}));
  ASSERT_EQ(events_.size(), 2u);
  EXPECT_EQ(events_[1].name, "os_notification_received");
  EXPECT_EQ(events_[1].parameters, params("n2", ""));  // a missing campaign is ""
  EXPECT_EQ(group()->string("OS_LAST_RECIEVED_NOTIFICATION_ID"), "n2");
  EXPECT_EQ(group()->string("OS_LAST_RECIEVED_GAF_CAMPAIGN"), "");
  EXPECT_EQ(group()->real("OS_LAST_RECIEVED_TIME"), platform::testing::ManualClock::kDefaultStartSince1970);

  // No id, no event.
  RerAvirorTrackDavidizeAnalytics::trackOpenEvent(*opened(Dict{{"u", "https://example.org"}}));
  RerAvirorTrackDavidizeAnalytics::trackReceivedEvent(payload(Dict{}));
  EXPECT_EQ(events_.size(), 2u);
}

TEST_F(AnalyticsBridgeTest, OpenedEventComesWithTheOpenedBlockRoad) {
  registerAnalyticsClass();
  RerAvirorTrackDavidizeAnalytics::updateFromDownloadParams(Dict{{"fba", true}});
  // No opened-block set: the event is still logged, once per id.
  lastMessageReceived(Dict{{"aps", Dict{{"alert", "x"}}}, {"custom", Dict{{"i", "road"}}}});
  handleNotificationAction(0, std::nullopt, 2);
  handleNotificationAction(0, std::nullopt, 2);
  ASSERT_EQ(events_.size(), 1u);
  EXPECT_EQ(events_[0].parameters, params("road", ""));
}

TEST_F(AnalyticsBridgeTest, InfluencedOpenWindow) {
  registerAnalyticsClass();
  RerAvirorTrackDavidizeAnalytics::updateFromDownloadParams(Dict{{"fba", true}});
  // Nothing received yet.
  RerAvirorTrackDavidizeAnalytics::trackInfluenceOpenEvent();
  EXPECT_TRUE(events_.empty());

  struct Case {
    std::chrono::seconds sinceReceived;
    bool sent;
  };
  const Case cases[] = {{60s, true}, {120s, true}, {121s, false}};
  for (const auto& c : cases) {
    RerAvirorTrackDavidizeAnalytics::reset();
    RerAvirorTrackDavidizeAnalytics::updateFromDownloadParams(Dict{{"fba", true}});
    events_.clear();
    RerAvirorTrackDavidizeAnalytics::trackReceivedEvent(payload(Dict{{"i", "inf"}}, Dict{{"title", "Influence"}}));
    clock_->advance(c.sinceReceived);
    RerAvirorTrackDavidizeAnalytics::trackInfluenceOpenEvent();
    ASSERT_EQ(events_.size(), c.sent ? 2u : 1u) << c.sinceReceived.count();
    if (c.sent) {
      EXPECT_EQ(events_[1].name, "os_notification_influence_open");
      EXPECT_EQ(events_[1].parameters, params("inf", "Influence"));
    }
  }

  // Within 30 s of a reported open: none; at 30 s: one.
  events_.clear();
  RerAvirorTrackDavidizeAnalytics::trackReceivedEvent(payload(Dict{{"i", "inf2"}}));
  RerAvirorTrackDavidizeAnalytics::trackOpenEvent(*opened(Dict{{"i", "inf2"}}));
  clock_->advance(29s);
  RerAvirorTrackDavidizeAnalytics::trackInfluenceOpenEvent();
  EXPECT_EQ(events_.size(), 2u);
  clock_->advance(1s);
  RerAvirorTrackDavidizeAnalytics::trackInfluenceOpenEvent();
  EXPECT_EQ(events_.size(), 3u);
}

}  // namespace
