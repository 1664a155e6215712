// APMEvent: creation rules, flags, screen parameters and the message round
// trip through the wire layer.
#include "analytics/model/event.h"

#include <limits>

#include "analytics/model/event_parameters.h"
#include "tests/analytics/model_support.h"

namespace {

namespace fd = platform::foundation;
using namespace analytics;
using analytics_model_test::apm;
using analytics_model_test::countCode;
using analytics_model_test::intEntry;
using analytics_model_test::repeated;
using analytics_model_test::stringEntry;
using analytics_test::MonitorRecorder;

class AnalyticsEventTest : public analytics_test::AnalyticsUnbootedTest {};

TEST_F(AnalyticsEventTest, OriginAndNameRules) {
  struct Row {
    const char* origin;
    bool isPublic;
    const char* name;
    bool made;
  };
  const Row rows[] = {
      {"", false, "ev", false},      {"app", true, "ev", true},     {"x+gtm", true, "ev", true},
      {"a-b+gtm", true, "ev", false}, {"a-b", true, "ev", false},   {"app", true, "_x", false},
      {"app", false, "_x", true},    {"app", true, "screen_view", false}, {"app", false, "screen_view", true},
  };
  for (const Row& row : rows) {
    const APMEventRef event = APMEvent::initWithOrigin(row.origin, row.isPublic, row.name, 1, 0, {});
    EXPECT_EQ(event != nullptr, row.made) << row.origin << " " << row.name;
    if (event) {
      EXPECT_EQ(event->origin(), row.origin);
      EXPECT_EQ(stringEntry(event->parameters(), "_o"), row.origin);
    }
  }
}

TEST_F(AnalyticsEventTest, TimestampsOutOfOrderAreLoggedOnce) {
  MonitorRecorder recorder;
  const APMEventRef event = APMEvent::initWithOrigin("app", true, "ev", 10, 20, {});
  ASSERT_TRUE(event);
  EXPECT_EQ(event->timestamp(), 10);
  EXPECT_EQ(event->previousTimestamp(), 20);
  EXPECT_EQ(countCode(recorder, 16002), 1u);
  EXPECT_EQ(recorder.codes().size(), 1u);
}

TEST_F(AnalyticsEventTest, ConversionNeedsValueAndCurrency) {
  const APMEventRef stringValue = APMEvent::initWithOrigin("app", true, "buy", 1, 0, {{"value", "ten"}});
  ASSERT_TRUE(stringValue);
  stringValue->setConversion(true);
  EXPECT_FALSE(stringValue->isConversion());
  EXPECT_FALSE(stringValue->parameters().contains("value"));
  EXPECT_EQ(intEntry(stringValue->parameters(), "_err"), 18);
  EXPECT_EQ(stringEntry(stringValue->parameters(), "_ev"), "value");

  const APMEventRef priced =
      APMEvent::initWithOrigin("app", true, "buy", 1, 0, {{"value", 9.99}, {"currency", "usd"}});
  ASSERT_TRUE(priced);
  priced->setConversion(false);
  EXPECT_EQ(intEntry(priced->parameters(), "_err"), 10);
  priced->setConversion(true);
  EXPECT_TRUE(priced->isConversion());
  EXPECT_FALSE(priced->parameters().contains("_err"));

  // "_c" given as an internal parameter survives only with a valid currency.
  const APMEventRef bad = APMEvent::initWithOrigin("app", false, "buy", 1, 0, {{"_c", 1}, {"value", 2}});
  ASSERT_TRUE(bad);
  EXPECT_FALSE(bad->isConversion());
  EXPECT_EQ(intEntry(bad->parameters(), "_err"), 19);
}

TEST_F(AnalyticsEventTest, RealtimeAndDebugFlags) {
  const APMEventRef event = APMEvent::initWithOrigin("app", false, "ev", 1, 0, {{"_r", "yes"}, {"_dbg", 2}});
  ASSERT_TRUE(event);
  MonitorRecorder recorder;
  EXPECT_FALSE(event->isRealtime());
  EXPECT_EQ(recorder.codes(), std::vector<std::int64_t>{16006});
  EXPECT_EQ(recorder.calls()[0].level, 1);
  EXPECT_FALSE(event->isDebug());
  event->setRealtime(true);
  event->setDebug(true);
  EXPECT_TRUE(event->isRealtime());
  EXPECT_TRUE(event->isDebug());
  event->setRealtime(false);
  event->setDebug(false);
  EXPECT_FALSE(event->parameters().contains("_r"));
  EXPECT_FALSE(event->parameters().contains("_dbg"));
}

TEST_F(AnalyticsEventTest, ScreenParameters) {
  struct Row {
    const char* label;
    fd::Dict screen;
    bool added;
    std::int64_t code;
  };
  const Row rows[] = {
      {"complete", {{"_sc", "Home"}, {"_si", 7}, {"_sn", "home"}}, true, 0},
      {"values", {{"_sc", apm(APMValue::initWithString("Home"))}, {"_si", apm(APMValue::initWithInt64(7))}}, true, 0},
      {"empty", {}, false, 0},
      {"missing id", {{"_sc", "Home"}}, false, 0},
      {"class not a string", {{"_sc", 3}, {"_si", 7}}, false, 0},
      {"id not a number", {{"_sc", "Home"}, {"_si", "7"}}, false, 0},
      {"id a double value", {{"_sc", "Home"}, {"_si", apm(APMValue::initWithDouble(7))}}, false, 0},
      {"class too long", {{"_sc", repeated(101)}, {"_si", 7}}, false, 16003},
      {"name too long", {{"_sc", "Home"}, {"_si", 7}, {"_sn", repeated(101)}}, false, 16004},
      {"name not a string", {{"_sc", "Home"}, {"_si", 7}, {"_sn", 1}}, false, 0},
  };
  for (const Row& row : rows) {
    const APMEventRef event = APMEvent::initWithOrigin("app", true, "ev", 1, 0, {});
    MonitorRecorder recorder;
    EXPECT_EQ(event->addScreenParameters(row.screen), row.added) << row.label;
    EXPECT_EQ(event->parameters().contains("_sc"), row.added) << row.label;
    if (row.code != 0) {
      EXPECT_EQ(countCode(recorder, row.code), 1u) << row.label;
    }
    if (row.added) {
      EXPECT_EQ(stringEntry(event->parameters(), "_sc"), "Home");
      EXPECT_EQ(intEntry(event->parameters(), "_si"), 7);
      EXPECT_FALSE(event->addScreenParameters({{"_sc", "Other"}, {"_si", 8}})) << "already present";
      EXPECT_EQ(stringEntry(event->parameters(), "_sc"), "Home");
    }
  }
}

TEST_F(AnalyticsEventTest, MessageRoundTripKeepsTypesAndMilliseconds) {
  const APMEventRef event = APMEvent::initWithOrigin(
      "x+gtm", false, "purchase", 1700000000.1239, 1699999999.5,
      {{"count", 3}, {"price", 2.25}, {"item", "book"}, {"_c", 1}, {"_r", 1}, {"_dbg", 1},
       {"value", 1}, {"currency", "eur"}});
  ASSERT_TRUE(event);
  const auto message = event->protoEvent();
  ASSERT_TRUE(message);
  EXPECT_EQ(wire::NANOGetInt64(message.get(), 2), 1700000000123);
  EXPECT_EQ(wire::NANOGetInt64(message.get(), 3), 1699999999500);
  const auto bytes = message->protoBuffer();
  ASSERT_TRUE(bytes);

  const auto decoded = wire::RIDUZEvent::initWithBuffer(*bytes);
  ASSERT_TRUE(decoded);
  const APMEventRef back = APMEvent::initWithEventProto(decoded.get());
  ASSERT_TRUE(back);
  EXPECT_EQ(back->name(), "purchase");
  EXPECT_EQ(back->origin(), "x+gtm");
  EXPECT_EQ(back->timestamp(), 1700000000.123);
  EXPECT_EQ(back->previousTimestamp(), 1699999999.5);
  EXPECT_EQ(back->parameters().keys(), event->parameters().keys());
  for (const auto& [key, value] : event->parameters()) {
    const APMValueRef original = APMValueFrom(value);
    EXPECT_TRUE(original->isEqual(APMValueFrom(back->parameters().get(key)).get())) << key;
  }
  EXPECT_TRUE(back->isConversion());
  EXPECT_TRUE(back->isRealtime());
  EXPECT_TRUE(back->isDebug());
}

TEST_F(AnalyticsEventTest, MessageTimestampsTruncateAndSkipAnEmptyPrevious) {
  const APMEventRef event = APMEvent::initWithOrigin("app", false, "ev", 1.9999, 0, {});
  const auto message = event->protoEvent();
  EXPECT_EQ(wire::NANOGetInt64(message.get(), 2), 1999);
  EXPECT_FALSE(wire::NANOHasField(message.get(), 3));
  const APMEventRef negative = APMEvent::initWithOrigin("app", false, "ev", -1.9999, 0, {});
  EXPECT_EQ(wire::NANOGetInt64(negative->protoEvent().get(), 2), -1999);
  EXPECT_EQ(APMMillisecondsFromSeconds(1e300), INT64_MAX);
  EXPECT_EQ(APMMillisecondsFromSeconds(-1e300), INT64_MIN);
  EXPECT_EQ(APMMillisecondsFromSeconds(std::numeric_limits<double>::quiet_NaN()), 0);
}

TEST_F(AnalyticsEventTest, DirectEncodingIsTheMessageEncoding) {
  struct EncodingCase {
    const char* title;
    double timestamp;
    double previous;
    fd::Dict parameters;
    std::optional<double> previousOverride;
  };
  const std::vector<EncodingCase> cases = {
      {"every value type, no previous", 1700000000.1239, 0,
       {{"count", 3}, {"price", 2.25}, {"item", "book"}, {"neg", -42}, {"big", 9007199254740993LL}}, std::nullopt},
      {"own previous time", 1700000000.5, 1699999999.25, {{"empty", ""}, {"zero", 0}, {"tiny", -0.0}}, std::nullopt},
      {"long and non-ASCII texts", 1.9999, 0,
       {{"t", std::string(300, 'y')}, {"u", "\xc3\xa9t\xc3\xa9 \xe2\x82\xac"}}, std::nullopt},
      {"previous time given", 1700000000, 1699999990, {{"n", 1}}, 1600000000.75},
      {"previous time given as none", 1700000000, 1699999990, {{"n", 1}}, 0.0},
      {"negative times", -1.5, 0, {}, -3.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    const APMEventRef event = APMEvent::initWithOrigin("app", false, "ev", c.timestamp, c.previous, c.parameters);
    ASSERT_TRUE(event);
    const APMEventRef reference = c.previousOverride ? event->copyWithPreviousTimestamp(*c.previousOverride) : event;
    ASSERT_TRUE(reference);
    const auto expected = reference->protoEvent()->protoBuffer();
    ASSERT_TRUE(expected);
    fd::Bytes direct{0xAA};  // appended after what is there
    event->appendEncodedProtoEvent(direct, c.previousOverride);
    EXPECT_EQ(fd::Bytes(direct.begin() + 1, direct.end()), *expected);
  }
}

std::shared_ptr<wire::RIDUZEventParam> param(std::optional<std::string> name) {
  auto p = wire::RIDUZEventParam::make();
  if (name) wire::NANOSetString(p.get(), 0, *name);
  return p;
}

TEST_F(AnalyticsEventTest, MessagesWithoutOriginOrWithBadParameters) {
  auto message = wire::RIDUZEvent::make();
  wire::NANOSetString(message.get(), 1, "ev");
  wire::NANOSetInt64(message.get(), 2, 5000);
  auto origin = param("_o");
  wire::NANOSetString(origin.get(), 1, "app");
  auto typeless = param("empty");
  auto nameless = param(std::nullopt);
  wire::NANOSetInt64(nameless.get(), 2, 1);
  auto kept = param("n");
  wire::NANOSetInt64(kept.get(), 2, 4);

  wire::NANOSetArray(message.get(), 0, fd::Array{fd::Value::object(kept)});
  EXPECT_FALSE(APMEvent::initWithEventProto(message.get())) << "no origin";

  MonitorRecorder recorder;
  wire::NANOSetArray(message.get(), 0,
                     fd::Array{fd::Value::object(origin), fd::Value::object(typeless), fd::Value::object(nameless),
                               fd::Value::object(kept)});
  const APMEventRef event = APMEvent::initWithEventProto(message.get());
  ASSERT_TRUE(event);
  EXPECT_EQ(event->timestamp(), 5);
  EXPECT_EQ(event->parameters().keys(), (std::vector<std::string>{"n", "_o"}));
  EXPECT_EQ(recorder.codes(), (std::vector<std::int64_t>{15002, 15000}));

  auto numericOrigin = param("_o");
  wire::NANOSetInt64(numericOrigin.get(), 2, 1);
  wire::NANOSetArray(message.get(), 0, fd::Array{fd::Value::object(numericOrigin)});
  recorder.clear();
  EXPECT_FALSE(APMEvent::initWithEventProto(message.get()));
  EXPECT_EQ(recorder.codes(), std::vector<std::int64_t>{15001});
  EXPECT_FALSE(APMEvent::initWithEventProto(nullptr));

  const std::uint8_t garbage[] = {0xff, 0xff, 0xff};
  EXPECT_FALSE(wire::RIDUZEvent::initWithBuffer(garbage));
}

TEST_F(AnalyticsEventTest, CopiesAreNonPublicWithTheGivenChanges) {
  const APMEventRef event = APMEvent::initWithOrigin("app", true, "ev", 5, 1, {{"a", 1}});
  const APMEventRef later = event->copyWithPreviousTimestamp(3);
  EXPECT_EQ(later->previousTimestamp(), 3);
  EXPECT_EQ(later->timestamp(), 5);
  const APMEventRef internal = event->copyWithParameters({{"_x", 2}});
  ASSERT_TRUE(internal);
  EXPECT_EQ(intEntry(internal->parameters(), "_x"), 2);
  EXPECT_FALSE(internal->parameters().contains("a"));
  const APMEventRef same = event->copy();
  EXPECT_NE(same, event);
  EXPECT_EQ(same->parameters().keys(), event->parameters().keys());
}

}  // namespace
