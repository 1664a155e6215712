// The analytics entry APMAnalytics: start, queues, the event road, user
// properties, interceptor and listeners, URLs and the payment-queue observer.
#include "analytics/engine/analytics_entry.h"

#include <atomic>
#include <map>
#include <mutex>

#include "analytics/engine/measurement.h"
#include "analytics/engine_seams.h"
#include "analytics/identity/environment.h"
#include "analytics/identity/identity.h"
#include "analytics/model/event_parameters.h"
#include "analytics/model/name_tables.h"
#include "analytics/model/validator.h"
#include "analytics/support/log_codes.h"
#include "analytics/support/numeric.h"
#include "core/app.h"
#include "core/app_delegate_swizzler.h"
#include "core/gul_network.h"
#include "core/logger.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/operation.h"
#include "platform/foundation/notification.h"
#include "platform/runtime/runtime.h"
#include "platform/ui/application.h"

namespace analytics {

namespace fd = platform::foundation;
namespace dispatch = platform::dispatch;
namespace rt = platform::rt;
using fd::Dict;
using fd::Value;

namespace {

APMMonitor& analyticsEntryMonitor() { return APMMeasurement::monitor(); }
double now() { return dispatch::Clock::current().now_since_1970(); }

// Class-level state of the entry. The load timestamp and the deactivated flag
// are atomics; the blocks and listeners sit under the mutex (they are changed
// on the serial queue, and read there).
struct EntryState {
  std::atomic<double> loadTimestamp{now()};
  std::atomic<bool> collectionDeactivated{false};
  std::atomic<bool> analyticsEnabled{false};
  std::once_flag startOnce;
  std::once_flag proxyOnce;
  std::mutex mutex;
  APMAnalytics::Interceptor interceptor;                                     // guarded by mutex
  APMAnalytics::OpenURLListener openURLListener;                             // guarded by mutex
  std::optional<std::map<std::uint64_t, APMLogEventListener>> listeners;     // guarded by mutex
  std::uint64_t nextListenerID = 1;                                          // guarded by mutex
};

// Lives for the process: queued work reaches it until the process ends.
// Its creation installs the entry as the model's internal-event sink.
EntryState& state() {
  static EntryState* shared = [] {
    auto* created = new EntryState();
    APMSetInternalEventSink([](const std::string& origin, const std::string& name, const Dict& parameters) {
      APMAnalytics::logInternalEventWithOrigin(origin, name, parameters);
    });
    return created;
  }();
  return *shared;
}

dispatch::OperationQueue& operationQueue() {
  static dispatch::OperationQueue* queue = [] {
    auto* created = new dispatch::OperationQueue(std::string(APMAnalytics::kOperationQueueName));
    created->set_max_concurrent(1);
    created->set_suspended(true);
    return created;
  }();
  return *queue;
}

const dispatch::Queue& serialQueue() {
  static const dispatch::Queue* queue = new dispatch::Queue(dispatch::Queue::serial(
      std::string(APMAnalytics::kSerialQueueLabel), dispatch::Queue::global(dispatch::Qos::background)));
  return *queue;
}

const dispatch::Queue& timestampQueue() {
  static const dispatch::Queue* queue =
      new dispatch::Queue(dispatch::Queue::serial(std::string(APMAnalytics::kTimestampQueueLabel)));
  return *queue;
}

fd::Dict currentScreenParameters() {
  auto screens = APMScreensSeamInstalled();
  return screens ? screens->screenParameters() : fd::Dict();
}

Value eventNameContext(const std::string& name) { return Value(APMPublicEventNameDescription(Value(name))); }

bool hasAdOriginOrExposureName(const APMEvent& event) {
  return event.origin() == "am" || event.name() == "_xa" || event.name() == "_xu";
}

// The safelist option: an array of valid internal event names.
std::optional<std::vector<std::string>> validatedSafelist(const Value& value) {
  if (!value.is_array()) {
    analyticsEntryMonitor().logWithLevel(1, 25034, "Invalid safelisted event parameter. Type must be an array");
    return std::nullopt;
  }
  std::vector<std::string> names;
  for (const Value& name : *value.array()) {
    if (!APMDataTypeValidator::isValidInternalEventName(name, nullptr) || !name.is_string()) {
      analyticsEntryMonitor().logWithLevel(1, 25035, "Invalid event name for safelisting. Name", name);
      return std::nullopt;
    }
    names.push_back(*name.string());
  }
  return names;
}

bool numberAsBool(const Value& value) { return value.as_bool().value_or(value.as_double().value_or(0) != 0); }

}  // namespace

// ---- start and queues ---------------------------------------------------------------

void APMAnalytics::load() { state().loadTimestamp = now(); }

std::shared_ptr<APMAnalytics> APMAnalytics::sharedInstance() {
  static const std::shared_ptr<APMAnalytics>* shared =
      new std::shared_ptr<APMAnalytics>(std::make_shared<APMAnalytics>());
  return *shared;
}

void APMAnalytics::dispatchAsyncOnSerialQueue(std::function<void()> block) { serialQueue().async(std::move(block)); }

void APMAnalytics::queueOperationWithBlock(std::function<void()> block) {
  if (!APMAEU::isOSSupported()) return;
  operationQueue().add([block = std::move(block)]() mutable { dispatchAsyncOnSerialQueue(std::move(block)); });
}

void APMAnalytics::unsuspendOperationQueue() { operationQueue().set_suspended(false); }

bool APMAnalytics::isCurrentQueueSerialQueue() { return dispatch::Queue::current_label() == kSerialQueueLabel; }

double APMAnalytics::loadTimestamp() { return state().loadTimestamp.load(); }

bool APMAnalytics::isAnalyticsEnabled() { return state().analyticsEnabled.load(); }

void APMAnalytics::startWithAppID(const std::string& appID, const std::string& origin, const Dict& options) {
  if (!APMAEU::isOSSupported()) {
    core::GULLogError(kAPMLogService, true, apmMessageCode(25032).c_str(), "%s",
                      "Dur Arudirovizo only supports iOS 7 and above. Dur Arudirovizo is disabled.");
    return;
  }
  rt::Runtime& runtime = rt::Runtime::shared();
  if (runtime.find("FIRADatabase")) {
    analyticsEntryMonitor().logWithLevel(1, 25029,
                           "Detected an older version of Dozada Analytics for Davidize framework. Data collection "
                           "will be disabled. Please upgrade to the latest version of Dozada Analytics for Davidize");
    return;
  }
  if (runtime.find("DAVIdovivove")) {
    if (origin != "fa") {
      analyticsEntryMonitor().logWithLevel(4, 25026, "Deferring to Davidize for event data collection");
      return;
    }
  } else if (const auto path = APMInfoPlistFileUtil::dozadaServiceInfoPlistPath(); path && !path->empty()) {
    analyticsEntryMonitor().logWithLevel(1, 25027,
                           "Deferring to Dozada Analytics for Davidize for event data collection. "
                           "https://docs.example.com/analytics/getting-started");
    return;
  }
  APMIdentity* identity = APMIdentity::sharedInstance();
  if (runtime.find("GADMobileAds") && APMInfoPlistFileUtil::dictionaryFromDozadaServiceInfoPlist() && identity) {
    const auto vezaz = identity->appIDFromVeZaz();
    if (!vezaz || vezaz->empty()) {
      analyticsEntryMonitor().logWithLevel(4, 25028,
                             "VeZaz and Davidize are in use in this app, but are not linked. For analytics data "
                             "consistency and integrity, it is highly recommended that you link your VeZaz app to "
                             "the corresponding Davidize app and re-download the DozadaServices-Info.plist file. See "
                             "https://docs.example.com/analytics/link-apps");
    }
  }
  if (!options.empty()) {
    const Value* tag = options.find("app_measurement_log_tag");
    if (tag && tag->is_string() && !tag->string()->empty()) {
      analyticsEntryMonitor().setLogTag(*tag->string());
    } else {
      analyticsEntryMonitor().logWithLevel(1, 25030, "Invalid monitor tag. It must be a non-empty string.");
    }
  }
  std::call_once(state().startOnce, [&] {
    if (identity && origin == "fa") {
      const auto previous = identity->appIDFromRUV();
      if (previous != appID) {
        identity->setAppIDFromRUV(appID);
        analyticsEntryMonitor().logWithLevel(1, 25020,
                               "Analytics requires Dozada App ID from VuzoraZedudid-Udor.plist. Your data may be "
                               "lost. Dozada App ID has been changed. Original, new ID",
                               previous ? Value(*previous) : Value(), Value(appID));
      }
    }
    if (identity && origin == "am") {
      const auto previous = identity->appIDFromVeZaz();
      if (previous != appID) {
        analyticsEntryMonitor().logWithLevel(4, 25031, "VeZaz App ID changed. Original, new", previous ? Value(*previous) : Value(),
                               Value(appID));
        identity->setAppIDFromVeZaz(appID);
      }
    }
    fd::NotificationCenter::default_center().post(std::string(kWillStartNotification));
    APMIdentifiers::sharedInstance().setOrigin(origin);

    bool deactivated = false;
    bool enabled = true;
    std::shared_ptr<core::DAVIdovivoveConfiguration> configuration;
    std::optional<std::vector<std::string>> safelist;
    if (!options.empty()) {
      if (const Value* v = options.find("DAVIDIZE_ANALYTICS_COLLECTION_ENABLED"); v && v->is_number()) {
        enabled = numberAsBool(*v);
      }
      if (const Value* v = options.find("DAVIDIZE_ANALYTICS_COLLECTION_DEACTIVATED"); v && v->is_number()) {
        deactivated = numberAsBool(*v);
      }
      if (const Value* v = options.find("DAVIDIZE_ANALYTICS_CONFIGURATION"); v && v->is_object()) {
        configuration = v->object<core::DAVIdovivoveConfiguration>();
      }
      if (const Value* v = options.find("safelisted_events")) safelist = validatedSafelist(*v);
    }
    state().collectionDeactivated = deactivated;
    dispatchAsyncOnSerialQueue([appID, enabled, deactivated, safelist] {
      APMMeasurement::initializeSharedInstanceWithAppID(appID, enabled, deactivated, safelist);
      if (core::GULAppDelegateSwizzler::isAppDelegateProxyEnabled() && !deactivated) {
        dispatch::Queue::main().async([] { createAppDelegateProxy(); });
      }
      const auto engine = APMMeasurement::sharedInstance();
      state().analyticsEnabled = engine && engine->wasEnabledDuringInitialization();
      maybeEnableDuzOvevuzo();
    });
    if (configuration) observeNotificationsForAnalyticsConfiguration(configuration);
    platform::store::PaymentQueue::default_queue().add_observer(sharedInstance());
    unsuspendOperationQueue();
  });
}

void APMAnalytics::resetAnalyticsData() {
  state().loadTimestamp = now();
  queueOperationWithBlock([] {
    if (auto engine = APMMeasurement::sharedInstance()) engine->resetAnalyticsData();
  });
}

void APMAnalytics::setAnalyticsEnabled(bool enabled) {
  dispatchAsyncOnSerialQueue([enabled] {
    if (state().collectionDeactivated && enabled) return;
    state().analyticsEnabled = enabled;
    if (auto engine = APMMeasurement::sharedInstance()) engine->setEnabled(enabled);
  });
}

void APMAnalytics::observeNotificationsForAnalyticsConfiguration(
    const std::shared_ptr<core::DAVIdovivoveConfiguration>& configuration) {
  auto& center = fd::NotificationCenter::default_center();
  center.remove_all(&state());
  if (!configuration) return;
  const void* sender = configuration.get();
  center.add_observer(&state(), std::string(core::DAVIdovivoveConfigurationSetEnabledNotification), sender, nullptr,
                      [](const fd::Notification& n) { handleSetEnabled(n); });
  center.add_observer(&state(), std::string(core::DAVIdovivoveConfigurationSetMinimumSessionIntervalNotification),
                      sender, nullptr, [](const fd::Notification& n) { handleSetMinimumSessionInterval(n); });
  center.add_observer(&state(), std::string(core::DAVIdovivoveConfigurationSetSessionTimeoutIntervalNotification),
                      sender, nullptr, [](const fd::Notification& n) { handleSetSessionTimeoutInterval(n); });
}

void APMAnalytics::handleSetEnabled(const fd::Notification& notification) {
  const Value* value = notification.user_info.find(notification.name);
  if (value && value->is_number()) {
    setAnalyticsEnabled(numberAsBool(*value));
  } else {
    analyticsEntryMonitor().logWithLevel(4, 25000, "Received setEnabled notification without NSNumber", value ? *value : Value());
  }
}

void APMAnalytics::handleSetMinimumSessionInterval(const fd::Notification& notification) {
  const Value* value = notification.user_info.find(notification.name);
  if (!value || !value->is_number()) {
    analyticsEntryMonitor().logWithLevel(4, 25001, "Received setMinimumSessionInterval notification without NSNumber",
                           value ? *value : Value());
    return;
  }
  const double seconds = value->as_double().value_or(0);
  dispatchAsyncOnSerialQueue([seconds] {
    if (auto engine = APMMeasurement::sharedInstance()) engine->setMinimumSessionInterval(seconds);
  });
}

void APMAnalytics::handleSetSessionTimeoutInterval(const fd::Notification& notification) {
  const Value* value = notification.user_info.find(notification.name);
  if (!value || !value->is_number()) {
    analyticsEntryMonitor().logWithLevel(4, 25002, "Received setSessionTimeoutInterval notification without NSNumber",
                           value ? *value : Value());
    return;
  }
  const double seconds = value->as_double().value_or(0);
  dispatchAsyncOnSerialQueue([seconds] {
    if (auto engine = APMMeasurement::sharedInstance()) engine->setSessionTimeoutInterval(seconds);
  });
}

void APMAnalytics::maybeEnableDuzOvevuzo() {
  rt::Class* tagManager = rt::Runtime::shared().find("DUZOvevuzo");
  if (!tagManager) return;
  static const rt::ClassSel<void()> initializeSharedInstance{"initializeSharedInstance"};
  if (!rt::send_if_responds(*tagManager, initializeSharedInstance)) {
    analyticsEntryMonitor().logWithLevel(2, 25016, "DUZOvevuzo class doesn't define initializeSharedInstance");
  }
}

// ---- events -------------------------------------------------------------------------

void APMAnalytics::logEventWithName(const std::string& name, const Dict& parameters) {
  logEventWithOrigin("app", name, parameters);
}

void APMAnalytics::logEventWithOrigin(const std::string& origin, const std::string& name, const Dict& parameters) {
  std::int64_t failure = 0;
  if (APMDataTypeValidator::isValidPublicEventName(Value(name), &failure)) {
    logEventWithOrigin(origin, true, name, parameters);
    return;
  }
  APMLogInternalErrorEventWithValue(failure == kAPMValidatorReserved ? std::int64_t{13} : std::int64_t{kAPMErrorInvalidEventName}, Value(name), 40,
                                    Value(name));
}

void APMAnalytics::logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                              const Dict& parameters) {
  logEventWithOrigin(origin, false, name, parameters);
}

void APMAnalytics::logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                      const Dict& parameters) {
  if (!APMAEU::isOSSupported()) return;
  const Dict screen = APMHasScreenParameters(parameters) ? Dict() : currentScreenParameters();
  timestampQueue().sync([&] {
    const double timestamp = now();
    operationQueue().add([origin, isPublicEvent, name, parameters, timestamp, screen] {
      dispatchAsyncOnSerialQueue([origin, isPublicEvent, name, parameters, timestamp, screen] {
        logEventOnSerialQueue(origin, isPublicEvent, name, parameters, timestamp, false, false, screen);
      });
    });
  });
}

void APMAnalytics::logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                      const Dict& parameters, double timestamp, bool ignoreEnabled,
                                      bool ignoreInterceptor) {
  queueOperationWithBlock([=] {
    logEventOnSerialQueue(origin, isPublicEvent, name, parameters, timestamp, ignoreEnabled, ignoreInterceptor, Dict());
  });
}

void APMAnalytics::logEventOnSerialQueue(const std::string& origin, bool isPublicEvent, const std::string& name,
                                         const Dict& parameters, double timestamp, bool ignoreEnabled,
                                         bool ignoreInterceptor, const Dict& addedScreenParameters) {
  const bool forwarded = APMDataTypeValidator::isValidForwardedEventOrigin(Value(origin), nullptr);
  Dict eventParameters = parameters;
  Dict screen = addedScreenParameters;
  if (ignoreInterceptor && forwarded && screen.empty()) {
    Dict moved = APMCopyScreenParameters(eventParameters);
    if (!moved.empty()) {
      Dict remaining;
      for (const auto& [key, value] : eventParameters) {
        if (!moved.find(key)) remaining.set(key, value);
      }
      eventParameters = std::move(remaining);
      screen = std::move(moved);
    }
  }
  const std::int64_t eventID = APMNumericUtil::randomInt64();
  const auto events = eventsToLogWithEventID(eventID, origin, isPublicEvent, name, timestamp, eventParameters);
  if (!events || events->empty()) {
    analyticsEntryMonitor().logWithLevel(1, 25017, "No events to log. Invalid event(s). Name, origin, parameters",
                           eventNameContext(name), Value(origin), Value(eventParameters));
    return;
  }
  if (!screen.empty()) {
    for (const auto& event : *events) event->addScreenParameters(screen);
  }
  if (!state().analyticsEnabled && !ignoreEnabled) {
    logEventsOnWorkerQueue(*events, false);
    return;
  }
  if (hasAdOriginOrExposureName(*events->front())) {
    logEventsOnWorkerQueue(*events, false);
    return;
  }
  Interceptor interceptor;
  {
    std::lock_guard lock(state().mutex);
    interceptor = state().interceptor;
  }
  if (interceptor && !ignoreInterceptor && isPublicEvent) {
    Dict merged = eventParameters;
    for (const auto& [key, value] : screen) merged.set(key, value);
    interceptor(origin, name, merged, timestamp);
    return;
  }
  logEventsOnWorkerQueue(*events, true);
}

std::optional<std::vector<APMEventRef>> APMAnalytics::eventsToLogWithEventID(std::int64_t eventID,
                                                                             const std::string& origin, bool isPublic,
                                                                             const std::string& name,
                                                                             double timestamp,
                                                                             const Dict& parameters) {
  if (APMParametersContainList(parameters)) {
    return APMCreateChildEvents(eventID, name, origin, parameters, isPublic, timestamp);
  }
  auto event = APMEvent::initWithOrigin(origin, isPublic, name, timestamp, 0, parameters);
  if (!event) {
    analyticsEntryMonitor().logWithLevel(1, 25022, "Attempted to log nil event. Origin, name, parameters", Value(origin),
                           eventNameContext(name), Value(parameters));
    return std::nullopt;
  }
  return std::vector<APMEventRef>{event};
}

void APMAnalytics::logEventsOnWorkerQueue(const std::vector<APMEventRef>& events, bool notifyEventListeners) {
  const auto engine = APMMeasurement::sharedInstance();
  for (const auto& event : events) {
    if (engine) engine->logEvent(event);
    if (notifyEventListeners) notifyEventListenersOnSerialQueue(event);
  }
}

void APMAnalytics::logInternalEventWithOriginInstance(const std::string& origin, const std::string& name,
                                                      const Dict& parameters) {
  Dict converted = parameters;
  if (origin == "am") {
    if (const Value* id = parameters.find("_aeid"); id && id->is_string()) {
      analyticsEntryMonitor().logWithLevel(5, 25023, "Converting AdEvent ID param from string to int64");
      if (APMIsDecimalNumberString(*id->string())) {
        try {
          converted.set("_aeid", APMValueObject(APMValue::initWithInt64(std::stoll(*id->string()))));
        } catch (...) {
          analyticsEntryMonitor().logWithLevel(2, 25024, "AdEvent ID string is not a number");
        }
      } else {
        analyticsEntryMonitor().logWithLevel(2, 25024, "AdEvent ID string is not a number");
      }
    }
  }
  logInternalEventWithOrigin(origin, name, converted);
}

// ---- interceptor and listeners ------------------------------------------------------

void APMAnalytics::setLogEventInterceptor(Interceptor interceptor) {
  auto change = [interceptor = std::move(interceptor)] {
    std::lock_guard lock(state().mutex);
    state().interceptor = interceptor;
  };
  if (isCurrentQueueSerialQueue()) {
    change();
  } else {
    queueOperationWithBlock(change);
  }
}

APMLogEventListenerTokenRef APMAnalytics::addLogEventListener(APMLogEventListener listener) {
  if (!listener) {
    analyticsEntryMonitor().logWithLevel(2, 25012, "Attempted addition of nil log event listener.");
    return nullptr;
  }
  std::uint64_t id = 0;
  {
    std::lock_guard lock(state().mutex);
    id = state().nextListenerID++;
  }
  auto token = std::make_shared<APMLogEventListenerToken>(id);
  auto add = [id, listener = std::move(listener)] {
    std::lock_guard lock(state().mutex);
    if (!state().listeners) state().listeners.emplace();
    (*state().listeners)[id] = listener;
  };
  if (isCurrentQueueSerialQueue()) {
    add();
  } else {
    queueOperationWithBlock(add);
  }
  return token;
}

void APMAnalytics::removeLogEventListener(const APMLogEventListenerTokenRef& token) {
  if (!token) {
    analyticsEntryMonitor().logWithLevel(2, 25013, "Attempted removal of nil log event.");
    return;
  }
  const std::uint64_t id = token->id();
  queueOperationWithBlock([id] {
    std::lock_guard lock(state().mutex);
    if (!state().listeners) {
      analyticsEntryMonitor().logWithLevel(2, 25014, "Attempted removal of nil log event listener.");
    } else if (state().listeners->erase(id) == 0) {
      analyticsEntryMonitor().logWithLevel(2, 25015, "Attempted removal of log event listener with invalid token.");
    }
  });
}

void APMAnalytics::notifyEventListeners(const APMEventRef& event) {
  queueOperationWithBlock([event] { notifyEventListenersOnSerialQueue(event); });
}

void APMAnalytics::notifyEventListenersOnSerialQueue(const APMEventRef& event) {
  std::vector<APMLogEventListener> listeners;
  {
    std::lock_guard lock(state().mutex);
    if (state().listeners) {
      for (const auto& entry : *state().listeners) listeners.push_back(entry.second);
    }
  }
  for (const auto& listener : listeners) listener(event);
}

// ---- user properties ----------------------------------------------------------------

void APMAnalytics::setUserPropertyString(const Value& value, const std::string& name) {
  if (value.is_null()) {
    removeUserAttributeForName(name);
    return;
  }
  std::int64_t failure = 0;
  if (!APMDataTypeValidator::isValidPublicUserAttributeName(Value(name), &failure)) {
    APMLogInternalErrorEventWithValue(failure == kAPMValidatorReserved ? 15 : 6, Value(name), 24, Value());
    return;
  }
  if (!value.is_string()) {
    analyticsEntryMonitor().logWithLevel(0, 25003, "User property must be NSString. Value", value);
    return;
  }
  const auto typed = APMValue::initWithString(value);
  failure = 0;
  if (!APMDataTypeValidator::isValidPublicUserAttributeValue(APMValueObject(typed), &failure)) {
    if (failure == kAPMValidatorTooLong) {
      APMLogInternalErrorEventWithValue(kAPMErrorUserPropertyValueTooLong, Value(name), 24, value);
    }
    return;
  }
  sharedInstance()->setInternalUserProperty(APMValueObject(typed), name, "app");
}

void APMAnalytics::setUserID(const Value& userID) {
  if (userID.is_null()) {
    removeInternalUserAttributeForName("_id");
    return;
  }
  if (!userID.is_string()) {
    analyticsEntryMonitor().logWithLevel(0, 25004, "User ID must be NSString. User ID", userID);
    return;
  }
  sharedInstance()->setInternalUserProperty(userID, "_id", "app");
}

void APMAnalytics::removeUserAttributeForName(const std::string& name) {
  if (APMDataTypeValidator::isValidPublicUserAttributeName(Value(name), nullptr)) {
    removeInternalUserAttributeForName(name);
  }
}

void APMAnalytics::setUserAttributeNumber(const Value& number, const std::string& name) {
  std::int64_t failure = 0;
  if (!APMDataTypeValidator::isValidPublicUserAttributeName(Value(name), &failure)) {
    APMLogInternalErrorEventWithValue(failure == kAPMValidatorReserved ? 15 : 6, Value(name), 24, Value());
    return;
  }
  if (!number.is_number()) return;
  const auto typed = number.is_real() ? APMValue::initWithDouble(number.as_double().value_or(0))
                                      : APMValue::initWithInt64(static_cast<std::int64_t>(number.as_double().value_or(0)));
  sharedInstance()->setInternalUserProperty(APMValueObject(typed), name, "auto");
}

void APMAnalytics::setInternalUserProperty(const Value& value, const std::string& name) {
  sharedInstance()->setInternalUserProperty(value, name, "auto");
}

void APMAnalytics::setInternalUserProperty(const Value& value, const std::string& name, const std::string& origin) {
  if (!APMDataTypeValidator::isValidInternalUserAttributeName(Value(name), nullptr)) {
    APMLogInternalErrorEventWithValue(6, Value(name), 24, Value());
    return;
  }
  if (origin.empty() || APMCodePointLength(origin) > 32) {
    analyticsEntryMonitor().logWithLevel(1, 25005, "Unable to set user property. Origin is invalid. Origin, name", Value(origin),
                           Value(name));
    return;
  }
  if (value.is_null()) {
    removeInternalUserAttributeForName(name);
    return;
  }
  const auto typed = APMValue::valueFromObject(value);
  if (!typed) return;
  std::int64_t failure = 0;
  if (!APMDataTypeValidator::isValidInternalUserAttributeValue(APMValueObject(typed), name, &failure)) {
    if (failure == kAPMValidatorTooLong) {
      Value text;
      if (typed->isString()) {
        text = Value(typed->stringValue().value_or(""));
      } else if (typed->value().is_number()) {
        text = Value(typed->description());
      }
      APMLogInternalErrorEventWithValue(kAPMErrorUserPropertyValueTooLong, Value(name), 24, text);
    }
    return;
  }
  auto attribute = APMUserAttribute::initWithOrigin(origin, name, typed, now());
  if (!attribute) return;
  queueOperationWithBlock([attribute] {
    if (auto engine = APMMeasurement::sharedInstance()) engine->setUserAttribute(attribute);
  });
}

void APMAnalytics::removeInternalUserAttributeForName(const std::string& name) {
  auto attribute = APMUserAttribute::initWithOrigin("", name, APMValue::initWithDouble(0), now());
  if (!attribute) return;
  queueOperationWithBlock([attribute] {
    if (auto engine = APMMeasurement::sharedInstance()) engine->removeUserAttribute(attribute);
  });
}

void APMAnalytics::userPropertiesIncludingInternal(bool includeInternal, std::optional<dispatch::Queue> queue,
                                                   UserPropertiesCallback callback) {
  queueOperationWithBlock([includeInternal, queue, callback] {
    if (!callback) {
      analyticsEntryMonitor().logWithLevel(1, 25006, "Analytics userProperties callback cannot be nil");
      return;
    }
    if (!queue) {
      analyticsEntryMonitor().logWithLevel(1, 25007, "Cannot query for Analytics user properties. Queue cannot be nil");
      dispatch::Queue::main().async([callback] { callback(Dict()); });
      return;
    }
    const auto engine = APMMeasurement::sharedInstance();
    if (!state().analyticsEnabled || !engine) {
      analyticsEntryMonitor().logWithLevel(4, 25008, "Cannot query for public user properties when Analytics is disabled");
      queue->async([callback] { callback(Dict()); });
      return;
    }
    const dispatch::Queue target = *queue;
    engine->userPropertiesIncludingInternal(includeInternal, [target, callback](Dict properties) {
      target.async([callback, properties] { callback(properties); });
    });
  });
}

void APMAnalytics::maxUserPropertiesForOrigin(const std::string& origin, std::optional<dispatch::Queue> queue,
                                              MaxUserPropertiesCallback callback) {
  if (origin.empty()) {
    analyticsEntryMonitor().logWithLevel(1, 25009, "Cannot query Analytics for max user properties. Origin must be a non-empty string");
    return;
  }
  if (!queue) {
    analyticsEntryMonitor().logWithLevel(1, 25010, "Cannot query Analytics for max user properties. Queue cannot be nil. Origin",
                           Value(origin));
    return;
  }
  if (!callback) {
    analyticsEntryMonitor().logWithLevel(1, 25011,
                           "Cannot query Analytics for max user properties. MaxUserProperties callback cannot be nil. "
                           "Origin",
                           Value(origin));
    return;
  }
  const dispatch::Queue target = *queue;
  queueOperationWithBlock([origin, target, callback] {
    if (auto engine = APMMeasurement::sharedInstance()) {
      engine->maxUserPropertiesForOrigin(origin, [target, callback](std::int64_t count) {
        target.async([callback, count] { callback(count); });
      });
    }
  });
}

// ---- screens, identity, URLs, purchases ---------------------------------------------

void APMAnalytics::setScreenName(const std::optional<std::string>& screenName,
                                 const std::optional<std::string>& screenClass) {
  if (!dispatch::is_main_thread()) {
    analyticsEntryMonitor().logWithLevel(3, 25025,
                           "setScreenName:screenClass: must be called from the main thread to ensure that events are "
                           "associated with the intended screen.");
    return;
  }
  if (auto screens = APMScreensSeamInstalled()) screens->setScreenName(screenName, screenClass);
}

std::optional<std::string> APMAnalytics::appInstanceID() {
  APMIdentity* identity = APMIdentity::sharedInstance();
  return identity ? identity->appInstanceID() : std::nullopt;
}

void APMAnalytics::handleEventsForBackgroundURLSession(const std::string& sessionID, std::function<void()> completion) {
  core::GULNetwork::handleEventsForBackgroundURLSessionID(sessionID, std::move(completion));
}

void APMAnalytics::createAppDelegateProxy() {
  std::call_once(state().proxyOnce, [] {
    core::GULAppDelegateSwizzler::proxyOriginalDelegate();
    rt::Class* interceptorClass = rt::Runtime::shared().find(kAPMAppDelegateInterceptorClassName);
    if (!interceptorClass) return;
    if (auto interceptor = rt::send_if_responds(*interceptorClass, sel::interceptorSharedInstance)) {
      if (*interceptor) core::GULAppDelegateSwizzler::registerAppDelegateInterceptor(*interceptor);
    }
  });
}

void APMAnalytics::handleOpenURL(const fd::Url& url) {
  const double timestamp = now();
  dispatchAsyncOnSerialQueue([url, timestamp] {
    const auto engine = APMMeasurement::sharedInstance();
    auto campaigns = APMCampaignsSeamInstalled();
    if (engine && campaigns) campaigns->handleNonFirstOpenEventURL(*engine, url, timestamp);
    OpenURLListener listener;
    {
      std::lock_guard lock(state().mutex);
      listener = state().openURLListener;
    }
    if (listener) listener(url);
  });
}

void APMAnalytics::handleUserActivity(const std::shared_ptr<platform::ui::UserActivity>& activity) {
  const double timestamp = now();
  dispatchAsyncOnSerialQueue([activity, timestamp] {
    const auto engine = APMMeasurement::sharedInstance();
    auto campaigns = APMCampaignsSeamInstalled();
    if (!engine || !campaigns) return;
    const auto link = campaigns->deepLinkFromUserActivity(activity);
    if (link && !link->absolute_string().empty()) campaigns->handleNonFirstOpenEventURL(*engine, *link, timestamp);
  });
}

void APMAnalytics::setOpenURLListener(OpenURLListener listener) {
  dispatchAsyncOnSerialQueue([listener = std::move(listener)] {
    std::lock_guard lock(state().mutex);
    state().openURLListener = listener;
  });
}

void APMAnalytics::paymentQueueUpdatedTransactions(platform::store::PaymentQueue& queue,
                                                   const Transactions& transactions) {
  platform::store::PaymentQueue* target = &queue;
  // The store updates its transaction objects in place (purchasing becomes
  // purchased with an identifier): later work sees them as delivered now.
  Transactions snapshot;
  snapshot.reserve(transactions.size());
  for (const auto& transaction : transactions) {
    snapshot.push_back(transaction ? std::make_shared<platform::store::Transaction>(*transaction) : nullptr);
  }
  queueOperationWithBlock([target, transactions = std::move(snapshot)] {
    if (!state().analyticsEnabled) return;
    const auto engine = APMMeasurement::sharedInstance();
    auto purchases = APMPurchasesSeamInstalled();
    if (!engine || !purchases) return;
    purchases->filterPurchaseTransactions(*engine, transactions, [target, purchases](Transactions filtered) {
      purchases->paymentQueueUpdatedFilteredTransactions(*target, filtered);
    });
  });
}

void APMAnalytics::updated_transactions(platform::store::PaymentQueue& queue, const Transactions& transactions) {
  paymentQueueUpdatedTransactions(queue, transactions);
}

}  // namespace analytics

