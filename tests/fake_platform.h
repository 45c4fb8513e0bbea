// fake_platform.h: a scripted world for the core's unit tests.
//
// One virtual clock drives both the tick and the calendar; it moves only when
// the core waits or sleeps, or when a start is planned to cost time. Starts
// take the planned runs in order; once they are used up, starts fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform.h"

struct planned_run {
    // wait_fails: every wait fails for the first ms after the start; a wait
    // after that finds it ended. cannot_start is refused, not_found finds no
    // program; a start with no plan left is refused. stopped: the tool is
    // told to stop ms into the run.
    enum kind_t { ends_after, never_ends, cannot_start, not_found, wait_fails, stopped } kind;
    uint64_t ms;                  // how long an ends_after run lasts
    uint32_t exit_code = 0;       // an ends_after run's exit status
    const char *signal = nullptr; // an ends_after run dies of this signal instead
    bool unkillable = false;      // its forced end fails
    int64_t ends_when_asked = -1; // ends this many ms after it is asked to end (-1: never)
    uint32_t others = 0;          // processes of its tree that still run when it ends
};

enum class call_kind {
    start,
    wait,
    terminate,
    close,
    create_sleeper,
    sleep,
    close_sleeper,
    append,
    finish_stop,
    set_run_ending,
    ask_to_end,
    end_tree,
    version_size,
    version_read,
    alloc,
    free
};

struct fake_call {
    call_kind kind;
    uint32_t ms;              // time-out of a wait or sleep, exit code of a terminate
    uint64_t at_ms;           // virtual time of the call
    std::string application;  // start only
    std::string command_line; // start only
};

// The reason a failed start gives.
const char FAKE_START_REASON[] = "scripted failure";

// Starts a new world: the tick reads tick_ms and the calendar reads clock.
void fake_reset(uint32_t tick_ms, const calendar_time &clock);
void fake_plan(planned_run run);
// Virtual milliseconds each successful start takes before it returns.
void fake_set_start_cost(uint32_t ms);
void fake_fail_sleeper(bool fail);
// The tool is told to stop in the sleep after the given run (1 = the first).
void fake_stop_in_sleep_after(uint32_t run);
// Environment variables the tool sees (name=value; nullptr value: unset).
void fake_set_setting(const char *name, const char *value);
// The whole tree cannot be covered: platform_set_run_ending() fails.
void fake_refuse_tree(bool refuse);
// Whether standard error shows where standard output does.
void fake_set_error_joins_output(bool joins);
// Appends number first to last (the first append is 1) fail with this
// reason, each having written written_bytes of its line; each call adds a
// range, and the last call's reason and bytes hold for all.
void fake_fail_appends(const char *reason, std::size_t written_bytes = 0, uint32_t first = 1,
                       uint32_t last = UINT32_MAX);
// The lines appended, as written (path "" for standard error).
struct fake_line {
    std::string path;
    std::string text;
};
const std::vector<fake_line> &fake_lines();
// The fake's process ids: the tool's, and the first target's (then one up
// for each start).
constexpr uint32_t FAKE_TOOL_PID = 4242;
constexpr uint32_t FAKE_FIRST_TARGET_PID = 100;
// Thrown by platform_finish_stop(), which must not return.
struct fake_tool_ended {};

// The version data: the executable suffix, the one file that has version
// data, its entries as "path\0value\0..." and what fails on the way.
struct fake_version {
    std::string suffix = ".exe";
    std::string file;    // file name that has version data
    std::string entries; // query paths and values, each zero-terminated
    bool fail_alloc = false;
    bool fail_read = false;
};
void fake_set_version(const fake_version &version);
// Blocks allocated and not yet freed.
int fake_blocks_in_use();

const std::vector<fake_call> &fake_calls();
uint64_t fake_now_ms();
std::vector<fake_call> fake_calls_of(call_kind kind);
