// supervised_run.cpp: start, bounded wait, forced end.
#include "supervised_run.h"

#include <cstdio>

#include "platform.h"

namespace {

const char START_FAILED_TEXT[] = "\n\nCreateProcess failed.\n\n";

} // namespace

bool run_once(const char *program, char *arguments, uint32_t *elapsed_ms) {
    // The target shares our standard output: what we printed comes first.
    std::fflush(stdout);
    process_ref started{};
    if (!platform_start(program, arguments, &started)) {
        std::printf(START_FAILED_TEXT);
        std::fflush(stdout);
        return false;
    }
    const uint32_t t0 = platform_tick_ms();
    if (platform_wait(started, *elapsed_ms) == wait_outcome::timed_out) {
        platform_terminate(started, TERMINATE_EXIT_CODE);
    }
    const uint32_t t1 = platform_tick_ms();
    *elapsed_ms = t1 - t0;
    platform_close(&started);
    return true;
}
