// GULSwizzler: method-table changes and reads on the swizzler's serial queue.
#include "core/swizzler.h"

#include "platform/dispatch/queue.h"

namespace core {

namespace rt = platform::rt;

namespace {

const platform::dispatch::Queue& swizzlerQueue() {
  static const platform::dispatch::Queue queue = platform::dispatch::Queue::serial("com.dozada.GULSwizzler");
  return queue;
}

}  // namespace

void GULSwizzler::replaceImplementation(rt::Class& aClass, rt::SelId selector, bool isClassSelector,
                                        rt::Imp implementation) {
  swizzlerQueue().sync([&] {
    if (isClassSelector) {
      aClass.replace_class_method(selector, std::move(implementation));
    } else {
      aClass.replace_method(selector, std::move(implementation));
    }
  });
}

rt::Imp GULSwizzler::currentImplementationForClass(const rt::Class* aClass, rt::SelId selector,
                                                   bool isClassSelector) {
  if (!aClass || selector.name().empty()) return {};
  rt::Imp implementation;
  swizzlerQueue().sync([&] {
    implementation = isClassSelector ? aClass->lookup_class(selector) : aClass->lookup(selector);
  });
  return implementation;
}

bool GULSwizzler::selectorExistsInClass(rt::SelId selector, const rt::Class* aClass, bool isClassSelector) {
  if (!aClass) return false;
  bool exists = false;
  swizzlerQueue().sync([&] {
    exists = (isClassSelector ? aClass->resolve_class(selector) : aClass->resolve(selector)).has_value();
  });
  return exists;
}

void GULSwizzler::unswizzleClass(rt::Class*, rt::SelId, bool) {}

rt::Imp GULSwizzler::originalImplementationForClass(const rt::Class*, rt::SelId, bool) { return {}; }

std::vector<rt::Id> GULSwizzler::ivarObjectsForObject(const rt::Object&) { return {}; }

}  // namespace core
