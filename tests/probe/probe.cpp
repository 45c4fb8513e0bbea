// probe.cpp: target program for the end-to-end tests; records how it was started and acts on request.
//
// Options, acted on in this order whatever order they come in:
//   --become-root            POSIX: make root the real user (a set-user-ID root copy can)
//   --traced-hold MS         POSIX: a child of its own holds it with ptrace for MS ms, so that it
//                            cannot be reaped for that long once it has ended
//   --on-term-exit CODE      POSIX: exit with CODE on SIGTERM
//   --ignore-term FILE       POSIX: on SIGTERM create FILE and go on
//                            (both then let SIGTERM through, in case it came blocked)
//   --record FILE            append one START line (time, pid, argv, command line, open descriptors,
//                            POSIX: ignored and blocked signals as hex masks, the environment)
//   --grandchild PIDFILE     start a copy of itself sleeping 60 s, not waited for; write its pid
//   --daemon PIDFILE         POSIX: the same, in a session of its own, through a child that ends at once
//   --watch-exit FILE        Windows: a watcher copy writes "exit=<code>" once this process ends
//   --remove-self-after N    once FILE of --record holds N lines, remove the own executable
//   --print TEXT             write TEXT and a newline to standard output
//   --sleep MS               sleep
//   --die-of SIGNAL          POSIX: die of signal number SIGNAL (its default action)
//   --exit CODE              exit with CODE (default 0)
// Words it does not know are ignored, so tests can pass any text along.
#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifndef _WIN32
extern char **environ;
#endif

namespace {

struct options {
    const char *become_root = nullptr;
    const char *traced_hold = nullptr;
    const char *on_term_exit = nullptr;
    const char *ignore_term = nullptr;
    const char *record = nullptr;
    const char *grandchild = nullptr;
    const char *daemon = nullptr;
    const char *watch_exit = nullptr;
    const char *remove_self_after = nullptr;
    const char *print = nullptr;
    const char *sleep = nullptr;
    const char *die_of = nullptr;
    const char *exit = nullptr;
};

std::string hex(const char *word) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(word); *p != 0; ++p) {
        out += digits[*p >> 4];
        out += digits[*p & 15];
    }
    return out;
}

bool write_whole_file(const std::string &path, const std::string &text) {
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
}

// Written beside and renamed into place, so a reader never sees half of it.
bool publish_file(const std::string &path, const std::string &text) {
    const std::string part = path + ".part";
    if (!write_whole_file(part, text)) return false;
#ifdef _WIN32
    return MoveFileExA(part.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
#else
    return std::rename(part.c_str(), path.c_str()) == 0;
#endif
}

std::size_t count_lines(const char *path) {
    std::FILE *f = std::fopen(path, "rb");
    if (f == nullptr) return 0;
    std::size_t lines = 0;
    for (int c = std::fgetc(f); c != EOF; c = std::fgetc(f))
        lines += c == '\n';
    std::fclose(f);
    return lines;
}

long long wall_clock_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string argv_hex(int argc, char **argv) {
    std::string out;
    for (int i = 0; i < argc; ++i) {
        if (i > 0) out += ',';
        out += hex(argv[i] != nullptr ? argv[i] : "");
    }
    return out;
}

#ifdef _WIN32

unsigned long own_pid() { return GetCurrentProcessId(); }

std::string own_executable() {
    char path[MAX_PATH + 1];
    const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    return std::string(path, n < sizeof path ? n : 0);
}

// One word of a command line by the classic runtime's quoting rules.
std::string quote(const std::string &word) {
    std::string out = "\"";
    std::size_t slashes = 0;
    for (const char c : word) {
        if (c == '\\') {
            ++slashes;
            continue;
        }
        out.append(c == '"' ? 2 * slashes + 1 : slashes, '\\');
        slashes = 0;
        out += c;
    }
    out.append(2 * slashes, '\\');
    return out + "\"";
}

bool start_copy(const std::string &arguments, unsigned long *pid) {
    const std::string exe = own_executable();
    std::string command_line = quote(exe) + " " + arguments;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessA(exe.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info)) {
        return false;
    }
    *pid = info.dwProcessId;
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return true;
}

void append_record(const char *path, int argc, char **argv) {
    const HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    const std::string line = "START ms=" + std::to_string(wall_clock_ms()) +
                             " pid=" + std::to_string(own_pid()) + " argc=" + std::to_string(argc) +
                             " argv=" + argv_hex(argc, argv) + " cmdline=" + hex(GetCommandLineA()) +
                             " fds=-\n";
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
}

void sleep_ms(unsigned long ms) { Sleep(ms); }

bool file_exists(const std::string &path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The watcher holds a handle on the watched process before the process may go
// on, so even an immediate forced end is seen with its exit code.
int run_watcher(const char *pid_text, const char *path) {
    const std::string file = path;
    const HANDLE watched = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE,
                                       static_cast<DWORD>(std::strtoul(pid_text, nullptr, 10)));
    if (watched == nullptr) {
        publish_file(file, "error=open\n");
        write_whole_file(file + ".ready", "");
        return 1;
    }
    write_whole_file(file + ".ready", "");
    if (WaitForSingleObject(watched, 120000) != WAIT_OBJECT_0) {
        publish_file(file, "error=timeout\n");
        return 1;
    }
    DWORD code = 0;
    GetExitCodeProcess(watched, &code);
    CloseHandle(watched);
    publish_file(file, "exit=" + std::to_string(code) + "\n");
    return 0;
}

void watch_exit(const char *path) {
    unsigned long watcher = 0;
    if (!start_copy("--watcher " + std::to_string(own_pid()) + " " + quote(path), &watcher)) return;
    const std::string ready = std::string(path) + ".ready";
    for (int waited = 0; waited < 10000 && !file_exists(ready); waited += 10)
        sleep_ms(10);
}

// A running image cannot be deleted, but it can be renamed away: the path is gone either way.
void remove_own_executable() {
    const std::string exe = own_executable();
    const std::string away = exe + ".removed." + std::to_string(own_pid());
    if (MoveFileExA(exe.c_str(), away.c_str(), MOVEFILE_REPLACE_EXISTING)) DeleteFileA(away.c_str());
}

#else

unsigned long own_pid() { return static_cast<unsigned long>(getpid()); }

std::string open_descriptors(int record_fd) {
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) return "?";
    std::vector<int> fds;
    for (const dirent *entry = readdir(dir); entry != nullptr; entry = readdir(dir)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
        const int fd = std::atoi(entry->d_name);
        if (fd != dirfd(dir) && fd != record_fd) fds.push_back(fd);
    }
    closedir(dir);
    std::sort(fds.begin(), fds.end());
    std::string out;
    for (const int fd : fds)
        out += (out.empty() ? "" : ",") + std::to_string(fd);
    return out;
}

// A field of /proc/self/status such as "SigIgn", "-" when it is not there.
std::string status_field(const char *name) {
    std::FILE *f = std::fopen("/proc/self/status", "r");
    if (f == nullptr) return "-";
    char line[256];
    std::string value = "-";
    const std::size_t length = std::strlen(name);
    while (std::fgets(line, sizeof line, f) != nullptr) {
        if (std::strncmp(line, name, length) == 0 && line[length] == ':') {
            value = std::strtok(line + length + 1, " \t\n");
            break;
        }
    }
    std::fclose(f);
    return value;
}

std::string environment_hex() {
    std::string out;
    for (char **p = environ; *p != nullptr; ++p)
        out += (p == environ ? "" : ",") + hex(*p);
    return out;
}

void append_record(const char *path, int argc, char **argv) {
    const std::string ignored = status_field("SigIgn");
    const std::string blocked = status_field("SigBlk");
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    const std::string line = "START ms=" + std::to_string(wall_clock_ms()) +
                             " pid=" + std::to_string(own_pid()) + " argc=" + std::to_string(argc) +
                             " argv=" + argv_hex(argc, argv) + " cmdline=- fds=" + open_descriptors(fd) +
                             " ign=" + ignored + " blk=" + blocked + " env=" + environment_hex() + "\n";
    // One write: lines of concurrent probes never interleave.
    const ssize_t written = write(fd, line.data(), line.size());
    (void)written;
    close(fd);
}

bool start_copy(const char *const *arguments, unsigned long *pid) {
    std::vector<char *> words{const_cast<char *>("/proc/self/exe")};
    for (const char *const *p = arguments; *p != nullptr; ++p)
        words.push_back(const_cast<char *>(*p));
    words.push_back(nullptr);
    pid_t child = 0;
    if (posix_spawn(&child, "/proc/self/exe", nullptr, nullptr, words.data(), environ) != 0) return false;
    *pid = static_cast<unsigned long>(child);
    return true;
}

void sleep_ms(unsigned long ms) {
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0) {
    }
}

void watch_exit(const char *path) { publish_file(path, "unsupported\n"); }

// A child of ours attaches to us and holds on for ms: once we are killed we
// stay a zombie that our parent cannot reap until the tracer lets go.
void traced_hold(unsigned long ms) {
    prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0); // where Yama asks for it
    int ready[2];
    if (pipe(ready) != 0) return;
    const pid_t tracer = fork();
    if (tracer == 0) {
        close(ready[0]);
        const char attached = ptrace(PTRACE_SEIZE, getppid(), nullptr, nullptr) == 0 ? 'y' : 'n';
        (void)!write(ready[1], &attached, 1);
        close(ready[1]);
        sleep_ms(ms);
        _exit(0);
    }
    close(ready[1]);
    char attached = 'n';
    if (tracer > 0) (void)!read(ready[0], &attached, 1);
    close(ready[0]);
}

// Set before SIGTERM is let through, so that one that came while it was
// blocked finds them.
int term_exit_code = 0;
char term_note[4096];

void on_term(int sig, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigaction(sig, &action, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
}

void exit_on_term(int) { _exit(term_exit_code); }

void note_term(int) {
    const int fd = open(term_note, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) close(fd);
}

void remove_own_executable() {
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return;
    exe[n] = '\0';
    unlink(exe);
}

#endif

void start_grandchild(const char *pid_file) {
    unsigned long pid = 0;
#ifdef _WIN32
    if (!start_copy("--sleep 60000", &pid)) return;
#else
    const char *const arguments[] = {"--sleep", "60000", nullptr};
    if (!start_copy(arguments, &pid)) return;
#endif
    publish_file(pid_file, std::to_string(pid) + "\n");
}

#ifndef _WIN32
// As a daemon leaves its starter: the middle process ends at once, so the
// copy is nobody's child until the system hands it to a reaper.
void start_daemon(const char *pid_file) {
    const pid_t middle = fork();
    if (middle == 0) {
        setsid();
        start_grandchild(pid_file);
        _exit(0);
    }
    if (middle > 0) waitpid(middle, nullptr, 0);
}
#endif

options read_options(int argc, char **argv) {
    options o;
    const struct {
        const char *name;
        const char **value;
    } known[] = {{"--traced-hold", &o.traced_hold},
                 {"--on-term-exit", &o.on_term_exit},
                 {"--ignore-term", &o.ignore_term},
                 {"--record", &o.record},
                 {"--grandchild", &o.grandchild},
                 {"--daemon", &o.daemon},
                 {"--watch-exit", &o.watch_exit},
                 {"--remove-self-after", &o.remove_self_after},
                 {"--print", &o.print},
                 {"--sleep", &o.sleep},
                 {"--die-of", &o.die_of},
                 {"--exit", &o.exit}};
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--become-root") == 0) o.become_root = argv[i]; // takes no value
        for (const auto &k : known) {
            if (i + 1 < argc && std::strcmp(argv[i], k.name) == 0) {
                *k.value = argv[++i];
                break;
            }
        }
    }
    return o;
}

} // namespace

int main(int argc, char **argv) {
#ifdef _WIN32
    if (argc == 4 && std::strcmp(argv[1], "--watcher") == 0) return run_watcher(argv[2], argv[3]);
#endif
    const options o = read_options(argc, argv);
#ifndef _WIN32
    if (o.become_root != nullptr) (void)!setuid(0);
    if (o.traced_hold != nullptr) traced_hold(std::strtoul(o.traced_hold, nullptr, 10));
    if (o.on_term_exit != nullptr) {
        term_exit_code = std::atoi(o.on_term_exit);
        on_term(SIGTERM, exit_on_term);
    }
    if (o.ignore_term != nullptr) {
        std::snprintf(term_note, sizeof term_note, "%s", o.ignore_term);
        on_term(SIGTERM, note_term);
    }
#endif
    if (o.record != nullptr) append_record(o.record, argc, argv);
    if (o.grandchild != nullptr) start_grandchild(o.grandchild);
#ifndef _WIN32
    if (o.daemon != nullptr) start_daemon(o.daemon);
#endif
    if (o.watch_exit != nullptr) watch_exit(o.watch_exit);
    if (o.remove_self_after != nullptr && o.record != nullptr &&
        count_lines(o.record) >= std::strtoul(o.remove_self_after, nullptr, 10)) {
        remove_own_executable();
    }
    if (o.print != nullptr) {
        std::printf("%s\n", o.print);
        std::fflush(stdout);
    }
    if (o.sleep != nullptr) sleep_ms(std::strtoul(o.sleep, nullptr, 10));
#ifndef _WIN32
    if (o.die_of != nullptr) {
        const int sig = std::atoi(o.die_of);
        sigset_t only;
        sigemptyset(&only);
        sigaddset(&only, sig);
        signal(sig, SIG_DFL);
        sigprocmask(SIG_UNBLOCK, &only, nullptr);
        raise(sig);
    }
#endif
    return o.exit != nullptr ? std::atoi(o.exit) : 0;
}
