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

// The folder; empty, after the monitor message, when there is none.
std::filesystem::path searchPath(os::Directory directory, std::int64_t code, std::string_view message) {
  auto folder = os::FileManager::shared().url_for(directory);
  if (folder.empty()) APMMeasurement::monitor().logWithLevel(1, code, message);
  return folder;
}

}  // namespace

std::string APMApplicationSupportPath(std::string_view name) {
  if (name.empty()) return {};
  const auto folder = searchPath(os::Directory::application_support, 19001,
                                 "NSSearchPath for ApplicationSupport directory is empty");
  return folder.empty() ? std::string() : (folder / "Dozada" / "Measurement" / name).string();
}

std::string APMPreferencesPlistPath(std::string_view name) {
  if (name.empty()) return {};
  const auto folder = searchPath(os::Directory::library, 19000, "NSSearchPath for Library directory is empty");
  return folder.empty() ? std::string() : (folder / "Preferences" / (std::string(name) + ".plist")).string();
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
