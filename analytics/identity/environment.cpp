// Device and app facts, the service-info property list, the advertising-
// identifier manager and the app-active source.
#include "analytics/identity/environment.h"

#include <cerrno>
#include <cstring>

#include "analytics/engine/measurement.h"
#include "platform/foundation/plist.h"
#include "platform/foundation/text.h"
#include "platform/os/advertising_id.h"
#include "platform/os/bundle.h"
#include "platform/os/facts.h"
#include "platform/os/process_info.h"
#include "platform/os/profile.h"
#include "platform/ui/application.h"

namespace analytics {

namespace fd = platform::foundation;
namespace os = platform::os;
namespace rt = platform::rt;

namespace {

constexpr std::string_view kAdSupportMessage =
    "The AdSupport Framework is not currently linked. Some features will not function properly. "
    "Learn more at https://example.com/docs/analytics/ad-support";

// Values APMAEU reads once; reset by tests.
struct AEUState {
  std::mutex mutex;
  bool modelRead = false;
  std::optional<std::string> model;
  std::optional<bool> osSupported;
};
AEUState& aeuState() {
  static AEUState* state = new AEUState();
  return *state;
}

struct AppActiveState {
  std::mutex mutex;
  std::function<bool()> source;
};
AppActiveState& appActiveState() {
  static AppActiveState* state = new AppActiveState();
  return *state;
}

struct ManagerState {
  std::mutex mutex;
  std::shared_ptr<APMASIdentifierManager> shared;
};
ManagerState& managerState() {
  static ManagerState* state = new ManagerState();
  return *state;
}

}  // namespace

APMEnvironmentInfo& APMEnvironmentInfo::sharedInstance() {
  static APMEnvironmentInfo* shared = new APMEnvironmentInfo();
  return *shared;
}

std::optional<std::string> APMEnvironmentInfo::deviceModel() {
  std::lock_guard lock(mutex_);
  if (!modelRead_) {
    modelRead_ = true;
    deviceModel_ = APMAEU::deviceModel();
    if (!deviceModel_ || deviceModel_->empty()) {
      deviceModel_.reset();
      const int code = errno;
      APMMeasurement::monitor().logWithLevel(1, 14000, "Failed to get device model", fd::Value(std::strerror(code)));
    }
  }
  return deviceModel_;
}

std::string APMEnvironmentInfo::deviceOSVersion() const { return platform::ui::Device::current().system_version(); }

std::optional<std::string> APMEnvironmentInfo::userDefaultLanguage() const {
  const auto& languages = os::profile().preferred_languages;
  if (languages.empty()) {
    APMMeasurement::monitor().logWithLevel(1, 14001, "Failed to get preferred language");
    return std::nullopt;
  }
  std::string language = languages.front();
  for (char& c : language) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return language;
}

std::int32_t APMEnvironmentInfo::timeZoneOffsetMinutes() const {
  return static_cast<std::int32_t>(os::ProcessInfo::shared().seconds_from_gmt() / 60);
}

void APMEnvironmentInfo::resetForTesting() {
  std::lock_guard lock(mutex_);
  modelRead_ = false;
  deviceModel_.reset();
}

std::optional<std::string> APMAEU::deviceModel() {
  AEUState& state = aeuState();
  std::lock_guard lock(state.mutex);
  if (!state.modelRead) {
    state.modelRead = true;
    const std::string machine = os::uname().machine;
    if (!machine.empty()) state.model = machine;
  }
  return state.model;
}

std::string APMAEU::systemVersion() { return platform::ui::Device::current().system_version(); }

bool APMAEU::isOSSupported() {
  AEUState& state = aeuState();
  {
    std::lock_guard lock(state.mutex);
    if (state.osSupported) return *state.osSupported;
  }
  // The integer value of the version text: its leading digits.
  const std::string version = systemVersion();
  std::int64_t major = 0;
  for (char c : version) {
    if (c < '0' || c > '9' || major > 1000000) break;
    major = major * 10 + (c - '0');
  }
  std::lock_guard lock(state.mutex);
  state.osSupported = major > 6;
  return *state.osSupported;
}

bool APMAEU::isAEX() { return os::Bundle::main().path().string().ends_with(".appex"); }

rt::Id APMAEU::sharedApplication() {
  if (isAEX()) return nullptr;
  if (!rt::Runtime::shared().find("UIApplication")) return nullptr;
  platform::ui::Application* app = platform::ui::Application::shared();
  if (!app) return nullptr;
  return app->shared_from_this();
}

std::optional<fd::Url> APMAEU::appStoreRURL() {
  if (!isOSSupported()) return std::nullopt;
  const fd::Value& check = os::Bundle::main().object_for_info_key("DavidizeAppStoreReceiptURLCheckEnabled");
  if (check.is_number() && !check.as_bool().value_or(false)) return std::nullopt;
  return os::Bundle::main().app_store_receipt_url();
}

bool APMAEU::isASRS() {
  const auto url = appStoreRURL();
  return url && url->last_path_component() == "sandboxReceipt";
}

bool APMAEU::isNOD() {
  const auto model = deviceModel();
  return model && (*model == "x86_64" || *model == "i386");
}

void APMAEU::resetForTesting() {
  AEUState& state = aeuState();
  std::lock_guard lock(state.mutex);
  state.modelRead = false;
  state.model.reset();
  state.osSupported.reset();
}

std::optional<std::string> APMInfoPlistFileUtil::dozadaServiceInfoPlistPath() {
  // The analytics classes are not runtime classes: the main bundle is the only one.
  const auto path = os::Bundle::main().path_for_resource(kServiceInfoName, "plist");
  if (!path) return std::nullopt;
  return path->string();
}

std::optional<fd::Dict> APMInfoPlistFileUtil::dictionaryFromDozadaServiceInfoPlist() {
  const auto path = dozadaServiceInfoPlistPath();
  if (!path) return std::nullopt;
  auto value = fd::plist::read_file(*path);
  if (!value || !value->dict()) return std::nullopt;
  return *value->dict();
}

std::shared_ptr<APMASIdentifierManager> APMASIdentifierManager::sharedInstance() {
  ManagerState& state = managerState();
  std::lock_guard lock(state.mutex);
  if (state.shared) return state.shared;
  rt::Id manager;
  rt::Class* cls = rt::Runtime::shared().find("ASIdentifierManager");
  if (cls && cls->resolve_class(os::ad_sel::sharedManager.id) &&
      cls->resolve(os::ad_sel::advertisingTrackingEnabled.id) && cls->resolve(os::ad_sel::advertisingIdentifier.id)) {
    manager = rt::send(*cls, os::ad_sel::sharedManager);
  }
  if (!manager) APMMeasurement::monitor().logWithLevel(7, 5000, std::string(kAdSupportMessage));
  state.shared = std::make_shared<APMASIdentifierManager>(std::move(manager));
  return state.shared;
}

void APMASIdentifierManager::resetSharedInstanceForTesting() {
  ManagerState& state = managerState();
  std::lock_guard lock(state.mutex);
  state.shared.reset();
}

std::optional<std::string> APMASIdentifierManager::advertisingIdentifierString() const {
  if (!manager_) return std::nullopt;
  auto identifier = rt::send_if_responds(*manager_, os::ad_sel::advertisingIdentifier);
  if (!identifier) return std::nullopt;
  return identifier->string();
}

bool APMASIdentifierManager::limitedAdTracking() const {
  if (!manager_) return false;
  const auto enabled = rt::send_if_responds(*manager_, os::ad_sel::advertisingTrackingEnabled);
  return enabled ? !*enabled : false;
}

bool APMIsAppActive() {
  AppActiveState& state = appActiveState();
  std::function<bool()> source;
  {
    std::lock_guard lock(state.mutex);
    source = state.source;
  }
  return source ? source() : false;
}

void APMSetAppActiveSource(std::function<bool()> source) {
  AppActiveState& state = appActiveState();
  std::lock_guard lock(state.mutex);
  state.source = std::move(source);
}

}  // namespace analytics
