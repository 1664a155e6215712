// Push environment from the provisioning profile's bytes.
#include "identity/push_environment.h"

#include <string_view>

#include "platform/foundation/plist.h"
#include "platform/foundation/text.h"

namespace identity {

namespace fnd = platform::foundation;

namespace {

constexpr std::string_view kNoEnvironment =
    "No aps-environment set. If testing on a device APNS is not correctly configured. Please recheck your "
    "provisioning profiles. If testing on a simulator this is fine since APNS doesn't work on the simulator.";

std::string read_error_report(const std::optional<fnd::Error>& error) {
  return "Error while reading embedded mobileprovision " + (error ? error->description() : std::string("(null)"));
}

const fnd::Value* key_path(const fnd::Dict& dict, std::string_view first, std::string_view second) {
  const fnd::Value* outer = dict.find(first);
  if (!outer || !outer->dict()) return nullptr;
  return outer->dict()->find(second);
}

}  // namespace

PushEnvironmentDecision decidePushEnvironment(std::optional<std::span<const std::uint8_t>> profile,
                                              const std::optional<fnd::Error>& readError) {
  PushEnvironmentDecision decision;
  if (!profile || profile->empty()) {
    decision.report = read_error_report(readError);
    return decision;
  }
  // Bytes that are not positive as signed 8-bit values become ".", so the
  // rest reads as ASCII.
  std::string text;
  text.reserve(profile->size());
  for (const std::uint8_t byte : *profile) {
    text.push_back(static_cast<std::int8_t>(byte) <= 0 ? '.' : static_cast<char>(byte));
  }
  const auto start = text.find("<plist");
  if (start == 0 || start == std::string::npos) return decision;  // production, no report
  const auto end = text.find("</plist>", start);
  std::string piece = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
  piece += "</plist>";

  auto parsed = fnd::plist::parse(fnd::to_bytes(piece));
  if (!parsed || !parsed->dict()) {
    decision.report = "Error while converting assumed plist to dict " +
                      (parsed ? std::string("(null)") : parsed.error().localized_description());
    return decision;
  }
  const fnd::Dict& dict = *parsed->dict();
  decision.provisionedDevices = dict.contains("ProvisionedDevices");
  const fnd::Value* environment = key_path(dict, "Entitlements", "aps-environment");
  decision.apsEnvironmentText = environment ? fnd::describe(*environment) : std::string("(null)");
  const std::string* name = environment ? environment->string() : nullptr;
  if (!name || name->empty()) {
    decision.report = std::string(kNoEnvironment);
    return decision;
  }
  decision.production = *name != "development";
  return decision;
}

}  // namespace identity
