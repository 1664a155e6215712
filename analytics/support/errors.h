#pragma once
// Analytics errors: the error domain, the constructors and out-parameter
// helpers, and the monitor contexts carried by errors. Callable from any thread.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"

namespace analytics {

inline constexpr std::string_view kAPMErrorDomain = "com.dozada.ruv.measurement.ErrorDomain";
// User-info key of the short text an error contributes to the monitoring data.
inline constexpr std::string_view kAPMMonitorContextKey = "APMMonitorContext";

// Out-parameter of the functions that may fail: nullptr when the caller does
// not want the error.
using APMErrorOut = std::optional<platform::foundation::Error>*;

// An analytics error; the description and the monitor context go into the user
// info only when they are not empty.
platform::foundation::Error apm_errorWithCode(std::int64_t code, std::string_view description);
platform::foundation::Error apm_errorWithCode(std::int64_t code, std::string_view description,
                                              std::string_view monitorContext);

// Store a new analytics error in `error` when it is given.
void APMSetError(APMErrorOut error, std::int64_t code, std::string_view description, std::string_view monitorContext);
void APMSetErrorWithoutContext(APMErrorOut error, std::int64_t code, std::string_view description);

// Returns `success`; stores the error first when it is false.
bool APMCheckSuccess(bool success, APMErrorOut error, std::int64_t code, std::string_view description);

// Returns whether `object` is present (a pointer, smart pointer or optional);
// stores the error first when it is not.
template <class T>
bool APMCheckNotNil(const T& object, APMErrorOut error, std::int64_t code, std::string_view description) {
  return APMCheckSuccess(static_cast<bool>(object), error, code, description);
}

// A context value carrying an error (what the monitor and
// APMMonitorContextsFromErrors recognise as an error object).
platform::foundation::Value APMErrorContext(const platform::foundation::Error& error);
// The error a context value carries, or nullptr.
std::shared_ptr<platform::foundation::Error> APMErrorFromContext(const platform::foundation::Value& context);

// The non-empty monitor contexts of the analytics errors among `contexts`, in
// order, joined by ","; "" when there are none.
std::string APMMonitorContextsFromErrors(const platform::foundation::Array& contexts);

}  // namespace analytics
