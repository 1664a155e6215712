// The reachability checker over the platform's reachability references.
#include "core/gul_reachability_checker.h"

#include "core/gul_message_code.h"
#include "core/logger.h"
#include "platform/net/reachability.h"

namespace core {

namespace {

namespace net = platform::net;
namespace rf = net::reach_flags;
using platform::dispatch::RunLoop;

constexpr std::string_view kService = "[GULReachability]";

std::shared_ptr<net::Reachability> platformRef(const GULReachabilityRef& ref) {
  return std::static_pointer_cast<net::Reachability>(ref);
}

const char* statusText(GULReachabilityStatus status) {
  switch (status) {
    case kGULReachabilityUnknown: return "Unknown";
    case kGULReachabilityNotReachable: return "Disconnected";
    case kGULReachabilityViaWifi:
    case kGULReachabilityViaCellular: return "Connected";
  }
  return "Unknown";
}

}  // namespace

GULReachabilityApi GULReachabilityApi::platformApi() {
  GULReachabilityApi api;
  api.createWithNameFn = [](std::string_view host) -> GULReachabilityRef { return net::Reachability::for_host(host); };
  api.setCallbackFn = [](const GULReachabilityRef& ref, GULReachabilityCallback callback) {
    auto r = platformRef(ref);
    return r && r->set_callback(std::move(callback));
  };
  // A host-name target reports its flags once when its name resolves; the
  // platform's reachability reports only changes unless asked for the current flags.
  api.scheduleWithRunLoopFn = [](const GULReachabilityRef& ref, RunLoop& loop) {
    auto r = platformRef(ref);
    return r && r->schedule(loop, {.report_current = true});
  };
  api.unscheduleFromRunLoopFn = [](const GULReachabilityRef& ref, RunLoop& loop) {
    auto r = platformRef(ref);
    return r && r->unschedule(loop);
  };
  api.releaseFn = [](GULReachabilityRef) {};
  return api;
}

GULReachabilityChecker::GULReachabilityChecker(Passkey, std::weak_ptr<GULReachabilityDelegate> delegate,
                                               std::string host)
    : reachabilityApi_(GULReachabilityApi::platformApi()), host_(std::move(host)) {
  setReachabilityDelegate(std::move(delegate));
}

std::shared_ptr<GULReachabilityChecker> GULReachabilityChecker::initWithReachabilityDelegate(
    std::weak_ptr<GULReachabilityDelegate> delegate, std::string_view host) {
  if (host.empty()) {
    GULLogErrorMessage(kService, false, GULMessageCode("I-REA", 902001), "Invalid host specified");
    return nullptr;
  }
  return std::make_shared<GULReachabilityChecker>(Passkey{}, std::move(delegate), std::string(host));
}

GULReachabilityChecker::~GULReachabilityChecker() {
  reachabilityDelegate_.reset();
  stop();
}

bool GULReachabilityChecker::start() {
  if (!reachability_) {
    reachability_ = reachabilityApi_.createWithNameFn ? reachabilityApi_.createWithNameFn(host_) : nullptr;
    if (!reachability_) return false;
    std::weak_ptr<GULReachabilityChecker> weak = weak_from_this();
    GULReachabilityCallback callback = [weak](std::uint32_t flags) {
      if (auto self = weak.lock()) self->reachabilityFlagsChanged(flags);
    };
    bool ok = reachabilityApi_.setCallbackFn && reachabilityApi_.setCallbackFn(reachability_, std::move(callback));
    ok = ok && reachabilityApi_.scheduleWithRunLoopFn &&
         reachabilityApi_.scheduleWithRunLoopFn(reachability_, RunLoop::main());
    if (!ok) {
      if (reachabilityApi_.releaseFn) reachabilityApi_.releaseFn(std::move(reachability_));
      reachability_ = nullptr;
      GULLogErrorMessage(kService, false, GULMessageCode("I-REA", 902002), "Failed to start reachability handle");
      return false;
    }
  }
  GULLogDebugMessage(kService, false, GULMessageCode("I-REA", 902003), "Monitoring the network status");
  return true;
}

void GULReachabilityChecker::stop() {
  if (!reachability_) return;
  reachabilityStatus_ = kGULReachabilityUnknown;
  if (reachabilityApi_.unscheduleFromRunLoopFn) reachabilityApi_.unscheduleFromRunLoopFn(reachability_, RunLoop::main());
  if (reachabilityApi_.releaseFn) reachabilityApi_.releaseFn(std::move(reachability_));
  reachability_ = nullptr;
}

GULReachabilityStatus GULReachabilityChecker::statusForFlags(std::uint32_t flags) {
  if (!(flags & rf::reachable)) return kGULReachabilityNotReachable;
  const auto connected = (flags & rf::is_wwan) ? kGULReachabilityViaCellular : kGULReachabilityViaWifi;
  if (!(flags & rf::connection_required)) return connected;
  if (!(flags & (rf::connection_on_traffic | rf::connection_on_demand))) return kGULReachabilityNotReachable;
  if (flags & rf::intervention_required) return kGULReachabilityNotReachable;
  return connected;
}

void GULReachabilityChecker::reachabilityFlagsChanged(std::uint32_t flags) {
  const GULReachabilityStatus status = statusForFlags(flags);
  if (status == reachabilityStatus_) return;
  GULLogDebugMessage(kService, false, GULMessageCode("I-REA", 902004),
                     "Network status has changed. Code:" + std::to_string(static_cast<int>(status)) +
                         ", status:" + statusText(status));
  reachabilityStatus_ = status;
  if (auto delegate = reachabilityDelegate_.lock()) delegate->reachabilityStatusChanged(*this, status);
}

void GULReachabilityChecker::setReachabilityDelegate(std::weak_ptr<GULReachabilityDelegate> delegate) {
  auto strong = delegate.lock();
  if (strong && !strong->implements()) {
    GULLogErrorMessage(kService, false, GULMessageCode("I-NET", 902005),
                       "Reachability delegate doesn't conform to Reachability protocol.");
    return;
  }
  reachabilityDelegate_ = std::move(delegate);
}

void GULReachabilityChecker::setReachabilityApi(GULReachabilityApi api) {
  if (reachability_) {
    GULLogErrorMessage(kService, false, GULMessageCode("I-REA", 902000),
                       "Cannot change reachability API while reachability is running. Call stop first.");
    return;
  }
  reachabilityApi_ = std::move(api);
}

}  // namespace core
