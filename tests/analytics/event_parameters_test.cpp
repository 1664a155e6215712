// Parameter normalisation, error parameters, internal error events, child
// events and the value-and-currency rule.
#include "analytics/model/event_parameters.h"

#include <mutex>

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

class AnalyticsEventParametersTest : public analytics_test::AnalyticsUnbootedTest {};

fd::Dict normalized(const fd::Dict& parameters, bool isPublic) {
  return APMEvent::normalizedParametersForParameters(parameters, isPublic).value_or(fd::Dict{});
}

TEST_F(AnalyticsEventParametersTest, AtMost25PublicParametersKeptInLiteralOrder) {
  std::vector<std::string> names;
  for (char c = 'z'; c >= 'a'; --c) names.emplace_back(1, c);   // given out of order
  for (const char* extra : {"zd", "zc", "zb", "za"}) names.emplace_back(extra);
  std::vector<std::string> expected;
  for (char c = 'a'; c <= 'y'; ++c) expected.emplace_back(1, c);
  // A public event cannot carry internal keys; an internal one keeps them
  // outside the count.
  for (const bool isPublic : {true, false}) {
    fd::Dict parameters;
    if (!isPublic) parameters.set("_o", "app");
    for (const auto& name : names) parameters.set(name, 1);
    MonitorRecorder recorder;
    const fd::Dict result = normalized(parameters, isPublic);
    EXPECT_EQ(intEntry(result, "_err"), 5);
    EXPECT_EQ(countCode(recorder, 16001), 1u);
    EXPECT_EQ(recorder.calls().back().message, "Event cannot contain more than 25 parameters");
    std::vector<std::string> publicKeys;
    for (const auto& key : result.keys()) {
      if (key.front() != '_') publicKeys.push_back(key);
    }
    std::sort(publicKeys.begin(), publicKeys.end());
    EXPECT_EQ(publicKeys, expected);
    if (!isPublic) {
      EXPECT_EQ(stringEntry(result, "_o"), "app");
    }
  }
}

TEST_F(AnalyticsEventParametersTest, TheFirstProblemIsRecorded) {
  struct Row {
    const char* label;
    fd::Dict parameters;
    bool isPublic;
    std::vector<std::string> keys;
    std::optional<std::int64_t> err;
    std::optional<std::string> ev;
    std::optional<std::int64_t> el;
  };
  const std::string longName = repeated(45);
  const Row rows[] = {
      {"reserved prefix", {{"davidize_x", 1}, {"1bad", 2}, {"ok", 3}}, true, {"ok", "_err", "_ev"}, 14,
       "davidize_x", std::nullopt},
      {"long name", {{longName, 1}}, false, {"_err", "_ev", "_el"}, 3, repeated(40) + "...", 45},
      {"long public value", {{"v", repeated(150)}, {"ok", 1}}, true, {"ok", "_err", "_ev", "_el"}, 4, "v", 150},
      {"long value internal", {{"v", repeated(150)}}, false, {"v"}, std::nullopt, std::nullopt, std::nullopt},
      {"all refused", {{"-", 1}, {"+", 2}}, false, {"_err", "_ev"}, 3, "-", std::nullopt},
      {"internal value over 256", {{"v", repeated(257)}}, false, {"_err", "_ev", "_el"}, 4, "v", 257},
      {"_ev over 256", {{"_ev", repeated(300)}}, false, {"_ev", "_el"}, std::nullopt, repeated(256) + "...", 300},
      {"_ev trimmed already", {{"_ev", repeated(256) + "..."}}, false, {"_ev"}, std::nullopt,
       repeated(256) + "...", std::nullopt},
  };
  for (const Row& row : rows) {
    const fd::Dict result = normalized(row.parameters, row.isPublic);
    EXPECT_EQ(result.keys(), row.keys) << row.label;
    EXPECT_EQ(intEntry(result, "_err"), row.err) << row.label;
    EXPECT_EQ(stringEntry(result, "_ev"), row.ev) << row.label;
    EXPECT_EQ(intEntry(result, "_el"), row.el) << row.label;
  }
}

TEST_F(AnalyticsEventParametersTest, UnsupportedValuesAreDroppedWithoutErrorEntries) {
  MonitorRecorder recorder;
  const fd::Dict result = normalized({{"when", fd::Date{1}}, {"n", 1}}, true);
  EXPECT_EQ(result.keys(), std::vector<std::string>{"n"});
  EXPECT_EQ(recorder.codes(), (std::vector<std::int64_t>{35001, 16000}));
  EXPECT_EQ(recorder.calls()[1].contexts, fd::Array{"NSDate"});
  EXPECT_FALSE(APMEvent::normalizedParametersForParameters({}, true));

  // Values already typed pass through as the same objects.
  const APMValueRef value = APMValue::initWithInt64(3);
  const fd::Dict same = normalized({{"n", apm(value)}}, true);
  EXPECT_EQ(APMValueFrom(same.get("n")), value);
}

TEST_F(AnalyticsEventParametersTest, ErrorValueParametersTrimByCodePoints) {
  const std::string wide = "\xF0\x9F\x98\x80";   // one code point, two UTF-16 units
  fd::Dict parameters;
  APMAddErrorParameters(parameters, 3, fd::Value(repeated(45, wide)), 40, fd::Value(repeated(45, wide)));
  EXPECT_EQ(stringEntry(parameters, "_ev"), repeated(40, wide) + "...");
  EXPECT_EQ(intEntry(parameters, "_el"), 45);
  APMAddErrorParameters(parameters, 4, fd::Value("other"), 40, fd::Value());
  EXPECT_EQ(intEntry(parameters, "_err"), 3) << "the first writer wins";

  fd::Dict shown;
  APMAddErrorValueParameters(shown, fd::Value(), 40, fd::Value(5));
  EXPECT_EQ(stringEntry(shown, "_ev"), "(nil)");
  EXPECT_EQ(intEntry(shown, "_el"), 0);
  fd::Dict classNamed;
  APMAddErrorValueParameters(classNamed, fd::Value(fd::Array{}), 40, fd::Value());
  EXPECT_EQ(stringEntry(classNamed, "_ev"), "NSArray");
  EXPECT_FALSE(classNamed.contains("_el"));
  APMSetErrorCodeParameter(classNamed, 8);
  APMSetErrorCodeParameter(classNamed, 9);
  EXPECT_EQ(intEntry(classNamed, "_err"), 8);
}

TEST_F(AnalyticsEventParametersTest, PublicNamesAndErrorEvents) {
  MonitorRecorder recorder;
  EXPECT_TRUE(APMIsPublicName("a_"));
  EXPECT_FALSE(APMIsPublicName("_a"));
  EXPECT_FALSE(APMIsPublicName(fd::Value(1)));
  EXPECT_FALSE(APMIsPublicName(""));
  EXPECT_EQ(recorder.codes(), (std::vector<std::int64_t>{18002, 18003}));
  EXPECT_TRUE(APMIsErrorEvent(APMEvent::initWithOrigin("auto", false, "_err", 1, 0, {}).get()));
  EXPECT_FALSE(APMIsErrorEvent(APMEvent::initWithOrigin("auto", false, "_e", 1, 0, {}).get()));
  EXPECT_FALSE(APMIsErrorEvent(nullptr));
  EXPECT_EQ(APMErrorCodeNames().size(), 20u);
  EXPECT_EQ(APMErrorCodeNames().at(19), "CurrencyCodeIsMissingOrInvalid");
}

struct SentEvent {
  std::string origin;
  std::string name;
  fd::Dict parameters;
};

class RecordingSink {
 public:
  RecordingSink() {
    APMSetInternalEventSink([this](const std::string& origin, const std::string& name, const fd::Dict& parameters) {
      std::lock_guard lock(mutex_);
      sent_.push_back({origin, name, parameters});
    });
  }
  ~RecordingSink() { APMSetInternalEventSink({}); }
  std::vector<SentEvent> sent() const {
    std::lock_guard lock(mutex_);
    return sent_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<SentEvent> sent_;
};

TEST_F(AnalyticsEventParametersTest, InternalErrorEventsGoToTheInstalledSink) {
  APMLogInternalErrorEvent(8);   // nothing installed: nothing happens
  RecordingSink sink;
  APMLogInternalErrorEvent(0);
  APMLogInternalErrorEventWithValue(0, fd::Value("x"), 40, fd::Value("y"));
  EXPECT_TRUE(sink.sent().empty());

  APMLogInternalErrorEvent(8);
  APMLogInternalErrorEventWithValue(7, fd::Value(repeated(10)), 100, fd::Value(repeated(40)));
  APMLogInternalErrorEventWithValue(2, fd::Value(repeated(10)), 100, fd::Value(repeated(40)));
  APMLogInternalErrorEventWithValue(2, fd::Value(repeated(10)), 20, fd::Value(repeated(40)));
  const auto sent = sink.sent();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[0].origin, "auto");
  EXPECT_EQ(sent[0].name, "_err");
  EXPECT_EQ(sent[0].parameters.keys(), std::vector<std::string>{"_err"});
  EXPECT_EQ(intEntry(sent[0].parameters, "_err"), 8);
  EXPECT_EQ(intEntry(sent[1].parameters, "_err"), 7);
  EXPECT_EQ(stringEntry(sent[1].parameters, "_ev"), repeated(10));
  EXPECT_EQ(intEntry(sent[1].parameters, "_el"), 40) << "codes 4 and 7 always take the length source";
  EXPECT_FALSE(sent[2].parameters.contains("_el")) << "a short source with another code";
  EXPECT_EQ(intEntry(sent[3].parameters, "_el"), 40);
  // The sink's parameters make a valid internal event.
  EXPECT_TRUE(APMEvent::initWithOrigin(sent[1].origin, false, sent[1].name, 1, 0, sent[1].parameters));
}

fd::Array items(int count) {
  fd::Array list;
  for (int i = 0; i < count; ++i) {
    fd::Dict item;
    item.set("item", fd::Value(i));
    list.emplace_back(std::move(item));
  }
  return list;
}

TEST_F(AnalyticsEventParametersTest, ListParametersBecomeChildEvents) {
  const auto events = APMCreateChildEvents(
      99, "checkout", "app", {{"step", 1}, {"products", items(2)}, {"coupons", items(3)}}, true, 50);
  ASSERT_TRUE(events);
  ASSERT_EQ(events->size(), 6u);
  const APMEventRef& main = events->front();
  EXPECT_EQ(main->name(), "checkout");
  EXPECT_EQ(intEntry(main->parameters(), "_epc"), 5);
  EXPECT_EQ(intEntry(main->parameters(), "_eid"), 99);
  EXPECT_EQ(intEntry(main->parameters(), "products"), 2);
  EXPECT_EQ(intEntry(main->parameters(), "coupons"), 3);
  EXPECT_EQ(intEntry(main->parameters(), "step"), 1);
  // Keys in collation order: "coupons" before "products".
  const std::vector<std::pair<std::string, std::int64_t>> expected = {
      {"coupons", 0}, {"coupons", 1}, {"coupons", 2}, {"products", 0}, {"products", 1}};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const APMEventRef& child = (*events)[i + 1];
    EXPECT_EQ(child->name(), "_ep");
    EXPECT_EQ(child->origin(), "app");
    EXPECT_EQ(child->timestamp(), 50);
    EXPECT_EQ(stringEntry(child->parameters(), "_gn"), expected[i].first);
    EXPECT_EQ(intEntry(child->parameters(), "_i"), expected[i].second);
    EXPECT_EQ(intEntry(child->parameters(), "_ll"), expected[i].first == "coupons" ? 3 : 2);
    EXPECT_EQ(stringEntry(child->parameters(), "_en"), "checkout");
    EXPECT_EQ(intEntry(child->parameters(), "_eid"), 99);
    EXPECT_EQ(intEntry(child->parameters(), "item"), expected[i].second);
  }
}

TEST_F(AnalyticsEventParametersTest, BadListsDropTheirChildren) {
  MonitorRecorder recorder;
  const auto tooMany = APMCreateChildEvents(1, "ev", "app", {{"list", items(1001)}}, true, 1);
  ASSERT_TRUE(tooMany);
  ASSERT_EQ(tooMany->size(), 1u);
  EXPECT_EQ(intEntry(tooMany->front()->parameters(), "_err"), 17);
  EXPECT_EQ(stringEntry(tooMany->front()->parameters(), "_ev"), "list");
  EXPECT_FALSE(tooMany->front()->parameters().contains("list"));
  EXPECT_EQ(intEntry(tooMany->front()->parameters(), "_epc"), 0);
  EXPECT_FALSE(tooMany->front()->parameters().contains("_eid"));
  EXPECT_EQ(countCode(recorder, 18008), 1u);

  fd::Array mixed = items(1);
  mixed.push_back("not a dictionary");
  mixed.push_back(fd::Dict{{"late", 1}});
  const auto partial = APMCreateChildEvents(1, "ev", "app", {{"list", mixed}}, true, 1);
  ASSERT_TRUE(partial);
  ASSERT_EQ(partial->size(), 2u);
  EXPECT_EQ(intEntry(partial->front()->parameters(), "_err"), 4);
  EXPECT_EQ(intEntry(partial->front()->parameters(), "list"), 1);
  EXPECT_EQ(intEntry((*partial)[1]->parameters(), "_ll"), 1);
  EXPECT_EQ(intEntry((*partial)[1]->parameters(), "_i"), 0);

  // An item that normalises to nothing (its only value dropped without an
  // error entry) fails the whole list, earlier children included.
  recorder.clear();
  fd::Array failing = items(1);
  failing.push_back(fd::Dict{{"when", fd::Date{1}}});
  const auto failed = APMCreateChildEvents(1, "ev", "app", {{"list", failing}}, true, 1);
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->size(), 1u);
  EXPECT_EQ(countCode(recorder, 18010), 1u);
  EXPECT_FALSE(failed->front()->parameters().contains("list"));
  EXPECT_EQ(intEntry(failed->front()->parameters(), "_err"), 4);

  // A value that is neither number, string nor list: 18005 and "_err" 4.
  recorder.clear();
  const auto dated = APMCreateChildEvents(1, "ev", "app", {{"when", fd::Date{2}}}, true, 1);
  ASSERT_TRUE(dated);
  EXPECT_EQ(countCode(recorder, 18005), 1u);
  EXPECT_EQ(intEntry(dated->front()->parameters(), "_err"), 4);
  EXPECT_FALSE(dated->front()->parameters().contains("when"));

  // The main event's own name is checked.
  recorder.clear();
  EXPECT_FALSE(APMCreateChildEvents(1, "screen_view", "app", {{"a", 1}}, true, 1));
  EXPECT_EQ(countCode(recorder, 18013), 1u);
  EXPECT_FALSE(APMCreateListChildEvents(items(1), "app", true, "", "g", 1, nullptr, 1));
  EXPECT_FALSE(APMCreateListChildEvents(items(1), "app", true, "ev", fd::Value(), 1, nullptr, 1));
  EXPECT_FALSE(APMCreateListChildEvents({}, "app", true, "ev", "g", 1, nullptr, 1));
  EXPECT_EQ(countCode(recorder, 18006), 1u);
  EXPECT_EQ(countCode(recorder, 18007), 1u);
}

TEST_F(AnalyticsEventParametersTest, ListKeysFollowEnUSCollation) {
  const auto keys = APMValidListParameterKeys({{"b", 1}, {"B", 1}, {"a", 1}, {"_z", 1}, {"A", 1}}, false, nullptr);
  ASSERT_TRUE(keys);
  EXPECT_EQ(*keys, (std::vector<std::string>{"_z", "a", "A", "b", "B"}));
  EXPECT_FALSE(APMValidListParameterKeys({}, false, nullptr));
  EXPECT_TRUE(APMParametersContainList({{"a", 1}, {"l", fd::Array{}}}));
  EXPECT_FALSE(APMParametersContainList({{"a", 1}}));
}

TEST_F(AnalyticsEventParametersTest, ScreenParameterHelpers) {
  EXPECT_TRUE(APMHasScreenParameters({{"_sn", "x"}}));
  EXPECT_FALSE(APMHasScreenParameters({{"a", 1}}));
  EXPECT_EQ(APMCopyScreenParameters({{"a", 1}, {"_si", 2}, {"_sc", "c"}}), (fd::Dict{{"_si", 2}, {"_sc", "c"}}));
  EXPECT_TRUE(APMCopyScreenParameters({}).empty());
}

TEST_F(AnalyticsEventParametersTest, ValueNeedsAThreeLetterCurrency) {
  fd::Dict passes{{"value", apm(APMValue::initWithDouble(9.99))}, {"currency", apm(APMValue::initWithString("usd"))}};
  EXPECT_TRUE(APMCheckValueAndCurrency(passes));
  EXPECT_TRUE(passes.contains("value"));

  MonitorRecorder recorder;
  fd::Dict shortCode{{"value", apm(APMValue::initWithDouble(9.99))}, {"currency", apm(APMValue::initWithString("us"))}};
  EXPECT_FALSE(APMCheckValueAndCurrency(shortCode));
  EXPECT_FALSE(shortCode.contains("value"));
  EXPECT_EQ(intEntry(shortCode, "_err"), 19);
  EXPECT_EQ(stringEntry(shortCode, "_ev"), "currency");
  ASSERT_EQ(countCode(recorder, 18014), 1u);
  EXPECT_EQ(recorder.calls().back().level, 3);

  fd::Dict noValue{{"currency", apm(APMValue::initWithString("us"))}};
  EXPECT_TRUE(APMCheckValueAndCurrency(noValue));
  fd::Dict missingCurrency{{"value", apm(APMValue::initWithInt64(3))}};
  EXPECT_FALSE(APMCheckValueAndCurrency(missingCurrency));
  EXPECT_EQ(intEntry(missingCurrency, "_err"), 19);
}

}  // namespace
