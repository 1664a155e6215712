#pragma once
// The push client's facade. Process-wide state lives in one guarded object;
// the operations are static, as the app and the other push parts call them.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace push {

class RerAviror {
 public:
  // ---- log sink ----
  static void reraviror_Log(std::uint32_t logLevel, std::string_view message);
  static void setLogLevel(std::uint32_t logLevel, std::uint32_t visualLevel);

  // ---- privacy consent ----
  // Consent is required through Info.plist "RerAviror_require_privacy_consent"
  // or setRequiresUserPrivacyConsent; YES while required and not granted.
  static bool requiresUserPrivacyConsent();
  static void setRequiresUserPrivacyConsent(bool required);
  // The gate: YES means "stop". A given name gets a warning naming it.
  static bool shouldLogMissingPrivacyConsentErrorWithMethodName(std::optional<std::string_view> methodName);
  // Stores the answer under "GDPR_CONSENT_GRANTED".
  static void consentGranted(bool granted);

  // Back to load values (tests and a fresh start).
  static void clearStatics();
};

}  // namespace push
