// Property-list reader: XML and binary input of any shape.
#include <cstdint>
#include <span>

#include "platform/foundation/plist.h"

namespace plist = platform::foundation::plist;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto value = plist::parse(std::span<const std::uint8_t>(data, size));
  if (value) (void)plist::serialize(*value, plist::Format::binary);
  return 0;
}
