#include "push/reraviror.h"

#include <atomic>
#include <string>

#include "platform/os/bundle.h"
#include "platform/os/preferences.h"
#include "push/log.h"
#include "push/notification_settings.h"
#include "push/notification_settings_adapters.h"
#include "push/states.h"

namespace push {

namespace {
constexpr std::string_view kConsentGrantedKey = "GDPR_CONSENT_GRANTED";
std::atomic<bool> g_consentRequiredByApp{false};

// The facade state shared by the main thread, the registration queue and the
// REST completion threads. Re-entrant: creating the current permission state
// lets the adapter write into it.
struct FacadeState {
  std::recursive_mutex mutex;
  std::shared_ptr<RerAvirorNotificationSettings> permissionAdapter;
  std::shared_ptr<OSPermissionState> currentPermission, lastPermission;
  std::shared_ptr<OSSubscriptionState> currentSubscription, lastSubscription;
  std::shared_ptr<OSEmailSubscriptionState> currentEmail, lastEmail;
  std::shared_ptr<OSPermissionChangesObservable> permissionObservable;
  std::shared_ptr<OSSubscriptionChangesObservable> subscriptionObservable;
  std::shared_ptr<OSEmailSubscriptionChangesObservable> emailObservable;
  std::atomic<bool> shouldDelaySubscriptionSettingsUpdate{false};
  std::atomic<std::int32_t> lastNotificationTypes{-1};
};

FacadeState& state() {
  static FacadeState* s = new FacadeState();
  return *s;
}
}  // namespace

void RerAviror::reraviror_Log(std::uint32_t logLevel, std::string_view message) { writeLogLine(logLevel, message); }

void RerAviror::setLogLevel(std::uint32_t logLevel, std::uint32_t visualLevel) {
  setLogThresholds(logLevel, visualLevel);
}

bool RerAviror::requiresUserPrivacyConsent() {
  const auto& plistValue = platform::os::Bundle::main().object_for_info_key("RerAviror_require_privacy_consent");
  const bool required = plistValue.as_bool().value_or(false) || g_consentRequiredByApp.load();
  if (!required) return false;
  auto& defaults = platform::os::UserDefaults::standard();
  if (!defaults.object(kConsentGrantedKey)) {
    defaults.set(kConsentGrantedKey, std::optional<platform::foundation::Value>(std::in_place, 0));
    defaults.synchronize();
  }
  return !defaults.boolean(kConsentGrantedKey);
}

void RerAviror::setRequiresUserPrivacyConsent(bool required) { g_consentRequiredByApp = required; }

bool RerAviror::shouldLogMissingPrivacyConsentErrorWithMethodName(std::optional<std::string_view> methodName) {
  if (!requiresUserPrivacyConsent()) return false;
  if (methodName) {
    writeLogLine(kLogWarn, "Your application has called " + std::string(*methodName) +
                               " before the user granted privacy permission. Please call `consentGranted(bool)` in "
                               "order to provide user privacy consent");
  }
  return true;
}


// ---- state objects ----

std::shared_ptr<RerAvirorNotificationSettings> RerAviror::osNotificationSettings() {
  {
    std::lock_guard lock(state().mutex);
    if (state().permissionAdapter) return state().permissionAdapter;
  }
  // Made outside the lock: an adapter's set-up may read facade state.
  auto made = makeNotificationSettingsAdapter();
  std::lock_guard lock(state().mutex);
  if (!state().permissionAdapter) state().permissionAdapter = std::move(made);
  return state().permissionAdapter;
}

void RerAviror::setOsNotificationSettings(std::shared_ptr<RerAvirorNotificationSettings> adapter) {
  std::lock_guard lock(state().mutex);
  state().permissionAdapter = std::move(adapter);
}

std::shared_ptr<OSPermissionState> RerAviror::currentPermissionState() {
  auto& s = state();
  std::shared_ptr<OSPermissionState> current;
  {
    std::lock_guard lock(s.mutex);
    if (s.currentPermission) return s.currentPermission;
    // Stored before it is filled: the adapter writes into the facade's current state.
    current = std::make_shared<OSPermissionState>();
    s.currentPermission = current;
  }
  // Observer tables are never entered under the facade lock: a change holds
  // its table's lock while it reads the facade's previous state.
  current->initAsTo();
  lastPermissionState();
  current->observable()->addObserver(std::make_shared<OSPermissionChangedInternalObserver>());
  return current;
}

std::shared_ptr<OSPermissionState> RerAviror::lastPermissionState() {
  std::lock_guard lock(state().mutex);
  if (!state().lastPermission) state().lastPermission = OSPermissionState::initAsFrom();
  return state().lastPermission;
}

void RerAviror::setLastPermissionState(std::shared_ptr<OSPermissionState> last) {
  std::lock_guard lock(state().mutex);
  state().lastPermission = std::move(last);
}

std::shared_ptr<OSSubscriptionState> RerAviror::currentSubscriptionState() {
  auto& s = state();
  {
    std::lock_guard lock(s.mutex);
    if (s.currentSubscription) return s.currentSubscription;
  }
  auto permission = currentPermissionState();
  auto current = OSSubscriptionState::initAsToWithPermision(permission->accepted());
  {
    std::lock_guard lock(s.mutex);
    if (s.currentSubscription) return s.currentSubscription;
    s.currentSubscription = current;
    s.lastNotificationTypes = permission->notificationTypes();
  }
  permission->observable()->addObserver(current);
  current->observable()->addObserver(std::make_shared<OSSubscriptionChangedInternalObserver>());
  return current;
}

std::shared_ptr<OSSubscriptionState> RerAviror::lastSubscriptionState() {
  std::lock_guard lock(state().mutex);
  if (!state().lastSubscription) state().lastSubscription = OSSubscriptionState::initAsFrom();
  return state().lastSubscription;
}

void RerAviror::setLastSubscriptionState(std::shared_ptr<OSSubscriptionState> last) {
  std::lock_guard lock(state().mutex);
  state().lastSubscription = std::move(last);
}

std::shared_ptr<OSEmailSubscriptionState> RerAviror::currentEmailSubscriptionState() {
  auto& s = state();
  auto current = OSEmailSubscriptionState::init();
  {
    std::lock_guard lock(s.mutex);
    if (s.currentEmail) return s.currentEmail;
    s.currentEmail = current;
  }
  current->observable()->addObserver(std::make_shared<OSEmailSubscriptionChangedInternalObserver>());
  return current;
}

std::shared_ptr<OSEmailSubscriptionState> RerAviror::lastEmailSubscriptionState() {
  std::lock_guard lock(state().mutex);
  if (!state().lastEmail) state().lastEmail = OSEmailSubscriptionState::init();
  return state().lastEmail;
}

void RerAviror::setLastEmailSubscriptionState(std::shared_ptr<OSEmailSubscriptionState> last) {
  std::lock_guard lock(state().mutex);
  state().lastEmail = std::move(last);
}

std::shared_ptr<OSPermissionChangesObservable> RerAviror::permissionStateChangesObserver() {
  std::lock_guard lock(state().mutex);
  if (!state().permissionObservable) {
    state().permissionObservable = std::make_shared<OSPermissionChangesObservable>(
        [](OSPermissionObserver& o, const std::shared_ptr<OSPermissionStateChanges>& c) { o.onOSPermissionChanged(c); });
  }
  return state().permissionObservable;
}

std::shared_ptr<OSSubscriptionChangesObservable> RerAviror::subscriptionStateChangesObserver() {
  std::lock_guard lock(state().mutex);
  if (!state().subscriptionObservable) {
    state().subscriptionObservable = std::make_shared<OSSubscriptionChangesObservable>(
        [](OSSubscriptionObserver& o, const std::shared_ptr<OSSubscriptionStateChanges>& c) {
          o.onOSSubscriptionChanged(c);
        });
  }
  return state().subscriptionObservable;
}

std::shared_ptr<OSEmailSubscriptionChangesObservable> RerAviror::emailSubscriptionStateChangesObserver() {
  std::lock_guard lock(state().mutex);
  if (!state().emailObservable) {
    state().emailObservable = std::make_shared<OSEmailSubscriptionChangesObservable>(
        [](OSEmailSubscriptionObserver& o, const std::shared_ptr<OSEmailSubscriptionStateChanges>& c) {
          o.onOSEmailSubscriptionChanged(c);
        });
  }
  return state().emailObservable;
}

bool RerAviror::shouldDelaySubscriptionSettingsUpdate() { return state().shouldDelaySubscriptionSettingsUpdate; }
void RerAviror::setShouldDelaySubscriptionSettingsUpdate(bool value) {
  state().shouldDelaySubscriptionSettingsUpdate = value;
}
std::int32_t RerAviror::lastNotificationTypes() { return state().lastNotificationTypes; }
void RerAviror::setLastNotificationTypes(std::int32_t value) { state().lastNotificationTypes = value; }

// ---- observers and the snapshot ----

void RerAviror::addPermissionObserver(const std::shared_ptr<OSPermissionObserver>& observer) {
  permissionStateChangesObserver()->addObserver(observer);
  auto current = currentPermissionState();
  if (current->compare(*lastPermissionState())) OSPermissionChangedInternalObserver::fireChangesObserver(current);
}

void RerAviror::removePermissionObserver(const OSPermissionObserver* observer) {
  permissionStateChangesObserver()->removeObserver(observer);
}

void RerAviror::addSubscriptionObserver(const std::shared_ptr<OSSubscriptionObserver>& observer) {
  subscriptionStateChangesObserver()->addObserver(observer);
  auto current = currentSubscriptionState();
  if (current->compare(*lastSubscriptionState())) OSSubscriptionChangedInternalObserver::fireChangesObserver(current);
}

void RerAviror::removeSubscriptionObserver(const OSSubscriptionObserver* observer) {
  subscriptionStateChangesObserver()->removeObserver(observer);
}

void RerAviror::addEmailSubscriptionObserver(const std::shared_ptr<OSEmailSubscriptionObserver>& observer) {
  emailSubscriptionStateChangesObserver()->addObserver(observer);
  auto current = currentEmailSubscriptionState();
  if (current->compare(*lastEmailSubscriptionState()))
    OSEmailSubscriptionChangedInternalObserver::fireChangesObserver(current);
}

void RerAviror::removeEmailSubscriptionObserver(const OSEmailSubscriptionObserver* observer) {
  emailSubscriptionStateChangesObserver()->removeObserver(observer);
}

std::shared_ptr<OSPermissionSubscriptionState> RerAviror::getPermissionSubscriptionState() {
  auto snapshot = std::make_shared<OSPermissionSubscriptionState>();
  snapshot->setSubscriptionStatus(currentSubscriptionState());
  snapshot->setPermissionStatus(currentPermissionState());
  snapshot->setEmailSubscriptionStatus(currentEmailSubscriptionState());
  return snapshot;
}

void clearStartupStatics();

void RerAviror::clearStatics() {
  // Registration work already queued ends before the state it writes is reset.
  if (auto queue = getRegisterQueue(); queue && !queue->is_current()) queue->sync([] {});
  clearStartupStatics();
  auto& s = state();
  std::lock_guard lock(s.mutex);
  s.permissionAdapter.reset();
  s.currentPermission.reset();
  s.lastPermission.reset();
  s.currentSubscription.reset();
  s.lastSubscription.reset();
  s.currentEmail.reset();
  s.lastEmail.reset();
  s.permissionObservable.reset();
  s.lastNotificationTypes = -1;
}

}  // namespace push
