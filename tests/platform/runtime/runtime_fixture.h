#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/runtime/runtime.h"

namespace platform::rt::test {

// Every test works on a fresh registry holding only NSObject and NSProxy.
class RuntimeTest : public ::testing::Test {
 protected:
  Class& define(std::string name, std::string superclass = "NSObject", std::vector<std::string> protocols = {}) {
    ClassDefinition definition;
    definition.name = std::move(name);
    definition.superclass = std::move(superclass);
    definition.protocols = std::move(protocols);
    return runtime_.define(std::move(definition));
  }

  template <class R>
  static Imp returning(const Sel<R()>& sel, R value) {
    return Imp::make(sel, [value](Object&) { return value; });
  }

  Runtime::Scope scope_;
  Runtime& runtime_ = Runtime::shared();
};

}  // namespace platform::rt::test
