#pragma once
// State shared by the simulator's sources.
#include <functional>

namespace platform::sim::detail {

// Console capture: installs the console sinks (idempotent) / restores them.
void install_console_capture();
void remove_console_capture();
// Page observer bookkeeping for the player's waits.
void install_page_observer();
std::size_t pages_finished();
void reset_output();
void reset_services();
void reset_app_image();
void reset_device();

}  // namespace platform::sim::detail
