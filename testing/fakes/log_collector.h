#pragma once
// The log collection host "logs.example.net". No default routes yet: every
// request gets 404.
#include "testing/fakes/fake_service.h"

namespace testing::fakes {

class LogCollector : public FakeService {
 public:
  static constexpr const char* kHost = "logs.example.net";
  explicit LogCollector(ServiceOptions options = {}) : FakeService("logs", {kHost}, options) {}
  ~LogCollector() override { stop(); }
};

}  // namespace testing::fakes
