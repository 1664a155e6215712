#pragma once
// The log collection host "logs.example.net": POST "/log" answers an empty
// 200 (the record keeps the gunzipped body); everything else gets 404.
#include "testing/fakes/fake_service.h"

namespace testing::fakes {

class LogCollector : public FakeService {
 public:
  static constexpr const char* kHost = "logs.example.net";
  static constexpr const char* kLogPath = "/log";
  explicit LogCollector(ServiceOptions options = {}) : FakeService("logs", {kHost}, options) {
    route("POST", kLogPath, empty(200));
  }
  ~LogCollector() override { stop(); }
};

}  // namespace testing::fakes
