#pragma once
// Test hook: make the next matching FileManager call fail with an errno.
#include <filesystem>

#include "platform/os/file_faults.h"

namespace platform::testing {

using os::FileOp;

// The next FileManager call of `op` on a path under `path_prefix` fails with `error_number`.
void fail_next(FileOp op, std::filesystem::path path_prefix, int error_number);

}  // namespace platform::testing
