#pragma once
// Response serializers: values holding one closure that turns a finished
// task's outcome (request, HTTP response, data or file, error) into a Result,
// and the data, string, JSON and property-list families in their data and
// download forms. An incoming error always wins.
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <utility>

#include "http/af_error.h"
#include "http/response.h"
#include "http/result.h"
#include "platform/foundation/url.h"
#include "platform/foundation/value.h"

namespace Duvarel {

using JSONValue = platform::foundation::Value;

// The "string encoding" a serializer carries when a response names a charset
// the platform does not know.
inline constexpr StringEncoding invalidStringEncoding = static_cast<StringEncoding>(-1);

// JSON reading option bits.
namespace JSONReadingOptions {
inline constexpr unsigned mutableContainers = 1;
inline constexpr unsigned mutableLeaves = 2;
inline constexpr unsigned allowFragments = 4;
}  // namespace JSONReadingOptions

template <class Value>
struct DataResponseSerializer {
  using SerializedObject = Value;
  using Closure = std::function<Result<Value>(const std::optional<URLRequest>&, const HTTPURLResponse&,
                                              const std::optional<platform::foundation::Bytes>&,
                                              const std::optional<Error>&)>;
  explicit DataResponseSerializer(Closure closure) : serializeResponse(std::move(closure)) {}
  Closure serializeResponse;
};

template <class Value>
struct DownloadResponseSerializer {
  using SerializedObject = Value;
  using Closure = std::function<Result<Value>(const std::optional<URLRequest>&, const HTTPURLResponse&,
                                              const std::optional<platform::foundation::Url>&,
                                              const std::optional<Error>&)>;
  explicit DownloadResponseSerializer(Closure closure) : serializeResponse(std::move(closure)) {}
  Closure serializeResponse;
};

// {204, 205}: statuses whose body is discarded. Built once.
const std::set<int>& emptyDataStatusCodes();

Result<platform::foundation::Bytes> serializeResponseData(const HTTPURLResponse& response,
                                                         const std::optional<platform::foundation::Bytes>& data,
                                                         const std::optional<Error>& error);
// The given encoding, else the response's charset (an unknown one fails), else ISO Latin-1.
Result<std::string> serializeResponseString(std::optional<StringEncoding> encoding, const HTTPURLResponse& response,
                                            const std::optional<platform::foundation::Bytes>& data,
                                            const std::optional<Error>& error);
// Options are JSONReadingOptions bits; a top-level scalar parses only with allowFragments.
// A 204/205 response gives null.
Result<JSONValue> serializeResponseJSON(unsigned options, const HTTPURLResponse& response,
                                        const std::optional<platform::foundation::Bytes>& data,
                                        const std::optional<Error>& error);
// Options are passed on; the platform's reader takes none.
Result<JSONValue> serializeResponsePropertyList(std::uint64_t options, const HTTPURLResponse& response,
                                                const std::optional<platform::foundation::Bytes>& data,
                                                const std::optional<Error>& error);

// Serializers for data and upload requests.
namespace DataRequestSerializers {
DataResponseSerializer<platform::foundation::Bytes> data();
DataResponseSerializer<std::string> string(std::optional<StringEncoding> encoding = std::nullopt);
DataResponseSerializer<JSONValue> json(unsigned options = JSONReadingOptions::allowFragments);
DataResponseSerializer<JSONValue> propertyList(std::uint64_t options = 0);
}  // namespace DataRequestSerializers

// Serializers for download requests: the file is read whole, then the data rules apply.
namespace DownloadRequestSerializers {
DownloadResponseSerializer<platform::foundation::Bytes> data();
DownloadResponseSerializer<std::string> string(std::optional<StringEncoding> encoding = std::nullopt);
DownloadResponseSerializer<JSONValue> json(unsigned options = JSONReadingOptions::allowFragments);
DownloadResponseSerializer<JSONValue> propertyList(std::uint64_t options = 0);
}  // namespace DownloadRequestSerializers

}  // namespace Duvarel
