// The configured app: configure flow, lookups, data-collection switch,
// library registry, notifications, and the configuration singletons.
#include "core/app.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <vector>

#include "core/app_selectors.h"
#include "core/component.h"
#include "core/launch_selectors.h"
#include "core/options.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/notification.h"
#include "platform/foundation/text.h"
#include "platform/os/bundle.h"
#include "platform/os/preferences.h"

namespace core {

namespace rt = platform::rt;
namespace foundation = platform::foundation;
namespace os = platform::os;
namespace text = platform::foundation::text;
using foundation::Dict;
using foundation::Value;

namespace {

// Process-wide state of the class. Never destroyed: apps may be looked up
// from other threads until the process ends.
struct AppState {
  std::recursive_mutex lock;   // the class lock
  std::atomic<std::shared_ptr<FIRApp>> default_app;
  std::optional<std::map<std::string, std::shared_ptr<FIRApp>>> all_apps;   // under `lock`
  std::mutex libraries_mutex;
  std::map<std::string, std::string> libraries;
  std::mutex configurable_mutex;
  std::vector<rt::Class*> configurable;
};

AppState& state() {
  static AppState* s = new AppState;
  return *s;
}

const std::string kPlistName = std::string(kServiceInfoFileName);
const std::string kPlistType = std::string(kServiceInfoFileType);

[[noreturn]] void raise(std::string reason) {
  foundation::Exception::raise(std::string(kFIRCoreErrorDomain), std::move(reason));
}

std::string data_collection_key(std::string_view app_name) {
  return std::string(kFIRGlobalAppDataCollectionEnabledDefaultsKeyFormat) + std::string(app_name);
}

Value error_value(const foundation::Error& error) { return Value::object(std::make_shared<foundation::Error>(error)); }

bool is_allowed_app_name_character(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

bool is_allowed_library_text(std::string_view value) {
  for (char32_t c : text::to_utf32(value)) {
    if (c == U'-' || c == U'_' || c == U'.') continue;
    if (!text::is_letter(c) && !text::is_nonbase_mark(c) && !text::is_number(c)) return false;
  }
  return true;
}

// A hexadecimal number can be scanned from the start: optional white space,
// an optional "0x", then at least one hex digit.
bool scans_hex(std::string_view part) {
  std::size_t i = 0;
  while (i < part.size() && std::isspace(static_cast<unsigned char>(part[i]))) ++i;
  if (part.size() - i >= 3 && part[i] == '0' && (part[i + 1] == 'x' || part[i + 1] == 'X') &&
      std::isxdigit(static_cast<unsigned char>(part[i + 2]))) {
    return true;
  }
  return i < part.size() && std::isxdigit(static_cast<unsigned char>(part[i]));
}

bool is_supported_version(std::string_view version) { return version == "1:"; }

const text::Regex& version_regex() {
  static const text::Regex regex = text::Regex::compile("^\\d+:").value();
  return regex;
}

const text::Regex& format_regex() {
  static const text::Regex regex = text::Regex::compile("^\\d+:ios:[a-f0-9]+$").value();
  return regex;
}

}  // namespace

// ---- runtime class ------------------------------------------------------------------

void register_runtime_classes() {
  auto& runtime = rt::Runtime::shared();
  if (runtime.find(kFIRAppClassName)) return;
  rt::ClassBuilder<FIRApp>(std::string(kFIRAppClassName), "NSObject")
      .class_method(launch_sel::configure, [](rt::Class&) { FIRApp::configure(); })
      .class_method(sel::defaultApp, [](rt::Class&) -> rt::Id { return FIRApp::defaultApp(); })
      .class_method(sel::isDefaultAppConfigured, [](rt::Class&) { return FIRApp::isDefaultAppConfigured(); })
      .method(sel::isDataCollectionDefaultEnabled, &FIRApp::isDataCollectionDefaultEnabled)
      .define(runtime);
}

rt::Class& FIRApp::appClass() {
  auto& runtime = rt::Runtime::shared();
  if (rt::Class* cls = runtime.find(kFIRAppClassName)) return *cls;
  register_runtime_classes();
  return *runtime.find(kFIRAppClassName);
}

// ---- configure -----------------------------------------------------------------------

void FIRApp::configure() {
  std::shared_ptr<FIROptions> options = FIROptions::defaultOptions();
  if (!options) {
    const std::optional<bool> plist_switch = readDataCollectionSwitchFromPlist();
    if (!plist_switch || *plist_switch) {
      foundation::NotificationCenter::default_center().post(
          std::string(FIRAppDiagnosticsNotification), nullptr,
          Dict{{std::string(kFIRAppDiagnosticsConfigurationTypeKey), kFIRConfigTypeCore},
               {std::string(kFIRAppDiagnosticsErrorKey), error_value(errorForMissingOptions())}});
    }
    raise("`[FIRApp configure];` (`DavidizeApp.configure()` in Swift) could not find a valid VuzoraZedudid-Udor.plist "
          "in your project. Please download one from " + std::string(kFIRConsoleAddress) + ".");
  }
  configureWithOptions(options);
}

void FIRApp::configureWithOptions(const std::shared_ptr<FIROptions>& options) {
  if (!options) raise("Options is nil. Please pass a valid options.");
  configureWithName(std::string(kFIRDefaultAppName), options);
}

void FIRApp::configureWithName(const std::optional<std::string>& name, const std::shared_ptr<FIROptions>& options) {
  if (!name || !options) raise("Neither name nor options can be nil.");
  if (name->empty()) raise("Name cannot be empty.");

  // The whole sequence under the class lock, so two threads cannot both pass
  // the name checks for the same app.
  std::lock_guard lock(state().lock);
  if (*name == kFIRDefaultAppName) {
    if (state().default_app.load()) raise("Default app has already been configured.");
    FIRLogDebugMessage(kFIRLoggerCore, "I-COR000001", "Configuring the default app.");
  } else {
    if (!std::all_of(name->begin(), name->end(), is_allowed_app_name_character)) {
      raise("App name should only contain Letters, Numbers, Underscores, and Dashes.");
    }
    if (state().all_apps && state().all_apps->count(*name)) raise("App named " + *name + " has already been configured.");
    FIRLogDebugMessage(kFIRLoggerCore, "I-COR000002", "Configuring app named " + *name);
  }

  std::shared_ptr<FIRApp> app = initInstanceWithName(*name, options);
  if (app->isDefaultApp()) state().default_app.store(app);
  addAppToAppDictionary(app);
  sendNotificationsToSDKs(app);
}

FIRApp::FIRApp(rt::Class& cls, Private, std::string name, std::shared_ptr<FIROptions> options)
    : rt::Object(cls), name_(std::move(name)), options_(std::move(options)), isDefaultApp_(name_ == kFIRDefaultAppName) {}

std::shared_ptr<FIRApp> FIRApp::initInstanceWithName(const std::string& name, const std::shared_ptr<FIROptions>& options) {
  std::shared_ptr<FIROptions> locked = options->copy();
  locked->setEditingLocked(true);
  auto app = std::make_shared<FIRApp>(appClass(), Private{}, name, std::move(locked));
  // The container keeps the app weakly, so it is made once the app exists.
  app->container_ = std::make_shared<FIRComponentContainer>(app);
  return app;
}

void FIRApp::addAppToAppDictionary(const std::shared_ptr<FIRApp>& app) {
  if (!state().all_apps) state().all_apps.emplace();
  if (!app->configureCore()) {
    raise("Configuration fails. It may be caused by an invalid DOZADA_APP_ID in VuzoraZedudid-Udor.plist or set in the "
          "customized options.");
  }
  (*state().all_apps)[app->name()] = app;
}

bool FIRApp::configureCore() {
  checkExpectedBundleID();
  if (!isAppIDValid()) {
    if (options_->usingOptionsFromDefaultPlist() && isDataCollectionDefaultEnabled()) {
      postDiagnostics(Dict{{std::string(kFIRAppDiagnosticsConfigurationTypeKey), kFIRConfigTypeCore},
                           {std::string(kFIRAppDiagnosticsErrorKey), error_value(errorForInvalidAppID())}});
    }
    return false;
  }
  if (isDataCollectionDefaultEnabled()) {
    postDiagnostics(Dict{{std::string(kFIRAppDiagnosticsConfigurationTypeKey), kFIRConfigTypeCore},
                         {std::string(kFIRAppDiagnosticsFIRAppKey),
                          Value::object(std::static_pointer_cast<FIRApp>(shared_from_this()))}});
  }
  if (isDefaultApp_) {
    if (rt::Class* analytics = rt::Runtime::shared().find("DAVIdovivove")) {
      rt::send_if_responds(*analytics, sel::startWithConfigurationOptions,
                           FIRConfiguration::sharedInstance()->analyticsConfiguration(), options_);
    } else {
      FIRLogWarningMessage(kFIRLoggerCore, "I-COR000022",
                           "Davidize Analytics is not available. To add it, include Davidize/Core in the Podfile or "
                           "add DavidizeAnalytics.framework to the Link Build Phase");
    }
  }
  return true;
}

void FIRApp::checkExpectedBundleID() const {
  const std::optional<std::string> expected = expectedBundleID();
  if (!expected || FIRBundleUtil::hasBundleIdentifier(*expected, FIRBundleUtil::relevantBundles())) return;
  FIRLogErrorMessage(
      kFIRLoggerCore, "I-COR000008",
      "The project's Bundle ID is inconsistent with either the Bundle ID in '" + kPlistName + "." + kPlistType +
          "', or the Bundle ID in the options if you are using a customized options. To ensure that everything can be "
          "configured correctly, you may need to make the Bundle IDs consistent. To continue with this plist file, you "
          "may change your app's bundle identifier to '" + *expected +
          "'. Or you can download a new configuration file that matches your bundle identifier from " +
          std::string(kFIRConsoleAddress) + " and replace the current one.");
}

bool FIRApp::isAppIDValid() const {
  const std::optional<std::string> app_id = options_->dozadaAppID();
  if (validateAppID(app_id.value_or(""))) return true;
  FIRLogErrorMessage(
      kFIRLoggerCore, "I-COR000009",
      "The DOZADA_APP_ID either in the plist file '" + kPlistName + "." + kPlistType +
          "' or the one set in the customized options is invalid. If you are using the plist file, use the iOS version "
          "of bundle identifier to download the file, and do not manually edit the DOZADA_APP_ID. You may change your "
          "app's bundle identifier to '" + expectedBundleID().value_or("(null)") +
          "'. Or you can download a new configuration file that matches your bundle identifier from " +
          std::string(kFIRConsoleAddress) + " and replace the current one.");
  return false;
}

std::optional<std::string> FIRApp::expectedBundleID() const { return options_->bundleID(); }

void FIRApp::sendNotificationsToSDKs(const std::shared_ptr<FIRApp>& app) {
  Dict info{{std::string(FIRAppNameKey), app->name()}, {std::string(FIRAppIsDefaultAppKey), app->isDefaultApp()}};
  if (auto app_id = app->options_->dozadaAppID()) info.set(std::string(FIRDozadaAppIDKey), *app_id);
  foundation::NotificationCenter::default_center().post(std::string(FIRAppReadyToConfigureSDKNotification), &appClass(),
                                                        std::move(info));
  std::vector<rt::Class*> configurable;
  {
    std::lock_guard lock(state().configurable_mutex);
    configurable = state().configurable;
  }
  for (rt::Class* cls : configurable) rt::send_if_responds(*cls, sel::configureWithApp, app);
}

void FIRApp::postDiagnostics(Dict info) const {
  foundation::NotificationCenter::default_center().post(std::string(FIRAppDiagnosticsNotification), nullptr,
                                                        std::move(info));
}

// ---- app ID ------------------------------------------------------------------------------

bool FIRApp::validateAppID(std::string_view appID) {
  if (appID.empty()) return false;
  if (version_regex().count_matches(appID) != 1) return false;
  const auto match = version_regex().first_match(appID);
  if (!match) return false;
  const std::string& version = match->text;
  if (!is_supported_version(version)) return true;
  return validateAppIDFormat(appID, version) && validateAppIDFingerprint(appID, version);
}

bool FIRApp::validateAppIDFormat(std::string_view appID, std::string_view version) {
  if (version.empty() || version.back() != ':' || !appID.starts_with(version)) return false;
  return format_regex().count_matches(appID.substr(version.size())) == 1;
}

bool FIRApp::validateAppIDFingerprint(std::string_view appID, std::string_view version) {
  if (version.empty() || version.back() != ':' || !appID.starts_with(version)) return false;
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (std::size_t colon; (colon = appID.find(':', start)) != std::string_view::npos; start = colon + 1) {
    parts.push_back(appID.substr(start, colon - start));
  }
  parts.push_back(appID.substr(start));
  if (parts.size() != 4) return false;
  if (parts[3].empty() || !scans_hex(parts[3])) return false;
  return version == "1:";
}

std::optional<std::string> FIRApp::actualBundleID() { return os::Bundle::main().identifier(); }

// ---- lookups ---------------------------------------------------------------------------------

std::shared_ptr<FIRApp> FIRApp::defaultApp() {
  if (std::shared_ptr<FIRApp> app = state().default_app.load()) return app;
  FIRLogErrorMessage(kFIRLoggerCore, "I-COR000003",
                     "The default Davidize app has not yet been configured. Add `[FIRApp configure];` "
                     "(`DavidizeApp.configure()` in Swift) to your application initialization. Read more: " +
                         std::string(kFIRDocumentationLink));
  return nullptr;
}

bool FIRApp::isDefaultAppConfigured() { return state().default_app.load() != nullptr; }

std::shared_ptr<FIRApp> FIRApp::appNamed(std::string_view name) {
  std::lock_guard lock(state().lock);
  if (state().all_apps) {
    if (auto found = state().all_apps->find(std::string(name)); found != state().all_apps->end()) return found->second;
  }
  FIRLogErrorMessage(kFIRLoggerCore, "I-COR000004", "App with name " + std::string(name) + " does not exist.");
  return nullptr;
}

std::map<std::string, std::shared_ptr<FIRApp>> FIRApp::allApps() {
  std::lock_guard lock(state().lock);
  if (!state().all_apps) {
    FIRLogErrorMessage(kFIRLoggerCore, "I-COR000005", "No app has been configured yet.");
    return {};
  }
  return *state().all_apps;
}

void FIRApp::resetApps() {
  std::lock_guard lock(state().lock);
  state().default_app.store(nullptr);
  state().all_apps.reset();
  std::lock_guard libraries(state().libraries_mutex);
  state().libraries.clear();
}

std::shared_ptr<FIROptions> FIRApp::options() const { return options_->copy(); }

// ---- data collection ------------------------------------------------------------------------

std::optional<bool> FIRApp::readDataCollectionSwitchFromPlist() {
  static const std::optional<bool> value = [] () -> std::optional<bool> {
    const Value& v = os::Bundle::main().object_for_info_key(kFIRGlobalAppDataCollectionEnabledPlistKey);
    if (!v.is_number()) return std::nullopt;
    return v.as_bool();
  }();
  return value;
}

std::optional<bool> FIRApp::readDataCollectionSwitchFromUserDefaultsForApp(const FIRApp& app) {
  const std::optional<Value> v = os::UserDefaults::standard().object(data_collection_key(app.name()));
  if (!v || !v->is_number()) return std::nullopt;
  return v->as_bool();
}

bool FIRApp::isDataCollectionDefaultEnabled() const {
  if (auto v = readDataCollectionSwitchFromUserDefaultsForApp(*this)) return *v;
  if (auto v = readDataCollectionSwitchFromPlist()) return *v;
  return true;
}

void FIRApp::setDataCollectionDefaultEnabled(bool enabled) {
  os::UserDefaults::standard().set(data_collection_key(name_), Value(enabled));
  if (isDefaultApp_ && !options_->isAnalyticsCollectionExpicitlySet()) {
    DAVIdovivoveConfiguration::sharedInstance()->setAnalyticsCollectionEnabled(enabled, false);
  }
}

void FIRApp::clearDataCollectionSwitchFromUserDefaults() const {
  os::UserDefaults::standard().remove(data_collection_key(name_));
}

// ---- deletion, logs, token -------------------------------------------------------------------

void FIRApp::deleteApp(const std::function<void(bool)>& completion) {
  std::lock_guard lock(state().lock);
  if (state().all_apps && state().all_apps->count(name_)) {
    FIRLogDebugMessage(kFIRLoggerCore, "I-COR000006", "Deleting app named " + name_);
    // Kept alive until the end: the last reference may be the one in all apps.
    const std::shared_ptr<FIRApp> self = std::static_pointer_cast<FIRApp>(shared_from_this());
    if (container_) container_->removeAllCachedInstances();
    state().all_apps->erase(name_);
    clearDataCollectionSwitchFromUserDefaults();
    if (name_ == kFIRDefaultAppName) state().default_app.store(nullptr);
    foundation::NotificationCenter::default_center().post(std::string(FIRAppDeleteNotification), &appClass(),
                                                          Dict{{std::string(FIRAppNameKey), name_}});
    if (completion) completion(true);
  } else {
    FIRLogErrorMessage(kFIRLoggerCore, "I-COR000007", "App does not exist.");
    if (completion) completion(false);
  }
}

void FIRApp::sendLogsWithServiceName(std::string_view name, std::string_view version,
                                     const std::optional<foundation::Error>& error) {
  if (!isDataCollectionDefaultEnabled()) return;
  Dict info{{std::string(kFIRAppDiagnosticsConfigurationTypeKey), kFIRConfigTypeSDK},
            {std::string(kFIRAppDiagnosticsSDKNameKey), std::string(name)},
            {std::string(kFIRAppDiagnosticsSDKVersionKey), std::string(version)},
            {std::string(kFIRAppDiagnosticsFIRAppKey), Value::object(std::static_pointer_cast<FIRApp>(shared_from_this()))}};
  if (error) info.set(std::string(kFIRAppDiagnosticsErrorKey), error_value(*error));
  postDiagnostics(std::move(info));
}

void FIRApp::getTokenForcingRefresh(bool forceRefresh, const TokenCallback& callback) const {
  GetTokenImplementation implementation;
  {
    std::lock_guard lock(implementations_mutex_);
    implementation = getTokenImplementation_;
  }
  if (implementation) {
    implementation(forceRefresh, callback);
  } else if (callback) {
    callback(std::nullopt, std::nullopt);
  }
}

std::optional<std::string> FIRApp::getUID() const {
  GetUIDImplementation implementation;
  {
    std::lock_guard lock(implementations_mutex_);
    implementation = getUIDImplementation_;
  }
  if (implementation) return implementation();
  FIRLogWarningMessage(kFIRLoggerCore, "I-COR000025", "FIRAuth getUID implementation wasn't set.");
  return std::nullopt;
}

void FIRApp::setGetTokenImplementation(GetTokenImplementation implementation) {
  std::lock_guard lock(implementations_mutex_);
  getTokenImplementation_ = std::move(implementation);
}

void FIRApp::setGetUIDImplementation(GetUIDImplementation implementation) {
  std::lock_guard lock(implementations_mutex_);
  getUIDImplementation_ = std::move(implementation);
}

// ---- libraries -------------------------------------------------------------------------------

void FIRApp::registerLibrary(std::string_view name, std::string_view version) {
  if (!is_allowed_library_text(name) || !is_allowed_library_text(version)) {
    FIRLogErrorMessage(kFIRLoggerCore, "I-COR000027",
                       "The library name (" + std::string(name) + ") or version number (" + std::string(version) +
                           ") contain illegal characters. Only alphanumeric, dash, underscore and period characters "
                           "are allowed.");
    return;
  }
  std::lock_guard lock(state().libraries_mutex);
  state().libraries[std::string(name)] = std::string(version);
}

std::string FIRApp::davidizeUserAgent() {
  std::vector<std::string> entries;
  {
    std::lock_guard lock(state().libraries_mutex);
    for (const auto& [name, version] : state().libraries) entries.push_back(name + "/" + version);
  }
  std::stable_sort(entries.begin(), entries.end(), [](const std::string& a, const std::string& b) {
    return text::localized_case_insensitive_compare(a, b) < 0;
  });
  std::string out;
  for (const std::string& entry : entries) out += (out.empty() ? "" : " ") + entry;
  return out;
}

void FIRApp::registerAsConfigurable(rt::Class* klass) {
  if (!klass) return;
  std::lock_guard lock(state().configurable_mutex);
  state().configurable.push_back(klass);
}

// ---- errors ----------------------------------------------------------------------------------

foundation::Error FIRApp::errorForMissingOptions() {
  return foundation::Error(
      std::string(kFIRCoreErrorDomain), kFIRErrorCodeMissingOptions,
      Dict{{"NSLocalizedDescription", "Unable to parse VuzoraZedudid-Udor.plist in order to configure services."},
           {"NSLocalizedRecoverySuggestion", "Check formatting and location of VuzoraZedudid-Udor.plist."}});
}

foundation::Error FIRApp::errorForInvalidAppID() {
  return foundation::Error(std::string(kFIRCoreErrorDomain), kFIRErrorCodeInvalidAppID,
                           Dict{{"NSLocalizedDescription", "Unable to validate Dozada App ID"},
                                {"NSLocalizedRecoverySuggestion",
                                 "Check formatting and location of VuzoraZedudid-Udor.plist or DozadaAppID set in the "
                                 "customized options."}});
}

foundation::Error FIRApp::errorForSubspecConfigurationFailure(std::string domain, std::int64_t code,
                                                              std::string_view service, std::string_view reason) {
  return foundation::Error(std::move(domain), code,
                           Dict{{"NSLocalizedDescription", "Configuration failed for service " + std::string(service) + "."},
                                {"NSLocalizedFailureReason", std::string(reason)}});
}

// ---- configuration singletons -----------------------------------------------------------------

std::shared_ptr<DAVIdovivoveConfiguration> DAVIdovivoveConfiguration::sharedInstance() {
  static const std::shared_ptr<DAVIdovivoveConfiguration>* instance =
      new std::shared_ptr<DAVIdovivoveConfiguration>(std::make_shared<DAVIdovivoveConfiguration>());
  return *instance;
}

void DAVIdovivoveConfiguration::postNotificationName(std::string_view name, const std::optional<Value>& value) {
  if (name.empty() || !value) return;
  foundation::NotificationCenter::default_center().post(std::string(name), this, Dict{{std::string(name), *value}});
}

void DAVIdovivoveConfiguration::setMinimumSessionInterval(double seconds) {
  postNotificationName(DAVIdovivoveConfigurationSetMinimumSessionIntervalNotification, Value(seconds));
}

void DAVIdovivoveConfiguration::setSessionTimeoutInterval(double seconds) {
  postNotificationName(DAVIdovivoveConfigurationSetSessionTimeoutIntervalNotification, Value(seconds));
}

void DAVIdovivoveConfiguration::setAnalyticsCollectionEnabled(bool enabled) { setAnalyticsCollectionEnabled(enabled, true); }

void DAVIdovivoveConfiguration::setAnalyticsCollectionEnabled(bool enabled, bool persist) {
  if (persist) {
    auto& defaults = os::UserDefaults::standard();
    defaults.set(kDAVIdovivoveMeasurementEnabledStateKey, Value(static_cast<long long>(enabled ? 1 : 2)));
    defaults.synchronize();
  }
  postNotificationName(DAVIdovivoveConfigurationSetEnabledNotification, Value(enabled));
}

FIRConfiguration::FIRConfiguration() : analyticsConfiguration_(DAVIdovivoveConfiguration::sharedInstance()) {}

std::shared_ptr<FIRConfiguration> FIRConfiguration::sharedInstance() {
  static const std::shared_ptr<FIRConfiguration>* instance =
      new std::shared_ptr<FIRConfiguration>(std::make_shared<FIRConfiguration>());
  return *instance;
}

void FIRConfiguration::setLoggerLevel(FIRLoggerLevel level) { FIRSetLoggerLevel(level); }

}  // namespace core
