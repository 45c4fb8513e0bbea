// posix_backend.h: what the units of the POSIX backend need from each other.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <cstdint>

constexpr uint64_t NS_PER_MS = 1000000u;

// Nanoseconds on the monotonic clock (platform_posix.cpp). Deadlines are kept
// in these units: a clock cut to whole milliseconds would end waits up to a
// millisecond early or late.
uint64_t monotonic_ns();

// Reaps ended targets and acts on the tool's own signals until deadline_ns on
// monotonic_ns() has passed (process_posix.cpp).
void watch_children_until(uint64_t deadline_ns);

// spawn_posix.cpp: how one target is started.
struct target_start {
    const char *path;         // executed as written: no search path
    char *const *argv;        // ends with a null pointer
    char *const *envp;        // ends with a null pointer
    const sigset_t *mask;     // the target's signal mask
    const sigset_t *defaults; // signals the target gets with their default action
    int descriptor_limit;     // closed from 3 up to this where the kernel cannot close a range
};

// Starts a target that the kernel kills (SIGKILL) as soon as the tool ends,
// however it ends; what the target starts itself is not covered. The pid, or
// 0 when the program could not be executed: *error is then the errno of the
// failure and the failed child has been reaped.
pid_t start_target(const target_start &start, int *error);
