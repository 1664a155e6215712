#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "platform/foundation/value.h"

namespace platform::foundation {

// A named exception, thrown as a C++ exception. Subsystems raise it for their
// own fatal conditions ("FABException", ...); the crash reporter records it.
struct Exception : std::exception {
  std::string name;
  std::string reason;
  Dict user_info;
  // Return addresses of the raising thread's stack, innermost first; filled by raise().
  std::vector<std::uintptr_t> call_stack_return_addresses;

  Exception() = default;
  Exception(std::string n, std::string r, Dict info = {})
      : name(std::move(n)), reason(std::move(r)), user_info(std::move(info)) {}

  const char* what() const noexcept override { return reason.c_str(); }

  // Builds the exception, records the call stack and throws it.
  [[noreturn]] static void raise(std::string name, std::string reason, Dict user_info = {});
};

// Called by the application's main sequence with an Exception that escaped it,
// before the process terminates. A plain function pointer; nullptr = none.
using UncaughtExceptionHandler = void (*)(const Exception&);
void set_uncaught_exception_handler(UncaughtExceptionHandler handler);
UncaughtExceptionHandler uncaught_exception_handler();

}  // namespace platform::foundation
