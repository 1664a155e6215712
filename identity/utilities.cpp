// Instance identity utilities.
#include "identity/utilities.h"

#include <algorithm>
#include <cctype>
#include <mutex>

#include "core/gul_user_defaults.h"
#include "core/options.h"
#include "identity/deployment.h"
#include "identity/logger.h"
#include "platform/foundation/url.h"
#include "platform/os/bundle.h"
#include "platform/os/facts.h"
#include "platform/os/profile.h"
#include "platform/runtime/runtime.h"

namespace identity {

namespace fd = platform::foundation;
namespace rt = platform::rt;

namespace {

constexpr std::string_view kLibraryVersion = "3.3.0";

// Class selectors of the optional messaging component, found by name.
const rt::ClassSel<std::optional<std::string>()> kMessagingCurrentLocale{"FIRMessagingSDKCurrentLocale"};
const rt::ClassSel<std::optional<std::string>()> kMessagingSDKVersion{"FIRMessagingSDKVersion"};

std::optional<std::string> askMessaging(const rt::ClassSel<std::optional<std::string>()>& sel) {
  rt::Class* messaging = rt::Runtime::shared().find("FIRMessaging");
  if (!messaging) return std::nullopt;
  auto answer = rt::send_if_responds(*messaging, sel);
  if (!answer) return std::nullopt;
  return *answer;
}

std::vector<std::string> split(std::string_view text, std::string_view separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (true) {
    const auto at = text.find(separator, start);
    if (at == std::string_view::npos) {
      parts.emplace_back(text.substr(start));
      return parts;
    }
    parts.emplace_back(text.substr(start, at - start));
    start = at + separator.size();
  }
}

int leadingNumber(const std::string& text) {
  int value = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) break;
    value = value * 10 + (c - '0');
    if (value > 1000000) break;
  }
  return value;
}

}  // namespace

std::int64_t FIRInstanceIDNowSeconds() { return static_cast<std::int64_t>(fd::Date::now().since_1970); }

std::int64_t FIRInstanceIDNowMillis() { return FIRInstanceIDNowSeconds() * 1000; }

std::string FIRInstanceIDBundleShortVersion() {
  const fd::Value& version = platform::os::Bundle::main().object_for_info_key("CFBundleShortVersionString");
  if (const std::string* text = version.string(); text && !text->empty()) return *text;
  return "";
}

std::string FIRInstanceIDAppIdentifier() {
  const auto identifier = platform::os::Bundle::main().identifier();
  if (identifier && !identifier->empty()) return *identifier;
  IID_LOG_ERROR(18000,
                "The mainBundle's bundleIdentifier returned '%s'. Bundle identifier expected to be non-empty.",
                identifier ? identifier->c_str() : "(null)");
  return "";
}

std::optional<std::string> FIRInstanceIDDefaultDozadaAppID() {
  const auto options = core::FIROptions::defaultOptions();
  if (!options) return std::nullopt;
  return options->dozadaAppID();
}

std::optional<std::string> FIRInstanceIDMachineModel() {
  static const std::optional<std::string> model = []() -> std::optional<std::string> {
    std::string machine = platform::os::uname().machine;
    if (machine.empty()) return std::nullopt;
    return machine;
  }();
  return model;
}

std::string FIRInstanceIDSystemVersion() { return platform::os::profile().system_version; }

std::string FIRInstanceIDPreferredLocale() {
  if (auto locale = askMessaging(kMessagingCurrentLocale)) return *locale;
  const auto& profile = platform::os::profile();
  if (!profile.preferred_languages.empty()) return profile.preferred_languages.front();
  const std::string& locale = profile.locale;
  return locale.substr(0, locale.find_first_of("_-"));
}

bool FIRInstanceIDLocaleDidChange() {
  const auto stored = core::GULUserDefaults::standardUserDefaults().stringForKey(kFIRInstanceIDUserDefaultsKeyLocale);
  if (!stored || !stored->string()) return true;
  return *stored->string() != FIRInstanceIDPreferredLocale();
}

bool FIRInstanceIDIsFCMScope(std::string_view scope) {
  return scope.size() == 3 && std::equal(scope.begin(), scope.end(), "fcm", [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) == b;
         });
}

std::string FIRInstanceIDHexStringFromData(std::span<const std::uint8_t> data) { return fd::hex_lower(data); }

std::optional<std::string> FIRInstanceIDAPNSTupleFromToken(const std::optional<fd::Bytes>& token, bool sandbox) {
  if (!token) return std::nullopt;
  return std::string(sandbox ? "s_" : "p_") + FIRInstanceIDHexStringFromData(*token);
}

std::optional<std::string> FIRInstanceIDMessagingSDKVersion() { return askMessaging(kMessagingSDKVersion); }

const FIRInstanceIDLibraryVersion& FIRInstanceIDLibraryVersionNumbers() {
  static const FIRInstanceIDLibraryVersion numbers = [] {
    FIRInstanceIDLibraryVersion v;
    const auto parts = split(kLibraryVersion, ".");
    if (parts.size() == 3) {
      v.major = leadingNumber(parts[0]);
      v.minor = leadingNumber(parts[1]);
      const auto patch = split(parts[2], "-beta");
      v.patch = leadingNumber(patch[0]);
      if (patch.size() == 2) v.beta = leadingNumber(patch[1]);
    }
    return v;
  }();
  return numbers;
}

std::string FIRInstanceIDLibraryVersionString() {
  FIRInstanceIDLibraryVersionNumbers();
  return std::string(kLibraryVersion);
}

std::string FIRInstanceIDRegisterURLString() { return std::string(kFIRInstanceIDRegisterURL); }

std::string FIRInstanceIDFormEncodedQuery(const std::vector<FIRInstanceIDURLQueryItem>& items) {
  std::vector<fd::UrlComponents::QueryItem> query;
  query.reserve(items.size());
  for (const auto& item : items) query.push_back({item.name, item.value});
  fd::UrlComponents components;
  components.set_query_items(query);
  return components.percent_encoded_query().value_or("");
}

}  // namespace identity
