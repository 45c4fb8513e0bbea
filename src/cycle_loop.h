// cycle_loop.h: the tool's entry and its one loop.
#pragma once

#include "settings.h"

// Exit statuses after a failed start, as a shell gives them for a command it
// cannot run: the program does not exist, or it exists and cannot be started.
constexpr int EXIT_NOT_FOUND = 127;
constexpr int EXIT_CANNOT_START = 126;
// Exit status when the tool itself cannot do its job (the run record cannot
// be written when it begins).
constexpr int EXIT_CANNOT_RECORD = 125;

struct record_log;

// Starts the target once per cycle until a start fails; returns
// EXIT_NOT_FOUND or EXIT_CANNOT_START then. Writes the run records to log.
// A stop of the tool ends it from here (see platform_finish_stop()).
int cycle_loop(const run_settings &settings, record_log *log);

// The whole tool from its words on: banner, settings, loop. Returns the exit
// status: EXIT_MISSING_PROGRAM, EXIT_CANNOT_RECORD, EXIT_NOT_FOUND or
// EXIT_CANNOT_START.
int kadron_main(int word_count, const char *const *words);
