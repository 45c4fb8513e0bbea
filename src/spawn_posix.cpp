// spawn_posix.cpp: starts a target in a child that the kernel kills when the tool ends (Linux), says what a
// program that exists but cannot be executed is missing, and finds the tool's children in /proc.
#include <dirent.h>
#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "posix_backend.h"

namespace {

// Whether the kernel closes a range of descriptors in one call: asked once.
enum class range_close { unknown, works, fails };
range_close range_close_state = range_close::unknown;

// Room for several entries of a /proc directory per read.
constexpr std::size_t DIRECTORY_BUFFER_SIZE = 2048;

// A path below /proc with two numbers in it.
constexpr std::size_t PROC_PATH_SIZE = 64;
// Read at a time from a children file; the start of /proc/<pid>/stat, which
// holds the parent's pid after a name of at most 16 bytes.
constexpr std::size_t CHILDREN_READ_SIZE = 512;
constexpr std::size_t STAT_READ_SIZE = 256;

// How the tool's children are found, chosen once by prepare_child_listing().
enum class child_listing { none, task_children, process_scan };
child_listing listing = child_listing::none;
bool scan_only = false;
pid_t listing_pid = 0;

// The first bytes of a program as the kernel reads them for a "#!" line.
constexpr std::size_t HEADER_SIZE = 256;
// An interpreter or loader name, and the same name with unprintable bytes shown.
constexpr std::size_t NAME_SIZE = 256;
constexpr std::size_t SHOWN_NAME_SIZE = 4 * NAME_SIZE;
// Program headers looked at before giving up on finding the loader.
constexpr unsigned MAX_PROGRAM_HEADERS = 1024;
// The byte order of this machine's own programs, as an ELF header names it.
constexpr unsigned char NATIVE_DATA = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB : ELFDATA2MSB;

// What the child needs besides the start itself; prepared before vfork.
struct child_plan {
    bool one_by_one; // the kernel cannot close a range: close 3 up to highest one by one
    int highest;
    int error_fd; // the write end of the error pipe, kept open until execve; -1: none
    int read_fd;  // its read end, closed by execve
};

bool range_close_works() {
    if (range_close_state == range_close::unknown) {
        // Closes nothing (no descriptor has that number); fails where the
        // kernel or a seccomp filter refuses the call.
        range_close_state = close_range(~0u, ~0u, 0) == 0 ? range_close::works : range_close::fails;
    }
    return range_close_state == range_close::works;
}

// The number an entry of a /proc directory names; -1 for ".", ".." and names.
long entry_number(const char *name) {
    if (*name < '0' || *name > '9') return -1;
    long n = 0;
    for (; *name >= '0' && *name <= '9' && n <= INT_MAX; ++name)
        n = n * 10 + (*name - '0');
    return n <= INT_MAX ? n : INT_MAX;
}

// Calls each(number, context) for every entry of the directory at path whose
// name is a number, with a stack buffer and async-signal-safe calls only.
// false: the directory could not be read to its end.
bool for_each_numbered_entry(const char *path, void (*each)(long number, void *context), void *context) {
    const int dir = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return false;
    alignas(dirent64) char buffer[DIRECTORY_BUFFER_SIZE];
    ssize_t n = 0;
    while ((n = getdents64(dir, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
        for (ssize_t at = 0; n > 0 && at < n;) {
            unsigned short length = 0;
            std::memcpy(&length, buffer + at + offsetof(dirent64, d_reclen), sizeof length);
            const long number = entry_number(buffer + at + offsetof(dirent64, d_name));
            if (number >= 0) each(number, context);
            if (length == 0) break;
            at += length;
        }
    }
    close(dir);
    return n == 0;
}

void note_highest(long fd, void *highest) {
    int *h = static_cast<int *>(highest);
    if (fd > *h) *h = static_cast<int>(fd);
}

// The highest descriptor open in the tool: read from /proc/self/fd without
// the heap (the directory's own descriptor among them: one closed for
// nothing), or the soft limit's last number where that cannot be read.
int highest_descriptor() {
    int highest = STDERR_FILENO;
    if (for_each_numbered_entry("/proc/self/fd", note_highest, &highest)) return highest;
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > INT_MAX)
        return INT_MAX;
    return static_cast<int>(limit.rlim_cur) - 1;
}

// Paths below /proc, made without snprintf (the signal handler comes here).
struct proc_path {
    char text[PROC_PATH_SIZE];
    std::size_t used;
};

void add_text(proc_path *path, const char *text) {
    for (; *text != '\0' && path->used + 1 < sizeof path->text; ++text)
        path->text[path->used++] = *text;
    path->text[path->used] = '\0';
}

void add_number(proc_path *path, long number) {
    char digits[24];
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number > 0 && count < sizeof digits);
    while (count > 0 && path->used + 1 < sizeof path->text)
        path->text[path->used++] = digits[--count];
    path->text[path->used] = '\0';
}

int open_proc_file(const proc_path &path) {
    int fd = -1;
    do {
        fd = open(path.text, O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Opens head, number and tail as one path under /proc ("/proc/", 42, "/stat").
int open_numbered_proc_file(const char *head, long number, const char *tail, proc_path *path) {
    *path = proc_path{};
    add_text(path, head);
    add_number(path, number);
    add_text(path, tail);
    return open_proc_file(*path);
}

struct child_visit {
    void (*visit)(pid_t pid, void *context);
    void *context;
};

// One thread's children file: the pids with a blank after each, read a piece
// at a time (a number may be cut between two pieces).
void visit_task_children(long tid, void *visit) {
    const child_visit &v = *static_cast<const child_visit *>(visit);
    proc_path path{};
    const int fd = open_numbered_proc_file("/proc/self/task/", tid, "/children", &path);
    if (fd < 0) return;
    char piece[CHILDREN_READ_SIZE];
    long pid = 0;
    bool in_number = false;
    for (;;) {
        const ssize_t n = read(fd, piece, sizeof piece);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; ++i) {
            if (piece[i] >= '0' && piece[i] <= '9') {
                if (pid <= INT_MAX) pid = pid * 10 + (piece[i] - '0');
                in_number = true;
            } else {
                if (in_number && pid > 0 && pid <= INT_MAX) v.visit(static_cast<pid_t>(pid), v.context);
                pid = 0;
                in_number = false;
            }
        }
    }
    if (in_number && pid > 0 && pid <= INT_MAX) v.visit(static_cast<pid_t>(pid), v.context);
    close(fd);
}

// Where the kernel keeps no children file: every process's stat, "pid (name)
// state ppid ...", where the name may hold blanks and parentheses.
void visit_if_child(long pid, void *visit) {
    const child_visit &v = *static_cast<const child_visit *>(visit);
    proc_path path{};
    const int fd = open_numbered_proc_file("/proc/", pid, "/stat", &path);
    if (fd < 0) return;
    char stat[STAT_READ_SIZE];
    ssize_t n = 0;
    do {
        n = read(fd, stat, sizeof stat);
    } while (n < 0 && errno == EINTR);
    close(fd);
    ssize_t at = n - 1;
    while (at >= 0 && stat[at] != ')')
        --at;
    if (at < 0 || at + 4 >= n) return;
    at += 4; // past ") S "
    long parent = 0;
    for (; at < n && stat[at] >= '0' && stat[at] <= '9' && parent <= INT_MAX; ++at)
        parent = parent * 10 + (stat[at] - '0');
    if (parent == listing_pid && pid != listing_pid) v.visit(static_cast<pid_t>(pid), v.context);
}

// Only async-signal-safe calls: this runs in the child of vfork.
void close_descriptors(const child_plan &plan) {
    const int first = STDERR_FILENO + 1;
    if (!plan.one_by_one) {
        // Below the write end; not worth a call when that is the read end alone.
        const int below = plan.error_fd - 1;
        if (below >= first && !(below == first && plan.read_fd == first))
            close_range(first, static_cast<unsigned>(below), 0);
        close_range(plan.error_fd >= first ? static_cast<unsigned>(plan.error_fd) + 1 : first, ~0u, 0);
        return;
    }
    for (long fd = first; fd <= plan.highest; ++fd) {
        if (fd != plan.error_fd) close(static_cast<int>(fd));
    }
}

// The child's failure: errno through the pipe, and into the shared field for
// where no pipe could be had (there vfork shares the memory).
[[noreturn]] void fail_start(const child_plan &plan, volatile int *error) {
    const int e = errno;
    *error = e;
    if (plan.error_fd >= 0) (void)!write(plan.error_fd, &e, sizeof e);
    _exit(127);
}

// The child of vfork: it runs on the tool's memory and stack until execve, so
// it makes only async-signal-safe calls, writes nothing of the tool's but
// *error, and never returns.
[[noreturn]] void become_target(const target_start &start, const child_plan &plan, pid_t tool,
                                volatile int *error) {
    // Asked before the check below: a tool killed before the setting took
    // effect has left the child to another parent already.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) fail_start(plan, error);
    if (getppid() != tool) _exit(127);
    // Still with every signal blocked: no handler of the tool can run here.
    struct sigaction by_default {};
    by_default.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sigismember(start.defaults, sig) == 1) sigaction(sig, &by_default, nullptr);
    }
    sigprocmask(SIG_SETMASK, start.mask, nullptr);
    close_descriptors(plan);
    execve(start.path, start.argv, start.envp);
    fail_start(plan, error);
}

// The exec error the child sent; 0 when the pipe reached its end (the child
// executed, which closed the write end) or could not be read.
int read_child_error(int fd) {
    int error = 0;
    ssize_t n = 0;
    do {
        n = read(fd, &error, sizeof error);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(sizeof error) ? error : 0;
}

// A name from a program's file, with a carriage return or other unprintable
// byte shown as an escape ("/bin/sh\r").
void show_name(const char *name, char *out, std::size_t out_size) {
    std::size_t used = 0;
    out[0] = '\0';
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p != 0; ++p) {
        char piece[8];
        if (*p == '\r') {
            std::snprintf(piece, sizeof piece, "\\r");
        } else if (*p < 0x20 || *p == 0x7f) {
            std::snprintf(piece, sizeof piece, "\\x%02x", *p);
        } else {
            piece[0] = static_cast<char>(*p);
            piece[1] = '\0';
        }
        const std::size_t length = std::strlen(piece);
        if (used + length >= out_size) break;
        std::memcpy(out + used, piece, length + 1);
        used += length;
    }
}

// The interpreter of a "#!" line as the kernel takes it: after blanks, up to
// the next blank, tab or line end; a carriage return stays part of it.
bool interpreter_of(const char *header, std::size_t length, char *name, std::size_t name_size) {
    if (length < 2 || header[0] != '#' || header[1] != '!') return false;
    std::size_t at = 2;
    while (at < length && (header[at] == ' ' || header[at] == '\t'))
        ++at;
    std::size_t used = 0;
    for (; at < length && header[at] != ' ' && header[at] != '\t' && header[at] != '\n' && header[at] != '\0';
         ++at) {
        if (used + 1 >= name_size) return false;
        name[used++] = header[at];
    }
    name[used] = '\0';
    return used > 0;
}

bool read_exactly(int fd, void *out, std::size_t size, uint64_t offset) {
    if (offset > static_cast<uint64_t>(INT64_MAX)) return false;
    return pread(fd, out, size, static_cast<off_t>(offset)) == static_cast<ssize_t>(size);
}

// The loader an ELF file names in its PT_INTERP header.
template <typename Ehdr, typename Phdr> bool loader_of(int fd, char *name, std::size_t name_size) {
    Ehdr header{};
    if (!read_exactly(fd, &header, sizeof header, 0) || header.e_phentsize != sizeof(Phdr)) return false;
    for (unsigned i = 0; i < header.e_phnum && i < MAX_PROGRAM_HEADERS; ++i) {
        Phdr program{};
        if (!read_exactly(fd, &program, sizeof program, header.e_phoff + uint64_t{i} * sizeof(Phdr)))
            return false;
        if (program.p_type != PT_INTERP) continue;
        if (program.p_filesz < 2 || program.p_filesz > name_size) return false;
        const std::size_t size = static_cast<std::size_t>(program.p_filesz);
        if (!read_exactly(fd, name, size, program.p_offset)) return false;
        name[size - 1] = '\0';
        return name[0] != '\0';
    }
    return false;
}

bool missing(const char *name) { return access(name, F_OK) != 0 && (errno == ENOENT || errno == ENOTDIR); }

} // namespace

void close_descriptors_one_by_one() { range_close_state = range_close::fails; }

void find_children_by_scan() { scan_only = true; }

bool prepare_child_listing(char *reason, std::size_t reason_size) {
    listing_pid = getpid();
    proc_path path{};
    int fd = scan_only ? -1 : open_numbered_proc_file("/proc/self/task/", listing_pid, "/children", &path);
    listing = child_listing::task_children;
    if (fd < 0) {
        path = proc_path{};
        add_text(&path, "/proc/self/stat");
        fd = open_proc_file(path);
        listing = child_listing::process_scan;
    }
    if (fd < 0) {
        listing = child_listing::none;
        std::snprintf(reason, reason_size, "%s: %s", path.text, std::strerror(errno));
        return false;
    }
    close(fd);
    return true;
}

void list_children(void (*visit)(pid_t pid, void *context), void *context) {
    child_visit v{visit, context};
    if (listing == child_listing::task_children)
        for_each_numbered_entry("/proc/self/task", visit_task_children, &v);
    if (listing == child_listing::process_scan) for_each_numbered_entry("/proc", visit_if_child, &v);
}

pid_t start_target(const target_start &start, int *error) {
    child_plan plan{false, 0, -1, -1};
    if (!range_close_works()) {
        plan.one_by_one = true;
        plan.highest = highest_descriptor();
    }
    // The exec error comes back through a pipe that the exec closes, so it
    // comes back also where vfork copies the memory as fork does (under
    // valgrind or an emulator). Without a free descriptor for it, the shared
    // memory of a real vfork carries it.
    int error_pipe[2] = {-1, -1};
    if (pipe2(error_pipe, O_CLOEXEC) != 0) error_pipe[0] = error_pipe[1] = -1;
    plan.error_fd = error_pipe[1];
    plan.read_fd = error_pipe[0];

    // The child shares our memory until it executes: no handler may run on it
    // in either process meanwhile.
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &before);
    volatile int shared_error = 0;
    const pid_t tool = getpid();
    const pid_t pid = vfork();
    if (pid == 0) become_target(start, plan, tool, &shared_error);
    const int vfork_error = errno;
    sigprocmask(SIG_SETMASK, &before, nullptr);
    if (error_pipe[1] >= 0) close(error_pipe[1]);
    int child_error = shared_error;
    if (error_pipe[0] >= 0) {
        child_error = pid > 0 ? read_child_error(error_pipe[0]) : 0;
        close(error_pipe[0]);
    }
    if (pid < 0) {
        *error = vfork_error;
        return 0;
    }
    if (child_error != 0) {
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        *error = child_error;
        return 0;
    }
    return pid;
}

bool explain_missing_part(const char *path, char *reason, std::size_t reason_size) {
    int fd = -1;
    do {
        fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0 && (errno == ENOENT || errno == ENOTDIR)) return false;

    enum class part { unknown, interpreter, loader };
    part what = part::unknown;
    char name[NAME_SIZE] = {};
    if (fd >= 0) {
        char header[HEADER_SIZE];
        const ssize_t n = pread(fd, header, sizeof header, 0);
        if (n > 0 && interpreter_of(header, static_cast<std::size_t>(n), name, sizeof name)) {
            what = part::interpreter;
        } else if (n >= EI_NIDENT && std::memcmp(header, ELFMAG, SELFMAG) == 0 &&
                   header[EI_DATA] == NATIVE_DATA) {
            if (header[EI_CLASS] == ELFCLASS64 && loader_of<Elf64_Ehdr, Elf64_Phdr>(fd, name, sizeof name))
                what = part::loader;
            if (header[EI_CLASS] == ELFCLASS32 && loader_of<Elf32_Ehdr, Elf32_Phdr>(fd, name, sizeof name))
                what = part::loader;
        }
        close(fd);
    }
    // A name that is there after all (an interpreter that is itself a script
    // with a missing interpreter, say) is not what is missing.
    if (what != part::unknown && !missing(name)) what = part::unknown;
    char shown[SHOWN_NAME_SIZE];
    show_name(name, shown, sizeof shown);
    if (what == part::interpreter) {
        std::snprintf(reason, reason_size, "its interpreter \"%s\" (first line) does not exist", shown);
    } else if (what == part::loader) {
        std::snprintf(reason, reason_size, "its loader \"%s\" does not exist", shown);
    } else {
        std::snprintf(reason, reason_size, "it exists, but a file it needs to run does not (%s)",
                      std::strerror(ENOENT));
    }
    return true;
}
