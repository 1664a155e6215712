// The platform class name of a value's kind.
#include "platform/foundation/class_name.h"

namespace platform::foundation {

std::string class_name(const Value& value) {
  switch (value.kind()) {
    case Value::Kind::null: return "NSNull";
    case Value::Kind::boolean:
    case Value::Kind::integer:
    case Value::Kind::real: return "NSNumber";
    case Value::Kind::string: return "NSString";
    case Value::Kind::data: return "NSData";
    case Value::Kind::date: return "NSDate";
    case Value::Kind::array: return "NSArray";
    case Value::Kind::dict: return "NSDictionary";
    case Value::Kind::object: return std::string(value.opaque()->class_name);
  }
  return "NSObject";
}

}  // namespace platform::foundation
