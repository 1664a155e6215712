#include "platform/runtime/errors.h"

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/runtime/class.h"
#include "platform/runtime/imp.h"
#include "platform/runtime/object.h"

namespace platform::rt {

std::string pointer_text(const void* address) {
  char text[2 + 16 + 1];
  std::snprintf(text, sizeof text, "0x%" PRIxPTR, reinterpret_cast<std::uintptr_t>(address));
  return text;
}

namespace detail {
namespace {

std::string message_text(char side, std::string_view class_name, SelId sel) {
  std::string text(1, side);
  text += '[';
  text += class_name;
  text += ' ';
  text += sel.name();
  text += "]: ";
  return text;
}

// The most derived object's address, as the object's own description shows it.
const void* address_of(const Object& receiver) { return dynamic_cast<const void*>(&receiver); }

}  // namespace

void throw_unrecognized(const Object& receiver, SelId sel) {
  throw UnrecognizedSelector(message_text('-', receiver.isa().name(), sel) +
                             "unrecognized selector sent to instance " + pointer_text(address_of(receiver)));
}

void throw_unrecognized(const Class& receiver, SelId sel) {
  throw UnrecognizedSelector(message_text('+', receiver.name(), sel) + "unrecognized selector sent to class " +
                             pointer_text(&receiver));
}

void throw_signature_mismatch(const Object& receiver, SelId sel) {
  throw SignatureMismatch(message_text('-', receiver.isa().name(), sel) +
                          "implementation signature differs from the selector's");
}

void throw_signature_mismatch(const Class& receiver, SelId sel) {
  throw SignatureMismatch(message_text('+', receiver.name(), sel) +
                          "implementation signature differs from the selector's");
}

}  // namespace detail
}  // namespace platform::rt
