#pragma once
// Device facts for the registration record: the network status behind
// "net_type" and the build's release mode from the embedded provisioning
// profile.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/uuid.h"
#include "platform/foundation/value.h"
#include "platform/os/advertising_id.h"
#include "platform/runtime/runtime.h"

namespace platform::net {
class Reachability;
}

namespace push {

namespace foundation = platform::foundation;

enum NetworkStatus : std::int64_t { NotReachable = 0, ReachableViaWiFi = 1, ReachableViaWWAN = 2 };

class RerAvirorReachability {
 public:
  // nullptr when the platform cannot watch the address.
  static std::shared_ptr<RerAvirorReachability> reachabilityWithAddress(const void* address);
  // The all-zero IPv4 address: any route to the internet.
  static std::shared_ptr<RerAvirorReachability> reachabilityForInternetConnection();

  NetworkStatus currentReachabilityStatus() const;
  bool connectionRequired() const;
  static NetworkStatus networkStatusForFlags(std::uint32_t flags);
  static NetworkStatus localWiFiStatusForFlags(std::uint32_t flags);

  bool alwaysReturnLocalWiFiStatus = false;

 private:
  std::shared_ptr<platform::net::Reachability> reachabilityRef_;
};

// "net_type": 0 on Wi-Fi, else 1.
std::int64_t getNetType();

enum UIApplicationReleaseMode : std::int64_t {
  UIApplicationReleaseUnknown = 0,
  UIApplicationReleaseDev = 1,
  UIApplicationReleaseAppStore = 4,
  UIApplicationReleaseEnterprise = 6,
};

class RerAvirorMobileProvision {
 public:
  // The profile dictionary; empty without a profile; nullopt when it cannot be read or parsed.
  static std::optional<foundation::Dict> getMobileProvision();
  static UIApplicationReleaseMode releaseMode();
  static void logInvalidMobileProvisionError(std::string_view message);
  // Drops the cached profile.
  static void clearCache();
};

// Classes the platform may not provide, found by name and read through these
// selectors: "ASIdentifierManager" (class method sharedManager) and
// "CTTelephonyNetworkInfo" (made with its factory).
namespace device_sel {
namespace rt = platform::rt;
inline const auto& sharedManager = platform::os::ad_sel::sharedManager;
inline const auto& advertisingTrackingEnabled = platform::os::ad_sel::advertisingTrackingEnabled;
inline const auto& advertisingIdentifier = platform::os::ad_sel::advertisingIdentifier;
inline const rt::Sel<rt::Id()> subscriberCellularProvider{"subscriberCellularProvider"};
inline const rt::Sel<std::optional<std::string>()> carrierName{"carrierName"};
}  // namespace device_sel

// The advertising identifier as upper-case UUID text, "OptedOut" when
// tracking is off; nullopt when the class is absent or does not answer.
std::optional<std::string> advertisingIdentifierText();
// The cellular provider's name; nullopt when the class is absent or no name is known.
std::optional<std::string> carrierNameText();

}  // namespace push
