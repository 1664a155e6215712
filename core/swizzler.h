#pragma once
// GULSwizzler: replaces the implementation of a runtime method with a block
// and reads current implementations. Changes and reads of the method tables
// run synchronously on one private serial queue, "com.dozada.GULSwizzler"
// (created on first use), so they never interleave.
//
// Threads: any thread, but never from a block already running on that queue
// (the synchronous dispatch would wait for itself).
#include <utility>
#include <vector>

#include "platform/runtime/runtime.h"

namespace core {

class GULSwizzler {
 public:
  // Installs the block as the class's own implementation of the selector:
  // the instance side for an rt::Sel, the class side for an rt::ClassSel. An
  // inherited method is overridden on this class only (the superclass keeps
  // its own); a missing one is added. A null class changes nothing.
  template <class R, class... A, class Block>
  static void swizzleClass(platform::rt::Class* aClass, const platform::rt::Sel<R(A...)>& selector, Block&& block) {
    if (!aClass) return;
    replaceImplementation(*aClass, selector.id, false, platform::rt::Imp::make(selector, std::forward<Block>(block)));
  }
  template <class R, class... A, class Block>
  static void swizzleClass(platform::rt::Class* aClass, const platform::rt::ClassSel<R(A...)>& selector,
                           Block&& block) {
    if (!aClass) return;
    replaceImplementation(*aClass, selector.id, true, platform::rt::Imp::make(selector, std::forward<Block>(block)));
  }

  // The implementation the runtime's lookup finds (own or inherited); empty
  // for a null class, the empty selector, or no such method.
  static platform::rt::Imp currentImplementationForClass(const platform::rt::Class* aClass,
                                                         platform::rt::SelId selector, bool isClassSelector);
  // Whether the runtime finds a method for the selector (false for a null class).
  static bool selectorExistsInClass(platform::rt::SelId selector, const platform::rt::Class* aClass,
                                    bool isClassSelector);

  // Does nothing: a replacement stays for the process.
  static void unswizzleClass(platform::rt::Class* aClass, platform::rt::SelId selector, bool isClassSelector);
  // Always empty: the replaced implementation is not kept here.
  static platform::rt::Imp originalImplementationForClass(const platform::rt::Class* aClass,
                                                          platform::rt::SelId selector, bool isClassSelector);

  // The object-typed instance variables of the object's own class, in
  // declaration order. Runtime classes declare no instance variables (an
  // object's state is its C++ members), so the answer is always empty.
  static std::vector<platform::rt::Id> ivarObjectsForObject(const platform::rt::Object& object);

 private:
  static void replaceImplementation(platform::rt::Class& aClass, platform::rt::SelId selector, bool isClassSelector,
                                    platform::rt::Imp implementation);
};

}  // namespace core
