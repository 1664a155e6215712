#pragma once
// The component registry: services offer instances per protocol through
// components that registrant classes hand over; each app's container keeps
// one creation block per protocol and makes and caches instances. Also
// FIRAppAssociationRegistration, one lazily made object per key on any host.
//
// Threads: registrants are registered at load time and containers are made
// on the configuring thread. A container's tables sit behind its own lock,
// never held while a creation block runs, so lookups may come from any
// thread. The association runs under one recursive class lock, held across
// its creation block.
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/runtime/runtime.h"

namespace core {

class FIRApp;
class FIRComponentContainer;

// Protocol names of the registry.
inline constexpr std::string_view kFIRComponentRegistrantProtocol = "FIRComponentRegistrant";
inline constexpr std::string_view kFIRComponentLifecycleMaintainerProtocol = "FIRComponentLifecycleMaintainer";

// When a component's instance is made.
enum class FIRInstantiationTiming : int {
  lazy = 0,                // on first request
  alwaysEager = 1,         // when a container is made
  eagerInDefaultApp = 2,   // when the default app's container is made; lazy elsewhere
};

// Makes an instance for the container; sets `isCacheable` (false on entry)
// to keep it. nil: no instance.
using FIRComponentCreationBlock = std::function<platform::rt::Id(FIRComponentContainer& container, bool& isCacheable)>;

class FIRDependency {
 public:
  static std::shared_ptr<FIRDependency> dependencyWithProtocol(std::string protocol, bool isRequired = true);
  FIRDependency(std::string protocol, bool isRequired) : protocol_(std::move(protocol)), isRequired_(isRequired) {}

  const std::string& protocol() const { return protocol_; }
  bool isRequired() const { return isRequired_; }

 private:
  std::string protocol_;
  bool isRequired_;
};

class FIRComponent {
 public:
  // Lazy, without dependencies.
  static std::shared_ptr<FIRComponent> componentWithProtocol(std::string protocol, FIRComponentCreationBlock creationBlock);
  static std::shared_ptr<FIRComponent> componentWithProtocol(std::string protocol, FIRInstantiationTiming timing,
                                                            std::vector<std::shared_ptr<FIRDependency>> dependencies,
                                                            FIRComponentCreationBlock creationBlock);
  FIRComponent(std::string protocol, FIRInstantiationTiming timing,
               std::vector<std::shared_ptr<FIRDependency>> dependencies, FIRComponentCreationBlock creationBlock);

  const std::string& protocol() const { return protocol_; }
  FIRInstantiationTiming instantiationTiming() const { return timing_; }
  // Recorded for the service's own use; the container does not read them.
  const std::vector<std::shared_ptr<FIRDependency>>& dependencies() const { return dependencies_; }
  const FIRComponentCreationBlock& creationBlock() const { return creationBlock_; }

 private:
  const std::string protocol_;
  const FIRInstantiationTiming timing_;
  const std::vector<std::shared_ptr<FIRDependency>> dependencies_;
  const FIRComponentCreationBlock creationBlock_;
};

// Registrant classes in registration order, each once.
using FIRRegistrantSet = std::vector<platform::rt::Class*>;

class FIRComponentContainer {
 public:
  // Adds a class to the class-wide registrant set. It must conform to
  // "FIRComponentRegistrant" and answer the class message
  // `componentsToRegister`, else NSInvalidArgumentException is raised.
  static void registerAsComponentRegistrant(platform::rt::Class* klass);
  // The same for a given set; a nil set only logs.
  static void registerAsComponentRegistrant(platform::rt::Class* klass, FIRRegistrantSet* set);

  // initWithApp: with the class-wide registrant set.
  explicit FIRComponentContainer(const std::shared_ptr<FIRApp>& app);
  // initWithApp:registrants: the components of each registrant, the first
  // per protocol kept; eager ones made at once.
  FIRComponentContainer(const std::shared_ptr<FIRApp>& app, const FIRRegistrantSet& registrants);
  // initWithApp:components: protocol name -> creation block, no registrants.
  FIRComponentContainer(const std::shared_ptr<FIRApp>& app, std::map<std::string, FIRComponentCreationBlock> components);

  FIRComponentContainer(const FIRComponentContainer&) = delete;
  FIRComponentContainer& operator=(const FIRComponentContainer&) = delete;

  // The cached instance, else a new one from the protocol's block; nil when
  // no component serves the protocol.
  platform::rt::Id instanceForProtocol(std::string_view protocol);
  platform::rt::Id instantiateInstanceForProtocol(std::string_view protocol, const FIRComponentCreationBlock& block);
  // Sends `appWillBeDeleted:` to every cached lifecycle maintainer, then empties the cache.
  void removeAllCachedInstances();

  std::shared_ptr<FIRApp> app() const { return app_.lock(); }

 private:
  void populate(const FIRRegistrantSet& registrants, bool is_default_app);

  std::weak_ptr<FIRApp> app_;
  mutable std::mutex mutex_;
  std::map<std::string, FIRComponentCreationBlock, std::less<>> components_;
  std::map<std::string, platform::rt::Id, std::less<>> cachedInstances_;
};

struct FIRComponentType {
  // instanceForProtocol on the container; nil without one.
  static platform::rt::Id instanceForProtocol(std::string_view protocol, FIRComponentContainer* container);
};

struct FIRAppAssociationRegistration {
  // The object registered on `host` under `key`, made by `creationBlock` on
  // first use (under the class lock). A creation block asking for the same
  // host and key raises "Reentering registeredObjectWithHost:key:creationBlock:
  // not allowed". A nil host gives nil.
  static platform::rt::Id registeredObjectWithHost(platform::rt::Object* host, const std::string& key,
                                                   const std::function<platform::rt::Id()>& creationBlock);
};

}  // namespace core
