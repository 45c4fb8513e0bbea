// supervised_run.cpp: start, bounded wait, forced end.
#include "supervised_run.h"

#include <cstdio>

#include "platform.h"

namespace {

const char START_FAILED_TEXT[] = "\n\nCreateProcess failed.\n\n";
// On standard error, after the text above: the program as given and the system's reason.
const char START_REASON_TEXT[] = "kadron: cannot start \"%s\": %s\n";

// A wait that failed is tried again this much later (or at the run time's end).
constexpr uint32_t WAIT_RETRY_MS = 100;

// Waits for the program to end until run_ms after t0. A wait that fails is
// tried again after a pause, so the run time holds then too. true: it ended.
bool wait_for_end(const process_ref &started, uint32_t t0, uint32_t run_ms) {
    for (;;) {
        const uint32_t ran_ms = platform_tick_ms() - t0;
        uint32_t left_ms = run_ms > ran_ms ? run_ms - ran_ms : 0;
        if (run_ms == WAIT_FOREVER_MS) left_ms = WAIT_FOREVER_MS;
        const wait_outcome outcome = platform_wait(started, left_ms);
        if (outcome != wait_outcome::failed) return outcome == wait_outcome::ended;
        if (left_ms == 0) return false;
        platform_sleep(0, left_ms < WAIT_RETRY_MS ? left_ms : WAIT_RETRY_MS);
    }
}

} // namespace

bool run_once(const char *program, char *arguments, uint32_t *elapsed_ms, start_failure *failure) {
    // The target shares our standard output: what we printed comes first.
    std::fflush(stdout);
    process_ref started{};
    char reason[TEXT_SIZE] = {};
    if (!platform_start(program, arguments, &started, failure, reason, sizeof reason)) {
        std::printf(START_FAILED_TEXT);
        std::fflush(stdout);
        std::fprintf(stderr, START_REASON_TEXT, program, reason);
        return false;
    }
    const uint32_t t0 = platform_tick_ms();
    if (!wait_for_end(started, t0, *elapsed_ms)) platform_terminate(started, TERMINATE_EXIT_CODE);
    const uint32_t t1 = platform_tick_ms();
    *elapsed_ms = t1 - t0;
    platform_close(&started);
    return true;
}
