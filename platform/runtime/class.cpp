#include "platform/runtime/class.h"

#include <algorithm>
#include <mutex>
#include <shared_mutex>

#include "platform/runtime/internal.h"
#include "platform/runtime/object.h"

namespace platform::rt {

Class::Class(ClassDefinition&& definition, Class* superclass, std::size_t instance_size)
    : name_(std::move(definition.name)),
      superclass_(superclass),
      image_(std::move(definition.image)),
      protocols_(std::move(definition.protocols)),
      instance_size_(instance_size),
      factory_(std::move(definition.factory)) {
  for (auto& [sel, imp] : definition.methods) methods_.insert_or_assign(sel, std::move(imp));
  for (auto& [sel, imp] : definition.class_methods) class_methods_.insert_or_assign(sel, std::move(imp));
}

bool Class::declares_protocol(std::string_view protocol) const {
  return std::find(protocols_.begin(), protocols_.end(), protocol) != protocols_.end();
}

bool Class::conforms_to(std::string_view protocol) const {
  for (const Class* cls = this; cls; cls = cls->superclass_) {
    if (cls->declares_protocol(protocol)) return true;
  }
  return false;
}

std::optional<MethodRef> Class::resolve_entry(SelId sel, bool class_side) const {
  std::shared_lock lock(detail::table_mutex());
  for (const Class* cls = this; cls; cls = cls->superclass_) {
    if (cls->table(class_side).contains(sel)) return MethodRef{const_cast<Class*>(cls), sel, class_side};
  }
  return std::nullopt;
}

Imp Class::lookup_entry(SelId sel, bool class_side) const {
  std::shared_lock lock(detail::table_mutex());
  for (const Class* cls = this; cls; cls = cls->superclass_) {
    const Table& entries = cls->table(class_side);
    if (auto it = entries.find(sel); it != entries.end()) return it->second;
  }
  return Imp{};
}

bool Class::add_entry(SelId sel, Imp imp, bool class_side) {
  std::unique_lock lock(detail::table_mutex());
  Table& own = table(class_side);
  if (own.contains(sel)) return false;
  if (imp) {
    for (const Class* cls = superclass_; cls; cls = cls->superclass_) {
      const Table& entries = cls->table(class_side);
      auto it = entries.find(sel);
      if (it == entries.end()) continue;
      if (it->second && !it->second.same_signature(imp)) return false;
      break;
    }
  }
  own.emplace(sel, std::move(imp));
  return true;
}

Imp Class::replace_entry(SelId sel, Imp imp, bool class_side) {
  std::unique_lock lock(detail::table_mutex());
  return std::exchange(table(class_side)[sel], std::move(imp));
}

std::optional<MethodRef> Class::resolve(SelId sel) const { return resolve_entry(sel, false); }
Imp Class::lookup(SelId sel) const { return lookup_entry(sel, false); }
bool Class::add_method(SelId sel, Imp imp) { return add_entry(sel, std::move(imp), false); }
Imp Class::replace_method(SelId sel, Imp imp) { return replace_entry(sel, std::move(imp), false); }

std::optional<MethodRef> Class::resolve_class(SelId sel) const { return resolve_entry(sel, true); }
Imp Class::lookup_class(SelId sel) const { return lookup_entry(sel, true); }
bool Class::add_class_method(SelId sel, Imp imp) { return add_entry(sel, std::move(imp), true); }
Imp Class::replace_class_method(SelId sel, Imp imp) { return replace_entry(sel, std::move(imp), true); }

Id Class::create() const {
  // Classes are only ever created non-const by the registry; the factory
  // receives the class being instantiated.
  Class& self = const_cast<Class&>(*this);
  for (const Class* cls = this; cls; cls = cls->superclass_) {
    if (!cls->factory_) continue;
    Id object = cls->factory_(self);
    if (object && &object->isa() != this) object->set_isa(self);
    return object;
  }
  return nullptr;
}

bool exchange(MethodRef a, MethodRef b) {
  if (!a.owner || !b.owner || a.class_side != b.class_side) return false;
  std::unique_lock lock(detail::table_mutex());
  Class::Table& table_a = a.owner->table(a.class_side);
  Class::Table& table_b = b.owner->table(b.class_side);
  auto entry_a = table_a.find(a.sel);
  auto entry_b = table_b.find(b.sel);
  if (entry_a == table_a.end() || entry_b == table_b.end()) return false;
  if (&entry_a->second == &entry_b->second) return true;
  if (entry_a->second && entry_b->second && !entry_a->second.same_signature(entry_b->second)) return false;
  std::swap(entry_a->second, entry_b->second);
  return true;
}

}  // namespace platform::rt
