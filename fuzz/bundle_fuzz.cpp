// Files the app bundle carries and the app reads at launch: the shell's
// Config.json and the push client's embedded.mobileprovision (the profile's
// property list cut out of its signed bytes). Input: a selector byte, then the
// file's bytes, written into a bundle folder and read as the app reads it.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string_view>

#include "fuzz/support.h"
#include "app/config.h"
#include "platform/os/bundle.h"
#include "platform/os/detail.h"
#include "push/device_facts.h"

namespace {

namespace fs = std::filesystem;

using fuzz::check;

// The main bundle, opened once in the scratch folder.
const fs::path& bundle() {
  static const fs::path folder = [] {
    fuzz::quiet_console();
    fs::path made = fuzz::scratch_folder("bundle_fuzz") / "Fuzz.app";
    fs::create_directories(made);
    if (!platform::os::detail::open_main_bundle(made)) std::abort();
    return made;
  }();
  return folder;
}

void config(std::string_view bytes) {
  fuzz::write_file(bundle() / "Config.json", bytes);
  const app::ConfigDictionary dictionary = app::ASConfigService::readConfigFile();
  const app::ASConfig parsed = app::ASConfigParser().parse(dictionary);
  auto base = dictionary.find("base_url");
  if (base == dictionary.end() || base->second.empty()) check(!parsed.baseURL);
  check(parsed.pushNotificationsEnabled.value_or(false) == (dictionary.contains("push_notifications_enabled") &&
                                                           dictionary.at("push_notifications_enabled") == "true"));
}

void provision(std::string_view bytes) {
  fuzz::write_file(bundle() / "embedded.mobileprovision", bytes);
  push::RerAvirorMobileProvision::clearCache();
  auto profile = push::RerAvirorMobileProvision::getMobileProvision();
  // Without the start and end marks there is nothing to parse.
  if (profile) check(bytes.find("<plist") != std::string_view::npos);
  push::RerAvirorMobileProvision::clearCache();
  const auto mode = push::RerAvirorMobileProvision::releaseMode();
  check(mode == push::UIApplicationReleaseUnknown || mode == push::UIApplicationReleaseDev ||
        mode == push::UIApplicationReleaseAppStore || mode == push::UIApplicationReleaseEnterprise);
  push::RerAvirorMobileProvision::clearCache();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] % 2) {
    provision(bytes);
  } else {
    config(bytes);
  }
  return 0;
}
