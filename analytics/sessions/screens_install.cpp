// The screens and campaigns seams and their installation.
#include "analytics/sessions/screens_install.h"

#include <memory>

#include "analytics/engine_seams.h"
#include "analytics/identity/environment.h"
#include "analytics/sessions/app_delegate_interceptor.h"
#include "analytics/sessions/deep_links.h"
#include "analytics/sessions/screen_reporter.h"

namespace analytics {

namespace {

class ScreenReporterSeam : public APMScreensSeam {
 public:
  platform::foundation::Dict screenParameters() override {
    return APMScreenViewReporter::sharedInstance()->screenParameters();
  }
  void setScreenName(const std::optional<std::string>& screenName,
                     const std::optional<std::string>& screenClass) override {
    APMScreenViewReporter::sharedInstance()->setScreenName(screenName, screenClass);
  }
};

}  // namespace

void APMInstallScreensAndCampaigns() {
  APMAppDelegateInterceptor::registerRuntimeClass();
  if (!APMScreensSeamInstalled()) APMInstallScreensSeam(std::make_shared<ScreenReporterSeam>());
  if (!APMCampaignsSeamInstalled()) APMInstallCampaignsSeam(std::make_shared<APMDeepLinks>());
  APMSetAppActiveSource([] { return APMScreenViewReporter::sharedInstance()->isAppActive(); });
}

}  // namespace analytics
