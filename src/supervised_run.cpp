// supervised_run.cpp: start, bounded wait, forced end.
#include "supervised_run.h"

#include <cstdio>

#include "platform.h"

namespace {

const char START_FAILED_TEXT[] = "\n\nCreateProcess failed.\n\n";
// On standard error, after the text above: the program as given and the system's reason.
const char START_REASON_TEXT[] = "kadron: cannot start \"%s\": %s\n";
// On standard error when the forced end itself fails: the target runs on.
const char NOT_ENDED_TEXT[] =
    "kadron: cannot end process %lu at the end of its run time: %s; it may run on\n";

// A wait that failed is tried again this much later (or at the run time's end).
constexpr uint32_t WAIT_RETRY_MS = 100;

enum class wait_end { ended, time_up, stopped };

// Waits for the program to end until run_ms after t0. A wait that fails is
// tried again after a pause, so the run time holds then too.
wait_end wait_for_end(const process_ref &started, uint32_t t0, uint32_t run_ms) {
    for (;;) {
        const uint32_t ran_ms = platform_tick_ms() - t0;
        uint32_t left_ms = run_ms > ran_ms ? run_ms - ran_ms : 0;
        if (run_ms == WAIT_FOREVER_MS) left_ms = WAIT_FOREVER_MS;
        const wait_outcome outcome = platform_wait(started, left_ms);
        if (outcome == wait_outcome::stopped) return wait_end::stopped;
        if (outcome == wait_outcome::ended) return wait_end::ended;
        if (outcome == wait_outcome::timed_out || left_ms == 0) return wait_end::time_up;
        if (!platform_sleep(0, left_ms < WAIT_RETRY_MS ? left_ms : WAIT_RETRY_MS)) return wait_end::stopped;
    }
}

// Ends the program at the end of its run time; false when that failed.
bool force_end(const process_ref &started) {
    char reason[TEXT_SIZE] = {};
    if (platform_terminate(started, TERMINATE_EXIT_CODE, reason, sizeof reason)) return true;
    std::fflush(stdout);
    // Below the status line, not inside it, where both show in one place.
    if (platform_error_joins_output()) std::fputs("\n", stderr);
    std::fprintf(stderr, NOT_ENDED_TEXT, static_cast<unsigned long>(started.id), reason);
    return false;
}

} // namespace

run_status run_once(const char *program, char *arguments, const run_ending &ending, uint32_t *elapsed_ms,
                    bool want_report, run_details *details) {
    // The target shares our standard output: what we printed comes first.
    std::fflush(stdout);
    process_ref started{};
    if (!platform_start(program, arguments, &started, &details->failure, details->reason,
                        sizeof details->reason)) {
        std::printf(START_FAILED_TEXT);
        std::fflush(stdout);
        std::fprintf(stderr, START_REASON_TEXT, program, details->reason);
        return run_status::not_started;
    }
    const uint32_t t0 = platform_tick_ms();
    run_report &report = details->report;
    if (want_report) platform_utc_time(&report.start);
    const wait_end end = wait_for_end(started, t0, *elapsed_ms);
    // The tool ends next: the target stays in the platform's hands until then.
    if (end == wait_end::stopped) return run_status::stopped;
    run_result result = run_result::exited;
    if (end == wait_end::time_up && ending.grace_ms > 0) {
        platform_ask_to_end(started);
        const wait_end asked = wait_for_end(started, platform_tick_ms(), ending.grace_ms);
        if (asked == wait_end::stopped) return run_status::stopped;
        if (asked == wait_end::ended)
            result = run_result::stopped;
        else
            result = force_end(started) ? run_result::forced : run_result::not_ended;
    } else if (end == wait_end::time_up) {
        result = force_end(started) ? run_result::forced : run_result::not_ended;
    }
    const uint32_t others = ending.kill_tree ? platform_end_tree(started, TREE_SWEEP_BOUND_MS) : 0;
    const uint32_t t1 = platform_tick_ms();
    *elapsed_ms = t1 - t0;
    if (want_report) {
        platform_utc_time(&report.end);
        report.target_pid = started.id;
        report.duration_ms = *elapsed_ms;
        report.how = target_end{};
        if (result != run_result::not_ended) platform_how_ended(started, &report.how);
        if (result == run_result::exited && report.how.by_signal) result = run_result::signaled;
        report.result = result;
        report.others_ended = others;
    }
    platform_close(&started);
    return run_status::ran;
}
