// spawn_posix.cpp: starts a target in a child that the kernel kills when the tool ends (Linux).
#include <errno.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "posix_backend.h"

namespace {

// The child of vfork: it runs on the tool's memory and stack until execve, so
// it makes only async-signal-safe calls, writes nothing but *error, and never
// returns.
[[noreturn]] void become_target(const target_start &start, pid_t tool, volatile int *error) {
    // Asked before the check below: a tool killed before the setting took
    // effect has left the child to another parent already.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) {
        *error = errno;
        _exit(127);
    }
    if (getppid() != tool) _exit(127);
    // Still with every signal blocked: no handler of the tool can run here.
    struct sigaction by_default {};
    by_default.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sigismember(start.defaults, sig) == 1) sigaction(sig, &by_default, nullptr);
    }
    sigprocmask(SIG_SETMASK, start.mask, nullptr);
    if (close_range(STDERR_FILENO + 1, ~0u, 0) != 0) {
        // A kernel without close_range: every descriptor the limit allows.
        for (int fd = STDERR_FILENO + 1; fd < start.descriptor_limit; ++fd)
            close(fd);
    }
    execve(start.path, start.argv, start.envp);
    *error = errno;
    _exit(127);
}

} // namespace

pid_t start_target(const target_start &start, int *error) {
    // The child shares our memory until it executes: no handler may run on it
    // in either process meanwhile.
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &before);
    volatile int child_error = 0;
    const pid_t tool = getpid();
    const pid_t pid = vfork();
    if (pid == 0) become_target(start, tool, &child_error);
    const int vfork_error = errno;
    sigprocmask(SIG_SETMASK, &before, nullptr);
    if (pid < 0) {
        *error = vfork_error;
        return 0;
    }
    if (child_error != 0) {
        // The child has already ended: vfork returns once it executes or exits.
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        *error = child_error;
        return 0;
    }
    return pid;
}
