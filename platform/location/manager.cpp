#include "platform/location/manager.h"

#include <atomic>
#include <utility>

#include "platform/dispatch/queue.h"
#include "platform/location/testing_reset.h"
#include "platform/os/profile.h"

namespace platform::location {
namespace {

std::atomic<AuthorizationStatus> status{AuthorizationStatus::not_determined};

std::mutex& live_mutex() {
  static std::mutex m;
  return m;
}

std::vector<std::weak_ptr<Manager>>& live() {
  static std::vector<std::weak_ptr<Manager>> managers;
  return managers;
}

}  // namespace

std::shared_ptr<Manager> Manager::make() {
  rt::Class* cls = rt::Runtime::shared().find(kManagerClass);
  if (!cls) return nullptr;
  auto manager = std::dynamic_pointer_cast<Manager>(cls->create());
  std::lock_guard lock(live_mutex());
  live().push_back(manager);
  return manager;
}

bool Manager::services_enabled() { return rt::Runtime::shared().find(kManagerClass) != nullptr; }
AuthorizationStatus Manager::authorization_status() { return status.load(); }

void Manager::request_always_authorization() { status = AuthorizationStatus::authorized_always; }

void Manager::request_when_in_use_authorization() {
  auto expected = AuthorizationStatus::not_determined;
  status.compare_exchange_strong(expected, AuthorizationStatus::authorized_when_in_use);
}

void Manager::start_updating() {
  std::lock_guard lock(mutex_);
  updating_ = true;
}

void Manager::stop_updating() {
  std::lock_guard lock(mutex_);
  updating_ = false;
}

bool Manager::updating() const {
  std::lock_guard lock(mutex_);
  return updating_;
}

void Manager::set_delegate(std::weak_ptr<ManagerDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

std::shared_ptr<ManagerDelegate> Manager::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_.lock();
}

void register_runtime_classes() {
  if (!os::profile().frameworks.contains("CoreLocation")) return;
  auto& runtime = rt::Runtime::shared();
  if (!runtime.find(kManagerClass)) {
    rt::ClassBuilder<Manager>(std::string(kManagerClass), "NSObject").image("CoreLocation").define(runtime);
  }
}

void system::set_location(double latitude, double longitude, std::optional<double> horizontal_accuracy,
                          std::optional<double> vertical_accuracy) {
  // The managers updating when the fix arrives get it.
  std::vector<std::shared_ptr<Manager>> managers;
  {
    std::lock_guard lock(live_mutex());
    std::erase_if(live(), [](const auto& weak) { return weak.expired(); });
    for (const auto& weak : live()) {
      if (auto m = weak.lock(); m && m->updating()) managers.push_back(std::move(m));
    }
  }
  const auto& defaults = os::profile().location;
  const Location fix{latitude, longitude, horizontal_accuracy.value_or(defaults.horizontal_accuracy),
                     vertical_accuracy.value_or(defaults.vertical_accuracy), foundation::Date::now()};
  dispatch::Queue::main().async([managers = std::move(managers), fix] {
    for (const auto& manager : managers) {
      if (auto delegate = manager->delegate()) delegate->did_update(*manager, {fix});
    }
  });
}

void reset_for_testing() {
  status = AuthorizationStatus::not_determined;
  std::lock_guard lock(live_mutex());
  live().clear();
}

}  // namespace platform::location
