#include "platform/os/profile.h"

#include <cstdint>

#include "platform/foundation/json.h"
#include "platform/os/detail.h"
#include "platform/os/file_manager.h"

namespace platform::os {

namespace {

using foundation::Dict;
using foundation::Error;
using foundation::Value;
namespace cocoa = foundation::cocoa_error;

Error format_error(const std::filesystem::path& file, std::string why) {
  return Error(std::string(cocoa::domain), cocoa::property_list_read_corrupt,
               foundation::Dict{{std::string(foundation::key_file_path), file.string()},
                                {std::string(foundation::key_debug_description), std::move(why)}});
}

// Reads the known keys of one JSON object into fields, remembering the first
// key of the wrong type.
class Reader {
 public:
  Reader(const Dict& object, std::string prefix) : object_(object), prefix_(std::move(prefix)) {}

  const std::optional<std::string>& failure() const { return failure_; }

  void string(const char* key, std::string& out) {
    if (const Value* v = find(key)) {
      if (v->is_string()) out = *v->string();
      else fail(key, "a string");
    }
  }
  void boolean(const char* key, bool& out) {
    if (const Value* v = find(key)) {
      if (v->is_bool()) out = *v->as_bool();
      else fail(key, "a boolean");
    }
  }
  void number(const char* key, double& out) {
    if (const Value* v = find(key)) {
      if (v->is_integer() || v->is_real()) out = *v->as_double();
      else fail(key, "a number");
    }
  }
  void optional_integer(const char* key, std::optional<std::int64_t>& out) {
    if (const Value* v = find(key)) {
      // The reader turns an integer above INT64_MAX into a real.
      if (v->is_null()) out.reset();
      else if (v->is_integer()) out = *v->as_int();
      else fail(key, "an integer or null");
    }
  }
  template <class Out>
  void strings(const char* key, Out& out) {
    const Value* v = find(key);
    if (!v) return;
    if (!v->is_array()) return fail(key, "an array of strings");
    Out result;
    for (const Value& item : *v->array()) {
      if (!item.is_string()) return fail(key, "an array of strings");
      result.insert(result.end(), *item.string());
    }
    out = std::move(result);
  }
  void string_map(const char* key, std::map<std::string, std::string>& out) {
    const Value* v = find(key);
    if (!v) return;
    if (!v->is_dict()) return fail(key, "an object of strings");
    std::map<std::string, std::string> result;
    for (const auto& [name, item] : *v->dict()) {
      if (!item.is_string()) return fail(key, "an object of strings");
      result[name] = *item.string();
    }
    out = std::move(result);
  }
  // The nested object under `key`, or nullptr (absent, or of the wrong type).
  const Dict* object(const char* key) {
    const Value* v = find(key);
    if (v && !v->is_dict()) {
      fail(key, "an object");
      return nullptr;
    }
    return v ? v->dict() : nullptr;
  }
  void adopt(const Reader& nested) {
    if (!failure_ && nested.failure_) failure_ = nested.failure_;
  }

 private:
  const Value* find(const char* key) const { return object_.find(key); }
  void fail(const char* key, const char* what) {
    if (!failure_) failure_ = "\"" + prefix_ + key + "\" must be " + what;
  }

  const Dict& object_;
  std::string prefix_;
  std::optional<std::string> failure_;
};

}  // namespace

foundation::Expected<DeviceProfile> DeviceProfile::load(const std::filesystem::path& file) {
  auto bytes = FileManager::shared().read(file);
  if (!bytes) return bytes.error();
  auto root = foundation::json::parse(std::span<const std::uint8_t>(*bytes), {.allow_fragments = true});
  if (!root) return format_error(file, "device profile is not valid JSON");
  if (!root->is_dict()) return format_error(file, "device profile must be a JSON object");

  DeviceProfile p;
  Reader r(*root->dict(), "");
  r.string("system_version", p.system_version);
  r.string("os_build", p.os_build);
  r.string("machine", p.machine);
  r.string("hw_model", p.hw_model);
  r.string("model", p.model);
  r.string("device_name", p.device_name);
  r.string("vendor_identifier", p.vendor_identifier);
  r.string("locale", p.locale);
  r.string("time_zone", p.time_zone);
  r.strings("preferred_languages", p.preferred_languages);
  r.strings("frameworks", p.frameworks);
  r.string("distribution", p.distribution);
  if (const Dict* n = r.object("network")) {
    Reader nr(*n, "network.");
    nr.boolean("reachable", p.network.reachable);
    nr.boolean("wwan", p.network.wwan);
    nr.boolean("connection_required", p.network.connection_required);
    nr.boolean("on_demand", p.network.on_demand);
    nr.boolean("intervention_required", p.network.intervention_required);
    r.adopt(nr);
  }
  if (const Dict* n = r.object("push")) {
    Reader pr(*n, "push.");
    pr.string("prompt_answer", p.push.prompt_answer);
    pr.string("device_token", p.push.device_token);
    pr.optional_integer("token_error_code", p.push.token_error_code);
    pr.number("token_delay_s", p.push.token_delay_s);
    r.adopt(pr);
  }
  if (const Dict* n = r.object("location")) {
    Reader lr(*n, "location.");
    lr.number("horizontal_accuracy", p.location.horizontal_accuracy);
    lr.number("vertical_accuracy", p.location.vertical_accuracy);
    r.adopt(lr);
  }
  r.strings("can_open_schemes", p.can_open_schemes);
  r.string_map("hosts", p.hosts);
  std::vector<std::string> anchors;
  r.strings("trust_anchors", anchors);
  r.boolean("debugger_attached", p.debugger_attached);
  r.boolean("low_power_mode", p.low_power_mode);
  r.boolean("multitasking", p.multitasking);
  r.boolean("keychain_entitlement", p.keychain_entitlement);
  r.number("background_time_allowed", p.background_time_allowed);
  r.number("request_timeout_limit_s", p.request_timeout_limit_s);
  r.strings("launch_arguments", p.launch_arguments);
  r.string_map("environment", p.environment);
  r.number("screen_width", p.screen_width);
  r.number("screen_height", p.screen_height);
  if (r.failure()) return format_error(file, *r.failure());

  for (const std::string& a : anchors) {
    std::filesystem::path anchor(a);
    p.trust_anchors.push_back(anchor.is_absolute() ? anchor : file.parent_path() / anchor);
  }
  return p;
}

const DeviceProfile& profile() { return detail::state().profile; }

}  // namespace platform::os
