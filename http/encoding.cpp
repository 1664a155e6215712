#include "http/encoding.h"

#include "http/af_error.h"
#include "platform/foundation/json.h"
#include "platform/foundation/plist.h"

namespace Duvarel {

namespace json = platform::foundation::json;
namespace plist = platform::foundation::plist;
using platform::foundation::Value;

namespace {

Expected<URLRequest> withJSONBody(const URLRequestConvertible& urlRequest, const std::optional<Value>& object,
                                  unsigned options) {
  Expected<URLRequest> converted = urlRequest.asURLRequest();
  if (!converted || !object) return converted;
  json::WriteOptions write;
  write.pretty = (options & JSONEncoding::prettyPrinted) != 0;
  write.sorted_keys = (options & JSONEncoding::sortedKeys) != 0;
  write.fragments_allowed = (options & JSONEncoding::fragmentsAllowed) != 0;
  auto bytes = json::serialize(*object, write);
  if (!bytes) {
    return AFError::parameterEncodingFailed(AFError::ParameterEncodingFailureReason::jsonEncodingFailed(bytes.error()));
  }
  URLRequest request = std::move(converted).value();
  if (!request.headers.contains("Content-Type")) request.headers.set("Content-Type", "application/json");
  request.body = std::move(bytes).value();
  return request;
}

}  // namespace

Expected<URLRequest> JSONEncoding::encode(const URLRequestConvertible& urlRequest,
                                          const std::optional<Parameters>& parameters) const {
  std::optional<Value> object;
  if (parameters) object = Value(*parameters);
  return withJSONBody(urlRequest, object, options);
}

Expected<URLRequest> JSONEncoding::encodeJSONObject(const URLRequestConvertible& urlRequest,
                                                    const std::optional<Value>& jsonObject) const {
  return withJSONBody(urlRequest, jsonObject, options);
}

Expected<URLRequest> PropertyListEncoding::encode(const URLRequestConvertible& urlRequest,
                                                  const std::optional<Parameters>& parameters) const {
  Expected<URLRequest> converted = urlRequest.asURLRequest();
  if (!converted || !parameters) return converted;
  using Reason = AFError::ParameterEncodingFailureReason;
  if (format != xmlFormat_v1_0 && format != binaryFormat_v1_0) {
    platform::foundation::Error unsupported(
        std::string(platform::foundation::cocoa_error::domain), platform::foundation::cocoa_error::property_list_write_invalid,
        {{std::string(platform::foundation::key_debug_description), "Unsupported property list format " + std::to_string(format)}});
    return AFError::parameterEncodingFailed(Reason::propertyListEncodingFailed(unsupported));
  }
  auto bytes = plist::serialize(Value(*parameters), format == binaryFormat_v1_0 ? plist::Format::binary : plist::Format::xml);
  if (!bytes) return AFError::parameterEncodingFailed(Reason::propertyListEncodingFailed(bytes.error()));
  URLRequest request = std::move(converted).value();
  if (!request.headers.contains("Content-Type")) request.headers.set("Content-Type", "application/x-plist");
  request.body = std::move(bytes).value();
  return request;
}

}  // namespace Duvarel
