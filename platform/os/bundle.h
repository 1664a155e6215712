#pragma once
// Bundles: a folder with an Info.plist (the app, its frameworks, an extension).
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/url.h"
#include "platform/foundation/value.h"

namespace platform::rt {
class Class;
}

namespace platform::os {

class Bundle {
 public:
  // The app's bundle opened at boot (an empty bundle before boot).
  static Bundle& main();
  // The framework bundle of the class's image (<main>/Frameworks/<image>.framework),
  // the main bundle for the app's own classes, nullptr when the image has no bundle.
  static Bundle* for_class(const rt::Class& cls);
  // A bundle already opened, the main bundle, or one of its frameworks and
  // plug-ins, whose CFBundleIdentifier is `identifier`; nullptr when none.
  static Bundle* with_identifier(std::string_view identifier);
  // The bundle at `path` (e.g. the app that holds an extension); nullptr when
  // `path` is not a folder. The same path gives the same object.
  static Bundle* at_path(const std::filesystem::path& path);

  const std::filesystem::path& path() const { return path_; }
  std::optional<std::string> identifier() const;       // CFBundleIdentifier
  std::filesystem::path executable_path() const;        // <path>/<CFBundleExecutable>; empty without one

  // Info.plist (XML or binary); empty when absent or unreadable.
  const foundation::Dict& info_dictionary() const { return info_; }
  const foundation::Value& object_for_info_key(std::string_view key) const;  // null Value when absent

  // Looks in <path>/<subdir>, then in the .lproj folders of the preferred
  // languages, Base.lproj and the development region. `type` empty: `name`
  // carries its extension. `name` empty: the first resource of `type`.
  std::optional<std::filesystem::path> path_for_resource(std::string_view name, std::string_view type,
                                                         std::string_view subdir = {}) const;
  // Every file of `type` (extension, empty for all) in <path>/<subdir> and in
  // <path>/<lang>.lproj/<subdir> of each localization, each folder sorted by name.
  std::vector<std::filesystem::path> paths_for_resources(std::string_view type, std::string_view subdir = {}) const;

  // `key` from <table>.strings (a property list) of the first localization
  // that has the table; else `value`, or `key` when `value` is empty.
  std::string localized_string(std::string_view key, std::string_view value,
                               std::string_view table = "Localizable") const;

  // <path>/StoreKit/receipt on app-store devices, <path>/StoreKit/sandboxReceipt otherwise.
  std::optional<foundation::Url> app_store_receipt_url() const;

  explicit Bundle(std::filesystem::path path);
  Bundle(const Bundle&) = delete;
  Bundle& operator=(const Bundle&) = delete;

 private:
  std::vector<std::filesystem::path> localization_folders() const;

  std::filesystem::path path_;
  foundation::Dict info_;
  mutable std::mutex strings_mutex_;
  mutable std::map<std::string, foundation::Dict, std::less<>> strings_tables_;
};

// The file path of a runtime image name (rt::Class::image()): the platform's
// own frameworks ("Foundation", "UIKitCore", "CFNetwork" ...) give
// "/System/Library/Frameworks/<X>.framework/<X>"; "main" gives the main
// bundle's executable path; any other bare name the framework for_class maps
// it to, "<main>/Frameworks/<X>.framework/<X>"; an absolute name stays as it is.
std::filesystem::path image_path(std::string_view image);

}  // namespace platform::os
