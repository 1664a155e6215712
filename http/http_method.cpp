#include "http/http_method.h"

namespace Duvarel {

std::optional<HTTPMethod> HTTPMethod::fromRawValue(std::string_view text) {
  for (Case c : {options, get, head, post, put, patch, delete_, trace, connect}) {
    if (HTTPMethod(c).rawValue() == text) return HTTPMethod(c);
  }
  return std::nullopt;
}

}  // namespace Duvarel
