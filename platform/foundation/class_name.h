#pragma once
// The platform class name of a value's kind ("NSString", "NSNumber", ...;
// an object's own class name), as type descriptions in log lines show it.
// Thread: any.
#include <string>

#include "platform/foundation/value.h"

namespace platform::foundation {

std::string class_name(const Value& value);

}  // namespace platform::foundation
