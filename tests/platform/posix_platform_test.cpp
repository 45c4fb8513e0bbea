// posix_platform_test.cpp: the POSIX backend against real processes (the probe) and real signals.
#include <gtest/gtest.h>

#include <errno.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform.h"

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

    // Missing (also behind a file used as a directory) or there and not startable.
    const struct {
        std::string name;
        start_failure failure;
    } cases[] = {{std::string(scratch) + "/missing", start_failure::not_found},
                 {plain + "/below", start_failure::not_found},
                 {"", start_failure::not_found},
                 {scratch, start_failure::refused},
                 {plain, start_failure::refused},
                 {garbage, start_failure::refused}};
    for (const auto &c : cases) {
        const std::string &name = c.name;
        char text[] = " x";
        process_ref started{-7, -7};
        char reason[TEXT_SIZE] = {};
        start_failure failure =
            c.failure == start_failure::refused ? start_failure::not_found : start_failure::refused;
        EXPECT_FALSE(platform_start(name.c_str(), text, &started, &failure, reason, sizeof reason)) << name;
        EXPECT_EQ(failure, c.failure) << name;
        EXPECT_NE(reason[0], '\0') << name;
        EXPECT_EQ(started.process, -7) << name;
        EXPECT_TRUE(no_children_left()) << name;
    }
    unlink(plain.c_str());
    unlink(garbage.c_str());
    rmdir(scratch);
}

TEST(PosixPlatform, WaitEndsByTimeOutOrByTheEndAndKilledTargetsAreReaped) {
    process_ref runs_on{};
    ASSERT_TRUE(start_probe("--sleep 60000", &runs_on));
    uint64_t t0 = now_ms();
    EXPECT_EQ(platform_wait(runs_on, 200), wait_outcome::timed_out);
    EXPECT_GE(now_ms() - t0, 200u);
    EXPECT_TRUE(platform_terminate(runs_on, 42));
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
    platform_terminate(runs_on, 42);
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
