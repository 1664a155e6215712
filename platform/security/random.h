#pragma once

#include <cstdint>
#include <span>

#include "platform/security/status.h"

namespace platform::security {

// Fills the span from OpenSSL's CSPRNG. status::ok, or status::allocate when
// the generator fails (the span is then zeroed).
Status random_bytes(std::span<std::uint8_t> out);

// Uniform 32-bit value from the CSPRNG.
std::uint32_t random_u32();

// Uniform in [0, upper) without modulo bias (rejection sampling); 0 when upper < 2.
std::uint32_t random_uniform(std::uint32_t upper);

// The C library's 48-bit generator (drand48), never seeded by the platform:
// a fresh process sees the same sequence every run. Serialised across threads.
double uniform48();

}  // namespace platform::security
