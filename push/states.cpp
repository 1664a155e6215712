#include "push/states.h"

#include "platform/os/preferences.h"
#include "push/notification_settings.h"
#include "push/reraviror.h"

namespace push {

namespace {

platform::os::UserDefaults& statesDefaults() { return platform::os::UserDefaults::standard(); }

std::optional<std::string> storedText(std::string_view key) {
  auto value = statesDefaults().object(key);
  if (!value) return std::nullopt;
  if (const auto* text = value->string()) return *text;
  return std::nullopt;
}
void storeText(std::string_view key, const std::optional<std::string>& text) {
  if (text) {
    statesDefaults().set(key, foundation::Value(*text));
  } else {
    statesDefaults().remove(key);
  }
}
bool storedBool(std::string_view key) {
  auto value = statesDefaults().object(key);
  return value && value->as_bool().value_or(false);
}

std::string d(bool b) { return b ? "1" : "0"; }
std::string textOrNull(const std::optional<std::string>& t) { return t ? *t : "(null)"; }
foundation::Value valueOrNull(const std::optional<std::string>& t) { return t ? foundation::Value(*t) : foundation::Value(); }

template <class State>
constexpr std::string_view changesClassName() {
  if constexpr (std::is_same_v<State, OSPermissionState>) return "OSPermissionStateChanges";
  if constexpr (std::is_same_v<State, OSSubscriptionState>) return "OSSubscriptionStateChanges";
  return "OSEmailSubscriptionStateChanges";
}

template <class State>
std::string describeOrNull(const std::shared_ptr<State>& s) {
  return s ? s->description() : "(null)";
}
template <class State>
foundation::Value dictOrNull(const std::shared_ptr<State>& s) {
  return s ? foundation::Value(s->toDictionary()) : foundation::Value();
}

}  // namespace

// ---- change objects ----

template <class State>
foundation::Dict OSStateChanges<State>::toDictionary() const {
  return {{"from", dictOrNull(from())}, {"to", dictOrNull(to())}};
}

template <class State>
std::string OSStateChanges<State>::description() const {
  return "<" + std::string(changesClassName<State>()) + ":\nfrom: " + describeOrNull(from()) +
         ",\nto:   " + describeOrNull(to()) + "\n>";
}

template class OSStateChanges<OSPermissionState>;
template class OSStateChanges<OSSubscriptionState>;
template class OSStateChanges<OSEmailSubscriptionState>;

// ---- OSPermissionState ----

std::shared_ptr<OSPermissionState> OSPermissionState::initAsFrom() {
  auto state = std::make_shared<OSPermissionState>();
  state->hasPrompted_ = storedBool("OS_HAS_PROMPTED_FOR_NOTIFICATIONS_LAST");
  state->answeredPrompt_ = storedBool("OS_NOTIFICATION_PROMPT_ANSWERED_LAST");
  state->accepted_ = storedBool("RERAVIROR_ACCEPTED_NOTIFICATION_LAST");
  state->provisional_ = storedBool("RERAVIROR_PROVISIONAL_AUTHORIZATION_LAST");
  state->providesAppNotificationSettings_ = storedBool("OS_APP_PROVIDES_NOTIFICATION_SETTINGS");
  return state;
}

void OSPermissionState::initAsTo() {
  if (auto adapter = RerAviror::osNotificationSettings()) adapter->getNotificationPermissionState();
}

void OSPermissionState::persistAsFrom() const {
  statesDefaults().set("OS_HAS_PROMPTED_FOR_NOTIFICATIONS_LAST", foundation::Value(hasPrompted_.load()));
  statesDefaults().set("OS_NOTIFICATION_PROMPT_ANSWERED_LAST", foundation::Value(answeredPrompt_.load()));
  statesDefaults().set("RERAVIROR_ACCEPTED_NOTIFICATION_LAST", foundation::Value(accepted_.load()));
  statesDefaults().set("RERAVIROR_PROVISIONAL_AUTHORIZATION_LAST", foundation::Value(provisional_.load()));
  statesDefaults().set("OS_APP_PROVIDES_NOTIFICATION_SETTINGS", foundation::Value(providesAppNotificationSettings_.load()));
  statesDefaults().synchronize();
}

std::shared_ptr<OSPermissionState> OSPermissionState::copy() const {
  auto c = std::make_shared<OSPermissionState>();
  c->hasPrompted_ = hasPrompted_.load();
  c->answeredPrompt_ = answeredPrompt_.load();
  c->accepted_ = accepted_.load();
  c->provisional_ = provisional_.load();
  c->providesAppNotificationSettings_ = providesAppNotificationSettings_.load();
  return c;
}

bool OSPermissionState::compare(const OSPermissionState& other) const {
  return accepted() != other.accepted() || answeredPrompt() != other.answeredPrompt() ||
         hasPrompted() != other.hasPrompted();
}

std::int64_t OSPermissionState::status() const {
  if (accepted()) return OSPermissionStatusAuthorized;
  if (answeredPrompt()) return OSPermissionStatusDenied;
  if (provisional()) return OSPermissionStatusProvisional;
  return OSPermissionStatusNotDetermined;
}

std::string OSPermissionState::statusAsString() const {
  switch (status()) {
    case OSPermissionStatusDenied:
      return "Denied";
    case OSPermissionStatusAuthorized:
      return "Authorized";
    case OSPermissionStatusProvisional:
      return "Provisional";
    default:
      return "NotDetermined";
  }
}

void OSPermissionState::setHasPrompted(bool value) {
  if (hasPrompted_ != value) {
    statesDefaults().set("OS_HAS_PROMPTED_FOR_NOTIFICATIONS", foundation::Value(true));
    statesDefaults().synchronize();
  }
  const bool before = hasPrompted();
  hasPrompted_ = value;
  if (before != hasPrompted()) notify();
}

void OSPermissionState::setProvisional(bool value) {
  if (provisional_.exchange(value) == value) return;
  statesDefaults().set("RERAVIROR_PROVISIONAL_AUTHORIZATION", foundation::Value(value));
  statesDefaults().synchronize();
  notify();
}

void OSPermissionState::setAnsweredPrompt(bool value) {
  const bool before = answeredPrompt();
  answeredPrompt_ = value;
  if (before != answeredPrompt()) notify();
}

void OSPermissionState::setAccepted(bool value) {
  if (accepted_.exchange(value) != value) notify();
}

std::shared_ptr<OSPermissionStateObservable> OSPermissionState::observable() {
  std::lock_guard lock(observableMutex_);
  if (!observable_) observable_ = std::make_shared<OSPermissionStateObservable>();
  return observable_;
}

void OSPermissionState::setObservable(std::shared_ptr<OSPermissionStateObservable> observable) {
  std::lock_guard lock(observableMutex_);
  observable_ = std::move(observable);
}

void OSPermissionState::notify() { observable()->notifyChange(shared_from_this()); }

std::string OSPermissionState::description() const {
  return "<OSPermissionState: hasPrompted: " + d(hasPrompted()) + ", status: " + statusAsString() +
         ", provisional: " + d(provisional()) + ">";
}

foundation::Dict OSPermissionState::toDictionary() const {
  return {{"hasPrompted", hasPrompted()}, {"status", status()}, {"provisional", provisional()}};
}

// ---- OSSubscriptionState ----

std::shared_ptr<OSSubscriptionState> OSSubscriptionState::initAsToWithPermision(bool permission) {
  auto state = std::make_shared<OSSubscriptionState>();
  state->accpeted_ = permission;
  state->userId_ = storedText("GT_PLAYER_ID");
  state->pushToken_ = storedText("GT_DEVICE_TOKEN");
  state->userSubscriptionSetting_ = !statesDefaults().object("RERAVIROR_SUBSCRIPTION").has_value();
  return state;
}

std::shared_ptr<OSSubscriptionState> OSSubscriptionState::initAsFrom() {
  auto state = std::make_shared<OSSubscriptionState>();
  state->userId_ = storedText("GT_PLAYER_ID_LAST");
  state->pushToken_ = storedText("GT_DEVICE_TOKEN_LAST");
  state->userSubscriptionSetting_ = !statesDefaults().object("RERAVIROR_SUBSCRIPTION_LAST").has_value();
  state->accpeted_ = storedBool("RERAVIROR_PERMISSION_ACCEPTED_LAST");
  return state;
}

void OSSubscriptionState::persistAsFrom() const {
  if (!userSubscriptionSetting_) {
    statesDefaults().set("RERAVIROR_SUBSCRIPTION_LAST", foundation::Value("no"));
  } else {
    statesDefaults().remove("RERAVIROR_SUBSCRIPTION_LAST");
  }
  storeText("GT_PLAYER_ID_LAST", userId());
  storeText("GT_DEVICE_TOKEN_LAST", pushToken());
  statesDefaults().set("RERAVIROR_PERMISSION_ACCEPTED_LAST", foundation::Value(accpeted_.load()));
  statesDefaults().synchronize();
}

std::shared_ptr<OSSubscriptionState> OSSubscriptionState::copy() const {
  auto c = std::make_shared<OSSubscriptionState>();
  {
    std::lock_guard lock(mutex_);
    c->userId_ = userId_;
    c->pushToken_ = pushToken_;
  }
  c->userSubscriptionSetting_ = userSubscriptionSetting_.load();
  c->accpeted_ = accpeted_.load();
  return c;
}

bool OSSubscriptionState::compare(const OSSubscriptionState& other) const {
  return userId().value_or("") != other.userId().value_or("") ||
         pushToken().value_or("") != other.pushToken().value_or("") ||
         userSubscriptionSetting() != other.userSubscriptionSetting() || accpeted() != other.accpeted();
}

void OSSubscriptionState::onChanged(const std::shared_ptr<OSPermissionState>& state) { setAccepted(state->accepted()); }

std::optional<std::string> OSSubscriptionState::userId() const {
  std::lock_guard lock(mutex_);
  return userId_;
}

std::optional<std::string> OSSubscriptionState::pushToken() const {
  std::lock_guard lock(mutex_);
  return pushToken_;
}

bool OSSubscriptionState::subscribed() const {
  std::lock_guard lock(mutex_);
  return userId_ && pushToken_ && userSubscriptionSetting_ && accpeted_;
}

void OSSubscriptionState::setUserId(std::optional<std::string> userId) {
  bool changed;
  {
    std::lock_guard lock(mutex_);
    changed = !userId_ || !userId || *userId_ != *userId;
    userId_ = std::move(userId);
  }
  if (changed) notify();
}

void OSSubscriptionState::setPushToken(std::optional<std::string> pushToken) {
  bool changed;
  {
    std::lock_guard lock(mutex_);
    changed = !pushToken_ || !pushToken || *pushToken_ != *pushToken;
    pushToken_ = pushToken;
  }
  if (!changed) return;
  storeText("GT_DEVICE_TOKEN", pushToken);
  statesDefaults().synchronize();
  notify();
}

void OSSubscriptionState::setUserSubscriptionSetting(bool value) {
  if (userSubscriptionSetting_.exchange(value) != value) notify();
}

void OSSubscriptionState::setAccepted(bool value) {
  const bool before = subscribed();
  if (RerAviror::shouldDelaySubscriptionSettingsUpdate()) {
    delayedObserverUpdate_ = true;
    return;
  }
  accpeted_ = value;
  if (before != subscribed()) notify();
}

std::shared_ptr<OSSubscriptionStateObservable> OSSubscriptionState::observable() {
  std::lock_guard lock(mutex_);
  if (!observable_) observable_ = std::make_shared<OSSubscriptionStateObservable>();
  return observable_;
}

void OSSubscriptionState::setObservable(std::shared_ptr<OSSubscriptionStateObservable> observable) {
  std::lock_guard lock(mutex_);
  observable_ = std::move(observable);
}

void OSSubscriptionState::notify() { observable()->notifyChange(shared_from_this()); }

std::string OSSubscriptionState::description() const {
  return "<OSSubscriptionState: userId: " + textOrNull(userId()) + ", pushToken: " + textOrNull(pushToken()) +
         ", userSubscriptionSetting: " + d(userSubscriptionSetting()) + ", subscribed: " + d(subscribed()) + ">";
}

foundation::Dict OSSubscriptionState::toDictionary() const {
  return {{"userId", valueOrNull(userId())},
          {"pushToken", valueOrNull(pushToken())},
          {"userSubscriptionSetting", userSubscriptionSetting()},
          {"subscribed", subscribed()}};
}

// ---- OSEmailSubscriptionState ----

std::shared_ptr<OSEmailSubscriptionState> OSEmailSubscriptionState::init() {
  auto state = std::make_shared<OSEmailSubscriptionState>();
  state->emailAddress_ = storedText("EMAIL_ADDRESS");
  state->requiresEmailAuth_ = storedBool("GT_REQUIRE_EMAIL_AUTH");
  state->emailAuthCode_ = storedText("GT_EMAIL_AUTH_CODE");
  state->emailUserId_ = storedText("GT_EMAIL_PLAYER_ID");
  return state;
}

void OSEmailSubscriptionState::persist() const {
  storeText("EMAIL_ADDRESS", emailAddress());
  statesDefaults().set("GT_REQUIRE_EMAIL_AUTH", foundation::Value(requiresEmailAuth_.load()));
  storeText("GT_EMAIL_AUTH_CODE", emailAuthCode());
  storeText("GT_EMAIL_PLAYER_ID", emailUserId());
  statesDefaults().synchronize();
}

std::shared_ptr<OSEmailSubscriptionState> OSEmailSubscriptionState::copy() const {
  auto c = init();
  c->requiresEmailAuth_ = requiresEmailAuth_.load();
  std::lock_guard lock(mutex_);
  c->emailAuthCode_ = emailAuthCode_;
  c->emailUserId_ = emailUserId_;
  c->emailAddress_ = emailAddress_;
  return c;
}

bool OSEmailSubscriptionState::compare(const OSEmailSubscriptionState& other) const {
  return emailAddress().value_or("") != other.emailAddress().value_or("") ||
         emailUserId().value_or("") != other.emailUserId().value_or("");
}

std::optional<std::string> OSEmailSubscriptionState::emailUserId() const {
  std::lock_guard lock(mutex_);
  return emailUserId_;
}
std::optional<std::string> OSEmailSubscriptionState::emailAddress() const {
  std::lock_guard lock(mutex_);
  return emailAddress_;
}
std::optional<std::string> OSEmailSubscriptionState::emailAuthCode() const {
  std::lock_guard lock(mutex_);
  return emailAuthCode_;
}

void OSEmailSubscriptionState::setEmailUserId(std::optional<std::string> emailUserId) {
  bool changed;
  {
    std::lock_guard lock(mutex_);
    changed = emailUserId.has_value() || emailUserId_.has_value();
    emailUserId_ = std::move(emailUserId);
  }
  if (changed) observable()->notifyChange(shared_from_this());
}

void OSEmailSubscriptionState::setEmailAddress(std::optional<std::string> emailAddress) {
  std::lock_guard lock(mutex_);
  emailAddress_ = std::move(emailAddress);
}

void OSEmailSubscriptionState::setEmailAuthCode(std::optional<std::string> emailAuthCode) {
  std::lock_guard lock(mutex_);
  emailAuthCode_ = std::move(emailAuthCode);
}

std::shared_ptr<OSEmailSubscriptionStateObservable> OSEmailSubscriptionState::observable() {
  std::lock_guard lock(mutex_);
  if (!observable_) observable_ = std::make_shared<OSEmailSubscriptionStateObservable>();
  return observable_;
}

void OSEmailSubscriptionState::setObservable(std::shared_ptr<OSEmailSubscriptionStateObservable> observable) {
  std::lock_guard lock(mutex_);
  observable_ = std::move(observable);
}

std::string OSEmailSubscriptionState::description() const {
  std::lock_guard lock(mutex_);
  return "<OSEmailSubscriptionState: emailAddress: " + textOrNull(emailAddress_) +
         ", emailUserId: " + textOrNull(emailUserId_) + ">";
}

foundation::Dict OSEmailSubscriptionState::toDictionary() const {
  return {{"emailUserId", valueOrNull(emailUserId())}, {"emailAddress", valueOrNull(emailAddress())}};
}

// ---- OSPermissionSubscriptionState ----

std::shared_ptr<OSPermissionState> OSPermissionSubscriptionState::permissionStatus() const {
  std::lock_guard lock(mutex_);
  return permission_;
}
void OSPermissionSubscriptionState::setPermissionStatus(std::shared_ptr<OSPermissionState> state) {
  std::lock_guard lock(mutex_);
  permission_ = std::move(state);
}
std::shared_ptr<OSSubscriptionState> OSPermissionSubscriptionState::subscriptionStatus() const {
  std::lock_guard lock(mutex_);
  return subscription_;
}
void OSPermissionSubscriptionState::setSubscriptionStatus(std::shared_ptr<OSSubscriptionState> state) {
  std::lock_guard lock(mutex_);
  subscription_ = std::move(state);
}
std::shared_ptr<OSEmailSubscriptionState> OSPermissionSubscriptionState::emailSubscriptionStatus() const {
  std::lock_guard lock(mutex_);
  return email_;
}
void OSPermissionSubscriptionState::setEmailSubscriptionStatus(std::shared_ptr<OSEmailSubscriptionState> state) {
  std::lock_guard lock(mutex_);
  email_ = std::move(state);
}

std::string OSPermissionSubscriptionState::description() const {
  return "<OSPermissionSubscriptionState:\npermissionStatus: " + describeOrNull(permissionStatus()) +
         ",\nsubscriptionStatus: " + describeOrNull(subscriptionStatus()) + "\n>";
}

foundation::Dict OSPermissionSubscriptionState::toDictionary() const {
  return {{"permissionStatus", dictOrNull(permissionStatus())},
          {"subscriptionStatus", dictOrNull(subscriptionStatus())},
          {"emailSubscriptionStatus", dictOrNull(emailSubscriptionStatus())}};
}

// ---- internal observers ----

void OSPermissionChangedInternalObserver::fireChangesObserver(const std::shared_ptr<OSPermissionState>& state) {
  auto changes = std::make_shared<OSPermissionStateChanges>();
  changes->setFrom(RerAviror::lastPermissionState());
  changes->setTo(state->copy());
  if (RerAviror::permissionStateChangesObserver()->notifyChange(changes)) {
    auto last = state->copy();
    RerAviror::setLastPermissionState(last);
    last->persistAsFrom();
  }
}

void OSSubscriptionChangedInternalObserver::fireChangesObserver(const std::shared_ptr<OSSubscriptionState>& state) {
  auto changes = std::make_shared<OSSubscriptionStateChanges>();
  changes->setFrom(RerAviror::lastSubscriptionState());
  changes->setTo(state->copy());
  if (RerAviror::subscriptionStateChangesObserver()->notifyChange(changes)) {
    auto last = state->copy();
    RerAviror::setLastSubscriptionState(last);
    last->persistAsFrom();
  }
}

void OSEmailSubscriptionChangedInternalObserver::fireChangesObserver(
    const std::shared_ptr<OSEmailSubscriptionState>& state) {
  auto changes = std::make_shared<OSEmailSubscriptionStateChanges>();
  changes->setFrom(RerAviror::lastEmailSubscriptionState());
  changes->setTo(state->copy());
  if (RerAviror::emailSubscriptionStateChangesObserver()->notifyChange(changes)) {
    auto last = state->copy();
    RerAviror::setLastEmailSubscriptionState(last);
    last->persist();
  }
}

}  // namespace push
