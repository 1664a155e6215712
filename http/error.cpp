#include "http/error.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>

#include "http/result.h"

namespace Duvarel::detail {

std::string demangledTypeName(const std::type_info& type) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), std::free);
  return status == 0 && name ? std::string(name.get()) : std::string(type.name());
}

std::string errorTypeName(const std::type_info& type) {
  std::string name = demangledTypeName(type);
  std::string out;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (name.compare(i, 2, "::") == 0) {
      out += '.';
      ++i;
    } else {
      out += name[i];
    }
  }
  return out;
}

}  // namespace Duvarel::detail
