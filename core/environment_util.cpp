// Environment facts and the walk over a Mach-O header's load commands.
#include "core/environment_util.h"

#include <cstring>
#include <filesystem>
#include <mutex>
#include <string_view>

#include "platform/foundation/url.h"
#include "platform/kernel/loader.h"
#include "platform/kernel/macho.h"
#include "platform/os/bundle.h"
#include "platform/os/facts.h"
#include "platform/os/process_info.h"
#include "platform/ui/application.h"

namespace core {

namespace {

namespace macho = platform::kernel::macho;

std::uint32_t read_u32(std::span<const std::uint8_t> bytes, std::size_t offset) {
  std::uint32_t v;
  std::memcpy(&v, bytes.data() + offset, sizeof v);
  return v;
}

struct OnceFacts {
  std::mutex mutex;
  std::optional<bool> encrypted;
  std::optional<std::optional<std::string>> device_model;
};

OnceFacts& once_facts() {
  static OnceFacts f;
  return f;
}

// The first image whose header says "executable"; its header and commands
// as the loader laid them out.
bool executable_encrypted() {
  for (std::size_t i = 0, n = platform::kernel::image_count(); i < n; ++i) {
    const platform::kernel::Image* image = platform::kernel::image_at(i);
    if (!image || !image->macho_header) continue;
    const auto* base = static_cast<const std::uint8_t*>(image->macho_header);
    std::span<const std::uint8_t> head(base, sizeof(macho::Header32));
    const std::uint32_t magic = read_u32(head, 0);
    if (magic != macho::kMagic64 && magic != macho::kMagic32) continue;
    if (read_u32(head, offsetof(macho::Header32, filetype)) != macho::kFileTypeExecute) continue;
    const std::size_t header_size = magic == macho::kMagic64 ? sizeof(macho::Header64) : sizeof(macho::Header32);
    const std::size_t commands = read_u32(head, offsetof(macho::Header32, sizeofcmds));
    return GULIsMachOHeaderEncrypted({base, header_size + commands});
  }
  return false;
}

}  // namespace

bool GULIsMachOHeaderEncrypted(std::span<const std::uint8_t> header) {
  if (header.size() < sizeof(macho::Header32)) return false;
  const std::uint32_t magic = read_u32(header, 0);
  std::size_t offset;
  if (magic == macho::kMagic64) offset = sizeof(macho::Header64);
  else if (magic == macho::kMagic32) offset = sizeof(macho::Header32);
  else return false;
  if (header.size() < offset) return false;

  const std::uint32_t ncmds = read_u32(header, offsetof(macho::Header32, ncmds));
  for (std::uint32_t i = 0; i < ncmds; ++i) {
    if (header.size() - offset < sizeof(macho::LoadCommand)) return false;
    const std::uint32_t cmd = read_u32(header, offset);
    const std::uint32_t cmdsize = read_u32(header, offset + 4);
    if (cmdsize < sizeof(macho::LoadCommand) || cmdsize > header.size() - offset) return false;
    if (cmd == macho::kLcEncryptionInfo || cmd == macho::kLcEncryptionInfo64) {
      if (cmdsize < offsetof(macho::EncryptionInfo64, pad)) return false;
      return read_u32(header, offset + offsetof(macho::EncryptionInfo64, cryptid)) != 0;
    }
    offset += cmdsize;
  }
  return false;
}

bool GULAppEnvironmentUtil::isFromAppStore() {
  if (isSimulator() || isAppStoreReceiptSandbox()) return false;
  const platform::os::Bundle& bundle = platform::os::Bundle::main();
  std::error_code ec;
  if (!bundle.path().empty() && std::filesystem::exists(bundle.path() / "SC_Info", ec)) return true;
  {
    OnceFacts& f = once_facts();
    std::lock_guard lock(f.mutex);
    if (!f.encrypted) f.encrypted = executable_encrypted();
    if (!*f.encrypted) return false;
  }
  return !bundle.path_for_resource("embedded", "mobileprovision").has_value();
}

bool GULAppEnvironmentUtil::isAppStoreReceiptSandbox() {
  const platform::os::Bundle& bundle = platform::os::Bundle::main();
  const platform::foundation::Value& check = bundle.object_for_info_key("DavidizeAppStoreReceiptURLCheckEnabled");
  if (check.is_number() && !check.as_bool().value_or(true)) return false;
  if (!platform::os::ProcessInfo::shared().at_least({7, 0, 0})) return false;
  std::optional<platform::foundation::Url> receipt = bundle.app_store_receipt_url();
  return receipt && receipt->last_path_component() == "sandboxReceipt";
}

bool GULAppEnvironmentUtil::isSimulator() {
  std::optional<std::string> model = deviceModel();
  return model && (*model == "x86_64" || *model == "i386");
}

std::optional<std::string> GULAppEnvironmentUtil::deviceModel() {
  OnceFacts& f = once_facts();
  std::lock_guard lock(f.mutex);
  if (!f.device_model) {
    std::string machine = platform::os::uname().machine;
    f.device_model = machine.empty() ? std::nullopt : std::optional<std::string>(std::move(machine));
  }
  return *f.device_model;
}

std::string GULAppEnvironmentUtil::systemVersion() { return platform::ui::Device::current().system_version(); }

bool GULAppEnvironmentUtil::isAppExtension() {
  return platform::os::Bundle::main().path().string().ends_with(".appex");
}

void GULAppEnvironmentUtil::resetForTesting() {
  OnceFacts& f = once_facts();
  std::lock_guard lock(f.mutex);
  f.encrypted.reset();
  f.device_model.reset();
}

}  // namespace core
