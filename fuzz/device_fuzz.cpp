// Files of the device folder: the device profile (device.json) read at boot
// and the store catalogue (store.json) a products request reads. Input: a
// selector byte, then the file's bytes.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string_view>

#include "fuzz/support.h"
#include "platform/os/profile.h"
#include "platform/store/store.h"

namespace {

namespace fs = std::filesystem;

using fuzz::check;

void device_profile(std::string_view bytes) {
  const fs::path file = fuzz::scratch_folder("device_fuzz") / "device.json";
  fuzz::write_file(file, bytes);
  auto loaded = platform::os::DeviceProfile::load(file);
  if (!loaded) {
    check(!loaded.error().domain.empty());
    return;
  }
  // Relative trust anchors are taken from the profile's own folder.
  for (const fs::path& anchor : loaded->trust_anchors) check(anchor.is_absolute());
}

void catalogue(std::string_view bytes) {
  auto products = platform::store::parse_catalogue(bytes);
  if (!products) {
    check(!products.error().domain.empty());
    return;
  }
  for (const auto& product : *products) {
    check(!product.identifier.empty() && !product.price.decimal_text.empty());
    if (product.introductory_price) check(!product.introductory_price->price.decimal_text.empty());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] % 2) {
    catalogue(bytes);
  } else {
    device_profile(bytes);
  }
  return 0;
}
