"""test_robustness.py: end-to-end tests that the run time holds whatever state a target, the tool's limits or its signals are in."""

import fcntl
import os
import re
import resource
import signal
import struct
import subprocess
import termios
import time
import unittest

import kadron_e2e as e2e

TICKS_PER_S = os.sysconf("SC_CLK_TCK")


def cpu_s(pid):
    """CPU time (user + system) a process has used so far, in seconds."""
    with open(f"/proc/{pid}/stat", "rb") as f:
        stat = f.read().decode("latin-1")
    fields = stat[stat.rindex(")") + 2 :].split()
    return (int(fields[11]) + int(fields[12])) / TICKS_PER_S


def tracer_of(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("TracerPid:"):
                return int(line.split()[1])
    return 0


def held_by(parent, record):
    """True while the probe of record has ended but parent cannot reap it yet."""
    return e2e.proc_stat(record["pid"]) == ("Z", parent)


def mask(*signals):
    return sum(1 << (s - 1) for s in signals)


class RobustnessTest(unittest.TestCase):
    def test_unreapable_killed_target_costs_no_cpu_and_starts_go_on(self):
        record = os.path.join(e2e.temp_dir(self), "record")
        # Every target is held by a tracer for 8 s after its start, so it stays unreapable once killed.
        run = e2e.Run(self, [e2e.PROBE, f"--traced-hold 8000 --record {record} --sleep 60000", "1000", "300"])
        first = e2e.wait_records(record, 1, timeout=10)[0]
        self.assertNotEqual(tracer_of(first["pid"]), 0, "the probe is not traced")
        self.assertTrue(e2e.wait_until(lambda: held_by(run.pid, first), 5), "the first probe was not killed")

        cpu_before, t_before = cpu_s(run.pid), time.monotonic()
        time.sleep(3)
        cpu_used, held_for = cpu_s(run.pid) - cpu_before, time.monotonic() - t_before
        self.assertTrue(held_by(run.pid, first), "the hold ended before the measurement did")
        self.assertLess(cpu_used, held_for / 10, f"{cpu_used:.2f} s of CPU over {held_for:.2f} s")
        records = e2e.wait_records(record, 3, timeout=10)
        self.assertGreaterEqual(len(records), 3)
        for a, b in zip(records, records[1:]):
            self.assertTrue(700 <= b["ms"] - a["ms"] <= 3000, [r["ms"] for r in records])

    def test_more_than_64_unreapable_targets_do_not_stop_the_starts(self):
        run = e2e.Run(self, [e2e.PROBE, "--traced-hold 60000 --sleep 60000", "100", "100", "nowait"], limit=90)

        def held():
            run.read(0)
            return sum(state == "Z" for _, state in e2e.children(run.pid))

        self.assertTrue(e2e.wait_until(lambda: held() > 64, 45), f"{held()} held")
        count = int(re.findall(e2e.COUNT_RE, run.text)[-1])
        self.assertIsNotNone(run.wait_for(rf"count #{count + 10}\b", 15), "the starts stopped")

    def test_failing_wait_still_ends_the_target_at_its_run_time(self):
        record = os.path.join(e2e.temp_dir(self), "record")
        run = e2e.Run(self, [e2e.PROBE, f"--record {record} --sleep 60000", "60000", "2000"])
        probe = e2e.wait_records(record, 1, timeout=10)[0]
        # No descriptor at all: a wait on descriptors fails from now on, also
        # one that is already waiting, once a stop and continue restarts it.
        resource.prlimit(run.pid, resource.RLIMIT_NOFILE, (0, 0))
        os.kill(run.pid, signal.SIGSTOP)
        os.kill(run.pid, signal.SIGCONT)
        self.assertTrue(e2e.wait_until(lambda: not e2e.running(probe["pid"]), 12), "the probe runs on")
        ended_after_ms = time.time() * 1000 - probe["ms"]
        self.assertTrue(1500 <= ended_after_ms <= 12000, ended_after_ms)
        self.assertIsNone(run.proc.poll())

    def test_start_is_not_failed_for_want_of_descriptors(self):
        # Ended by force every cycle with no sleep between: killed targets are still unreaped at the next start.
        run = e2e.Run(
            self,
            [e2e.PROBE, "--sleep 60000", "200", "200", "nowait"],
            preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (4, 4)),
        )
        self.assertIsNotNone(run.wait_for(r"count #10\b", 30), repr(run.text[-200:]))
        self.assertNotIn(e2e.START_FAILED, run.text)
        self.assertIsNone(run.proc.poll())

    def test_signals_end_the_target_first_and_then_the_tool(self):
        for sig in (signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=sig.name):
                record = os.path.join(e2e.temp_dir(self), "record")
                run = e2e.Run(self, [e2e.PROBE, f"--record {record} --sleep 60000", "60000", "30000"])
                probe = e2e.wait_records(record, 1, timeout=10)[0]
                os.kill(run.pid, sig)
                self.assertEqual(run.finish(timeout=10), -sig)  # the shell shows 128 + sig
                self.assertTrue(e2e.wait_until(lambda: not e2e.running(probe["pid"]), 5), "the probe runs on")

    def test_signal_ends_a_tool_stuck_writing_to_a_stalled_pipe(self):
        # No target runs while the tool writes, so nothing may hold the signal back.
        read_end, write_end = os.pipe()
        self.addCleanup(os.close, read_end)
        proc = subprocess.Popen([e2e.KADRON, "/bin/true", "", "0", "100000", "nowait"], stdin=subprocess.DEVNULL,
                                stdout=write_end, stderr=subprocess.DEVNULL)
        os.close(write_end)
        self.addCleanup(proc.kill)

        def queued():
            return struct.unpack("i", fcntl.ioctl(read_end, termios.FIONREAD, b"\0" * 4))[0]

        # Full: no room left for another cycle's texts, whose write then blocks.
        full = fcntl.fcntl(read_end, fcntl.F_GETPIPE_SZ) - 4096

        def stuck():
            before = queued()
            time.sleep(0.3)
            return before == queued() and before > full

        self.assertTrue(e2e.wait_until(stuck, 30), "the tool never filled the pipe")
        os.kill(proc.pid, signal.SIGTERM)
        self.assertEqual(proc.wait(timeout=10), -signal.SIGTERM)

    def test_target_gets_the_signals_the_tool_was_started_with(self):
        def start_state():
            signal.signal(signal.SIGCHLD, signal.SIG_IGN)
            signal.signal(signal.SIGINT, signal.SIG_IGN)  # as a shell does for a job in the background
            signal.pthread_sigmask(signal.SIG_SETMASK, {signal.SIGUSR1})

        record = os.path.join(e2e.temp_dir(self), "record")
        run = e2e.Run(self, [e2e.PROBE, f"--record {record} --sleep 60000", "60000", "30000"], preexec_fn=start_state)
        probe = e2e.wait_records(record, 1, timeout=10)[0]
        self.assertEqual(probe["blocked"], mask(signal.SIGUSR1))
        self.assertEqual(probe["ignored"] & mask(signal.SIGCHLD, signal.SIGINT), mask(signal.SIGINT))

        # An ignored interrupt stays ignored, by the tool and its target.
        os.kill(run.pid, signal.SIGINT)
        time.sleep(0.5)
        self.assertIsNone(run.proc.poll())
        self.assertTrue(e2e.running(probe["pid"]))
        os.kill(run.pid, signal.SIGTERM)
        self.assertEqual(run.finish(timeout=10), -signal.SIGTERM)
        self.assertTrue(e2e.wait_until(lambda: not e2e.running(probe["pid"]), 5), "the probe runs on")


if __name__ == "__main__":
    e2e.main()
