/* watch.c: benchmark observer: runs a command, reads its targets' start stamps, times their deaths. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#define NS_PER_MS 1000000LL
#define NS_PER_S 1000000000LL
#define MAX_TARGETS 512
#define LINE_SIZE 4096
/* How long the cleanup may wait for the command's processes to go. */
#define REAP_LIMIT_MS 5000

struct target {
    long pid;
    long long start_ns;
    long long death_ns; /* -1: not seen (it was gone before it could be watched) */
    int pidfd;          /* -1 once its death is seen */
};

static struct target targets[MAX_TARGETS];
static int target_count;
static int death_count;

static long long now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * NS_PER_S + ts.tv_nsec;
}

/* One stamp line "S PID NS": watch that target from now on. */
static void add_target(const char *line) {
    long pid = 0;
    long long start_ns = 0;
    if (target_count == MAX_TARGETS || sscanf(line, "S %ld %lld", &pid, &start_ns) != 2) return;
    struct target *t = &targets[target_count++];
    t->pid = pid;
    t->start_ns = start_ns;
    t->death_ns = -1;
    t->pidfd = (int)syscall(SYS_pidfd_open, (pid_t)pid, 0);
}

/* Splits what came through the pipe into lines; keeps an unfinished one. */
static void take_lines(char *buffer, size_t *used) {
    char *begin = buffer;
    char *end = NULL;
    while ((end = memchr(begin, '\n', (size_t)(buffer + *used - begin))) != NULL) {
        *end = '\0';
        add_target(begin);
        begin = end + 1;
    }
    *used = (size_t)(buffer + *used - begin);
    memmove(buffer, begin, *used);
    if (*used == LINE_SIZE - 1) *used = 0; /* no line is that long: drop it */
}

/* Ends the command by pid, then what is left of its process group and of the
   watched targets, and reaps all that comes back to us as the subreaper. */
static void stop_all(pid_t command) {
    kill(command, SIGKILL);
    kill(-command, SIGKILL);
    for (int i = 0; i < target_count; ++i) {
        if (targets[i].pidfd < 0) continue;
        syscall(SYS_pidfd_send_signal, targets[i].pidfd, SIGKILL, NULL, 0);
        close(targets[i].pidfd);
        targets[i].pidfd = -1;
    }
    const long long limit = now_ns() + REAP_LIMIT_MS * NS_PER_MS;
    while (now_ns() < limit) {
        const pid_t pid = waitpid(-1, NULL, WNOHANG);
        if (pid < 0 && errno == ECHILD) return;
        if (pid <= 0) {
            const struct timespec pause = {0, 10 * NS_PER_MS};
            nanosleep(&pause, NULL);
        }
    }
    fprintf(stderr, "bench_watch: processes of the command outlived the cleanup\n");
}

int main(int argc, char **argv) {
    if (argc < 5) {
        fprintf(stderr, "usage: bench_watch LIMIT_MS STAMPS DEATHS COMMAND [ARG...]\n"
                        "Runs COMMAND (its output to /dev/null) until STAMPS targets have stamped\n"
                        "their start and DEATHS have died; prints one line per target:\n"
                        "PID START_NS DEATH_NS (-1: unseen).\n");
        return 2;
    }
    const long long limit = now_ns() + atol(argv[1]) * NS_PER_MS;
    const int stamps_wanted = atoi(argv[2]);
    const int deaths_wanted = atoi(argv[3]);

    /* The observer must not be late itself: it wakes before the measured
       processes where it may, and they run as usual (reset on fork). */
    const struct sched_param observer = {.sched_priority = 1};
    sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &observer);
    /* Targets orphaned when the command goes come back to us to be reaped. */
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    int stamp_pipe[2];
    if (pipe(stamp_pipe) != 0) return 2;
    const pid_t command = fork();
    if (command < 0) return 2;
    if (command == 0) {
        setpgid(0, 0);
        const int null_fd = open("/dev/null", O_WRONLY);
        if (null_fd >= 0) dup2(null_fd, STDOUT_FILENO);
        dup2(stamp_pipe[1], STDERR_FILENO);
        close(stamp_pipe[0]);
        close(stamp_pipe[1]);
        execvp(argv[4], argv + 4);
        _exit(127);
    }
    setpgid(command, command);
    close(stamp_pipe[1]);

    char buffer[LINE_SIZE];
    size_t used = 0;
    int pipe_open = 1;
    int done = 0;
    while (!done) {
        const long long left = limit - now_ns();
        if (left <= 0) break;
        struct pollfd fds[MAX_TARGETS + 1];
        int owner[MAX_TARGETS + 1];
        nfds_t n = 0;
        if (pipe_open) {
            owner[n] = -1;
            fds[n++] = (struct pollfd){stamp_pipe[0], POLLIN, 0};
        }
        for (int i = 0; i < target_count; ++i) {
            if (targets[i].pidfd < 0) continue;
            owner[n] = i;
            fds[n++] = (struct pollfd){targets[i].pidfd, POLLIN, 0};
        }
        const int rc = poll(fds, n, (int)(left / NS_PER_MS) + 1);
        const long long seen_ns = now_ns();
        if (rc < 0 && errno != EINTR) break;
        for (nfds_t i = 0; rc > 0 && i < n; ++i) {
            if (fds[i].revents == 0 || owner[i] < 0) continue;
            struct target *t = &targets[owner[i]];
            t->death_ns = seen_ns;
            close(t->pidfd);
            t->pidfd = -1;
            ++death_count;
        }
        if (pipe_open && rc > 0 && fds[0].revents != 0) {
            const ssize_t got = read(stamp_pipe[0], buffer + used, LINE_SIZE - 1 - used);
            if (got > 0) {
                used += (size_t)got;
                take_lines(buffer, &used);
            } else if (got == 0 || errno != EINTR) {
                pipe_open = 0;
            }
        }
        done = target_count >= stamps_wanted && death_count >= deaths_wanted;
    }
    stop_all(command);
    for (int i = 0; i < target_count; ++i)
        printf("%ld %lld %lld\n", targets[i].pid, targets[i].start_ns, targets[i].death_ns);
    return done ? 0 : 1;
}
