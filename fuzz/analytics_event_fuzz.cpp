// Analytics event messages: bytes -> RIDUZEvent -> APMEvent -> message again.
// A decoded event must encode, and its message must decode to an event with
// the same name and origin.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "analytics/model/event.h"
#include "platform/dispatch/queue.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto message = wire::RIDUZEvent::initWithBuffer(std::span<const std::uint8_t>(data, size));
  if (message) {
    if (const auto event = analytics::APMEvent::initWithEventProto(message.get())) {
      const auto again = event->protoEvent();
      if (!again) std::abort();
      const auto bytes = again->protoBuffer();
      if (!bytes) std::abort();
      const auto decoded = wire::RIDUZEvent::initWithBuffer(*bytes);
      const auto back = decoded ? analytics::APMEvent::initWithEventProto(decoded.get()) : nullptr;
      if (!back || back->name() != event->name() || back->origin() != event->origin()) std::abort();
    }
  }
  // Refusals are logged through the monitor: let its queued work end before
  // the process may exit.
  platform::dispatch::wait_until_idle();
  return 0;
}
