#pragma once
// The class messages the app's launch sends by class name, before the
// classes that answer them exist: the kit host's start with its kit classes,
// and the default app's configuration. A class that registers them declares
// its methods with these selectors, so a signature mismatch fails to compile.
#include <vector>

#include "platform/runtime/runtime.h"

namespace launch_sel {

// +[Divivi with:]: the kit classes; returns the kit host's shared instance.
inline const platform::rt::ClassSel<platform::rt::Id(std::vector<platform::rt::Class*>)> with{"with:"};
// +[FIRApp configure].
inline const platform::rt::ClassSel<void()> configure{"configure"};

}  // namespace launch_sel
