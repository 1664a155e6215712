#pragma once

namespace platform::ui {

// Forgets the shared application, the defined storyboards, the device
// orientation and the main-thread checker's test switch.
void reset_for_testing();

}  // namespace platform::ui
