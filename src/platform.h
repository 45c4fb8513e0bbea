// platform.h: the operating-system services the tool relies on; one backend per OS.
//
// The core reaches the operating system only through these functions. Each
// backend (platform_posix.cpp, platform_win32.cpp) is a thin mapping onto its
// OS; the unit tests link a scripted fake instead. Nothing here carries an OS
// type: handles travel as plain integers.
#pragma once

#include <cstddef>
#include <cstdint>

// Size of every text buffer of the tool, terminator included (the Windows
// path limit): at most TEXT_SIZE - 1 characters.
constexpr std::size_t TEXT_SIZE = 260;

// A wait time-out that never runs out.
constexpr uint32_t WAIT_FOREVER_MS = 4294967295u;

// 100-nanosecond units in one millisecond.
constexpr uint64_t UNITS_PER_MS = 10000u;

// Local calendar time, field by field as the Windows SYSTEMTIME.
struct calendar_time {
    uint16_t year;
    uint16_t month;       // 1..12
    uint16_t day_of_week; // 0 = Sunday
    uint16_t day;         // 1..31
    uint16_t hour;
    uint16_t minute;
    uint16_t second;
    uint16_t milliseconds;
};

// A started program as the backend knows it. Owned by whoever started it and
// released with platform_close(). On POSIX process is the pid, thread unused.
struct process_ref {
    intptr_t process;
    intptr_t thread;
};

enum class wait_outcome {
    ended,     // the program has ended by itself
    timed_out, // still running when the time-out ran out
    failed,    // the wait itself failed
};

// Why a start failed.
enum class start_failure {
    not_found, // the program does not exist (no such file, or a missing directory on its path)
    refused,   // any other reason: no permission, not an executable, no resources, ...
};

// Starts application_name exactly as written: no search path, no extension
// added; a name without a directory means the current directory. command_line
// is the program's whole command line and may be changed in place. The
// program inherits environment, current directory and console, no handle.
// On Linux it also gets the signal mask and the ignored signals the tool was
// started with, and the kernel kills it (SIGKILL) as soon as the tool ends,
// however the tool ends. On Windows it runs in a job that ends it when the
// tool's process ends, and a console event (Ctrl+C, closing the console, ...)
// ends it with exit code 42 before the tool. What it starts itself runs on.
// false: nothing was started (the reason is known before the return),
// *started is left as it was, *failure says which kind of failure it was and
// reason holds the system's words for why (at most reason_size - 1
// characters, no line end).
bool platform_start(const char *application_name, char *command_line, process_ref *started,
                    start_failure *failure, char *reason, std::size_t reason_size);

// Waits up to timeout_ms (WAIT_FOREVER_MS: no limit) for the program to end.
// On POSIX the tool's ending signals (SIGTERM, SIGHUP, SIGINT, SIGQUIT; not
// one that was ignored or blocked when the tool started) are held back from a
// start until platform_close() and taken here and in platform_sleep(): the
// program still running is ended by force first, then the tool ends by the
// same signal, or with exit status 128 + its number where that cannot end it
// (a PID namespace's init). Anywhere else they end the tool at once the same
// way, also while it is blocked writing its output.
wait_outcome platform_wait(const process_ref &started, uint32_t timeout_ms);

// Ends the program by force with exit_code where the OS has one; does not wait
// for it to end. false when the request failed.
bool platform_terminate(const process_ref &started, uint32_t exit_code);

// Releases the program: the process first, then the thread.
void platform_close(process_ref *started);

// Milliseconds on a steady clock, wrapping modulo 2^32.
uint32_t platform_tick_ms();

// The local wall-clock time, milliseconds included.
void platform_local_time(calendar_time *now);

// Calendar time to and from 100-nanosecond units since 1601-01-01, by plain
// calendar arithmetic (no time-zone conversion). false: out of range.
bool platform_time_to_units(const calendar_time &time, uint64_t *units);
bool platform_units_to_time(uint64_t units, calendar_time *time);

// The sleep object: nothing ever signals it, so a wait on it lasts its whole
// time-out. 0 when none could be made; platform_sleep() still sleeps then.
intptr_t platform_create_sleeper();

// Sleeps the whole timeout_ms (which is below WAIT_FOREVER_MS), also across
// signals other than the tool's ending signals (see platform_wait()), and
// goes on at once if the deadline passed while stopped.
void platform_sleep(intptr_t sleeper, uint32_t timeout_ms);

void platform_close_sleeper(intptr_t sleeper);

// Suffix the OS gives executable files (".exe" on Windows, "" where there is
// none), appended to the tool's own name when the name lacks it.
const char *platform_executable_suffix();

// The characters that separate directories in a program path ("/" on POSIX;
// a backslash, "/" and the drive's ":" on Windows).
const char *platform_directory_separators();

// The characters that begin an option on this OS's command lines ("-" on
// POSIX; "-" and "/" on Windows).
const char *platform_option_marks();

// The version information of a file: its version resource on Windows, the
// same data in a section of the executable elsewhere. 0: there is none.
uint32_t platform_version_info_size(const char *file_name);

// Reads the version information of file_name into block (size bytes, as
// reported above). false: it could not be read.
bool platform_read_version_info(const char *file_name, uint32_t size, void *block);

// Looks up a value such as "\\StringFileInfo\\000004B0\\FileVersion" in a block
// read above, ignoring case; *value points into the block. false: not there.
bool platform_query_version_value(const void *block, const char *path, const char **value);

// A fixed, zero-filled block of memory; nullptr when none can be had.
void *platform_alloc_zeroed(uint32_t size);
void platform_free(void *block);

// Sets up standard output before the first text: unbuffered on a terminal or
// console, block-buffered otherwise (the core flushes before every wait).
// Standard error, which carries only the reason of a failed start, is
// unbuffered.
void platform_setup_output();

// The tool's own command-line words; word 0 is the tool's name as typed, or
// its own file name when that is missing. The words live as long as the
// process. false only when they cannot be had at all.
bool platform_tool_words(int argc, char **argv, int *word_count, const char *const **words);
