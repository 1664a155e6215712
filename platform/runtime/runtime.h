#pragma once

// The object runtime: classes registered by name, typed selectors, method
// tables that can be added to, replaced and exchanged, dynamic subclasses,
// associated objects, protocol names, the class list and load hooks.

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/runtime/class.h"
#include "platform/runtime/errors.h"
#include "platform/runtime/imp.h"
#include "platform/runtime/message.h"
#include "platform/runtime/object.h"
#include "platform/runtime/selector.h"

namespace platform::rt {

namespace detail {
struct Registry;
}

// Image of the base classes NSObject and NSProxy.
inline constexpr std::string_view foundation_image = "Foundation";

namespace sel {
// NSObject's "description": "<ClassName: 0x...>" with the object's address.
inline const Sel<std::string()> description{"description"};
}  // namespace sel

// The process-wide class registry. A fresh registry holds only the base
// classes NSObject and NSProxy (both roots). One shared mutex guards every
// table: reads take it shared, changes exclusive.
class Runtime {
 public:
  static Runtime& shared();

  // Registers a class. Throws std::invalid_argument when the name is empty or
  // taken or the superclass is not registered: class tables are written by
  // the program itself, so these are programming errors.
  Class& define(ClassDefinition definition);

  // A registered class by name; nullptr when absent.
  Class* find(std::string_view name) const;
  // Registered classes in registration order.
  std::vector<Class*> classes() const;
  // The distinct non-empty images of the registered classes, in the order
  // their first class was registered (the loaded images the runtime knows).
  std::vector<std::string> image_names() const;

  // A new, not yet registered subclass of `super` with the superclass's
  // instance size plus `extra_bytes`; nullptr when the name is taken
  // (registered or allocated). It has no image and inherits the factory.
  Class* allocate_subclass(Class& super, std::string name, std::size_t extra_bytes = 0);
  // Makes an allocated subclass findable and appends it to classes().
  // Registering a class twice changes nothing.
  void register_subclass(Class& cls);

  // For tests: swaps in a fresh registry (base classes only, no load hook
  // run yet) for its lifetime and puts the previous one back afterwards.
  // Classes and objects made inside a scope must not outlive it.
  class Scope {
   public:
    Scope();
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    std::unique_ptr<detail::Registry> saved_;
  };

 private:
  Runtime() = default;
};

// Sugar over ClassDefinition for a C++ class T derived from Object:
//   ClassBuilder<AppDelegate>("AppDelegate", "UIResponder").image(main_image)
//       .protocols({"UIApplicationDelegate"}).method(sel, &AppDelegate::member)
//       .define(Runtime::shared());
// The instance size is sizeof(T). Without .factory(), a T constructible from
// Class& is made with make_shared<T>(cls); otherwise the ancestor's factory is used.
template <class T>
class ClassBuilder {
  static_assert(std::is_base_of_v<Object, T>, "runtime classes derive from rt::Object");

 public:
  ClassBuilder(std::string name, std::string superclass) {
    definition_.name = std::move(name);
    definition_.superclass = std::move(superclass);
    definition_.instance_size = sizeof(T);
    if constexpr (std::is_constructible_v<T, Class&>) {
      definition_.factory = [](Class& cls) -> Id { return std::make_shared<T>(cls); };
    }
  }

  ClassBuilder& image(std::string_view image_name) {
    definition_.image = std::string(image_name);
    return *this;
  }

  ClassBuilder& protocols(std::initializer_list<std::string_view> names) {
    for (std::string_view name : names) definition_.protocols.emplace_back(name);
    return *this;
  }

  // F is callable as () or as (Class&) and returns a shared_ptr to an Object.
  template <class F>
  ClassBuilder& factory(F make) {
    if constexpr (std::is_invocable_v<F&, Class&>) {
      definition_.factory = [fn = std::move(make)](Class& cls) mutable -> Id { return fn(cls); };
    } else {
      static_assert(std::is_invocable_v<F&>, "a factory is callable as () or (Class&)");
      definition_.factory = [fn = std::move(make)](Class&) mutable -> Id { return fn(); };
    }
    return *this;
  }

  // M is a member function of T or any callable as (T&, A...). The receiver is
  // cast to T with dynamic_cast (std::bad_cast when it is not a T).
  template <class R, class... A, class M>
  ClassBuilder& method(const Sel<R(A...)>& sel, M member) {
    static_assert(std::is_invocable_r_v<R, M&, T&, A...>, "the method is callable as R(T&, A...)");
    definition_.methods.emplace_back(
        sel.id, Imp::make(sel, [fn = std::move(member)](Object& self, A... args) mutable -> R {
          return std::invoke(fn, dynamic_cast<T&>(self), std::forward<A>(args)...);
        }));
    return *this;
  }

  // F is callable as (Class&, A...).
  template <class R, class... A, class F>
  ClassBuilder& class_method(const ClassSel<R(A...)>& sel, F&& fn) {
    definition_.class_methods.emplace_back(sel.id, Imp::make(sel, std::forward<F>(fn)));
    return *this;
  }

  Class& define(Runtime& runtime = Runtime::shared()) { return runtime.define(std::move(definition_)); }

 private:
  ClassDefinition definition_;
};

// A load-time hook of the program, run from an explicit table.
struct LoadHook {
  int order;
  std::string_view name;
  void (*run)();
};

// Runs the hooks by ascending order (ties keep table order). Each name runs at
// most once per process, whichever table it comes from; it counts as run from
// the moment it starts.
void run_load_hooks(std::span<const LoadHook> hooks);

}  // namespace platform::rt
