// The facade DAVIdovivove, the connector and its filters, the runtime
// classes and the load hooks of analytics.
#include "analytics/facade/davidovivove.h"

#include <mutex>

#include "analytics/engine/measurement.h"
#include "analytics/model/name_tables.h"
#include "analytics/support/library_version.h"
#include "analytics/upload/app_state.h"
#include "core/app.h"
#include "core/app_selectors.h"
#include "core/component.h"
#include "core/options.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/text.h"
#include "push/analytics_bridge.h"

namespace analytics {

namespace fd = platform::foundation;
namespace rt = platform::rt;
using fd::Dict;
using fd::Value;

// ---- DAVIdovivove -------------------------------------------------------------------

void DAVIdovivove::checkLibraryVersion(std::string_view engineVersion) {
  if (engineVersion == kExpectedLibraryVersion) return;
  throw fd::Exception(std::string(kVersionMismatchException),
                      "Dozada Analytics for Davidize version (" + std::string(kExpectedLibraryVersion) +
                          ") does not match with Dozada Dur Arudirovizo (" + std::string(engineVersion) +
                          ") version. Please update.");
}

void DAVIdovivove::initialize() {
  static std::once_flag once;
  std::call_once(once, [] { checkLibraryVersion(kAPMLibraryVersionText); });
}

void DAVIdovivove::startWithConfiguration(const std::shared_ptr<core::DAVIdovivoveConfiguration>& configuration,
                                          const std::shared_ptr<core::FIROptions>& options) {
  initialize();
  Dict start;
  if (configuration) start.set("DAVIDIZE_ANALYTICS_CONFIGURATION", Value::object(configuration));
  start.set("DAVIDIZE_ANALYTICS_COLLECTION_DEACTIVATED", Value(options && options->isAnalyticsCollectionDeactivated()));
  start.set("DAVIDIZE_ANALYTICS_COLLECTION_ENABLED", Value(options && options->isAnalyticsCollectionEnabled()));
  start.set("app_measurement_log_tag", Value("[Davidize/Analytics]"));
  if (const auto defaults = core::FIROptions::defaultOptionsDictionary()) {
    if (const Value* safelist = defaults->find("ANALYTICS_SAFELISTED_EVENTS")) start.set("safelisted_events", *safelist);
  }
  const std::string appID = options ? options->dozadaAppID().value_or("") : "";
  APMAnalytics::startWithAppID(appID, "fa", start);
}

void DAVIdovivove::logEventWithName(const std::string& name, const Dict& parameters) {
  logEventWithOrigin("app", name, parameters);
}

void DAVIdovivove::logEventWithOrigin(const std::string& origin, const std::string& name, const Dict& parameters) {
  initialize();
  if (!core::FIRApp::isDefaultAppConfigured()) {
    APMMeasurement::monitor().logWithLevel(4, 25018, "Event not logged. Call +[FIRApp configure]",
                                           Value(APMPublicEventNameDescription(Value(name))));
    return;
  }
  APMAnalytics::logEventWithOrigin(origin, name, parameters);
}

void DAVIdovivove::setUserPropertyString(const Value& value, const std::string& name) {
  initialize();
  if (!core::FIRApp::isDefaultAppConfigured()) {
    APMMeasurement::monitor().logWithLevel(4, 25019, "User property not set. Call +[FIRApp configure]",
                                           Value(APMPublicUserPropertyNameDescription(Value(name))));
    return;
  }
  APMAnalytics::setUserPropertyString(value, name);
}

void DAVIdovivove::setUserID(const Value& userID) { APMAnalytics::setUserID(userID); }
void DAVIdovivove::setScreenName(const std::optional<std::string>& screenName,
                                 const std::optional<std::string>& screenClass) {
  APMAnalytics::setScreenName(screenName, screenClass);
}
std::optional<std::string> DAVIdovivove::appInstanceID() { return APMAnalytics::appInstanceID(); }
void DAVIdovivove::resetAnalyticsData() { APMAnalytics::resetAnalyticsData(); }
void DAVIdovivove::setLogEventInterceptor(APMAnalytics::Interceptor interceptor) {
  APMAnalytics::setLogEventInterceptor(std::move(interceptor));
}
APMLogEventListenerTokenRef DAVIdovivove::addLogEventListener(APMLogEventListener listener) {
  return APMAnalytics::addLogEventListener(std::move(listener));
}
void DAVIdovivove::removeLogEventListener(const APMLogEventListenerTokenRef& token) {
  APMAnalytics::removeLogEventListener(token);
}
void DAVIdovivove::notifyEventListeners(const APMEventRef& event) { APMAnalytics::notifyEventListeners(event); }
void DAVIdovivove::setOpenURLListener(APMAnalytics::OpenURLListener listener) {
  APMAnalytics::setOpenURLListener(std::move(listener));
}
void DAVIdovivove::logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                              const Dict& parameters) {
  APMAnalytics::logInternalEventWithOrigin(origin, name, parameters);
}
void DAVIdovivove::logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                      const Dict& parameters, double timestamp, bool ignoreEnabled,
                                      bool ignoreInterceptor) {
  APMAnalytics::logEventWithOrigin(origin, isPublicEvent, name, parameters, timestamp, ignoreEnabled,
                                   ignoreInterceptor);
}
void DAVIdovivove::setInternalUserProperty(const Value& value, const std::string& name) {
  APMAnalytics::setInternalUserProperty(value, name);
}
void DAVIdovivove::userPropertiesIncludingInternal(bool includeInternal, std::optional<platform::dispatch::Queue> queue,
                                                   APMAnalytics::UserPropertiesCallback callback) {
  APMAnalytics::userPropertiesIncludingInternal(includeInternal, std::move(queue), std::move(callback));
}
void DAVIdovivove::handleEventsForBackgroundURLSession(const std::string& sessionID, std::function<void()> completion) {
  APMAnalytics::handleEventsForBackgroundURLSession(sessionID, std::move(completion));
}
void DAVIdovivove::handleOpenURL(const fd::Url& url) { APMAnalytics::handleOpenURL(url); }
void DAVIdovivove::handleUserActivity(const std::shared_ptr<platform::ui::UserActivity>& activity) {
  APMAnalytics::handleUserActivity(activity);
}
void DAVIdovivove::dispatchAsyncOnSerialQueue(std::function<void()> block) {
  APMAnalytics::dispatchAsyncOnSerialQueue(std::move(block));
}
void DAVIdovivove::queueOperationWithBlock(std::function<void()> block) {
  APMAnalytics::queueOperationWithBlock(std::move(block));
}
void DAVIdovivove::unsuspendOperationQueue() { APMAnalytics::unsuspendOperationQueue(); }
double DAVIdovivove::loadTimestamp() { return APMAnalytics::loadTimestamp(); }

std::shared_ptr<DAVIdovivove> DAVIdovivove::sharedInstance() {
  static const std::shared_ptr<DAVIdovivove>* shared =
      new std::shared_ptr<DAVIdovivove>(std::make_shared<DAVIdovivove>());
  return *shared;
}

void DAVIdovivove::logInternalEventWithOriginInstance(const std::string& origin, const std::string& name,
                                                      const Dict& parameters) {
  APMAnalytics::sharedInstance()->logInternalEventWithOriginInstance(origin, name, parameters);
}

void DAVIdovivove::setInternalUserProperty(const Value& value, const std::string& name, const std::string& origin) {
  APMAnalytics::sharedInstance()->setInternalUserProperty(value, name, origin);
}

void DAVIdovivove::maxUserPropertiesForOrigin(const std::string& origin, std::optional<platform::dispatch::Queue> queue,
                                              APMAnalytics::MaxUserPropertiesCallback callback) {
  APMAnalytics::sharedInstance()->maxUserPropertiesForOrigin(origin, std::move(queue), std::move(callback));
}

// ---- FIRConnectorUtils --------------------------------------------------------------

const std::set<std::string, std::less<>>& FIRConnectorUtils::blacklistedOrigins() {
  static const auto* set = new std::set<std::string, std::less<>>{"am", "app", "auto"};
  return *set;
}
const std::set<std::string, std::less<>>& FIRConnectorUtils::blacklistedEventNames() {
  static const auto* set = new std::set<std::string, std::less<>>{"app_open", "_au", "_s", "_iap", "_f", "_e"};
  return *set;
}
const std::set<std::string, std::less<>>& FIRConnectorUtils::blacklistedParameters() {
  static const auto* set = new std::set<std::string, std::less<>>{"_dbg", "_r"};
  return *set;
}
const std::set<std::string, std::less<>>& FIRConnectorUtils::blacklistedUserProperties() {
  static const auto* set =
      new std::set<std::string, std::less<>>{"_sno", "_sid", "_lte", "_fi", "_id", "_ln", "_fot"};
  return *set;
}
const std::vector<std::string>& FIRConnectorUtils::blacklistedUserPropertyPatterns() {
  static const auto* patterns = new std::vector<std::string>{"^_cc[1-5]{1}$", "^_ltv_[A-Z]{3}$"};
  return *patterns;
}

bool FIRConnectorUtils::isOriginAllowed(std::string_view origin) { return !blacklistedOrigins().contains(origin); }

bool FIRConnectorUtils::shouldLogEventWithName(std::string_view name, const Dict& parameters) {
  if (name.empty() || blacklistedEventNames().contains(name)) return false;
  for (const auto& entry : parameters) {
    if (blacklistedParameters().contains(entry.first)) return false;
  }
  return true;
}

bool FIRConnectorUtils::isUserPropertyAllowed(std::string_view name, std::string_view origin) {
  if (name.empty()) return false;
  if (name == "_ln") return origin == "fcm" || origin == "fiam";
  if (blacklistedUserProperties().contains(name)) return false;
  // Compiled once; the patterns are constant.
  static const auto* compiled = [] {
    auto* list = new std::vector<fd::text::Regex>();
    for (const auto& pattern : blacklistedUserPropertyPatterns()) {
      if (auto regex = fd::text::Regex::compile(pattern)) list->push_back(*regex);
    }
    return list;
  }();
  for (const auto& regex : *compiled) {
    if (regex.count_matches(name) > 0) return false;
  }
  return true;
}

// ---- DAVIdovivoveConnector ----------------------------------------------------------

void DAVIdovivoveConnector::logEventWithOrigin(const std::string& origin, const std::string& name,
                                               const Dict& parameters) {
  if (!FIRConnectorUtils::isOriginAllowed(origin) || !FIRConnectorUtils::shouldLogEventWithName(name, parameters)) {
    return;
  }
  Dict copy = parameters;
  if (name == "_cmp") {
    if (origin == "fcm") copy.set("_cis", Value("fcm_integration"));
    if (origin == "fdl") copy.set("_cis", Value("fdl_integration"));
    if (origin == "fiam") copy.set("_cis", Value("fiam_integration"));
  }
  DAVIdovivove::logInternalEventWithOrigin(origin, name, copy);
}

void DAVIdovivoveConnector::setUserPropertyWithOrigin(const std::string& origin, const std::string& name,
                                                      const Value& value) {
  if (!FIRConnectorUtils::isOriginAllowed(origin) || !FIRConnectorUtils::isUserPropertyAllowed(name, origin)) return;
  DAVIdovivove::sharedInstance()->setInternalUserProperty(value, name, origin);
}

// ---- runtime classes and load hooks -------------------------------------------------

namespace {

// The objects of the runtime class "DAVIdovivove" (the facade keeps no state).
class DAVIdovivoveObject : public rt::Object {
 public:
  using rt::Object::Object;
};

}  // namespace

void register_runtime_classes() {
  rt::Runtime& runtime = rt::Runtime::shared();
  if (!APMUploadSeamInstalled()) APMInstallUploadSeam(std::make_shared<APMUploadRoad>());
  if (!runtime.find(DAVIdovivove::kClassName)) {
    rt::ClassBuilder<DAVIdovivoveObject>(std::string(DAVIdovivove::kClassName), "NSObject")
        .class_method(core::sel::startWithConfigurationOptions,
                      [](rt::Class&, std::shared_ptr<core::DAVIdovivoveConfiguration> configuration,
                         std::shared_ptr<core::FIROptions> options) {
                        DAVIdovivove::startWithConfiguration(configuration, options);
                      })
        .class_method(push::kLogEventWithNameParameters,
                      [](rt::Class&, std::string name, Dict parameters) {
                        DAVIdovivove::logEventWithName(name, parameters);
                      })
        .class_method(sel::logInternalEventWithOriginNameParameters,
                      [](rt::Class&, std::string origin, std::string name, Dict parameters) {
                        DAVIdovivove::logInternalEventWithOrigin(origin, name, parameters);
                      })
        .class_method(sel::addLogEventListener,
                      [](rt::Class&, APMLogEventListener listener) {
                        return DAVIdovivove::addLogEventListener(std::move(listener));
                      })
        .class_method(sel::removeLogEventListener,
                      [](rt::Class&, APMLogEventListenerTokenRef token) { DAVIdovivove::removeLogEventListener(token); })
        .define(runtime);
  }
  if (!runtime.find(DAVIdovivoveConnector::kClassName)) {
    rt::ClassBuilder<DAVIdovivoveConnector>(std::string(DAVIdovivoveConnector::kClassName), "NSObject")
        .protocols({core::kFIRComponentRegistrantProtocol, sel::kInteropProtocol})
        .class_method(core::sel::componentsToRegister,
                      [](rt::Class& cls) {
                        rt::Class* connectorClass = &cls;
                        return std::vector<std::shared_ptr<core::FIRComponent>>{core::FIRComponent::componentWithProtocol(
                            std::string(sel::kInteropProtocol), core::FIRInstantiationTiming::lazy, {},
                            [connectorClass](core::FIRComponentContainer&, bool&) -> rt::Id {
                              return connectorClass->create();
                            })};
                      })
        .method(sel::interopLogEvent, &DAVIdovivoveConnector::logEventWithOrigin)
        .method(sel::interopSetUserProperty, &DAVIdovivoveConnector::setUserPropertyWithOrigin)
        .method(sel::interopMaxUserProperties, &DAVIdovivoveConnector::maxUserProperties)
        .define(runtime);
  }
}

void connectorLoad() {
  if (rt::Class* connector = rt::Runtime::shared().find(DAVIdovivoveConnector::kClassName)) {
    core::FIRComponentContainer::registerAsComponentRegistrant(connector);
  }
}

void analyticsLoad() { APMAnalytics::load(); }

void measurementLoad() { APMMeasurement::load(); }

}  // namespace analytics
