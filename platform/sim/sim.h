#pragma once
// Booting the simulated device with every platform module the profile provides.
#include <filesystem>

#include "platform/foundation/expected.h"
#include "platform/os/system.h"

namespace platform::sim {

// os::boot, then the runtime classes of ui, net, notify, store, location and
// web as the profile lists their frameworks; the calling thread becomes the
// main thread. Installs the console capture (console.h) and the page
// observer the scenario player waits on. A failed os::boot is returned and
// nothing else is done.
foundation::Expected<void> boot(const std::filesystem::path& device_dir, const std::filesystem::path& bundle_dir,
                                os::BootOptions options = {});

// Drops the simulator's own state (app image, line sink, service requests,
// console lines, device bookkeeping) and restores the console sinks.
// Call before platform::testing::reset().
void reset_for_testing();

}  // namespace platform::sim
