// Analytics errors and the monitor contexts they carry.
#include "analytics/support/errors.h"

#include <memory>

namespace analytics {

namespace fd = platform::foundation;

fd::Error apm_errorWithCode(std::int64_t code, std::string_view description) {
  return apm_errorWithCode(code, description, {});
}

fd::Error apm_errorWithCode(std::int64_t code, std::string_view description, std::string_view monitorContext) {
  fd::Dict info;
  if (!description.empty()) info.set(std::string(fd::key_localized_description), fd::Value(description));
  if (!monitorContext.empty()) info.set(std::string(kAPMMonitorContextKey), fd::Value(monitorContext));
  return fd::Error(std::string(kAPMErrorDomain), code, std::move(info));
}

void APMSetError(APMErrorOut error, std::int64_t code, std::string_view description, std::string_view monitorContext) {
  if (error) *error = apm_errorWithCode(code, description, monitorContext);
}

void APMSetErrorWithoutContext(APMErrorOut error, std::int64_t code, std::string_view description) {
  if (error) *error = apm_errorWithCode(code, description);
}

bool APMCheckSuccess(bool success, APMErrorOut error, std::int64_t code, std::string_view description) {
  if (!success) APMSetErrorWithoutContext(error, code, description);
  return success;
}

fd::Value APMErrorContext(const fd::Error& error) { return fd::Value::object(std::make_shared<fd::Error>(error)); }

std::shared_ptr<fd::Error> APMErrorFromContext(const fd::Value& context) { return context.object<fd::Error>(); }

std::string APMMonitorContextsFromErrors(const fd::Array& contexts) {
  std::string joined;
  bool first = true;
  for (const auto& context : contexts) {
    auto error = APMErrorFromContext(context);
    if (!error || error->domain != kAPMErrorDomain) continue;
    const std::string* text = error->user_info.get(kAPMMonitorContextKey).string();
    if (!text || text->empty()) continue;
    if (!first) joined += ',';
    joined += *text;
    first = false;
  }
  return joined;
}

}  // namespace analytics
