#pragma once
// Parameter encodings: the protocol and the two body encodings (JSON and
// property list). The URL encoding builds on the same protocol.
#include <cstdint>
#include <optional>

#include "http/error.h"
#include "http/url_convertible.h"
#include "platform/foundation/value.h"

namespace Duvarel {

class ParameterEncoding {
 public:
  virtual ~ParameterEncoding() = default;
  // A copy of the converted request with the parameters put in; absent
  // parameters leave it exactly as converted.
  virtual Expected<URLRequest> encode(const URLRequestConvertible& urlRequest,
                                      const std::optional<Parameters>& parameters) const = 0;
};

class JSONEncoding final : public ParameterEncoding {
 public:
  // Writing option bits.
  static constexpr unsigned prettyPrinted = 1;
  static constexpr unsigned sortedKeys = 2;
  static constexpr unsigned fragmentsAllowed = 4;

  static const JSONEncoding standard;        // compact
  static const JSONEncoding prettyPrinting;  // indented, multi-line

  constexpr explicit JSONEncoding(unsigned writingOptions = 0) : options(writingOptions) {}

  Expected<URLRequest> encode(const URLRequestConvertible& urlRequest,
                              const std::optional<Parameters>& parameters) const override;
  // Any JSON-writable value (an array, say) as the body.
  Expected<URLRequest> encodeJSONObject(const URLRequestConvertible& urlRequest,
                                        const std::optional<platform::foundation::Value>& jsonObject) const;

  unsigned options;
};

class PropertyListEncoding final : public ParameterEncoding {
 public:
  static constexpr std::int64_t xmlFormat_v1_0 = 100;
  static constexpr std::int64_t binaryFormat_v1_0 = 200;

  static const PropertyListEncoding standard;      // XML
  static const PropertyListEncoding xmlFormat;     // XML
  static const PropertyListEncoding binaryFormat;  // binary

  constexpr explicit PropertyListEncoding(std::int64_t listFormat = xmlFormat_v1_0, std::uint64_t writeOptions = 0)
      : format(listFormat), options(writeOptions) {}

  Expected<URLRequest> encode(const URLRequestConvertible& urlRequest,
                              const std::optional<Parameters>& parameters) const override;

  std::int64_t format;
  std::uint64_t options;
};

inline const JSONEncoding JSONEncoding::standard{0};
inline const JSONEncoding JSONEncoding::prettyPrinting{JSONEncoding::prettyPrinted};
inline const PropertyListEncoding PropertyListEncoding::standard{PropertyListEncoding::xmlFormat_v1_0, 0};
inline const PropertyListEncoding PropertyListEncoding::xmlFormat{PropertyListEncoding::xmlFormat_v1_0, 0};
inline const PropertyListEncoding PropertyListEncoding::binaryFormat{PropertyListEncoding::binaryFormat_v1_0, 0};

}  // namespace Duvarel
