#pragma once
// The JSON values of the fakes and the harness (request bodies, canned
// answers, device profiles); tests take them from here, not from the JSON
// library itself. Any thread.
#include <nlohmann/json.hpp>
