// platform_posix.cpp: the POSIX platform services other than processes, the sleep and version data: local
// time, output, words.
#include <limits.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "calendar.h"
#include "platform.h"
#include "posix_backend.h"

namespace {

constexpr std::size_t OUTPUT_BLOCK_SIZE = 4096;

} // namespace

void platform_local_time(calendar_time *now) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    now->year = static_cast<uint16_t>(local.tm_year + 1900);
    now->month = static_cast<uint16_t>(local.tm_mon + 1);
    now->day_of_week = static_cast<uint16_t>(local.tm_wday);
    now->day = static_cast<uint16_t>(local.tm_mday);
    now->hour = static_cast<uint16_t>(local.tm_hour);
    now->minute = static_cast<uint16_t>(local.tm_min);
    now->second = static_cast<uint16_t>(local.tm_sec > 59 ? 59 : local.tm_sec);
    now->milliseconds = static_cast<uint16_t>(ts.tv_nsec / 1000000);
}

bool platform_time_to_units(const calendar_time &time, uint64_t *units) {
    return calendar_to_units(time, units);
}

bool platform_units_to_time(uint64_t units, calendar_time *time) { return calendar_from_units(units, time); }

const char *platform_executable_suffix() { return ""; }

const char *platform_directory_separators() { return "/"; }

const char *platform_option_marks() { return "-"; }

void *platform_alloc_zeroed(uint32_t size) { return std::calloc(1, size); }

void platform_free(void *block) { std::free(block); }

void platform_setup_output() {
    // Before the first text: a tool stuck writing it must end by SIGTERM and the like too.
    take_ending_signals();
    if (isatty(STDOUT_FILENO)) {
        std::setvbuf(stdout, nullptr, _IONBF, 0);
    } else {
        std::setvbuf(stdout, nullptr, _IOFBF, OUTPUT_BLOCK_SIZE);
    }
    std::setvbuf(stderr, nullptr, _IONBF, 0);
}

bool platform_tool_words(int argc, char **argv, int *word_count, const char *const **words) {
    static char own_name[PATH_MAX];
    static const char *only_word[2] = {own_name, nullptr};
    if (argc < 1 || argv == nullptr || argv[0] == nullptr || argv[0][0] == '\0') {
        const ssize_t n = readlink("/proc/self/exe", own_name, sizeof own_name - 1);
        own_name[n > 0 ? n : 0] = '\0';
        if (argc < 1 || argv == nullptr) {
            *word_count = 1;
            *words = only_word;
            return true;
        }
        argv[0] = own_name;
    }
    *word_count = argc;
    *words = argv;
    return true;
}
