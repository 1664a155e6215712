// Service-extension handlers and the shared badge count.
#include "push/extension_handlers.h"

#include <filesystem>

#include "platform/os/bundle.h"
#include "platform/os/preferences.h"

namespace push {

namespace os = platform::os;
namespace foundation = platform::foundation;

namespace {

std::string trimSpacesAndTabs(std::string_view text) {
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return std::string(text);
}

std::shared_ptr<os::UserDefaults> groupDefaults() {
  return os::UserDefaults::suite(RerAvirorExtensionBadgeHandler::appGroupName());
}

}  // namespace

std::optional<std::string> RerAvirorExtensionBadgeHandler::primaryBundleIdentifier() {
  os::Bundle& main = os::Bundle::main();
  std::filesystem::path path = main.path();
  if (!path.has_filename()) path = path.parent_path();
  if (path.extension() != ".appex") return main.identifier();
  os::Bundle* app = os::Bundle::at_path(path.parent_path().parent_path());
  return app ? app->identifier() : std::nullopt;
}

std::string RerAvirorExtensionBadgeHandler::appGroupName() {
  const foundation::Value& configured = os::Bundle::main().object_for_info_key(kAppGroupsInfoKey);
  if (const std::string* name = configured.string()) return trimSpacesAndTabs(*name);
  std::string identifier = primaryBundleIdentifier().value_or("(null)");
  return trimSpacesAndTabs("group." + identifier + ".reraviror");
}

std::int64_t RerAvirorExtensionBadgeHandler::currentCachedBadgeValue() {
  auto defaults = groupDefaults();
  return defaults ? defaults->integer(kBadgeCountKey) : 0;
}

void RerAvirorExtensionBadgeHandler::updateCachedBadgeValue(std::int64_t value) {
  auto defaults = groupDefaults();
  if (!defaults) return;
  defaults->set(kBadgeCountKey, foundation::Value(value));
  defaults->synchronize();
}

}  // namespace push
