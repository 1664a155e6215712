#pragma once
// Facts about the running environment: App Store installation, receipt
// sandbox, simulator, device model, OS version, app extension. Device facts
// come from the device profile through the platform, never from the host.
//
// Threads: any thread. The encryption fact and the device model are worked
// out once per process (resetForTesting drops them); the other answers are
// computed on each call.
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace core {

class GULAppEnvironmentUtil {
 public:
  static bool isFromAppStore();
  static bool isAppStoreReceiptSandbox();
  // The device model is "x86_64" or "i386".
  static bool isSimulator();
  // uname's machine, read once; nullopt when uname gives none.
  static std::optional<std::string> deviceModel();
  static std::string systemVersion();
  // The main bundle's path ends with ".appex".
  static bool isAppExtension();

  // Forgets the once-only values (tests that boot several profiles in one process).
  static void resetForTesting();
};

// Whether a Mach-O header (32- or 64-bit, with its load commands following)
// carries an encryption-info command with a non-zero cryptid. The walk stays
// inside `header`: a command smaller than 8 bytes or running past the end
// stops it, and anything malformed counts as not encrypted.
bool GULIsMachOHeaderEncrypted(std::span<const std::uint8_t> header);

}  // namespace core
