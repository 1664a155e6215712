// The core's preferences store over os::Preferences.
#include "core/gul_user_defaults.h"

#include <chrono>

#include "core/gul_message_code.h"
#include "core/logger.h"
#include "platform/dispatch/run_loop.h"
#include "platform/foundation/text.h"
#include "platform/os/preferences.h"

namespace core {

namespace {

namespace foundation = platform::foundation;
using platform::os::Preferences;

constexpr std::string_view kUserDefaultsService = "[DozadaUtilities/UserDefaults]";
constexpr std::string_view kSynchronizeRequest = "synchronize";

bool isValidValue(const foundation::Value& value) {
  using Kind = foundation::Value::Kind;
  switch (value.kind()) {
    case Kind::boolean:
    case Kind::integer:
    case Kind::real:
    case Kind::string:
    case Kind::data:
    case Kind::date:
    case Kind::array:
    case Kind::dict: return platform::os::is_property_list(value);
    case Kind::null:
    case Kind::object: break;
  }
  return false;
}

void synchronizeDomain(const std::string& domain) {
  if (!Preferences::shared().app_synchronize(domain)) {
    GULLogErrorMessage(kUserDefaultsService, false, GULMessageCode("I-GUL", 4), "Cannot synchronize user defaults to disk");
  }
}

}  // namespace

GULUserDefaults& GULUserDefaults::standardUserDefaults() {
  static GULUserDefaults* shared = new GULUserDefaults();
  return *shared;
}

GULUserDefaults::GULUserDefaults(std::optional<std::string_view> suiteName)
    : appNameRef_(suiteName && !suiteName->empty() ? std::string(*suiteName)
                                                   : std::string(Preferences::current_application)) {}

GULUserDefaults::~GULUserDefaults() {
  platform::dispatch::RunLoop::current().cancel_perform_requests(this, kSynchronizeRequest);
}

std::optional<foundation::Value> GULUserDefaults::objectForKey(std::string_view key) const {
  if (key.empty()) {
    GULLogWarningMessage("<DozadaUtilities>", false, GULMessageCode("I-GUL", 1),
                         "Cannot get object for invalid user default key.");
    return std::nullopt;
  }
  return Preferences::shared().copy_app_value(key, appNameRef_);
}

void GULUserDefaults::setObject(std::optional<foundation::Value> value, std::string_view key) {
  if (key.empty()) {
    GULLogWarningMessage(kUserDefaultsService, false, GULMessageCode("I-GUL", 2),
                         "Cannot set object for invalid user default key.");
    return;
  }
  if (value && !isValidValue(*value)) {
    GULLogWarningMessage(kUserDefaultsService, false, GULMessageCode("I-GUL", 3),
                         "Cannot set invalid object to user defaults. Must be a string, number, array, dictionary, "
                         "date, or data. Value: " +
                             foundation::describe(*value));
    return;
  }
  Preferences::shared().set_app_value(key, std::move(value), appNameRef_);
  scheduleSynchronize();
}

std::int64_t GULUserDefaults::integerForKey(std::string_view key) const {
  auto value = objectForKey(key);
  if (!value) return 0;
  if (auto i = value->as_int()) return *i;
  if (const std::string* s = value->string()) return foundation::text::integer_value(*s);
  return 0;
}

double GULUserDefaults::doubleForKey(std::string_view key) const {
  auto value = objectForKey(key);
  if (!value) return 0;
  if (auto d = value->as_double()) return *d;
  if (const std::string* s = value->string()) return foundation::text::double_value(*s);
  return 0;
}

float GULUserDefaults::floatForKey(std::string_view key) const { return static_cast<float>(doubleForKey(key)); }

bool GULUserDefaults::boolForKey(std::string_view key) const {
  auto value = objectForKey(key);
  if (!value) return false;
  if (auto b = value->as_bool()) return *b;
  if (const std::string* s = value->string()) return foundation::text::bool_value(*s);
  return false;
}

void GULUserDefaults::synchronize() { synchronizeDomain(appNameRef_); }

void GULUserDefaults::clearAllData() {
  auto& preferences = Preferences::shared();
  const auto keys = preferences.copy_key_list(appNameRef_);
  if (keys.empty()) return;
  for (const auto& key : keys) preferences.set_app_value(key, std::nullopt, appNameRef_);
  scheduleSynchronize();
}

void GULUserDefaults::scheduleSynchronize() {
  auto& loop = platform::dispatch::RunLoop::current();
  loop.cancel_perform_requests(this, kSynchronizeRequest);
  // The request carries the domain, not the store, so a store gone by then
  // on another thread is never touched.
  loop.perform_after(this, kSynchronizeRequest, std::chrono::seconds(1),
                     [domain = appNameRef_] { synchronizeDomain(domain); });
}

}  // namespace core
