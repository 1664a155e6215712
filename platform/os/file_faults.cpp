#include "platform/os/file_faults.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "platform/os/detail.h"

namespace platform::os {

namespace {

struct Fault {
  FileOp op;
  std::filesystem::path prefix;
  int error_number;
};

struct Faults {
  std::mutex m;
  std::vector<Fault> pending;
};

Faults& faults() {
  static Faults f;
  return f;
}

bool has_prefix(const std::filesystem::path& path, const std::filesystem::path& prefix) {
  auto p = path.lexically_normal(), q = prefix.lexically_normal();
  auto pi = p.begin();
  for (const auto& part : q) {
    if (part.empty()) continue;  // trailing separator of a folder prefix
    if (pi == p.end() || *pi != part) return false;
    ++pi;
  }
  return true;
}

}  // namespace

void fail_next(FileOp op, std::filesystem::path path_prefix, int error_number) {
  std::lock_guard lock(faults().m);
  faults().pending.push_back({op, std::move(path_prefix), error_number});
}

void clear_file_faults() {
  std::lock_guard lock(faults().m);
  faults().pending.clear();
}

std::optional<int> take_file_fault(FileOp op, const std::filesystem::path& path) {
  std::lock_guard lock(faults().m);
  auto& list = faults().pending;
  auto it = std::find_if(list.begin(), list.end(), [&](const Fault& f) {
    return (f.op == FileOp::any || f.op == op) && has_prefix(path, f.prefix);
  });
  if (it == list.end()) return std::nullopt;
  int e = it->error_number;
  list.erase(it);
  return e;
}

namespace detail {
void reset_file_faults() { clear_file_faults(); }
}  // namespace detail

}  // namespace platform::os
