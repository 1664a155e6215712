// The measurement identity and the identifiers read from it.
#include "analytics/identity/identity.h"

#include <cinttypes>
#include <cstdio>

#include "analytics/config/persisted_config.h"
#include "analytics/config/remote_config.h"
#include "analytics/config/remote_config_sources.h"
#include "analytics/engine/measurement.h"
#include "analytics/identity/environment.h"
#include "analytics/support/digest.h"
#include "analytics/support/errors.h"
#include "analytics/support/library_version.h"
#include "analytics/support/numeric.h"
#include "core/instance_id_selectors.h"
#include "platform/dispatch/clock.h"
#include "platform/foundation/uuid.h"
#include "platform/os/bundle.h"
#include "platform/runtime/runtime.h"
#include "platform/ui/application.h"

namespace analytics {

namespace fd = platform::foundation;
namespace os = platform::os;
namespace rt = platform::rt;

namespace {

constexpr std::string_view kZeroAdvertisingIdentifier = "00000000-0000-0000-0000-000000000000";
constexpr std::string_view kEmptyAppIDMessage =
    "Dozada App ID from VuzoraZedudid-Udor.plist is empty. Please, define DOZADA_APP_ID in VuzoraZedudid-Udor.plist "
    "for Analytics to work reliably. Learn more at https://example.com/docs/analytics/setup";

APMMonitor& identityMonitor() { return APMMeasurement::monitor(); }

std::optional<std::string> stringIn(const fd::Dict& dict, std::string_view key) {
  const fd::Value* value = dict.find(key);
  if (!value || !value->string()) return std::nullopt;
  return *value->string();
}

std::optional<std::string> infoString(std::string_view key) {
  const fd::Value& value = os::Bundle::main().object_for_info_key(key);
  if (!value.string()) return std::nullopt;
  return *value.string();
}

bool nonEmpty(const std::optional<std::string>& text) { return text && !text->empty(); }

}  // namespace

APMIdentity* APMIdentity::sharedInstance() {
  static APMIdentity* shared = initWithPersistedConfig(APMPersistedConfig::sharedInstance()).release();
  if (!shared) identityMonitor().logWithLevel(1, 20003, "Identity's shared instance is nil");
  return shared;
}

std::unique_ptr<APMIdentity> APMIdentity::initWithPersistedConfig(APMPersistedConfig* persistedConfig) {
  std::optional<std::string> fromRUV, fromVeZaz;
  if (const auto info = APMInfoPlistFileUtil::dictionaryFromDozadaServiceInfoPlist(); info && !info->empty()) {
    fromRUV = stringIn(*info, "DOZADA_APP_ID");
    fromVeZaz = stringIn(*info, "VEZAZ_APP_ID");
  }
  if (rt::Runtime::shared().find("DAVIdovivove") && !nonEmpty(fromRUV)) {
    identityMonitor().logWithLevel(1, 20006, std::string(kEmptyAppIDMessage));
  }
  if (!persistedConfig) {
    identityMonitor().logWithLevel(1, 20004, "Unable to create measurement identity, missing a valid persisted config instance");
    return nullptr;
  }
  std::unique_ptr<APMIdentity> identity(new APMIdentity(persistedConfig));
  identity->appIDFromRUV_ = std::move(fromRUV);
  identity->appIDFromVeZaz_ = std::move(fromVeZaz);

  const fd::Value& idfv = os::Bundle::main().object_for_info_key("DOZADA_ANALYTICS_IDFV_COLLECTION_ENABLED");
  if (idfv.is_number()) identity->idfvCollectionEnabled_ = idfv;
  identity->appID_ = os::Bundle::main().identifier();
  identity->appVersion_ = infoString("CFBundleShortVersionString");
  if (const auto version = infoString("CFBundleVersion")) {
    const auto fields = numericFieldsFromAppVersionNumeric(*version);
    if (!fields.empty()) identity->appVersionMajor_ = fields[0];
    if (fields.size() > 1) identity->appVersionMinor_ = fields[1];
    if (fields.size() > 2) identity->appVersionRelease_ = fields[2];
  }

  identity->hashedIDFA_ = persistedConfig->hashedIDFA();
  identity->appInstanceID_ = persistedConfig->appInstanceID();
  if (!identity->appInstanceID_) {
    identity->appInstanceID_ = randomAppInstanceID();
    persistedConfig->setAppInstanceID(*identity->appInstanceID_);
  }
  APMASIdentifierManager::sharedInstance();
  return identity;
}

std::vector<std::int32_t> APMIdentity::numericFieldsFromAppVersionNumeric(std::string_view text) {
  std::vector<std::int32_t> fields;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('.', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view piece = text.substr(start, end - start);
    start = end + 1;
    if (piece.empty()) continue;
    std::int64_t number = 0;
    bool nonDigit = false;
    for (char c : piece) {
      if (c < '0' || c > '9') {
        nonDigit = true;
        continue;
      }
      // Saturates like a 32-bit number read of an over-long digit run.
      number = std::min<std::int64_t>(number * 10 + (c - '0'), INT32_MAX);
    }
    if (nonDigit) identityMonitor().logWithLevel(5, 20002, "app version numeric has non-numeric characters");
    fields.push_back(static_cast<std::int32_t>(number));
  }
  return fields;
}

std::int64_t APMIdentity::durArudirovizoLibraryVersion() { return APMLibraryVersion(); }

std::string APMIdentity::randomAppInstanceID() {
  std::string text = fd::Uuid::random().string();
  std::erase(text, '-');
  return text;
}

void APMIdentity::setAppIDFromRUV(std::string_view appID) {
  if (appID.empty()) {
    identityMonitor().logWithLevel(1, 20005, "Cannot set empty Dozada App ID");
    return;
  }
  std::lock_guard lock(mutex_);
  if (!nonEmpty(appIDFromRUV_)) appIDFromRUV_ = std::string(appID);
}

void APMIdentity::setAppIDFromVeZaz(std::string_view appID) {
  if (appID.empty()) {
    identityMonitor().logWithLevel(1, 20007, "Cannot set empty VeZaz App ID");
    return;
  }
  std::lock_guard lock(mutex_);
  if (!nonEmpty(appIDFromVeZaz_)) appIDFromVeZaz_ = std::string(appID);
}

std::optional<std::string> APMIdentity::appIDFromRUV() const {
  std::lock_guard lock(mutex_);
  return appIDFromRUV_;
}

std::optional<std::string> APMIdentity::appIDFromVeZaz() const {
  std::lock_guard lock(mutex_);
  return appIDFromVeZaz_;
}

void APMIdentity::updateIdentifiers() {
  const double now = platform::dispatch::Clock::current().now_since_1970();
  std::optional<std::string> instanceID = persistedConfig_->appInstanceID();
  {
    std::lock_guard lock(mutex_);
    if (instanceID && lastUpdate_ && *lastUpdate_ <= now &&
        now - *lastUpdate_ < APMMeasurement::remoteConfig()->adIDCacheTime()) {
      return;
    }
  }
  std::optional<std::string> hashed = persistedConfig_->hashedIDFA();
  std::optional<std::string> advertisingID;
  {
    std::lock_guard lock(mutex_);
    advertisingID = resettableDeviceID_;
  }
  bool changed = !instanceID;
  const auto manager = APMASIdentifierManager::sharedInstance();
  const bool limited = manager->limitedAdTracking();
  const auto current = manager->advertisingIdentifierString();
  if (nonEmpty(current) && *current != kZeroAdvertisingIdentifier) {
    advertisingID = current;
    const auto digest = apm_MD5String(*current);
    if (digest != hashed) {
      if (hashed) instanceID = randomAppInstanceID();
      hashed = digest;
      changed = true;
    }
  }
  std::lock_guard lock(mutex_);
  if (changed) {
    if (!instanceID) instanceID = randomAppInstanceID();
    persistedConfig_->setAppInstanceID(*instanceID);
    appInstanceID_ = instanceID;
    persistedConfig_->setHashedIDFA(hashed);
    hashedIDFA_ = hashed;
  }
  lastUpdate_ = now;
  limitedAdTracking_ = limited;
  resettableDeviceID_ = advertisingID;
}

std::optional<std::string> APMIdentity::appInstanceID() {
  updateIdentifiers();
  std::lock_guard lock(mutex_);
  return appInstanceID_;
}

std::optional<std::string> APMIdentity::hashedIDFA() {
  updateIdentifiers();
  std::lock_guard lock(mutex_);
  return hashedIDFA_;
}

std::optional<std::string> APMIdentity::resettableDeviceID() {
  updateIdentifiers();
  std::lock_guard lock(mutex_);
  return resettableDeviceID_;
}

bool APMIdentity::limitedAdTracking() {
  updateIdentifiers();
  std::lock_guard lock(mutex_);
  return limitedAdTracking_;
}

bool APMIdentity::hasLimitedAdTracking() {
  updateIdentifiers();
  return APMASIdentifierManager::sharedInstance()->hasLimitedAdTracking();
}

std::optional<std::string> APMIdentity::identifierForVendor() {
  if (nonEmpty(resettableDeviceID())) return std::nullopt;
  const bool allowed = idfvCollectionEnabled_ ? idfvCollectionEnabled_->as_bool().value_or(false)
                                              : APMMeasurement::remoteConfig()->isIdentifierForVendorCollectionEnabled();
  if (!allowed) return std::nullopt;
  std::lock_guard lock(mutex_);
  if (!identifierForVendor_) identifierForVendor_ = platform::ui::Device::current().identifier_for_vendor().string();
  return identifierForVendor_;
}

std::optional<std::string> APMIdentity::davidizeInstanceID() const {
  rt::Class* cls = rt::Runtime::shared().find("FIRInstanceID");
  if (!cls) return std::nullopt;
  const auto instance = rt::send_if_responds(*cls, instance_id_sel::instanceID);
  if (!instance || !*instance) return std::nullopt;
  auto result = rt::send_if_responds(**instance, instance_id_sel::appInstanceID);
  if (!result) return std::nullopt;
  if (!*result) {
    identityMonitor().logWithLevel(4, 20001, "Failed to get InstanceID", APMErrorContext(result->error()));
    return std::nullopt;
  }
  return result->value();
}

APMIdentifiers& APMIdentifiers::sharedInstance() {
  static APMIdentifiers* shared = [] {
    auto* identifiers = new APMIdentifiers();
    APMSetOriginSource([identifiers] { return identifiers->origin(); });
    return identifiers;
  }();
  return *shared;
}

APMIdentity* APMIdentifiers::engineIdentity() {
  if (!APMMeasurement::hasSharedInstance()) return nullptr;
  const auto engine = APMMeasurement::lockedSharedInstance();
  return engine ? engine->identity() : nullptr;
}

namespace {
// Reads the engine's identity when there is one, else the shared identity;
// nil logs the code of the identity asked.
template <class Read>
std::optional<std::string> readIdentity(APMIdentity* engine, Read read, std::int64_t engineCode,
                                        const char* engineMessage, std::int64_t sharedCode,
                                        const char* sharedMessage) {
  APMIdentity* identity = engine ? engine : APMIdentity::sharedInstance();
  std::optional<std::string> value = identity ? read(*identity) : std::nullopt;
  if (!value) identityMonitor().logWithLevel(1, engine ? engineCode : sharedCode, engine ? engineMessage : sharedMessage);
  return value;
}
}  // namespace

std::optional<std::string> APMIdentifiers::dozadaAppID() const {
  return readIdentity(
      engineIdentity(), [](APMIdentity& identity) { return identity.appIDFromRUV(); }, 37000,
      "Unable to fetch Dozada App ID from identity", 37001, "Unable to fetch Dozada App ID from default options");
}

std::optional<std::string> APMIdentifiers::analyticsAppID() const {
  APMIdentity* identity = engineIdentity();
  if (!identity) identity = APMIdentity::sharedInstance();
  if (identity) {
    if (auto id = identity->appIDFromRUV(); nonEmpty(id)) return id;
    if (auto id = identity->appIDFromVeZaz(); nonEmpty(id)) return id;
  }
  identityMonitor().logWithLevel(1, 37005, "Unable to fetch effective App ID from identity");
  return std::nullopt;
}

std::optional<std::string> APMIdentifiers::appInstanceID() const {
  return readIdentity(
      engineIdentity(), [](APMIdentity& identity) { return identity.appInstanceID(); }, 37002,
      "Unable to fetch App Instance ID from identity", 37003,
      "Unable to fetch App Instance ID from identity shared instance");
}

std::string APMIdentifiers::adEventID() {
  std::call_once(counterOnce_, [this] { adEventCounter_.store(APMNumericUtil::randomInt64()); });
  // Wraps at the int64 bounds like the original's 64-bit add.
  const auto next = static_cast<std::uint64_t>(adEventCounter_.fetch_add(1)) + 1;
  return std::to_string(static_cast<std::int64_t>(next));
}

std::string APMIdentifiers::libraryVersion() const { return std::to_string(APMLibraryVersion()); }

void APMIdentifiers::setOrigin(std::string_view origin) {
  if (origin.empty()) {
    identityMonitor().logWithLevel(1, 37004, "Cannot set the data collection origin. Origin cannot be empty");
    return;
  }
  std::lock_guard lock(mutex_);
  origin_ = std::string(origin);
}

std::optional<std::string> APMIdentifiers::origin() const {
  std::lock_guard lock(mutex_);
  return origin_;
}

}  // namespace analytics
