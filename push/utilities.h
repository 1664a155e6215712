#pragma once
// The few helper utilities the push core needs from the shared helper class:
// system-version checks and main-thread dispatch.
#include <functional>
#include <string_view>

namespace push {

// The system version (floating point) compared with a threshold such as 8.0.
bool isIOSVersionGreaterOrEqual(double version);

// Queues the block on the main queue.
void dispatch_async_on_main_queue(std::function<void()> block);

// Runs the block on the main run loop `delay` seconds from now (the delay
// starts at the call, not when the main thread next runs). `target` and
// `what` identify the request for cancelMainThreadPerform.
void performOnMainThreadAfterDelay(const void* target, std::string_view what, double delay,
                                   std::function<void()> block);
void cancelMainThreadPerform(const void* target, std::string_view what);

}  // namespace push
