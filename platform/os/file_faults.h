#pragma once
// Injected file-system failures for tests. Tests run as root, so permission
// errors cannot be provoked through the file system itself.
#include <filesystem>
#include <optional>

namespace platform::os {

enum class FileOp {
  any,               // matches every operation below
  read,              // FileManager::read
  write,             // FileManager::write_atomically
  create_directory,  // FileManager::create_directory
  remove,            // FileManager::remove_item
  move,              // FileManager::move_item (matched on the source path)
  list,              // FileManager::contents_of_directory
  attributes,        // FileManager::attributes, is_excluded_from_backup
  set_attributes,    // FileManager::set_attributes, set_excluded_from_backup
};

// The next FileManager call of `op` on a path that starts with `path_prefix`
// (component-wise) fails with `error_number` instead of touching the disk.
// Faults are used once each, in the order they were added.
void fail_next(FileOp op, std::filesystem::path path_prefix, int error_number);
void clear_file_faults();

// Used by FileManager: takes the first fault matching (op, path), if any.
std::optional<int> take_file_fault(FileOp op, const std::filesystem::path& path);

}  // namespace platform::os
