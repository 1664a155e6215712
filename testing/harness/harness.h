#pragma once
// The in-process test driver for subsystem tests: a temporary device and
// bundle, the loopback fakes the test asks for (one TlsAuthority for all),
// the host map and the CA as trust anchor in the device profile, the platform
// booted on the calling thread (sim::boot: every module the profile lists),
// and the console captured.
//
//   testing::Harness h({.fakes = {testing::Fake::intranet, testing::Fake::push}});
//   h.boot_app(image);                     // application start-up on this thread
//   h.device().tap_link("/login?user=demo");
//   ASSERT_TRUE(h.run_until([&] { return h.intranet().count("POST", "/api/reraviror/register") == 1; }));
//
// Scenario lines played in the test (sim::ScenarioPlayer) script the fakes'
// answers with `route`, as in appsim; the fakes' own answer(), on() and
// clear_scripted() are the C++ form.
//
// The destructor resets the platform, stops the fakes and removes the
// temporary folder. One Harness per test (each test runs in its own process).
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "testing/fakes/json.h"

#include "platform/foundation/value.h"
#include "platform/sim/app_image.h"
#include "platform/sim/device.h"
#include "platform/testing/capture.h"
#include "platform/ui/application.h"
#include "testing/fakes/analytics_collector.h"
#include "testing/fakes/identity_service.h"
#include "testing/fakes/intranet_site.h"
#include "testing/fakes/kit_services.h"
#include "testing/fakes/log_collector.h"
#include "testing/fakes/push_service.h"
#include "testing/fakes/tls_authority.h"

namespace testing {

enum class Fake { intranet, push, analytics, logs, identity, kits };

struct HarnessOptions {
  std::vector<Fake> fakes{};
  // Merged (JSON merge patch) over the device.json the harness writes, which
  // holds "hosts" (every fake's host map) and "trust_anchors" (the CA file).
  nlohmann::json profile = nlohmann::json::object();
  std::string bundle_identifier = "org.example.intranet";
  // More sites on loopback (a foreign site ...): one FakeService per host
  // name, named after it, with no routes of its own; in the host map too.
  std::vector<std::string> sites{};
  // The bundle's service property list "VuzoraZedudid-Udor.plist"
  // (default_service_plist of the bundle identifier); false leaves it out.
  bool service_plist = true;
  // Extra Info.plist keys, over the ones the harness writes.
  platform::foundation::Dict info{};
  // Further bundle files (path relative to the bundle → bytes), written after
  // the property lists and before boot, so they may replace them.
  std::map<std::string, std::string> bundle_files{};
};

// A valid service property list: every option key filled with made-up
// values, the app ID "1:<digits>:ios:<hex>", BUNDLE_ID = `bundle_identifier`.
platform::foundation::Dict default_service_plist(const std::string& bundle_identifier);

class Harness {
 public:
  // Throws std::runtime_error when the device cannot be made or booted.
  explicit Harness(HarnessOptions options = {});
  ~Harness();
  Harness(const Harness&) = delete;
  Harness& operator=(const Harness&) = delete;

  // Launches the app on this thread (the start-up sequence up to the active
  // state) and returns the application; the caller then pumps with run_until.
  // The first form hands `image` to sim::set_app; the second launches the
  // image set before. Throws std::runtime_error when the launch fails.
  platform::ui::Application& boot_app(platform::sim::AppImage image);
  platform::ui::Application& boot_app();
  // The OS-side operations (launch, push, tap-link, background ...); call
  // them on this thread.
  platform::sim::Device& device();

  // Runs the main run loop until `pred` holds or `timeout` of real time
  // passes (also under a ManualClock, where only ready work runs); returns pred().
  bool run_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout = std::chrono::seconds(30));

  // The fakes; each throws std::logic_error when the test did not ask for it.
  fakes::IntranetSite& intranet();
  fakes::PushService& push();
  fakes::AnalyticsCollector& analytics();
  fakes::LogCollector& logs();
  fakes::IdentityService& identity();
  fakes::KitServices& kits();
  // The site of that host name; throws std::logic_error when not asked for.
  fakes::FakeService& site(const std::string& host);
  fakes::TlsAuthority& authority() { return *authority_; }

  // Every started fake's host map, as written into the profile.
  const std::map<std::string, std::string>& host_map() const { return host_map_; }
  const std::filesystem::path& device_directory() const { return device_dir_; }
  const std::filesystem::path& bundle_directory() const { return bundle_dir_; }
  std::filesystem::path ca_file() const { return device_dir_ / "ca.pem"; }

  // Console output, logged lines and the lines logging sent to the system log,
  // since boot. (The simulator's own os/step lines go to standard output.)
  platform::testing::CaptureSinks& capture() { return *capture_; }

 private:
  template <class T>
  T& fake(const std::unique_ptr<T>& p, const char* name);
  void cleanup() noexcept;

  std::filesystem::path root_, device_dir_, bundle_dir_;
  std::unique_ptr<fakes::TlsAuthority> authority_;
  std::unique_ptr<fakes::IntranetSite> intranet_;
  std::unique_ptr<fakes::PushService> push_;
  std::unique_ptr<fakes::AnalyticsCollector> analytics_;
  std::unique_ptr<fakes::LogCollector> logs_;
  std::unique_ptr<fakes::IdentityService> identity_;
  std::unique_ptr<fakes::KitServices> kits_;
  std::vector<std::unique_ptr<fakes::FakeService>> sites_;
  std::map<std::string, std::string> host_map_;
  std::unique_ptr<platform::testing::CaptureSinks> capture_;
  bool booted_ = false;
};

}  // namespace testing
