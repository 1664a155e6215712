// Built with -ffp-contract=off: each quality is a product followed by a
// separate addition, never a fused multiply-add.
#include "http/default_headers.h"

#include <algorithm>

#include "platform/foundation/plist.h"
#include "platform/os/bundle.h"
#include "platform/os/process_info.h"
#include "platform/os/profile.h"

namespace Duvarel {

namespace foundation = platform::foundation;

namespace {

// Shortest round-trip text, always with a decimal point ("1.0", not "1").
std::string qualityText(double quality) {
  std::string text = foundation::format_real(quality);
  if (text.find_first_of(".eEni") == std::string::npos) text += ".0";
  return text;
}

std::string infoText(const foundation::Dict& info, std::string_view key) {
  const foundation::Value* value = info.find(key);
  if (value && value->string()) return *value->string();
  return "Unknown";
}

}  // namespace

std::string makeAcceptLanguage(const std::vector<std::string>& languages) {
  std::string header;
  const std::size_t count = std::min<std::size_t>(languages.size(), 6);
  for (std::size_t i = 0; i < count; ++i) {
    double product = static_cast<double>(i) * -0.1;
    double quality = 1.0 + product;
    if (i) header += ", ";
    header += languages[i] + ";q=" + qualityText(quality);
  }
  return header;
}

std::string makeOSNameVersion() {
  auto version = platform::os::ProcessInfo::shared().operating_system_version();
  return "iOS " + std::to_string(version.major) + "." + std::to_string(version.minor) + "." + std::to_string(version.patch);
}

std::string makeLibraryVersion() {
  const auto& app = platform::os::Bundle::main().path();
  if (app.empty()) return "Unknown";
  auto info = foundation::plist::read_file(app / "Frameworks" / "Duvarel.framework" / "Info.plist");
  if (!info || !info->dict()) return "Unknown";
  const foundation::Value* version = info->dict()->find("CFBundleShortVersionString");
  if (!version) return "Unknown";
  return "Duvarel/" + foundation::describe(*version);
}

std::string makeUserAgent() {
  const foundation::Dict& info = platform::os::Bundle::main().info_dictionary();
  if (info.empty()) return "Duvarel";
  return infoText(info, "CFBundleExecutable") + "/" + infoText(info, "CFBundleShortVersionString") + " (" +
         infoText(info, "CFBundleIdentifier") + "; build:" + infoText(info, "CFBundleVersion") + "; " + makeOSNameVersion() +
         ") " + makeLibraryVersion();
}

HTTPHeaders makeDefaultHeaders() {
  return {
      {"Accept-Encoding", kAcceptEncoding},
      {"Accept-Language", makeAcceptLanguage(platform::os::profile().preferred_languages)},
      {"User-Agent", makeUserAgent()},
  };
}

}  // namespace Duvarel
