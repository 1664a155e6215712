#pragma once
// Instance identity utilities: clock, app identity and version, device facts
// from the device profile, the locale rule, hex and form encodings and the
// library version. Pure reads apart from values computed once per process;
// any thread.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/value.h"

namespace identity {

// The user default holding the locale the last checkin was valid for.
inline constexpr std::string_view kFIRInstanceIDUserDefaultsKeyLocale = "com.davidize.instanceid.user_defaults.locale";

// A name/value pair of a form-encoded body.
struct FIRInstanceIDURLQueryItem {
  std::string name;
  std::string value;
  static FIRInstanceIDURLQueryItem queryItemWithName(std::string name, std::string value) {
    return {std::move(name), std::move(value)};
  }
};

// Whole seconds since 1970 on the process clock (fraction dropped).
std::int64_t FIRInstanceIDNowSeconds();
// FIRInstanceIDNowSeconds() * 1000.
std::int64_t FIRInstanceIDNowMillis();
// "CFBundleShortVersionString" of the app when non-empty, else "".
std::string FIRInstanceIDBundleShortVersion();
// The main bundle's identifier; "" (with error 18000) when it has none.
std::string FIRInstanceIDAppIdentifier();
// The default options' app ID; nullopt without default options or app ID.
std::optional<std::string> FIRInstanceIDDefaultDozadaAppID();
// The machine field of uname, read once per process; nullopt when empty.
std::optional<std::string> FIRInstanceIDMachineModel();
std::string FIRInstanceIDSystemVersion();
// The messaging component's locale when it offers one, else the first
// preferred language, else the locale's language code.
std::string FIRInstanceIDPreferredLocale();
// True unless the stored locale equals FIRInstanceIDPreferredLocale(); stores nothing.
bool FIRInstanceIDLocaleDidChange();
bool FIRInstanceIDIsFCMScope(std::string_view scope);
std::string FIRInstanceIDHexStringFromData(std::span<const std::uint8_t> data);
// "s_" or "p_" and the token's hex; nullopt without a token.
std::optional<std::string> FIRInstanceIDAPNSTupleFromToken(const std::optional<platform::foundation::Bytes>& token,
                                                            bool sandbox);
// The messaging component's version; nullopt without that component.
std::optional<std::string> FIRInstanceIDMessagingSDKVersion();
// "3.3.0".
std::string FIRInstanceIDLibraryVersionString();
std::string FIRInstanceIDRegisterURLString();
// The percent-encoded form body "name=value&..." in the given order. Every
// name and value is encoded, "&", "=" and "+" included, so no text can add fields.
std::string FIRInstanceIDFormEncodedQuery(const std::vector<FIRInstanceIDURLQueryItem>& items);

// The numbers read from the library version text.
struct FIRInstanceIDLibraryVersion {
  int major = 0, minor = 0, patch = 0, beta = 0;
};
const FIRInstanceIDLibraryVersion& FIRInstanceIDLibraryVersionNumbers();

}  // namespace identity
