#include "platform/security/keychain.h"

#include "platform/os/profile.h"
#include "platform/os/system.h"
#include "platform/security/keychain_store.h"

namespace platform::security {

namespace {

// The device's keychain file, or a status when the app may not use it.
Status locate(std::filesystem::path* file) {
  if (!os::profile().keychain_entitlement) return status::missing_entitlement;
  *file = os::keychain_file();
  return file->empty() ? status::param : status::ok;   // no device booted
}

}  // namespace

Status detail::keychain_add_items(const std::vector<Dict>& items) {
  std::filesystem::path file;
  if (const Status s = locate(&file); s != status::ok) return s;
  return keychain_add_all(file, items);
}

Status item_add(const Dict& attributes, Value* result) {
  std::filesystem::path file;
  if (const Status s = locate(&file); s != status::ok) return s;
  return detail::keychain_add(file, attributes, result);
}

Status item_copy_matching(const Dict& query, Value* result) {
  std::filesystem::path file;
  if (const Status s = locate(&file); s != status::ok) return s;
  return detail::keychain_copy_matching(file, query, result);
}

Status item_update(const Dict& query, const Dict& changes) {
  std::filesystem::path file;
  if (const Status s = locate(&file); s != status::ok) return s;
  return detail::keychain_update(file, query, changes);
}

Status item_delete(const Dict& query) {
  std::filesystem::path file;
  if (const Status s = locate(&file); s != status::ok) return s;
  return detail::keychain_delete(file, query);
}

}  // namespace platform::security
