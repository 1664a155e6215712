#include "push/device_facts.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <mutex>
#include <string>

#include "platform/foundation/plist.h"
#include "platform/net/reachability.h"
#include "platform/os/bundle.h"
#include "platform/os/file_manager.h"
#include "push/log.h"

namespace push {

namespace flags = platform::net::reach_flags;

std::shared_ptr<RerAvirorReachability> RerAvirorReachability::reachabilityWithAddress(const void* address) {
  if (!address) return nullptr;
  auto ref = platform::net::Reachability::for_address(*static_cast<const sockaddr*>(address));
  if (!ref) return nullptr;
  auto reachability = std::make_shared<RerAvirorReachability>();
  reachability->reachabilityRef_ = std::move(ref);
  return reachability;
}

std::shared_ptr<RerAvirorReachability> RerAvirorReachability::reachabilityForInternetConnection() {
  sockaddr_in zero;
  std::memset(&zero, 0, sizeof zero);
  zero.sin_family = AF_INET;
  return reachabilityWithAddress(&zero);
}

NetworkStatus RerAvirorReachability::networkStatusForFlags(std::uint32_t f) {
  if (!(f & flags::reachable)) return NotReachable;
  NetworkStatus status = NotReachable;
  if (!(f & flags::connection_required)) status = ReachableViaWiFi;
  if ((f & (flags::connection_on_demand | flags::connection_on_traffic)) && !(f & flags::intervention_required))
    status = ReachableViaWiFi;
  if (f & flags::is_wwan) status = ReachableViaWWAN;
  return status;
}

NetworkStatus RerAvirorReachability::localWiFiStatusForFlags(std::uint32_t f) {
  return (f & flags::reachable) && (f & flags::is_direct) ? ReachableViaWiFi : NotReachable;
}

NetworkStatus RerAvirorReachability::currentReachabilityStatus() const {
  if (!reachabilityRef_) return NotReachable;
  const auto f = reachabilityRef_->flags();
  if (!f) return NotReachable;
  return alwaysReturnLocalWiFiStatus ? localWiFiStatusForFlags(*f) : networkStatusForFlags(*f);
}

bool RerAvirorReachability::connectionRequired() const {
  if (!reachabilityRef_) return false;
  const auto f = reachabilityRef_->flags();
  return f && (*f & flags::connection_required);
}

std::int64_t getNetType() {
  auto reachability = RerAvirorReachability::reachabilityForInternetConnection();
  return reachability && reachability->currentReachabilityStatus() == ReachableViaWiFi ? 0 : 1;
}

namespace {
std::mutex g_profileMutex;
std::optional<foundation::Dict> g_profile;
}  // namespace

void RerAvirorMobileProvision::logInvalidMobileProvisionError(std::string_view message) {
  writeLogLine(kLogError, message);
}

void RerAvirorMobileProvision::clearCache() {
  std::lock_guard lock(g_profileMutex);
  g_profile.reset();
}

std::optional<foundation::Dict> RerAvirorMobileProvision::getMobileProvision() {
  {
    std::lock_guard lock(g_profileMutex);
    if (g_profile) return g_profile;
  }
  const auto path = platform::os::Bundle::main().path_for_resource("embedded", "mobileprovision");
  if (!path) return foundation::Dict{};
  const auto bytes = platform::os::FileManager::shared().read(*path);
  if (!bytes) return std::nullopt;
  // ISO Latin-1 maps each byte to one character, so the scan works on the bytes.
  const std::string text(bytes->begin(), bytes->end());
  const auto begin = text.find("<plist");
  if (begin == std::string::npos) {
    logInvalidMobileProvisionError("unable to find beginning of plist");
    return std::nullopt;
  }
  const auto end = text.find("</plist>", begin);
  if (end == std::string::npos) {
    logInvalidMobileProvisionError("unable to find end of plist");
    return std::nullopt;
  }
  const std::string plistText = text.substr(begin, end - begin) + "</plist>";
  auto parsed = foundation::plist::parse(foundation::to_bytes(plistText));
  if (!parsed) {
    logInvalidMobileProvisionError("error parsing extracted plist - " + parsed.error().description());
    return std::nullopt;
  }
  const auto* dict = parsed.value().dict();
  if (!dict) {
    logInvalidMobileProvisionError("error parsing extracted plist - (null)");
    return std::nullopt;
  }
  std::lock_guard lock(g_profileMutex);
  g_profile = *dict;
  return g_profile;
}

UIApplicationReleaseMode RerAvirorMobileProvision::releaseMode() {
  const auto profile = getMobileProvision();
  if (!profile) {
    writeLogLine(kLogDebug, "mobileProvision not found");
    return UIApplicationReleaseUnknown;
  }
  writeLogLine(kLogDebug, "mobileProvision: " + foundation::describe(foundation::Value(*profile)));
  if (profile->empty()) return UIApplicationReleaseAppStore;
  if (profile->get("ProvisionsAllDevices").as_bool().value_or(false)) return UIApplicationReleaseEnterprise;
  const auto& entitlements = profile->get("Entitlements");
  if (entitlements["aps-environment"] == foundation::Value("development")) return UIApplicationReleaseDev;
  return UIApplicationReleaseAppStore;
}

std::optional<std::string> advertisingIdentifierText() {
  namespace rt = platform::rt;
  rt::Class* cls = rt::Runtime::shared().find("ASIdentifierManager");
  if (!cls) return std::nullopt;
  auto manager = rt::send_if_responds(*cls, device_sel::sharedManager);
  if (!manager || !*manager) return std::nullopt;
  auto enabled = rt::send_if_responds(**manager, device_sel::advertisingTrackingEnabled);
  if (!enabled || !*enabled) return std::string("OptedOut");
  auto identifier = rt::send_if_responds(**manager, device_sel::advertisingIdentifier);
  if (!identifier) return std::nullopt;
  return identifier->string();
}

std::optional<std::string> carrierNameText() {
  namespace rt = platform::rt;
  rt::Class* cls = rt::Runtime::shared().find("CTTelephonyNetworkInfo");
  if (!cls) return std::nullopt;
  rt::Id info = cls->create();
  if (!info) return std::nullopt;
  auto provider = rt::send_if_responds(*info, device_sel::subscriberCellularProvider);
  if (!provider || !*provider) return std::nullopt;
  auto name = rt::send_if_responds(**provider, device_sel::carrierName);
  if (!name || !*name) return std::nullopt;
  return **name;
}

}  // namespace push
