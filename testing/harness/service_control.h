#pragma once
// The fakes' side of the simulator's service control: scenario `route` lines
// script the answers of loopback fakes, and `reset-routes` or the end of the
// scenario removes them. Installed by appsim and by testing::Harness; any
// thread (the calls come from the main thread).
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/services.h"
#include "testing/fakes/fake_service.h"

namespace testing {

// A scenario path ("*" for any text, everything else literal) as the whole-path
// regex of a fake route.
std::string path_pattern(std::string_view path);
fakes::ScriptedAnswer to_scripted_answer(const platform::sim::ServiceAnswer& answer);

// Scripts answers on `services`, found by their name; a reset removes every
// scripted answer of them (the fakes' own overrides stay). The services must
// outlive the control: sim::set_service_control({}) ends it.
void install_service_control(std::vector<fakes::FakeService*> services);

}  // namespace testing
