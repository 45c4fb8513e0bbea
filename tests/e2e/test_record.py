"""test_record.py: end-to-end tests of the run record (KADRON_LOG), read back with a JSON parser."""

import errno
import json
import os
import re
import shutil
import signal
import unittest

import kadron_e2e as e2e

# The fields of each record, in their order; later versions may add fields after these.
FIELDS = {
    "begin": ["event", "tool_pid", "time", "version", "program", "arguments", "cycle_ms", "run_ms", "mode"],
    "run": ["event", "tool_pid", "count", "target_pid", "start", "end", "duration_ms", "result", "exit_code",
            "signal", "others_ended"],
    "start_failed": ["event", "tool_pid", "count", "time", "exit_status", "reason"],
    "end": ["event", "tool_pid", "count", "time", "cause", "target"],
}
TIME_RE = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z\Z"
NOBODY = 65534


def parse(text):
    """The records in a text, one JSON object a line."""
    return [json.loads(line) for line in text.splitlines() if line]


def read_log(path):
    try:
        with open(path, "rb") as f:
            return parse(f.read().decode("utf-8"))
    except FileNotFoundError:
        return []


def wait_log(path, event, timeout=20):
    """The records of path once one of the kind event is there (or timeout seconds passed)."""
    e2e.wait_until(lambda: any(r["event"] == event for r in read_log(path)), timeout)
    return read_log(path)


def with_log(destination):
    return dict(os.environ, KADRON_LOG=destination)


class RecordTest(unittest.TestCase):
    def check_shape(self, record, tool_pid):
        self.assertEqual(list(record)[: len(FIELDS[record["event"]])], FIELDS[record["event"]], record)
        self.assertEqual(record["tool_pid"], tool_pid)
        for field in ("time", "start", "end"):
            if field in record:
                self.assertRegex(record[field], TIME_RE)

    def test_each_run_is_recorded_with_how_it_ended(self):
        base = e2e.temp_dir(self)
        probe_record = os.path.join(base, "record")
        cases = [
            (f"--record {probe_record} --exit 3", {"result": "exited", "exit_code": 3, "signal": None}),
            (f"--die-of {signal.SIGSEGV.value}", {"result": "signaled", "exit_code": None, "signal": "SIGSEGV"}),
            ("--sleep 60000", {"result": "forced", "exit_code": None, "signal": "SIGKILL"}),
        ]
        for arguments, outcome in cases:
            with self.subTest(outcome["result"]):
                log = os.path.join(base, outcome["result"] + ".log")
                run = e2e.Run(self, [e2e.PROBE, arguments, "60000", "300"], env=with_log(log))
                records = wait_log(log, "run")
                self.assertEqual([r["event"] for r in records], ["begin", "run"])
                for record in records:
                    self.check_shape(record, run.pid)
                begin, ran = records
                self.assertEqual(
                    [begin[k] for k in ("version", "program", "arguments", "cycle_ms", "run_ms", "mode")],
                    [e2e.VERSION.replace(", ", "."), e2e.PROBE, arguments, 60000, 300, "wait"])
                self.assertEqual({k: ran[k] for k in outcome}, outcome)
                self.assertEqual(ran["count"], 1)
                self.assertLessEqual(ran["start"], ran["end"])
                if outcome["result"] == "forced":
                    self.assertGreaterEqual(ran["duration_ms"], 300)
                if outcome["result"] == "exited":
                    probe = e2e.read_records(probe_record)[0]
                    self.assertEqual(ran["target_pid"], probe["pid"])
                    # The record file is never handed on to a target.
                    self.assertEqual(probe["fds"], "0,1,2")
                run.stop()

    def test_failed_start_is_recorded_and_ends_the_tool(self):
        log = os.path.join(e2e.temp_dir(self), "log")
        missing = "/nonexistent-kadron-e2e/target"
        run = e2e.Run(self, [missing, "", "1000", "100"], env=with_log(log))
        self.assertEqual(run.finish(), 127)
        records = read_log(log)
        self.assertEqual([r["event"] for r in records], ["begin", "start_failed"])
        self.check_shape(records[1], run.pid)
        self.assertEqual([records[1][k] for k in ("count", "exit_status", "reason")],
                         [1, 127, os.strerror(errno.ENOENT)])

    def test_stop_while_a_target_runs_is_recorded_on_standard_error(self):
        probe_record = os.path.join(e2e.temp_dir(self), "record")
        run = e2e.Run(self, [e2e.PROBE, f"--record {probe_record} --sleep 60000", "60000", "30000"],
                      env=with_log("-"))
        probe = e2e.wait_records(probe_record, 1, timeout=10)[0]
        os.kill(run.pid, signal.SIGTERM)
        self.assertEqual(run.finish(timeout=10), -signal.SIGTERM)
        self.assertTrue(e2e.wait_until(lambda: not e2e.running(probe["pid"]), 5), "the probe runs on")
        # Standard error holds the records and nothing else; standard output none of them.
        records = parse(run.stderr_text())
        self.assertEqual([r["event"] for r in records], ["begin", "end"])
        self.check_shape(records[1], run.pid)
        self.assertEqual([records[1][k] for k in ("count", "cause", "target")], [1, "SIGTERM", "forced"])
        self.assertNotIn("{", run.text)

    def test_unwritable_record_ends_the_tool_before_the_first_start(self):
        base = e2e.temp_dir(self)
        probe_record = os.path.join(base, "record")
        log = os.path.join(base, "missing", "log")
        run = e2e.Run(self, [e2e.PROBE, f"--record {probe_record}", "1000", "100"], env=with_log(log))
        self.assertEqual(run.finish(), 125)
        self.assertIn(f'kadron: cannot write the run record to "{log}": {os.strerror(errno.ENOENT)}',
                      run.stderr_text())
        self.assertNotIn("KADRON count", run.text)
        self.assertFalse(os.path.exists(probe_record), "a target was started")

    def test_record_file_moved_away_is_made_anew_at_its_path(self):
        base = e2e.temp_dir(self)
        log = os.path.join(base, "log")
        e2e.Run(self, [e2e.PROBE, "", "200", "100"], env=with_log(log))
        wait_log(log, "run")
        os.rename(log, log + ".1")
        after = wait_log(log, "run")
        self.assertTrue(after, "no new file at the path")
        before = read_log(log + ".1")
        # Each record landed whole in one of the two files, none lost between them.
        counts = [r["count"] for r in before + after if r["event"] == "run"]
        self.assertEqual(counts, list(range(1, len(counts) + 1)))

    def test_forced_end_that_fails_is_said_and_recorded(self):
        # An unprivileged tool cannot kill a set-user-ID root target that made root its real user.
        if os.geteuid() != 0:
            self.skipTest("making a set-user-ID root target needs root")
        base = e2e.temp_dir(self)
        os.chmod(base, 0o755)
        tool = os.path.join(base, "kadron")
        shutil.copy(e2e.KADRON, tool)
        probe = os.path.join(base, "probe")
        shutil.copy(e2e.PROBE, probe)
        os.chmod(probe, 0o4755)
        writable = os.path.join(base, "out")
        os.mkdir(writable)
        os.chown(writable, NOBODY, NOBODY)
        probe_record = os.path.join(writable, "record")
        log = os.path.join(writable, "log")

        def unprivileged():
            os.setgroups([])
            os.setgid(NOBODY)
            os.setuid(NOBODY)

        # The run time leaves the probe ample time to make root its real user before the forced end.
        run = e2e.Run(self, [probe, f"--become-root --record {probe_record} --sleep 60000", "60000", "2000"],
                      tool=tool, env=with_log(log), preexec_fn=unprivileged)
        target = e2e.wait_records(probe_record, 1, timeout=10)[0]["pid"]
        with open(f"/proc/{target}/status") as f:
            real_uid = int(re.search(r"^Uid:\s+(\d+)", f.read(), re.M).group(1))
        if real_uid != 0:
            self.skipTest("set-user-ID programs do not gain their owner's rights here")
        said = f"kadron: cannot end process {target} at the end of its run time: {os.strerror(errno.EPERM)}"
        self.assertTrue(e2e.wait_until(lambda: said in run.stderr_text(), 10), run.stderr_text())
        ran = wait_log(log, "run")[-1]
        self.assertEqual([ran[k] for k in ("target_pid", "result", "exit_code", "signal")],
                         [target, "not_ended", None, None])
        self.assertTrue(e2e.running(target))
        self.assertIsNone(run.proc.poll(), "the tool did not go on")


if __name__ == "__main__":
    e2e.main()
