// cycle_loop.h: the tool's entry and its one loop.
#pragma once

#include "settings.h"

// Starts the target once per cycle until a start fails; returns 0 then.
int cycle_loop(const run_settings &settings);

// The whole tool from its words on: banner, settings, loop. Returns the exit
// status: EXIT_MISSING_PROGRAM or 0.
int kadron_main(int word_count, const char *const *words);
