// platform_posix.cpp: the platform services on Linux (posix_spawn, process descriptors, poll).
#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "calendar.h"
#include "platform.h"
#include "text.h"
#include "words.h"

extern char **environ;

namespace {

// A target's argv: its argument text holds fewer than TEXT_SIZE characters,
// so it splits into fewer than TEXT_SIZE words of TEXT_SIZE + 1 bytes in all.
constexpr std::size_t ARGV_TEXT_SIZE = 2 * TEXT_SIZE;
constexpr std::size_t MAX_TARGET_WORDS = TEXT_SIZE + 1;

// Killed targets that have not been reaped yet; the tool does not wait for a
// forced end, so they are reaped as they end, during later waits.
constexpr std::size_t MAX_PENDING = 64;
struct pending_child {
    int pidfd;
};
pending_child pending[MAX_PENDING];
std::size_t pending_count = 0;

constexpr std::size_t OUTPUT_BLOCK_SIZE = 4096;

int open_pidfd(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

uint64_t monotonic_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// Reaps the child behind pidfd if it has ended. true: it is gone (reaped now
// or earlier, also by an ignored SIGCHLD).
bool reap(int pidfd, bool block) {
    for (;;) {
        siginfo_t info{};
        const int rc = waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd), &info,
                              WEXITED | (block ? 0 : WNOHANG));
        if (rc == 0) return block || info.si_pid != 0;
        if (errno == EINTR) continue;
        return true; // ECHILD: nothing left to reap
    }
}

void reap_pending() {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < pending_count; ++i) {
        if (reap(pending[i].pidfd, false)) {
            close(pending[i].pidfd);
        } else {
            pending[kept++] = pending[i];
        }
    }
    pending_count = kept;
}

void keep_pending(int pidfd) {
    if (pending_count == MAX_PENDING) {
        // Not one of them has ended since: wait for the oldest rather than lose it.
        reap(pending[0].pidfd, true);
        close(pending[0].pidfd);
        std::memmove(pending, pending + 1, (MAX_PENDING - 1) * sizeof pending[0]);
        --pending_count;
    }
    pending[pending_count++] = pending_child{pidfd};
}

enum class wake { ended, deadline, error };

// Waits until target_fd (or -1 for none) can be reaped or the deadline passes,
// reaping pending children meanwhile.
wake wait_until(int target_fd, bool forever, uint64_t deadline_ms) {
    for (;;) {
        pollfd fds[MAX_PENDING + 1];
        nfds_t n = 0;
        if (target_fd >= 0) fds[n++] = pollfd{target_fd, POLLIN, 0};
        for (std::size_t i = 0; i < pending_count; ++i)
            fds[n++] = pollfd{pending[i].pidfd, POLLIN, 0};
        int timeout = -1;
        if (!forever) {
            const uint64_t now = monotonic_ms();
            const uint64_t left = deadline_ms > now ? deadline_ms - now : 0;
            timeout = left > INT_MAX ? INT_MAX : static_cast<int>(left);
        }
        const int rc = poll(fds, n, timeout);
        if (rc < 0 && errno != EINTR) {
            if (target_fd < 0) {
                // Sleep must still last: fall back to a plain timed sleep.
                timespec ts{static_cast<time_t>(timeout / 1000),
                            static_cast<long>(timeout % 1000) * 1000000L};
                nanosleep(&ts, nullptr);
                continue;
            }
            return wake::error;
        }
        if (rc > 0) {
            reap_pending();
            if (target_fd >= 0 && fds[0].revents != 0) return wake::ended;
        }
        if (!forever && monotonic_ms() >= deadline_ms) return wake::deadline;
    }
}

// The section that carries the version data (see version_posix.cpp).
const char VERSION_SECTION[] = ".kadron_version";
constexpr uint64_t MAX_VERSION_SIZE = 65536;
// Two zero bytes after the data end the list of a damaged section too.
constexpr uint32_t VERSION_GUARD_SIZE = 2;

bool is_regular_file(const char *path) {
    struct stat st {};
    return stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

bool join_path(char *out, std::size_t size, const char *dir, std::size_t dir_length, const char *name) {
    const int n = std::snprintf(out, size, "%.*s/%s", static_cast<int>(dir_length), dir, name);
    return n > 0 && static_cast<std::size_t>(n) < size;
}

// Finds the file a name refers to as the Windows loader would for its own
// image: a name with a directory as it is; a bare name in the directory of
// the running executable, then the current directory, then the search path.
bool locate_file(const char *name, char *path, std::size_t size) {
    if (std::strchr(name, '/') != nullptr || name[0] == '\0') {
        return std::snprintf(path, size, "%s", name) < static_cast<int>(size);
    }
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = '\0';
        const char *slash = std::strrchr(self, '/');
        if (slash != nullptr && join_path(path, size, self, static_cast<std::size_t>(slash - self), name) &&
            is_regular_file(path)) {
            return true;
        }
    }
    if (is_regular_file(name)) return std::snprintf(path, size, "%s", name) < static_cast<int>(size);
    const char *search = std::getenv("PATH");
    while (search != nullptr && *search != '\0') {
        const char *end = std::strchr(search, ':');
        const std::size_t length =
            end != nullptr ? static_cast<std::size_t>(end - search) : std::strlen(search);
        if (length > 0 && join_path(path, size, search, length, name) && is_regular_file(path)) return true;
        search = end != nullptr ? end + 1 : nullptr;
    }
    return false;
}

bool read_exactly(int fd, void *out, std::size_t size, uint64_t offset) {
    if (offset > static_cast<uint64_t>(INT64_MAX)) return false;
    return pread(fd, out, size, static_cast<off_t>(offset)) == static_cast<ssize_t>(size);
}

// Finds the version section in an ELF file of either class.
template <typename Ehdr, typename Shdr> bool find_section(int fd, uint64_t *offset, uint64_t *size) {
    Ehdr header{};
    if (!read_exactly(fd, &header, sizeof header, 0)) return false;
    if (header.e_shentsize != sizeof(Shdr) || header.e_shnum == 0 || header.e_shstrndx >= header.e_shnum) {
        return false;
    }
    Shdr names{};
    if (!read_exactly(fd, &names, sizeof names,
                      header.e_shoff + uint64_t{header.e_shstrndx} * sizeof(Shdr))) {
        return false;
    }
    for (uint16_t i = 0; i < header.e_shnum; ++i) {
        Shdr section{};
        if (!read_exactly(fd, &section, sizeof section, header.e_shoff + uint64_t{i} * sizeof(Shdr)))
            return false;
        char name[sizeof VERSION_SECTION] = {};
        if (section.sh_name >= names.sh_size) continue;
        if (!read_exactly(fd, name, sizeof name, names.sh_offset + section.sh_name)) continue;
        if (std::memcmp(name, VERSION_SECTION, sizeof name) == 0 && section.sh_type == SHT_PROGBITS) {
            *offset = section.sh_offset;
            *size = section.sh_size;
            return true;
        }
    }
    return false;
}

// Opens the file that name refers to and finds its version data. -1: none.
int open_version_data(const char *name, uint64_t *offset, uint64_t *size) {
    char path[PATH_MAX];
    if (!locate_file(name, path, sizeof path)) return -1;
    // Non-blocking: a name may well be a FIFO or a device, and opening must not hang.
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return -1;
    struct stat st {};
    unsigned char ident[EI_NIDENT] = {};
    bool found = false;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && read_exactly(fd, ident, sizeof ident, 0) &&
        std::memcmp(ident, ELFMAG, SELFMAG) == 0) {
        if (ident[EI_CLASS] == ELFCLASS64) found = find_section<Elf64_Ehdr, Elf64_Shdr>(fd, offset, size);
        if (ident[EI_CLASS] == ELFCLASS32) found = find_section<Elf32_Ehdr, Elf32_Shdr>(fd, offset, size);
    }
    if (!found || *size == 0 || *size > MAX_VERSION_SIZE) {
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace

bool platform_start(const char *application_name, char *command_line, process_ref *started) {
    static bool signals_ready = false;
    if (!signals_ready) {
        // An inherited "ignore" would reap our children behind our back and
        // pass on to every target.
        signal(SIGCHLD, SIG_DFL);
        signals_ready = true;
    }
    reap_pending();

    char argv_text[ARGV_TEXT_SIZE];
    const char *words[MAX_TARGET_WORDS + 1];
    std::size_t word_count = 0;
    if (!split_words(command_line, "", argv_text, sizeof argv_text, words, MAX_TARGET_WORDS, &word_count)) {
        return false;
    }
    words[0] = application_name; // the program path stands in for word 0
    words[word_count] = nullptr;

    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) return false;
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    pid_t pid = 0;
    const int rc =
        posix_spawn(&pid, application_name, &actions, nullptr, const_cast<char *const *>(words), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return false;

    const int pidfd = open_pidfd(pid);
    if (pidfd < 0) {
        // It cannot be watched, so it must not run unwatched.
        kill(pid, SIGKILL);
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        return false;
    }
    started->process = pid;
    started->thread = pidfd;
    return true;
}

wait_outcome platform_wait(const process_ref &started, uint32_t timeout_ms) {
    const int pidfd = static_cast<int>(started.thread);
    const bool forever = timeout_ms == WAIT_FOREVER_MS;
    const wake w = wait_until(pidfd, forever, monotonic_ms() + timeout_ms);
    if (w == wake::error) return wait_outcome::failed;
    if (w == wake::deadline) {
        // A last look: an end at the deadline counts as an end.
        pollfd fd{pidfd, POLLIN, 0};
        if (poll(&fd, 1, 0) <= 0) return wait_outcome::timed_out;
    }
    reap(pidfd, false);
    return wait_outcome::ended;
}

bool platform_terminate(const process_ref &started, uint32_t) {
    // Only the target itself: what it started keeps running.
    return syscall(SYS_pidfd_send_signal, static_cast<int>(started.thread), SIGKILL, nullptr, 0) == 0;
}

void platform_close(process_ref *started) {
    const int pidfd = static_cast<int>(started->thread);
    if (pidfd >= 0) {
        if (reap(pidfd, false)) {
            close(pidfd);
        } else {
            keep_pending(pidfd);
        }
    }
    started->process = 0;
    started->thread = -1;
}

uint32_t platform_tick_ms() { return static_cast<uint32_t>(monotonic_ms()); }

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

intptr_t platform_create_sleeper() {
    // Nothing to create: the sleep is a deadline on the monotonic clock.
    return 1;
}

void platform_sleep(intptr_t, uint32_t timeout_ms) { wait_until(-1, false, monotonic_ms() + timeout_ms); }

void platform_close_sleeper(intptr_t) {}

const char *platform_executable_suffix() { return ""; }

uint32_t platform_version_info_size(const char *file_name) {
    uint64_t offset = 0;
    uint64_t size = 0;
    const int fd = open_version_data(file_name, &offset, &size);
    if (fd < 0) return 0;
    close(fd);
    return static_cast<uint32_t>(size) + VERSION_GUARD_SIZE;
}

bool platform_read_version_info(const char *file_name, uint32_t size, void *block) {
    uint64_t offset = 0;
    uint64_t data_size = 0;
    const int fd = open_version_data(file_name, &offset, &data_size);
    if (fd < 0) return false;
    // The file may have changed since its size was asked: never more than fits.
    const bool ok = data_size + VERSION_GUARD_SIZE <= size && read_exactly(fd, block, data_size, offset);
    close(fd);
    if (ok) std::memset(static_cast<char *>(block) + data_size, 0, size - data_size);
    return ok;
}

bool platform_query_version_value(const void *block, const char *path, const char **value) {
    for (const char *key = static_cast<const char *>(block); *key != '\0';) {
        const char *text = key + std::strlen(key) + 1;
        if (compare_no_case(key, path) == 0) {
            *value = text;
            return true;
        }
        if (*text == '\0') break; // a key without a value: the end of what was read
        key = text + std::strlen(text) + 1;
    }
    return false;
}

void *platform_alloc_zeroed(uint32_t size) { return std::calloc(1, size); }

void platform_free(void *block) { std::free(block); }

void platform_setup_output() {
    if (isatty(STDOUT_FILENO)) {
        std::setvbuf(stdout, nullptr, _IONBF, 0);
    } else {
        std::setvbuf(stdout, nullptr, _IOFBF, OUTPUT_BLOCK_SIZE);
    }
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
