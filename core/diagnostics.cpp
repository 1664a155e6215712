// The core diagnostics record: its fields, the installed services, the
// linked frameworks, the install string and the hand-over to the uploader.
#include "core/diagnostics.h"

#include <array>
#include <mutex>
#include <utility>

#include "core/app.h"
#include "core/deployment.h"
#include "core/environment_util.h"
#include "core/logger.h"
#include "core/options.h"
#include "core/vivodode_logger.h"
#include "platform/foundation/notification.h"
#include "platform/foundation/uuid.h"
#include "platform/os/bundle.h"
#include "platform/os/facts.h"
#include "platform/os/file_manager.h"

namespace core {

namespace {

namespace fs = std::filesystem;
namespace foundation = platform::foundation;
namespace os = platform::os;
namespace rt = platform::rt;
using foundation::Value;

// Field indexes of FIRPBICoreConfiguration.
namespace field {
constexpr std::int32_t kConfigurationSubtype = 0;   // tag 16
constexpr std::int32_t kConfigurationType = 1;      // tag 1
constexpr std::int32_t kLibraryVersion = 3;         // tag 18
constexpr std::int32_t kServiceVersion = 4;         // tag 19
constexpr std::int32_t kInstalledServices = 9;      // tag 7
constexpr std::int32_t kService = 10;               // tag 20
constexpr std::int32_t kErrorInfo = 11;             // tag 15
constexpr std::int32_t kDeviceModel = 13;           // tag 9
constexpr std::int32_t kOSVersion = 14;             // tag 22
constexpr std::int32_t kAppID = 15;                 // tag 10
constexpr std::int32_t kBundleID = 17;              // tag 12
constexpr std::int32_t kMinimumOSVersion = 20;      // tag 24
constexpr std::int32_t kInstallString = 21;         // tag 14
constexpr std::int32_t kUsingDefaultPlist = 22;     // tag 25
constexpr std::int32_t kNumberOfApps = 23;          // tag 21
constexpr std::int32_t kFromAppStore = 24;          // tag 26
constexpr std::int32_t kLinkedFrameworks = 25;      // tag 27
constexpr std::int32_t kBuildVersions = 26;         // tag 28
constexpr std::int32_t kTag29 = 27;                 // tag 29
constexpr std::int32_t kTag30 = 28;                 // tag 30
constexpr std::int32_t kUserAgent = 29;             // tag 31
constexpr std::int32_t kAppDelegateProxy = 31;      // tag 33
}  // namespace field

// Field indexes of FIRPBErrorInfo and CLRPBLogEvent.
constexpr std::int32_t kErrorInfoFlag = 0;
constexpr std::int32_t kErrorInfoCode = 1;
constexpr std::int32_t kErrorInfoDomain = 2;
constexpr std::int32_t kLogEventSourceExtension = 8;

struct Service {
  std::string_view name;
  std::int32_t number;
  std::string_view className;
  std::string_view secondClassName;  // empty: one class is enough
};

// In the order of the installed-services list.
constexpr std::array<Service, 22> kServices{{
    {"VeZaz", 2, "GADBannerView", ""},
    {"Invites", 21, "FIRInvites", ""},
    {"Messaging", 17, "FIRMessaging", ""},
    {"RemoteConfig", 19, "FIRRemoteConfig", ""},
    {"Crash", 13, "FCRClient", ""},
    {"Measurement", 18, "DAVIdovivove", ""},
    {"MLVisionOnDeviceFace", 26, "FIRVisionFaceDetector", "GMVFaceDetector"},
    {"MLVisionOnDeviceBarcode", 27, "FIRVisionBarcodeDetector", "GMVBarcodeDetector"},
    {"MLVisionOnDeviceText", 28, "FIRVisionTextDetector", "GMVTextDetector"},
    {"MLVisionOnDeviceLabel", 29, "FIRVisionLabelDetector", "GMVLabelDetector"},
    {"MLModelInterpreter", 30, "FIRCustomModelInterpreter", ""},
    {"Database", 15, "FIRDatabase", ""},
    {"DynamicLinks", 20, "FIRDynamicLinks", ""},
    {"Auth", 14, "FIRAuth", ""},
    {"AuthUI", 22, "FUIAuth", ""},
    {"Vodavarar", 23, "FIRVodavarar", ""},
    {"Functions", 32, "FIRFunctions", ""},
    {"Performance", 24, "FIRPerformance", ""},
    {"Storage", 16, "FIRStorage", ""},
    {"SignIn", 5, "GIDSignIn", "GGLContext"},
    {"Analytics", 9, "GAI", "GGLContext"},
    {"InAppMessaging", 31, "FIRInAppMessaging", ""},
}};

// The class lock.
std::recursive_mutex& classLock() {
  static auto* lock = new std::recursive_mutex;
  return *lock;
}

const char kObserverOwner = 0;

void setStringIfNotEmpty(wire::FIRPBICoreConfiguration& config, std::int32_t index, const std::string& value) {
  if (!value.empty()) wire::NANOSetString(&config, index, value);
}

// The "%@" text of an Info.plist value; "" when it is missing.
std::string infoText(const Value& value) {
  if (value.is_null()) return "";
  if (const std::string* text = value.string()) return *text;
  return foundation::describe(value);
}

}  // namespace

void FIRDiagnostics::load() {
  foundation::NotificationCenter::default_center().add_observer(
      &kObserverOwner, std::string(FIRAppDiagnosticsNotification), nullptr, nullptr,
      [](const foundation::Notification& notification) { logDiagnostics(notification); });
}

void FIRDiagnostics::logDiagnostics(const foundation::Notification& notification) {
  const foundation::Dict& info = notification.user_info;
  std::shared_ptr<FIRApp> app = info.get(kFIRAppDiagnosticsFIRAppKey).object<FIRApp>();
  // The apps are counted before the class lock is taken: configure posts
  // while it holds the app lock, so taking that one under this lock (a
  // service's report on another thread) could deadlock against it.
  const std::size_t numberOfApps = FIRApp::allApps().size();
  std::lock_guard lock(classLock());
  auto config = wire::FIRPBICoreConfiguration::make();
  if (!config) return;

  if (std::optional<std::int64_t> type = info.get(kFIRAppDiagnosticsConfigurationTypeKey).as_int();
      type && (*type == kFIRConfigTypeCore || *type == kFIRConfigTypeSDK)) {
    wire::NANOSetInt32(config.get(), field::kConfigurationType, static_cast<std::int32_t>(*type));
  }
  if (const std::string* name = info.get(kFIRAppDiagnosticsSDKNameKey).string()) {
    wire::NANOSetInt32(config.get(), field::kService, mapFromServiceStringToTypeEnum(*name));
  }
  if (const std::string* version = info.get(kFIRAppDiagnosticsSDKVersionKey).string()) {
    wire::NANOSetString(config.get(), field::kServiceVersion, *version);
  }
  if (auto error = info.get(kFIRAppDiagnosticsErrorKey).object<foundation::Error>()) {
    if (auto errorInfo = wire::FIRPBErrorInfo::make()) {
      wire::NANOSetBool(errorInfo.get(), kErrorInfoFlag, true);
      wire::NANOSetInt32(errorInfo.get(), kErrorInfoCode, static_cast<std::int32_t>(error->code));
      wire::NANOSetString(errorInfo.get(), kErrorInfoDomain, error->domain);
      wire::NANOSetMessage(config.get(), field::kErrorInfo, errorInfo.get());
    }
  }
  populateCommonInfo(*config, app, numberOfApps);
  populateLogProtoWithInstalledServices(*config);
  populateLogProtoWithNumberOfLinkedFrameworks(*config);
  populateLogProtoWithInfoPlistValues(*config);
  sendLogsToVivodode(*config, nullptr);
}

void FIRDiagnostics::populateLogProtoWithCommonInfo(wire::FIRPBICoreConfiguration& config,
                                                    const std::shared_ptr<FIRApp>& app) {
  populateCommonInfo(config, app, FIRApp::allApps().size());
}

void FIRDiagnostics::populateCommonInfo(wire::FIRPBICoreConfiguration& config, const std::shared_ptr<FIRApp>& app,
                                        std::size_t numberOfApps) {
  wire::NANOSetInt32(&config, field::kConfigurationSubtype, 2);
  wire::NANOSetInt32(&config, field::kNumberOfApps, static_cast<std::int32_t>(numberOfApps));
  if (app) {
    if (std::shared_ptr<FIROptions> options = app->options()) {
      setStringIfNotEmpty(config, field::kAppID, options->dozadaAppID().value_or(""));
      setStringIfNotEmpty(config, field::kBundleID, options->bundleID().value_or(""));
      wire::NANOSetBool(&config, field::kUsingDefaultPlist, options->usingOptionsFromDefaultPlist());
      wire::NANOSetString(&config, field::kLibraryVersion, options->libraryVersionID());
    }
  }
  setStringIfNotEmpty(config, field::kInstallString, installString().value_or(""));
  setStringIfNotEmpty(config, field::kDeviceModel, deviceModel());
  setStringIfNotEmpty(config, field::kOSVersion, GULAppEnvironmentUtil::systemVersion());
  wire::NANOSetBool(&config, field::kTag29, false);
  wire::NANOSetInt32(&config, field::kTag30, 1);
  wire::NANOSetBool(&config, field::kFromAppStore, GULAppEnvironmentUtil::isFromAppStore());
  if (app) setStringIfNotEmpty(config, field::kUserAgent, FIRApp::davidizeUserAgent());
}

void FIRDiagnostics::populateLogProtoWithInstalledServices(wire::FIRPBICoreConfiguration& config) {
  const rt::Runtime& runtime = rt::Runtime::shared();
  foundation::Array installed;
  for (const Service& service : kServices) {
    if (!runtime.find(service.className)) continue;
    if (!service.secondClassName.empty() && !runtime.find(service.secondClassName)) continue;
    installed.emplace_back(service.number);
  }
  wire::NANOSetArray(&config, field::kInstalledServices, installed);
}

void FIRDiagnostics::populateLogProtoWithNumberOfLinkedFrameworks(wire::FIRPBICoreConfiguration& config) {
  std::int32_t count = 0;
  for (const std::string& image : rt::Runtime::shared().image_names()) {
    const std::string path = os::image_path(image).string();
    bool system = false;
    for (std::string_view prefix : {"System/Library", "Developer/Library", "usr/lib"}) {
      system = system || path.find(prefix) != std::string::npos;
    }
    if (!system) ++count;
  }
  // Less the application itself; never below 0 (an image list without the app).
  wire::NANOSetInt32(&config, field::kLinkedFrameworks, count > 0 ? count - 1 : 0);
}

void FIRDiagnostics::populateLogProtoWithInfoPlistValues(wire::FIRPBICoreConfiguration& config) {
  const os::Bundle& main = os::Bundle::main();
  wire::NANOSetString(&config, field::kBuildVersions,
                      infoText(main.object_for_info_key("DTXcodeBuild")) + "-" +
                          infoText(main.object_for_info_key("DTSDKBuild")));
  if (const std::string* minimum = main.object_for_info_key("MinimumOSVersion").string()) {
    wire::NANOSetString(&config, field::kMinimumOSVersion, *minimum);
  }
  const Value& proxy = main.object_for_info_key("DavidizeAppDelegateProxyEnabled");
  wire::NANOSetBool(&config, field::kAppDelegateProxy, proxy.is_number() ? proxy.as_bool().value_or(true) : true);
}

std::int32_t FIRDiagnostics::mapFromServiceStringToTypeEnum(std::string_view serviceName) {
  for (const Service& service : kServices) {
    if (service.name == serviceName) return service.number;
  }
  return 0;
}

std::string FIRDiagnostics::deviceModel() {
  static const std::string model = os::uname().machine;
  return model;
}

std::optional<std::string> FIRDiagnostics::installString() {
  std::lock_guard lock(classLock());
  const std::optional<fs::path> url = filePathURLWithName(kInstallStringFileName);
  if (!url) return std::nullopt;
  if (std::optional<std::string> existing = stringAtURL(*url); existing && !existing->empty()) return existing;
  std::string uuid = foundation::Uuid::random().string();
  if (!writeString(uuid, *url)) return std::nullopt;
  return uuid;
}

std::optional<fs::path> FIRDiagnostics::filePathURLWithName(std::string_view fileName) {
  std::lock_guard lock(classLock());
  const fs::path support = os::FileManager::shared().url_for(os::Directory::application_support);
  if (support.empty()) return std::nullopt;  // before boot
  const fs::path directory = support / "Dozada" / "FIRApp";
  auto& files = os::FileManager::shared();
  if (!files.exists(directory)) {
    auto created = files.create_directory(directory, true);
    if (!created) {
      FIRLogWarning(kFIRLoggerCore, "I-COR100001", "Unable to create internal state storage: %s",
                    created.error().description().c_str());
      return std::nullopt;
    }
  }
  return directory / fileName;
}

std::optional<std::string> FIRDiagnostics::stringAtURL(const fs::path& url) {
  auto contents = os::FileManager::shared().read(url);
  if (!contents) return std::nullopt;
  return foundation::to_string(*contents);
}

bool FIRDiagnostics::writeString(const std::string& string, const fs::path& url) {
  std::lock_guard lock(classLock());
  auto& files = os::FileManager::shared();
  auto written = files.write_atomically(url, foundation::to_bytes(string));
  if (!written) {
    FIRLogWarning(kFIRLoggerCore, "I-COR100004", "Unable to persist internal state: %s",
                  written.error().description().c_str());
    return false;
  }
  auto excluded = files.set_excluded_from_backup(url, true);
  if (!excluded) {
    FIRLogWarning(kFIRLoggerCore, "I-COR100003", "Unable to update internal resource: %s",
                  excluded.error().description().c_str());
  }
  return true;
}

void FIRDiagnostics::sendLogsToVivodode(const wire::FIRPBICoreConfiguration& config,
                                        std::function<void()> completion) {
  static std::once_flag endpointSet;
  std::shared_ptr<FIRVivododeLogger> logger = FIRVivododeLogger::sharedInstance();
  std::call_once(endpointSet, [&] { logger->setServerURL(foundation::Url::parse(kLogCollectionEndpoint)); });
  auto event = wire::CLRPBLogEvent::make();
  const std::optional<foundation::Bytes> record = config.protoBuffer();
  if (!event || !record) return;
  wire::NANOSetBytes(event.get(), kLogEventSourceExtension, std::span<const std::uint8_t>(*record));
  std::lock_guard lock(classLock());
  logger->logEvent(event, kLogSource, std::string(kAccount));
  logger->flushWithCompletionHandler(std::move(completion));
}

}  // namespace core
