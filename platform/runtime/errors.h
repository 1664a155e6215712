#pragma once

#include <stdexcept>
#include <string>

namespace platform::rt {

// Sent a selector that the receiver's chain does not implement, or whose entry
// holds an empty implementation. The message reads
//   -[Class selector]: unrecognized selector sent to instance 0x...
//   +[Class selector]: unrecognized selector sent to class 0x...
struct UnrecognizedSelector : std::logic_error {
  using std::logic_error::logic_error;
};

// A typed call met an implementation made for another signature (or for the
// other side: instance against class).
struct SignatureMismatch : std::logic_error {
  using std::logic_error::logic_error;
};

// "0x" followed by the address in lower-case hex, as objects print themselves.
std::string pointer_text(const void* address);

}  // namespace platform::rt
