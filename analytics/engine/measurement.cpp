// The measurement engine's process-wide monitor.
#include "analytics/engine/measurement.h"

#include "analytics/support/library_version.h"

namespace analytics {

APMMonitor& APMMeasurement::monitor() {
  // Lives for the process: queued work may still reach it while the process ends.
  static APMMonitor* shared = new APMMonitor(APMLibraryVersion());
  return *shared;
}

}  // namespace analytics
