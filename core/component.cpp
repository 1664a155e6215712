// The component registry and the per-host association.
#include "core/component.h"

#include <any>
#include <optional>
#include <utility>
#include <variant>

#include "core/app.h"
#include "core/app_selectors.h"
#include "core/logger.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/value.h"

namespace core {

namespace rt = platform::rt;
namespace foundation = platform::foundation;

// ---- components -------------------------------------------------------------------

std::shared_ptr<FIRDependency> FIRDependency::dependencyWithProtocol(std::string protocol, bool isRequired) {
  return std::make_shared<FIRDependency>(std::move(protocol), isRequired);
}

FIRComponent::FIRComponent(std::string protocol, FIRInstantiationTiming timing,
                           std::vector<std::shared_ptr<FIRDependency>> dependencies,
                           FIRComponentCreationBlock creationBlock)
    : protocol_(std::move(protocol)),
      timing_(timing),
      dependencies_(std::move(dependencies)),
      creationBlock_(std::move(creationBlock)) {}

std::shared_ptr<FIRComponent> FIRComponent::componentWithProtocol(std::string protocol,
                                                                 FIRComponentCreationBlock creationBlock) {
  return componentWithProtocol(std::move(protocol), FIRInstantiationTiming::lazy, {}, std::move(creationBlock));
}

std::shared_ptr<FIRComponent> FIRComponent::componentWithProtocol(
    std::string protocol, FIRInstantiationTiming timing, std::vector<std::shared_ptr<FIRDependency>> dependencies,
    FIRComponentCreationBlock creationBlock) {
  return std::make_shared<FIRComponent>(std::move(protocol), timing, std::move(dependencies), std::move(creationBlock));
}

// ---- container --------------------------------------------------------------------

namespace {

struct Registrants {
  std::mutex mutex;
  FIRRegistrantSet set;
};

Registrants& registrants() {
  static Registrants* r = new Registrants;
  return *r;
}

FIRRegistrantSet class_wide_registrants() {
  std::lock_guard lock(registrants().mutex);
  return registrants().set;
}

}  // namespace

void FIRComponentContainer::registerAsComponentRegistrant(rt::Class* klass) {
  std::lock_guard lock(registrants().mutex);
  registerAsComponentRegistrant(klass, &registrants().set);
}

void FIRComponentContainer::registerAsComponentRegistrant(rt::Class* klass, FIRRegistrantSet* set) {
  if (!set) {
    FIRLogWarningMessage(kFIRLoggerCore, "I-COR000025", "Attempted to store registered components in an empty set.");
    return;
  }
  if (!klass || !klass->conforms_to(kFIRComponentRegistrantProtocol) ||
      !klass->resolve_class(sel::componentsToRegister.id)) {
    foundation::Exception::raise("NSInvalidArgumentException",
                                 "Class " + std::string(klass ? klass->name() : "(null)") +
                                     " attempted to register components, but it does not conform to "
                                     "`FIRComponentRegistrant` or provide a `componentsToRegister:` method.");
  }
  for (rt::Class* known : *set) {
    if (known == klass) return;
  }
  set->push_back(klass);
}

FIRComponentContainer::FIRComponentContainer(const std::shared_ptr<FIRApp>& app)
    : FIRComponentContainer(app, class_wide_registrants()) {}

FIRComponentContainer::FIRComponentContainer(const std::shared_ptr<FIRApp>& app, const FIRRegistrantSet& registrants)
    : app_(app) {
  populate(registrants, app && app->isDefaultApp());
}

FIRComponentContainer::FIRComponentContainer(const std::shared_ptr<FIRApp>& app,
                                             std::map<std::string, FIRComponentCreationBlock> components)
    : app_(app), components_(components.begin(), components.end()) {}

void FIRComponentContainer::populate(const FIRRegistrantSet& registrants, bool is_default_app) {
  for (rt::Class* registrant : registrants) {
    if (!registrant) continue;
    const auto components = rt::send_if_responds(*registrant, sel::componentsToRegister);
    if (!components) continue;
    for (const std::shared_ptr<FIRComponent>& component : *components) {
      if (!component) continue;
      const std::string& key = component->protocol();
      {
        std::lock_guard lock(mutex_);
        if (components_.count(key)) {
          FIRLogErrorMessage(kFIRLoggerCore, "I-COR000029",
                             "Attempted to register protocol " + key + ", but it already has an implementation.");
          continue;
        }
        components_.emplace(key, component->creationBlock());
      }
      const FIRInstantiationTiming timing = component->instantiationTiming();
      if (timing == FIRInstantiationTiming::alwaysEager ||
          (timing == FIRInstantiationTiming::eagerInDefaultApp && is_default_app)) {
        instantiateInstanceForProtocol(key, component->creationBlock());
      }
    }
  }
}

rt::Id FIRComponentContainer::instantiateInstanceForProtocol(std::string_view protocol,
                                                             const FIRComponentCreationBlock& block) {
  if (!block) return nullptr;
  bool cacheable = false;
  rt::Id instance = block(*this, cacheable);
  if (!instance) return nullptr;
  if (!instance->isa().conforms_to(protocol)) {
    FIRLogErrorMessage(kFIRLoggerCore, "I-COR000030",
                       "An instance conforming to " + std::string(protocol) +
                           " was requested, but the instance provided does not conform to the protocol");
  }
  if (cacheable) {
    std::lock_guard lock(mutex_);
    cachedInstances_.insert_or_assign(std::string(protocol), instance);
  }
  return instance;
}

rt::Id FIRComponentContainer::instanceForProtocol(std::string_view protocol) {
  FIRComponentCreationBlock block;
  {
    std::lock_guard lock(mutex_);
    if (auto cached = cachedInstances_.find(protocol); cached != cachedInstances_.end()) return cached->second;
    auto found = components_.find(protocol);
    if (found == components_.end()) return nullptr;
    block = found->second;
  }
  return instantiateInstanceForProtocol(protocol, block);
}

void FIRComponentContainer::removeAllCachedInstances() {
  std::map<std::string, rt::Id, std::less<>> cached;
  {
    std::lock_guard lock(mutex_);
    cached = cachedInstances_;
  }
  const std::shared_ptr<FIRApp> app = app_.lock();
  for (const auto& [protocol, instance] : cached) {
    if (instance && instance->isa().conforms_to(kFIRComponentLifecycleMaintainerProtocol)) {
      rt::send_if_responds(*instance, sel::appWillBeDeleted, app);
    }
  }
  std::lock_guard lock(mutex_);
  cachedInstances_.clear();
}

rt::Id FIRComponentType::instanceForProtocol(std::string_view protocol, FIRComponentContainer* container) {
  return container ? container->instanceForProtocol(protocol) : nullptr;
}

// ---- association --------------------------------------------------------------------

namespace {

// Per host: key -> object, or the marker while its creation block runs.
struct InProgress {};
struct Association {
  std::map<std::string, std::variant<InProgress, rt::Id>> objects;
};

const char kAssociationKey = 0;

std::recursive_mutex& association_lock() {
  static std::recursive_mutex* m = new std::recursive_mutex;
  return *m;
}

std::string host_description(rt::Object& host) {
  if (auto text = rt::send_if_responds(host, rt::sel::description)) return *text;
  return "<" + std::string(host.isa().name()) + ": " + foundation::pointer_text(&host) + ">";
}

}  // namespace

rt::Id FIRAppAssociationRegistration::registeredObjectWithHost(rt::Object* host, const std::string& key,
                                                               const std::function<rt::Id()>& creationBlock) {
  if (!host) return nullptr;
  std::lock_guard lock(association_lock());
  std::shared_ptr<Association> association;
  if (std::any held = host->associated(&kAssociationKey); held.has_value()) {
    if (auto* p = std::any_cast<std::shared_ptr<Association>>(&held)) association = *p;
  }
  if (!association) {
    association = std::make_shared<Association>();
    host->set_associated(&kAssociationKey, association);
  }
  if (auto found = association->objects.find(key); found != association->objects.end()) {
    if (auto* object = std::get_if<rt::Id>(&found->second)) return *object;
    foundation::Exception::raise("Reentering registeredObjectWithHost:key:creationBlock: not allowed",
                                 "host: " + host_description(*host) + " key: " + key);
  }
  association->objects[key] = InProgress{};
  rt::Id object;
  try {
    object = creationBlock ? creationBlock() : nullptr;
  } catch (...) {
    // A failed creation leaves the key free for the next call.
    association->objects.erase(key);
    throw;
  }
  if (object) {
    association->objects[key] = object;
  } else {
    association->objects.erase(key);
  }
  return object;
}

}  // namespace core
