// fake_platform.h: a scripted world for the core's unit tests.
//
// One virtual clock drives both the tick and the calendar; it moves only when
// the core waits or sleeps, or when a start is planned to cost time. Starts
// take the planned runs in order; once they are used up, starts fail.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform.h"

struct planned_run {
    // wait_fails: every wait fails for the first ms after the start; a wait
    // after that finds it ended. cannot_start is refused, not_found finds no
    // program; a start with no plan left is refused.
    enum kind_t { ends_after, never_ends, cannot_start, not_found, wait_fails } kind;
    uint64_t ms; // how long an ends_after run lasts
};

enum class call_kind {
    start,
    wait,
    terminate,
    close,
    create_sleeper,
    sleep,
    close_sleeper,
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
