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

// How long the end of a run, or a stop, waits at most for the rest of the
// run's tree to go once it was ended by force.
constexpr uint32_t TREE_SWEEP_BOUND_MS = 2000;

// Exit code given to a program that is ended by force (where the OS has exit
// codes for that: Windows).
constexpr uint32_t TERMINATE_EXIT_CODE = 42;

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
// id is the OS's process id, for texts and records.
struct process_ref {
    intptr_t process;
    intptr_t thread;
    uint32_t id;
};

enum class wait_outcome {
    ended,     // the program has ended by itself
    timed_out, // still running when the time-out ran out
    failed,    // the wait itself failed
    stopped,   // the tool is told to stop; see platform_stop_report()
};

// How a program that ended by itself ended: its exit status, or on POSIX the
// signal that killed it, by name ("SIGSEGV"; "SIG" and the number for one
// without a short name).
constexpr std::size_t SIGNAL_NAME_SIZE = 16;
struct target_end {
    bool by_signal;
    uint32_t exit_code; // the whole exit status (on Windows all 32 bits)
    char signal_name[SIGNAL_NAME_SIZE];
};

// What stopped the tool: the signal's name ("SIGTERM") or the console
// event's ("CTRL_C_EVENT"), and whether a running target was ended for it.
constexpr std::size_t STOP_CAUSE_SIZE = 32;
struct stop_report {
    char cause[STOP_CAUSE_SIZE];
    bool target_forced;
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
// ends it with exit code 42 before the tool. What it starts itself runs on,
// unless the whole tree is asked for (platform_set_run_ending()).
// false: nothing was started (the reason is known before the return),
// *started is left as it was, *failure says which kind of failure it was and
// reason holds the system's words for why (at most reason_size - 1
// characters, no line end).
bool platform_start(const char *application_name, char *command_line, process_ref *started,
                    start_failure *failure, char *reason, std::size_t reason_size);

// Waits up to timeout_ms (WAIT_FOREVER_MS: no limit) for the program to end.
// The tool's stops (on POSIX its ending signals SIGTERM, SIGHUP, SIGINT,
// SIGQUIT, not one that was ignored or blocked when the tool started; on
// Windows Ctrl+C, Ctrl+Break, the console closing and shutdown) are taken
// here and in platform_sleep(): the program still running is ended by force
// first, then the wait returns stopped, and the core has its last word before
// platform_finish_stop(). On POSIX they are held back from a start until
// platform_close(); anywhere else they end the tool at once the same way, the
// target first, also while it is blocked writing its output.
wait_outcome platform_wait(const process_ref &started, uint32_t timeout_ms);

// How the program ended, after platform_wait() returned ended; after a
// platform_terminate() that succeeded, how the forced end shows: killed by
// SIGKILL on POSIX, exit code TERMINATE_EXIT_CODE on Windows.
void platform_how_ended(const process_ref &started, target_end *how);

// Ends the program by force with exit_code where the OS has one; does not wait
// for it to end. false when the request failed: reason holds the system's
// words for why (at most reason_size - 1 characters, no line end).
bool platform_terminate(const process_ref &started, uint32_t exit_code, char *reason,
                        std::size_t reason_size);

// How runs end, set once before the first start. whole_tree: every process a
// target starts, directly or through others, also one that left its process
// group or session or whose parent ended, ends with its run (POSIX: the tool
// becomes a child subreaper; Windows: the job, made without breakaway, holds
// them all). ask_first: targets will be asked to end before the forced end
// (Windows: each starts in a process group of its own). false: the whole tree
// cannot be covered here; reason says why, and runs end as without it.
bool platform_set_run_ending(bool whole_tree, bool ask_first, char *reason, std::size_t reason_size);

// Asks the running program to end, without waiting: POSIX SIGTERM (with the
// whole tree also to the tool's other live children); Windows WM_CLOSE to its
// top-level windows and Ctrl+Break to its process group, where it has them.
void platform_ask_to_end(const process_ref &started);

// With the whole tree, once the program has ended or been ended: ends by force
// every process its run left running besides it, round by round, and waits
// at most bound_ms for them to go. Returns how many of them still ran just
// before (0 without the whole tree). A stop of the tool does the same itself.
uint32_t platform_end_tree(const process_ref &started, uint32_t bound_ms);

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
// goes on at once if the deadline passed while stopped. false: the tool is
// told to stop (see platform_wait()).
bool platform_sleep(intptr_t sleeper, uint32_t timeout_ms);

void platform_close_sleeper(intptr_t sleeper);

// After a wait returned stopped or a sleep false: what the stop was.
void platform_stop_report(stop_report *report);

// Ends the tool after a stop, as the stop itself would have: on POSIX by the
// same signal (or exit status 128 + its number where that cannot end it), on
// Windows through the system's own handling of the console event.
[[noreturn]] void platform_finish_stop();

// Suffix the OS gives executable files (".exe" on Windows, "" where there is
// none), appended to the tool's own name when the name lacks it.
const char *platform_executable_suffix();

// The characters that separate directories in a program path ("/" on POSIX;
// a backslash, "/" and the drive's ":" on Windows).
const char *platform_directory_separators();

// How a program in the current directory is named ("./" on POSIX, ".\\" on
// Windows), for the hint shown when a bare name was not found.
const char *platform_current_directory_prefix();

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
// Standard error, which carries warnings, reasons and hints, is unbuffered.
void platform_setup_output();

// The value of the tool's environment variable name, nullptr when it is unset.
// It lives as long as the process.
const char *platform_setting(const char *name);

// The tool's own process id.
uint32_t platform_process_id();

// The wall-clock time in UTC, milliseconds included.
void platform_utc_time(calendar_time *now);

// Appends line (length bytes) in one write to the file at path, created when
// missing (with the usual permissions of a new file), never truncated, opened
// and closed for this line alone and never inherited by a target; to standard
// error when path is nullptr. *written: the bytes that got there. false: not
// all of them; reason holds the system's words for why.
bool platform_append_line(const char *path, const char *line, std::size_t length, std::size_t *written,
                          char *reason, std::size_t reason_size);

// Whether standard error shows where standard output does (a terminal, or the
// same file), so that a line there would stand inside the status line.
bool platform_error_joins_output();

// The tool's texts (the ANSI code page on Windows) as UTF-8, terminated;
// bytes that have no UTF-8 form are passed on as they are. At most out_size - 1
// bytes; the text is cut at a character's end where it does not fit.
void platform_text_to_utf8(const char *text, char *out, std::size_t out_size);

// The tool's own command-line words; word 0 is the tool's name as typed, or
// its own file name when that is missing. The words live as long as the
// process. false only when they cannot be had at all.
bool platform_tool_words(int argc, char **argv, int *word_count, const char *const **words);
