#include "platform/runtime/runtime.h"

#include <algorithm>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <stdexcept>
#include <unordered_map>

#include "platform/runtime/internal.h"
#include "platform/runtime/testing_reset.h"

namespace platform::rt {
namespace detail {

struct ClassAccess {
  static std::unique_ptr<Class> make(ClassDefinition&& definition, Class* superclass, std::size_t instance_size) {
    return std::unique_ptr<Class>(new Class(std::move(definition), superclass, instance_size));
  }
};

struct Registry {
  std::vector<std::unique_ptr<Class>> owned;  // registered and allocated
  std::vector<Class*> registered;             // registration order
  std::unordered_map<std::string_view, Class*> by_name;    // registered; keys view the class names
  std::unordered_map<std::string_view, Class*> allocated;  // allocated, not yet registered
  std::set<std::string, std::less<>> hooks_run;

  bool name_taken(std::string_view name) const { return by_name.contains(name) || allocated.contains(name); }

  void add_registered(std::unique_ptr<Class> cls) {
    Class* raw = cls.get();
    owned.push_back(std::move(cls));
    registered.push_back(raw);
    by_name.emplace(raw->name(), raw);
  }
};

std::shared_mutex& table_mutex() {
  static auto* mutex = new std::shared_mutex;
  return *mutex;
}

namespace {

std::unique_ptr<Class> make_root(std::string name, std::vector<std::pair<SelId, Imp>> methods = {}) {
  ClassDefinition definition;
  definition.name = std::move(name);
  definition.image = std::string(foundation_image);
  definition.factory = [](Class& cls) -> Id { return std::make_shared<Object>(cls); };
  definition.methods = std::move(methods);
  return ClassAccess::make(std::move(definition), nullptr, sizeof(Object));
}

// Builds without touching table_mutex(): it may run while the lock is held.
std::unique_ptr<Registry> fresh_registry() {
  const Sel<std::string()> description{"description"};
  Imp describe = Imp::make(description, [](Object& self) {
    return "<" + std::string(self.isa().name()) + ": " + pointer_text(dynamic_cast<const void*>(&self)) + ">";
  });
  auto registry = std::make_unique<Registry>();
  registry->add_registered(make_root("NSObject", {{description.id, std::move(describe)}}));
  registry->add_registered(make_root("NSProxy"));
  return registry;
}

// The current registry; read and replaced under table_mutex().
std::unique_ptr<Registry>& current_slot() {
  static auto* slot = new std::unique_ptr<Registry>(fresh_registry());
  return *slot;
}

Registry& current() { return *current_slot(); }

// Swaps `replacement` in and returns the previous registry, to be destroyed
// by the caller outside the lock (Imps may own objects that use the runtime).
std::unique_ptr<Registry> swap_current(std::unique_ptr<Registry> replacement) {
  std::unique_lock lock(table_mutex());
  return std::exchange(current_slot(), std::move(replacement));
}

}  // namespace
}  // namespace detail

Runtime& Runtime::shared() {
  static Runtime runtime;
  return runtime;
}

Class& Runtime::define(ClassDefinition definition) {
  std::unique_lock lock(detail::table_mutex());
  detail::Registry& registry = detail::current();
  if (definition.name.empty()) throw std::invalid_argument("a runtime class needs a name");
  if (registry.name_taken(definition.name)) {
    throw std::invalid_argument("class " + definition.name + " is already defined");
  }
  Class* superclass = nullptr;
  if (!definition.superclass.empty()) {
    auto it = registry.by_name.find(definition.superclass);
    if (it == registry.by_name.end()) {
      throw std::invalid_argument("superclass " + definition.superclass + " of " + definition.name +
                                  " is not registered");
    }
    superclass = it->second;
  }
  std::size_t size = definition.instance_size.value_or(superclass ? superclass->instance_size() : sizeof(Object));
  auto cls = detail::ClassAccess::make(std::move(definition), superclass, size);
  Class& result = *cls;
  registry.add_registered(std::move(cls));
  return result;
}

Class* Runtime::find(std::string_view name) const {
  std::shared_lock lock(detail::table_mutex());
  const auto& by_name = detail::current().by_name;
  auto it = by_name.find(name);
  return it == by_name.end() ? nullptr : it->second;
}

std::vector<Class*> Runtime::classes() const {
  std::shared_lock lock(detail::table_mutex());
  return detail::current().registered;
}

std::vector<std::string> Runtime::image_names() const {
  std::shared_lock lock(detail::table_mutex());
  std::vector<std::string> names;
  for (const Class* cls : detail::current().registered) {
    const std::string_view image = cls->image();
    if (image.empty() || std::find(names.begin(), names.end(), image) != names.end()) continue;
    names.emplace_back(image);
  }
  return names;
}

Class* Runtime::allocate_subclass(Class& super, std::string name, std::size_t extra_bytes) {
  std::unique_lock lock(detail::table_mutex());
  detail::Registry& registry = detail::current();
  if (name.empty() || registry.name_taken(name)) return nullptr;
  ClassDefinition definition;
  definition.name = std::move(name);
  definition.image.clear();
  auto cls = detail::ClassAccess::make(std::move(definition), &super, super.instance_size() + extra_bytes);
  Class* raw = cls.get();
  registry.owned.push_back(std::move(cls));
  registry.allocated.emplace(raw->name(), raw);
  return raw;
}

void Runtime::register_subclass(Class& cls) {
  std::unique_lock lock(detail::table_mutex());
  detail::Registry& registry = detail::current();
  auto it = registry.allocated.find(cls.name());
  if (it == registry.allocated.end() || it->second != &cls) return;
  registry.allocated.erase(it);
  registry.registered.push_back(&cls);
  registry.by_name.emplace(cls.name(), &cls);
}

Runtime::Scope::Scope() : saved_(detail::swap_current(detail::fresh_registry())) {}

Runtime::Scope::~Scope() { detail::swap_current(std::move(saved_)); }

void run_load_hooks(std::span<const LoadHook> hooks) {
  std::vector<const LoadHook*> ordered;
  ordered.reserve(hooks.size());
  for (const LoadHook& hook : hooks) ordered.push_back(&hook);
  std::stable_sort(ordered.begin(), ordered.end(),
                   [](const LoadHook* a, const LoadHook* b) { return a->order < b->order; });
  for (const LoadHook* hook : ordered) {
    {
      std::unique_lock lock(detail::table_mutex());
      if (!detail::current().hooks_run.emplace(hook->name).second) continue;
    }
    if (hook->run) hook->run();  // outside the lock: hooks change method tables
  }
}

void reset_for_testing() { detail::swap_current(detail::fresh_registry()); }

}  // namespace platform::rt
