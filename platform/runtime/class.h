#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/runtime/imp.h"
#include "platform/runtime/selector.h"

namespace platform::rt {

class Object;
class Class;
using Id = std::shared_ptr<Object>;
using WeakId = std::weak_ptr<Object>;

// Makes a new instance of the class it is given (the class being
// instantiated, which may be a subclass of the one that registered it).
using Factory = std::function<Id(Class&)>;

// Image of the app's own classes; the platform's carry their framework's name.
inline constexpr std::string_view main_image = "main";

// One method entry in one class's table (possibly an ancestor's of the class
// that was asked).
struct MethodRef {
  Class* owner = nullptr;
  SelId sel;
  bool class_side = false;
  friend bool operator==(const MethodRef&, const MethodRef&) = default;
};

struct ClassDefinition {
  std::string name{};
  std::string superclass{};  // empty: a root class
  std::string image = std::string(main_image);
  std::vector<std::string> protocols{};  // declared by this class itself
  Factory factory{};                     // empty: the nearest ancestor's
  std::optional<std::size_t> instance_size{};  // empty: the superclass's
  std::vector<std::pair<SelId, Imp>> methods{};
  std::vector<std::pair<SelId, Imp>> class_methods{};
};

namespace detail {
struct ClassAccess;
}

// A runtime class: a name, a superclass, an image, declared protocols and two
// method tables (instance and class side). Classes are owned by the runtime's
// registry; the tables are guarded by the runtime's shared mutex.
class Class {
 public:
  Class(const Class&) = delete;
  Class& operator=(const Class&) = delete;

  std::string_view name() const noexcept { return name_; }
  Class* superclass() const noexcept { return superclass_; }
  std::string_view image() const noexcept { return image_; }
  std::size_t instance_size() const noexcept { return instance_size_; }

  // Own declarations only.
  bool declares_protocol(std::string_view protocol) const;
  // This class or any ancestor declares it.
  bool conforms_to(std::string_view protocol) const;

  // The nearest entry for `sel`, own or inherited; an entry with an empty Imp
  // counts. nullopt when no class of the chain has one.
  std::optional<MethodRef> resolve(SelId sel) const;
  // The Imp of that entry; empty when there is none (or it is empty).
  Imp lookup(SelId sel) const;
  // Adds an own entry. False when the class already has one, or when `imp`'s
  // signature differs from the inherited entry's. An empty Imp is accepted.
  bool add_method(SelId sel, Imp imp);
  // Sets the own entry, adding it when absent. Ancestors are untouched.
  // Returns the previous own Imp (empty when there was none).
  Imp replace_method(SelId sel, Imp imp);

  std::optional<MethodRef> resolve_class(SelId sel) const;
  Imp lookup_class(SelId sel) const;
  bool add_class_method(SelId sel, Imp imp);
  Imp replace_class_method(SelId sel, Imp imp);

  // A new instance from the nearest factory of the chain, with this class as
  // its isa; nullptr when no class of the chain has a factory.
  Id create() const;

 private:
  friend struct detail::ClassAccess;
  friend bool exchange(MethodRef a, MethodRef b);
  using Table = std::unordered_map<SelId, Imp>;

  Class(ClassDefinition&& definition, Class* superclass, std::size_t instance_size);

  Table& table(bool class_side) noexcept { return class_side ? class_methods_ : methods_; }
  const Table& table(bool class_side) const noexcept { return class_side ? class_methods_ : methods_; }
  std::optional<MethodRef> resolve_entry(SelId sel, bool class_side) const;
  Imp lookup_entry(SelId sel, bool class_side) const;
  bool add_entry(SelId sel, Imp imp, bool class_side);
  Imp replace_entry(SelId sel, Imp imp, bool class_side);

  const std::string name_;
  Class* const superclass_;
  const std::string image_;
  const std::vector<std::string> protocols_;
  const std::size_t instance_size_;
  const Factory factory_;
  Table methods_;
  Table class_methods_;
};

// Swaps the Imps of two entries (either may be an ancestor's). False when an
// entry is missing, the sides differ, or both Imps are set with different
// signatures; nothing changes then.
bool exchange(MethodRef a, MethodRef b);

}  // namespace platform::rt
