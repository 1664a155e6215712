#include "testing/harness/harness.h"

#include <stdlib.h>

#include <fstream>
#include <stdexcept>
#include <thread>

#include "platform/dispatch/clock.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"
#include "platform/foundation/plist.h"
#include "platform/net/session.h"
#include "platform/net/testing_reset.h"
#include "platform/os/system.h"
#include "platform/sim/services.h"
#include "platform/sim/sim.h"
#include "platform/testing/reset.h"
#include "testing/harness/service_control.h"

namespace testing {

namespace fs = std::filesystem;

namespace {

void write_file(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out.flush()) throw std::runtime_error("Harness: cannot write " + path.string());
}

void write_plist(const fs::path& path, platform::foundation::Dict dict) {
  fs::create_directories(path.parent_path());
  auto written = platform::foundation::plist::write_file_atomically(platform::foundation::Value(std::move(dict)), path);
  if (!written) throw std::runtime_error("Harness: cannot write " + path.string() + ": " + written.error().description());
}

platform::foundation::Dict info_plist(const std::string& identifier, const platform::foundation::Dict& extra) {
  platform::foundation::Dict info{{"CFBundleIdentifier", identifier},
                                  {"CFBundleExecutable", "App"},
                                  {"CFBundleShortVersionString", "1.0"},
                                  {"CFBundleVersion", "1"},
                                  {"UIMainStoryboardFile", "Main"}};
  for (const auto& [key, value] : extra) info.set(key, value);
  return info;
}

}  // namespace

platform::foundation::Dict default_service_plist(const std::string& bundle_identifier) {
  return {{"API_KEY", "test-api-key-0123456789abcdef"},
          {"CLIENT_ID", "123456789012-test.apps.example.com"},
          {"TRACKING_ID", "UA-00000000-1"},
          {"GCM_SENDER_ID", "123456789012"},
          {"PROJECT_ID", "intranet-test"},
          {"ANDROID_CLIENT_ID", "123456789012-android.apps.example.com"},
          {"DOZADA_APP_ID", "1:123456789012:ios:0123456789abcdef"},
          {"DATABASE_URL", "https://intranet-test.example.com"},
          {"STORAGE_BUCKET", "intranet-test.storage.example.com"},
          {"BUNDLE_ID", bundle_identifier},
          {"IS_ANALYTICS_ENABLED", false},
          {"IS_SIGNIN_ENABLED", false}};
}

Harness::Harness(HarnessOptions options) {
  std::string pattern = (fs::temp_directory_path() / "harness-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("Harness: cannot make a temporary folder");
  root_ = pattern;
  device_dir_ = root_ / "device";
  bundle_dir_ = root_ / "App.app";
  try {
    authority_ = std::make_unique<fakes::TlsAuthority>();
    const fakes::ServiceOptions tls{.authority = authority_.get()};
    for (Fake f : options.fakes) {
      switch (f) {
        case Fake::intranet: if (!intranet_) intranet_ = std::make_unique<fakes::IntranetSite>(tls); break;
        case Fake::push: if (!push_) push_ = std::make_unique<fakes::PushService>(tls); break;
        case Fake::analytics: if (!analytics_) analytics_ = std::make_unique<fakes::AnalyticsCollector>(tls); break;
        case Fake::logs: if (!logs_) logs_ = std::make_unique<fakes::LogCollector>(tls); break;
        case Fake::identity: if (!identity_) identity_ = std::make_unique<fakes::IdentityService>(tls); break;
        case Fake::kits: if (!kits_) kits_ = std::make_unique<fakes::KitServices>(tls); break;
      }
    }
    std::vector<fakes::FakeService*> services;
    for (fakes::FakeService* s : std::initializer_list<fakes::FakeService*>{
             intranet_.get(), push_.get(), analytics_.get(), logs_.get(), identity_.get(), kits_.get()}) {
      if (s) services.push_back(s);
    }
    for (const std::string& host : options.sites) {
      for (const fakes::FakeService* s : services) {
        for (const auto& name : s->host_names())
          if (name == host) throw std::logic_error("Harness: the site " + host + " is served already");
      }
      sites_.push_back(std::make_unique<fakes::FakeService>(host, std::vector<std::string>{host}, tls));
      services.push_back(sites_.back().get());
    }
    for (const fakes::FakeService* s : services) host_map_.merge(s->host_map());

    fs::create_directories(device_dir_);
    if (!authority_->write_root_pem(ca_file())) throw std::runtime_error("Harness: cannot write ca.pem");
    nlohmann::json profile = {{"hosts", host_map_}, {"trust_anchors", {ca_file().string()}}};
    profile.merge_patch(options.profile);
    write_file(device_dir_ / "device.json", profile.dump(2) + "\n");
    write_plist(bundle_dir_ / "Info.plist", info_plist(options.bundle_identifier, options.info));
    if (options.service_plist) {
      write_plist(bundle_dir_ / "VuzoraZedudid-Udor.plist", default_service_plist(options.bundle_identifier));
    }
    for (const auto& [relative, bytes] : options.bundle_files) write_file(bundle_dir_ / relative, bytes);

    auto booted = platform::sim::boot(device_dir_, bundle_dir_);
    if (!booted) throw std::runtime_error("Harness: boot failed: " + booted.error().description());
    booted_ = true;
    install_service_control(services);
    capture_ = std::make_unique<platform::testing::CaptureSinks>();
  } catch (...) {
    cleanup();
    throw;
  }
}

Harness::~Harness() { cleanup(); }

void Harness::cleanup() noexcept {
  try {
    platform::sim::set_service_control({});
    if (booted_) {
      // Work the launch left on the pool (the analytics engine's start among
      // it) ends before the platform is reset and the device removed.
      platform::dispatch::wait_until_idle();
      capture_.reset();
      platform::sim::reset_for_testing();
      platform::net::reset_for_testing();
      platform::testing::reset();
      booted_ = false;
    }
    capture_.reset();
    intranet_.reset();
    push_.reset();
    analytics_.reset();
    logs_.reset();
    identity_.reset();
    kits_.reset();
    sites_.clear();
  } catch (...) {
  }
  std::error_code ec;
  if (!root_.empty()) fs::remove_all(root_, ec);
}

platform::ui::Application& Harness::boot_app(platform::sim::AppImage image) {
  platform::sim::set_app(std::move(image));
  return boot_app();
}

platform::ui::Application& Harness::boot_app() {
  if (!platform::sim::app()) throw std::logic_error("Harness: boot_app() before an app image was set");
  const platform::sim::Result launched = platform::sim::device().launch();
  if (!launched) throw std::runtime_error("Harness: launch failed: " + launched.message);
  platform::ui::Application* app = platform::ui::Application::shared();
  if (!app) throw std::runtime_error("Harness: launch left no application");
  return *app;
}

platform::sim::Device& Harness::device() { return platform::sim::device(); }

bool Harness::run_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
  using namespace std::chrono;
  auto& loop = platform::dispatch::RunLoop::main();
  const auto deadline = steady_clock::now() + timeout;
  while (!pred()) {
    const auto now = steady_clock::now();
    if (now >= deadline) return false;
    if (platform::dispatch::Clock::current().advances_by_itself()) {
      // Slices, so a predicate that only the fakes' threads make true is seen too.
      const auto slice = std::min<steady_clock::duration>(deadline - now, milliseconds(10));
      loop.run_until(pred, duration_cast<platform::dispatch::Duration>(slice));
    } else if (loop.run_pending() == 0) {
      std::this_thread::sleep_for(milliseconds(1));
    }
  }
  return true;
}

template <class T>
T& Harness::fake(const std::unique_ptr<T>& p, const char* name) {
  if (!p) throw std::logic_error(std::string("Harness: the test did not ask for the fake ") + name);
  return *p;
}

fakes::IntranetSite& Harness::intranet() { return fake(intranet_, "intranet"); }
fakes::PushService& Harness::push() { return fake(push_, "push"); }
fakes::AnalyticsCollector& Harness::analytics() { return fake(analytics_, "analytics"); }
fakes::LogCollector& Harness::logs() { return fake(logs_, "logs"); }
fakes::IdentityService& Harness::identity() { return fake(identity_, "identity"); }
fakes::KitServices& Harness::kits() { return fake(kits_, "kits"); }

fakes::FakeService& Harness::site(const std::string& host) {
  for (const auto& s : sites_)
    if (s->name() == host) return *s;
  throw std::logic_error("Harness: the test did not ask for the site " + host);
}

}  // namespace testing
