#include "platform/foundation/error.h"

namespace platform::foundation {

std::string Error::localized_description() const {
  if (const std::string* s = user_info.get(key_localized_description).string()) return *s;
  return "The operation couldn\u2019t be completed. (" + domain + " error " + std::to_string(code) + ".)";
}

std::string Error::description() const {
  return "Error Domain=" + domain + " Code=" + std::to_string(code) + " \"" + localized_description() +
         "\" UserInfo=" + foundation::describe(Value(user_info));
}

}  // namespace platform::foundation
