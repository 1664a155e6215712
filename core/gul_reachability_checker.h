#pragma once
// GULReachabilityChecker: follows whether one host is reachable and tells its
// delegate when the derived status changes.
//
// Threads: start, stop and the setters belong to the owner's thread (the
// main thread in the app); reports and delegate calls run on the main run loop.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/dispatch/run_loop.h"

namespace core {

enum GULReachabilityStatus : int {
  kGULReachabilityUnknown = 0,
  kGULReachabilityNotReachable = 1,
  kGULReachabilityViaWifi = 2,
  kGULReachabilityViaCellular = 3,
};

class GULReachabilityChecker;

class GULReachabilityDelegate {
 public:
  virtual ~GULReachabilityDelegate() = default;
  // Whether the object answers reachability:statusChanged: (responds-to).
  virtual bool implements() const { return true; }
  virtual void reachabilityStatusChanged(GULReachabilityChecker& reachability, GULReachabilityStatus status) = 0;
};

// An opaque platform reachability reference.
using GULReachabilityRef = std::shared_ptr<void>;
using GULReachabilityCallback = std::function<void(std::uint32_t flags)>;

// The five platform functions the checker runs on. By default they are
// net::Reachability::for_host, set_callback, schedule (reporting the current
// flags once) and unschedule, and dropping the reference.
struct GULReachabilityApi {
  std::function<GULReachabilityRef(std::string_view host)> createWithNameFn;
  std::function<bool(const GULReachabilityRef&, GULReachabilityCallback)> setCallbackFn;
  std::function<bool(const GULReachabilityRef&, platform::dispatch::RunLoop&)> scheduleWithRunLoopFn;
  std::function<bool(const GULReachabilityRef&, platform::dispatch::RunLoop&)> unscheduleFromRunLoopFn;
  std::function<void(GULReachabilityRef)> releaseFn;

  static GULReachabilityApi platformApi();
};

class GULReachabilityChecker : public std::enable_shared_from_this<GULReachabilityChecker> {
 public:
  // nullptr (and error 902001) for an empty host.
  static std::shared_ptr<GULReachabilityChecker> initWithReachabilityDelegate(
      std::weak_ptr<GULReachabilityDelegate> delegate, std::string_view host);
  ~GULReachabilityChecker();
  GULReachabilityChecker(const GULReachabilityChecker&) = delete;
  GULReachabilityChecker& operator=(const GULReachabilityChecker&) = delete;

  // True when running afterwards (also when it already was).
  bool start();
  void stop();

  static GULReachabilityStatus statusForFlags(std::uint32_t flags);
  void reachabilityFlagsChanged(std::uint32_t flags);

  // A delegate that does not implement the protocol is refused (902005).
  void setReachabilityDelegate(std::weak_ptr<GULReachabilityDelegate> delegate);
  std::weak_ptr<GULReachabilityDelegate> reachabilityDelegate() const { return reachabilityDelegate_; }
  // Refused while running (902000).
  void setReachabilityApi(GULReachabilityApi api);
  const GULReachabilityApi& reachabilityApi() const { return reachabilityApi_; }

  GULReachabilityStatus reachabilityStatus() const { return reachabilityStatus_; }
  bool isActive() const { return reachability_ != nullptr; }
  const std::string& host() const { return host_; }

  struct Passkey {
   private:
    Passkey() = default;
    friend class GULReachabilityChecker;
  };
  GULReachabilityChecker(Passkey, std::weak_ptr<GULReachabilityDelegate> delegate, std::string host);

 private:
  GULReachabilityStatus reachabilityStatus_ = kGULReachabilityUnknown;
  GULReachabilityApi reachabilityApi_;
  GULReachabilityRef reachability_;
  std::string host_;
  std::weak_ptr<GULReachabilityDelegate> reachabilityDelegate_;
};

}  // namespace core
