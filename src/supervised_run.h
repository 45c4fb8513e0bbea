// supervised_run.h: one start of the target, bounded by the run time.
#pragma once

#include <cstdint>

#include "platform.h"

// Exit code given to a program that is ended by force.
constexpr uint32_t TERMINATE_EXIT_CODE = 42;

// Starts program with arguments as its whole command line, waits up to
// *elapsed_ms (WAIT_FOREVER_MS: no limit) for it to end and ends it by force
// if it still runs, also when the wait itself fails. On return *elapsed_ms
// holds the measured duration, from just after the start to just after the
// wait (and the termination, if any), modulo 2^32.
// false: the program could not be started; the failure text is printed, the
// reason goes to standard error, *failure says which kind of failure it was
// and *elapsed_ms is left as it was.
bool run_once(const char *program, char *arguments, uint32_t *elapsed_ms, start_failure *failure);
