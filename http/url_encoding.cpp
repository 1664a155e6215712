#include "http/url_encoding.h"

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include <algorithm>

#include "http/af_error.h"
#include "platform/foundation/url.h"
#include "platform/foundation/utf8_check.h"

namespace Duvarel {

using platform::foundation::Value;

namespace {

constexpr platform::foundation::CharSet kAllowed = platform::foundation::CharSet::alphanumerics_and("-._~/?");

// The canonically composed form of UTF-8 text; invalid text as it is.
std::string composed(const std::string& text) {
  if (!platform::foundation::detail::utf8_valid(text)) return text;
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status) || nfc == nullptr) return text;
  icu::UnicodeString normalized = nfc->normalize(icu::UnicodeString::fromUTF8(text), status);
  if (U_FAILURE(status)) return text;
  std::string out;
  normalized.toUTF8String(out);
  return out;
}

}  // namespace

std::string URLEncoding::escape(std::string_view text) { return platform::foundation::percent_encode(text, kAllowed); }

std::vector<std::pair<std::string, std::string>> URLEncoding::queryComponents(const std::string& key,
                                                                              const Value& value) const {
  std::vector<std::pair<std::string, std::string>> out;
  if (const auto* dict = value.dict()) {
    for (const auto& [nestedKey, nestedValue] : *dict) {
      auto nested = queryComponents(key + "[" + nestedKey + "]", nestedValue);
      out.insert(out.end(), std::make_move_iterator(nested.begin()), std::make_move_iterator(nested.end()));
    }
  } else if (const auto* array = value.array()) {
    const std::string name = arrayEncoding == ArrayEncoding::brackets ? key + "[]" : key;
    for (const auto& element : *array) {
      auto nested = queryComponents(name, element);
      out.insert(out.end(), std::make_move_iterator(nested.begin()), std::make_move_iterator(nested.end()));
    }
  } else if (value.is_bool()) {
    const bool b = *value.as_bool();
    out.emplace_back(escape(key), boolEncoding == BoolEncoding::numeric ? (b ? "1" : "0") : (b ? "true" : "false"));
  } else if (value.is_integer()) {
    out.emplace_back(escape(key), std::to_string(*value.as_int()));
  } else if (value.is_real()) {
    out.emplace_back(escape(key), escape(platform::foundation::format_real(*value.as_double())));
  } else if (const auto* text = value.string()) {
    out.emplace_back(escape(key), escape(*text));
  } else {
    out.emplace_back(escape(key), escape(platform::foundation::describe(value)));
  }
  return out;
}

std::string URLEncoding::query(const Parameters& parameters) const {
  std::vector<std::pair<std::string, const Parameters::Entry*>> keyed;
  keyed.reserve(parameters.size());
  for (const auto& entry : parameters) keyed.emplace_back(composed(entry.first), &entry);
  std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::string out;
  for (const auto& [sortKey, entry] : keyed) {
    for (const auto& [name, value] : queryComponents(entry->first, entry->second)) {
      if (!out.empty()) out += '&';
      out += name;
      out += '=';
      out += value;
    }
  }
  return out;
}

bool URLEncoding::encodesInURL(std::string_view methodText) const {
  std::optional<HTTPMethod> method = HTTPMethod::fromRawValue(methodText.empty() ? std::string_view("GET") : methodText);
  if (!method) return false;
  switch (destination) {
    case Destination::methodDependent: {
      const auto c = method->value();
      return c == HTTPMethod::get || c == HTTPMethod::head || c == HTTPMethod::delete_;
    }
    case Destination::queryString: return true;
    case Destination::httpBody: return false;
  }
  return false;
}

Expected<URLRequest> URLEncoding::encode(const URLRequestConvertible& urlRequest,
                                         const std::optional<Parameters>& parameters) const {
  Expected<URLRequest> converted = urlRequest.asURLRequest();
  if (!converted || !parameters) return converted;
  URLRequest request = std::move(converted).value();

  if (encodesInURL(request.method)) {
    if (!request.url) return AFError::parameterEncodingFailed(AFError::ParameterEncodingFailureReason::missingURL());
    if (parameters->empty()) return request;
    platform::foundation::UrlComponents components(*request.url);
    const auto& existing = components.percent_encoded_query();
    std::string newQuery = existing ? *existing + "&" + query(*parameters) : query(*parameters);
    if (!components.set_percent_encoded_query(newQuery)) return request;
    if (auto url = components.url()) request.url = std::move(*url);
    return request;
  }

  if (!request.headers.contains("Content-Type"))
    request.headers.set("Content-Type", "application/x-www-form-urlencoded; charset=utf-8");
  request.body = platform::foundation::to_bytes(query(*parameters));
  return request;
}

}  // namespace Duvarel
