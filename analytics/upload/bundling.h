#pragma once
// Bundling: raw events are grouped by metadata fingerprint and hour, sampled,
// checked against the blacklist and per-event limits, given audience results,
// and written to the upload queue as one gzip bundle per group.
//
// Threads: the engine's worker queue "com.dozada.fira.worker".

namespace analytics {

class APMMeasurement;

// Bundles the oldest group of raw events in one transaction. True when a
// bundle was made and more groups may follow; false when nothing (more) was
// bundled or the transaction failed.
bool bundleRawEvents(APMMeasurement& engine);

}  // namespace analytics
