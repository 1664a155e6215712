// Bundling of raw events into the upload queue.
#include "analytics/upload/bundling.h"

#include "analytics/engine/measurement.h"

namespace analytics {

bool bundleRawEvents(APMMeasurement& engine) {
  (void)engine;
  return false;
}

}  // namespace analytics
