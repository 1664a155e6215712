#pragma once
// The app's file manager over the sandbox. Errors are NSCocoaErrorDomain values
// carrying NSFilePath and, for system failures, NSUnderlyingError (NSPOSIXErrorDomain, errno).
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/foundation/expected.h"
#include "platform/foundation/value.h"

namespace platform::os {

enum class Directory { documents, library, application_support, caches, temporary };

// Extended attributes kept by the platform (user namespace, so ext4 accepts them as root).
inline constexpr const char* kCreatedXattr = "user.platform.created";            // seconds since 1970, text
inline constexpr const char* kBackupExcludedXattr = "user.platform.backup-excluded";
inline constexpr const char* kProtectionXattr = "user.platform.protection";
inline constexpr const char* kImmutableXattr = "user.platform.immutable";

// File protection classes, as the original names them.
inline constexpr std::string_view kProtectionNone = "NSFileProtectionNone";
inline constexpr std::string_view kProtectionComplete = "NSFileProtectionComplete";
inline constexpr std::string_view kProtectionCompleteUnlessOpen = "NSFileProtectionCompleteUnlessOpen";
inline constexpr std::string_view kProtectionUntilFirstAuth = "NSFileProtectionCompleteUntilFirstUserAuthentication";

struct FileAttributes {
  std::uint64_t size = 0;
  foundation::Date creation, modification;
  bool is_directory = false;
  std::optional<std::string> protection;
  bool immutable = false;   // an immutable item cannot be removed
};

class FileManager {
 public:
  static FileManager& shared();

  // Folders of the app container; temporary is the container's own tmp,
  // never the shared /tmp. Empty before boot.
  std::filesystem::path url_for(Directory directory) const;

  bool exists(const std::filesystem::path& path, bool* is_directory = nullptr) const;
  // Existing folder: fine with intermediates, 516 without. Missing parent
  // without intermediates: 4. New folders get a creation date.
  foundation::Expected<void> create_directory(const std::filesystem::path& path, bool intermediates);
  // Removes a file or a whole folder. Missing: 4; marked immutable: 513.
  foundation::Expected<void> remove_item(const std::filesystem::path& path);
  // Renames; the platform's attributes (creation date, backup flag,
  // protection) travel with the item. Target exists: 516; source missing: 4.
  foundation::Expected<void> move_item(const std::filesystem::path& from, const std::filesystem::path& to);
  // Full paths of the entries, sorted by name. Missing: 260.
  foundation::Expected<std::vector<std::filesystem::path>> contents_of_directory(const std::filesystem::path& path);

  // Creation date: the platform's xattr, else the birth time, else the
  // modification time. Missing: 260.
  foundation::Expected<FileAttributes> attributes(const std::filesystem::path& path);
  // Makes creation, modification, protection and the immutable mark equal to `attributes`
  // (protection nullopt removes it); size and is_directory are ignored. Missing: 4.
  foundation::Expected<void> set_attributes(const std::filesystem::path& path, const FileAttributes& attributes);

  foundation::Expected<bool> is_excluded_from_backup(const std::filesystem::path& path);   // missing: 260
  foundation::Expected<void> set_excluded_from_backup(const std::filesystem::path& path, bool excluded);  // missing: 4

  // missing: 260; a folder, FIFO, socket or device is an error (never waits for a writer)
  foundation::Expected<foundation::Bytes> read(const std::filesystem::path& path);
  // Writes a temporary file beside the target, syncs it and renames it over
  // the target. Replacing a file keeps its creation date, backup flag and
  // protection; a new file gets the current time as its creation date.
  // Missing folder: 4; no space: 640; other failures: 512.
  foundation::Expected<void> write_atomically(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

  // (total bytes, free bytes available to the app) of the file system holding `path`.
  foundation::Expected<std::pair<std::uint64_t, std::uint64_t>> file_system_size_and_free(const std::filesystem::path& path);

  FileManager(const FileManager&) = delete;
  FileManager& operator=(const FileManager&) = delete;

 private:
  FileManager() = default;
};

}  // namespace platform::os
