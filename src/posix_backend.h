// posix_backend.h: what the units of the POSIX backend need from each other.
#pragma once

#include <cstdint>

// Milliseconds on the monotonic clock, not wrapped (platform_posix.cpp).
uint64_t monotonic_ms();

// Reaps ended targets and acts on the tool's own signals until deadline_ms on
// monotonic_ms() has passed (process_posix.cpp).
void watch_children_until(uint64_t deadline_ms);
