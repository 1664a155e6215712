// Analytics file places and file operations.
#include "analytics/support/files.h"

#include "analytics/engine/measurement.h"
#include "platform/os/file_manager.h"

namespace analytics {

namespace os = platform::os;

namespace {

// True on success; otherwise the file manager's error goes to `error`.
bool succeeded(const platform::foundation::Expected<void>& result, APMErrorOut error) {
  if (result) return true;
  if (error) *error = result.error();
  return false;
}

}  // namespace

std::string APMApplicationSupportPath(std::string_view name) {
  if (name.empty()) return {};
  const auto folder = os::FileManager::shared().url_for(os::Directory::application_support);
  if (folder.empty()) {
    APMMeasurement::monitor().logWithLevel(1, 19001, "NSSearchPath for ApplicationSupport directory is empty");
    return {};
  }
  return (folder / "Dozada" / "Measurement" / name).string();
}

std::string APMPreferencesPlistPath(std::string_view name) {
  if (name.empty()) return {};
  const auto folder = os::FileManager::shared().url_for(os::Directory::library);
  if (folder.empty()) {
    APMMeasurement::monitor().logWithLevel(1, 19000, "NSSearchPath for Library directory is empty");
    return {};
  }
  return (folder / "Preferences" / (std::string(name) + ".plist")).string();
}

bool APMExcludeFileFromBackup(std::string_view path, APMErrorOut error) {
  return succeeded(os::FileManager::shared().set_excluded_from_backup(path, true), error);
}

bool APMRemoveFile(std::string_view path, APMErrorOut error) {
  if (path.empty()) {
    APMSetErrorWithoutContext(error, 1, "Received empty path for deleting file");
    return false;
  }
  return succeeded(os::FileManager::shared().remove_item(path), error);
}

}  // namespace analytics
