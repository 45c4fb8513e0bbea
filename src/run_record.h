// run_record.h: the record of every run (KADRON_LOG), one JSON line per event, and its JSON text writer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform.h"
#include "settings.h"

// A text of the tool (at most TEXT_SIZE - 1 bytes) may grow to three bytes a
// character on its way to UTF-8, and each byte to six ("\u00xx") when escaped:
// six bytes for each of its bytes at the most.
constexpr std::size_t UTF8_TEXT_SIZE = 3 * TEXT_SIZE;
constexpr std::size_t MAX_ESCAPED_TEXT = 6 * (TEXT_SIZE - 1) + 2;
// The longest line, the begin record with the longest program path and
// argument text, every byte escaped; a leading and a closing newline included.
constexpr std::size_t RECORD_FIXED_SIZE = 512;
constexpr std::size_t RECORD_LINE_SIZE = RECORD_FIXED_SIZE + 2 * MAX_ESCAPED_TEXT;

// A JSON text being built in a caller's buffer. Once something did not fit,
// overflow is set and nothing more is added; text stays terminated.
struct json_text {
    char *text;
    std::size_t size;
    std::size_t length;
    bool overflow;
};

void json_start(json_text *j, char *buffer, std::size_t size);
// Appends raw characters, unchanged.
void json_add_raw(json_text *j, const char *raw);
// Appends n bytes as a JSON string, quotes included: \" \\ \n \r \t, every
// other byte below 0x20 and 0x7F as \u00xx; valid UTF-8 as it is; each byte
// that is not part of valid UTF-8 as \u00xx of its value.
void json_add_string(json_text *j, const char *bytes, std::size_t n);
void json_add_number(json_text *j, uint64_t value);
// "2026-12-09T17:04:05.123Z"
void json_add_time(json_text *j, const calendar_time &utc);

// How a run ended, for its record.
enum class run_result {
    exited,    // by itself, with an exit status
    signaled,  // by a signal the tool did not send
    forced,    // the run time was up and the tool ended it
    not_ended, // the run time was up and the forced end failed
    stopped,   // the run time was up, and it ended by itself after it was asked to
};

struct run_report {
    uint32_t target_pid;
    calendar_time start; // UTC
    calendar_time end;   // UTC
    uint32_t duration_ms;
    run_result result;
    target_end how;        // for all but not_ended
    uint32_t others_ended; // processes of its tree but the target that the tool ended
};

// Where the records go and how the last write went.
struct record_log {
    bool on;
    const char *path;  // nullptr: standard error
    bool joins_output; // standard error shows where standard output does
    bool failing;      // in a spell of failed writes: warned once already
    bool cut;          // the last write was short: the next starts on a line of its own
    uint32_t tool_pid;
};

// Reads KADRON_LOG: unset or empty, no records; "-", standard error; else a
// file path. Makes no system call when there is none to write.
void record_setup(record_log *log);

// The begin record, after the settings echo. false: it could not be written;
// the reason is on standard error and the tool must end (EXIT_CANNOT_RECORD).
bool record_begin(record_log *log, const run_settings &settings, const char *version);
// line_open: the status line is open on standard output.
void record_run(record_log *log, uint32_t count, const run_report &report, bool line_open);
void record_start_failed(record_log *log, uint32_t count, int exit_status, const char *reason);
void record_end(record_log *log, uint32_t count, const stop_report &stop);

// The banner's version text ("1, 0, 0, 8") as the record gives it ("1.0.0.8").
void version_with_dots(const char *banner_version, char *out, std::size_t out_size);
