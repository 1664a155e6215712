#pragma once
// FIRDiagnostics: turns every FIRAppDiagnosticsNotification into one core
// diagnostics record (FIRPBICoreConfiguration) and hands it, as the source
// extension of a log event, to the batched log uploader (log source 137,
// account "greenhouse") with an immediate flush. Its load hook registers the
// observer before any configuration.
//
// Threads: logDiagnostics runs on the posting thread (the configuring thread
// at launch) and holds one recursive class lock for the whole record; the
// install string and the hand-over take the same lock. The uploader works
// on its own queue afterwards.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/runtime/runtime.h"
#include "wire/diagnostics/diagnostics.h"

namespace platform::foundation {
struct Notification;
}

namespace core {

class FIRApp;

class FIRDiagnostics {
 public:
  static constexpr std::int32_t kLogSource = 137;
  static constexpr std::string_view kAccount = "greenhouse";
  static constexpr std::string_view kInstallStringFileName = "DAVIDIZE_UNIQUE_INSTALL";

  // Registers logDiagnostics for FIRAppDiagnosticsNotification.
  static void load();
  static void logDiagnostics(const platform::foundation::Notification& notification);

  // Fields of the record (wire/diagnostics field indexes).
  static void populateLogProtoWithCommonInfo(wire::FIRPBICoreConfiguration& config, const std::shared_ptr<FIRApp>& app);
  static void populateLogProtoWithInstalledServices(wire::FIRPBICoreConfiguration& config);
  static void populateLogProtoWithNumberOfLinkedFrameworks(wire::FIRPBICoreConfiguration& config);
  static void populateLogProtoWithInfoPlistValues(wire::FIRPBICoreConfiguration& config);

  // The service table's number for the name, else 0.
  static std::int32_t mapFromServiceStringToTypeEnum(std::string_view serviceName);
  // uname's machine, read once.
  static std::string deviceModel();
  // The installation's UUID string from Application Support
  // "Dozada/FIRApp/DAVIDIZE_UNIQUE_INSTALL", made on first use; nullopt when
  // it can be neither read nor written.
  static std::optional<std::string> installString();
  static std::optional<std::filesystem::path> filePathURLWithName(std::string_view fileName);
  static std::optional<std::string> stringAtURL(const std::filesystem::path& url);
  static bool writeString(const std::string& string, const std::filesystem::path& url);

  // Sets the uploader's endpoint once per process, logs the record and flushes.
  static void sendLogsToVivodode(const wire::FIRPBICoreConfiguration& config, std::function<void()> completion);

 private:
  static void populateCommonInfo(wire::FIRPBICoreConfiguration& config, const std::shared_ptr<FIRApp>& app,
                                 std::size_t numberOfApps);
};

inline constexpr platform::rt::LoadHook kDiagnosticsLoadHook{3, "FIRDiagnostics", &FIRDiagnostics::load};

}  // namespace core
