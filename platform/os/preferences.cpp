#include "platform/os/preferences.h"

#include <chrono>

#include "platform/dispatch/queue.h"
#include "platform/foundation/plist.h"
#include "platform/foundation/text.h"
#include "platform/os/detail.h"
#include "platform/os/file_manager.h"
#include "platform/os/syslog.h"
#include "platform/os/system.h"

namespace platform::os {

namespace fs = std::filesystem;
using foundation::Dict;
using foundation::Value;

bool is_property_list(const Value& value) {
  switch (value.kind()) {
    case Value::Kind::null:
    case Value::Kind::object: return false;
    case Value::Kind::array:
      for (const Value& v : *value.array()) {
        if (!is_property_list(v)) return false;
      }
      return true;
    case Value::Kind::dict:
      for (const auto& [k, v] : *value.dict()) {
        if (!is_property_list(v)) return false;
      }
      return true;
    default: return true;
  }
}

// ---- Preferences -------------------------------------------------------------

Preferences& Preferences::shared() {
  static Preferences* p = new Preferences;  // never destroyed: delayed flushes may still run at exit
  return *p;
}

std::string Preferences::resolve(std::string_view domain) const {
  if (domain.empty() || domain == current_application) {
    const std::string& id = detail::state().bundle_id;
    return id.empty() ? std::string(current_application) : id;
  }
  return std::string(domain);
}

fs::path Preferences::file_for_domain(std::string_view domain) const {
  std::string name = resolve(domain);
  if (!booted() || name == current_application || name == "." || name == ".." ||
      name.find('/') != std::string::npos || name.find('\0') != std::string::npos) {
    return {};
  }
  if (name.rfind("group.", 0) == 0) {
    fs::path group = app_group_container(name);
    return group.empty() ? fs::path{} : group / "Library" / "Preferences" / (name + ".plist");
  }
  return detail::state().container_dir / "Library" / "Preferences" / (name + ".plist");
}

bool Preferences::load_locked(const std::string& name, Domain& d) const {
  fs::path file = file_for_domain(name);
  if (file.empty() || !FileManager::shared().exists(file)) return true;
  auto bytes = FileManager::shared().read(file);
  if (!bytes) {
    syslog::log(syslog::error, "Preferences: cannot read " + file.string() + " of domain " + name + ": " +
                                   bytes.error().description());
    return false;
  }
  auto parsed = foundation::plist::parse(*bytes);
  if (!parsed || !parsed->dict()) {
    syslog::log(syslog::error, "Preferences: " + file.string() + " is not a property-list dictionary, domain " +
                                   name + " starts empty");
    return true;
  }
  Dict merged = std::move(*parsed->dict());
  for (const auto& [k, v] : d.values) merged.set(k, v);  // changes made meanwhile win
  d.values = std::move(merged);
  return true;
}

Preferences::Domain& Preferences::domain_locked(const std::string& name) const {
  auto it = domains_.find(name);
  if (it != domains_.end()) return it->second;
  Domain& d = domains_[name];
  d.unread = !load_locked(name, d);
  return d;
}

void Preferences::changed_locked(const std::string& name, Domain& d) {
  d.dirty = true;
  std::uint64_t generation = ++d.generation, epoch = epoch_;
  dispatch::Queue::global(dispatch::Qos::utility)
      .after(dispatch::Duration(flush_delay_seconds), [this, name, generation, epoch] {
        {
          std::lock_guard lock(mutex_);
          auto it = domains_.find(name);
          if (epoch != epoch_ || it == domains_.end() || !it->second.dirty || it->second.generation != generation) return;
        }
        write(name);
      });
}

std::optional<Value> Preferences::copy_app_value(std::string_view key, std::string_view domain) const {
  std::string name = resolve(domain);
  std::lock_guard lock(mutex_);
  const Value* v = domain_locked(name).values.find(key);
  if (!v) return std::nullopt;
  return *v;
}

bool Preferences::set_app_value(std::string_view key, std::optional<Value> value, std::string_view domain) {
  std::string name = resolve(domain);
  if (value && !is_property_list(*value)) {
    syslog::log(syslog::error, "Preferences: refused a value that is not a property list for key \"" +
                                   std::string(key) + "\" in domain " + name + ": " + foundation::describe(*value));
    return false;
  }
  std::lock_guard lock(mutex_);
  Domain& d = domain_locked(name);
  if (value) {
    d.values.set(std::string(key), std::move(*value));
  } else if (!d.values.erase(key)) {
    return true;  // nothing to remove
  }
  changed_locked(name, d);
  return true;
}

bool Preferences::write(const std::string& name) {
  std::lock_guard write_lock(write_mutex_);
  Value snapshot;
  {
    std::lock_guard lock(mutex_);
    auto it = domains_.find(name);
    if (it == domains_.end() || !it->second.dirty) return true;
    if (it->second.unread) {
      if (!load_locked(name, it->second)) return false;  // stays dirty: written once the file reads
      it->second.unread = false;
    }
    snapshot = it->second.values;
    it->second.dirty = false;
  }
  auto restore_dirty = [&] {
    std::lock_guard lock(mutex_);
    if (auto it = domains_.find(name); it != domains_.end()) it->second.dirty = true;
  };
  fs::path file = file_for_domain(name);
  if (file.empty()) {
    restore_dirty();
    return false;
  }
  FileManager& fm = FileManager::shared();
  auto bytes = foundation::plist::serialize(snapshot, foundation::plist::Format::binary);
  foundation::Expected<void> written = bytes ? fm.create_directory(file.parent_path(), true)
                                             : foundation::Expected<void>(bytes.error());
  if (written) written = fm.write_atomically(file, *bytes);
  if (!written) {
    restore_dirty();
    syslog::log(syslog::error, "Preferences: cannot write domain " + name + ": " + written.error().description());
    return false;
  }
  return true;
}

bool Preferences::app_synchronize(std::string_view domain) {
  if (!booted()) return false;
  return write(resolve(domain));
}

std::vector<std::string> Preferences::copy_key_list(std::string_view domain) const {
  std::string name = resolve(domain);
  std::lock_guard lock(mutex_);
  return domain_locked(name).values.keys();
}

Dict Preferences::copy_domain(std::string_view domain) const {
  std::string name = resolve(domain);
  std::lock_guard lock(mutex_);
  return domain_locked(name).values;
}

void Preferences::remove_domain(std::string_view domain) {
  std::string name = resolve(domain);
  std::lock_guard lock(mutex_);
  Domain& d = domain_locked(name);
  if (d.values.empty()) return;
  d.values.clear();
  changed_locked(name, d);
}

void Preferences::flush_all() {
  std::vector<std::string> dirty;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [name, d] : domains_) {
      if (d.dirty) dirty.push_back(name);
    }
  }
  for (const std::string& name : dirty) write(name);
}

void Preferences::reset_for_testing() {
  std::lock_guard write_lock(write_mutex_);
  std::lock_guard lock(mutex_);
  domains_.clear();
  ++epoch_;
}

// ---- UserDefaults ------------------------------------------------------------

UserDefaults& UserDefaults::standard() {
  static UserDefaults defaults{std::string(Preferences::current_application)};
  return defaults;
}

std::shared_ptr<UserDefaults> UserDefaults::suite(std::string_view name) {
  if (name.empty()) return std::make_shared<UserDefaults>(std::string(Preferences::current_application));
  const std::string& own = detail::state().bundle_id;
  if (!own.empty() && name == own) return nullptr;
  return std::make_shared<UserDefaults>(std::string(name));
}

std::string UserDefaults::domain() const { return Preferences::shared().resolve(domain_); }

std::optional<Value> UserDefaults::object(std::string_view key) const {
  return Preferences::shared().copy_app_value(key, domain_);
}

void UserDefaults::set(std::string_view key, std::optional<Value> value) {
  Preferences::shared().set_app_value(key, std::move(value), domain_);
}

void UserDefaults::remove(std::string_view key) { set(key, std::nullopt); }

bool UserDefaults::boolean(std::string_view key) const {
  auto v = object(key);
  if (!v) return false;
  if (auto b = v->as_bool()) return *b;
  if (const std::string* s = v->string()) return foundation::text::bool_value(*s);
  return false;
}

std::int64_t UserDefaults::integer(std::string_view key) const {
  auto v = object(key);
  if (!v) return 0;
  if (auto i = v->as_int()) return *i;
  if (const std::string* s = v->string()) return foundation::text::integer_value(*s);
  return 0;
}

double UserDefaults::real(std::string_view key) const {
  auto v = object(key);
  if (!v) return 0;
  if (auto d = v->as_double()) return *d;
  if (const std::string* s = v->string()) return foundation::text::double_value(*s);
  return 0;
}

std::optional<std::string> UserDefaults::string(std::string_view key) const {
  auto v = object(key);
  if (!v) return std::nullopt;
  if (const std::string* s = v->string()) return *s;
  if (v->is_bool()) return *v->as_bool() ? "1" : "0";
  if (v->is_integer()) return std::to_string(*v->as_int());
  if (v->is_real()) return foundation::format_real(*v->as_double());
  return std::nullopt;
}

Dict UserDefaults::dictionary_representation() const { return Preferences::shared().copy_domain(domain_); }

bool UserDefaults::synchronize() { return Preferences::shared().app_synchronize(domain_); }

void UserDefaults::remove_persistent_domain(std::string_view name) { Preferences::shared().remove_domain(name); }

namespace detail {
void reset_preferences() { Preferences::shared().reset_for_testing(); }
}  // namespace detail

}  // namespace platform::os
