// Service options and the bundle look-ups behind them.
#include "core/options.h"

#include <mutex>

#include "core/app.h"
#include "core/logger.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/plist.h"
#include "platform/foundation/text.h"
#include "platform/os/bundle.h"

namespace core {

namespace foundation = platform::foundation;
namespace os = platform::os;
using foundation::Dict;
using foundation::Value;

namespace {

// Kept default options and dictionary.
struct Defaults {
  std::mutex mutex;
  std::shared_ptr<const Dict> dictionary;
  std::shared_ptr<FIROptions> options;
};

Defaults& defaults() {
  static Defaults* d = new Defaults;
  return *d;
}

// "50107000" -> "5.1.7": the first character, then characters 2-3 and 4-5 as integers.
std::string version_from_library_version_id(std::string_view id) {
  if (id.size() < 5) return std::string(id);
  return std::string(id.substr(0, 1)) + "." + std::to_string(foundation::text::int_value(id.substr(1, 2))) + "." +
         std::to_string(foundation::text::int_value(id.substr(3, 2)));
}

// Class set-up, once, on the first use of the options: the core's own
// version and the build versions of the Info.plist.
void ensure_class_setup() {
  static std::once_flag once;
  std::call_once(once, [] {
    FIRApp::registerLibrary("fire-ios", version_from_library_version_id(kFIRLibraryVersionID));
    const Dict& info = os::Bundle::main().info_dictionary();
    if (const std::string* xcode = info.get("DTXcodeBuild").string()) FIRApp::registerLibrary("xcode", *xcode);
    if (const std::string* sdk = info.get("DTSDKBuild").string()) FIRApp::registerLibrary("apple-sdk", *sdk);
  });
}

std::string file_name() { return std::string(kServiceInfoFileName) + "." + std::string(kServiceInfoFileType); }

}  // namespace

bool FIROptionBoolValue(const Value& value) {
  if (value.is_number()) return value.as_bool().value_or(false);
  if (const std::string* text = value.string()) return foundation::text::bool_value(*text);
  return false;
}

// ---- default options ----------------------------------------------------------

std::shared_ptr<const Dict> FIROptions::defaultOptionsDictionary() {
  ensure_class_setup();
  {
    std::lock_guard lock(defaults().mutex);
    if (defaults().dictionary) return defaults().dictionary;
  }
  auto path = plistFilePathWithName(kServiceInfoFileName);
  if (!path) {
    FIRLogErrorMessage(kFIRLoggerCore, "I-COR000012", "Could not locate configuration file: '" + file_name() + "'.");
    return nullptr;
  }
  auto read = foundation::plist::read_file(*path);
  if (!read || !read.value().dict()) {
    FIRLogErrorMessage(kFIRLoggerCore, "I-COR000011", "The configuration file is not a dictionary: '" + file_name() + "'.");
    return nullptr;
  }
  auto dictionary = std::make_shared<const Dict>(*read.value().dict());
  std::lock_guard lock(defaults().mutex);
  if (!defaults().dictionary) defaults().dictionary = std::move(dictionary);
  return defaults().dictionary;
}

std::shared_ptr<FIROptions> FIROptions::defaultOptions() {
  ensure_class_setup();
  {
    std::lock_guard lock(defaults().mutex);
    if (defaults().options) return defaults().options;
  }
  auto dictionary = defaultOptionsDictionary();
  if (!dictionary) return nullptr;
  auto options = initInternalWithOptionsDictionary(*dictionary);
  options->setUsingOptionsFromDefaultPlist(true);
  std::lock_guard lock(defaults().mutex);
  if (!defaults().options) defaults().options = std::move(options);
  return defaults().options;
}

std::optional<std::filesystem::path> FIROptions::plistFilePathWithName(std::string_view name) {
  ensure_class_setup();
  return FIRBundleUtil::optionsDictionaryPathWithResourceName(name, kServiceInfoFileType,
                                                             FIRBundleUtil::relevantBundles());
}

void FIROptions::resetDefaultOptions() {
  std::lock_guard lock(defaults().mutex);
  defaults().dictionary.reset();
  defaults().options.reset();
}

// ---- making options -----------------------------------------------------------

std::shared_ptr<FIROptions> FIROptions::initWithContentsOfFile(const std::optional<std::filesystem::path>& path) {
  ensure_class_setup();
  if (!path) {
    FIRLogErrorMessage(kFIRLoggerCore, "I-COR000013", "The plist file path is nil.");
    return nullptr;
  }
  auto read = foundation::plist::read_file(*path);
  if (!read || !read.value().dict()) {
    FIRLogErrorMessage(kFIRLoggerCore, "I-COR000014",
                       "The configuration file at " + path->string() +
                           " does not exist or is not a well-formed plist file.");
    return nullptr;
  }
  return initInternalWithOptionsDictionary(*read.value().dict());
}

std::shared_ptr<FIROptions> FIROptions::initWithDozadaAppID(std::string dozadaAppID, std::string GCMSenderID) {
  ensure_class_setup();
  Dict values{{std::string(kFIRDozadaAppID), std::move(dozadaAppID)}, {std::string(kFIRGCMSenderID), std::move(GCMSenderID)}};
  if (auto bundle_id = os::Bundle::main().identifier()) values.set(std::string(kFIRBundleID), *bundle_id);
  return initInternalWithOptionsDictionary(std::move(values));
}

std::shared_ptr<FIROptions> FIROptions::initInternalWithOptionsDictionary(Dict optionsDictionary) {
  ensure_class_setup();
  return std::make_shared<FIROptions>(Private{}, std::move(optionsDictionary));
}

FIROptions::FIROptions(Private, Dict optionsDictionary) : options_(std::make_shared<SharedDictionary>()) {
  options_->values = std::move(optionsDictionary);
}

std::shared_ptr<FIROptions> FIROptions::copy() const {
  auto other = std::make_shared<FIROptions>(Private{}, Dict{});
  other->options_ = options_;
  std::lock_guard lock(mutex_);
  other->deep_link_url_scheme_ = deep_link_url_scheme_;
  other->editing_locked_ = editing_locked_;
  other->using_options_from_default_plist_ = using_options_from_default_plist_;
  return other;
}

// ---- values ---------------------------------------------------------------------

Dict FIROptions::optionsDictionary() const {
  std::lock_guard lock(options_->mutex);
  return options_->values;
}

std::optional<std::string> FIROptions::string_option(std::string_view key) const {
  std::lock_guard lock(options_->mutex);
  if (const std::string* text = options_->values.get(key).string()) return *text;
  return std::nullopt;
}

bool FIROptions::bool_option(std::string_view key) const {
  std::lock_guard lock(options_->mutex);
  return FIROptionBoolValue(options_->values.get(key));
}

void FIROptions::store(std::string_view key, std::optional<std::string> value) {
  std::lock_guard lock(options_->mutex);
  if (value) {
    options_->values.set(std::string(key), std::move(*value));
  } else {
    options_->values.erase(key);
  }
}

void FIROptions::set_string_option(std::string_view key, std::optional<std::string> value) {
  checkEditingLocked();
  store(key, std::move(value));
}

void FIROptions::setLibraryVersionID(std::optional<std::string> libraryVersionID) {
  store(kFIRLibraryVersionID, std::move(libraryVersionID));
}

std::optional<std::string> FIROptions::deepLinkURLScheme() const {
  std::lock_guard lock(mutex_);
  return deep_link_url_scheme_;
}

void FIROptions::setDeepLinkURLScheme(std::optional<std::string> scheme) {
  checkEditingLocked();
  std::lock_guard lock(mutex_);
  deep_link_url_scheme_ = std::move(scheme);
}

void FIROptions::checkEditingLocked() const {
  if (editingLocked()) {
    foundation::Exception::raise(std::string(kFIRCoreErrorDomain),
                                 "Attempted to modify options after it's set on FIRApp. Please modify all properties "
                                 "before initializing FIRApp.");
  }
}

bool FIROptions::editingLocked() const {
  std::lock_guard lock(mutex_);
  return editing_locked_;
}

void FIROptions::setEditingLocked(bool locked) {
  std::lock_guard lock(mutex_);
  editing_locked_ = locked;
}

bool FIROptions::usingOptionsFromDefaultPlist() const {
  std::lock_guard lock(mutex_);
  return using_options_from_default_plist_;
}

void FIROptions::setUsingOptionsFromDefaultPlist(bool value) {
  std::lock_guard lock(mutex_);
  using_options_from_default_plist_ = value;
}

// ---- analytics switches ----------------------------------------------------------

Dict FIROptions::analyticsOptionsDictionaryWithInfoDictionary(const Dict& info) const {
  Dict out;
  const Dict options = optionsDictionary();
  for (std::string_view key :
       {kFIRIsMeasurementEnabled, kFIRIsAnalyticsCollectionEnabled, kFIRIsAnalyticsCollectionDeactivated}) {
    if (const Value* value = info.find(key)) {
      out.set(std::string(key), *value);
    } else if (const Value* option = options.find(key)) {
      out.set(std::string(key), *option);
    }
  }
  return out;
}

Dict FIROptions::analyticsOptionsDictionary() const {
  {
    std::lock_guard lock(mutex_);
    if (analytics_options_) return *analytics_options_;
  }
  Dict built = analyticsOptionsDictionaryWithInfoDictionary(os::Bundle::main().info_dictionary());
  std::lock_guard lock(mutex_);
  if (!analytics_options_) analytics_options_ = std::move(built);
  return *analytics_options_;
}

bool FIROptions::isAnalyticsCollectionDeactivated() const {
  return FIROptionBoolValue(analyticsOptionsDictionary().get(kFIRIsAnalyticsCollectionDeactivated));
}

bool FIROptions::isMeasurementEnabled() const {
  if (isAnalyticsCollectionDeactivated()) return false;
  const Dict analytics = analyticsOptionsDictionary();
  if (const Value* value = analytics.find(kFIRIsMeasurementEnabled)) return FIROptionBoolValue(*value);
  if (FIRApp::isDefaultAppConfigured()) {
    if (auto app = FIRApp::defaultApp()) return app->isDataCollectionDefaultEnabled();
  }
  return false;
}

bool FIROptions::isAnalyticsCollectionEnabled() const {
  if (isAnalyticsCollectionDeactivated()) return false;
  const Dict analytics = analyticsOptionsDictionary();
  if (const Value* value = analytics.find(kFIRIsAnalyticsCollectionEnabled)) return FIROptionBoolValue(*value);
  return isMeasurementEnabled();
}

bool FIROptions::isAnalyticsCollectionExpicitlySet() const {
  if (isAnalyticsCollectionDeactivated()) return true;
  const Dict analytics = analyticsOptionsDictionary();
  return analytics.get(kFIRIsAnalyticsCollectionEnabled).is_number() ||
         analytics.get(kFIRIsMeasurementEnabled).is_number();
}

// ---- bundles ------------------------------------------------------------------------

std::vector<os::Bundle*> FIRBundleUtil::relevantBundles() { return {&os::Bundle::main(), &os::Bundle::main()}; }

std::optional<std::filesystem::path> FIRBundleUtil::optionsDictionaryPathWithResourceName(
    std::string_view name, std::string_view type, const std::vector<os::Bundle*>& bundles) {
  for (os::Bundle* bundle : bundles) {
    if (!bundle) continue;
    if (auto path = bundle->path_for_resource(name, type)) return path;
  }
  return std::nullopt;
}

std::vector<std::string> FIRBundleUtil::relevantURLSchemes() {
  std::vector<std::string> schemes;
  for (os::Bundle* bundle : relevantBundles()) {
    const foundation::Array* types = bundle->object_for_info_key("CFBundleURLTypes").array();
    if (!types) continue;
    for (const Value& type : *types) {
      const foundation::Array* entries = type["CFBundleURLSchemes"].array();
      if (!entries) continue;
      for (const Value& scheme : *entries) {
        if (const std::string* text = scheme.string()) schemes.push_back(*text);
      }
    }
  }
  return schemes;
}

bool FIRBundleUtil::hasBundleIdentifier(std::string_view identifier, const std::vector<os::Bundle*>& bundles) {
  for (os::Bundle* bundle : bundles) {
    if (bundle && bundle->identifier() == identifier) return true;
  }
  return false;
}

}  // namespace core
