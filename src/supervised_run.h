// supervised_run.h: one start of the target, bounded by the run time.
#pragma once

#include <cstdint>

#include "platform.h"
#include "run_record.h"
#include "settings.h"

enum class run_status {
    ran,         // started, and its run is over
    not_started, // the start failed
    stopped,     // the tool was told to stop during the run (platform_stop_report() says how)
};

// What a run leaves for its caller beyond its duration.
struct run_details {
    start_failure failure;  // after not_started
    char reason[TEXT_SIZE]; // after not_started: the system's words
    run_report report;      // after ran, when asked for
};

// Starts program with arguments as its whole command line, waits up to
// *elapsed_ms (WAIT_FOREVER_MS: no limit) for it to end and ends it by force
// if it still runs, also when the wait itself fails; with a grace, it is asked
// to end first and given ending.grace_ms more; with kill_tree, whatever else
// of its tree still runs then is ended too. On return after ran, *elapsed_ms
// holds the measured duration, from just after the start to just after the
// wait (and the termination and the sweep, if any), modulo 2^32, and, with
// want_report, details->report says how the run went (UTC times, outcome); a
// forced end that fails is told on standard error. not_started: the failure
// text is printed, the reason goes to standard error and into details, and
// *elapsed_ms is left as it was. stopped: the target (if it still ran) was
// ended by the platform; the caller has its last word, then the tool ends.
run_status run_once(const char *program, char *arguments, const run_ending &ending, uint32_t *elapsed_ms,
                    bool want_report, run_details *details);
