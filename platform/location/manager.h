#pragma once
// The location manager (runtime class "CLLocationManager"), registered only
// when the profile lists CoreLocation. Fixes come from the OS side.
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/foundation/error.h"
#include "platform/foundation/value.h"
#include "platform/runtime/runtime.h"

namespace platform::location {

enum class AuthorizationStatus { not_determined = 0, restricted = 1, denied = 2, authorized_always = 3, authorized_when_in_use = 4 };

struct Location {
  double latitude = 0, longitude = 0;
  double horizontal_accuracy = 0, vertical_accuracy = 0;  // metres
  foundation::Date timestamp;
};

class Manager;

class ManagerDelegate {
 public:
  virtual ~ManagerDelegate() = default;
  virtual void did_update(Manager& manager, std::vector<Location> locations) = 0;
  virtual void did_fail(Manager& /*manager*/, foundation::Error /*error*/) {}
};

class Manager : public rt::Object {
 public:
  explicit Manager(rt::Class& cls) : rt::Object(cls) {}
  // A manager of the registered class; nullptr when CoreLocation is absent.
  static std::shared_ptr<Manager> make();

  static bool services_enabled();  // the class is registered
  static AuthorizationStatus authorization_status();
  // Granted at once (the device has no prompt for location).
  void request_always_authorization();
  void request_when_in_use_authorization();

  void start_updating();
  void stop_updating();
  bool updating() const;

  void set_delegate(std::weak_ptr<ManagerDelegate> delegate);  // weak
  std::shared_ptr<ManagerDelegate> delegate() const;
  bool allows_background_location_updates = false;

 private:
  mutable std::mutex mutex_;
  std::weak_ptr<ManagerDelegate> delegate_;
  bool updating_ = false;
};

inline constexpr std::string_view kManagerClass = "CLLocationManager";

void register_runtime_classes();

namespace system {
// A fix: every manager updating now gets did_update on its delegate, on the main thread.
// Accuracies not given are the device profile's.
void set_location(double latitude, double longitude, std::optional<double> horizontal_accuracy = std::nullopt,
                  std::optional<double> vertical_accuracy = std::nullopt);
}  // namespace system

}  // namespace platform::location
