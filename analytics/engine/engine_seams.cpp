// The process-wide slots of the engine's seams.
#include "analytics/engine_seams.h"

#include <mutex>

namespace analytics {

namespace {

// One slot: a shared pointer read and replaced under its own mutex.
template <class T>
class SeamSlot {
 public:
  void set(std::shared_ptr<T> seam) {
    std::lock_guard lock(mutex_);
    seam_ = std::move(seam);
  }
  std::shared_ptr<T> get() const {
    std::lock_guard lock(mutex_);
    return seam_;
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<T> seam_;
};

// Slots live for the process: queued engine work may read them at exit.
template <class T>
SeamSlot<T>& slot() {
  static SeamSlot<T>* shared = new SeamSlot<T>();
  return *shared;
}

}  // namespace

void APMInstallUploadSeam(std::shared_ptr<APMUploadSeam> seam) { slot<APMUploadSeam>().set(std::move(seam)); }
std::shared_ptr<APMUploadSeam> APMUploadSeamInstalled() { return slot<APMUploadSeam>().get(); }
void APMInstallSessionsSeam(std::shared_ptr<APMSessionsSeam> seam) { slot<APMSessionsSeam>().set(std::move(seam)); }
std::shared_ptr<APMSessionsSeam> APMSessionsSeamInstalled() { return slot<APMSessionsSeam>().get(); }
void APMInstallScreensSeam(std::shared_ptr<APMScreensSeam> seam) { slot<APMScreensSeam>().set(std::move(seam)); }
std::shared_ptr<APMScreensSeam> APMScreensSeamInstalled() { return slot<APMScreensSeam>().get(); }
void APMInstallCampaignsSeam(std::shared_ptr<APMCampaignsSeam> seam) { slot<APMCampaignsSeam>().set(std::move(seam)); }
std::shared_ptr<APMCampaignsSeam> APMCampaignsSeamInstalled() { return slot<APMCampaignsSeam>().get(); }
void APMInstallConditionalPropertiesSeam(std::shared_ptr<APMConditionalPropertiesSeam> seam) {
  slot<APMConditionalPropertiesSeam>().set(std::move(seam));
}
std::shared_ptr<APMConditionalPropertiesSeam> APMConditionalPropertiesSeamInstalled() {
  return slot<APMConditionalPropertiesSeam>().get();
}
void APMInstallLifetimeValueSeam(std::shared_ptr<APMLifetimeValueSeam> seam) {
  slot<APMLifetimeValueSeam>().set(std::move(seam));
}
std::shared_ptr<APMLifetimeValueSeam> APMLifetimeValueSeamInstalled() { return slot<APMLifetimeValueSeam>().get(); }
void APMInstallPurchasesSeam(std::shared_ptr<APMPurchasesSeam> seam) { slot<APMPurchasesSeam>().set(std::move(seam)); }
std::shared_ptr<APMPurchasesSeam> APMPurchasesSeamInstalled() { return slot<APMPurchasesSeam>().get(); }
void APMInstallSearchAdsSeam(std::shared_ptr<APMSearchAdsSeam> seam) { slot<APMSearchAdsSeam>().set(std::move(seam)); }
std::shared_ptr<APMSearchAdsSeam> APMSearchAdsSeamInstalled() { return slot<APMSearchAdsSeam>().get(); }

}  // namespace analytics
