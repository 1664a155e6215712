#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/notify/types.h"
#include "push/notification_dispatch.h"

namespace {

using namespace push;
using platform::foundation::Array;
using platform::foundation::Dict;

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    notificationBlocks([this](const std::shared_ptr<OSNotification>& n) { received_.push_back(n); },
                       [this](const std::shared_ptr<OSNotificationOpenedResult>& r) { opened_.push_back(r); });
  }
  void TearDown() override { resetDispatchStatics(); }

  std::vector<std::shared_ptr<OSNotification>> received_;
  std::vector<std::shared_ptr<OSNotificationOpenedResult>> opened_;
};

TEST(DispatchTests, ServicePayloadAndSilence) {
  EXPECT_TRUE(isRerAvirorPayload(Dict{{"custom", Dict{{"i", "x"}}}}));
  EXPECT_TRUE(isRerAvirorPayload(Dict{{"os_data", Dict{{"i", "x"}}}}));
  EXPECT_FALSE(isRerAvirorPayload(Dict{{"aps", Dict{{"alert", "x"}}}}));
  EXPECT_FALSE(isRerAvirorPayload(Dict{{"custom", Dict{{"i", 5}}}}));  // an id must be text
  EXPECT_FALSE(isRerAvirorPayload(Dict{{"custom", "i"}}));
  EXPECT_FALSE(isRerAvirorPayload(std::optional<Dict>()));

  struct Case {
    const char* name;
    Dict payload;
    bool silent;
  };
  const Case cases[] = {
      {"content-available only", Dict{{"aps", Dict{{"content-available", 1}}}}, true},
      {"empty title only", Dict{{"title", ""}}, true},
      {"title of the wrong type", Dict{{"title", 7}}, true},
      {"nothing", Dict{}, true},
      {"top-level badge", Dict{{"badge", 1}}, false},
      {"aps badge", Dict{{"aps", Dict{{"badge", 0}}}}, false},
      {"short message", Dict{{"m", "x"}}, false},
      {"short buttons", Dict{{"o", Array{}}}, false},
      {"short sound", Dict{{"s", "x"}}, false},
      {"title", Dict{{"title", "T"}}, false},
      {"top-level sound", Dict{{"sound", "x"}}, false},
      {"aps sound", Dict{{"aps", Dict{{"sound", "x"}}}}, false},
      {"aps alert", Dict{{"aps", Dict{{"alert", "x"}}}}, false},
      {"os_data buttons", Dict{{"os_data", Dict{{"buttons", Array{}}}}}, false},
  };
  for (const auto& c : cases) EXPECT_EQ(isRemoteSilentNotification(c.payload), c.silent) << c.name;
}

TEST(DispatchTests, Normaliser) {
  const std::string kDefault(platform::notify::default_action);
  const Array oldButtons{Dict{{"n", "Yes"}, {"i", "y"}}, Dict{{"n", "No"}}, Dict{{"i", "dropped"}}};
  const Array standard{Dict{{"text", "Yes"}, {"id", "y"}}, Dict{{"text", "No"}, {"id", "No"}}};
  struct Case {
    const char* name;
    Dict in;
    std::optional<std::string> identifier;
    std::optional<Dict> out;
  };
  const Case cases[] = {
      {"custom shape tapped on its body, nothing to add",
       Dict{{"aps", Dict{{"alert", "x"}}}, {"custom", Dict{{"i", "n"}}}}, kDefault,
       Dict{{"aps", Dict{{"alert", "x"}}}, {"custom", Dict{{"i", "n"}}}}},
      {"custom shape tapped on a button",
       Dict{{"custom", Dict{{"i", "n"}, {"a", Dict{{"k", "v"}}}}}, {"o", oldButtons}, {"m", "Msg"}}, "y",
       Dict{{"custom", Dict{{"i", "n"}, {"a", Dict{{"k", "v"}, {"actionButtons", standard}, {"actionSelected", "y"}}}}},
            {"o", oldButtons}, {"m", "Msg"}, {"aps", Dict{{"alert", "Msg"}}}}},
      {"custom shape, no identifier", Dict{{"custom", Dict{{"i", "n"}}}}, std::nullopt, Dict{{"custom", Dict{{"i", "n"}}}}},
      {"custom shape, empty identifier", Dict{{"custom", Dict{{"i", "n"}}}}, "", Dict{{"custom", Dict{{"i", "n"}}}}},
      {"custom shape without custom", Dict{{"aps", Dict{{"alert", "x"}}}}, "y", std::nullopt},
      {"custom of the wrong type", Dict{{"custom", "x"}}, "y", std::nullopt},
      {"data shape, buttons dictionary",
       Dict{{"os_data", Dict{{"i", "d"}, {"buttons", Dict{{"m", "Msg"}, {"o", oldButtons}}}}}}, kDefault,
       Dict{{"os_data", Dict{{"i", "d"}, {"buttons", Dict{{"m", "Msg"}, {"o", oldButtons}}}}},
            {"actionButtons", standard}, {"aps", Dict{{"alert", "Msg"}}}}},
      {"data shape, button list keeps its aps",
       Dict{{"aps", Dict{{"alert", "A"}}}, {"os_data", Dict{{"i", "d"}, {"buttons", oldButtons}}}}, "y",
       Dict{{"aps", Dict{{"alert", "A"}}}, {"os_data", Dict{{"i", "d"}, {"buttons", oldButtons}}},
            {"actionButtons", standard}, {"actionSelected", "y"}}},
      {"data shape, message-less buttons dictionary keeps its aps",
       Dict{{"aps", Dict{{"badge", 2}}}, {"os_data", Dict{{"i", "d"}, {"buttons", Dict{{"o", oldButtons}}}}}}, kDefault,
       Dict{{"aps", Dict{{"badge", 2}}}, {"os_data", Dict{{"i", "d"}, {"buttons", Dict{{"o", oldButtons}}}}},
            {"actionButtons", standard}}},
      {"data shape, plain tap", Dict{{"os_data", Dict{{"i", "d"}}}, {"k", 1}}, kDefault,
       Dict{{"os_data", Dict{{"i", "d"}}}, {"k", 1}}},
  };
  for (const auto& c : cases) EXPECT_EQ(formatApsPayloadIntoStandard(c.in, c.identifier), c.out) << c.name;
}

TEST_F(DispatchTest, ReceivedBlockOncePerId) {
  const Dict a{{"aps", Dict{{"alert", "a"}}}, {"custom", Dict{{"i", "A"}}}};
  const Dict b{{"aps", Dict{{"alert", "b"}}}, {"custom", Dict{{"i", "B"}}}};
  const Dict noId{{"aps", Dict{{"alert", "c"}}}, {"custom", Dict{{"u", "https://example.org"}}}};
  for (const Dict& m : {a, a, b, a}) {
    lastMessageReceived(m);
    handleNotificationReceived(OSNotificationDisplayTypeNotification);
  }
  ASSERT_EQ(received_.size(), 3u);  // A, B, A again after B
  EXPECT_EQ(received_[0]->payload()->notificationID(), "A");
  EXPECT_EQ(received_[0]->displayType(), OSNotificationDisplayTypeNotification);
  EXPECT_EQ(received_[1]->payload()->notificationID(), "B");

  // A foreign push reaches no block.
  lastMessageReceived(noId);
  handleNotificationReceived(0);
  EXPECT_EQ(received_.size(), 3u);
}

TEST_F(DispatchTest, OpenedBlockOncePerIdAndPushesWithoutIdsAreNeverRepeats) {
  const Dict a{{"aps", Dict{{"alert", "a"}}}, {"custom", Dict{{"i", "A"}}}};
  lastMessageReceived(a);
  handleNotificationAction(OSNotificationActionTypeActionTaken, "btn", OSNotificationDisplayTypeNotification);
  handleNotificationAction(OSNotificationActionTypeOpened, std::nullopt, OSNotificationDisplayTypeNotification);
  ASSERT_EQ(opened_.size(), 1u);
  EXPECT_EQ(opened_[0]->action()->type(), OSNotificationActionTypeActionTaken);
  EXPECT_EQ(opened_[0]->action()->actionID(), "btn");
  EXPECT_EQ(opened_[0]->notification()->payload()->notificationID(), "A");

  // resetLocals forgets the last opened id (and the message).
  resetLocals();
  EXPECT_EQ(lastMessageReceived(), std::nullopt);
  handleNotificationAction(OSNotificationActionTypeOpened, std::nullopt, 0);
  EXPECT_EQ(opened_.size(), 1u);
  lastMessageReceived(a);
  handleNotificationAction(OSNotificationActionTypeOpened, std::nullopt, 0);
  EXPECT_EQ(opened_.size(), 2u);

  // A service push whose parsed id is missing (the data shape wins, its section has no
  // "i") is never taken for a repeat.
  const Dict idless{{"aps", Dict{{"alert", "d"}}}, {"os_data", Dict{{"u", "https://example.org"}}},
                    {"custom", Dict{{"i", "C"}}}};
  lastMessageReceived(idless);
  handleNotificationReceived(0);
  handleNotificationReceived(0);
  EXPECT_EQ(received_.size(), 2u);
  handleNotificationAction(OSNotificationActionTypeOpened, std::nullopt, 0);
  handleNotificationAction(OSNotificationActionTypeOpened, std::nullopt, 0);
  EXPECT_EQ(opened_.size(), 4u);
}

}  // namespace
