// posix_backend.h: what the units of the POSIX backend ask of the one below them; nothing calls back up.
//
// platform_posix.cpp (output, words, local time, records) -> process_posix.cpp
// (targets, wait, sleep, clock, the tool's signals, the end of a run's tree)
// -> spawn_posix.cpp (the child, what a failed start means, the tool's
// children as /proc lists them).
#pragma once

#include <signal.h>
#include <stddef.h>
#include <sys/types.h>

// process_posix.cpp: sets up the tool's ending signals (SIGTERM, SIGHUP,
// SIGINT, SIGQUIT) so that from now on each ends the tool at any moment, the
// running target first. Called before the first text; later calls do nothing.
void take_ending_signals();

// spawn_posix.cpp: how one target is started.
struct target_start {
    const char *path;         // executed as written: no search path
    char *const *argv;        // ends with a null pointer
    char *const *envp;        // ends with a null pointer
    const sigset_t *mask;     // the target's signal mask
    const sigset_t *defaults; // signals the target gets with their default action
};

// Starts a target that the kernel kills (SIGKILL) as soon as the tool ends,
// however it ends; what the target starts itself is not covered. It gets
// descriptors 0, 1 and 2 and no other. The pid, or 0 when the program could
// not be executed: *error is then the errno of the failure and the failed
// child has been reaped.
pid_t start_target(const target_start &start, int *error);

// From now on every start closes the target's descriptors one by one, as
// where the kernel cannot close a range of them (for the tests).
void close_descriptors_one_by_one();

// After a start failed with ENOENT: false when path itself does not exist;
// true when it does, with reason naming what is missing (its interpreter or
// its loader, where that can be read from the file).
bool explain_missing_part(const char *path, char *reason, size_t reason_size);

// How the tool's children will be found: /proc/self/task/<tid>/children,
// or where the kernel keeps no such file, the parent's pid in every
// /proc/<pid>/stat. false: neither can be read; reason says why.
bool prepare_child_listing(char *reason, size_t reason_size);

// Calls visit(pid, context) for each child of the tool that /proc lists, the
// unreaped ones among them; one may be missed or come twice while children
// come and go. Stack buffers and async-signal-safe calls only.
void list_children(void (*visit)(pid_t pid, void *context), void *context);

// From the next prepare_child_listing() on, children are found by the scan of
// /proc/<pid>/stat, as where the kernel keeps no children file (for the tests).
void find_children_by_scan();
