#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "push/payload.h"

namespace {

using namespace push;
using platform::foundation::Array;
using platform::foundation::Dict;
using platform::foundation::Value;

using Opt = std::optional<std::string>;

Array buttons(std::initializer_list<std::pair<Opt, Opt>> entries) {
  Array out;
  for (const auto& [id, text] : entries) {
    Dict d;
    if (id) d.set("id", *id);
    if (text) d.set("text", *text);
    out.emplace_back(std::move(d));
  }
  return out;
}

TEST(OSNotificationPayloadTest, FieldsOfBothShapes) {
  struct Case {
    const char* name;
    Dict raw;
    Opt id, title, subtitle, body, sound, url;
    std::uint64_t badge;
    std::optional<Array> buttons;
    std::optional<Dict> additional;
  };
  const Case cases[] = {
      {"custom shape, plain alert", Dict{{"aps", Dict{{"alert", "Hello"}}}, {"custom", Dict{{"i", "n1"}}}},
       "n1", std::nullopt, std::nullopt, "Hello", std::nullopt, std::nullopt, 0, Array{}, std::nullopt},
      {"custom shape, alert dictionary",
       Dict{{"aps", Dict{{"alert", Dict{{"title", "T"}, {"subtitle", "S"}, {"body", "B"}}}, {"badge", 4}, {"sound", "ding"}}},
            {"custom", Dict{{"i", "n2"}, {"u", "https://example.org/x"}, {"a", Dict{{"k", "v"}}}}},
            {"buttons", Array{Dict{{"n", "Yes"}, {"i", "y"}}, Dict{{"n", "Later"}}, Dict{{"i", "nameless"}}}}},
       "n2", "T", "S", "B", "ding", "https://example.org/x", 4,
       buttons({{"y", "Yes"}, {"Later", "Later"}}), Dict{{"k", "v"}}},
      {"custom shape, short form",
       Dict{{"m", "Short"}, {"b", 3}, {"s", "chime"}, {"o", Array{Dict{{"n", "Go"}, {"i", "go"}}}},
            {"custom", Dict{{"i", "n3"}}}},
       "n3", std::nullopt, std::nullopt, "Short", "chime", std::nullopt, 3, buttons({{"go", "Go"}}), std::nullopt},
      {"custom shape, actionSelected without data",
       Dict{{"aps", Dict{{"alert", "x"}}}, {"custom", Dict{{"i", "n4"}}}, {"actionSelected", "b1"}},
       "n4", std::nullopt, std::nullopt, "x", std::nullopt, std::nullopt, 0, Array{}, Dict{{"actionSelected", "b1"}}},
      {"custom shape, actionSelected merged",
       Dict{{"aps", Dict{{"alert", "x"}}}, {"custom", Dict{{"i", "n5"}, {"a", Dict{{"k", 1}}}}}, {"actionSelected", "b1"}},
       "n5", std::nullopt, std::nullopt, "x", std::nullopt, std::nullopt, 0, Array{},
       Dict{{"k", 1}, {"actionSelected", "b1"}}},
      {"data shape, list buttons",
       Dict{{"aps", Dict{{"alert", "D"}}}, {"os_data", Dict{{"i", "d1"}, {"buttons", Array{Dict{{"n", "A"}, {"i", "a"}}}}}},
            {"mine", "x"}, {"more", 2}},
       "d1", std::nullopt, std::nullopt, "D", std::nullopt, std::nullopt, 0, buttons({{"a", "A"}}),
       Dict{{"mine", "x"}, {"more", 2}}},
      {"data shape, buttons dictionary with an alert",
       Dict{{"aps", Dict{{"alert", "D"}}},
            {"os_data", Dict{{"i", "d2"}, {"buttons", Dict{{"m", "M"}, {"o", Array{Dict{{"n", "B"}, {"i", "b"}}}}}}}}},
       "d2", std::nullopt, std::nullopt, "D", std::nullopt, std::nullopt, 0, buttons({{"b", "B"}}), Dict{}},
      {"data shape, buttons dictionary as the short form",
       Dict{{"aps", Dict{{"content-available", 1}}},
            {"os_data", Dict{{"i", "d3"}, {"buttons", Dict{{"m", "M"}, {"b", 9}, {"o", Array{Dict{{"n", "B"}}}}}}}}},
       "d3", std::nullopt, std::nullopt, "M", std::nullopt, std::nullopt, 9, buttons({{"B", "B"}}), Dict{}},
      {"data shape, old top-level button list",
       Dict{{"aps", Dict{{"alert", "D"}}}, {"os_data", Dict{{"i", "d4"}}},
            {"actionbuttons", Array{Dict{{"n", "Old"}, {"i", "o"}}}}},
       "d4", std::nullopt, std::nullopt, "D", std::nullopt, std::nullopt, 0, buttons({{"o", "Old"}}),
       Dict{{"actionbuttons", Array{Dict{{"n", "Old"}, {"i", "o"}}}}}},
      {"data shape without buttons", Dict{{"aps", Dict{{"alert", "D"}}}, {"os_data", Dict{{"i", "d5"}}}},
       "d5", std::nullopt, std::nullopt, "D", std::nullopt, std::nullopt, 0, std::nullopt, Dict{}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto p = OSNotificationPayload::parseWithApns(c.raw);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->notificationID(), c.id);
    EXPECT_EQ(p->title(), c.title);
    EXPECT_EQ(p->subtitle(), c.subtitle);
    EXPECT_EQ(p->body(), c.body);
    EXPECT_EQ(p->sound(), c.sound);
    EXPECT_EQ(p->launchURL(), c.url);
    EXPECT_EQ(p->badge(), c.badge);
    EXPECT_EQ(p->actionButtons(), c.buttons);
    EXPECT_EQ(p->additionalData(), c.additional);
    EXPECT_EQ(p->rawPayload(), c.raw);
  }
  EXPECT_EQ(OSNotificationPayload::parseWithApns(std::optional<Dict>()), nullptr);
}

TEST(OSNotificationPayloadTest, ApsFlagsAndServiceFields) {
  auto p = OSNotificationPayload::parseWithApns(
      Dict{{"aps", Dict{{"alert", "x"}, {"content-available", 0}, {"mutable-content", 0}, {"thread-id", "t"},
                        {"category", "cat"}}},
           {"att", Dict{{"img", "https://example.org/i.png"}}},
           {"custom", Dict{{"i", "n"}, {"ti", "tid"}, {"tn", "tname"}, {"badge_inc", -2}}}});
  EXPECT_TRUE(p->contentAvailable());  // present counts, whatever the value
  EXPECT_TRUE(p->mutableContent());
  EXPECT_EQ(p->threadId(), "t");
  EXPECT_EQ(p->category(), "cat");
  EXPECT_EQ(p->templateID(), "tid");
  EXPECT_EQ(p->templateName(), "tname");
  EXPECT_EQ(p->badgeIncrement(), -2);
  EXPECT_EQ(p->attachments(), (Dict{{"img", "https://example.org/i.png"}}));

  auto plain = OSNotificationPayload::parseWithApns(Dict{{"aps", Dict{{"alert", "x"}}}});
  EXPECT_FALSE(plain->contentAvailable());
  EXPECT_FALSE(plain->mutableContent());
  EXPECT_EQ(plain->notificationID(), std::nullopt);
}

// Values of the wrong type count as absent: no crash, no field of the wrong type.
TEST(OSNotificationPayloadTest, WrongTypedValuesCountAsAbsent) {
  struct Case {
    const char* name;
    Dict raw;
  };
  const Case cases[] = {
      {"scalars in place of sections", Dict{{"aps", "text"}, {"custom", 5}, {"buttons", "no"}, {"att", Array{}}}},
      {"numbers in place of text",
       Dict{{"aps", Dict{{"alert", Dict{{"title", 1}, {"body", Array{}}}}, {"sound", 2}, {"badge", "many"},
                         {"thread-id", Dict{}}, {"category", 3}}},
            {"custom", Dict{{"i", 42}, {"u", Array{}}, {"a", "x"}, {"badge_inc", "two"}}},
            {"buttons", Array{1, "x", Dict{{"n", 5}}, Dict{{"n", "ok"}, {"i", 7}}}}}},
      {"data shape with odd buttons",
       Dict{{"aps", Dict{{"alert", 9}}}, {"os_data", Dict{{"i", Array{}}, {"buttons", 4}, {"att", "x"}}},
            {"actionbuttons", "x"}}},
      {"data shape, list under buttons and no alert", Dict{{"os_data", Dict{{"buttons", Array{Dict{{"n", "A"}}}}}}}},
      {"short form with odd values", Dict{{"m", 3}, {"b", Dict{}}, {"s", 1}, {"at", "x"}, {"o", Dict{}}}},
      {"negative badge", Dict{{"aps", Dict{{"alert", Dict{}}, {"badge", -5}}}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto p = OSNotificationPayload::parseWithApns(c.raw);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->notificationID(), std::nullopt);
    EXPECT_EQ(p->title(), std::nullopt);
    EXPECT_EQ(p->body(), std::nullopt);
    EXPECT_EQ(p->sound(), std::nullopt);
    EXPECT_EQ(p->launchURL(), std::nullopt);
    EXPECT_EQ(p->threadId(), std::nullopt);
    EXPECT_EQ(p->category(), std::nullopt);
    EXPECT_EQ(p->attachments(), std::nullopt);
    EXPECT_EQ(p->badge(), 0u);
    EXPECT_EQ(p->badgeIncrement(), 0);
    if (p->actionButtons()) {
      for (const Value& b : *p->actionButtons()) {
        EXPECT_TRUE(b["id"].is_string());
        EXPECT_TRUE(b["text"].is_string());
      }
    }
  }
  // The one good entry of a mixed list survives, with its text as id when "i" is not text.
  auto mixed = OSNotificationPayload::parseWithApns(cases[1].raw);
  EXPECT_EQ(mixed->actionButtons(), buttons({{"ok", "ok"}}));
  // A list under "buttons" is read as the button list, not as a short form.
  auto listed = OSNotificationPayload::parseWithApns(cases[3].raw);
  EXPECT_EQ(listed->actionButtons(), buttons({{"A", "A"}}));
}

}  // namespace
