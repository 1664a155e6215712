#pragma once
// The permission, subscription and e-mail subscription states, their change
// objects and the internal observers that turn a change into a from/to pair
// for the application's observers.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/value.h"
#include "push/observable.h"

namespace push {

namespace foundation = platform::foundation;

class OSPermissionState;
class OSSubscriptionState;
class OSEmailSubscriptionState;

// Observers of a state object's own table (called at once).
class OSPermissionStateObserver {
 public:
  virtual ~OSPermissionStateObserver() = default;
  virtual void onChanged(const std::shared_ptr<OSPermissionState>& state) = 0;
};
class OSSubscriptionStateObserver {
 public:
  virtual ~OSSubscriptionStateObserver() = default;
  virtual void onChanged(const std::shared_ptr<OSSubscriptionState>& state) = 0;
};
class OSEmailSubscriptionStateObserver {
 public:
  virtual ~OSEmailSubscriptionStateObserver() = default;
  virtual void onChanged(const std::shared_ptr<OSEmailSubscriptionState>& state) = 0;
};

// A from/to pair. `to` is a copy of the state when the change was reported,
// `from` the stored previous state.
template <class State>
class OSStateChanges {
 public:
  std::shared_ptr<State> to() const {
    std::lock_guard lock(mutex_);
    return to_;
  }
  void setTo(std::shared_ptr<State> state) {
    std::lock_guard lock(mutex_);
    to_ = std::move(state);
  }
  std::shared_ptr<State> from() const {
    std::lock_guard lock(mutex_);
    return from_;
  }
  void setFrom(std::shared_ptr<State> state) {
    std::lock_guard lock(mutex_);
    from_ = std::move(state);
  }
  foundation::Dict toDictionary() const;
  std::string description() const;

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<State> to_, from_;
};

using OSPermissionStateChanges = OSStateChanges<OSPermissionState>;
using OSSubscriptionStateChanges = OSStateChanges<OSSubscriptionState>;
using OSEmailSubscriptionStateChanges = OSStateChanges<OSEmailSubscriptionState>;

// The application's observers (held weakly, called on the main queue).
class OSPermissionObserver {
 public:
  virtual ~OSPermissionObserver() = default;
  virtual void onOSPermissionChanged(const std::shared_ptr<OSPermissionStateChanges>& stateChanges) = 0;
};
class OSSubscriptionObserver {
 public:
  virtual ~OSSubscriptionObserver() = default;
  virtual void onOSSubscriptionChanged(const std::shared_ptr<OSSubscriptionStateChanges>& stateChanges) = 0;
};
class OSEmailSubscriptionObserver {
 public:
  virtual ~OSEmailSubscriptionObserver() = default;
  virtual void onOSEmailSubscriptionChanged(const std::shared_ptr<OSEmailSubscriptionStateChanges>& stateChanges) = 0;
};

using OSPermissionStateObservable = OSObservable<OSPermissionStateObserver, OSPermissionState>;
using OSSubscriptionStateObservable = OSObservable<OSSubscriptionStateObserver, OSSubscriptionState>;
using OSEmailSubscriptionStateObservable = OSObservable<OSEmailSubscriptionStateObserver, OSEmailSubscriptionState>;
using OSPermissionChangesObservable = OSObservable<OSPermissionObserver, OSPermissionStateChanges>;
using OSSubscriptionChangesObservable = OSObservable<OSSubscriptionObserver, OSSubscriptionStateChanges>;
using OSEmailSubscriptionChangesObservable = OSObservable<OSEmailSubscriptionObserver, OSEmailSubscriptionStateChanges>;

enum OSPermissionStatus : std::int64_t {
  OSPermissionStatusNotDetermined = 0,
  OSPermissionStatusDenied = 1,
  OSPermissionStatusAuthorized = 2,
  OSPermissionStatusProvisional = 3,
};

class OSPermissionState : public std::enable_shared_from_this<OSPermissionState> {
 public:
  // The previous state from the "_LAST" keys.
  static std::shared_ptr<OSPermissionState> initAsFrom();
  // Asks the permission adapter, which fills the facade's current state.
  void initAsTo();
  void persistAsFrom() const;
  std::shared_ptr<OSPermissionState> copy() const;
  // True when the two differ (accepted, then derived answeredPrompt and hasPrompted).
  bool compare(const OSPermissionState& other) const;

  bool hasPrompted() const { return answeredPrompt() || hasPrompted_; }
  bool answeredPrompt() const { return accepted_ || answeredPrompt_; }
  bool accepted() const { return accepted_; }
  bool provisional() const { return provisional_; }
  bool isProvisional() const { return provisional_; }
  bool reachable() const { return provisional_ || accepted_; }
  bool providesAppNotificationSettings() const { return providesAppNotificationSettings_; }
  std::int32_t notificationTypes() const { return notificationTypes_; }
  std::int64_t status() const;
  std::string statusAsString() const;

  void setHasPrompted(bool value);
  void setAnsweredPrompt(bool value);
  void setAccepted(bool value);
  void setProvisional(bool value);
  void setProvidesAppNotificationSettings(bool value) { providesAppNotificationSettings_ = value; }
  void setReachable(bool value) { reachable_ = value; }
  void setNotificationTypes(std::int32_t value) { notificationTypes_ = value; }

  std::shared_ptr<OSPermissionStateObservable> observable();
  void setObservable(std::shared_ptr<OSPermissionStateObservable> observable);

  std::string description() const;
  foundation::Dict toDictionary() const;

 private:
  void notify();

  std::atomic<bool> hasPrompted_{false}, answeredPrompt_{false}, providesAppNotificationSettings_{false},
      accepted_{false}, provisional_{false}, reachable_{false};
  std::atomic<std::int32_t> notificationTypes_{0};
  mutable std::mutex observableMutex_;
  std::shared_ptr<OSPermissionStateObservable> observable_;
};

class OSSubscriptionState : public OSPermissionStateObserver, public std::enable_shared_from_this<OSSubscriptionState> {
 public:
  static std::shared_ptr<OSSubscriptionState> initAsToWithPermision(bool permission);
  static std::shared_ptr<OSSubscriptionState> initAsFrom();
  void persistAsFrom() const;
  std::shared_ptr<OSSubscriptionState> copy() const;
  bool compare(const OSSubscriptionState& other) const;

  // Follows the permission state's accepted flag.
  void onChanged(const std::shared_ptr<OSPermissionState>& state) override;

  std::optional<std::string> userId() const;
  std::optional<std::string> pushToken() const;
  bool userSubscriptionSetting() const { return userSubscriptionSetting_; }
  bool accpeted() const { return accpeted_; }
  bool delayedObserverUpdate() const { return delayedObserverUpdate_; }
  bool subscribed() const;

  void setUserId(std::optional<std::string> userId);
  void setPushToken(std::optional<std::string> pushToken);
  void setUserSubscriptionSetting(bool value);
  void setAccepted(bool value);
  void setAccpeted(bool value) { accpeted_ = value; }
  void setDelayedObserverUpdate(bool value) { delayedObserverUpdate_ = value; }

  std::shared_ptr<OSSubscriptionStateObservable> observable();
  void setObservable(std::shared_ptr<OSSubscriptionStateObservable> observable);

  std::string description() const;
  foundation::Dict toDictionary() const;

 private:
  void notify();

  std::atomic<bool> userSubscriptionSetting_{true}, accpeted_{false}, delayedObserverUpdate_{false};
  mutable std::mutex mutex_;  // the texts and the table
  std::optional<std::string> userId_, pushToken_;
  std::shared_ptr<OSSubscriptionStateObservable> observable_;
};

class OSEmailSubscriptionState : public std::enable_shared_from_this<OSEmailSubscriptionState> {
 public:
  // Reads "EMAIL_ADDRESS", "GT_REQUIRE_EMAIL_AUTH", "GT_EMAIL_AUTH_CODE" and "GT_EMAIL_PLAYER_ID".
  static std::shared_ptr<OSEmailSubscriptionState> init();
  void persist() const;
  std::shared_ptr<OSEmailSubscriptionState> copy() const;
  bool compare(const OSEmailSubscriptionState& other) const;

  bool requiresEmailAuth() const { return requiresEmailAuth_; }
  std::optional<std::string> emailUserId() const;
  std::optional<std::string> emailAddress() const;
  std::optional<std::string> emailAuthCode() const;
  bool subscribed() const { return emailUserId().has_value(); }

  // Notifies on every present id (a C++ text is never "the very object" stored).
  void setEmailUserId(std::optional<std::string> emailUserId);
  void setEmailAddress(std::optional<std::string> emailAddress);
  void setEmailAuthCode(std::optional<std::string> emailAuthCode);
  void setRequiresEmailAuth(bool value) { requiresEmailAuth_ = value; }

  std::shared_ptr<OSEmailSubscriptionStateObservable> observable();
  void setObservable(std::shared_ptr<OSEmailSubscriptionStateObservable> observable);

  std::string description() const;
  foundation::Dict toDictionary() const;

 private:
  std::atomic<bool> requiresEmailAuth_{false};
  mutable std::mutex mutex_;
  std::optional<std::string> emailUserId_, emailAddress_, emailAuthCode_;
  std::shared_ptr<OSEmailSubscriptionStateObservable> observable_;
};

// The snapshot handed out by getPermissionSubscriptionState: the live state objects.
class OSPermissionSubscriptionState {
 public:
  std::shared_ptr<OSPermissionState> permissionStatus() const;
  void setPermissionStatus(std::shared_ptr<OSPermissionState> state);
  std::shared_ptr<OSSubscriptionState> subscriptionStatus() const;
  void setSubscriptionStatus(std::shared_ptr<OSSubscriptionState> state);
  std::shared_ptr<OSEmailSubscriptionState> emailSubscriptionStatus() const;
  void setEmailSubscriptionStatus(std::shared_ptr<OSEmailSubscriptionState> state);

  std::string description() const;
  foundation::Dict toDictionary() const;

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<OSPermissionState> permission_;
  std::shared_ptr<OSSubscriptionState> subscription_;
  std::shared_ptr<OSEmailSubscriptionState> email_;
};

// Internal observers: each change of a current state becomes a change object
// for the application's observers; when one was registered, a copy of the
// state becomes the stored previous state and is persisted.
class OSPermissionChangedInternalObserver : public OSPermissionStateObserver {
 public:
  void onChanged(const std::shared_ptr<OSPermissionState>& state) override { fireChangesObserver(state); }
  static void fireChangesObserver(const std::shared_ptr<OSPermissionState>& state);
};
class OSSubscriptionChangedInternalObserver : public OSSubscriptionStateObserver {
 public:
  void onChanged(const std::shared_ptr<OSSubscriptionState>& state) override { fireChangesObserver(state); }
  static void fireChangesObserver(const std::shared_ptr<OSSubscriptionState>& state);
};
class OSEmailSubscriptionChangedInternalObserver : public OSEmailSubscriptionStateObserver {
 public:
  void onChanged(const std::shared_ptr<OSEmailSubscriptionState>& state) override { fireChangesObserver(state); }
  static void fireChangesObserver(const std::shared_ptr<OSEmailSubscriptionState>& state);
};

}  // namespace push
