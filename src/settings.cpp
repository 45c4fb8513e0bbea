// settings.cpp: command line, usage block and settings echo.
#include "settings.h"

#include <cstdio>
#include <cstring>

#include "text.h"

namespace {

const char MISSING_PROGRAM_TEXT[] = "program_path_and_name missing.\n\n";

const char USAGE_SYNOPSIS_TEXT[] = "Usage:  KADRON program_path_and_name [command_line_arguments \n"
                                   "                 [cycle_time_in_milliseconds [run_time_in_milliseconds \n"
                                   "                 [nowait | wait]]]] \n";
const char USAGE_SAMPLE_TEXT[] =
    "Sample: KADRON %%SystemRoot%%\\system32\\notepad.exe sample.txt 15000 5000 \n";
const char USAGE_BLANKS_TEXT[] =
    "Hints:  - if program_path_and_name / command_line_arguments contain blanks \n"
    "          enclose the parameter in \"\" \n";
const char USAGE_PATH_TEXT[] =
    "        - specify the full path and file name and extension of the program. \n"
    "          Without the full path KADRON will not use the search path \n"
    "          but uses the current drive and current directory. \n";
const char USAGE_EMPTY_ARGS_TEXT[] =
    "        - set command_line_arguments = \"\" if you don't want to specify \n"
    "          command line arguments but cycle / run time \n";

const char CLOSE_WINDOW_TEXT[] = "Close this CMD window to stop KADRON. \n\n";
const char ECHO_PROGRAM_TEXT[] = "KADRON starts this process: %s \n";
const char ECHO_ARGUMENTS_TEXT[] = "KADRON starts process with this command line args:%s \n";
const char ECHO_CYCLE_TEXT[] = "KADRON starts process every %lu milliseconds \n";
const char ECHO_RUN_TEXT[] = "KADRON runs process for %lu milliseconds and terminates it afterwards \n";
const char ECHO_WAIT_TEXT[] = "KADRON waits till cycle is over if process terminates before run_time \n";
const char ECHO_NOWAIT_TEXT[] =
    "KADRON waits not till cycle is over if process terminates before run_time \n";

// A word that does not fit is refused, never cut: a cut path could name a
// different program.
const char WORD_TOO_LONG_TEXT[] = "KADRON refuses %s: longer than %lu characters.\n";

// On standard error below the settings echo: a word that is probably a
// mistake. The reading itself stays as it is; scripts may rely on it.
const char NUMBER_TRAILING_TEXT[] = "kadron: %s \"%s\" read as %lu ms (only leading digits count)\n";
const char NUMBER_NO_DIGITS_TEXT[] = "kadron: %s \"%s\" read as %lu ms (no digits)\n";
const char NUMBER_TOO_LARGE_TEXT[] =
    "kadron: %s \"%s\" read as %lu ms (above 4294967295, taken modulo 2^32)\n";
const char NUMBER_TOO_SMALL_TEXT[] =
    "kadron: %s \"%s\" read as %lu ms (below -4294967295, taken modulo 2^32)\n";
// -1 is the usual way to write "no limit" (4294967295); any other negative
// number is probably a mistake.
const char NUMBER_NEGATIVE_TEXT[] = "kadron: %s \"%s\" read as %lu ms (negative, taken modulo 2^32)\n";
const char KILL_TREE_SETTING[] = "KADRON_KILL_TREE";
const char GRACE_SETTING[] = "KADRON_GRACE_MS";
const char KILL_TREE_TEXT[] = "kadron: KADRON_KILL_TREE \"%s\" read as off (only 1 turns it on)\n";
const char GRACE_TEXT[] = "kadron: KADRON_GRACE_MS \"%s\" read as 0 ms (digits only, at most 4294967295)\n";
const char EXTRA_WORD_TEXT[] = "kadron: extra word \"%s\" ignored (at most five words are read)\n";
const char RUN_MODE_TEXT[] = "kadron: run mode \"%s\" read as wait (only wait and nowait are known)\n";

const char DEFAULT_ARGUMENTS[] = " ";
const uint32_t DEFAULT_CYCLE_MS = 3600000;
const uint32_t DEFAULT_RUN_MS = 5000;
const std::size_t MAX_PROGRAM_CHARS = TEXT_SIZE - 1;
const std::size_t MAX_ARGUMENT_CHARS = TEXT_SIZE - sizeof DEFAULT_ARGUMENTS;

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool fits(const char *word, std::size_t max_chars, const char *name) {
    if (std::strlen(word) <= max_chars) return true;
    std::printf(WORD_TOO_LONG_TEXT, name, static_cast<unsigned long>(max_chars));
    return false;
}

// Warns about a number word that is not plain digits (after white space and
// one sign) or that does not fit in 32 bits.
void check_number(const char *name, const char *word) {
    const char *p = word;
    while (is_space(*p))
        ++p;
    const bool negative = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    const char *digits = p;
    uint64_t magnitude = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (magnitude <= UINT32_MAX) magnitude = magnitude * 10u + static_cast<uint64_t>(*p - '0');
    }
    const char *format = nullptr;
    if (p == digits) {
        format = NUMBER_NO_DIGITS_TEXT;
    } else if (magnitude > UINT32_MAX) {
        format = negative ? NUMBER_TOO_SMALL_TEXT : NUMBER_TOO_LARGE_TEXT;
    } else if (negative && magnitude != 1) {
        format = NUMBER_NEGATIVE_TEXT;
    } else if (*p != '\0') {
        format = NUMBER_TRAILING_TEXT;
    }
    if (format != nullptr) {
        std::fprintf(stderr, format, name, word, static_cast<unsigned long>(parse_milliseconds(word)));
    }
}

// After the echo, so that on a terminal a warning stands below the line it
// is about.
void warn_about_words(int word_count, const char *const *words) {
    std::fflush(stdout);
    if (word_count > 3) check_number("cycle time", words[3]);
    if (word_count > 4) check_number("run time", words[4]);
    if (word_count > 5 && compare_no_case(words[5], "nowait") != 0 &&
        compare_no_case(words[5], "wait") != 0) {
        std::fprintf(stderr, RUN_MODE_TEXT, words[5]);
    }
    for (int i = 6; i < word_count; ++i)
        std::fprintf(stderr, EXTRA_WORD_TEXT, words[i]);
}

void print_echo(const run_settings &s) {
    std::printf(CLOSE_WINDOW_TEXT);
    std::printf(ECHO_PROGRAM_TEXT, s.program_path_and_name);
    std::printf(ECHO_ARGUMENTS_TEXT, s.command_line_arguments);
    std::printf(ECHO_CYCLE_TEXT, static_cast<unsigned long>(s.cycle_time_in_milliseconds));
    std::printf(ECHO_RUN_TEXT, static_cast<unsigned long>(s.run_time_in_milliseconds));
    std::printf(s.wait_mode ? ECHO_WAIT_TEXT : ECHO_NOWAIT_TEXT);
    std::printf("\n");
}

} // namespace

uint32_t parse_milliseconds(const char *word) {
    const char *p = word;
    while (is_space(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = (*p++ == '-');
    uint32_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p)
        value = value * 10u + static_cast<uint32_t>(*p - '0');
    return negative ? 0u - value : value;
}

void read_run_ending(run_ending *ending) {
    *ending = run_ending{};
    const char *tree = platform_setting(KILL_TREE_SETTING);
    if (tree != nullptr && std::strcmp(tree, "1") == 0) {
        ending->kill_tree = true;
    } else if (tree != nullptr && tree[0] != '\0' && std::strcmp(tree, "0") != 0) {
        std::fprintf(stderr, KILL_TREE_TEXT, tree);
    }
    const char *grace = platform_setting(GRACE_SETTING);
    if (grace == nullptr) return;
    uint64_t value = 0;
    const char *p = grace;
    for (; *p >= '0' && *p <= '9' && value <= UINT32_MAX; ++p)
        value = value * 10u + static_cast<uint64_t>(*p - '0');
    if (*p != '\0' || value > UINT32_MAX) {
        std::fprintf(stderr, GRACE_TEXT, grace);
        return;
    }
    ending->grace_ms = static_cast<uint32_t>(value);
}

void print_usage() {
    std::printf(USAGE_SYNOPSIS_TEXT);
    std::printf(USAGE_SAMPLE_TEXT);
    std::printf(USAGE_BLANKS_TEXT);
    std::printf(USAGE_PATH_TEXT);
    std::printf(USAGE_EMPTY_ARGS_TEXT);
}

bool parse_invocation(int word_count, const char *const *words, run_settings *settings, int *exit_status) {
    *exit_status = EXIT_MISSING_PROGRAM;
    if (word_count < 2) {
        std::printf(MISSING_PROGRAM_TEXT);
        print_usage();
        return false;
    }
    if (!fits(words[1], MAX_PROGRAM_CHARS, "program_path_and_name")) return false;
    if (word_count > 2 && !fits(words[2], MAX_ARGUMENT_CHARS, "command_line_arguments")) return false;

    run_settings s{};
    std::snprintf(s.program_path_and_name, sizeof s.program_path_and_name, "%s", words[1]);
    std::snprintf(s.command_line_arguments, sizeof s.command_line_arguments, "%s%s", DEFAULT_ARGUMENTS,
                  word_count > 2 ? words[2] : "");
    s.cycle_time_in_milliseconds = word_count > 3 ? parse_milliseconds(words[3]) : DEFAULT_CYCLE_MS;
    s.run_time_in_milliseconds = word_count > 4 ? parse_milliseconds(words[4]) : DEFAULT_RUN_MS;
    s.wait_mode = true;
    bool raise_cycle = true;
    if (word_count > 5 && compare_no_case(words[5], "nowait") == 0) {
        s.wait_mode = false;
        raise_cycle = false;
    }
    if (raise_cycle && s.cycle_time_in_milliseconds < s.run_time_in_milliseconds) {
        s.cycle_time_in_milliseconds = s.run_time_in_milliseconds;
    }
    if (word_count <= 5) print_usage();
    print_echo(s);
    warn_about_words(word_count, words);
    *settings = s;
    *exit_status = 0;
    return true;
}
