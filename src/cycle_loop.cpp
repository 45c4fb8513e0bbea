// cycle_loop.cpp: status line, supervised run, sleep out the rest of the cycle.
#include "cycle_loop.h"

#include <cstdio>
#include <cstring>

#include "banner.h"
#include "platform.h"
#include "run_record.h"
#include "supervised_run.h"

namespace {

// "\r" and 78 blanks: wipes the status line.
const char BLANK_LINE_TEXT[] =
    "\r                                                                              ";
const char COUNT_TEXT[] = "\rKADRON count #%lu";
const char STARTED_TEXT[] = "  started at %02d:%02d:%02d,%03d";
const char NEXT_TEXT[] = "   next at %02d:%02d:%02d,%03d";

// On standard error after a start that found no program, where the words
// suggest why.
const char NO_OPTIONS_HINT[] = "kadron: there are no options; the first word is the program to start "
                               "(run kadron alone for the usage)\n";
const char NO_SEARCH_PATH_HINT[] = "kadron: the search path is not used; give a path such as %sNAME\n";

// On standard error at the start when KADRON_KILL_TREE cannot be had here.
const char TREE_NOT_COVERED_TEXT[] =
    "kadron: KADRON_KILL_TREE: the processes a target starts are not covered here "
    "(%s); only the target ends with its run\n";

// The texts of one moment, gathered so that they leave in one write: on a
// terminal, where standard output is unbuffered, each printf is a write.
struct moment_text {
    char text[TEXT_SIZE];
    std::size_t length;
};

// Takes in what snprintf just wrote at the end; a text that did not fit
// whole is dropped rather than cut.
void take(moment_text *m, int written) {
    if (written > 0 && static_cast<std::size_t>(written) < sizeof m->text - m->length) {
        m->length += static_cast<std::size_t>(written);
    }
    m->text[m->length] = '\0';
}

char *end_of(moment_text *m) { return m->text + m->length; }
std::size_t room_of(const moment_text &m) { return sizeof m.text - m.length; }

void add_clock(moment_text *m, const char *format, const calendar_time &t) {
    take(m, std::snprintf(end_of(m), room_of(*m), format, t.hour, t.minute, t.second, t.milliseconds));
}

void print_moment(const moment_text &m) { std::fwrite(m.text, 1, m.length, stdout); }

// The tool was told to stop: its last record, then its end.
[[noreturn]] void stop_now(record_log *log, uint32_t cycle_count) {
    stop_report stop{};
    platform_stop_report(&stop);
    record_end(log, cycle_count, stop);
    std::fflush(stdout);
    platform_finish_stop();
}

// A wait of WAIT_FOREVER_MS would never end: sleep it as two finite waits.
// false: the tool was told to stop.
bool sleep_out(intptr_t wake_event, uint32_t remaining_ms) {
    std::fflush(stdout);
    if (remaining_ms == WAIT_FOREVER_MS) {
        if (!platform_sleep(wake_event, WAIT_FOREVER_MS - 1)) return false;
        remaining_ms = 1;
    }
    return platform_sleep(wake_event, remaining_ms);
}

bool has_any_of(const char *text, const char *characters) {
    return std::strpbrk(text, characters) != nullptr;
}

// A word meant as an option gets the first hint alone: "./--help" would be
// no help.
void hint_not_found(const char *program) {
    if (program[0] != '\0' && std::strchr(platform_option_marks(), program[0]) != nullptr) {
        std::fputs(NO_OPTIONS_HINT, stderr);
    } else if (program[0] != '\0' && !has_any_of(program, platform_directory_separators())) {
        std::fprintf(stderr, NO_SEARCH_PATH_HINT, platform_current_directory_prefix());
    }
}

} // namespace

int cycle_loop(const run_settings &settings, record_log *log) {
    const intptr_t wake_event = platform_create_sleeper();
    uint32_t cycle_count = 0;
    int exit_status = EXIT_CANNOT_START;
    for (;;) {
        ++cycle_count;
        moment_text start{};
        take(&start, std::snprintf(end_of(&start), room_of(start), "%s", BLANK_LINE_TEXT));
        take(&start, std::snprintf(end_of(&start), room_of(start), COUNT_TEXT,
                                   static_cast<unsigned long>(cycle_count)));
        calendar_time now{};
        platform_local_time(&now);
        add_clock(&start, STARTED_TEXT, now);
        print_moment(start);

        // The start may write into the command line; the settings stay as they are.
        char arguments[TEXT_SIZE];
        std::memcpy(arguments, settings.command_line_arguments, sizeof arguments);
        uint32_t elapsed_ms = settings.run_time_in_milliseconds;
        run_details details{};
        const run_status status = run_once(settings.program_path_and_name, arguments, settings.ending,
                                           &elapsed_ms, log->on, &details);
        if (status == run_status::stopped) stop_now(log, cycle_count);
        if (status == run_status::not_started) {
            if (details.failure == start_failure::not_found) {
                hint_not_found(settings.program_path_and_name);
                exit_status = EXIT_NOT_FOUND;
            }
            record_start_failed(log, cycle_count, exit_status, details.reason);
            break;
        }

        calendar_time end_of_run{};
        platform_local_time(&end_of_run);
        uint64_t end_units = 0;
        platform_time_to_units(end_of_run, &end_units);
        const uint32_t cycle_ms = settings.cycle_time_in_milliseconds;
        const uint32_t remaining_ms = cycle_ms > elapsed_ms ? cycle_ms - elapsed_ms : 0;
        calendar_time next{};
        platform_units_to_time(end_units + uint64_t{remaining_ms} * UNITS_PER_MS, &next);
        moment_text after_run{};
        add_clock(&after_run, NEXT_TEXT, next);
        print_moment(after_run);
        record_run(log, cycle_count, details.report, true);

        if (remaining_ms > 0 && !sleep_out(wake_event, remaining_ms)) stop_now(log, cycle_count);
    }
    platform_close_sleeper(wake_event);
    return exit_status;
}

int kadron_main(int word_count, const char *const *words) {
    char version[TEXT_SIZE];
    show_banner(word_count > 0 ? words[0] : "", version, sizeof version);
    run_settings settings{};
    int exit_status = 0;
    if (!parse_invocation(word_count, words, &settings, &exit_status)) return exit_status;
    read_run_ending(&settings.ending);
    if (settings.ending.kill_tree || settings.ending.grace_ms > 0) {
        char reason[TEXT_SIZE] = {};
        if (!platform_set_run_ending(settings.ending.kill_tree, settings.ending.grace_ms > 0, reason,
                                     sizeof reason)) {
            std::fprintf(stderr, TREE_NOT_COVERED_TEXT, reason);
        }
    }
    record_log log{};
    record_setup(&log);
    if (!record_begin(&log, settings, version)) return EXIT_CANNOT_RECORD;
    return cycle_loop(settings, &log);
}
