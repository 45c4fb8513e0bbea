// run_record.cpp: builds each record as one JSON line in a fixed buffer and hands it over in one write.
#include "run_record.h"

#include <cstdio>
#include <cstring>

namespace {

const char LOG_SETTING[] = "KADRON_LOG";
const char TO_STANDARD_ERROR[] = "-";
const char STANDARD_ERROR_NAME[] = "standard error";

const char CANNOT_RECORD_TEXT[] = "kadron: cannot write the run record to \"%s\": %s\n";
const char RECORD_FAILING_TEXT[] =
    "kadron: cannot write the run record to \"%s\": %s; the runs go on (said again "
    "only after a record was written)\n";

const char HEX_DIGITS[] = "0123456789abcdef";

bool room_for(json_text *j, std::size_t n) {
    if (j->overflow || n >= j->size - j->length) {
        j->overflow = true;
        return false;
    }
    return true;
}

void add_bytes(json_text *j, const char *bytes, std::size_t n) {
    if (!room_for(j, n)) return;
    std::memcpy(j->text + j->length, bytes, n);
    j->length += n;
    j->text[j->length] = '\0';
}

void add_escaped_byte(json_text *j, unsigned char c) {
    const char escaped[] = {'\\', 'u', '0', '0', HEX_DIGITS[c >> 4], HEX_DIGITS[c & 15]};
    add_bytes(j, escaped, sizeof escaped);
}

bool continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// The length of the valid UTF-8 sequence of two to four bytes at p, 0 when
// there is none (overlong forms, surrogates and values past U+10FFFF are not).
std::size_t utf8_sequence(const unsigned char *p, std::size_t left) {
    const unsigned char c = p[0];
    std::size_t n = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) low = 0xA0;
        if (c == 0xED) high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) low = 0x90;
        if (c == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (left < n || p[1] < low || p[1] > high) return 0;
    for (std::size_t i = 2; i < n; ++i) {
        if (!continuation(p[i])) return 0;
    }
    return n;
}

void add_field(json_text *j, const char *name) {
    add_bytes(j, ",\"", 2);
    add_bytes(j, name, std::strlen(name));
    add_bytes(j, "\":", 2);
}

// A text of the tool as a JSON string, through the system's conversion to UTF-8.
void add_tool_text(json_text *j, const char *text) {
    char utf8[UTF8_TEXT_SIZE];
    platform_text_to_utf8(text, utf8, sizeof utf8);
    json_add_string(j, utf8, std::strlen(utf8));
}

void add_name_value(json_text *j, const char *name, const char *raw) {
    add_field(j, name);
    json_add_raw(j, raw);
}

void add_name_number(json_text *j, const char *name, uint64_t value) {
    add_field(j, name);
    json_add_number(j, value);
}

void add_name_time(json_text *j, const char *name, const calendar_time &utc) {
    add_field(j, name);
    json_add_time(j, utc);
}

void add_name_string(json_text *j, const char *name, const char *text) {
    add_field(j, name);
    json_add_string(j, text, std::strlen(text));
}

// Every record opens with its event and the tool's pid; a line that would
// stand inside the status line, or after a cut one, starts on one of its own.
void open_record(json_text *j, char *buffer, std::size_t size, const record_log &log, const char *event,
                 bool line_open) {
    json_start(j, buffer, size);
    if (log.cut || (line_open && log.path == nullptr && log.joins_output)) json_add_raw(j, "\n");
    json_add_raw(j, "{\"event\":");
    json_add_string(j, event, std::strlen(event));
    add_name_number(j, "tool_pid", log.tool_pid);
}

// The count of the status line and the time of the event.
void add_count_and_now(json_text *j, uint32_t count) {
    add_name_number(j, "count", count);
    calendar_time now{};
    platform_utc_time(&now);
    add_name_time(j, "time", now);
}

const char *log_name(const record_log &log) { return log.path == nullptr ? STANDARD_ERROR_NAME : log.path; }

// Closes the record and writes it. A failed write is told once per spell of
// failures, not once a cycle; warn false: begin's, after which the tool ends.
bool write_record(record_log *log, json_text *j, bool warn) {
    json_add_raw(j, "}\n");
    if (j->overflow) return false; // cannot happen: the buffer fits the longest record
    // What standard output holds comes first where both streams meet.
    std::fflush(stdout);
    std::size_t written = 0;
    char reason[TEXT_SIZE] = {};
    if (platform_append_line(log->path, j->text, j->length, &written, reason, sizeof reason)) {
        log->failing = false;
        log->cut = false;
        return true;
    }
    log->cut = written > 0 && written < j->length;
    if (warn && !log->failing) {
        if (log->joins_output) std::fputs("\n", stderr);
        std::fprintf(stderr, RECORD_FAILING_TEXT, log_name(*log), reason);
    } else if (!warn) {
        std::fprintf(stderr, CANNOT_RECORD_TEXT, log_name(*log), reason);
    }
    log->failing = true;
    return false;
}

const char *result_name(run_result result) {
    switch (result) {
    case run_result::exited:
        return "exited";
    case run_result::signaled:
        return "signaled";
    case run_result::forced:
        return "forced";
    case run_result::stopped:
        return "stopped";
    case run_result::not_ended:
        break;
    }
    return "not_ended";
}

} // namespace

void json_start(json_text *j, char *buffer, std::size_t size) {
    *j = json_text{buffer, size, 0, size == 0};
    if (size > 0) buffer[0] = '\0';
}

void json_add_raw(json_text *j, const char *raw) { add_bytes(j, raw, std::strlen(raw)); }

void json_add_string(json_text *j, const char *bytes, std::size_t n) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(bytes);
    add_bytes(j, "\"", 1);
    for (std::size_t i = 0; i < n && !j->overflow;) {
        const unsigned char c = p[i];
        if (c == '"' || c == '\\') {
            const char escaped[] = {'\\', static_cast<char>(c)};
            add_bytes(j, escaped, 2);
        } else if (c == '\n') {
            add_bytes(j, "\\n", 2);
        } else if (c == '\r') {
            add_bytes(j, "\\r", 2);
        } else if (c == '\t') {
            add_bytes(j, "\\t", 2);
        } else if (c < 0x20 || c == 0x7F) {
            add_escaped_byte(j, c);
        } else if (c < 0x80) {
            add_bytes(j, bytes + i, 1);
        } else {
            const std::size_t length = utf8_sequence(p + i, n - i);
            if (length == 0) {
                add_escaped_byte(j, c);
            } else {
                add_bytes(j, bytes + i, length);
                i += length;
                continue;
            }
        }
        ++i;
    }
    add_bytes(j, "\"", 1);
}

void json_add_number(json_text *j, uint64_t value) {
    char digits[24];
    std::snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(value));
    json_add_raw(j, digits);
}

void json_add_time(json_text *j, const calendar_time &utc) {
    char text[64];
    std::snprintf(text, sizeof text, "\"%04u-%02u-%02uT%02u:%02u:%02u.%03uZ\"", unsigned{utc.year},
                  unsigned{utc.month}, unsigned{utc.day}, unsigned{utc.hour}, unsigned{utc.minute},
                  unsigned{utc.second}, unsigned{utc.milliseconds});
    json_add_raw(j, text);
}

void version_with_dots(const char *banner_version, char *out, std::size_t out_size) {
    // The digit runs of the text, one dot between each two.
    std::size_t n = 0;
    bool in_digits = false;
    for (const char *p = banner_version; *p != '\0' && n + 2 < out_size; ++p) {
        const bool digit = *p >= '0' && *p <= '9';
        if (digit && !in_digits && n > 0) out[n++] = '.';
        if (digit) out[n++] = *p;
        in_digits = digit;
    }
    if (out_size > 0) out[n < out_size ? n : out_size - 1] = '\0';
}

void record_setup(record_log *log) {
    *log = record_log{};
    const char *value = platform_setting(LOG_SETTING);
    if (value == nullptr || value[0] == '\0') return;
    log->on = true;
    log->path = std::strcmp(value, TO_STANDARD_ERROR) == 0 ? nullptr : value;
    log->joins_output = log->path == nullptr && platform_error_joins_output();
    log->tool_pid = platform_process_id();
}

bool record_begin(record_log *log, const run_settings &settings, const char *version) {
    if (!log->on) return true;
    char line[RECORD_LINE_SIZE];
    json_text j;
    open_record(&j, line, sizeof line, *log, "begin", false);
    calendar_time now{};
    platform_utc_time(&now);
    add_name_time(&j, "time", now);
    add_name_string(&j, "version", version);
    add_field(&j, "program");
    add_tool_text(&j, settings.program_path_and_name);
    add_field(&j, "arguments");
    add_tool_text(&j, settings.command_line_arguments + 1); // without the blank the tool puts first
    add_name_number(&j, "cycle_ms", settings.cycle_time_in_milliseconds);
    if (settings.run_time_in_milliseconds == WAIT_FOREVER_MS) {
        add_name_value(&j, "run_ms", "null");
    } else {
        add_name_number(&j, "run_ms", settings.run_time_in_milliseconds);
    }
    add_name_string(&j, "mode", settings.wait_mode ? "wait" : "nowait");
    return write_record(log, &j, false);
}

void record_run(record_log *log, uint32_t count, const run_report &report, bool line_open) {
    if (!log->on) return;
    char line[RECORD_LINE_SIZE];
    json_text j;
    open_record(&j, line, sizeof line, *log, "run", line_open);
    add_name_number(&j, "count", count);
    add_name_number(&j, "target_pid", report.target_pid);
    add_name_time(&j, "start", report.start);
    add_name_time(&j, "end", report.end);
    add_name_number(&j, "duration_ms", report.duration_ms);
    add_name_string(&j, "result", result_name(report.result));
    const bool known = report.result != run_result::not_ended;
    add_field(&j, "exit_code");
    if (known && !report.how.by_signal) {
        json_add_number(&j, report.how.exit_code);
    } else {
        json_add_raw(&j, "null");
    }
    add_field(&j, "signal");
    if (known && report.how.by_signal) {
        json_add_string(&j, report.how.signal_name, std::strlen(report.how.signal_name));
    } else {
        json_add_raw(&j, "null");
    }
    add_name_number(&j, "others_ended", report.others_ended);
    write_record(log, &j, true);
}

void record_start_failed(record_log *log, uint32_t count, int exit_status, const char *reason) {
    if (!log->on) return;
    char line[RECORD_LINE_SIZE];
    json_text j;
    open_record(&j, line, sizeof line, *log, "start_failed", false);
    add_count_and_now(&j, count);
    add_name_number(&j, "exit_status", static_cast<uint64_t>(exit_status));
    add_field(&j, "reason");
    add_tool_text(&j, reason);
    write_record(log, &j, true);
}

void record_end(record_log *log, uint32_t count, const stop_report &stop) {
    if (!log->on) return;
    char line[RECORD_LINE_SIZE];
    json_text j;
    open_record(&j, line, sizeof line, *log, "end", true);
    add_count_and_now(&j, count);
    add_name_string(&j, "cause", stop.cause);
    add_name_string(&j, "target", stop.target_forced ? "forced" : "none");
    write_record(log, &j, true);
}
