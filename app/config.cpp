#include "app/config.h"

#include "app/console_lines.h"
#include "app/strings.h"
#include "platform/foundation/json.h"
#include "platform/os/bundle.h"
#include "platform/os/file_manager.h"

namespace app {

namespace foundation = platform::foundation;

ASConfig ASConfigParser::parse(const ConfigDictionary& dictionary) const {
  auto text = [&](std::string_view key) -> const std::string* {
    auto it = dictionary.find(std::string(key));
    return it == dictionary.end() ? nullptr : &it->second;
  };
  const std::string* base = text(Strings::DictionaryKey::BaseUrl);
  std::optional<foundation::Url> baseURL = foundation::Url::parse(base ? *base : Strings::Empty());
  const std::string* push = text(Strings::DictionaryKey::PushNotificationsEnabled);
  const bool pushEnabled = push && *push == Strings::BoolValue::True;
  const std::string* home = text(Strings::DictionaryKey::BaseUrlHomeHost);
  return ASConfig(std::move(baseURL), pushEnabled, home ? std::optional<std::string>(*home) : std::nullopt);
}

ConfigDictionary ASConfigService::readConfigFile() {
  const auto path = platform::os::Bundle::main().path_for_resource(Strings::File::Name, Strings::File::Extension);
  if (!path) return {};
  // Every read failure (a folder, a FIFO, a file that went away) is the read error.
  auto data = platform::os::FileManager::shared().read(*path);
  auto parsed = data ? foundation::json::parse(*data, {.allow_fragments = false, .mutable_containers = true})
                     : foundation::Expected<foundation::Value>(data.error());
  if (!parsed) {
    debug_line("ASConfigService :: readConfigFile :: dictionary error");
    return {};
  }
  const foundation::Dict* object = parsed->dict();
  if (!object) return {};
  ConfigDictionary result;
  for (const auto& [key, value] : *object) {
    const std::string* s = value.string();
    if (!s) return {};
    result[key] = *s;
  }
  return result;
}

ASConfigService::ASConfigService() : config(parser.parse(readConfigFile())) {}

ASConfigService& ASConfigService::shared() {
  static ASConfigService* const service = new ASConfigService();
  return *service;
}

}  // namespace app
