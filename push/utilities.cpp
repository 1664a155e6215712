#include "push/utilities.h"

#include <cstdlib>
#include <string>

#include "platform/dispatch/dispatch.h"
#include "platform/ui/application.h"

namespace push {

namespace dispatch = platform::dispatch;

bool isIOSVersionGreaterOrEqual(double version) {
  const std::string text = platform::ui::Device::current().system_version();
  return std::strtod(text.c_str(), nullptr) >= version;
}

void dispatch_async_on_main_queue(std::function<void()> block) { dispatch::Queue::main().async(std::move(block)); }

void performOnMainThreadAfterDelay(const void* target, std::string_view what, double delay,
                                   std::function<void()> block) {
  dispatch::RunLoop::main().perform_after(target, what, dispatch::Duration(delay), std::move(block));
}

void cancelMainThreadPerform(const void* target, std::string_view what) {
  dispatch::RunLoop::main().cancel_perform_requests(target, what);
}

}  // namespace push
