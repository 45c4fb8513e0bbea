/* win_create_loop.c: the bare Windows loop the tool is held against: CreateProcessA, WaitForSingleObject. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* No loop runs longer than this many rounds, whatever it is asked. */
#define MAX_ROUNDS 1000000L

/* Usage: bench_create_loop PROGRAM MS. Starts PROGRAM with the tool's command
   line for an empty argument (one blank) and waits for it, for MS
   milliseconds; prints the count and the time taken in nanoseconds. */
int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: bench_create_loop PROGRAM MS\n");
        return 2;
    }
    LARGE_INTEGER frequency, t0, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&t0);
    const LONGLONG end = t0.QuadPart + frequency.QuadPart * atol(argv[2]) / 1000;
    long count = 0;
    now = t0;
    while (count < MAX_ROUNDS && now.QuadPart < end) {
        char command_line[] = " ";
        STARTUPINFOA si;
        ZeroMemory(&si, sizeof si);
        si.cb = sizeof si;
        PROCESS_INFORMATION pi;
        ZeroMemory(&pi, sizeof pi);
        if (!CreateProcessA(argv[1], command_line, NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi)) {
            fprintf(stderr, "bench_create_loop: CreateProcessA failed: %lu\n", GetLastError());
            return 1;
        }
        WaitForSingleObject(pi.hProcess, INFINITE);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
        ++count;
        QueryPerformanceCounter(&now);
    }
    printf("%ld %lld\n", count,
           (long long)((now.QuadPart - t0.QuadPart) * 1000000000.0 / frequency.QuadPart));
    return 0;
}
