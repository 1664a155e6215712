#pragma once
// The main-thread checker: a UI call off the main thread writes
// "[platform] UI API called off the main thread: <function>" to the system
// log and goes on. Tests can make it fatal (std::abort after the line).
namespace platform::ui {

void check_main_thread(const char* function);
void set_main_thread_check_fatal(bool fatal);

}  // namespace platform::ui
