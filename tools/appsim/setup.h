#pragma once
// What appsim prepares before the device boots: its own files, the device
// folder and profile, the reinstall, and the loopback services.
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "testing/fakes/analytics_collector.h"
#include "testing/fakes/identity_service.h"
#include "testing/fakes/intranet_site.h"
#include "testing/fakes/kit_services.h"
#include "testing/fakes/log_collector.h"
#include "testing/fakes/push_service.h"
#include "testing/fakes/tls_authority.h"
#include "tools/appsim/options.h"

namespace appsim {

namespace fs = std::filesystem;

// The folder of the running executable; devices/ and scenarios/ sit in it.
fs::path executable_directory();
// The App.app of this build tree.
fs::path default_bundle();

struct Failure {
  std::string message;
};

struct PreparedDevice {
  fs::path directory;
  bool temporary = false;     // made for this run; removed at the end
  std::string profile_name;   // the profile copied in, or "device.json" when the folder had one
};

// The device folder: --device DIR (made when missing) or a new temporary
// folder; a device.json from devices/<profile>.json when the folder has none.
std::variant<PreparedDevice, Failure> prepare_device(const Options& options);

// Deletes <device>/Containers/Data/<bundle id> (the identifier from the
// bundle's Info.plist); the keychain and the rest of the device stay.
std::variant<fs::path, Failure> remove_app_container(const fs::path& device, const fs::path& bundle);

// The loopback services with a throwaway certificate authority: the intranet
// site, the push service and the collection, log, identity and kit hosts,
// and one site per extra host name (service name = host name; no routes of
// its own, so it answers what scenarios script). Each reports its requests to
// the simulator's service record; while they run, scenarios script their
// answers through sim::set_service_control.
class LoopbackServices {
 public:
  // Throws std::runtime_error when one cannot listen or an extra host is
  // served already.
  explicit LoopbackServices(const std::vector<std::string>& extra_hosts = {});
  ~LoopbackServices();
  LoopbackServices(const LoopbackServices&) = delete;
  LoopbackServices& operator=(const LoopbackServices&) = delete;

  std::map<std::string, std::string> host_map() const;
  // Writes <device>/ca.pem and puts the host map and that anchor into
  // <device>/device.json (other keys stay as they are).
  std::optional<Failure> install_into(const fs::path& device) const;
  // "intranet.example.org:443 -> 127.0.0.1:41231, push.example.net:443 -> ..., (N more)"
  std::string summary() const;
  // Stops reporting requests and scripted answers, and stops every service.
  void stop();

 private:
  std::vector<testing::fakes::FakeService*> all() const;

  testing::fakes::TlsAuthority authority_;
  std::unique_ptr<testing::fakes::IntranetSite> intranet_;
  std::unique_ptr<testing::fakes::PushService> push_;
  std::unique_ptr<testing::fakes::AnalyticsCollector> analytics_;
  std::unique_ptr<testing::fakes::LogCollector> logs_;
  std::unique_ptr<testing::fakes::IdentityService> identity_;
  std::unique_ptr<testing::fakes::KitServices> kits_;
  std::vector<std::unique_ptr<testing::fakes::FakeService>> sites_;
};

}  // namespace appsim
