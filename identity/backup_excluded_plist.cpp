// The backup-excluded property-list file.
#include "identity/backup_excluded_plist.h"

#include "identity/logger.h"
#include "platform/foundation/plist.h"
#include "platform/os/file_manager.h"

namespace identity {

namespace fd = platform::foundation;
namespace os = platform::os;

FIRInstanceIDBackupExcludedPlist::FIRInstanceIDBackupExcludedPlist(std::string fileName,
                                                                   std::string applicationSupportSubDirectory)
    : fileName_(std::move(fileName)), applicationSupportSubDirectory_(std::move(applicationSupportSubDirectory)) {
  fileInApplicationSupport_ = moveToApplicationSupportSubDirectory(applicationSupportSubDirectory_);
}

bool FIRInstanceIDBackupExcludedPlist::writeDictionary(const fd::Dict& dict, FIRInstanceIDErrorOut error) {
  const auto path = plistPathInDirectory(plistDirectory());
  auto bytes = fd::plist::serialize(fd::Value(dict), fd::plist::Format::xml);
  if (!bytes || !os::FileManager::shared().write_atomically(path, *bytes)) {
    IID_LOG_ERROR(6000, "Failed to write to %s.plist", fileName_.c_str());
    return false;
  }
  cachedPlistContents_ = dict;
  FIRInstanceIDSetError(error, std::nullopt);
  auto& files = os::FileManager::shared();
  const auto excluded = files.is_excluded_from_backup(path);
  if (excluded && *excluded) return true;
  const auto set = files.set_excluded_from_backup(path, true);
  if (!set) {
    IID_LOG_ERROR(6001, "Error excluding %s from backup, %s", path.filename().c_str(),
                  set.error().description().c_str());
    FIRInstanceIDSetError(error, set.error());
    return false;
  }
  return true;
}

bool FIRInstanceIDBackupExcludedPlist::deleteFile(FIRInstanceIDErrorOut error) {
  bool ok = true;
  if (doesFileExist()) {
    const auto removed = os::FileManager::shared().remove_item(plistPathInDirectory(plistDirectory()));
    if (!removed) {
      FIRInstanceIDSetError(error, removed.error());
      ok = false;
    }
  }
  cachedPlistContents_.reset();
  return ok;
}

std::optional<fd::Dict> FIRInstanceIDBackupExcludedPlist::contentAsDictionary() {
  if (!cachedPlistContents_ && doesFileExist()) {
    const auto bytes = os::FileManager::shared().read(plistPathInDirectory(plistDirectory()));
    if (bytes) {
      auto parsed = fd::plist::parse(*bytes);
      if (parsed && parsed->dict()) cachedPlistContents_ = *parsed->dict();
    }
  }
  return cachedPlistContents_;
}

bool FIRInstanceIDBackupExcludedPlist::doesFileExist() const { return doesFileExistInDirectory(plistDirectory()); }

bool FIRInstanceIDBackupExcludedPlist::doesFileExistInDirectory(int directory) const {
  const auto path = plistPathInDirectory(directory);
  return !path.empty() && os::FileManager::shared().exists(path);
}

int FIRInstanceIDBackupExcludedPlist::plistDirectory() const {
  return fileInApplicationSupport_ ? FIRInstanceIDPlistDirectoryApplicationSupport
                                   : FIRInstanceIDPlistDirectoryDocuments;
}

std::filesystem::path FIRInstanceIDBackupExcludedPlist::plistPathInDirectory(int directory) const {
  return pathWithName(fileName_, directory);
}

std::filesystem::path FIRInstanceIDBackupExcludedPlist::pathWithName(const std::string& name, int directory) const {
  const std::string file = name + ".plist";
  auto& files = os::FileManager::shared();
  switch (directory) {
    case FIRInstanceIDPlistDirectoryApplicationSupport:
      return files.url_for(os::Directory::application_support) / applicationSupportSubDirectory_ / file;
    case FIRInstanceIDPlistDirectoryDocuments:
      return files.url_for(os::Directory::documents) / file;
    default:
      IID_LOG_ERROR(6003, "Invalid plist directory type: %d", directory);
      return {};
  }
}

bool FIRInstanceIDBackupExcludedPlist::moveToApplicationSupportSubDirectory(const std::string& subDirectoryName) {
  auto& files = os::FileManager::shared();
  const auto applicationSupport = files.url_for(os::Directory::application_support);
  if (applicationSupport.empty() || !files.exists(applicationSupport / subDirectoryName)) return false;
  const auto oldPath = files.url_for(os::Directory::documents) / (fileName_ + ".plist");
  if (!files.exists(oldPath)) return true;
  const auto newPath = applicationSupport / subDirectoryName / (fileName_ + ".plist");
  if (files.exists(newPath)) return false;
  const auto moved = files.move_item(oldPath, newPath);
  if (!moved) {
    IID_LOG_ERROR(6002, "Failed to move file %s from %s to %s. Error: %s", fileName_.c_str(), oldPath.c_str(),
                  newPath.c_str(), moved.error().description().c_str());
    return false;
  }
  return true;
}

void FIRInstanceIDBackupExcludedPlist::moveToApplicationSupportSubDirectory() {
  fileInApplicationSupport_ = moveToApplicationSupportSubDirectory(applicationSupportSubDirectory_);
}

}  // namespace identity
