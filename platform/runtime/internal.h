#pragma once

// Shared between the runtime's own sources; not part of its interface.

#include <shared_mutex>

namespace platform::rt::detail {

// Guards every method table and the registry.
std::shared_mutex& table_mutex();

}  // namespace platform::rt::detail
