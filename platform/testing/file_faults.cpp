#include "platform/testing/file_faults.h"

namespace platform::testing {

void fail_next(FileOp op, std::filesystem::path path_prefix, int error_number) {
  os::fail_next(op, std::move(path_prefix), error_number);
}

}  // namespace platform::testing
