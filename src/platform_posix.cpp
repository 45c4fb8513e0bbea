// platform_posix.cpp: the POSIX platform services other than processes, the sleep and version data: clocks,
// output, the run record's writes, settings and words.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "calendar.h"
#include "platform.h"
#include "posix_backend.h"

namespace {

constexpr std::size_t OUTPUT_BLOCK_SIZE = 4096;

constexpr long NS_PER_MS = 1000000;

pid_t own_pid = 0;

void to_calendar(const tm &t, long nanoseconds, calendar_time *out) {
    out->year = static_cast<uint16_t>(t.tm_year + 1900);
    out->month = static_cast<uint16_t>(t.tm_mon + 1);
    out->day_of_week = static_cast<uint16_t>(t.tm_wday);
    out->day = static_cast<uint16_t>(t.tm_mday);
    out->hour = static_cast<uint16_t>(t.tm_hour);
    out->minute = static_cast<uint16_t>(t.tm_min);
    out->second = static_cast<uint16_t>(t.tm_sec > 59 ? 59 : t.tm_sec);
    out->milliseconds = static_cast<uint16_t>(nanoseconds / NS_PER_MS);
}

bool failed_with(int error, char *reason, std::size_t reason_size) {
    std::snprintf(reason, reason_size, "%s", std::strerror(error));
    return false;
}

} // namespace

void platform_local_time(calendar_time *now) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    to_calendar(local, ts.tv_nsec, now);
}

void platform_utc_time(calendar_time *now) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm utc{};
    gmtime_r(&ts.tv_sec, &utc);
    to_calendar(utc, ts.tv_nsec, now);
}

bool platform_time_to_units(const calendar_time &time, uint64_t *units) {
    return calendar_to_units(time, units);
}

bool platform_units_to_time(uint64_t units, calendar_time *time) { return calendar_from_units(units, time); }

const char *platform_executable_suffix() { return ""; }

const char *platform_directory_separators() { return "/"; }

const char *platform_current_directory_prefix() { return "./"; }

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

const char *platform_setting(const char *name) { return std::getenv(name); }

uint32_t platform_process_id() {
    // Asked once: the tool's process id does not change.
    if (own_pid == 0) own_pid = getpid();
    return static_cast<uint32_t>(own_pid);
}

bool platform_append_line(const char *path, const char *line, std::size_t length, std::size_t *written,
                          char *reason, std::size_t reason_size) {
    *written = 0;
    int fd = STDERR_FILENO;
    if (path != nullptr) {
        // Opened for this line alone: a log rotator may move the file at any time.
        do {
            fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) return failed_with(errno, reason, reason_size);
    }
    // One write: an append of one write is never interleaved with another's.
    ssize_t n = 0;
    do {
        n = write(fd, line, length);
    } while (n < 0 && errno == EINTR);
    const int error = errno;
    if (path != nullptr) close(fd);
    if (n < 0) return failed_with(error, reason, reason_size);
    *written = static_cast<std::size_t>(n);
    if (*written < length) {
        std::snprintf(reason, reason_size, "only %zu of %zu bytes were written", *written, length);
        return false;
    }
    return true;
}

bool platform_error_joins_output() {
    if (isatty(STDERR_FILENO)) return true;
    struct stat out {};
    struct stat err {};
    return fstat(STDOUT_FILENO, &out) == 0 && fstat(STDERR_FILENO, &err) == 0 && out.st_dev == err.st_dev &&
           out.st_ino == err.st_ino;
}

void platform_text_to_utf8(const char *text, char *out, std::size_t out_size) {
    // The tool's texts are bytes already: copied, cut only between characters.
    if (out_size == 0) return;
    std::size_t length = std::strlen(text);
    if (length >= out_size) {
        std::size_t cut = out_size - 1;
        std::size_t lead = cut;
        const auto byte = [text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
        while (lead > 0 && cut - lead < 3 && (byte(lead) & 0xC0) == 0x80)
            --lead;
        // A character begun at lead and not ended by cut is left out whole.
        const unsigned char first = byte(lead);
        const std::size_t size = first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : first >= 0xC0 ? 2 : 1;
        if (lead < cut && first >= 0xC0 && lead + size > cut) cut = lead;
        length = cut;
    }
    std::memcpy(out, text, length);
    out[length] = '\0';
}
