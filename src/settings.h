// settings.h: turns the tool's command-line words into the run settings.
#pragma once

#include <cstdint>

#include "platform.h"

// Exit status when no program is named (or a word is too long to hold).
constexpr int EXIT_MISSING_PROGRAM = 17;

struct run_settings {
    char program_path_and_name[TEXT_SIZE];  // word 1
    char command_line_arguments[TEXT_SIZE]; // a blank, then word 2
    uint32_t cycle_time_in_milliseconds;    // word 3, raised to the run time unless nowait
    uint32_t run_time_in_milliseconds;      // word 4
    bool wait_mode;                         // word 5: false for "nowait"
};

// Fills *settings from the words (word 0 is the tool's name) and prints the
// usage block (unless all five arguments are given) and the settings echo.
// false: no program named, or a word too long; the reason is printed and
// *exit_status is EXIT_MISSING_PROGRAM.
bool parse_invocation(int word_count, const char *const *words, run_settings *settings, int *exit_status);

// The runtime's atol as the tool uses it: white space, one sign, digits up to
// the first other character; no digits give 0; the result is modulo 2^32.
uint32_t parse_milliseconds(const char *word);

// Prints the usage block.
void print_usage();
