// posix_platform_test.cpp: the POSIX backend against real processes (the probe) and real signals.
#include <gtest/gtest.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "platform.h"
#include "posix_backend.h"

namespace {

uint64_t now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

bool start_probe(const char *arguments, process_ref *started) {
    char text[TEXT_SIZE];
    std::snprintf(text, sizeof text, " %s", arguments);
    char reason[TEXT_SIZE];
    start_failure failure{};
    return platform_start(KADRON_PROBE_PATH, text, started, &failure, reason, sizeof reason);
}

bool terminate(const process_ref &started) {
    char reason[TEXT_SIZE];
    return platform_terminate(started, TERMINATE_EXIT_CODE, reason, sizeof reason);
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const std::string &path, const std::string &text, mode_t mode) {
    std::ofstream(path, std::ios::binary) << text;
    chmod(path.c_str(), mode);
}

// The descriptors this process has open.
std::string open_descriptors() {
    std::string list;
    DIR *dir = opendir("/proc/self/fd");
    for (const dirent *entry = readdir(dir); entry != nullptr; entry = readdir(dir)) {
        if (entry->d_name[0] != '.' && std::atoi(entry->d_name) != dirfd(dir))
            list += std::string(entry->d_name) + ",";
    }
    closedir(dir);
    return list;
}

// The field "fds=..." of the probe's record line.
std::string recorded_descriptors(const std::string &record) {
    const std::size_t at = record.find(" fds=");
    if (at == std::string::npos) return "(no record)";
    return record.substr(at + 5, record.find(' ', at + 5) - at - 5);
}

// true when this process has no child left at all: every one was reaped.
bool no_children_left() {
    errno = 0;
    return waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD;
}

// Interrupts every blocking call with a signal every 20 ms while it lives.
struct signal_storm {
    struct sigaction old_action {};
    signal_storm() {
        struct sigaction action {};
        action.sa_handler = [](int) {};
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0; // no SA_RESTART: calls come back with EINTR
        sigaction(SIGALRM, &action, &old_action);
        itimerval every{{0, 20000}, {0, 20000}};
        setitimer(ITIMER_REAL, &every, nullptr);
    }
    ~signal_storm() {
        itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
        sigaction(SIGALRM, &old_action, nullptr);
    }
};

} // namespace

TEST(PosixPlatform, StartsThatCannotHappenFailAndLeaveNothing) {
    char scratch[] = "/tmp/kadron-platform-XXXXXX";
    ASSERT_NE(mkdtemp(scratch), nullptr);
    const std::string plain = std::string(scratch) + "/plain";
    std::FILE *f = std::fopen(plain.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("not a program\n", f);
    std::fclose(f);
    const std::string garbage = std::string(scratch) + "/garbage";
    f = std::fopen(garbage.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("\x7f"
               "ELF this is no executable\n",
               f);
    std::fclose(f);
    chmod(garbage.c_str(), 0755);
    // Programs that are there but whose interpreter or loader is not.
    const std::string crlf = std::string(scratch) + "/crlf.sh";
    write_file(crlf, "#!/bin/sh\r\nexit 0\r\n", 0755);
    const std::string no_shell = std::string(scratch) + "/no-shell.sh";
    write_file(no_shell, "#! /missing/sh -e\nexit 0\n", 0755);
    std::string image = read_file(KADRON_PROBE_PATH);
    const std::size_t so = image.find(".so.");
    ASSERT_NE(so, std::string::npos);
    image[so + 4] = 'X'; // the loader named in the first bytes, made one that does not exist
    const std::string no_loader = std::string(scratch) + "/no-loader";
    write_file(no_loader, image, 0755);
    const std::size_t loader_at = image.rfind('\0', so) + 1;
    const std::string loader = image.substr(loader_at, image.find('\0', so) - loader_at);

    // Missing (also behind a file used as a directory) or there and not startable.
    const struct {
        std::string name;
        start_failure failure;
        std::string reason; // empty: any
    } cases[] = {
        {std::string(scratch) + "/missing", start_failure::not_found, ""},
        {plain + "/below", start_failure::not_found, ""},
        {"", start_failure::not_found, ""},
        {scratch, start_failure::refused, ""},
        {plain, start_failure::refused, ""},
        {garbage, start_failure::refused, ""},
        {crlf, start_failure::refused, "its interpreter \"/bin/sh\\r\" (first line) does not exist"},
        {no_shell, start_failure::refused, "its interpreter \"/missing/sh\" (first line) does not exist"},
        {no_loader, start_failure::refused, "its loader \"" + loader + "\" does not exist"}};
    const std::string descriptors = open_descriptors();
    for (const auto &c : cases) {
        const std::string &name = c.name;
        char text[] = " x";
        process_ref started{-7, -7, 7};
        char reason[TEXT_SIZE] = {};
        start_failure failure =
            c.failure == start_failure::refused ? start_failure::not_found : start_failure::refused;
        EXPECT_FALSE(platform_start(name.c_str(), text, &started, &failure, reason, sizeof reason)) << name;
        EXPECT_EQ(failure, c.failure) << name;
        EXPECT_NE(reason[0], '\0') << name;
        if (!c.reason.empty()) {
            EXPECT_EQ(reason, c.reason);
        }
        EXPECT_EQ(started.process, -7) << name;
        EXPECT_TRUE(no_children_left()) << name;
        // Both ends of the error pipe are closed again.
        EXPECT_EQ(open_descriptors(), descriptors) << name;
    }
    for (const std::string &file : {plain, garbage, crlf, no_shell, no_loader})
        unlink(file.c_str());
    rmdir(scratch);
}

TEST(PosixPlatform, WaitEndsByTimeOutOrByTheEndAndKilledTargetsAreReaped) {
    process_ref runs_on{};
    ASSERT_TRUE(start_probe("--sleep 60000", &runs_on));
    uint64_t t0 = now_ms();
    EXPECT_EQ(platform_wait(runs_on, 200), wait_outcome::timed_out);
    EXPECT_GE(now_ms() - t0, 200u);
    EXPECT_TRUE(terminate(runs_on));
    platform_close(&runs_on); // does not wait for the end

    process_ref ends{};
    ASSERT_TRUE(start_probe("--exit 3", &ends));
    t0 = now_ms();
    EXPECT_EQ(platform_wait(ends, WAIT_FOREVER_MS), wait_outcome::ended);
    EXPECT_LT(now_ms() - t0, 10000u);
    platform_close(&ends);

    // The killed probe is reaped during the next sleep at the latest.
    platform_sleep(platform_create_sleeper(), 300);
    EXPECT_TRUE(no_children_left());
}

TEST(PosixPlatform, SignalsNeitherShortenNorEndWaits) {
    process_ref runs_on{};
    ASSERT_TRUE(start_probe("--sleep 60000", &runs_on));
    {
        signal_storm storm;
        uint64_t t0 = now_ms();
        EXPECT_EQ(platform_wait(runs_on, 300), wait_outcome::timed_out);
        EXPECT_GE(now_ms() - t0, 300u);
        t0 = now_ms();
        platform_sleep(1, 300);
        const uint64_t slept = now_ms() - t0;
        EXPECT_GE(slept, 300u);
        EXPECT_LT(slept, 5000u);
    }
    terminate(runs_on);
    platform_close(&runs_on);
    platform_sleep(1, 200);
    EXPECT_TRUE(no_children_left());
}

TEST(PosixPlatform, SleepStoppedPastItsDeadlineGoesOnAtOnceWhenContinued) {
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const uint64_t t0 = now_ms();
        platform_sleep(1, 2000);
        const uint64_t slept = now_ms() - t0;
        (void)!write(report[1], &slept, sizeof slept);
        _exit(0);
    }
    close(report[1]);
    usleep(200 * 1000);
    kill(child, SIGSTOP);
    usleep(3000 * 1000); // past the deadline while stopped
    const uint64_t continued_at = now_ms();
    kill(child, SIGCONT);
    uint64_t slept = 0;
    ASSERT_EQ(read(report[0], &slept, sizeof slept), static_cast<ssize_t>(sizeof slept));
    const uint64_t after_continue = now_ms() - continued_at;
    close(report[0]);
    waitpid(child, nullptr, 0);
    EXPECT_GE(slept, 3000u);
    // A sleep that started its time-out over would take another 2000 ms.
    EXPECT_LT(after_continue, 1500u);
}

TEST(PosixPlatform, ToolWordsFillInAMissingName) {
    char own[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", own, sizeof own - 1), 0);

    char empty[] = "";
    char first[] = "first";
    char *argv[] = {empty, first, nullptr};
    int count = 0;
    const char *const *words = nullptr;
    ASSERT_TRUE(platform_tool_words(2, argv, &count, &words));
    ASSERT_EQ(count, 2);
    EXPECT_STREQ(words[0], own);
    EXPECT_STREQ(words[1], "first");

    ASSERT_TRUE(platform_tool_words(0, nullptr, &count, &words));
    ASSERT_EQ(count, 1);
    EXPECT_STREQ(words[0], own);
}

TEST(PosixPlatform, VersionDataComesFromTheNamedFile) {
    const uint32_t size = platform_version_info_size(KADRON_TOOL_PATH);
    ASSERT_GT(size, 0u);
    void *block = platform_alloc_zeroed(size);
    ASSERT_NE(block, nullptr);
    ASSERT_TRUE(platform_read_version_info(KADRON_TOOL_PATH, size, block));
    const char *value = nullptr;
    ASSERT_TRUE(platform_query_version_value(block, "\\STRINGFILEINFO\\000004B0\\FileVersion", &value));
    EXPECT_STREQ(value, "1, 0, 0, 8");
    EXPECT_FALSE(platform_query_version_value(block, "\\StringFileInfo\\000004B0\\NoSuchValue", &value));
    // A file may not grow between the two calls: a smaller block is refused.
    EXPECT_FALSE(platform_read_version_info(KADRON_TOOL_PATH, size - 1, block));
    platform_free(block);

    EXPECT_EQ(platform_version_info_size(KADRON_PROBE_PATH), 0u); // an executable without the data
    EXPECT_EQ(platform_version_info_size("/nonexistent/kadron"), 0u);
    EXPECT_EQ(platform_version_info_size("/"), 0u);
}

TEST(PosixPlatform, DescriptorsClosedOneByOneLeaveTheTargetZeroOneAndTwo) {
    close_descriptors_one_by_one();
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) < 0) {
            ASSERT_EQ(open("/dev/null", O_RDWR), fd);
        }
    }
    // Inheritable descriptors, one far above the others.
    const int low = open("/dev/null", O_RDONLY);
    ASSERT_GE(low, 3);
    ASSERT_EQ(dup2(low, 300), 300);
    char scratch[] = "/tmp/kadron-platform-XXXXXX";
    ASSERT_NE(mkdtemp(scratch), nullptr);
    const std::string record = std::string(scratch) + "/record";

    process_ref probe{};
    ASSERT_TRUE(start_probe(("--record " + record).c_str(), &probe));
    EXPECT_EQ(platform_wait(probe, 30000), wait_outcome::ended);
    platform_close(&probe);
    EXPECT_EQ(recorded_descriptors(read_file(record)), "0,1,2");

    // The error pipe is left open by the loop: the failure still comes back.
    char text[] = " x";
    process_ref missing{};
    start_failure failure = start_failure::refused;
    char reason[TEXT_SIZE] = {};
    const std::string nowhere = std::string(scratch) + "/missing";
    EXPECT_FALSE(platform_start(nowhere.c_str(), text, &missing, &failure, reason, sizeof reason));
    EXPECT_EQ(failure, start_failure::not_found);
    close(300);
    close(low);
    unlink(record.c_str());
    rmdir(scratch);
}

TEST(PosixPlatform, HowATargetEndedIsItsExitCodeOrItsSignal) {
    const std::string realtime = std::to_string(SIGRTMIN + 6);
    const struct {
        std::string arguments;
        bool by_signal;
        uint32_t exit_code;
        std::string signal_name;
    } cases[] = {{"--exit 3", false, 3, ""},
                 {"--die-of " + std::to_string(SIGSEGV), true, 0, "SIGSEGV"},
                 {"--die-of " + realtime, true, 0, "SIG" + realtime},
                 {"--sleep 60000", true, 0, "SIGKILL"}}; // ended by force
    for (const auto &c : cases) {
        process_ref probe{};
        ASSERT_TRUE(start_probe(c.arguments.c_str(), &probe));
        if (c.signal_name == "SIGKILL") {
            EXPECT_EQ(platform_wait(probe, 0), wait_outcome::timed_out);
            EXPECT_TRUE(terminate(probe));
        } else {
            EXPECT_EQ(platform_wait(probe, 30000), wait_outcome::ended) << c.arguments;
        }
        target_end how{true, 99, "?"};
        platform_how_ended(probe, &how);
        platform_close(&probe);
        EXPECT_EQ(how.by_signal, c.by_signal) << c.arguments;
        EXPECT_EQ(how.exit_code, c.exit_code) << c.arguments;
        EXPECT_EQ(how.signal_name, c.signal_name) << c.arguments;
    }
}

TEST(PosixPlatform, LinesAreAppendedWholeToAFileMadeWhenMissing) {
    char scratch[] = "/tmp/kadron-platform-XXXXXX";
    ASSERT_NE(mkdtemp(scratch), nullptr);
    const std::string path = std::string(scratch) + "/log";
    const mode_t mask = umask(027);
    std::size_t written = 99;
    char reason[TEXT_SIZE] = {};
    for (const char *line : {"{\"n\":1}\n", "{\"n\":2}\n"}) {
        EXPECT_TRUE(
            platform_append_line(path.c_str(), line, std::strlen(line), &written, reason, sizeof reason));
        EXPECT_EQ(written, std::strlen(line));
    }
    umask(mask);
    EXPECT_EQ(read_file(path), "{\"n\":1}\n{\"n\":2}\n");
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);

    const std::string nowhere = std::string(scratch) + "/missing/log";
    EXPECT_FALSE(platform_append_line(nowhere.c_str(), "x\n", 2, &written, reason, sizeof reason));
    EXPECT_EQ(written, 0u);
    EXPECT_STREQ(reason, std::strerror(ENOENT));
    unlink(path.c_str());
    rmdir(scratch);
}

TEST(PosixPlatform, StopInTheWaitOrTheSleepIsReportedAndEndsTheToolAfterwards) {
    for (const bool in_wait : {true, false}) {
        int report[2];
        ASSERT_EQ(pipe(report), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // Held from here on, so the signal is taken in the wait or the sleep, not before.
            take_ending_signals();
            sigset_t term;
            sigemptyset(&term);
            sigaddset(&term, SIGTERM);
            sigprocmask(SIG_BLOCK, &term, nullptr);
            process_ref probe{};
            if (in_wait && !start_probe("--sleep 60000", &probe)) _exit(1);
            (void)!write(report[1], &probe.id, sizeof probe.id);
            const bool stopped =
                in_wait ? platform_wait(probe, 60000) == wait_outcome::stopped : !platform_sleep(1, 60000);
            if (in_wait) platform_close(&probe);
            stop_report stop{};
            platform_stop_report(&stop);
            sigset_t now;
            sigprocmask(SIG_SETMASK, nullptr, &now);
            char line[TEXT_SIZE];
            const int n = std::snprintf(line, sizeof line, "%d %s %d %d", stopped, stop.cause,
                                        stop.target_forced, sigismember(&now, SIGTERM));
            (void)!write(report[1], line, static_cast<std::size_t>(n));
            close(report[1]);
            platform_finish_stop();
        }
        close(report[1]);
        uint32_t probe_pid = 0;
        ASSERT_EQ(read(report[0], &probe_pid, sizeof probe_pid), static_cast<ssize_t>(sizeof probe_pid));
        kill(child, SIGTERM);
        char line[TEXT_SIZE] = {};
        ASSERT_GT(read(report[0], line, sizeof line - 1), 0);
        close(report[0]);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        // Stopped, SIGTERM, a target forced only in the wait, and SIGTERM still blocked after the close.
        EXPECT_EQ(std::string(line), std::string("1 SIGTERM ") + (in_wait ? "1" : "0") + " 1");
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
        if (in_wait) {
            const uint64_t t0 = now_ms();
            while (kill(static_cast<pid_t>(probe_pid), 0) == 0 && now_ms() - t0 < 10000)
                usleep(10000);
            EXPECT_NE(kill(static_cast<pid_t>(probe_pid), 0), 0) << "the probe runs on";
        }
    }
}

TEST(PosixPlatform, TheTreesEndKillsCountsAndReapsWhatTheTargetLeft) {
    // A probe that starts a child and a daemon (double fork, own session). Forced,
    // its child is handed to the tool only once it has died, maybe a round later;
    // ended by itself, it keeps its exit status through the sweep. Children are
    // found through the children file, then by the scan of every process.
    const struct {
        bool scan;
        const char *last;
        std::string outcome;
    } cases[] = {{false, "--sleep 60000", "2 SIGKILL 1"}, {true, "--exit 3", "2 3 1"}};
    for (const auto &c : cases) {
        char scratch[] = "/tmp/kadron-platform-XXXXXX";
        ASSERT_NE(mkdtemp(scratch), nullptr);
        const std::string child_file = std::string(scratch) + "/child";
        const std::string daemon_file = std::string(scratch) + "/daemon";
        int report[2];
        ASSERT_EQ(pipe(report), 0);
        // In a child of the test: the subreaper setting stays with the process.
        const pid_t tool = fork();
        ASSERT_GE(tool, 0);
        if (tool == 0) {
            if (c.scan) find_children_by_scan();
            char reason[TEXT_SIZE] = {};
            if (!platform_set_run_ending(true, false, reason, sizeof reason)) _exit(2);
            process_ref probe{};
            const std::string arguments =
                "--grandchild " + child_file + " --daemon " + daemon_file + " " + c.last;
            if (!start_probe(arguments.c_str(), &probe)) _exit(3);
            const uint64_t t0 = now_ms();
            while ((access(child_file.c_str(), F_OK) != 0 || access(daemon_file.c_str(), F_OK) != 0) &&
                   now_ms() - t0 < 30000)
                usleep(10000);
            if (std::strcmp(c.last, "--exit 3") == 0) {
                if (platform_wait(probe, 30000) != wait_outcome::ended) _exit(4);
            } else if (!terminate(probe)) {
                _exit(5);
            }
            const uint32_t others = platform_end_tree(probe, 30000);
            target_end how{};
            platform_how_ended(probe, &how);
            platform_close(&probe);
            const std::string line = std::to_string(others) + " " +
                                     (how.by_signal ? how.signal_name : std::to_string(how.exit_code)) + " " +
                                     std::to_string(no_children_left());
            (void)!write(report[1], line.data(), line.size());
            _exit(0);
        }
        close(report[1]);
        char line[TEXT_SIZE] = {};
        const ssize_t n = read(report[0], line, sizeof line - 1);
        close(report[0]);
        int status = 0;
        ASSERT_EQ(waitpid(tool, &status, 0), tool);
        EXPECT_EQ(std::string(line, n > 0 ? static_cast<std::size_t>(n) : 0), c.outcome)
            << "scan " << c.scan << ", status " << status;
        for (const std::string &file : {child_file, daemon_file}) {
            const pid_t pid = static_cast<pid_t>(std::atoi(read_file(file).c_str()));
            if (pid > 0 && kill(pid, 0) == 0) {
                ADD_FAILURE() << file << " runs on";
                kill(pid, SIGKILL);
            }
            unlink(file.c_str());
        }
        rmdir(scratch);
    }
}
