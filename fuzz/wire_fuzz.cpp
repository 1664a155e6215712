// Decodes arbitrary bytes as every message type; whatever decodes must
// encode, and its encoding must decode back to the same bytes.

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/foundation/console.h"
#include "wire/diagnostics/diagnostics.h"
#include "wire/measurement/measurement.h"

namespace {

template <class C>
void round_trip(std::span<const std::uint8_t> data) {
  auto message = C::initWithBuffer(data);
  if (!message) return;
  auto bytes = message->protoBuffer();
  if (!bytes) __builtin_trap();
  auto again = C::initWithBuffer(*bytes);
  if (!again) __builtin_trap();
  auto bytes_again = again->protoBuffer();
  if (!bytes_again || *bytes_again != *bytes) __builtin_trap();
  auto copy = C::initWithMessageInfo(message->messageInfo());
  if (!copy || copy->protoBuffer() != bytes) __builtin_trap();
}

template <class... C>
void round_trip_all(std::span<const std::uint8_t> data) {
  (round_trip<C>(data), ...);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool quiet = [] {
    namespace console = platform::foundation::console;
    console::set_out_sink([](std::string_view) {});
    console::set_log_sink([](std::string_view) {});
    return true;
  }();
  (void)quiet;
  using namespace wire;
  round_trip_all<RIDUZAudience, RIDUZAudienceLeafFilterResult, RIDUZDynamicFilterResultTimestamp, RIDUZEvent,
                 RIDUZEventConfig, RIDUZEventFilter, RIDUZEventParam, RIDUZFilter, RIDUZMeasurementBatch,
                 RIDUZMeasurementBundle, RIDUZMeasurementConfig, RIDUZNumberFilter, RIDUZPropertyFilter,
                 RIDUZResultData, RIDUZSequenceFilterResultTimestamp, RIDUZSetting, RIDUZStringFilter,
                 RIDUZUserAttribute, CLRPBClientInfo, CLRPBIosClientInfo, CLRPBLogEvent, CLRPBLogRequest,
                 FIRPBErrorInfo, FIRPBICoreConfiguration>({data, size});
  return 0;
}
