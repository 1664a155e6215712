#pragma once
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <mutex>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/testing/manual_clock.h"
#include "platform/testing/reset.h"

namespace platform::dispatch::test {

using namespace std::chrono_literals;
using platform::testing::ManualClock;

class DispatchTest : public ::testing::Test {
 protected:
  void TearDown() override {
    wait_until_idle();
    platform::testing::reset();
  }
};

// A vector several threads append to.
template <class T>
class Log {
 public:
  void add(T v) {
    std::lock_guard lk(m_);
    items_.push_back(std::move(v));
  }
  std::vector<T> items() const {
    std::lock_guard lk(m_);
    return items_;
  }
  std::size_t size() const {
    std::lock_guard lk(m_);
    return items_.size();
  }

 private:
  mutable std::mutex m_;
  std::vector<T> items_;
};

inline pid_t this_tid() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

}  // namespace platform::dispatch::test
