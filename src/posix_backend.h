// posix_backend.h: what the units of the POSIX backend need from each other.
#pragma once

#include <cstdint>

constexpr uint64_t NS_PER_MS = 1000000u;

// Nanoseconds on the monotonic clock (platform_posix.cpp). Deadlines are kept
// in these units: a clock cut to whole milliseconds would end waits up to a
// millisecond early or late.
uint64_t monotonic_ns();

// Reaps ended targets and acts on the tool's own signals until deadline_ns on
// monotonic_ns() has passed (process_posix.cpp).
void watch_children_until(uint64_t deadline_ns);
