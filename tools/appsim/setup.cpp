#include "tools/appsim/setup.h"

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "platform/foundation/plist.h"
#include "platform/os/file_manager.h"
#include "platform/sim/services.h"
#include "testing/harness/service_control.h"

namespace appsim {

namespace {

std::optional<std::string> read_text(const fs::path& path) {
  auto bytes = platform::os::FileManager::shared().read(path);
  if (!bytes) return std::nullopt;
  return std::string(bytes->begin(), bytes->end());
}

bool write_text(const fs::path& path, const std::string& text) {
  const fs::path temporary = path.string() + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) return false;
  }
  std::error_code ec;
  fs::rename(temporary, path, ec);
  return !ec;
}

}  // namespace

fs::path executable_directory() {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? fs::current_path() : self.parent_path();
}

fs::path default_bundle() {
  // <build>/tools/appsim/appsim -> <build>/App.app
  return (executable_directory() / ".." / ".." / "App.app").lexically_normal();
}

namespace {

std::variant<PreparedDevice, Failure> prepare_device_folder(const Options& options, PreparedDevice& device) {
  std::error_code ec;
  if (options.device) {
    device.directory = fs::absolute(*options.device, ec);
    fs::create_directories(device.directory, ec);
    if (ec || !fs::is_directory(device.directory))
      return Failure{"--device: cannot use " + options.device->string() + " as a device folder"};
  } else {
    std::string pattern = (fs::temp_directory_path(ec) / "appsim-XXXXXX").string();
    if (ec || !::mkdtemp(pattern.data())) return Failure{"cannot make a temporary device folder"};
    device.directory = pattern;
    device.temporary = true;
  }

  const fs::path profile_file = device.directory / "device.json";
  if (fs::exists(profile_file)) {
    if (options.profile)
      return Failure{"--profile " + *options.profile + ": " + profile_file.string() +
                     " exists already; a profile is copied into a new device only"};
    device.profile_name = "device.json";
    return device;
  }
  device.profile_name = options.profile.value_or("default");
  const fs::path source = executable_directory() / "devices" / (device.profile_name + ".json");
  const auto text = read_text(source);
  if (!text) {
    std::string known;
    for (const auto& entry : fs::directory_iterator(executable_directory() / "devices", ec))
      if (entry.path().extension() == ".json") known += " " + entry.path().stem().string();
    return Failure{"--profile: no profile '" + device.profile_name + "' (known:" + known + ")"};
  }
  if (!write_text(profile_file, *text)) return Failure{"cannot write " + profile_file.string()};
  return device;
}

}  // namespace

std::variant<PreparedDevice, Failure> prepare_device(const Options& options) {
  PreparedDevice device;
  auto result = prepare_device_folder(options, device);
  if (std::holds_alternative<Failure>(result) && device.temporary) {
    std::error_code ec;
    fs::remove_all(device.directory, ec);
  }
  return result;
}

std::variant<fs::path, Failure> remove_app_container(const fs::path& device, const fs::path& bundle) {
  auto info = platform::foundation::plist::read_file(bundle / "Info.plist");
  if (!info) return Failure{"--reinstall: cannot read " + (bundle / "Info.plist").string()};
  const platform::foundation::Dict* dict = info->dict();
  const std::string* identifier = dict ? dict->get("CFBundleIdentifier").string() : nullptr;
  if (!identifier || identifier->empty() || identifier->find('/') != std::string::npos || *identifier == "." ||
      *identifier == "..")
    return Failure{"--reinstall: the bundle's Info.plist names no usable CFBundleIdentifier"};
  const fs::path container = device / "Containers" / "Data" / *identifier;
  std::error_code ec;
  fs::remove_all(container, ec);
  if (ec) return Failure{"--reinstall: cannot delete " + container.string() + ": " + ec.message()};
  return container;
}

// ---- LoopbackServices ---------------------------------------------------------

LoopbackServices::LoopbackServices(const std::vector<std::string>& extra_hosts) {
  namespace fakes = testing::fakes;
  const fakes::ServiceOptions tls{.authority = &authority_};
  intranet_ = std::make_unique<fakes::IntranetSite>(tls);
  push_ = std::make_unique<fakes::PushService>(tls);
  analytics_ = std::make_unique<fakes::AnalyticsCollector>(tls);
  logs_ = std::make_unique<fakes::LogCollector>(tls);
  identity_ = std::make_unique<fakes::IdentityService>(tls);
  kits_ = std::make_unique<fakes::KitServices>(tls);
  for (const std::string& host : extra_hosts) {
    if (host_map().count(host + ":443")) throw std::runtime_error(host + " is served already");
    sites_.push_back(std::make_unique<fakes::FakeService>(host, std::vector<std::string>{host}, tls));
  }
  for (fakes::FakeService* service : all()) {
    service->set_request_observer([name = service->name()](const fakes::RecordedRequest& r, int status) {
      platform::sim::record_service_request({name, r.method, r.path, status, r.headers, r.body});
    });
  }
  testing::install_service_control(all());
}

LoopbackServices::~LoopbackServices() { stop(); }

void LoopbackServices::stop() {
  platform::sim::set_service_control({});
  for (testing::fakes::FakeService* service : all()) {
    service->set_request_observer(nullptr);
    service->stop();
  }
}

std::vector<testing::fakes::FakeService*> LoopbackServices::all() const {
  std::vector<testing::fakes::FakeService*> services{intranet_.get(), push_.get(),     analytics_.get(),
                                                      logs_.get(),     identity_.get(), kits_.get()};
  for (const auto& site : sites_) services.push_back(site.get());
  return services;
}

std::map<std::string, std::string> LoopbackServices::host_map() const {
  std::map<std::string, std::string> map;
  for (const auto* service : all()) map.merge(service->host_map());
  return map;
}

std::optional<Failure> LoopbackServices::install_into(const fs::path& device) const {
  const fs::path ca = device / "ca.pem";
  if (!authority_.write_root_pem(ca)) return Failure{"cannot write " + ca.string()};
  const fs::path profile_file = device / "device.json";
  nlohmann::json profile = nlohmann::json::object();
  if (const auto text = read_text(profile_file)) {
    profile = nlohmann::json::parse(*text, nullptr, false);
    if (!profile.is_object()) return Failure{profile_file.string() + " is not a JSON object"};
  }
  nlohmann::json& hosts = profile["hosts"];
  if (!hosts.is_object()) hosts = nlohmann::json::object();
  for (const auto& [from, to] : host_map()) hosts[from] = to;
  nlohmann::json& anchors = profile["trust_anchors"];
  if (!anchors.is_array()) anchors = nlohmann::json::array();
  // The anchor of an earlier run's authority is replaced by this one's (same file).
  bool listed = false;
  for (const auto& a : anchors) listed = listed || (a.is_string() && fs::path(a.get<std::string>()) == ca);
  if (!listed) anchors.push_back(ca.string());
  if (!write_text(profile_file, profile.dump(2) + "\n")) return Failure{"cannot write " + profile_file.string()};
  return std::nullopt;
}

std::string LoopbackServices::summary() const {
  std::string text = "loopback:";
  std::size_t shown = 0;
  const auto first = [](const testing::fakes::FakeService& s) {
    const auto map = s.host_map();
    const std::string from = s.host_names().front() + (s.tls() ? ":443" : ":80");
    return from + " -> " + map.at(from);
  };
  for (const auto* service : {static_cast<const testing::fakes::FakeService*>(intranet_.get()),
                              static_cast<const testing::fakes::FakeService*>(push_.get())}) {
    text += (shown++ ? ", " : " ") + first(*service);
  }
  const std::size_t more = host_map().size() - shown;
  if (more) text += ", (" + std::to_string(more) + " more)";
  return text;
}

}  // namespace appsim
