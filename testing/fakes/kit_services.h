#pragma once
// The kit hosts: settings and onboarding on "settings.example.net", answers
// events on "answers.example.net", crash reports and the beta update check on
// "reports.example.net". No default routes yet: every request gets 404.
#include "testing/fakes/fake_service.h"

namespace testing::fakes {

class KitServices : public FakeService {
 public:
  static constexpr const char* kSettingsHost = "settings.example.net";
  static constexpr const char* kAnswersHost = "answers.example.net";
  static constexpr const char* kReportsHost = "reports.example.net";
  explicit KitServices(ServiceOptions options = {})
      : FakeService("kits", {kSettingsHost, kAnswersHost, kReportsHost}, options) {}
  ~KitServices() override { stop(); }
};

}  // namespace testing::fakes
