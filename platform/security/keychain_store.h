#pragma once
// Internal: the keychain operations on an explicit file, under the keychain's
// one mutex. The public item_* calls pass the device's keychain file.

#include <filesystem>
#include <vector>

#include "platform/security/keychain.h"

namespace platform::security::detail {

Status keychain_add(const std::filesystem::path& file, const Dict& attributes, Value* result);
// Adds every item or none (key pairs).
Status keychain_add_all(const std::filesystem::path& file, const std::vector<Dict>& items);
Status keychain_copy_matching(const std::filesystem::path& file, const Dict& query, Value* result);
Status keychain_update(const std::filesystem::path& file, const Dict& query, const Dict& changes);
Status keychain_delete(const std::filesystem::path& file, const Dict& query);

// keychain_add_all on the device's keychain file, with the entitlement check.
Status keychain_add_items(const std::vector<Dict>& items);

}  // namespace platform::security::detail
