#pragma once

#include <filesystem>
#include <string>

#include "platform/foundation/expected.h"
#include "platform/foundation/value.h"
#include "platform/os/system.h"

namespace platform::testing {

// A device folder and an app bundle in a fresh temporary folder, removed again
// (after the platform is reset) when the object goes away. Info.plist carries
// the bundle identifier, "App" as executable, and any extra keys given.
class TempDevice {
 public:
  static constexpr const char* bundle_identifier = "org.example.intranet";

  explicit TempDevice(std::string prefix = "device-test", foundation::Dict extra_info = {});
  ~TempDevice();
  TempDevice(const TempDevice&) = delete;
  TempDevice& operator=(const TempDevice&) = delete;

  foundation::Expected<void> boot(os::BootOptions options = {}) const;

  const std::filesystem::path& root() const { return root_; }
  const std::filesystem::path& device() const { return device_; }
  const std::filesystem::path& bundle() const { return bundle_; }
  std::filesystem::path container() const { return device_ / "Containers" / "Data" / bundle_identifier; }

 private:
  std::filesystem::path root_, device_, bundle_;
};

}  // namespace platform::testing
