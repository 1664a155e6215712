#include "app/strings.h"

namespace app::Strings {

const std::string& Endpoint::RegisterPlayer() {
  static const std::string address = std::string(Intranet) + std::string(RegisterPath);
  return address;
}

const std::vector<std::string>& ExternalLinks() {
  static const std::vector<std::string> links{std::string(MakerSite)};
  return links;
}

const std::vector<std::string>& BaseUrls() {
  static const std::vector<std::string> urls{std::string(Endpoint::Intranet)};
  return urls;
}

const std::string& Empty() {
  static const std::string empty;
  return empty;
}

}  // namespace app::Strings
