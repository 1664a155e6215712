// Audience filter evaluation: number comparisons on the double and decimal
// paths, string matches, validity checks, and event and property filters.
#include "analytics/audiences/filter_evaluation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "analytics/model/records.h"
#include "analytics/model/value.h"
#include "tests/analytics/audience_support.h"
#include "tests/analytics/support.h"

namespace {

using namespace analytics;
using namespace analytics_audience_test;
namespace fd = platform::foundation;
using analytics_test::MonitorRecorder;

constexpr std::optional<bool> kTrue = true;
constexpr std::optional<bool> kFalse = false;
constexpr std::optional<bool> kNone = std::nullopt;

std::string outcomeText(const std::optional<bool>& outcome) {
  return outcome ? (*outcome ? "true" : "false") : "none";
}

bool logged(const MonitorRecorder& recorder, std::int64_t code) {
  for (auto c : recorder.codes()) {
    if (c == code) return true;
  }
  return false;
}

class AudienceFilterEvaluationTest : public analytics_test::AnalyticsUnbootedTest {
 protected:
  MonitorRecorder recorder_;
};

// One parameter filter on one value; `code` is a monitor code the outcome must log (0 for none).
struct ValueCase {
  const char* label;
  FilterRef filter;
  APMValueRef value;
  std::optional<bool> expected;
  std::int64_t code = 0;
};

void runValueCases(MonitorRecorder& recorder, const std::vector<ValueCase>& cases) {
  for (const auto& c : cases) {
    recorder.clear();
    EXPECT_EQ(outcomeText(APMEvaluateParameterFilter(c.filter.get(), c.value.get())), outcomeText(c.expected))
        << c.label;
    if (c.code != 0) {
      EXPECT_TRUE(logged(recorder, c.code)) << c.label << " should log " << c.code;
    }
  }
}

APMValueRef text(const char* value) { return APMValue::initWithString(fd::Value(value)); }
APMValueRef integer(std::int64_t value) { return APMValue::initWithInt64(value); }
APMValueRef real(double value) { return APMValue::initWithDouble(value); }

TEST_F(AudienceFilterEvaluationTest, NumberComparisonTable) {
  const auto equal = [](const char* value) { return filterOf(numberFilter(af::kComparisonEqual, value)); };
  const auto greater = [](const char* value) { return filterOf(numberFilter(af::kComparisonGreaterThan, value)); };
  const auto less = [](const char* value) { return filterOf(numberFilter(af::kComparisonLessThan, value)); };
  const double kInfinity = std::numeric_limits<double>::infinity();
  runValueCases(recorder_, {
      {"int64 5 == 5.0 (decimal)", equal("5.0"), integer(5), kTrue},
      {"int64 6 == 5.0", equal("5.0"), integer(6), kFalse},
      {"int64 4 < 5", less("5"), integer(4), kTrue},
      {"int64 max > 1", greater("1"), integer(INT64_MAX), kTrue},
      {"text 12 > 10 (decimal)", greater("10"), text("12"), kTrue},
      {"text -3 < 0", less("0"), text("-3"), kTrue},
      {"text 12abc > 10", greater("10"), text("12abc"), kNone, 7001},
      {"text .5 == 0.5", equal("0.5"), text(".5"), kTrue},
      {"between 1..5, int64 1", filterOf(between("1", "5")), integer(1), kTrue},
      {"between 1..5, int64 5", filterOf(between("1", "5")), integer(5), kTrue},
      {"between 1..5, int64 0", filterOf(between("1", "5")), integer(0), kFalse},
      {"between 1..5, int64 6", filterOf(between("1", "5")), integer(6), kFalse},
      {"between 1..5, text 5.0", filterOf(between("1", "5")), text("5.0"), kTrue},
      {"between 1..5, double 1", filterOf(between("1", "5")), real(1.0), kTrue},
      {"between 1..5, double 5", filterOf(between("1", "5")), real(5.0), kTrue},
      {"between 1..5, double 0.999", filterOf(between("1", "5")), real(0.999), kFalse},
      {"between 1..5, double 5.001", filterOf(between("1", "5")), real(5.001), kFalse},
      {"double == 1.5", equal("1.5"), real(1.5), kTrue},
      {"double one above", equal("1.5"), real(std::nextafter(1.5, 2.0)), kTrue},
      {"double one below", equal("1.5"), real(std::nextafter(1.5, 1.0)), kTrue},
      {"double two above", equal("1.5"), real(std::nextafter(std::nextafter(1.5, 2.0), 2.0)), kFalse},
      {"double 0.001 above", equal("1.5"), real(1.501), kFalse},
      {"double 0.001 below", equal("1.5"), real(1.499), kFalse},
      {"double > +2", greater("+2"), real(2.5), kTrue},
      {"double < -1", less("-1"), real(-1.5), kTrue},
      {"double NaN", equal("1"), real(std::nan("")), kNone, 7002},
      {"double infinity", greater("1"), real(kInfinity), kNone, 7002},
      {"double -infinity", less("1"), real(-kInfinity), kNone, 7002},
      {"invalid filter (no comparison value)", filterOf(numberFilter(af::kComparisonEqual, std::nullopt)), integer(1),
       kNone, 8008},
      {"neither number nor string filter", filterOf(nullptr), integer(1), kNone, 7000},
  });
}

TEST_F(AudienceFilterEvaluationTest, StringMatchTable) {
  const auto match = [](std::int32_t type, const char* expression, std::optional<bool> caseSensitive = {}) {
    return stringOnly(stringFilter(type, expression, caseSensitive));
  };
  const auto inList = [](std::vector<std::string> list, std::optional<bool> caseSensitive = {}) {
    return stringOnly(stringFilter(af::kMatchInList, std::nullopt, caseSensitive, std::move(list)));
  };
  runValueCases(recorder_, {
      {"begins Shop / shopping, no flag", match(af::kMatchBeginsWith, "Shop"), text("shopping"), kTrue},
      {"begins Shop / shopping, flag false", match(af::kMatchBeginsWith, "Shop", false), text("shopping"), kTrue},
      {"begins Shop / shopping, flag set", match(af::kMatchBeginsWith, "Shop", true), text("shopping"), kFalse},
      {"begins Shop / Shopping, flag set", match(af::kMatchBeginsWith, "Shop", true), text("Shopping"), kTrue},
      {"begins pping / shopping", match(af::kMatchBeginsWith, "pping"), text("shopping"), kFalse},
      {"ends PING / shopping", match(af::kMatchEndsWith, "PING"), text("shopping"), kTrue},
      {"ends PING / shopping, flag set", match(af::kMatchEndsWith, "PING", true), text("shopping"), kFalse},
      {"ends longer than text", match(af::kMatchEndsWith, "xshopping"), text("shopping"), kFalse},
      {"ends longer than text, flag set", match(af::kMatchEndsWith, "xshopping", true), text("shopping"), kFalse},
      {"partial OPP", match(af::kMatchPartial, "OPP"), text("shopping"), kTrue},
      {"partial OPP, flag set", match(af::kMatchPartial, "OPP", true), text("shopping"), kFalse},
      {"exact SHOPPING", match(af::kMatchExact, "SHOPPING"), text("shopping"), kTrue},
      {"exact SHOPPING, flag set", match(af::kMatchExact, "SHOPPING", true), text("shopping"), kFalse},
      {"exact shop / shopping", match(af::kMatchExact, "shop"), text("shopping"), kFalse},
      {"in list {a, B} / b", inList({"a", "B"}), text("b"), kTrue},
      {"in list {a, B} / b, flag set", inList({"a", "B"}, true), text("b"), kFalse},
      {"in list {a, B} / ab", inList({"a", "B"}), text("ab"), kFalse},
      {"regex a+ / xaa", match(af::kMatchRegularExpression, "a+"), text("xaa"), kTrue},
      {"regex ^a / xaa", match(af::kMatchRegularExpression, "^a"), text("xaa"), kFalse},
      {"regex A+ / xaa (case-insensitive)", match(af::kMatchRegularExpression, "A+"), text("xaa"), kTrue},
      {"regex A+ / xaa, flag set", match(af::kMatchRegularExpression, "A+", true), text("xaa"), kFalse},
      {"type 7 with an expression", match(7, "x"), text("x"), kFalse},
      {"type 0", match(0, "x"), text("x"), kNone, 9006},
      {"string filter on an int64", match(af::kMatchExact, "5"), integer(5), kNone, 7003},
      {"empty in-list", inList({}), text("a"), kNone, 9003},
  });
}

TEST_F(AudienceFilterEvaluationTest, CatastrophicPatternStopsAtTheTimeLimit) {
  const auto filter = stringOnly(stringFilter(af::kMatchRegularExpression, "(a+)+$"));
  const auto value = APMValue::initWithString(fd::Value(std::string(40, 'a') + "b"));
  EXPECT_EQ(APMEvaluateParameterFilter(filter.get(), value.get()), kNone);
  EXPECT_TRUE(logged(recorder_, 9008));
}

TEST_F(AudienceFilterEvaluationTest, ComplementInvertsTrueAndFalseOnly) {
  const auto complemented = [](const char* value) {
    return filterOf(numberFilter(af::kComparisonEqual, value), nullptr, std::nullopt, true);
  };
  const auto notComplemented = filterOf(numberFilter(af::kComparisonEqual, "1"), nullptr, std::nullopt, false);
  runValueCases(recorder_, {
      {"true inverted", complemented("1"), integer(1), kFalse},
      {"false inverted", complemented("2"), integer(1), kTrue},
      {"none stays none", complemented("1"), text("x"), kNone, 7001},
      {"flag present but not set", notComplemented, integer(1), kTrue},
      {"complemented string", filterOf(nullptr, stringFilter(af::kMatchExact, "a"), std::nullopt, true), text("a"),
       kFalse},
  });
}

TEST_F(AudienceFilterEvaluationTest, NumberFilterValidityTable) {
  const struct {
    const char* label;
    NumberFilterRef filter;
    bool valid;
    std::vector<std::int64_t> codes;
  } cases[] = {
      {"no comparison type", numberFilter(std::nullopt, "1"), false, {8006}},
      {"type 0", numberFilter(0, "1"), false, {8007}},
      {"type 1 without value", numberFilter(af::kComparisonLessThan, std::nullopt), false, {8008}},
      {"type 3 with text", numberFilter(af::kComparisonEqual, "1e5"), false, {8008}},
      {"type 2 valid", numberFilter(af::kComparisonGreaterThan, "-1.5"), true, {}},
      {"type 4 bad min and max", numberFilter(af::kComparisonBetween, std::nullopt, "x", std::nullopt), false,
       {8009, 8010}},
      {"type 4 bad max", numberFilter(af::kComparisonBetween, std::nullopt, "1", "y"), false, {8010}},
      {"type 4 valid", between("1", "5"), true, {}},
      {"type 9", numberFilter(9, "1"), false, {8011}},
  };
  for (const auto& c : cases) {
    recorder_.clear();
    EXPECT_EQ(APMIsValidNumberFilter(c.filter.get()), c.valid) << c.label;
    EXPECT_EQ(recorder_.codes(), c.codes) << c.label;
  }
  EXPECT_FALSE(APMIsValidNumberFilter(nullptr));
}

TEST_F(AudienceFilterEvaluationTest, StringFilterValidityTable) {
  const struct {
    const char* label;
    StringFilterRef filter;
    bool valid;
    std::vector<std::int64_t> codes;
  } cases[] = {
      {"no match type", stringFilter(std::nullopt, "a"), false, {9000}},
      {"type 0", stringFilter(0, "a"), false, {9001}},
      {"no expression", stringFilter(af::kMatchExact, std::nullopt), false, {9002}},
      {"empty list", stringFilter(af::kMatchInList, "a"), false, {9003}},
      {"bad pattern", stringFilter(af::kMatchRegularExpression, "(a"), false, {9004}},
      {"pattern", stringFilter(af::kMatchRegularExpression, "a+"), true, {}},
      {"list", stringFilter(af::kMatchInList, std::nullopt, std::nullopt, {"a"}), true, {}},
      {"type 8 with an expression", stringFilter(8, "a"), true, {}},
  };
  for (const auto& c : cases) {
    recorder_.clear();
    EXPECT_EQ(APMIsValidStringFilter(c.filter.get()), c.valid) << c.label;
    EXPECT_EQ(recorder_.codes(), c.codes) << c.label;
  }
  std::optional<fd::text::Regex> regex;
  ASSERT_TRUE(APMValidateStringFilter(stringFilter(af::kMatchRegularExpression, "^B", false).get(), &regex));
  ASSERT_TRUE(regex);
  EXPECT_EQ(regex->search("bc", 0), kTrue);   // compiled case-insensitive
}

TEST_F(AudienceFilterEvaluationTest, EventFilterTable) {
  const auto aggregates = [](const char* name, std::int32_t count) {
    return APMEventAggregates::initWithName(name, count, 0, 0);
  };
  const auto countOver2 = numberFilter(af::kComparisonGreaterThan, "2");
  const auto amountOver10 = filterOf(numberFilter(af::kComparisonGreaterThan, "10"), nullptr, "amount");
  const auto currencyUSD = stringOnly(stringFilter(af::kMatchExact, "USD"), "currency");
  const fd::Dict parameters{{"amount", APMValueObject(integer(12))}, {"currency", APMValueObject(text("usd"))}};
  const fd::Dict smallAmount{{"amount", APMValueObject(integer(5))}, {"currency", APMValueObject(text("usd"))}};
  const fd::Dict textAmount{{"amount", APMValueObject(text("12"))}};
  const struct {
    const char* label;
    EventFilterRef filter;
    std::optional<std::string> name;
    fd::Dict parameters;
    std::shared_ptr<APMEventAggregates> aggregates;
    std::optional<bool> expected;
    std::int64_t code;
  } cases[] = {
      {"no filter", nullptr, "buy", {}, nullptr, kNone, 7004},
      {"no event name", eventFilter({.id = 1, .name = "buy"}), std::nullopt, {}, nullptr, kNone, 7005},
      {"empty event name", eventFilter({.id = 1, .name = "buy"}), "", {}, nullptr, kNone, 7005},
      {"other name", eventFilter({.id = 1, .name = "buy"}), "sell", {}, nullptr, kNone, 7006},
      {"filter without name", eventFilter({.id = 1, .name = std::nullopt}), "buy", {}, nullptr, kNone, 7006},
      {"name only", eventFilter({.id = 1, .name = "buy"}), "buy", {}, nullptr, kTrue, 0},
      {"count > 2 at the 2nd", eventFilter({.id = 1, .name = "buy", .count = countOver2}), "buy", {},
       aggregates("buy", 2), kFalse, 0},
      {"count > 2 at the 3rd", eventFilter({.id = 1, .name = "buy", .count = countOver2}), "buy", {},
       aggregates("buy", 3), kTrue, 0},
      {"count with other aggregates", eventFilter({.id = 1, .name = "buy", .count = countOver2}), "buy", {},
       aggregates("sell", 3), kNone, 7007},
      {"count without aggregates", eventFilter({.id = 1, .name = "buy", .count = countOver2}), "buy", {}, nullptr,
       kNone, 7007},
      {"parameters hold", eventFilter({.id = 1, .name = "buy", .parameters = {amountOver10, currencyUSD}}), "buy",
       parameters, nullptr, kTrue, 0},
      {"first parameter false", eventFilter({.id = 1, .name = "buy", .parameters = {amountOver10, currencyUSD}}),
       "buy", smallAmount, nullptr, kFalse, 0},
      {"missing parameter", eventFilter({.id = 1, .name = "buy", .parameters = {amountOver10}}), "buy", {}, nullptr,
       kNone, 7009},
      {"parameter filter without name", eventFilter({.id = 1, .name = "buy", .parameters = {filterOf(countOver2)}}),
       "buy", parameters, nullptr, kNone, 7008},
      {"string parameter, number filter only", eventFilter({.id = 1, .name = "buy", .parameters = {amountOver10}}),
       "buy", textAmount, nullptr, kNone, 7010},
      {"count false before parameters", eventFilter({.id = 1, .name = "buy", .parameters = {amountOver10},
                                                     .count = countOver2}),
       "buy", {}, aggregates("buy", 1), kFalse, 0},
  };
  for (const auto& c : cases) {
    recorder_.clear();
    EXPECT_EQ(outcomeText(APMEvaluateEventFilter(c.filter.get(), c.name, c.parameters, c.aggregates.get())),
              outcomeText(c.expected))
        << c.label;
    if (c.code != 0) {
      EXPECT_TRUE(logged(recorder_, c.code)) << c.label << " should log " << c.code;
    }
  }
  // The missing parameter is logged at the debug level.
  recorder_.clear();
  APMEvaluateEventFilter(eventFilter({.id = 1, .name = "buy", .parameters = {amountOver10}}).get(), "buy", {}, nullptr);
  ASSERT_EQ(recorder_.calls().size(), 1u);
  EXPECT_EQ(recorder_.calls()[0].level, 7);
}

TEST_F(AudienceFilterEvaluationTest, PropertyFilterTable) {
  const auto property = [](const char* name, APMValueRef value) {
    return APMUserAttribute::initWithOrigin("app", name, value, 100);
  };
  const auto levelOver2 = propertyFilter({.id = 1, .name = "level", .filter = filterOf(numberFilter(2, "2"))});
  const auto oddValue = std::make_shared<APMUserAttribute>(APMUserAttribute::Token{}, "app", "level",
                                                           APMValue::initWithValueType(7, fd::Value(3)), 100);
  const struct {
    const char* label;
    PropertyFilterRef filter;
    std::shared_ptr<APMUserAttribute> property;
    std::optional<bool> expected;
    std::int64_t code;
  } cases[] = {
      {"no filter", nullptr, property("level", integer(3)), kNone, 7011},
      {"no property", levelOver2, nullptr, kNone, 7012},
      {"other name", levelOver2, property("rank", integer(3)), kNone, 7013},
      {"no inner filter", propertyFilter({.id = 1, .name = "level"}), property("level", integer(3)), kNone, 7014},
      {"unknown value type", levelOver2, oddValue, kNone, 7015},
      {"int64 3 > 2", levelOver2, property("level", integer(3)), kTrue, 0},
      {"text 3 > 2", levelOver2, property("level", text("3")), kTrue, 0},
      {"double 1.5 > 2", levelOver2, property("level", real(1.5)), kFalse, 0},
  };
  for (const auto& c : cases) {
    recorder_.clear();
    EXPECT_EQ(outcomeText(APMEvaluatePropertyFilter(c.filter.get(), c.property.get())), outcomeText(c.expected))
        << c.label;
    if (c.code != 0) {
      EXPECT_TRUE(logged(recorder_, c.code)) << c.label << " should log " << c.code;
    }
  }
}

TEST_F(AudienceFilterEvaluationTest, DecimalComparisonValuesRecordTheFirstFault) {
  const struct {
    NumberFilterRef filter;
    bool valid;
    std::int64_t code;
  } cases[] = {
      {numberFilter(af::kComparisonEqual, std::nullopt), false, 8001},
      {numberFilter(af::kComparisonEqual, "x"), false, 8002},
      {numberFilter(af::kComparisonBetween, std::nullopt, "1"), false, 8003},
      {numberFilter(af::kComparisonBetween, std::nullopt, "x", "1"), false, 8004},
      {numberFilter(af::kComparisonBetween, std::nullopt, "1", "x"), false, 8005},
      {numberFilter(0, "1"), false, 8000},
      {between("1", "2"), true, 0},
  };
  for (const auto& c : cases) {
    recorder_.clear();
    const auto values = APMAudienceComparisonValues::initWithNumberFilter(c.filter.get());
    ASSERT_TRUE(values);
    EXPECT_EQ(values->valid, c.valid) << c.code;
    if (c.code != 0) {
      EXPECT_TRUE(logged(recorder_, c.code)) << c.code;
    }
  }
  EXPECT_FALSE(APMAudienceComparisonValues::initWithNumberFilter(nullptr));
}

}  // namespace
