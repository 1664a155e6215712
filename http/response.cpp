#include "http/response.h"

#include "platform/os/process_info.h"

namespace Duvarel::detail {

void addMetrics(AnyObject& slot, const AnyObject& object) {
  if (!platform::os::ProcessInfo::shared().at_least({10, 0, 0})) return;
  if (!object.as<platform::net::TaskMetrics>()) return;
  slot = object;
}

std::string requestLine(const std::optional<URLRequest>& request) {
  if (!request) return "[Request]: nil";
  std::string method = request->method.empty() ? "GET" : request->method;
  std::string url = request->url ? request->url->absolute_string() : "(null)";
  return "[Request]: " + method + " " + url;
}

std::string responseLine(const HTTPURLResponse& response) {
  if (!response) return "[Response]: nil";
  std::string text = "[Response]: { URL: " + response->url.absolute_string() + " } { Status Code: " +
                     (response->status ? std::to_string(*response->status) : std::string("0")) + ", Headers {";
  bool first = true;
  for (const auto& field : response->header_fields) {
    text += first ? " " : ", ";
    first = false;
    text += "\"" + field.name + "\": \"" + field.value + "\"";
  }
  return text + " } }";
}

std::string fileURLLine(const char* label, const std::optional<platform::foundation::Url>& url) {
  return std::string(label) + (url ? url->path() : std::string("nil"));
}

std::string bytesLine(const char* label, const std::optional<platform::foundation::Bytes>& data) {
  return std::string(label) + std::to_string(data ? data->size() : 0) + " bytes";
}

}  // namespace Duvarel::detail
