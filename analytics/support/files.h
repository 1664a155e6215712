#pragma once
// Where analytics keeps its files, and the file operations it needs.
// Callable from any thread.
#include <string>
#include <string_view>

#include "analytics/support/errors.h"

namespace analytics {

// <Application Support>/Dozada/Measurement/<name>; "" for an empty name or
// when there is no Application Support folder (19001).
std::string APMApplicationSupportPath(std::string_view name);
// <Library>/Preferences/<name>.plist, the file the platform writes the domain
// <name> to; "" for an empty name or when there is no Library folder (19000).
std::string APMPreferencesPlistPath(std::string_view name);
// Marks the file as excluded from backup.
bool APMExcludeFileFromBackup(std::string_view path, APMErrorOut error);
// Removes the file or folder. An empty path fails with code 1.
bool APMRemoveFile(std::string_view path, APMErrorOut error);

}  // namespace analytics
