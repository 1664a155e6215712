#pragma once
// The messages the analytics identity sends to the instance identity class
// found by name ("FIRInstanceID"). The instance identity client registers its
// class with these declarations, so a signature mismatch fails to compile.
// Callable from any thread.
#include <string>

#include "platform/foundation/expected.h"
#include "platform/runtime/runtime.h"

namespace instance_id_sel {

// +[FIRInstanceID instanceID]: the shared instance identity object.
inline const platform::rt::ClassSel<platform::rt::Id()> instanceID{"instanceID"};
// -[FIRInstanceID appInstanceID:]: the app instance identity, or the error
// that the out-parameter carries.
inline const platform::rt::Sel<platform::foundation::Expected<std::string>()> appInstanceID{"appInstanceID:"};

}  // namespace instance_id_sel
