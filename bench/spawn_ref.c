/* spawn_ref.c: bare loops the tool is held against: starts, start latency, forced ends, idle waits. */
#define _GNU_SOURCE
#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

#define NS_PER_MS 1000000LL
#define NS_PER_S 1000000000LL
/* No loop runs longer than this many rounds, whatever it is asked. */
#define MAX_ROUNDS 10000000L

static long long now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * NS_PER_S + ts.tv_nsec;
}

/* Starts program (with arg when not NULL) and opens a process descriptor on it. */
static int start(const char *program, const char *arg, int *pidfd) {
    char *argv[3] = {(char *)program, (char *)arg, NULL};
    pid_t pid = 0;
    if (posix_spawn(&pid, program, NULL, NULL, argv, environ) != 0) return 0;
    *pidfd = (int)syscall(SYS_pidfd_open, pid, 0);
    if (*pidfd < 0) {
        kill(pid, SIGKILL);
        waitpid(pid, NULL, 0);
        return 0;
    }
    return 1;
}

static void sleep_until(long long wake_ns) {
    const struct timespec ts = {wake_ns / NS_PER_S, wake_ns % NS_PER_S};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, NULL) == EINTR) {
    }
}

static void reap(int pidfd) {
    siginfo_t info;
    while (waitid((idtype_t)P_PIDFD, (id_t)pidfd, &info, WEXITED) < 0 && errno == EINTR) {
    }
    close(pidfd);
}

/* Waits for the program to end until the deadline. 1: it ended. */
static int wait_until(int pidfd, long long deadline_ns) {
    for (;;) {
        const long long left = deadline_ns - now_ns();
        if (left <= 0) return 0;
        struct pollfd fd = {pidfd, POLLIN, 0};
        const struct timespec ts = {left / NS_PER_S, left % NS_PER_S};
        const int rc = ppoll(&fd, 1, &ts, NULL);
        if (rc > 0) return 1;
        if (rc < 0 && errno != EINTR) return 0;
    }
}

/* Starts and reaps program for ms milliseconds; prints the count and the time taken. */
static int bare_starts(const char *program, long ms) {
    const long long t0 = now_ns();
    const long long end = t0 + ms * NS_PER_MS;
    long count = 0;
    while (count < MAX_ROUNDS && now_ns() < end) {
        int pidfd = -1;
        if (!start(program, NULL, &pidfd)) return 1;
        struct pollfd fd = {pidfd, POLLIN, 0};
        while (poll(&fd, 1, -1) < 0 && errno == EINTR) {
        }
        reap(pidfd);
        ++count;
    }
    printf("%ld %lld\n", count, now_ns() - t0);
    return 0;
}

/* Mean time from the moment a start is due to the end of the start (spawn
   and descriptor), over count starts due once per cycle_ms. As in any periodic
   starter, the wake from the sleep before a start is part of its latency. */
static int start_latency(const char *program, const char *arg, long count, long cycle_ms) {
    long long total = 0;
    long long due = now_ns();
    for (long i = 0; i < count && i < MAX_ROUNDS; ++i) {
        sleep_until(due);
        int pidfd = -1;
        if (!start(program, arg, &pidfd)) return 1;
        total += now_ns() - due;
        reap(pidfd);
        due += cycle_ms * NS_PER_MS;
    }
    printf("%lld\n", count > 0 ? total / count : 0);
    return 0;
}

/* count times: start, wait up to run_ms, end by force, reap; then sleep out the
   rest of cycle_ms from the start on (cycle_ms 0: next start at once). */
static int forced_ends(const char *program, const char *arg, long run_ms, long cycle_ms, long count) {
    for (long i = 0; i < count && i < MAX_ROUNDS; ++i) {
        const long long cycle_start = now_ns();
        int pidfd = -1;
        if (!start(program, arg, &pidfd)) return 1;
        if (!wait_until(pidfd, now_ns() + run_ms * NS_PER_MS))
            syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, NULL, 0);
        reap(pidfd);
        sleep_until(cycle_start + cycle_ms * NS_PER_MS);
    }
    return 0;
}

static int usage(void) {
    fprintf(stderr, "usage: bench_spawn_ref starts PROGRAM MS\n"
                    "       bench_spawn_ref latency PROGRAM ARG COUNT CYCLE_MS\n"
                    "       bench_spawn_ref forced PROGRAM ARG RUN_MS CYCLE_MS COUNT\n");
    return 2;
}

int main(int argc, char **argv) {
    if (argc == 4 && strcmp(argv[1], "starts") == 0) return bare_starts(argv[2], atol(argv[3]));
    if (argc == 6 && strcmp(argv[1], "latency") == 0)
        return start_latency(argv[2], argv[3], atol(argv[4]), atol(argv[5]));
    if (argc == 7 && strcmp(argv[1], "forced") == 0)
        return forced_ends(argv[2], argv[3], atol(argv[4]), atol(argv[5]), atol(argv[6]));
    return usage();
}
