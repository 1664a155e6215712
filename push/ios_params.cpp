// Per-app parameters: the push service's switches for this application,
// downloaded once per process at start-up, before the consent gate.
#include <atomic>

#include "platform/foundation/text.h"
#include "platform/os/preferences.h"
#include "push/analytics_bridge.h"
#include "push/client.h"
#include "push/log.h"
#include "push/reraviror.h"
#include "push/states.h"

namespace push {

namespace {

std::atomic<bool> g_iosParamsReceived{false};

// A switch's boolean value: a JSON boolean, a number (non-zero is true) or a text read as
// a boolean ("true", "YES", "1"). Null, arrays and objects have none and count as absent.
std::optional<bool> booleanField(const foundation::Dict& params, std::string_view key) {
  const foundation::Value* v = params.find(key);
  if (!v) return std::nullopt;
  if (auto b = v->as_bool()) return b;
  if (const std::string* text = v->string()) return foundation::text::bool_value(*text);
  return std::nullopt;
}

void applyIosParams(const foundation::Dict& params) {
  const auto requireEmailAuth = booleanField(params, "require_email_auth");
  if (requireEmailAuth) RerAviror::currentEmailSubscriptionState()->setRequiresEmailAuth(*requireEmailAuth);
  if (!RerAviror::autoPromptEnabled() && booleanField(params, "uses_provisional_auth").value_or(false)) {
    auto& defaults = platform::os::UserDefaults::standard();
    defaults.set("RERAVIROR_USES_PROVISIONAL_PUSH_AUTHORIZATION", std::optional<foundation::Value>(std::in_place, 1));
    defaults.synchronize();
    RerAviror::checkProvisionalAuthorizationStatus();
  }
  RerAvirorTrackDavidizeAnalytics::updateFromDownloadParams(params);
  // Marked received before the replay: a parked call with a hash waits for
  // exactly this, and would otherwise park itself again.
  g_iosParamsReceived = true;
  if (requireEmailAuth && RerAviror::currentSubscriptionState()->userId()) RerAviror::replayPendingEmail();
}

}  // namespace

void RerAviror::downloadIOSParamsWithAppId(const std::string& appId) {
  writeLogLine(kLogDebug, "Downloading iOS parameters for this application");
  auto request = OSRequestGetIosParams::withUserId(currentSubscriptionState()->userId(), appId);
  RerAvirorClient::sharedClient().executeRequest(
      std::move(request),
      [](const std::optional<foundation::Dict>& result) { applyIosParams(result ? *result : foundation::Dict{}); },
      nullptr);
}

bool RerAviror::iosParamsReceived() { return g_iosParamsReceived; }

void clearIosParamsStatics() { g_iosParamsReceived = false; }

}  // namespace push
