#include "platform/security/keychain_store.h"

#include <sys/stat.h>

#include <mutex>
#include <optional>
#include <string>
#include <system_error>

#include "platform/foundation/plist.h"
#include "platform/security/key.h"
#include "platform/security/openssl_util.h"
#include "platform/security/security_internal.h"

namespace platform::security::detail {

namespace {

namespace fs = std::filesystem;
using foundation::Array;
using foundation::Bytes;

// Identity of one version of the file: every atomic rewrite gives a new inode.
struct FileStamp {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
  bool operator==(const FileStamp& o) const {
    return device == o.device && inode == o.inode && size == o.size && modified.tv_sec == o.modified.tv_sec &&
           modified.tv_nsec == o.modified.tv_nsec;
  }
};

std::optional<FileStamp> stamp_of(const fs::path& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return std::nullopt;
  return FileStamp{st.st_dev, st.st_ino, st.st_size, st.st_mtim};
}

struct Items {
  std::vector<Dict> items;
  bool corrupt = false;   // the file exists but is no keychain
};

// The parsed file of the last call, reused while the file is unchanged.
struct State {
  std::mutex mutex;
  fs::path file;
  std::optional<FileStamp> stamp;
  Items cached;
};

State& state() {
  static State* s = new State;
  return *s;
}

Items read_items(const fs::path& file) {
  Items out;
  auto parsed = foundation::plist::read_file(file);
  if (!parsed || !parsed->array()) {
    out.corrupt = true;
    return out;
  }
  for (const Value& v : *parsed->array())
    if (const Dict* d = v.dict()) out.items.push_back(*d);
  return out;
}

// The items of the file as it is now; parsed again only when it changed.
// Caller holds the mutex.
const Items& load(const fs::path& file) {
  State& s = state();
  const auto stamp = stamp_of(file);
  if (!stamp) {
    s.file = file;
    s.stamp.reset();
    s.cached = {};
  } else if (!(s.stamp && s.file == file && *s.stamp == *stamp)) {
    s.cached = read_items(file);
    s.file = file;
    s.stamp = stamp;
  }
  return s.cached;
}

// Caller holds the mutex.
Status save(const fs::path& file, const std::vector<Dict>& items) {
  State& s = state();
  std::error_code ec;
  fs::create_directories(file.parent_path(), ec);
  Array array;
  array.reserve(items.size());
  for (const Dict& d : items) array.emplace_back(d);
  if (!foundation::plist::write_file_atomically(Value(std::move(array)), file, foundation::plist::Format::binary)) {
    s.stamp.reset();
    return status::allocate;
  }
  s.file = file;
  s.stamp = stamp_of(file);
  s.cached = Items{items, false};
  return status::ok;
}

bool is_control_key(std::string_view name) { return name.starts_with("r_") || name.starts_with("m_"); }

const std::string* string_at(const Dict& d, std::string_view name) {
  const Value* v = d.find(name);
  return v ? v->string() : nullptr;
}

// "genp" or "keys"; nullopt for a missing or unknown class.
std::optional<std::string_view> class_of(const Dict& d) {
  const std::string* c = string_at(d, kc::class_);
  if (!c) return std::nullopt;
  if (*c == kc::class_generic_password) return kc::class_generic_password;
  if (*c == kc::class_key) return kc::class_key;
  return std::nullopt;
}

std::optional<KeyClass> key_class_of(const Dict& d) {
  const std::string* c = string_at(d, kc::key_class);
  if (!c) return std::nullopt;
  if (*c == "0") return KeyClass::public_;
  if (*c == "1") return KeyClass::private_;
  return std::nullopt;
}

std::shared_ptr<Key> key_of(const Dict& item) {
  const auto key_class = key_class_of(item);
  const Value* data = item.find(kc::value_data);
  if (!key_class || !data || !data->data()) return nullptr;
  return Key::from_external(*key_class, *data->data());
}

struct Flags {
  bool data = false, ref = false, attributes = false;
  bool all = false;
};

std::optional<Flags> flags_of(const Dict& query) {
  Flags f;
  for (auto [name, slot] : {std::pair{kc::return_data, &f.data}, std::pair{kc::return_ref, &f.ref},
                            std::pair{kc::return_attributes, &f.attributes}}) {
    if (const Value* v = query.find(name)) {
      if (!v->is_number()) return std::nullopt;
      *slot = v->as_bool().value_or(false);
    }
  }
  if (const Value* limit = query.find(kc::match_limit)) {
    const std::string* text = limit->string();
    if (!text || (*text != kc::match_limit_one && *text != kc::match_limit_all)) return std::nullopt;
    f.all = *text == kc::match_limit_all;
  }
  return f;
}

bool matches(const Dict& item, const Dict& query) {
  for (const auto& [name, wanted] : query) {
    if (is_control_key(name)) continue;
    if (name == kc::value_ref) {
      const auto want = wanted.object<Key>();
      const auto have = key_of(item);
      if (!want || !have || have->key_class() != want->key_class() || !(*have == *want)) return false;
      continue;
    }
    const Value* have = item.find(name);
    if (!have || !(*have == wanted)) return false;
  }
  return true;
}

bool same_attribute(const Dict& a, const Dict& b, std::string_view name) {
  const Value* x = a.find(name);
  const Value* y = b.find(name);
  if (!x || !y) return !x && !y;
  return *x == *y;
}

bool duplicates(const Dict& a, const Dict& b) {
  const auto ca = class_of(a);
  if (!ca || ca != class_of(b)) return false;
  if (*ca == kc::class_generic_password)
    return same_attribute(a, b, kc::service) && same_attribute(a, b, kc::account) &&
           same_attribute(a, b, kc::access_group);
  return same_attribute(a, b, kc::key_class) && same_attribute(a, b, kc::application_tag) &&
         same_attribute(a, b, kc::access_group) && same_attribute(a, b, kc::value_data);
}

void stamp_modified(Dict& item) { item.set(std::string(kc::modification_date), Value(foundation::Date::now())); }

// The item as stored, from the attributes of an add; a status on refusal.
Status prepare_item(const Dict& attributes, Dict* out) {
  const auto item_class = class_of(attributes);
  if (!item_class) return status::param;
  Dict item;
  for (const auto& [name, value] : attributes) {
    if (is_control_key(name) || name == kc::value_ref) continue;
    if (value.is_object() || value.is_null()) return status::param;
    item.set(name, value);
  }
  const Value* data = attributes.find(kc::value_data);
  if (data && !data->data()) return status::param;
  if (*item_class == kc::class_generic_password) {
    if (attributes.contains(kc::value_ref)) return status::param;
  } else {
    std::shared_ptr<Key> key;
    if (const Value* ref = attributes.find(kc::value_ref)) {
      key = ref->object<Key>();
      if (!key || data) return status::param;
    } else {
      if (!data || !key_class_of(attributes)) return status::param;
      key = Key::from_external(*key_class_of(attributes), *data->data());
      if (!key) return status::decode;
    }
    item.set(std::string(kc::key_class), std::string(key->key_class() == KeyClass::public_ ? "0" : "1"));
    item.set(std::string(kc::value_data), key->external_representation());
    if (KeyAccess::is_rsa(*key)) item.set(std::string(kc::key_type), std::string(kc::key_type_rsa));
    item.set(std::string(kc::key_size), key->bits());
  }
  stamp_modified(item);
  *out = std::move(item);
  return status::ok;
}

// One result in the shape the flags ask for.
Status result_of(const Dict& item, const Flags& flags, Value* out) {
  std::shared_ptr<Key> key;
  if (flags.ref) {
    if (class_of(item) != kc::class_key) return status::param;
    key = key_of(item);
    if (!key) return status::decode;
  }
  const int asked = int(flags.data) + int(flags.ref) + int(flags.attributes);
  const Value* data = item.find(kc::value_data);
  if (!flags.attributes && asked == 1) {
    if (flags.data) *out = data ? *data : Value(Bytes{});
    else *out = Value::object(key);
    return status::ok;
  }
  if (asked == 0) {
    *out = Value();
    return status::ok;
  }
  Dict result;
  if (flags.attributes)
    for (const auto& [name, value] : item)
      if (name != kc::value_data) result.set(name, value);
  if (flags.data) result.set(std::string(kc::value_data), data ? *data : Value(Bytes{}));
  if (flags.ref) result.set(std::string(kc::value_ref), Value::object(key));
  *out = Value(std::move(result));
  return status::ok;
}

Status results_of(const std::vector<const Dict*>& found, const Flags& flags, Value* out) {
  if (!flags.all) return result_of(*found.front(), flags, out);
  Array all;
  for (const Dict* item : found) {
    Value one;
    if (const Status s = result_of(*item, flags, &one); s != status::ok) return s;
    all.push_back(std::move(one));
  }
  *out = Value(std::move(all));
  return status::ok;
}

Status add_locked(const fs::path& file, const std::vector<Dict>& attribute_sets, std::vector<Dict>* added) {
  std::vector<Dict> items = load(file).items;
  const std::size_t first_new = items.size();
  for (const Dict& attributes : attribute_sets) {
    Dict item;
    if (const Status s = prepare_item(attributes, &item); s != status::ok) return s;
    for (const Dict& existing : items)
      if (duplicates(existing, item)) return status::duplicate_item;
    items.push_back(std::move(item));
  }
  if (const Status s = save(file, items); s != status::ok) return s;
  if (added) added->assign(items.begin() + static_cast<std::ptrdiff_t>(first_new), items.end());
  return status::ok;
}

}  // namespace

void reset_keychain_cache() {
  State& s = state();
  std::lock_guard lock(s.mutex);
  s.file.clear();
  s.stamp.reset();
  s.cached = {};
}

Status keychain_add(const fs::path& file, const Dict& attributes, Value* result) {
  const auto flags = flags_of(attributes);
  if (!flags) return status::param;
  std::lock_guard lock(state().mutex);
  std::vector<Dict> added;
  if (const Status s = add_locked(file, {attributes}, &added); s != status::ok) return s;
  if (result) return result_of(added.front(), *flags, result);
  return status::ok;
}

Status keychain_add_all(const fs::path& file, const std::vector<Dict>& items) {
  std::lock_guard lock(state().mutex);
  return add_locked(file, items, nullptr);
}

Status keychain_copy_matching(const fs::path& file, const Dict& query, Value* result) {
  const auto flags = flags_of(query);
  if (!flags || !class_of(query)) return status::param;
  std::lock_guard lock(state().mutex);
  const Items& current = load(file);
  std::vector<const Dict*> found;
  for (const Dict& item : current.items)
    if (matches(item, query)) found.push_back(&item);
  if (found.empty()) return current.corrupt ? status::decode : status::item_not_found;
  if (!result) return status::ok;
  return results_of(found, *flags, result);
}

Status keychain_update(const fs::path& file, const Dict& query, const Dict& changes) {
  if (!flags_of(query) || !class_of(query) || changes.empty()) return status::param;
  for (const auto& [name, value] : changes) {
    if (name == kc::class_ || name == kc::value_ref || is_control_key(name)) return status::param;
    if (value.is_object() || value.is_null()) return status::param;
    if (name == kc::value_data && !value.data()) return status::param;
  }
  const bool key_items = class_of(query) == kc::class_key;
  if (key_items)
    for (std::string_view fixed : {kc::value_data, kc::key_class, kc::key_type, kc::key_size})
      if (changes.contains(fixed)) return status::param;

  std::lock_guard lock(state().mutex);
  const Items& current = load(file);
  const bool corrupt = current.corrupt;
  std::vector<Dict> items = current.items;
  std::vector<bool> changed(items.size(), false);
  bool any = false;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (!matches(items[i], query)) continue;
    for (const auto& [name, value] : changes) items[i].set(name, value);
    stamp_modified(items[i]);
    changed[i] = any = true;
  }
  if (!any) return corrupt ? status::decode : status::item_not_found;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (!changed[i]) continue;
    for (std::size_t j = 0; j < items.size(); ++j)
      if (j != i && duplicates(items[i], items[j])) return status::duplicate_item;
  }
  return save(file, items);
}

Status keychain_delete(const fs::path& file, const Dict& query) {
  if (!flags_of(query) || !class_of(query)) return status::param;
  std::lock_guard lock(state().mutex);
  const Items& current = load(file);
  std::vector<Dict> kept;
  for (const Dict& item : current.items)
    if (!matches(item, query)) kept.push_back(item);
  if (kept.size() == current.items.size()) return current.corrupt ? status::decode : status::item_not_found;
  return save(file, kept);
}

}  // namespace platform::security::detail
