#pragma once
// The measurement engine. So far only its process-wide monitor, which every
// analytics class logs through; the engine itself joins this class later.
// Callable from any thread.
#include "analytics/monitor/monitor.h"

namespace analytics {

class APMMeasurement {
 public:
  // One monitor per process, made at first use with the library version.
  static APMMonitor& monitor();
};

}  // namespace analytics
