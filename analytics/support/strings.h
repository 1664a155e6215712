#pragma once
// URL query strings to and from dictionaries, URL-argument unescaping and
// UTF-32 lengths of analytics text. Callable from any thread.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"

namespace analytics {

// "key=value" for every entry in the dictionary's order, joined by "&"; key and
// value are their "%@" texts with the legacy URL escaping ("&" and "=" stay).
std::string apm_queryString(const platform::foundation::Dict& dictionary);

// Parses "a=1&b=2": for a repeated key the first occurrence wins; an empty part
// is skipped; a part without "=" is a key with an empty value; keys and values
// are unescaped (an invalid escape gives an empty text).
platform::foundation::Dict apm_dictionaryWithHttpArgumentsString(std::string_view text);

// "+" becomes a blank, then percent escapes are decoded; nullopt for an invalid
// escape or a result that is not UTF-8.
std::optional<std::string> apm_stringByUnescapingFromURLArgument(std::string_view text);

// The number of Unicode code points (the UTF-32 byte length divided by 4). Each
// byte of an invalid UTF-8 sequence counts as one (U+FFFD).
std::size_t apm_UTF32Length(std::string_view text);
// Writes the UTF-32 little-endian form of the text into `buffer`, whole code
// points only and never more than `maxBytes` (nor the buffer's size); returns
// the number of bytes written.
std::size_t apm_getUTF32Bytes(std::string_view text, std::span<std::uint8_t> buffer, std::size_t maxBytes);

}  // namespace analytics
