// Name tables and the debug forms of names and parameter dictionaries.
#include "analytics/model/name_tables.h"

#include "analytics/engine/measurement.h"
#include "analytics/model/event_parameters.h"
#include "platform/foundation/text.h"
#include "platform/runtime/runtime.h"
#include "tests/analytics/model_support.h"

namespace {

namespace fd = platform::foundation;
using namespace analytics;
using analytics_model_test::apm;

class AnalyticsNameTablesTest : public analytics_test::AnalyticsDeviceTest {
 protected:
  void SetUp() override { boot(); }
  void TearDown() override { APMMeasurement::monitor().setDebugModeEnabled(false); }
  void defineEntryClass() {
    platform::rt::Runtime::shared().define({.name = "DAVIdovivove", .superclass = "NSObject"});
  }
  platform::rt::Runtime::Scope scope_;
};

TEST_F(AnalyticsNameTablesTest, TablesMapPublicNamesToCodes) {
  EXPECT_EQ(APMEventNameTable().size(), 24u);
  EXPECT_EQ(APMParameterNameTable().size(), 36u);
  EXPECT_EQ(APMUserPropertyNameTable().size(), 6u);
  EXPECT_EQ(APMEventNameTable().get("screen_view"), fd::Value("_vs"));
  EXPECT_FALSE(APMEventNameTable().contains("_vs"));
  EXPECT_EQ(APMParameterNameTable().get("ad_unit_id"), fd::Value("_ai"));
  EXPECT_EQ(APMUserPropertyNameTable().get("user_id"), fd::Value("_id"));
}

TEST_F(AnalyticsNameTablesTest, DebugFormsNeedDebugModeAndTheEntryClass) {
  struct Row {
    bool debug;
    bool entryClass;
    std::string expected;
  };
  const Row rows[] = {{false, false, "_vs"}, {true, false, "_vs"}, {false, true, "_vs"}, {true, true, "screen_view (_vs)"}};
  for (const Row& row : rows) {
    platform::rt::Runtime::Scope scope;
    if (row.entryClass) defineEntryClass();
    APMMeasurement::monitor().setDebugModeEnabled(row.debug);
    EXPECT_EQ(APMPublicEventNameDescription("_vs"), row.expected) << row.debug << row.entryClass;
    EXPECT_EQ(APMPublicUserPropertyNameDescription("_exp_1"), "experiment_id (_exp_1)");
  }
  defineEntryClass();
  APMMeasurement::monitor().setDebugModeEnabled(true);
  EXPECT_EQ(APMPublicEventNameDescription("screen_view"), "screen_view");
  EXPECT_EQ(APMPublicEventNameDescription("_unknown"), "_unknown");
  EXPECT_EQ(APMPublicEventNameDescription(""), "");
  EXPECT_EQ(APMPublicEventNameDescription(fd::Value(4)), "4");
  EXPECT_EQ(APMPublicParameterNameDescription("_err"), "davidize_error (_err)");
  EXPECT_EQ(APMPublicUserPropertyNameDescription("_id"), "user_id (_id)");
  EXPECT_EQ(APMPublicNameDescription("_vs", fd::Dict{}), "_vs");
}

TEST_F(AnalyticsNameTablesTest, ParameterListingInDebugMode) {
  defineEntryClass();
  const fd::Dict parameters{{"c", apm(APMValue::initWithInt64(3))},
                            {"_err", apm(APMValue::initWithInt64(2))},
                            {"a", apm(APMValue::initWithString("x"))},
                            {"B", apm(APMValue::initWithDouble(1.5))}};
  EXPECT_EQ(APMParametersDescription(parameters), fd::describe(parameters));

  APMMeasurement::monitor().setDebugModeEnabled(true);
  EXPECT_EQ(APMParametersDescription(parameters),
            "{\n"
            "    a = x;\n"
            "    B = 1.5;\n"
            "    c = 3;\n"
            "    davidize_error (_err) = InvalidEventName (2);\n"
            "}");
  EXPECT_EQ(APMParametersDescription(fd::Dict{{"_err", apm(APMValue::initWithInt64(42))}}),
            "{\n    davidize_error (_err) = 42;\n}");
  EXPECT_EQ(APMParametersDescription(fd::Value("plain")), "plain");
}

TEST(AnalyticsNameOrder, CaseFoldingComparesByCodePoint) {
  namespace text = platform::foundation::text;
  EXPECT_EQ(text::compare_case_insensitive("B", "a"), 1);
  EXPECT_EQ(text::compare_case_insensitive("B", "c"), -1);
  EXPECT_EQ(text::compare_case_insensitive("Stra\xC3\x9F" "e", "STRASSE"), 0);
  EXPECT_EQ(text::compare_case_insensitive("_", "a"), -1);   // "_" (U+005F) before letters
  EXPECT_EQ(text::compare_case_insensitive("_", "1"), 1);    // digits before "_"
}

}  // namespace
