#include "platform/os/bundle.h"

#include <algorithm>
#include <memory>
#include <system_error>

#include "platform/foundation/plist.h"
#include "platform/os/detail.h"
#include "platform/runtime/class.h"

namespace platform::os {

namespace fs = std::filesystem;
using foundation::Dict;
using foundation::Value;

namespace {

struct Registry {
  std::mutex m;
  std::map<fs::path, std::unique_ptr<Bundle>> bundles;
  Bundle* main = nullptr;
};

Registry& registry() {
  static Registry r;
  return r;
}

fs::path normal(const fs::path& p) {
  std::error_code ec;
  fs::path abs = fs::absolute(p, ec).lexically_normal();
  if (abs.has_parent_path() && !abs.has_filename()) abs = abs.parent_path();  // trailing separator
  return abs;
}

Bundle* open_locked(Registry& r, const fs::path& path) {
  fs::path key = normal(path);
  std::error_code ec;
  if (key.empty() || !fs::is_directory(key, ec)) return nullptr;
  auto& slot = r.bundles[key];
  if (!slot) slot = std::make_unique<Bundle>(key);
  return slot.get();
}

bool has_extension(const fs::path& p, std::string_view type) {
  if (type.empty()) return true;
  std::string ext = p.extension().string();
  return !ext.empty() && std::string_view(ext).substr(1) == type;
}

std::vector<fs::path> sorted_files(const fs::path& dir, std::string_view type) {
  std::vector<fs::path> out;
  std::error_code ec;
  for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
    if (it->is_regular_file(ec) && has_extension(it->path(), type)) out.push_back(it->path());
  }
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace

Bundle::Bundle(fs::path path) : path_(std::move(path)) {
  if (path_.empty()) return;
  auto info = foundation::plist::read_file(path_ / "Info.plist");
  if (info && info->dict()) info_ = *info->dict();
}

Bundle& Bundle::main() {
  static Bundle empty{fs::path{}};
  Registry& r = registry();
  std::lock_guard lock(r.m);
  return r.main ? *r.main : empty;
}

Bundle* Bundle::for_class(const rt::Class& cls) {
  std::string_view image = cls.image();
  if (image.empty() || image == rt::main_image) return &main();
  fs::path image_path(image);
  fs::path framework;
  if (image_path.is_absolute()) {
    for (fs::path p = image_path; p.has_relative_path(); p = p.parent_path()) {
      if (p.extension() == ".framework") {
        framework = p;
        break;
      }
    }
  } else if (!main().path().empty()) {
    framework = main().path() / "Frameworks" / (std::string(image) + ".framework");
  }
  if (framework.empty()) return nullptr;
  return at_path(framework);
}

std::filesystem::path image_path(std::string_view image) {
  // The images the platform modules register their classes under.
  static constexpr std::string_view kPlatformFrameworks[] = {"CFNetwork",  "CoreLocation", "Foundation",
                                                             "StoreKit",   "UIKit",        "UIKitCore",
                                                             "UserNotifications", "WebKit"};
  if (image == rt::main_image) return Bundle::main().executable_path();
  fs::path path(image);
  if (path.is_absolute()) return path;
  const std::string name(image);
  for (std::string_view framework : kPlatformFrameworks) {
    if (framework == image) return fs::path("/System/Library/Frameworks") / (name + ".framework") / name;
  }
  return Bundle::main().path() / "Frameworks" / (name + ".framework") / name;
}

Bundle* Bundle::with_identifier(std::string_view identifier) {
  Registry& r = registry();
  std::lock_guard lock(r.m);
  auto matches = [&](const Bundle* b) {
    const std::string* id = b ? b->object_for_info_key("CFBundleIdentifier").string() : nullptr;
    return id && *id == identifier;
  };
  if (matches(r.main)) return r.main;
  for (auto& [path, bundle] : r.bundles) {
    if (matches(bundle.get())) return bundle.get();
  }
  if (!r.main) return nullptr;
  for (const char* folder : {"Frameworks", "PlugIns"}) {
    std::error_code ec;
    for (auto it = fs::directory_iterator(r.main->path() / folder, ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
      if (Bundle* b = open_locked(r, it->path()); matches(b)) return b;
    }
  }
  return nullptr;
}

Bundle* Bundle::at_path(const fs::path& path) {
  Registry& r = registry();
  std::lock_guard lock(r.m);
  return open_locked(r, path);
}

std::optional<std::string> Bundle::identifier() const {
  if (const std::string* id = info_.get("CFBundleIdentifier").string()) return *id;
  return std::nullopt;
}

fs::path Bundle::executable_path() const {
  const std::string* exe = info_.get("CFBundleExecutable").string();
  if (!exe || exe->empty() || path_.empty()) return {};
  return path_ / *exe;
}

const Value& Bundle::object_for_info_key(std::string_view key) const { return info_.get(key); }

std::vector<fs::path> Bundle::localization_folders() const {
  std::vector<std::string> names;
  auto add = [&](std::string name) {
    if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end()) names.push_back(std::move(name));
  };
  for (const std::string& lang : profile().preferred_languages) {
    add(lang);
    std::string underscored = lang;
    std::replace(underscored.begin(), underscored.end(), '-', '_');
    add(underscored);
    add(lang.substr(0, lang.find_first_of("-_")));
  }
  add("Base");
  const std::string* region = info_.get("CFBundleDevelopmentRegion").string();
  add(region ? *region : "en");

  std::vector<fs::path> folders;
  std::error_code ec;
  for (const std::string& name : names) {
    fs::path dir = path_ / (name + ".lproj");
    if (fs::is_directory(dir, ec)) folders.push_back(dir);
  }
  return folders;
}

std::optional<fs::path> Bundle::path_for_resource(std::string_view name, std::string_view type,
                                                  std::string_view subdir) const {
  if (path_.empty()) return std::nullopt;
  if (name.empty()) {
    auto all = paths_for_resources(type, subdir);
    if (all.empty()) return std::nullopt;
    return all.front();
  }
  std::string file(name);
  if (!type.empty()) {
    if (type.front() != '.') file += '.';
    file += type;
  }
  std::vector<fs::path> roots{path_};
  for (const fs::path& l : localization_folders()) roots.push_back(l);
  std::error_code ec;
  for (const fs::path& root : roots) {
    fs::path candidate = (subdir.empty() ? root : root / subdir) / file;
    if (fs::exists(candidate, ec)) return candidate;
  }
  return std::nullopt;
}

std::vector<fs::path> Bundle::paths_for_resources(std::string_view type, std::string_view subdir) const {
  if (path_.empty()) return {};
  if (!type.empty() && type.front() == '.') type.remove_prefix(1);
  auto in = [&](const fs::path& root) { return subdir.empty() ? root : root / subdir; };
  std::vector<fs::path> out = sorted_files(in(path_), type);
  std::vector<fs::path> lprojs;
  std::error_code ec;
  for (auto it = fs::directory_iterator(path_, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
    if (it->path().extension() == ".lproj" && it->is_directory(ec)) lprojs.push_back(it->path());
  }
  std::sort(lprojs.begin(), lprojs.end());
  for (const fs::path& l : lprojs) {
    auto files = sorted_files(in(l), type);
    out.insert(out.end(), files.begin(), files.end());
  }
  return out;
}

std::string Bundle::localized_string(std::string_view key, std::string_view value, std::string_view table) const {
  if (table.empty()) table = "Localizable";
  std::lock_guard lock(strings_mutex_);
  auto it = strings_tables_.find(table);
  if (it == strings_tables_.end()) {
    Dict strings;
    if (auto file = path_for_resource(table, "strings")) {
      auto parsed = foundation::plist::read_file(*file);
      if (parsed && parsed->dict()) strings = *parsed->dict();
    }
    it = strings_tables_.emplace(std::string(table), std::move(strings)).first;
  }
  if (const std::string* s = it->second.get(key).string()) return *s;
  return std::string(value.empty() ? key : value);
}

std::optional<foundation::Url> Bundle::app_store_receipt_url() const {
  if (path_.empty()) return std::nullopt;
  const char* name = profile().distribution == "app_store" ? "receipt" : "sandboxReceipt";
  return foundation::Url::file(path_ / "StoreKit" / name);
}

namespace detail {

Bundle* open_main_bundle(const fs::path& path) {
  Registry& r = registry();
  std::lock_guard lock(r.m);
  r.main = open_locked(r, path);
  return r.main;
}

void reset_bundles() {
  Registry& r = registry();
  std::lock_guard lock(r.m);
  r.main = nullptr;
  r.bundles.clear();
}

}  // namespace detail

}  // namespace platform::os
