// The ad exposure reporter: per-unit and total exposure events.
#include "analytics/sessions/ad_exposure_reporter.h"

namespace analytics {

struct APMAdExposureReporter::State {};

APMAdExposureReporter::APMAdExposureReporter(Passkey)
    : queue_(platform::dispatch::Queue::serial("APMAdExposureReporter")), state_(std::make_unique<State>()) {}
std::shared_ptr<APMAdExposureReporter> APMAdExposureReporter::sharedInstance() {
  static const auto instance = create();
  return instance;
}
std::shared_ptr<APMAdExposureReporter> APMAdExposureReporter::create() {
  return std::make_shared<APMAdExposureReporter>(Passkey{});
}
APMAdExposureReporter::~APMAdExposureReporter() = default;
void APMAdExposureReporter::beginAdUnitExposure(const std::string&) {}
void APMAdExposureReporter::endAdUnitExposure(const std::string&) {}
void APMAdExposureReporter::logExposureEventsWithScreenParameters(const platform::foundation::Dict&) {}
void APMAdExposureReporter::handleScreenDidChangeFromScreen(const ScreenParameters&, const ScreenParameters&) {}
void APMAdExposureReporter::handleEngagementTimer() {}
void APMAdExposureReporter::handleAppDidBecomeActive() {}
void APMAdExposureReporter::handleAppWillResignActiveWithScreen(const ScreenParameters&) {}
double APMAdExposureReporter::currentTime() { return 0; }
void APMAdExposureReporter::logExposureEventsOnSerialQueue(double, const platform::foundation::Dict&) {}
void APMAdExposureReporter::logAdExposureEventOnSerialQueue(double, const platform::foundation::Dict&) {}
void APMAdExposureReporter::logAdUnitExposureEventOnSerialQueue(const std::string&, double,
                                                                const platform::foundation::Dict&) {}
void APMAdExposureReporter::updateStartTimesOnSerialQueue(double) {}
void APMAdExposureReporter::observeEngagementTimer() {}

}  // namespace analytics
