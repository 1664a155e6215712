#pragma once
// The shell's configuration: the resource "Config" of type "json", parsed into
// a record once per process and held by the shared service.
#include <map>
#include <optional>
#include <string>

#include "platform/foundation/url.h"

namespace app {

using ConfigDictionary = std::map<std::string, std::string>;

class ASConfig {
 public:
  ASConfig() = default;
  ASConfig(std::optional<platform::foundation::Url> base, bool pushEnabled, std::optional<std::string> homeHost)
      : baseURL(std::move(base)), pushNotificationsEnabled(pushEnabled), baseUrlHomeHost(std::move(homeHost)) {}

  std::optional<platform::foundation::Url> baseURL;
  std::optional<bool> pushNotificationsEnabled;
  std::optional<std::string> baseUrlHomeHost;
};

class ASConfigParser {
 public:
  // "base_url" (missing, empty or unparsable: none), "push_notifications_enabled"
  // (exactly "true"), "base_url_home_host" (as written; missing: none).
  ASConfig parse(const ConfigDictionary& dictionary) const;
};

class ASConfigService {
 public:
  // Made once, on first use (thread-safe); reads the file then.
  static ASConfigService& shared();

  // The main bundle's Config.json as a flat object of strings. No file: empty,
  // silently; another shape: empty, silently; unreadable or not JSON: empty,
  // with the debug line "ASConfigService :: readConfigFile :: dictionary error".
  static ConfigDictionary readConfigFile();

  ASConfigParser parser;
  ASConfig config;

  std::optional<bool> pushNotificationsEnabled() const { return config.pushNotificationsEnabled; }
  std::optional<std::string> baseUrlHomeHost() const { return config.baseUrlHomeHost; }
  void setBaseURL(std::optional<platform::foundation::Url> url) { config.baseURL = std::move(url); }
  std::optional<platform::foundation::Url> baseURL() const { return config.baseURL; }

 private:
  ASConfigService();
};

}  // namespace app
