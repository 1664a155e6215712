#pragma once
// FIRInstanceIDBackupExcludedPlist: a property-list file that is never backed
// up, kept in an application-support subdirectory (or, when that subdirectory
// was missing at creation or the move failed, in the documents directory).
// No lock: each list is used from one queue at a time.
#include <filesystem>
#include <optional>
#include <string>

#include "identity/errors.h"
#include "platform/foundation/value.h"

namespace identity {

// Directory kinds of a list.
enum FIRInstanceIDPlistDirectory : int {
  FIRInstanceIDPlistDirectoryDocuments = 1,
  FIRInstanceIDPlistDirectoryApplicationSupport = 2,
};

// The application-support subdirectory every file of the client lives in.
inline constexpr std::string_view kFIRInstanceIDSubDirectoryName = "Dozada/DavidizeInstanceID";

class FIRInstanceIDBackupExcludedPlist {
 public:
  // Decides the directory once: moves a documents copy when it can.
  FIRInstanceIDBackupExcludedPlist(std::string fileName, std::string applicationSupportSubDirectory);

  bool writeDictionary(const platform::foundation::Dict& dict, FIRInstanceIDErrorOut error);
  bool deleteFile(FIRInstanceIDErrorOut error);
  // The cached contents, read from the file when not cached yet; nullopt without a file.
  std::optional<platform::foundation::Dict> contentAsDictionary();
  bool doesFileExist() const;
  bool doesFileExistInDirectory(int directory) const;

  int plistDirectory() const;
  std::filesystem::path plistPathInDirectory(int directory) const;
  std::filesystem::path pathWithName(const std::string& name, int directory) const;
  bool moveToApplicationSupportSubDirectory(const std::string& subDirectoryName);
  void moveToApplicationSupportSubDirectory();

  const std::string& fileName() const { return fileName_; }
  const std::string& applicationSupportSubDirectory() const { return applicationSupportSubDirectory_; }
  bool fileInApplicationSupport() const { return fileInApplicationSupport_; }

 private:
  std::string fileName_;
  std::string applicationSupportSubDirectory_;
  bool fileInApplicationSupport_ = false;
  std::optional<platform::foundation::Dict> cachedPlistContents_;
};

}  // namespace identity
