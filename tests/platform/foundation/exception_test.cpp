#include "platform/foundation/exception.h"

#include <gtest/gtest.h>

#include <atomic>
#include <exception>
#include <string>
#include <thread>

#include "platform/testing/reset.h"

namespace {

using platform::foundation::Dict;
using platform::foundation::Exception;
using platform::foundation::UncaughtExceptionHandler;
using platform::foundation::Value;

class ExceptionTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::testing::reset(); }
};

[[gnu::noinline]] void raise_from_a_helper() {
  Exception::raise("FABException", "[Divivi] Cannot find Info.plist.", Dict{{"key", Value("Divivi")}});
}

TEST_F(ExceptionTest, RaiseThrowsTheNamedExceptionWithItsCallStack) {
  try {
    raise_from_a_helper();
    FAIL() << "raise returned";
  } catch (const Exception& e) {
    EXPECT_EQ(e.name, "FABException");
    EXPECT_EQ(e.reason, "[Divivi] Cannot find Info.plist.");
    EXPECT_STREQ(e.what(), "[Divivi] Cannot find Info.plist.");
    EXPECT_EQ(e.user_info, (Dict{{"key", Value("Divivi")}}));
    // The raising thread's stack: several frames, none of them null.
    ASSERT_GE(e.call_stack_return_addresses.size(), 3u);
    for (auto a : e.call_stack_return_addresses) EXPECT_NE(a, 0u);
  }
}

TEST_F(ExceptionTest, CaughtAsStdExceptionItGivesTheReason) {
  try {
    Exception::raise("com.davidize.instanceid", "Could not configure Davidize InstanceID. GCM_SENDER_ID must not be nil or empty.");
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Could not configure Davidize InstanceID. GCM_SENDER_ID must not be nil or empty.");
    ASSERT_NE(dynamic_cast<const Exception*>(&e), nullptr);
  }
}

TEST_F(ExceptionTest, ExceptionCrossesAThreadThroughExceptionPtr) {
  std::exception_ptr caught;
  std::thread([&] {
    try {
      Exception::raise("N", "R");
    } catch (...) {
      caught = std::current_exception();
    }
  }).join();
  ASSERT_TRUE(caught);
  try {
    std::rethrow_exception(caught);
  } catch (const Exception& e) {
    EXPECT_EQ(e.name, "N");
    EXPECT_FALSE(e.call_stack_return_addresses.empty());
  }
}

std::atomic<int> g_handled{0};
std::string g_handled_name;
void count_handler(const Exception& e) {
  g_handled_name = e.name;
  ++g_handled;
}
void other_handler(const Exception&) {}

TEST_F(ExceptionTest, UncaughtHandlerSlotHoldsOneFunction) {
  EXPECT_EQ(platform::foundation::uncaught_exception_handler(), nullptr);
  platform::foundation::set_uncaught_exception_handler(&count_handler);
  EXPECT_EQ(platform::foundation::uncaught_exception_handler(), &count_handler);

  // What the application's main sequence does with an escaping exception.
  try {
    Exception::raise("FABException", "reason");
  } catch (const Exception& e) {
    if (UncaughtExceptionHandler h = platform::foundation::uncaught_exception_handler()) h(e);
  }
  EXPECT_EQ(g_handled.load(), 1);
  EXPECT_EQ(g_handled_name, "FABException");

  platform::foundation::set_uncaught_exception_handler(&other_handler);
  EXPECT_EQ(platform::foundation::uncaught_exception_handler(), &other_handler);
  platform::foundation::set_uncaught_exception_handler(nullptr);
  EXPECT_EQ(platform::foundation::uncaught_exception_handler(), nullptr);
}

TEST_F(ExceptionTest, ResetClearsTheHandler) {
  platform::foundation::set_uncaught_exception_handler(&count_handler);
  platform::testing::reset();
  EXPECT_EQ(platform::foundation::uncaught_exception_handler(), nullptr);
}

}  // namespace
