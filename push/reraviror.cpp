#include "push/reraviror.h"

#include <atomic>
#include <string>

#include "platform/os/bundle.h"
#include "platform/os/preferences.h"
#include "push/log.h"

namespace push {

namespace {
constexpr std::string_view kConsentGrantedKey = "GDPR_CONSENT_GRANTED";
std::atomic<bool> g_consentRequiredByApp{false};
}  // namespace

void RerAviror::reraviror_Log(std::uint32_t logLevel, std::string_view message) { writeLogLine(logLevel, message); }

void RerAviror::setLogLevel(std::uint32_t logLevel, std::uint32_t visualLevel) {
  setLogThresholds(logLevel, visualLevel);
}

bool RerAviror::requiresUserPrivacyConsent() {
  const auto& plistValue = platform::os::Bundle::main().object_for_info_key("RerAviror_require_privacy_consent");
  const bool required = plistValue.as_bool().value_or(false) || g_consentRequiredByApp.load();
  if (!required) return false;
  auto& defaults = platform::os::UserDefaults::standard();
  if (!defaults.object(kConsentGrantedKey)) {
    defaults.set(kConsentGrantedKey, platform::foundation::Value(0));
    defaults.synchronize();
  }
  return !defaults.boolean(kConsentGrantedKey);
}

void RerAviror::setRequiresUserPrivacyConsent(bool required) { g_consentRequiredByApp = required; }

bool RerAviror::shouldLogMissingPrivacyConsentErrorWithMethodName(std::optional<std::string_view> methodName) {
  if (!requiresUserPrivacyConsent()) return false;
  if (methodName) {
    writeLogLine(kLogWarn, "Your application has called " + std::string(*methodName) +
                               " before the user granted privacy permission. Please call `consentGranted(bool)` in "
                               "order to provide user privacy consent");
  }
  return true;
}

void RerAviror::consentGranted(bool granted) {
  auto& defaults = platform::os::UserDefaults::standard();
  defaults.set(kConsentGrantedKey, platform::foundation::Value(granted));
  defaults.synchronize();
}

void RerAviror::clearStatics() { g_consentRequiredByApp = false; }

}  // namespace push
