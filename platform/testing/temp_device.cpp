#include "platform/testing/temp_device.h"

#include <stdlib.h>

#include <stdexcept>
#include <system_error>

#include "platform/dispatch/queue.h"
#include "platform/foundation/plist.h"
#include "platform/testing/reset.h"

namespace platform::testing {

namespace fs = std::filesystem;

TempDevice::TempDevice(std::string prefix, foundation::Dict extra_info) {
  std::string pattern = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("TempDevice: mkdtemp failed for " + pattern);
  root_ = pattern;
  device_ = root_ / "device";
  bundle_ = root_ / "App.app";
  fs::create_directories(device_);
  fs::create_directories(bundle_);
  foundation::Dict info{{"CFBundleIdentifier", bundle_identifier}, {"CFBundleExecutable", "App"}};
  for (const auto& [key, value] : extra_info) info.set(key, value);
  auto written = foundation::plist::write_file_atomically(foundation::Value(std::move(info)), bundle_ / "Info.plist");
  if (!written) throw std::runtime_error("TempDevice: " + written.error().description());
}

TempDevice::~TempDevice() {
  dispatch::wait_until_idle();
  reset();
  std::error_code ec;
  fs::remove_all(root_, ec);
}

foundation::Expected<void> TempDevice::boot(os::BootOptions options) const {
  return os::boot(device_, bundle_, std::move(options));
}

}  // namespace platform::testing
