// process_posix.cpp: targets on POSIX (start, wait, request and forced end, how they ended, reaping, the
// rest of their tree), the sleep, the monotonic clock and the tool's own signals and stops.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform.h"
#include "posix_backend.h"
#include "words.h"

extern char **environ;

namespace {

// A target's argv: its argument text holds fewer than TEXT_SIZE characters,
// so it splits into fewer than TEXT_SIZE words of TEXT_SIZE + 1 bytes in all.
constexpr std::size_t ARGV_TEXT_SIZE = 2 * TEXT_SIZE;
constexpr std::size_t MAX_TARGET_WORDS = TEXT_SIZE + 1;

// Targets started and not yet released (the core has one at a time). A
// killed target that has not ended needs no entry and no descriptor: it stays
// our child, and any wait or sleep reaps it by pid once it has ended.
constexpr std::size_t MAX_WATCHED = 8;
struct watched_target {
    pid_t pid; // 0: a free entry
    bool ended;
    bool forced; // killed by platform_terminate()
    int status;  // the wait status, once ended
};
watched_target watched[MAX_WATCHED];

// Signals that end the tool, at any moment. They are blocked while a target
// runs (from its start until it is released) and inside the wait, and taken
// there, so the running target is known when one comes. Elsewhere, where the
// tool prints and a write to a stalled pipe may block it, a handler takes
// them: a default action would be dropped where the tool is a namespace's init.
constexpr int ENDING_SIGNALS[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT};
bool signals_ready = false;
sigset_t start_mask; // as the tool was started; every target gets it
sigset_t ending;     // the ending signals the tool acts on
sigset_t awaited;    // those and SIGCHLD, which stays blocked for the tool's life
sigset_t handled;    // what a target gets back with its default action

// A stop taken in the wait or the sleep: the signal, and whether a running
// target was killed for it. From then on the ending signals stay blocked, so
// the core has its last word before platform_finish_stop().
int stop_signal = 0;
bool stop_forced_target = false;

// How runs end, as set once before the first start. With the whole tree the
// tool is a child subreaper: whatever a target started and left behind
// becomes the tool's child when its parent ends, so the tool can end it
// knowing that the pid is its own unreaped child and cannot have been reused.
struct {
    bool whole_tree;
    bool ask_first; // SIGTERM needs nothing set up beforehand
} ending_setup;

// Children the tree's end has killed and not yet reaped: each is counted
// once, however many rounds it takes to die. A child beyond these waits for
// a later round.
constexpr std::size_t MAX_SWEPT = 256;
pid_t swept[MAX_SWEPT];
std::size_t swept_count = 0;

// The standard signals by name; any other is "SIG" and its number.
const struct {
    int number;
    const char *name;
} SIGNAL_NAMES[] = {
    {SIGHUP, "SIGHUP"},       {SIGINT, "SIGINT"},   {SIGQUIT, "SIGQUIT"},   {SIGILL, "SIGILL"},
    {SIGTRAP, "SIGTRAP"},     {SIGABRT, "SIGABRT"}, {SIGBUS, "SIGBUS"},     {SIGFPE, "SIGFPE"},
    {SIGKILL, "SIGKILL"},     {SIGUSR1, "SIGUSR1"}, {SIGSEGV, "SIGSEGV"},   {SIGUSR2, "SIGUSR2"},
    {SIGPIPE, "SIGPIPE"},     {SIGALRM, "SIGALRM"}, {SIGTERM, "SIGTERM"},   {SIGCHLD, "SIGCHLD"},
    {SIGCONT, "SIGCONT"},     {SIGSTOP, "SIGSTOP"}, {SIGTSTP, "SIGTSTP"},   {SIGTTIN, "SIGTTIN"},
    {SIGTTOU, "SIGTTOU"},     {SIGURG, "SIGURG"},   {SIGXCPU, "SIGXCPU"},   {SIGXFSZ, "SIGXFSZ"},
    {SIGVTALRM, "SIGVTALRM"}, {SIGPROF, "SIGPROF"}, {SIGWINCH, "SIGWINCH"}, {SIGIO, "SIGIO"},
    {SIGSYS, "SIGSYS"},
#ifdef SIGSTKFLT
    {SIGSTKFLT, "SIGSTKFLT"},
#endif
#ifdef SIGPWR
    {SIGPWR, "SIGPWR"},
#endif
};

// Deadlines are kept in nanoseconds: a clock cut to whole milliseconds would
// end waits up to a millisecond early or late.
constexpr uint64_t NS_PER_MS = 1000000u;
constexpr uint64_t NS_PER_S = 1000 * NS_PER_MS;

// When even the wait for signals fails, the children are looked at this often.
constexpr uint64_t FALLBACK_SLICE_NS = 50 * NS_PER_MS;

uint64_t monotonic_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * NS_PER_S + static_cast<uint64_t>(ts.tv_nsec);
}

bool target_running() {
    for (const watched_target &w : watched) {
        if (w.pid != 0) return true;
    }
    return false;
}

void signal_name(int sig, char *out, std::size_t out_size) {
    for (const auto &known : SIGNAL_NAMES) {
        if (known.number == sig) {
            std::snprintf(out, out_size, "%s", known.name);
            return;
        }
    }
    std::snprintf(out, out_size, "SIG%d", sig);
}

uint32_t end_tree(pid_t target, uint64_t deadline_ns, bool in_handler);

// Only async-signal-safe calls: the handler comes here too.
[[noreturn]] void end_by_signal(int sig, bool in_handler) {
    // As at the end of the run time: the target by force, and with the whole
    // tree what it left running.
    for (const watched_target &w : watched) {
        if (w.pid > 0 && !w.ended) kill(w.pid, SIGKILL);
    }
    if (ending_setup.whole_tree)
        end_tree(0, monotonic_ns() + uint64_t{TREE_SWEEP_BOUND_MS} * NS_PER_MS, in_handler);
    struct sigaction by_default {};
    by_default.sa_handler = SIG_DFL;
    sigaction(sig, &by_default, nullptr);
    raise(sig); // pending while blocked; acts as soon as it is let through
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    // Still here: the default action is dropped for a namespace's init.
    _exit(128 + sig);
}

void on_ending_signal(int sig) { end_by_signal(sig, true); }

void hold_ending_signals() { pthread_sigmask(SIG_BLOCK, &ending, nullptr); }

void release_ending_signals() {
    if (stop_signal == 0 && !target_running()) pthread_sigmask(SIG_UNBLOCK, &ending, nullptr);
}

watched_target *find_watched(pid_t pid) {
    for (watched_target &w : watched) {
        if (w.pid == pid && pid > 0) return &w;
    }
    return nullptr;
}

// Every reaped child comes here: a target keeps its wait status, and a pid
// that may now be reused leaves the swept ones.
void note_reaped(pid_t pid, int status) {
    watched_target *w = find_watched(pid);
    if (w != nullptr) {
        w->ended = true;
        w->status = status;
    }
    for (std::size_t i = 0; i < swept_count; ++i) {
        if (swept[i] == pid) {
            swept[i] = swept[--swept_count];
            break;
        }
    }
}

// Reaps every child that has ended; never blocks. false: the tool has no
// child left at all.
bool reap_children() {
    for (;;) {
        int status = 0;
        const pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid < 0 && errno == EINTR) continue;
        if (pid < 0) return errno != ECHILD;
        if (pid == 0) return true;
        note_reaped(pid, status);
    }
}

enum class child_state { running, reaped, not_a_child };

// Whether pid is the tool's own child and still runs; one that has ended is
// reaped here. Nothing else reaps between this and a signal sent to a
// running one, so its pid stays its own until then.
child_state look_at_child(pid_t pid) {
    int status = 0;
    pid_t got = 0;
    do {
        got = waitpid(pid, &status, WNOHANG);
    } while (got < 0 && errno == EINTR);
    if (got == 0) return child_state::running;
    if (got != pid) return child_state::not_a_child;
    note_reaped(pid, status);
    return child_state::reaped;
}

bool is_swept(pid_t pid) {
    for (std::size_t i = 0; i < swept_count; ++i) {
        if (swept[i] == pid) return true;
    }
    return false;
}

// One round of the tree's end, as the children are listed.
struct tree_round {
    pid_t target;
    uint32_t ended_others; // over all rounds
    bool found;            // a child of the tool was listed
    bool moved;            // one was killed, reaped or is still dying: another round is worth it
};

void end_child(pid_t pid, void *context) {
    tree_round &round = *static_cast<tree_round *>(context);
    if (is_swept(pid)) {
        round.found = round.moved = true;
        return;
    }
    const child_state state = look_at_child(pid);
    if (state == child_state::not_a_child) return;
    round.found = true;
    if (state == child_state::reaped) {
        round.moved = true;
        return;
    }
    if (swept_count == MAX_SWEPT) {
        round.moved = true;
        return;
    }
    if (kill(pid, SIGKILL) != 0) return; // one the tool may not end
    swept[swept_count++] = pid;
    round.moved = true;
    if (pid != round.target) ++round.ended_others;
}

// How often the tree's end looks again while children are dying: orphans
// handed to the tool on the way send it no SIGCHLD.
constexpr uint64_t TREE_ROUND_NS = 20 * NS_PER_MS;

// Waits for a child to change state, until_ns at the latest; in the signal
// handler, where only a plain pause is safe, a short pause.
void await_child(uint64_t until_ns, bool in_handler) {
    const uint64_t now = monotonic_ns();
    if (now >= until_ns) return;
    if (in_handler) {
        poll(nullptr, 0, 1);
        return;
    }
    const uint64_t left = until_ns - now < TREE_ROUND_NS ? until_ns - now : TREE_ROUND_NS;
    const timespec timeout{static_cast<time_t>(left / NS_PER_S), static_cast<long>(left % NS_PER_S)};
    sigset_t child;
    sigemptyset(&child);
    sigaddset(&child, SIGCHLD);
    sigtimedwait(&child, nullptr, &timeout);
}

// Kills every child of the tool, round by round as orphans are handed over,
// until none is left or the deadline passed. Returns how many other than
// target were still running when they were killed. Only async-signal-safe
// calls: the handler comes here too.
uint32_t end_tree(pid_t target, uint64_t deadline_ns, bool in_handler) {
    tree_round round{target, 0, false, false};
    while (reap_children()) {
        round.found = round.moved = false;
        list_children(end_child, &round);
        if (monotonic_ns() >= deadline_ns) break;
        // Children are there, and all that were listed refuse to end.
        if (round.found && !round.moved) break;
        await_child(deadline_ns, in_handler);
    }
    return round.ended_others;
}

void ask_child(pid_t pid, void *target) {
    if (pid != *static_cast<const pid_t *>(target) && look_at_child(pid) == child_state::running)
        kill(pid, SIGTERM);
}

// A stop: the running target is killed as at the end of its run time, and
// the ending signals stay blocked from now on.
void take_stop(int sig) {
    reap_children(); // a target that ended meanwhile was not forced
    for (const watched_target &w : watched) {
        if (w.pid > 0 && !w.ended) {
            kill(w.pid, SIGKILL);
            stop_forced_target = true;
        }
    }
    stop_signal = sig;
}

enum class watch_end { target_ended, deadline, stop };

// The one wait of the run and of the sleep: reaps ended children and takes
// the tool's signals until target (if any) has ended, the deadline passed or
// a stop came. An end found at the deadline counts as an end.
watch_end watch(const watched_target *target, bool forever, uint64_t deadline_ns) {
    take_ending_signals();
    if (stop_signal != 0) return watch_end::stop;
    hold_ending_signals();
    watch_end result = watch_end::deadline;
    for (;;) {
        reap_children();
        if (target != nullptr && target->ended) {
            result = watch_end::target_ended;
            break;
        }
        const uint64_t now = monotonic_ns();
        if (!forever && now >= deadline_ns) break;
        const uint64_t left = forever ? 0 : deadline_ns - now;
        const timespec timeout{static_cast<time_t>(left / NS_PER_S), static_cast<long>(left % NS_PER_S)};
        siginfo_t info{};
        const int sig = sigtimedwait(&awaited, &info, forever ? nullptr : &timeout);
        if (sig > 0 && sig != SIGCHLD) {
            take_stop(sig);
            return watch_end::stop;
        }
        if (sig < 0 && errno != EAGAIN && errno != EINTR) {
            // Signals cannot be waited for: look again after a short sleep.
            const uint64_t slice = forever || left > FALLBACK_SLICE_NS ? FALLBACK_SLICE_NS : left;
            const timespec pause{0, static_cast<long>(slice)};
            nanosleep(&pause, nullptr);
        }
    }
    release_ending_signals();
    return result;
}

// A program that exists but whose interpreter or loader is missing fails
// with ENOENT too: that is no missing program, and says what is missing.
void describe(const char *path, int error, start_failure *failure, char *reason, std::size_t reason_size) {
    *failure = error == ENOENT || error == ENOTDIR ? start_failure::not_found : start_failure::refused;
    if (error == ENOENT && explain_missing_part(path, reason, reason_size)) {
        *failure = start_failure::refused;
        return;
    }
    std::snprintf(reason, reason_size, "%s", std::strerror(error));
}

} // namespace

void take_ending_signals() {
    if (signals_ready) return;
    // An inherited "ignore" would reap our children behind our back.
    signal(SIGCHLD, SIG_DFL);
    pthread_sigmask(SIG_BLOCK, nullptr, &start_mask);
    sigemptyset(&ending);
    for (const int sig : ENDING_SIGNALS) {
        // One the tool was started to ignore, or with blocked, it leaves alone.
        struct sigaction old {};
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        if (sigismember(&start_mask, sig) == 1) continue;
        sigaddset(&ending, sig);
    }
    struct sigaction action {};
    action.sa_handler = on_ending_signal;
    sigfillset(&action.sa_mask); // nothing else runs on top of it
    for (const int sig : ENDING_SIGNALS) {
        if (sigismember(&ending, sig) == 1) sigaction(sig, &action, nullptr);
    }
    awaited = ending;
    sigaddset(&awaited, SIGCHLD);
    handled = awaited;
    sigset_t child;
    sigemptyset(&child);
    sigaddset(&child, SIGCHLD);
    pthread_sigmask(SIG_BLOCK, &child, nullptr);
    signals_ready = true;
}

uint32_t platform_tick_ms() { return static_cast<uint32_t>(monotonic_ns() / NS_PER_MS); }

bool platform_start(const char *application_name, char *command_line, process_ref *started,
                    start_failure *failure, char *reason, std::size_t reason_size) {
    take_ending_signals();
    reap_children();
    watched_target *slot = nullptr;
    for (watched_target &w : watched) {
        if (w.pid == 0 && slot == nullptr) slot = &w;
    }
    if (slot == nullptr) {
        describe(application_name, EAGAIN, failure, reason, reason_size);
        return false;
    }

    char argv_text[ARGV_TEXT_SIZE];
    const char *words[MAX_TARGET_WORDS + 1];
    std::size_t word_count = 0;
    if (!split_words(command_line, "", argv_text, sizeof argv_text, words, MAX_TARGET_WORDS, &word_count)) {
        describe(application_name, E2BIG, failure, reason, reason_size);
        return false;
    }
    words[0] = application_name; // the program path stands in for word 0
    words[word_count] = nullptr;

    // The target gets the tool's signal state as it was started, with the
    // actions the tool set up put back to default.
    const target_start start{.path = application_name,
                             .argv = const_cast<char *const *>(words),
                             .envp = environ,
                             .mask = &start_mask,
                             .defaults = &handled};
    hold_ending_signals();
    int error = 0;
    const pid_t pid = start_target(start, &error);
    if (pid == 0) {
        describe(application_name, error, failure, reason, reason_size);
        release_ending_signals();
        return false;
    }
    *slot = watched_target{pid, false, false, 0};
    started->process = pid;
    started->thread = 0;
    started->id = static_cast<uint32_t>(pid);
    return true;
}

wait_outcome platform_wait(const process_ref &started, uint32_t timeout_ms) {
    const watched_target *target = find_watched(static_cast<pid_t>(started.process));
    if (target == nullptr) return wait_outcome::failed;
    const bool forever = timeout_ms == WAIT_FOREVER_MS;
    switch (watch(target, forever, monotonic_ns() + uint64_t{timeout_ms} * NS_PER_MS)) {
    case watch_end::target_ended:
        return wait_outcome::ended;
    case watch_end::stop:
        return wait_outcome::stopped;
    case watch_end::deadline:
        break;
    }
    return wait_outcome::timed_out;
}

void platform_how_ended(const process_ref &started, target_end *how) {
    *how = target_end{};
    const watched_target *target = find_watched(static_cast<pid_t>(started.process));
    if (target == nullptr || (!target->ended && !target->forced)) return;
    if (target->forced || WIFSIGNALED(target->status)) {
        how->by_signal = true;
        signal_name(target->forced ? SIGKILL : WTERMSIG(target->status), how->signal_name,
                    sizeof how->signal_name);
    } else {
        how->exit_code = static_cast<uint32_t>(WEXITSTATUS(target->status));
    }
}

bool platform_terminate(const process_ref &started, uint32_t, char *reason, std::size_t reason_size) {
    // Only the target itself: what it started keeps running. Signalled by pid
    // only while it is unreaped, so the pid cannot have been reused.
    watched_target *target = find_watched(static_cast<pid_t>(started.process));
    int error = ESRCH;
    if (target != nullptr) {
        if (target->ended) return true;
        if (kill(target->pid, SIGKILL) == 0) {
            target->forced = true;
            return true;
        }
        error = errno;
    }
    std::snprintf(reason, reason_size, "%s", std::strerror(error));
    return false;
}

bool platform_set_run_ending(bool whole_tree, bool ask_first, char *reason, std::size_t reason_size) {
    ending_setup.ask_first = ask_first;
    if (!whole_tree) return true;
    if (!prepare_child_listing(reason, reason_size)) return false;
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
        std::snprintf(reason, reason_size, "cannot become a child subreaper: %s", std::strerror(errno));
        return false;
    }
    ending_setup.whole_tree = true;
    return true;
}

void platform_ask_to_end(const process_ref &started) {
    pid_t pid = static_cast<pid_t>(started.process);
    const watched_target *target = find_watched(pid);
    // Only while it is unreaped: its pid cannot have been reused.
    if (target != nullptr && !target->ended) kill(target->pid, SIGTERM);
    if (ending_setup.whole_tree) list_children(ask_child, &pid);
}

uint32_t platform_end_tree(const process_ref &started, uint32_t bound_ms) {
    if (!ending_setup.whole_tree) return 0;
    return end_tree(static_cast<pid_t>(started.process), monotonic_ns() + uint64_t{bound_ms} * NS_PER_MS,
                    false);
}

void platform_close(process_ref *started) {
    watched_target *target = find_watched(static_cast<pid_t>(started->process));
    if (target != nullptr) *target = watched_target{0, false, false, 0};
    started->process = 0;
    started->thread = 0;
    release_ending_signals();
}

intptr_t platform_create_sleeper() {
    // Nothing to create: the sleep is a deadline on the monotonic clock.
    return 1;
}

// Killed targets are reaped, and the tool's signals taken, while it sleeps.
bool platform_sleep(intptr_t, uint32_t timeout_ms) {
    return watch(nullptr, false, monotonic_ns() + uint64_t{timeout_ms} * NS_PER_MS) != watch_end::stop;
}

void platform_close_sleeper(intptr_t) {}

void platform_stop_report(stop_report *report) {
    *report = stop_report{};
    if (stop_signal != 0) signal_name(stop_signal, report->cause, sizeof report->cause);
    report->target_forced = stop_forced_target;
}

void platform_finish_stop() { end_by_signal(stop_signal != 0 ? stop_signal : SIGTERM, false); }
