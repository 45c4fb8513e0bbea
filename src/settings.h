// settings.h: turns the tool's command-line words into the run settings.
#pragma once

#include <cstdint>

#include "platform.h"

// Exit status when no program is named (or a word is too long to hold).
constexpr int EXIT_MISSING_PROGRAM = 17;

// How a run ends, from the environment: KADRON_KILL_TREE, KADRON_GRACE_MS.
struct run_ending {
    bool kill_tree;    // everything the target started ends with its run
    uint32_t grace_ms; // the target is asked to end this long before the forced end
};

struct run_settings {
    char program_path_and_name[TEXT_SIZE];  // word 1
    char command_line_arguments[TEXT_SIZE]; // a blank, then word 2
    uint32_t cycle_time_in_milliseconds;    // word 3, raised to the run time unless nowait
    uint32_t run_time_in_milliseconds;      // word 4
    bool wait_mode;                         // word 5: false for "nowait"
    run_ending ending;                      // see read_run_ending()
};

// Fills *settings from the words (word 0 is the tool's name) and prints the
// usage block (unless all five arguments are given) and the settings echo.
// false: no program named, or a word too long; the reason is printed and
// *exit_status is EXIT_MISSING_PROGRAM.
bool parse_invocation(int word_count, const char *const *words, run_settings *settings, int *exit_status);

// The runtime's atol as the tool uses it: white space, one sign, digits up to
// the first other character; no digits give 0; the result is modulo 2^32.
uint32_t parse_milliseconds(const char *word);

// Reads KADRON_KILL_TREE ("1": on; unset, empty or "0": off) and
// KADRON_GRACE_MS (digits only, at most 4294967295; unset or empty: 0) into
// *ending; any other value gets one warning on standard error and means off
// or 0.
void read_run_ending(run_ending *ending);

// Prints the usage block.
void print_usage();
