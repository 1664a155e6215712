// The facade and the connector: the version check, public events refused
// before the default app exists, and the connector's filters on the way to
// the entry.
#include <string>
#include <vector>

#include "analytics/facade/davidovivove.h"
#include "platform/foundation/exception.h"
#include "platform/runtime/runtime.h"
#include "tests/analytics/engine_support.h"
#include "tests/analytics/support.h"

namespace {

namespace fd = platform::foundation;
using analytics::DAVIdovivove;
using analytics::DAVIdovivoveConnector;
using analytics::FIRConnectorUtils;
using analytics_test::EventListenerRecorder;
using analytics_test::MonitorRecorder;

class AnalyticsFacadeTest : public analytics_test::AnalyticsEngineTest {};

TEST(AnalyticsFacadeVersion, AMismatchRaisesAndTheSameVersionPasses) {
  EXPECT_NO_THROW(DAVIdovivove::checkLibraryVersion("50300000"));
  EXPECT_NO_THROW(DAVIdovivove::initialize());
  try {
    DAVIdovivove::checkLibraryVersion("50400000");
    ADD_FAILURE() << "no exception";
  } catch (const fd::Exception& e) {
    EXPECT_EQ(e.name, "DAVIdovivoveVersionMismatch");
    EXPECT_EQ(e.reason,
              "Dozada Analytics for Davidize version (50300000) does not match with Dozada Dur Arudirovizo (50400000) "
              "version. Please update.");
  }
}

TEST(AnalyticsConnectorUtils, FiltersOriginsEventsParametersAndUserProperties) {
  for (const char* origin : {"app", "auto", "am"}) EXPECT_FALSE(FIRConnectorUtils::isOriginAllowed(origin)) << origin;
  for (const char* origin : {"fcm", "fdl", "fiam", ""}) EXPECT_TRUE(FIRConnectorUtils::isOriginAllowed(origin)) << origin;

  for (const char* name : {"", "_s", "_e", "_f", "_au", "_iap", "app_open"}) {
    EXPECT_FALSE(FIRConnectorUtils::shouldLogEventWithName(name, {})) << name;
  }
  EXPECT_TRUE(FIRConnectorUtils::shouldLogEventWithName("_cmp", {{"source", fd::Value("x")}}));
  EXPECT_FALSE(FIRConnectorUtils::shouldLogEventWithName("_cmp", {{"_r", fd::Value(1)}}));
  EXPECT_FALSE(FIRConnectorUtils::shouldLogEventWithName("_cmp", {{"_dbg", fd::Value(1)}}));

  struct Case {
    const char* name;
    const char* origin;
    bool allowed;
  };
  const std::vector<Case> cases{
      {"_ln", "fcm", true},     {"_ln", "fiam", true},      {"_ln", "fdl", false},   {"_cc3", "fcm", false},
      {"_cc6", "fcm", true},    {"_ltv_USD", "fcm", false}, {"_ltv_US", "fcm", true}, {"x_cc1", "fcm", true},
      {"_ltv_EURx", "fcm", true}, {"_fot", "fcm", false},   {"_id", "fdl", false},   {"", "fcm", false},
      {"favorite", "fdl", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FIRConnectorUtils::isUserPropertyAllowed(c.name, c.origin), c.allowed) << c.name << " " << c.origin;
  }
}

TEST_F(AnalyticsFacadeTest, PublicEventsBeforeConfigureAreDroppedEvenAfterALaterStart) {
  boot();
  MonitorRecorder monitor;
  EventListenerRecorder listener;
  DAVIdovivove::logEventWithName("early_event", {});
  DAVIdovivove::setUserPropertyString(fd::Value("blue"), "color");
  analytics::APMAnalytics::startWithAppID(std::string(analytics_test::kTestAppID), "fa", analytics_test::startOptions());
  analytics::APMAnalytics::logEventWithName("after_start", {});
  ASSERT_TRUE(listener.waitFor(1));
  ASSERT_TRUE(analytics_test::drainEntry());
  EXPECT_EQ(listener.names(), std::vector<std::string>{"after_start"});
  int refusedEvents = 0, refusedProperties = 0;
  for (const auto& call : monitor.calls()) {
    if (call.code == 25018) {
      ++refusedEvents;
      EXPECT_EQ(call.message, "Event not logged. Call +[FIRApp configure]");
      EXPECT_EQ(call.contexts, fd::Array{fd::Value("early_event")});
    }
    refusedProperties += call.code == 25019;
  }
  EXPECT_EQ(refusedEvents, 1);
  EXPECT_EQ(refusedProperties, 1);
}

TEST_F(AnalyticsFacadeTest, TheConnectorDropsRefusedEventsAndMarksCampaigns) {
  boot();
  platform::rt::Runtime::Scope scope;
  analytics::register_runtime_classes();
  platform::rt::Class* cls = platform::rt::Runtime::shared().find("DAVIdovivoveConnector");
  ASSERT_NE(cls, nullptr);
  EXPECT_TRUE(cls->conforms_to("FIRComponentRegistrant"));
  EXPECT_TRUE(cls->conforms_to("DAVIdovivoveInterop"));
  auto connector = std::dynamic_pointer_cast<DAVIdovivoveConnector>(cls->create());
  ASSERT_TRUE(connector);
  EXPECT_EQ(platform::rt::send(*connector, analytics::sel::interopMaxUserProperties, std::string("fcm")), -1);

  EventListenerRecorder listener;
  analytics::APMAnalytics::startWithAppID(std::string(analytics_test::kTestAppID), "fa", analytics_test::startOptions());
  for (const char* origin : {"app", "auto", "am"}) connector->logEventWithOrigin(origin, "_cmp", {});
  for (const char* name : {"_s", "_e", "_f", "_au", "_iap", "app_open"}) connector->logEventWithOrigin("fdl", name, {});
  connector->logEventWithOrigin("fdl", "_cmp", {{"_r", fd::Value(1)}});
  connector->logEventWithOrigin("fdl", "_cmp", {{"source", fd::Value("link")}});
  connector->logEventWithOrigin("crash", "_cmp", {});
  ASSERT_TRUE(listener.waitFor(2));
  ASSERT_TRUE(analytics_test::drainEntry());
  const auto events = listener.events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].origin, "fdl");
  EXPECT_EQ(events[0].parameter("_cis"), fd::Value("fdl_integration"));
  EXPECT_EQ(events[0].parameter("source"), fd::Value("link"));
  EXPECT_EQ(events[1].origin, "crash");
  EXPECT_TRUE(events[1].parameter("_cis").is_null());
}

}  // namespace
