#include "wire/diagnostics/diagnostics.h"

// The message classes of the set, instantiated once here.
namespace wire {
template class NanoMessage<diagnostics::kClientInfo>;
template class NanoMessage<diagnostics::kIosClientInfo>;
template class NanoMessage<diagnostics::kLogEvent>;
template class NanoMessage<diagnostics::kLogRequest>;
template class NanoMessage<diagnostics::kErrorInfo>;
template class NanoMessage<diagnostics::kICoreConfiguration>;
}  // namespace wire
