"""test_lifetime.py: end-to-end tests that a target never outlives the tool, however the tool ends, also as a namespace's init."""

import fcntl
import os
import signal
import struct
import subprocess
import termios
import time
import unittest

import kadron_e2e as e2e


def kill_group_quietly(pgid):
    try:
        os.killpg(pgid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass


def read_pid(path, timeout):
    """The pid a probe wrote to path, None when none came within timeout seconds."""
    if not e2e.wait_until(lambda: os.path.exists(path), timeout):
        return None
    with open(path) as f:
        return int(f.read())


def record_environment(path):
    """The environment of each probe start in a record file, entries in their order."""
    with open(path, "rb") as f:
        lines = f.read().decode("ascii").splitlines()
    found = []
    for line in lines:
        field = [item for item in line.split(" ") if item.startswith("env=")][0][len("env="):]
        found.append([bytes.fromhex(entry).decode("latin-1") for entry in field.split(",")] if field else [])
    return found


def namespace_pids(pid):
    """The pids of a process from the outermost PID namespace in, as /proc shows them."""
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("NSpid:"):
                return [int(n) for n in line.split()[1:]]
    return []


def pipe_queued(fd):
    return struct.unpack("i", fcntl.ioctl(fd, termios.FIONREAD, b"\0" * 4))[0]


class LifetimeTest(unittest.TestCase):
    def test_target_ends_with_the_tool_killed_by_any_signal_and_its_own_child_lives_on(self):
        for sig in (signal.SIGKILL, signal.SIGUSR1):
            with self.subTest(signal=sig.name):
                base = e2e.temp_dir(self)
                record = os.path.join(base, "record")
                pid_file = os.path.join(base, "grandchild")
                run = e2e.Run(self, [e2e.PROBE, f"--record {record} --grandchild {pid_file} --sleep 60000", "60000",
                                     "30000"])
                probe = e2e.wait_records(record, 1, timeout=10)[0]
                grandchild = read_pid(pid_file, timeout=10)
                self.assertIsNotNone(grandchild, "no grandchild was started")
                self.addCleanup(e2e.kill_quietly, grandchild)

                os.kill(run.pid, sig)
                self.assertEqual(run.finish(timeout=10), -sig)
                self.assertTrue(e2e.wait_until(lambda: not e2e.running(probe["pid"]), 10), "the probe runs on")
                self.assertTrue(e2e.running(grandchild), "the grandchild was ended with the probe")

    def test_target_gets_the_whole_environment(self):
        record = os.path.join(e2e.temp_dir(self), "record")
        env = {"KADRON_WORDS": "a b=c; $(x) *", "KADRON_EMPTY": "", "LC_ALL": "C"}
        e2e.Run(self, [e2e.PROBE, f"--record {record} --sleep 60000", "60000", "30000"], env=env)
        self.assertEqual(len(e2e.wait_records(record, 1, timeout=10)), 1)
        self.assertEqual(record_environment(record), [[f"{k}={v}" for k, v in env.items()]])


class NamespaceTest(unittest.TestCase):
    """Run as a ctest test of its own, so that a machine that refuses a new PID namespace shows it as skipped."""

    def test_ending_signal_ends_a_namespace_init_while_it_sleeps_runs_or_is_stuck_writing(self):
        try:
            trial = subprocess.run(["unshare", "-fp", "--mount-proc", "/bin/true"], stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=30)
        except subprocess.TimeoutExpired:
            self.fail("`unshare -fp --mount-proc /bin/true` hung")
        refusal = trial.stderr.decode("latin-1").strip()
        # Refused by the machine: no right to a new namespace, or a chroot, whose root is no mount point.
        refused = ("Operation not permitted", "Permission denied", "cannot change root filesystem propagation")
        if trial.returncode != 0 and any(words in refusal for words in refused):
            self.skipTest(f"this machine refuses a new PID namespace: {refusal}")
        self.assertEqual(trial.returncode, 0, f"`unshare -fp --mount-proc /bin/true` failed: {refusal}")

        base = e2e.temp_dir(self)
        record = os.path.join(base, "record")
        log = os.path.join(base, "log")
        read_end, write_end = os.pipe()
        self.addCleanup(os.close, read_end)
        self.addCleanup(os.close, write_end)

        def sleeping():
            with open(log, "rb") as f:
                return b"next at" in f.read()

        def stuck():
            before = pipe_queued(read_end)
            time.sleep(0.3)
            return before == pipe_queued(read_end) and before > 0

        cases = [
            ("sleeping", ["/bin/true", "", "120000", "5000", "nowait"], log, sleeping),
            ("running", [e2e.PROBE, f"--record {record} --sleep 60000", "60000", "30000"], log,
             lambda: len(e2e.read_records(record)) == 1),
            # The pipe is never read: the tool ends up blocked in a write.
            ("stuck writing", ["/bin/true", "", "0", "100000", "nowait"], write_end, stuck),
        ]
        for name, words, output, ready in cases:
            with self.subTest(name):
                stdout = open(output, "wb") if isinstance(output, str) else output
                try:
                    proc = subprocess.Popen(["unshare", "-fp", "--mount-proc", e2e.KADRON] + words,
                                            stdin=subprocess.DEVNULL, stdout=stdout, stderr=subprocess.DEVNULL,
                                            start_new_session=True)
                finally:
                    if stdout is not write_end:
                        stdout.close()
                self.addCleanup(proc.wait, 10)
                self.addCleanup(kill_group_quietly, proc.pid)
                self.assertTrue(e2e.wait_until(lambda: len(e2e.children(proc.pid)) == 1, 10), "the tool did not start")
                tool = e2e.children(proc.pid)[0][0]
                self.assertEqual(namespace_pids(tool)[-1], 1, "the tool is not the namespace's init")
                self.assertTrue(e2e.wait_until(ready, 30), "the tool never got there")

                os.kill(tool, signal.SIGTERM)
                try:
                    status = proc.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    status = None
                self.assertEqual(status, 128 + signal.SIGTERM)


if __name__ == "__main__":
    e2e.main()
