#include "http/response_serializer.h"

#include <array>
#include <memory>

#include "platform/foundation/json.h"
#include "platform/foundation/plist.h"
#include "platform/foundation/text.h"
#include "platform/os/file_manager.h"

namespace Duvarel {

namespace foundation = platform::foundation;
using foundation::Bytes;
using Reason = AFError::ResponseSerializationFailureReason;

namespace {

bool emptyStatus(const HTTPURLResponse& response) {
  return response && response->status && emptyDataStatusCodes().count(*response->status) != 0;
}

AFError failed(Reason reason) { return AFError::responseSerializationFailed(std::move(reason)); }

// The whole file, or inputFileNil / inputFileReadFailed.
Expected<Bytes> readFile(const std::optional<foundation::Url>& fileURL) {
  if (!fileURL) return failed(Reason::inputFileNil());
  if (!fileURL->is_file_url()) return failed(Reason::inputFileReadFailed(*fileURL));
  auto bytes = platform::os::FileManager::shared().read(fileURL->file_path());
  if (!bytes) return failed(Reason::inputFileReadFailed(*fileURL));
  return std::move(bytes).value();
}

template <class Value, class F>
DownloadResponseSerializer<Value> fromFile(F dataFunction) {
  return DownloadResponseSerializer<Value>(
      [dataFunction](const std::optional<URLRequest>&, const HTTPURLResponse& response,
                     const std::optional<foundation::Url>& fileURL, const std::optional<Error>& error) -> Result<Value> {
        if (error) return Result<Value>::failure(*error);
        Expected<Bytes> contents = readFile(fileURL);
        if (!contents) return Result<Value>::failure(contents.error());
        return dataFunction(response, std::optional<Bytes>(std::move(contents).value()), std::nullopt);
      });
}

}  // namespace

const std::set<int>& emptyDataStatusCodes() {
  static const std::set<int> codes = [] {
    constexpr std::array<int, 2> list{204, 205};
    return std::set<int>(list.begin(), list.end());
  }();
  return codes;
}

Result<Bytes> serializeResponseData(const HTTPURLResponse& response, const std::optional<Bytes>& data,
                                    const std::optional<Error>& error) {
  if (error) return Result<Bytes>::failure(*error);
  if (emptyStatus(response)) return Result<Bytes>::success(Bytes());
  if (!data) return Result<Bytes>::failure(failed(Reason::inputDataNil()));
  return Result<Bytes>::success(*data);
}

Result<std::string> serializeResponseString(std::optional<StringEncoding> encoding, const HTTPURLResponse& response,
                                            const std::optional<Bytes>& data, const std::optional<Error>& error) {
  if (error) return Result<std::string>::failure(*error);
  if (emptyStatus(response)) return Result<std::string>::success(std::string());
  if (!data) return Result<std::string>::failure(failed(Reason::inputDataNil()));
  StringEncoding chosen = StringEncoding::iso_latin1;
  if (encoding) {
    chosen = *encoding;
  } else if (response && response->text_encoding_name) {
    auto named = foundation::text::encoding_for_iana_name(*response->text_encoding_name);
    if (!named) return Result<std::string>::failure(failed(Reason::stringSerializationFailed(invalidStringEncoding)));
    chosen = *named;
  }
  std::optional<std::string> text = foundation::text::decode(*data, chosen);
  if (!text) return Result<std::string>::failure(failed(Reason::stringSerializationFailed(chosen)));
  return Result<std::string>::success(std::move(*text));
}

Result<JSONValue> serializeResponseJSON(unsigned options, const HTTPURLResponse& response,
                                        const std::optional<Bytes>& data, const std::optional<Error>& error) {
  if (error) return Result<JSONValue>::failure(*error);
  if (emptyStatus(response)) return Result<JSONValue>::success(JSONValue());
  if (!data || data->empty()) return Result<JSONValue>::failure(failed(Reason::inputDataNilOrZeroLength()));
  foundation::json::ReadOptions read;
  read.allow_fragments = (options & JSONReadingOptions::allowFragments) != 0;
  read.mutable_containers = (options & JSONReadingOptions::mutableContainers) != 0;
  auto parsed = foundation::json::parse(std::span<const std::uint8_t>(*data), read);
  if (!parsed) return Result<JSONValue>::failure(failed(Reason::jsonSerializationFailed(parsed.error())));
  return Result<JSONValue>::success(std::move(parsed).value());
}

Result<JSONValue> serializeResponsePropertyList(std::uint64_t /*options*/, const HTTPURLResponse& response,
                                                const std::optional<Bytes>& data, const std::optional<Error>& error) {
  if (error) return Result<JSONValue>::failure(*error);
  if (emptyStatus(response)) return Result<JSONValue>::success(JSONValue());
  if (!data || data->empty()) return Result<JSONValue>::failure(failed(Reason::inputDataNilOrZeroLength()));
  auto parsed = foundation::plist::parse(std::span<const std::uint8_t>(*data));
  if (!parsed) return Result<JSONValue>::failure(failed(Reason::propertyListSerializationFailed(parsed.error())));
  return Result<JSONValue>::success(std::move(parsed).value());
}

namespace DataRequestSerializers {

DataResponseSerializer<Bytes> data() {
  return DataResponseSerializer<Bytes>([](const std::optional<URLRequest>&, const HTTPURLResponse& response,
                                          const std::optional<Bytes>& body, const std::optional<Error>& error) {
    return serializeResponseData(response, body, error);
  });
}

DataResponseSerializer<std::string> string(std::optional<StringEncoding> encoding) {
  auto cell = std::make_shared<const std::optional<StringEncoding>>(encoding);
  return DataResponseSerializer<std::string>([cell](const std::optional<URLRequest>&, const HTTPURLResponse& response,
                                                    const std::optional<Bytes>& body, const std::optional<Error>& error) {
    return serializeResponseString(*cell, response, body, error);
  });
}

DataResponseSerializer<JSONValue> json(unsigned options) {
  return DataResponseSerializer<JSONValue>([options](const std::optional<URLRequest>&, const HTTPURLResponse& response,
                                                     const std::optional<Bytes>& body, const std::optional<Error>& error) {
    return serializeResponseJSON(options, response, body, error);
  });
}

DataResponseSerializer<JSONValue> propertyList(std::uint64_t options) {
  return DataResponseSerializer<JSONValue>([options](const std::optional<URLRequest>&, const HTTPURLResponse& response,
                                                     const std::optional<Bytes>& body, const std::optional<Error>& error) {
    return serializeResponsePropertyList(options, response, body, error);
  });
}

}  // namespace DataRequestSerializers

namespace DownloadRequestSerializers {

DownloadResponseSerializer<Bytes> data() {
  return fromFile<Bytes>([](const HTTPURLResponse& response, const std::optional<Bytes>& contents,
                            const std::optional<Error>&) -> Result<Bytes> {
    if (emptyStatus(response)) return Result<Bytes>::success(Bytes());
    return Result<Bytes>::success(*contents);
  });
}

DownloadResponseSerializer<std::string> string(std::optional<StringEncoding> encoding) {
  auto cell = std::make_shared<const std::optional<StringEncoding>>(encoding);
  return fromFile<std::string>([cell](const HTTPURLResponse& response, const std::optional<Bytes>& contents,
                                      const std::optional<Error>& error) {
    return serializeResponseString(*cell, response, contents, error);
  });
}

DownloadResponseSerializer<JSONValue> json(unsigned options) {
  return fromFile<JSONValue>([options](const HTTPURLResponse& response, const std::optional<Bytes>& contents,
                                       const std::optional<Error>& error) {
    return serializeResponseJSON(options, response, contents, error);
  });
}

DownloadResponseSerializer<JSONValue> propertyList(std::uint64_t options) {
  return fromFile<JSONValue>([options](const HTTPURLResponse& response, const std::optional<Bytes>& contents,
                                       const std::optional<Error>& error) {
    return serializeResponsePropertyList(options, response, contents, error);
  });
}

}  // namespace DownloadRequestSerializers

}  // namespace Duvarel
