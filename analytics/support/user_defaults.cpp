// The analytics preferences store over the platform's preferences.
#include "analytics/support/user_defaults.h"

#include <mutex>

#include "analytics/support/files.h"
#include "analytics/support/log_codes.h"
#include "core/logger.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/run_loop.h"
#include "platform/foundation/text.h"
#include "platform/os/bundle.h"
#include "platform/os/file_manager.h"
#include "platform/os/preferences.h"

namespace analytics {

namespace fd = platform::foundation;
namespace os = platform::os;
using platform::dispatch::Queue;
using platform::dispatch::RunLoop;

namespace {

constexpr std::string_view kSynchronizeRequest = "synchronize";

// The platform defaults object of a store: the suite's own when it has one,
// else the standard object (which lives for the process).
std::shared_ptr<os::UserDefaults> defaultsFor(const std::string& suiteName) {
  if (!suiteName.empty()) {
    if (auto suite = os::UserDefaults::suite(suiteName)) return suite;
  }
  return std::shared_ptr<os::UserDefaults>(&os::UserDefaults::standard(), [](os::UserDefaults*) {});
}

void warn(std::int64_t code, std::string_view message) {
  core::GULLogWarningMessage(kAPMLogService, false, apmMessageCode(code), message);
}

}  // namespace

struct APMUserDefaults::Impl : std::enable_shared_from_this<Impl> {
  const std::string suiteName;
  const std::string appNameRef;

  mutable std::mutex modeMutex;                  // guards the two fields below
  std::shared_ptr<os::UserDefaults> userDefaults;  // present while CFPreferences is not used
  bool useCFPreferences = true;

  mutable std::mutex backupMutex;  // the lock on the store around the backup exclusion
  bool preferenceFileExcluded = false;

  explicit Impl(std::string suite)
      : suiteName(std::move(suite)),
        appNameRef(suiteName.empty() ? std::string(os::Preferences::current_application) : suiteName) {}

  // The defaults object, or nullptr in CFPreferences mode.
  std::shared_ptr<os::UserDefaults> defaults() const {
    std::lock_guard lock(modeMutex);
    return useCFPreferences ? nullptr : userDefaults;
  }

  void synchronize() {
    if (auto d = defaults()) {
      d->synchronize();
    } else if (!os::Preferences::shared().app_synchronize(appNameRef)) {
      core::GULLogErrorMessage(kAPMLogService, false, apmMessageCode(41004), "Cannot synchronize user defaults to disk");
    }
    std::lock_guard lock(backupMutex);
    if (preferenceFileExcluded) return;
    // Without a Library folder (before boot) there is no file to exclude. Asked
    // anyway, the path would be reported through the monitor, which may be the
    // very object being created (its stores synchronise while it is made).
    if (os::FileManager::shared().url_for(os::Directory::library).empty()) return;
    const std::string path = APMPreferencesPlistPath(suiteName);
    if (path.empty() || !os::FileManager::shared().exists(path)) return;
    std::optional<fd::Error> error;
    if (APMExcludeFileFromBackup(path, &error)) {
      preferenceFileExcluded = true;
    } else {
      warn(41000, "Failed to exclude preferences file from backup. Error code " +
                      (error ? error->description() : std::string("(null)")));
    }
  }

  void scheduleSynchronize() {
    RunLoop& loop = RunLoop::current();
    loop.cancel_perform_requests(this, kSynchronizeRequest);
    std::weak_ptr<Impl> weak = weak_from_this();
    loop.perform_after(this, kSynchronizeRequest, platform::dispatch::Duration(kSynchronizeDelaySeconds), [weak] {
      if (auto self = weak.lock()) self->synchronize();
    });
  }
};

APMUserDefaults& APMUserDefaults::standardUserDefaults() {
  static APMUserDefaults* shared = [] {
    auto* store = new APMUserDefaults();
    store->setIsPreferenceFileExcluded(true);
    return store;
  }();
  return *shared;
}

bool APMUserDefaults::userPreferenceEnabled() {
  static const bool enabled = [] {
    const fd::Value& value = os::Bundle::main().object_for_info_key("UseCFPreferencesLibrary");
    return value.is_number() ? value.as_bool().value_or(true) : true;
  }();
  return enabled;
}

APMUserDefaults::APMUserDefaults(std::optional<std::string_view> suiteName)
    : impl_(std::make_shared<Impl>(std::string(suiteName.value_or("")))) {
  impl_->useCFPreferences = userPreferenceEnabled();
  if (!impl_->useCFPreferences) impl_->userDefaults = defaultsFor(impl_->suiteName);
}

APMUserDefaults::~APMUserDefaults() { RunLoop::current().cancel_perform_requests(impl_.get(), kSynchronizeRequest); }

std::optional<fd::Value> APMUserDefaults::objectForKey(std::string_view key) const {
  if (key.empty()) {
    warn(41001, "Cannot get object for invalid user default key.");
    return std::nullopt;
  }
  if (auto d = impl_->defaults()) return d->object(key);
  return os::Preferences::shared().copy_app_value(key, impl_->appNameRef);
}

void APMUserDefaults::setObject(std::optional<fd::Value> value, std::string_view key) {
  if (key.empty()) {
    warn(41002, "Cannot set object for invalid user default key.");
    return;
  }
  if (value && !os::is_property_list(*value)) {
    warn(41003, "Cannot set invalid object to user defaults. Must be a string or number or an array. Value " +
                    fd::describe(*value));
    return;
  }
  if (auto d = impl_->defaults()) {
    d->set(key, std::move(value));
  } else if (!os::Preferences::shared().set_app_value(key, std::move(value), impl_->appNameRef)) {
    return;  // refused by the platform (logged there): nothing changed, nothing to write
  }
  scheduleSynchronize();
}

void APMUserDefaults::removeObjectForKey(std::string_view key) {
  if (auto d = impl_->defaults()) {
    if (key.empty()) {
      warn(41002, "Cannot set object for invalid user default key.");
      return;
    }
    d->remove(key);
    return;
  }
  setObject(std::nullopt, key);
}

std::int64_t APMUserDefaults::integerForKey(std::string_view key) const {
  auto value = objectForKey(key);
  if (!value) return 0;
  if (const std::string* s = value->string()) return fd::text::integer_value(*s);
  return value->as_int().value_or(0);
}

float APMUserDefaults::floatForKey(std::string_view key) const { return static_cast<float>(doubleForKey(key)); }

double APMUserDefaults::doubleForKey(std::string_view key) const {
  auto value = objectForKey(key);
  if (!value) return 0;
  if (const std::string* s = value->string()) return fd::text::double_value(*s);
  return value->as_double().value_or(0);
}

bool APMUserDefaults::boolForKey(std::string_view key) const {
  auto value = objectForKey(key);
  if (!value) return false;
  if (const std::string* s = value->string()) return fd::text::bool_value(*s);
  return value->as_bool().value_or(false);
}

void APMUserDefaults::setInteger(std::int64_t value, std::string_view key) { setObject(fd::Value(value), key); }
void APMUserDefaults::setFloat(float value, std::string_view key) { setObject(fd::Value(double{value}), key); }
void APMUserDefaults::setDouble(double value, std::string_view key) { setObject(fd::Value(value), key); }
void APMUserDefaults::setBool(bool value, std::string_view key) { setObject(fd::Value(value), key); }

void APMUserDefaults::clearAllData() {
  if (auto d = impl_->defaults()) {
    d->remove_persistent_domain(impl_->suiteName.empty() ? os::Bundle::main().identifier().value_or("")
                                                         : impl_->suiteName);
  } else {
    auto& prefs = os::Preferences::shared();
    const auto keys = prefs.copy_key_list(impl_->appNameRef);
    if (keys.empty()) return;
    for (const auto& key : keys) prefs.set_app_value(key, std::nullopt, impl_->appNameRef);
  }
  scheduleSynchronize();
}

void APMUserDefaults::synchronize() { impl_->synchronize(); }

void APMUserDefaults::scheduleSynchronize() { impl_->scheduleSynchronize(); }

void APMUserDefaults::setUseCFPreferencesLibrary(bool use) {
  Queue::global().sync([this, use] {
    std::lock_guard lock(impl_->modeMutex);
    if (impl_->useCFPreferences == use) return;
    impl_->useCFPreferences = use;
    if (use) {
      impl_->userDefaults.reset();
    } else if (!impl_->userDefaults) {
      impl_->userDefaults = defaultsFor(impl_->suiteName);
    }
  });
}

bool APMUserDefaults::useCFPreferencesLibrary() const {
  std::lock_guard lock(impl_->modeMutex);
  return impl_->useCFPreferences;
}

bool APMUserDefaults::isPreferenceFileExcluded() const {
  std::lock_guard lock(impl_->backupMutex);
  return impl_->preferenceFileExcluded;
}

void APMUserDefaults::setIsPreferenceFileExcluded(bool excluded) {
  std::lock_guard lock(impl_->backupMutex);
  impl_->preferenceFileExcluded = excluded;
}

const std::string& APMUserDefaults::suiteName() const { return impl_->suiteName; }

}  // namespace analytics
