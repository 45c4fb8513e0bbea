/* stamp.c: benchmark target: writes its pid and monotonic start time to standard error, then sleeps. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

/* Usage: bench_stamp [SLEEP_MS]. The line is "S PID NANOSECONDS", one write. */
int main(int argc, char **argv) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    char line[64];
    const int n = snprintf(line, sizeof line, "S %ld %lld\n", (long)getpid(),
                           (long long)now.tv_sec * 1000000000LL + now.tv_nsec);
    if (n > 0 && (size_t)n < sizeof line && write(STDERR_FILENO, line, (size_t)n) != n) return 1;
    const long sleep_ms = argc > 1 ? atol(argv[1]) : 0;
    if (sleep_ms > 0) {
        struct timespec left = {sleep_ms / 1000, (sleep_ms % 1000) * 1000000L};
        while (clock_nanosleep(CLOCK_MONOTONIC, 0, &left, &left) == EINTR) {
        }
    }
    return 0;
}
