// APMDataTypeValidator: every check answers its failure code and logs exactly
// one message (code, level, text), or none for the silent cases.
#include "analytics/model/validator.h"

#include <functional>

#include "tests/analytics/model_support.h"

namespace {

namespace fd = platform::foundation;
using namespace analytics;
using analytics_model_test::apm;
using analytics_model_test::repeated;
using analytics_test::MonitorRecorder;
using V = APMDataTypeValidator;

class AnalyticsValidatorTest : public analytics_test::AnalyticsUnbootedTest {};

const std::string kOutsideBasicPlane = "\xF0\x9D\x90\x80";   // U+1D400, a letter
const std::string kTooLong40 = "Event name is too long. The maximum supported length is 40";

struct Case {
  const char* label;
  std::function<bool(std::int64_t*)> check;
  bool passes;
  std::int64_t failure;
  std::int64_t code;     // 0: no message
  std::int64_t level;
  std::string message;
};

TEST_F(AnalyticsValidatorTest, ChecksAnswerTheirFailureAndOneMessage) {
  const std::string currencyMessage = "Event parameter value must contain a 3-letter ISO_4217 currency code. value";
  const Case cases[] = {
      {"40 code points", [](auto f) { return V::isValidPublicEventName(repeated(40), f); }, true, 0, 0, 0, ""},
      {"41 code points", [](auto f) { return V::isValidPublicEventName(repeated(41), f); }, false, 2, 13000, 1,
       kTooLong40},
      {"40 outside the basic plane",
       [](auto f) { return V::isValidPublicEventName(repeated(40, kOutsideBasicPlane), f); }, true, 0, 0, 0, ""},
      {"41 outside the basic plane",
       [](auto f) { return V::isValidPublicEventName(repeated(41, kOutsideBasicPlane), f); }, false, 2, 13000, 1,
       kTooLong40},
      {"1abc public", [](auto f) { return V::isValidPublicEventName("1abc", f); }, false, 3, 13003, 1,
       "Event name must start with a letter"},
      {"1abc internal", [](auto f) { return V::isValidInternalEventName("1abc", f); }, true, 0, 0, 0, ""},
      {"hyphen", [](auto f) { return V::isValidInternalEventName("a-b", f); }, false, 3, 13002, 1,
       "Event name must contain only letters, numbers, or underscores"},
      {"combining mark", [](auto f) { return V::isValidInternalEventName("e\xCC\x81", f); }, false, 3, 13002, 1,
       "Event name must contain only letters, numbers, or underscores"},
      {"empty name", [](auto f) { return V::isValidInternalEventName("", f); }, false, 1, 13001, 1,
       "Event name is required and can't be empty"},
      {"nil name", [](auto f) { return V::isValidInternalEventName(fd::Value(), f); }, false, 1, 13001, 1,
       "Event name is required and can't be nil"},
      {"number as name", [](auto f) { return V::isValidInternalEventName(fd::Value(3), f); }, false, 5, 13000, 1,
       "Event name must be of type NSString"},
      {"reserved prefix public parameter",
       [](auto f) { return V::isValidPublicEventParameterName("davidize_x", f); }, false, 4, 13008, 1,
       "Parameter name uses reserved prefix. Ignoring parameter"},
      {"reserved prefix internal parameter",
       [](auto f) { return V::isValidInternalEventParameterName("davidize_x", f); }, true, 0, 0, 0, ""},
      {"reserved event name", [](auto f) { return V::isValidPublicEventName("screen_view", f); }, false, 4, 13006,
       1, "Event name is reserved. Ignoring event"},
      {"reserved event prefix", [](auto f) { return V::isValidPublicEventName("ga_thing", f); }, false, 4, 13007, 1,
       "Event name uses reserved prefix. Ignoring event"},
      {"reserved and too long", [](auto f) { return V::isValidPublicEventName("davidize_" + repeated(32), f); },
       false, 2, 13000, 1, kTooLong40},
      {"reserved user property", [](auto f) { return V::isValidPublicUserAttributeName("user_id", f); }, false, 4,
       13009, 1, "User property name is reserved. Ignoring user property"},
      {"user property prefix", [](auto f) { return V::isValidPublicUserAttributeName("dozada_x", f); }, false, 4,
       13010, 1, "User property name uses reserved prefix. Ignoring user property"},
      {"empty user property value",
       [](auto f) { return V::isValidPublicUserAttributeValue(apm(APMValue::initWithString("")), f); }, false, 1, 0,
       0, ""},
      {"empty public parameter value",
       [](auto f) { return V::isValidPublicEventParameterValue(apm(APMValue::initWithString("")), f); }, true, 0, 0,
       0, ""},
      {"101 internal value",
       [](auto f) { return V::isValidInternalEventParameterValue(apm(APMValue::initWithString(repeated(101))), f); },
       true, 0, 0, 0, ""},
      {"101 public value",
       [](auto f) { return V::isValidPublicEventParameterValue(apm(APMValue::initWithString(repeated(101))), f); },
       false, 2, 13000, 4, "Event parameter value is too long. The maximum supported length is 100"},
      {"nil value", [](auto f) { return V::isValidPublicEventParameterValue(fd::Value(), f); }, false, 1, 13004, 3,
       "Event parameter value cannot be nil"},
      {"raw string as value", [](auto f) { return V::isValidPublicEventParameterValue("x", f); }, false, 5, 13005,
       3, "Event parameter value must be a APMValue instance. value"},
      {"currency usd", [](auto f) { return V::isValidCurrencyCode(apm(APMValue::initWithString("usd")), f); }, true,
       0, 0, 0, ""},
      {"currency in another script",
       [](auto f) { return V::isValidCurrencyCode(apm(APMValue::initWithString("\xD0\xB0\xD0\xB1\xD0\xB2")), f); },
       true, 0, 0, 0, ""},
      {"currency us", [](auto f) { return V::isValidCurrencyCode(apm(APMValue::initWithString("us")), f); }, false,
       9, 13012, 3, currencyMessage},
      {"currency u1", [](auto f) { return V::isValidCurrencyCode(apm(APMValue::initWithString("u1")), f); }, false,
       9, 13012, 3, currencyMessage},
      {"currency number", [](auto f) { return V::isValidCurrencyCode(apm(APMValue::initWithInt64(840)), f); },
       false, 9, 13012, 3, currencyMessage},
      {"numeric string", [](auto f) { return V::isValidNumericValue(apm(APMValue::initWithString("9")), f); }, false,
       8, 13011, 3, "Event parameter value must be specified with a numeric type. value"},
      {"numeric double", [](auto f) { return V::isValidNumericValue(apm(APMValue::initWithDouble(9.5)), f); }, true,
       0, 0, 0, ""},
      {"_id 256",
       [](auto f) { return V::isValidInternalUserAttributeValue(apm(APMValue::initWithString(repeated(256))), "_id", f); },
       true, 0, 0, 0, ""},
      {"_id 257",
       [](auto f) { return V::isValidInternalUserAttributeValue(apm(APMValue::initWithString(repeated(257))), "_id", f); },
       false, 2, 13000, 4, "User property value is too long. The maximum supported length is 256"},
      {"other property 37",
       [](auto f) { return V::isValidInternalUserAttributeValue(apm(APMValue::initWithString(repeated(37))), "x", f); },
       false, 2, 13000, 4, "User property value is too long. The maximum supported length is 36"},
      {"screen value 101", [](auto f) { return V::isValidScreenParameterValue(repeated(101), f); }, false, 2, 13000,
       1, "Screen parameter value is too long. The maximum supported length is 100"},
      {"forwarded +gtm alone", [](auto f) { return V::isValidForwardedEventOrigin("+gtm", f); }, false, 1, 13001, 1,
       "Event origin is required and can't be empty"},
      {"forwarded x+gtm", [](auto f) { return V::isValidForwardedEventOrigin("x+gtm", f); }, true, 0, 0, 0, ""},
      {"not forwarded", [](auto f) { return V::isValidForwardedEventOrigin("app", f); }, false, 6, 0, 0, ""},
      {"forwarded empty", [](auto f) { return V::isValidForwardedEventOrigin("", f); }, false, 1, 0, 0, ""},
      {"forwarded bad rest", [](auto f) { return V::isValidForwardedEventOrigin("a-b+gtm", f); }, false, 3, 13002, 1,
       "Event origin must contain only letters, numbers, or underscores"},
      {"too short", [](auto f) { return V::isValidString("ab", 3, 5, 42, f); }, false, 7, 13000, 1,
       "Object is too short. The minimum supported length is 3"},
  };
  for (const Case& c : cases) {
    MonitorRecorder recorder;
    std::int64_t failure = -1;
    EXPECT_EQ(c.check(&failure), c.passes) << c.label;
    EXPECT_EQ(failure, c.failure) << c.label;
    const auto calls = recorder.calls();
    if (c.code == 0) {
      EXPECT_TRUE(calls.empty()) << c.label;
      continue;
    }
    ASSERT_EQ(calls.size(), 1u) << c.label;
    EXPECT_EQ(calls[0].code, c.code) << c.label;
    EXPECT_EQ(calls[0].level, c.level) << c.label;
    EXPECT_EQ(calls[0].message, c.message) << c.label;
  }
}

TEST_F(AnalyticsValidatorTest, ReservedPrefixesAndMessagePrefixes) {
  EXPECT_TRUE(V::hasReservedPrefixes("davidize_a"));
  EXPECT_TRUE(V::hasReservedPrefixes("dozada_"));
  EXPECT_TRUE(V::hasReservedPrefixes("ga_x"));
  EXPECT_FALSE(V::hasReservedPrefixes("gax"));
  EXPECT_EQ(APMValidatorTypeName(9, ""), "Conditional user property value");
  EXPECT_EQ(APMValidatorTypeName(10, " x"), "Object x");
  EXPECT_EQ(APMValidatorTypeName(-1, ""), "Object");
  // Out-parameters are optional.
  EXPECT_FALSE(V::isValidInternalEventName("a b", nullptr));
}

}  // namespace
