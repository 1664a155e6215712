#pragma once
// The analytics collection host "analytics.example.net" (measurement uploads
// and configuration fetches). No default routes yet: every request gets 404.
#include "testing/fakes/fake_service.h"

namespace testing::fakes {

class AnalyticsCollector : public FakeService {
 public:
  static constexpr const char* kHost = "analytics.example.net";
  explicit AnalyticsCollector(ServiceOptions options = {}) : FakeService("analytics", {kHost}, options) {}
  ~AnalyticsCollector() override { stop(); }
};

}  // namespace testing::fakes
