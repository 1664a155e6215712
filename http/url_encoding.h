#pragma once
// The URL parameter encoding: parameters as "name=value" pairs joined by "&",
// in the URL's query or as a form body.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "http/encoding.h"

namespace Duvarel {

class URLEncoding final : public ParameterEncoding {
 public:
  // Where the pairs go: methodDependent puts them in the query for GET, HEAD
  // and DELETE and in the body otherwise.
  enum class Destination { methodDependent, queryString, httpBody };
  // How an array element's name is written: "name[]" or "name".
  enum class ArrayEncoding { brackets, noBrackets };
  // How a boolean is written: "1"/"0" or "true"/"false".
  enum class BoolEncoding { numeric, literal };

  static const URLEncoding standard;
  static const URLEncoding inQueryString;
  static const URLEncoding inHTTPBody;

  constexpr explicit URLEncoding(Destination d = Destination::methodDependent,
                                 ArrayEncoding a = ArrayEncoding::brackets, BoolEncoding b = BoolEncoding::numeric)
      : destination(d), arrayEncoding(a), boolEncoding(b) {}

  Expected<URLRequest> encode(const URLRequestConvertible& urlRequest,
                              const std::optional<Parameters>& parameters) const override;

  // The escaped (name, value) pairs of one value under `key`.
  std::vector<std::pair<std::string, std::string>> queryComponents(const std::string& key,
                                                                   const platform::foundation::Value& value) const;
  // Every byte outside ASCII letters, digits and "-._~/?" becomes "%XX";
  // invalid UTF-8 is escaped byte by byte, never passed through.
  static std::string escape(std::string_view text);
  // The pair text; top-level keys in code-point order of their canonically
  // composed form, nested levels in their own order.
  std::string query(const Parameters& parameters) const;

  Destination destination;
  ArrayEncoding arrayEncoding;
  BoolEncoding boolEncoding;

 private:
  bool encodesInURL(std::string_view methodText) const;
};

inline const URLEncoding URLEncoding::standard{};
inline const URLEncoding URLEncoding::inQueryString{URLEncoding::Destination::queryString};
inline const URLEncoding URLEncoding::inHTTPBody{URLEncoding::Destination::httpBody};

}  // namespace Duvarel
